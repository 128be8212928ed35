// The same library against Node's own WebSocket client (the browsers' API, from undici), where
// this Node has one: proves that the library keeps to that API and not to the test client's quirks.
import assert from 'node:assert/strict';
import { after, describe, test } from 'node:test';

import { BadContextError, ConnectionClosedError, NoTrayError, connect } from '../quillet.mjs';
import { behaviours, freePort, isCheckContext, startHttpServer, startTray } from './wshelper.mjs';

const skip = typeof globalThis.WebSocket === 'function' ? false : 'this Node has no built-in WebSocket';
const namespace = { app: 'Quillet', version: '2.6.1', instance: 'page1' };

const running = [];
after(() => Promise.all(running.map((thing) => thing.stop())));
async function started(promise) {
    const thing = await promise;
    running.push(thing);
    return thing;
}

describe('with the built-in WebSocket', { skip }, () => {
    test('finds the tray behind other ports, echoes 4 MiB and closes', async () => {
        const other = await started(startHttpServer());
        const tray = await started(startTray());
        const session = await connect({ ...namespace, ports: [await freePort(), other.port, tray.port] });
        assert.equal(session.port, tray.port);
        const document = 'd'.repeat(4 * 1024 * 1024);
        const [small, large] = await Promise.all([session.call('Echo', ['hello']), session.call('Echo', [document])]);
        assert.deepEqual(small.result, ['hello']);
        assert.equal(large.result[0], document);
        assert.equal((await session.close()).code, 1000);
    });

    test('rejects pending calls when the tray closes', async () => {
        const tray = await started(
            startTray({
                behaviour: (connection, request) =>
                    isCheckContext(request) ? behaviours.echo(connection, request) : connection.close(1001),
            }),
        );
        const session = await connect({ ...namespace, ports: [tray.port] });
        await assert.rejects(session.call('Sign'), ConnectionClosedError);
        assert.equal((await session.closed).code, 1001);
    });

    const refusals = [
        { name: 'no tray', setUp: async () => [await freePort()], type: NoTrayError },
        { name: 'Bad context!', setUp: async () => [(await started(startTray({ behaviour: behaviours.badContext }))).port], type: BadContextError },
    ];
    for (const { name, setUp, type } of refusals) {
        test(`rejects on ${name}`, async () => {
            await assert.rejects(connect({ ...namespace, ports: await setUp() }), type);
        });
    }
});
