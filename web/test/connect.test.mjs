import assert from 'node:assert/strict';
import { once } from 'node:events';
import { describe, test } from 'node:test';

import { connect } from '../quillet.mjs';
import { behaviours, checkContextReply, connectTo, freePort, namespace, skip } from './wshelper.mjs';
import { startHttpServer, startTcpServer, startTray } from './wshelper.mjs';

// Ports of other programs that the library must pass over to reach the tray behind them. Only a
// silent one needs the per-port time limit; the others must be left as soon as they fail.
const occupants = [
    { name: 'nothing listening', occupy: async () => ({ port: await freePort() }), portTimeoutMs: 60000 },
    { name: 'HTTP server refusing the upgrade', occupy: startHttpServer, portTimeoutMs: 60000 },
    { name: 'TCP server hanging up at once', occupy: () => startTcpServer({ hangUp: true }), portTimeoutMs: 60000 },
    { name: 'TCP server saying nothing', occupy: () => startTcpServer({ hangUp: false }), portTimeoutMs: 50 },
];

describe('finding the tray', { skip, timeout: 20000 }, () => {
    for (const { name, occupy, portTimeoutMs } of occupants) {
        test(`passes over ports with ${name}`, async () => {
            const ports = [(await occupy()).port, (await occupy()).port];
            const tray = await startTray();
            const session = await connectTo([...ports, tray.port], { portTimeoutMs, timeoutMs: 5000 });
            assert.equal(session.port, tray.port);
            await session.close();
        });
    }

    test('takes the first port that answers, in the order given', async () => {
        const [first, second] = [await startTray(), await startTray()];
        const session = await connectTo([first.port, second.port]);
        assert.equal(session.port, first.port);
        assert.deepEqual(second.received, []);
        await session.close();
    });

    test('tries every port in order before reporting that no tray runs', async () => {
        const servers = [await startHttpServer(), await startHttpServer(), await startHttpServer()];
        const seen = [];
        servers.forEach(({ server, port }) => server.on('seen', () => seen.push(port)));
        const ports = [servers[2].port, servers[0].port, await freePort(), servers[1].port];
        await assert.rejects(connectTo(ports, { portTimeoutMs: 60000 }), { name: 'NoTrayError', code: 'NO_TRAY', ports });
        assert.deepEqual(seen, [servers[2].port, servers[0].port, servers[1].port]);
    });

    test('keeps a slow port in the race while the later ones fail', async () => {
        const other = await startHttpServer();
        // The tray finishes its opening handshake only after the next port has been tried.
        const tray = await startTray({ holdUpgrade: once(other.server, 'seen') });
        const session = await connectTo([tray.port, other.port], { portTimeoutMs: 1 });
        assert.equal(session.port, tray.port);
        await session.close();
    });
});

describe('CheckContext handshake', { skip, timeout: 20000 }, () => {
    test('sends the qualified CheckContext with a text id', async () => {
        const tray = await startTray();
        const session = await connectTo([tray.port]);
        const [{ method, id }] = tray.received;
        assert.equal(method, 'Quillet.2.6.1.page1.QES.CheckContext');
        assert.match(id, /^.+$/);
        assert.deepEqual(session.namespace, namespace);
        await session.close();
    });

    test('accepts a reply without id from a tray that leaves it out', async () => {
        const tray = await startTray({
            behaviour: (connection, request) => connection.sendText(checkContextReply({ ...request, id: undefined }, '')),
        });
        assert.equal((await connectTo([tray.port])).isOpen, true);
    });

    const closed = { name: 'ConnectionClosedError', code: 'CONNECTION_CLOSED' };
    const timeout = { name: 'TimeoutError', code: 'TIMEOUT', timeoutMs: 200 };
    const failures = [
        { name: 'Bad context!', behaviour: behaviours.badContext, error: { code: 'BAD_CONTEXT', error: 'Bad context!' } },
        { name: 'close before the reply', behaviour: behaviours.closeBeforeReply, error: closed },
        { name: 'drop before the reply', behaviour: behaviours.dropBeforeReply, error: closed },
        { name: 'silence', behaviour: behaviours.silent, error: timeout },
        { name: 'a port that accepts TCP but never completes the opening handshake', error: timeout },
    ];
    for (const { name, behaviour, error } of failures) {
        test(`rejects on ${name}`, async () => {
            const server = behaviour ? await startTray({ behaviour }) : await startTcpServer({ hangUp: false });
            const closed = behaviour && once(server, 'connectionClosed');
            await assert.rejects(connectTo([server.port], { timeoutMs: 200, portTimeoutMs: 50 }), error);
            // The failed attempt leaves no connection behind.
            await closed;
        });
    }

    const badOptions = [
        { name: 'version with two numbers', options: { version: '2.6' } },
        { name: 'instance with a hyphen', options: { instance: 'page-1' } },
        { name: 'empty port list', options: { ports: [] } },
        { name: 'no WebSocket constructor', options: { WebSocket: null } },
    ];
    for (const { name, options } of badOptions) {
        test(`refuses ${name} before connecting`, async () => {
            await assert.rejects(connect({ ...namespace, ports: [1], ...options }), TypeError);
        });
    }
});
