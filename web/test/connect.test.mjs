import assert from 'node:assert/strict';
import { once } from 'node:events';
import { after, describe, test } from 'node:test';

import { BadContextError, ConnectionClosedError, NoTrayError, TimeoutError, connect } from '../quillet.mjs';
import {
    TestWebSocket,
    behaviours,
    checkContextReply,
    freePort,
    startHttpServer,
    startTcpServer,
    startTray,
} from './wshelper.mjs';

const namespace = { app: 'Quillet', version: '2.6.1', instance: 'page1' };

// Everything a test starts is stopped after the file, also when an assertion failed midway.
const running = [];
async function started(promise) {
    const thing = await promise;
    running.push(thing);
    return thing;
}
after(() => Promise.all(running.map((thing) => thing.stop())));

function connectTo(ports, options = {}) {
    return connect({ ...namespace, ports, WebSocket: TestWebSocket, ...options });
}

// Ports of other programs that the library must pass over to reach the tray behind them. Only a
// silent one needs the per-port time limit; the others must be left as soon as they fail.
const occupants = [
    { name: 'nothing listening', occupy: async () => ({ port: await freePort() }), portTimeoutMs: 60000 },
    { name: 'HTTP server refusing the upgrade', occupy: () => started(startHttpServer()), portTimeoutMs: 60000 },
    { name: 'TCP server hanging up at once', occupy: () => started(startTcpServer({ hangUp: true })), portTimeoutMs: 60000 },
    { name: 'TCP server saying nothing', occupy: () => started(startTcpServer({ hangUp: false })), portTimeoutMs: 50 },
];

describe('finding the tray', { timeout: 20000 }, () => {
    for (const { name, occupy, portTimeoutMs } of occupants) {
        test(`passes over a port with ${name}`, async () => {
            const first = await occupy();
            const second = await occupy();
            const tray = await started(startTray());
            const session = await connectTo([first.port, second.port, tray.port], { portTimeoutMs, timeoutMs: 5000 });
            assert.equal(session.port, tray.port);
            assert.equal(session.isOpen, true);
            await session.close();
        });
    }

    test('takes the first port that answers, in the order given', async () => {
        const first = await started(startTray());
        const second = await started(startTray());
        const session = await connectTo([first.port, second.port]);
        assert.equal(session.port, first.port);
        assert.equal(first.received.length, 1);
        assert.deepEqual(second.received, []);
        await session.close();
    });

    test('tries every port in order before reporting that no tray runs', async () => {
        const servers = [await started(startHttpServer()), await started(startHttpServer()), await started(startHttpServer())];
        const seen = [];
        for (const { server, port } of servers) {
            server.on('seen', () => seen.push(port));
        }
        const ports = [servers[2].port, servers[0].port, await freePort(), servers[1].port];
        const error = await connectTo(ports, { portTimeoutMs: 60000 }).then(assert.fail, (e) => e);
        assert.ok(error instanceof NoTrayError);
        assert.equal(error.code, 'NO_TRAY');
        assert.deepEqual(error.ports, ports);
        assert.deepEqual(seen, [servers[2].port, servers[0].port, servers[1].port]);
    });

    test('keeps a slow port in the race while the later ones fail', async () => {
        const other = await started(startHttpServer());
        const otherSeen = once(other.server, 'seen');
        // The tray finishes its opening handshake only after the next port has been tried.
        const tray = await started(startTray({ holdUpgrade: otherSeen }));
        const session = await connectTo([tray.port, other.port], { portTimeoutMs: 1 });
        assert.equal(session.port, tray.port);
        await session.close();
    });

    test('uses ws://127.0.0.1 on each port', async () => {
        const tray = await started(startTray());
        const before = TestWebSocket.urls.length;
        const session = await connectTo([tray.port]);
        assert.deepEqual(TestWebSocket.urls.slice(before), [`ws://127.0.0.1:${tray.port}/`]);
        await session.close();
    });
});

describe('CheckContext handshake', { timeout: 20000 }, () => {
    test('sends the qualified CheckContext with a fresh text id and resolves on an empty error', async () => {
        const tray = await started(startTray());
        const session = await connectTo([tray.port]);
        const [request] = tray.received;
        assert.equal(request.method, 'Quillet.2.6.1.page1.QES.CheckContext');
        assert.equal(typeof request.id, 'string');
        assert.notEqual(request.id, '');
        assert.deepEqual(session.namespace, namespace);
        await session.close();
    });

    test('accepts a reply without id from a tray that leaves it out', async () => {
        const tray = await started(
            startTray({
                behaviour: (connection, request) => connection.sendText(checkContextReply({ ...request, id: undefined }, '')),
            }),
        );
        const session = await connectTo([tray.port]);
        assert.equal(session.isOpen, true);
        await session.close();
    });

    const failures = [
        { name: 'Bad context!', behaviour: behaviours.badContext, type: BadContextError, code: 'BAD_CONTEXT' },
        { name: 'close before the reply', behaviour: behaviours.closeBeforeReply, type: ConnectionClosedError, code: 'CONNECTION_CLOSED' },
        { name: 'drop before the reply', behaviour: behaviours.dropBeforeReply, type: ConnectionClosedError, code: 'CONNECTION_CLOSED' },
        { name: 'silence', behaviour: behaviours.silent, type: TimeoutError, code: 'TIMEOUT' },
    ];
    for (const { name, behaviour, type, code } of failures) {
        test(`rejects on ${name}`, async () => {
            const tray = await started(startTray({ behaviour }));
            const closed = once(tray, 'connectionClosed');
            const error = await connectTo([tray.port], { timeoutMs: 200 }).then(assert.fail, (e) => e);
            assert.ok(error instanceof type, `${error}`);
            assert.equal(error.code, code);
            // The failed attempt leaves no connection behind.
            await closed;
        });
    }

    test('reports the refusal text', async () => {
        const tray = await started(startTray({ behaviour: behaviours.badContext }));
        await assert.rejects(connectTo([tray.port]), { error: 'Bad context!' });
    });

    test('times out while a port accepts TCP but never completes the opening handshake', async () => {
        const silent = await started(startTcpServer({ hangUp: false }));
        await assert.rejects(connectTo([silent.port], { timeoutMs: 100, portTimeoutMs: 50 }), { code: 'TIMEOUT', timeoutMs: 100 });
    });

    const badOptions = [
        { name: 'version with two numbers', options: { version: '2.6' } },
        { name: 'instance with a hyphen', options: { instance: 'page-1' } },
        { name: 'missing app', options: { app: undefined } },
        { name: 'empty port list', options: { ports: [] } },
        { name: 'no WebSocket constructor', options: { WebSocket: null } },
    ];
    for (const { name, options } of badOptions) {
        test(`refuses ${name} before connecting anywhere`, async () => {
            const before = TestWebSocket.urls.length;
            await assert.rejects(connect({ ...namespace, ports: [1], WebSocket: TestWebSocket, ...options }), TypeError);
            assert.equal(TestWebSocket.urls.length, before);
        });
    }
});
