// The page library against small trays written here in plain Node on loopback, through Node's
// own WebSocket client (the browsers' API; Node 20 needs --experimental-websocket).
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { once } from 'node:events';
import http from 'node:http';
import { after, test } from 'node:test';
import { connect } from '../quillet.mjs';

const skip = typeof globalThis.WebSocket === 'function' ? false : 'needs node --experimental-websocket';
const servers = [];
after(() => servers.forEach((server) => server.closeAllConnections() || server.close()));
const CHECK = 'Quillet.2.6.1.page1.QES.CheckContext';
const open = (ports, options = {}) => connect({ app: 'Quillet', version: '2.6.1', instance: 'page1', ports, ...options });

const frame = (opcode, data, n = Buffer.byteLength(data)) =>
    Buffer.concat([Buffer.from(n < 126 ? [0x80 | opcode, n] : [0x80 | opcode, 126, n >> 8, n & 255]), Buffer.from(data)]);

// A tray that answers CheckContext with `error` and each later message with
// `answer(request, send, socket, calls)`; with `upgrade` false, a program that refuses WebSockets.
async function startTray({ answer = () => {}, upgrade = true, error = '' } = {}) {
    const server = http.createServer();
    const tray = { received: [] };
    server.on('upgrade', (request, socket) => {
        if (!upgrade) return socket.end('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n');
        const key = createHash('sha1').update(`${request.headers['sec-websocket-key']}258EAFA5-E914-47DA-95CA-C5AB0DC85B11`);
        socket.write(`HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ${key.digest('base64')}\r\n\r\n`);
        const send = (...texts) => socket.write(Buffer.concat(texts.map((text) => frame(1, text))));
        let bytes = Buffer.alloc(0);
        socket.on('error', () => {}).on('data', (chunk) => {
            for (bytes = Buffer.concat([bytes, chunk]); bytes.length >= 6; ) {
                const offset = (bytes[1] & 127) === 126 ? 4 : 2;
                const length = offset === 4 ? bytes.readUInt16BE(2) : bytes[1] & 127;
                if (bytes.length < offset + 4 + length) return;
                if ((bytes[0] & 15) === 8) return socket.end(frame(8, ''));
                const text = Buffer.from(bytes.subarray(offset + 4, offset + 4 + length).map((b, i) => b ^ bytes[offset + (i & 3)])).toString();
                bytes = bytes.subarray(offset + 4 + length);
                const request = { text, ...JSON.parse(text) };
                tray.received.push(request);
                if (request.method === CHECK) send(JSON.stringify({ error, id: request.id, method: CHECK, result: '' }));
                else answer(request, send, socket, tray.received.slice(1));
            }
        });
    });
    servers.push(server.listen(0, '127.0.0.1'));
    await once(server, 'listening');
    return Object.assign(tray, { port: server.address().port, server });
}

test('passes over a closed port and another program to the first tray', { skip }, async () => {
    const [closed, other, tray, second] = [await startTray(), await startTray({ upgrade: false }), await startTray(), await startTray()];
    closed.server.close();
    const session = await open([closed.port, other.port, tray.port, second.port], { portTimeoutMs: 60000 });
    assert.deepEqual([session.port, tray.received[0].method, typeof tray.received[0].id, second.received], [tray.port, CHECK, 'string', []]);
    await session.close();
});

test('reports NO_TRAY when every port failed, BAD_CONTEXT on refusal, TIMEOUT on silence', { skip }, async () => {
    const other = await startTray({ upgrade: false });
    await assert.rejects(open([other.port, other.port]), { code: 'NO_TRAY', ports: [other.port, other.port] });
    await assert.rejects(open([(await startTray({ error: 'Bad context!' })).port]), { code: 'BAD_CONTEXT', error: 'Bad context!' });
    const silent = await startTray();
    silent.server.removeAllListeners('upgrade');
    await assert.rejects(open([silent.port], { timeoutMs: 300, portTimeoutMs: 50 }), { code: 'TIMEOUT' });
});

// Text beyond ASCII goes as JSON escapes, which a frame split inside a character cannot break.
test('matches replies to calls by id, whatever their order, and sends only ASCII', { skip }, async () => {
    const tray = await startTray({ answer: (request, send, socket, calls) => calls.length === 3 && calls.reverse().forEach(({ id, method, args }) => send(JSON.stringify({ id, method, result: args }))) });
    const session = await open([tray.port]);
    const texts = ['a', 'b', 'Podpísať ✓ 😀'];
    const replies = await Promise.all(texts.map((text) => session.call('Sign', [text])));
    assert.deepEqual(replies.map((reply) => [reply.method, reply.result[0]]), texts.map((t) => ['Quillet.2.6.1.page1.QES.Sign', t]));
    assert.match(tray.received.map((request) => request.text).join(''), /^[\x00-\x7f]*$/);
    await session.close();
});

test('rejects pending calls when the tray closes, and every call after', { skip }, async () => {
    const tray = await startTray({ answer: (request, send, socket) => socket.end(frame(8, Buffer.from([3, 0xe9]))) });
    const session = await open([tray.port]);
    await assert.rejects(session.call('Sign'), { code: 'CONNECTION_CLOSED' });
    assert.equal((await session.closed).code, 1001);
    await assert.rejects(session.call('Echo'), { code: 'CONNECTION_CLOSED' });
});

test('refuses a namespace that the tray would not read, before connecting', async () => {
    await assert.rejects(open([1], { version: '2.6' }), TypeError);
});
