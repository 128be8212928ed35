// What the library's tests stand on: Node's own WebSocket client (the browsers' API), and plain
// Node servers over loopback that play the tray or another program on one of its ports.
import { createHash } from 'node:crypto';
import { EventEmitter, once } from 'node:events';
import http from 'node:http';
import net from 'node:net';
import { after } from 'node:test';

import { connect } from '../quillet.mjs';

export const skip = typeof globalThis.WebSocket === 'function' ? false : 'needs node --experimental-websocket';
export const namespace = { app: 'Quillet', version: '2.6.1', instance: 'page1' };
export const connectTo = (ports, options = {}) => connect({ ...namespace, ports, ...options });

// Everything a test starts is stopped after the file, also when an assertion failed midway.
const running = [];
after(() => Promise.all(running.map((stop) => stop())));

async function listen(server) {
    const sockets = new Set();
    server.on('connection', (socket) => {
        sockets.add(socket.on('close', () => sockets.delete(socket)).on('error', () => {}));
    });
    server.listen(0, '127.0.0.1');
    await once(server, 'listening');
    running.push(async () => {
        sockets.forEach((socket) => socket.destroy());
        server.close();
        await once(server, 'close');
    });
    return server.address().port;
}

/** A port on which nothing listens (the kernel refuses connections to it). */
export async function freePort() {
    const server = net.createServer().listen(0, '127.0.0.1');
    await once(server, 'listening');
    const { port } = server.address();
    await new Promise((resolve) => server.close(resolve));
    return port;
}

/** Another program on the port: an HTTP server that refuses the upgrade; emits 'seen'. */
export async function startHttpServer() {
    const server = http.createServer((request, response) => response.writeHead(404).end());
    server.on('upgrade', (request, socket) => {
        server.emit('seen');
        socket.end('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n');
    });
    return { server, port: await listen(server) };
}

/** Another program on the port: accepts TCP and then either says nothing or hangs up. */
export async function startTcpServer({ hangUp }) {
    return { port: await listen(net.createServer((socket) => hangUp && socket.destroy())) };
}

// Server frames: final and unmasked.
function frame(opcode, payload) {
    const n = payload.length;
    const head = Buffer.alloc(n < 126 ? 2 : n < 65536 ? 4 : 10);
    head[0] = 0x80 | opcode;
    if (n < 126) {
        head[1] = n;
    } else if (n < 65536) {
        head[1] = 126;
        head.writeUInt16BE(n, 2);
    } else {
        head[1] = 127;
        head.writeBigUInt64BE(BigInt(n), 2);
    }
    return Buffer.concat([head, payload]);
}

// Cuts a client's (masked) frame from the front of `bytes`, or tells how many bytes it needs.
// Clients here send each message in one frame.
function parse(bytes) {
    let length = bytes[1] & 0x7f;
    const offset = length === 126 ? 4 : length === 127 ? 10 : 2;
    if (bytes.length < offset + 4) {
        return { needed: offset + 4 };
    }
    length = offset === 4 ? bytes.readUInt16BE(2) : offset === 10 ? Number(bytes.readBigUInt64BE(2)) : length;
    const end = offset + 4 + length;
    if (bytes.length < end) {
        return { needed: end };
    }
    const payload = Buffer.from(bytes.subarray(offset + 4, end));
    for (let i = 0; i < length; ++i) {
        payload[i] ^= bytes[offset + (i & 3)];
    }
    return { opcode: bytes[0] & 0x0f, payload, end };
}

/** The tray's end of one connection; emits 'message' (text) and 'close' ({code, reason, clean}). */
class Connection extends EventEmitter {
    #socket;
    #chunks = [];
    #length = 0;
    #needed = 2;
    #closeSent = false;
    #closeFrame = null;

    constructor(socket, head) {
        super();
        this.#socket = socket;
        socket.on('data', (chunk) => this.#data(chunk));
        socket.on('close', () => this.emit('close', this.#closeFrame ?? { code: 1006, reason: '', clean: false }));
        queueMicrotask(() => this.#data(head));
    }

    get isOpen() {
        return !this.#closeSent && !this.#socket.destroyed;
    }

    /** Several messages go in one TCP write, so that the page reads them in one go. */
    sendText(...texts) {
        if (this.isOpen) {
            this.#socket.write(Buffer.concat(texts.map((text) => frame(0x1, Buffer.from(text)))));
        }
    }

    close(code = 1000, reason = '') {
        const payload = Buffer.alloc(2 + Buffer.byteLength(reason));
        payload.writeUInt16BE(code);
        payload.write(reason, 2);
        if (this.isOpen) {
            this.#socket.write(frame(0x8, payload));
        }
        this.#closeSent = true;
    }

    /** Drops the TCP connection without a closing handshake, as a crashing tray would. */
    destroy() {
        this.#socket.destroy();
    }

    // Joins chunks only once a whole frame may be there, so that 4 MiB aren't copied per chunk.
    #data(chunk) {
        this.#chunks.push(chunk);
        this.#length += chunk.length;
        while (this.#length >= this.#needed) {
            const bytes = Buffer.concat(this.#chunks);
            const { needed = 2, opcode, payload, end } = parse(bytes);
            this.#needed = needed;
            this.#chunks = end === undefined ? [bytes] : [bytes.subarray(end)];
            this.#length = this.#chunks[0].length;
            if (opcode === 0x1) {
                this.emit('message', payload.toString('utf8'));
            } else if (opcode === 0x8) {
                const code = payload.length >= 2 ? payload.readUInt16BE(0) : 1005;
                this.#closeFrame = { code, reason: payload.subarray(2).toString(), clean: true };
                if (this.isOpen) {
                    this.#socket.write(frame(0x8, payload.subarray(0, 2)));
                }
                this.#closeSent = true;
                this.#socket.end();
            }
        }
    }
}

export const isCheckContext = (request) => /\.QES\.CheckContext$/.test(request.method ?? '');

/** The CheckContext reply the tray sends, with the request's id echoed. */
export const checkContextReply = ({ id, method }, error) => JSON.stringify({ error, id, method, result: '' });

/** Ways the tray may answer a message: each gets the connection and the parsed request. */
export const behaviours = {
    // CheckContext accepted; anything else answered as the demo signer does, "args" as "result".
    echo(connection, request) {
        const { id, method, args } = request;
        connection.sendText(isCheckContext(request) ? checkContextReply(request, '') : JSON.stringify({ id, method, result: args }));
    },
    badContext(connection, request) {
        connection.sendText(checkContextReply(request, 'Bad context!'));
        connection.close(1001);
    },
    closeBeforeReply: (connection) => connection.close(1001),
    dropBeforeReply: (connection) => connection.destroy(),
    silent() {},
};

/**
 * A WebSocket server on loopback that plays the tray: `behaviour(connection, request, tray)`
 * answers each message; `holdUpgrade` (a promise) delays the opening handshake until it settles.
 * Emits 'connection', 'request' and 'connectionClosed'; `received` lists every request.
 */
export async function startTray({ behaviour = behaviours.echo, holdUpgrade = null } = {}) {
    const server = http.createServer((request, response) => response.writeHead(426).end());
    const tray = Object.assign(new EventEmitter(), { received: [] });
    server.on('upgrade', async (request, socket, head) => {
        await holdUpgrade;
        const accept = createHash('sha1').update(`${request.headers['sec-websocket-key']}258EAFA5-E914-47DA-95CA-C5AB0DC85B11`);
        socket.write(
            'HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
                `Sec-WebSocket-Accept: ${accept.digest('base64')}\r\n\r\n`,
        );
        const connection = new Connection(socket, head);
        connection.on('message', (text) => {
            const parsed = JSON.parse(text);
            tray.received.push(parsed);
            tray.emit('request', parsed, connection);
            behaviour(connection, parsed, tray);
        });
        connection.on('close', (how) => tray.emit('connectionClosed', how));
        tray.emit('connection', connection);
    });
    tray.port = await listen(server);
    return tray;
}
