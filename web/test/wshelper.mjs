// Real WebSocket ends for the tests, in plain Node: a server that plays the tray and a client
// with the browser's WebSocket API, both speaking RFC 6455 over loopback TCP.
import { createHash, randomBytes } from 'node:crypto';
import { EventEmitter, once } from 'node:events';
import http from 'node:http';
import net from 'node:net';

const GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';
const TEXT = 0x1;
const BINARY = 0x2;
const CLOSE = 0x8;
const PING = 0x9;
const PONG = 0xa;

function acceptKey(key) {
    return createHash('sha1').update(key + GUID).digest('base64');
}

function encodeFrame(opcode, payload, masked) {
    const length = payload.length;
    const lengthBytes = length < 126 ? 0 : length < 65536 ? 2 : 8;
    const header = Buffer.alloc(2 + lengthBytes + (masked ? 4 : 0));
    header[0] = 0x80 | opcode;
    if (lengthBytes === 0) {
        header[1] = length;
    } else if (lengthBytes === 2) {
        header[1] = 126;
        header.writeUInt16BE(length, 2);
    } else {
        header[1] = 127;
        header.writeBigUInt64BE(BigInt(length), 2);
    }
    if (!masked) {
        return [header, payload];
    }
    header[1] |= 0x80;
    const key = randomBytes(4);
    key.copy(header, 2 + lengthBytes);
    const body = Buffer.from(payload);
    for (let i = 0; i < body.length; ++i) {
        body[i] ^= key[i & 3];
    }
    return [header, body];
}

// Collects bytes and cuts them into frames; joins chunks only once a whole frame may be there,
// so a message of several MiB isn't copied again for every chunk.
class FrameReader {
    #chunks = [];
    #length = 0;
    #needed = 2;

    push(chunk) {
        this.#chunks.push(chunk);
        this.#length += chunk.length;
        const frames = [];
        while (this.#length >= this.#needed) {
            const buffer = this.#chunks.length === 1 ? this.#chunks[0] : Buffer.concat(this.#chunks);
            const frame = this.#parse(buffer);
            if (frame === null) {
                this.#chunks = [buffer];
                continue;
            }
            const rest = buffer.subarray(frame.end);
            this.#chunks = rest.length ? [rest] : [];
            this.#length = rest.length;
            this.#needed = 2;
            frames.push(frame);
        }
        return frames;
    }

    #parse(buffer) {
        let offset = 2;
        let length = buffer[1] & 0x7f;
        if (length === 126) {
            offset = 4;
        } else if (length === 127) {
            offset = 10;
        }
        const masked = (buffer[1] & 0x80) !== 0;
        const headerLength = offset + (masked ? 4 : 0);
        if (buffer.length < headerLength) {
            this.#needed = headerLength;
            return null;
        }
        if (offset === 4) {
            length = buffer.readUInt16BE(2);
        } else if (offset === 10) {
            length = Number(buffer.readBigUInt64BE(2));
        }
        if (buffer.length < headerLength + length) {
            this.#needed = headerLength + length;
            return null;
        }
        const payload = Buffer.from(buffer.subarray(headerLength, headerLength + length));
        if (masked) {
            const key = buffer.subarray(offset, offset + 4);
            for (let i = 0; i < payload.length; ++i) {
                payload[i] ^= key[i & 3];
            }
        }
        return { fin: (buffer[0] & 0x80) !== 0, opcode: buffer[0] & 0x0f, payload, end: headerLength + length };
    }
}

/** One open WebSocket connection, either end; emits 'message' (text) and 'close' (code, reason, clean). */
export class Connection extends EventEmitter {
    #socket;
    #masked;
    #reader = new FrameReader();
    #fragments = [];
    #fragmentOpcode = 0;
    #closeSent = false;
    #ended = false;
    #closeFrame = null;

    constructor(socket, { client, head }) {
        super();
        this.#socket = socket;
        this.#masked = client;
        socket.setNoDelay(true);
        socket.on('data', (chunk) => this.#data(chunk));
        socket.on('error', () => socket.destroy());
        socket.on('close', () => this.#closed());
        if (head && head.length) {
            queueMicrotask(() => this.#data(head));
        }
    }

    get isOpen() {
        return !this.#closeSent && !this.#ended;
    }

    sendText(text) {
        this.#write(TEXT, Buffer.from(text, 'utf8'));
    }

    sendBinary(bytes) {
        this.#write(BINARY, Buffer.from(bytes));
    }

    close(code = 1000, reason = '') {
        if (this.#closeSent || this.#ended) {
            return;
        }
        const payload = Buffer.alloc(2 + Buffer.byteLength(reason));
        payload.writeUInt16BE(code, 0);
        payload.write(reason, 2);
        this.#write(CLOSE, payload);
        this.#closeSent = true;
    }

    /** Sends several messages in one TCP write, so that the peer reads them in one go. */
    sendTexts(texts) {
        this.#socket.cork();
        for (const text of texts) {
            this.sendText(text);
        }
        process.nextTick(() => this.#socket.uncork());
    }

    /** Drops the TCP connection without a closing handshake, as a crashing peer would. */
    destroy() {
        this.#socket.destroy();
    }

    #write(opcode, payload) {
        if (this.#closeSent || this.#ended) {
            return;
        }
        for (const part of encodeFrame(opcode, payload, this.#masked)) {
            this.#socket.write(part);
        }
    }

    #data(chunk) {
        for (const frame of this.#reader.push(chunk)) {
            this.#frame(frame);
        }
    }

    #frame({ fin, opcode, payload }) {
        if (opcode === CLOSE) {
            this.#closeFrame = {
                code: payload.length >= 2 ? payload.readUInt16BE(0) : 1005,
                reason: payload.subarray(2).toString('utf8'),
            };
            if (!this.#closeSent) {
                this.#write(CLOSE, payload.subarray(0, 2));
                this.#closeSent = true;
            }
            // The server ends the TCP connection; the client waits for it to do so.
            if (!this.#masked) {
                this.#socket.end();
            }
        } else if (opcode === PING) {
            this.#write(PONG, payload);
        } else if (opcode !== PONG) {
            if (opcode !== 0) {
                this.#fragmentOpcode = opcode;
            }
            this.#fragments.push(payload);
            if (fin) {
                const whole = Buffer.concat(this.#fragments.splice(0));
                this.emit('message', this.#fragmentOpcode === TEXT ? whole.toString('utf8') : whole);
            }
        }
    }

    #closed() {
        if (this.#ended) {
            return;
        }
        this.#ended = true;
        const frame = this.#closeFrame;
        this.emit('close', frame ? frame.code : 1006, frame ? frame.reason : '', frame !== null);
    }
}

function makeEvent(type, fields) {
    return Object.assign(new Event(type), fields);
}

/** A client with the browser's WebSocket API, enough for the library: events, send, close. */
export class TestWebSocket extends EventTarget {
    static CONNECTING = 0;
    static OPEN = 1;
    static CLOSING = 2;
    static CLOSED = 3;

    /** Every URL that any instance was made for, in order. */
    static urls = [];

    readyState = 0;
    #request;
    #connection = null;

    constructor(url) {
        super();
        this.url = url;
        TestWebSocket.urls.push(url);
        const { hostname, port, pathname } = new URL(url);
        const key = randomBytes(16).toString('base64');
        this.#request = http.request({
            host: hostname,
            port,
            path: pathname,
            agent: false,
            headers: { Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Key': key, 'Sec-WebSocket-Version': '13' },
        });
        this.#request.on('upgrade', (response, socket, head) => {
            if (response.headers['sec-websocket-accept'] !== acceptKey(key) || this.readyState !== 0) {
                socket.destroy();
                this.#fail();
                return;
            }
            this.#opened(new Connection(socket, { client: true, head }));
        });
        this.#request.on('response', (response) => {
            response.resume();
            this.#fail();
        });
        this.#request.on('error', () => this.#fail());
        this.#request.end();
    }

    send(text) {
        if (this.readyState === 0) {
            throw new DOMException('Still connecting', 'InvalidStateError');
        }
        if (this.readyState === 1) {
            this.#connection.sendText(text);
        }
    }

    close(code = 1000, reason = '') {
        if (this.readyState === 0) {
            this.#request.destroy();
            this.#fail();
        } else if (this.readyState === 1) {
            this.readyState = 2;
            this.#connection.close(code, reason);
        }
    }

    #opened(connection) {
        this.#connection = connection;
        this.readyState = 1;
        connection.on('message', (data) => {
            if (this.readyState === 1) {
                this.dispatchEvent(makeEvent('message', { data }));
            }
        });
        connection.on('close', (code, reason, wasClean) => {
            this.readyState = 3;
            this.dispatchEvent(makeEvent('close', { code, reason, wasClean }));
        });
        this.dispatchEvent(makeEvent('open'));
    }

    #fail() {
        if (this.readyState === 3) {
            return;
        }
        this.readyState = 3;
        this.dispatchEvent(makeEvent('error'));
        this.dispatchEvent(makeEvent('close', { code: 1006, reason: '', wasClean: false }));
    }
}

async function listenOnLoopback(server) {
    server.listen(0, '127.0.0.1');
    await once(server, 'listening');
    return server.address().port;
}

/** A port on which nothing listens (the kernel refuses connections to it). */
export async function freePort() {
    const server = net.createServer();
    const port = await listenOnLoopback(server);
    server.close();
    await once(server, 'close');
    return port;
}

/** The CheckContext reply the tray sends, with the request's id echoed. */
export function checkContextReply(request, error) {
    const reply = { error };
    if (typeof request.id === 'string' && request.id !== '') {
        reply.id = request.id;
    }
    return JSON.stringify({ ...reply, method: request.method, result: '' });
}

/** The demo signer's answer: "id", "method", and the "args" as "result". */
export function echoReply(request) {
    return JSON.stringify({ id: request.id, method: request.method, result: request.args });
}

export const isCheckContext = (request) => /\.QES\.CheckContext$/.test(request.method ?? '');

/** Ways the tray may answer a message: each gets the connection and the parsed request. */
export const behaviours = {
    echo(connection, request) {
        connection.sendText(isCheckContext(request) ? checkContextReply(request, '') : echoReply(request));
    },
    badContext(connection, request) {
        connection.sendText(checkContextReply(request, 'Bad context!'));
        connection.close(1001);
    },
    closeBeforeReply(connection) {
        connection.close(1001);
    },
    dropBeforeReply(connection) {
        connection.destroy();
    },
    silent() {},
};

/**
 * A WebSocket server on loopback that plays the tray. `behaviour(connection, request, tray)`
 * answers each message; `holdUpgrade` (a promise) delays the opening handshake until it settles.
 */
export async function startTray({ behaviour = behaviours.echo, holdUpgrade = null } = {}) {
    const server = http.createServer((request, response) => {
        response.writeHead(426).end();
    });
    const sockets = new Set();
    server.on('connection', (socket) => {
        sockets.add(socket);
        socket.on('close', () => sockets.delete(socket));
    });
    const tray = new EventEmitter();
    tray.received = [];
    tray.connections = [];
    server.on('upgrade', async (request, socket, head) => {
        tray.emit('upgradeRequest');
        if (holdUpgrade) {
            await holdUpgrade;
        }
        socket.write(
            'HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
                `Sec-WebSocket-Accept: ${acceptKey(request.headers['sec-websocket-key'])}\r\n\r\n`,
        );
        const connection = new Connection(socket, { client: false, head });
        tray.connections.push(connection);
        connection.on('message', (text) => {
            const parsed = JSON.parse(text);
            tray.received.push(parsed);
            tray.emit('request', parsed, connection);
            behaviour(connection, parsed, tray);
        });
        connection.on('close', (code, reason, clean) => tray.emit('connectionClosed', { code, reason, clean }));
        tray.emit('connection', connection);
    });
    tray.port = await listenOnLoopback(server);
    tray.stop = async () => {
        for (const socket of sockets) {
            socket.destroy();
        }
        server.close();
        await once(server, 'close');
    };
    return tray;
}

/** Another program on the port: an HTTP server that refuses the upgrade. */
export async function startHttpServer() {
    const server = http.createServer((request, response) => {
        server.emit('seen', request);
        response.writeHead(404, { Connection: 'close' }).end();
    });
    server.on('upgrade', (request, socket) => {
        server.emit('seen', request);
        socket.end('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n');
    });
    const port = await listenOnLoopback(server);
    return { server, port, stop: () => stopServer(server) };
}

/** Another program on the port: accepts TCP and then either says nothing or hangs up. */
export async function startTcpServer({ hangUp }) {
    const sockets = new Set();
    const server = net.createServer((socket) => {
        sockets.add(socket);
        socket.on('error', () => {});
        socket.on('close', () => sockets.delete(socket));
        if (hangUp) {
            socket.destroy();
        }
    });
    const port = await listenOnLoopback(server);
    return {
        server,
        port,
        stop: async () => {
            for (const socket of sockets) {
                socket.destroy();
            }
            await stopServer(server);
        },
    };
}

async function stopServer(server) {
    server.closeAllConnections?.();
    server.close();
    await once(server, 'close');
}
