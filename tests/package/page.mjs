// The page of the package test: finds the installed tray through the page library (waiting while
// it starts), sends an echo through the signer and closes.
import { connect } from '../../web/quillet.mjs';

let session;
for (let tries = 0; !session; tries++) {
    session = await connect({ app: 'Quillet', version: '2.6.1', instance: 'package' })
        .catch((error) => (error.code !== 'NO_TRAY' || tries === 100 ? Promise.reject(error) : new Promise((resolve) => setTimeout(resolve, 100))));
}
const reply = await session.call('Echo', ['installed']);
if (reply.error || JSON.stringify(reply.result) !== '["installed"]') throw new Error(`echo: ${JSON.stringify(reply)}`);
console.log(`A page was served on port ${session.port}.`, await session.close());
