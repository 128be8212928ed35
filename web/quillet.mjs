// Client library for web pages that talk to Quillet Tray over its loopback WebSocket.
// No dependencies: it needs only a WebSocket constructor with the browser's API.

/** The tray binds the first free port of this list, so pages try them in the same order. */
export const DEFAULT_PORTS = Object.freeze([2378, 3546, 4384, 5147, 5692, 6378, 7678, 7681, 9799, 9796]);
export const DEFAULT_TIMEOUT_MS = 10000;
export const DEFAULT_PORT_TIMEOUT_MS = 2000;

const HOST = '127.0.0.1';
const WORD = /^[A-Za-z0-9_]+$/;
const VERSION = /^[0-9]+\.[0-9]+\.[0-9]+$/;
const OPEN = 1;

/** Base class of every error this library rejects with; `code` tells the kind. */
export class QuilletError extends Error {
    constructor(code, message) {
        super(message);
        this.name = new.target.name;
        this.code = code;
    }
}

/** No port of the list completed a WebSocket handshake. */
export class NoTrayError extends QuilletError {
    constructor(ports) {
        super('NO_TRAY', `Quillet Tray is not running: no answer on ports ${ports.join(', ')}`);
        this.ports = ports;
    }
}

/** The tray refused the page: its CheckContext reply carried an error ("Bad context!"). */
export class BadContextError extends QuilletError {
    constructor(error) {
        super('BAD_CONTEXT', `Quillet Tray refused the page: ${error}`);
        this.error = error;
    }
}

/** The connection closed before the awaited reply came (or the session was already closed). */
export class ConnectionClosedError extends QuilletError {
    constructor(message, closeCode, reason) {
        super('CONNECTION_CLOSED', message);
        this.closeCode = closeCode;
        this.reason = reason;
    }
}

/** connect() did not finish within its time limit. */
export class TimeoutError extends QuilletError {
    constructor(timeoutMs) {
        super('TIMEOUT', `Quillet Tray did not answer within ${timeoutMs} ms`);
        this.timeoutMs = timeoutMs;
    }
}

/** A message from the tray that answers no pending call. */
export class SessionMessageEvent extends Event {
    constructor(data, message) {
        super('message');
        this.data = data;
        this.message = message;
    }
}

export class SessionCloseEvent extends Event {
    constructor(code, reason, wasClean) {
        super('close');
        this.code = code;
        this.reason = reason;
        this.wasClean = wasClean;
    }
}

// Guard the session constructor and the steps that only connect() may take.
const internal = Symbol('quillet.internal');
const abort = Symbol('quillet.abort');

// The tray's WebSocket server (Qt 6.4) refuses a text message, closing with 1007, when the
// bytes of one character are split between two frames, and browsers cut large messages into
// frames anywhere. Requests therefore travel as pure ASCII, every other character as a JSON
// escape: the signer reads the very same value.
function asciiJson(value) {
    return JSON.stringify(value).replace(/[\u0080-\uffff]/g, (c) => `\\u${c.charCodeAt(0).toString(16).padStart(4, '0')}`);
}

function parseObject(data) {
    if (typeof data !== 'string') {
        return null;
    }
    try {
        const value = JSON.parse(data);
        return value !== null && typeof value === 'object' && !Array.isArray(value) ? value : null;
    } catch {
        return null;
    }
}

function closeQuietly(ws, code) {
    try {
        ws.close(code);
    } catch {
        // Already closing or closed: nothing left to end.
    }
}

function listen(ws, handlers) {
    for (const [type, handler] of Object.entries(handlers)) {
        ws.addEventListener(type, handler);
    }
    return () => {
        for (const [type, handler] of Object.entries(handlers)) {
            ws.removeEventListener(type, handler);
        }
    };
}

/** One page's conversation with the tray and its signer; made by connect(). */
export class Session extends EventTarget {
    #ws;
    #port;
    #namespace;
    #pending = new Map();
    #lastId = 0;
    // handshake -> open -> closing (close() called) -> closed
    #state = 'handshake';
    // Events wait here until the page has had the session in its hands.
    #held = [];
    #holding = true;
    #detach;
    #closed;
    #resolveClosed;

    onmessage = null;
    onclose = null;

    constructor(token, ws, port, namespace) {
        if (token !== internal) {
            throw new TypeError('Sessions are made by connect()');
        }
        super();
        this.#ws = ws;
        this.#port = port;
        this.#namespace = Object.freeze({ ...namespace });
        this.#closed = new Promise((resolve) => {
            this.#resolveClosed = resolve;
        });
        this.#detach = listen(ws, {
            message: (event) => this.#received(event.data),
            close: (event) => this.#ended(event.code, event.reason, event.wasClean),
        });
    }

    /** The port on which the tray answered. */
    get port() {
        return this.#port;
    }

    /** `{app, version, instance}` as given to connect(). */
    get namespace() {
        return this.#namespace;
    }

    get isOpen() {
        return this.#state === 'open';
    }

    /** Resolves with `{code, reason, wasClean}` once the connection has closed. */
    get closed() {
        return this.#closed;
    }

    /** The full method name the tray and signer expect, such as "Quillet.2.6.1.page1.QES.Echo". */
    qualifiedName(name) {
        const { app, version, instance } = this.#namespace;
        return `${app}.${version}.${instance}.QES.${name}`;
    }

    /** Sends one request; resolves with the reply object whose "id" matches. */
    call(name, args = []) {
        if (typeof name !== 'string' || !WORD.test(name)) {
            return Promise.reject(new TypeError(`Method name must be letters, digits or "_": ${name}`));
        }
        if (this.#state !== 'open') {
            return Promise.reject(new ConnectionClosedError('The session is closed'));
        }
        return this.#request(name, args);
    }

    /** Ends the session; the tray then ends the signer. Resolves like `closed`. */
    close() {
        if (this.#state === 'handshake' || this.#state === 'open') {
            this.#state = 'closing';
            // A closing browser socket drops any later reply, so waiting for one is pointless.
            this.#rejectPending(new ConnectionClosedError('The session was closed by the page'));
            closeQuietly(this.#ws, 1000);
        }
        return this.#closed;
    }

    async [internal]() {
        const reply = await this.#request('CheckContext', []);
        if (reply.error !== '') {
            throw new BadContextError(String(reply.error));
        }
        this.#state = 'open';
        setTimeout(() => this.#release(), 0);
        return this;
    }

    #request(name, args) {
        const id = String(++this.#lastId);
        let text;
        try {
            text = asciiJson({ args, id, method: this.qualifiedName(name) });
        } catch (error) {
            return Promise.reject(error);
        }
        if (this.#ws.readyState !== OPEN) {
            return Promise.reject(new ConnectionClosedError('The connection is not open'));
        }
        return new Promise((resolve, reject) => {
            this.#pending.set(id, { name, resolve, reject });
            try {
                this.#ws.send(text);
            } catch (error) {
                this.#pending.delete(id);
                reject(error);
            }
        });
    }

    #received(data) {
        const message = parseObject(data);
        let id = message !== null && typeof message.id === 'string' ? message.id : undefined;
        // A tray that leaves out the id is still answering CheckContext while that is the only request.
        if (id === undefined && this.#state === 'handshake' && message !== null &&
            message.method === this.qualifiedName('CheckContext') && this.#pending.size === 1) {
            id = this.#pending.keys().next().value;
        }
        const call = id === undefined ? undefined : this.#pending.get(id);
        if (call !== undefined) {
            this.#pending.delete(id);
            call.resolve(message);
            return;
        }
        this.#emit(new SessionMessageEvent(data, message));
    }

    #ended(code, reason, wasClean) {
        const wasShown = this.#state !== 'handshake';
        this.#state = 'closed';
        this.#detach();
        this.#rejectPending(new ConnectionClosedError(`The connection closed before the reply (code ${code})`, code, reason));
        this.#resolveClosed({ code, reason, wasClean });
        if (wasShown) {
            this.#emit(new SessionCloseEvent(code, reason, wasClean));
        }
    }

    #rejectPending(error) {
        const calls = [...this.#pending.values()];
        this.#pending.clear();
        for (const call of calls) {
            call.reject(error);
        }
    }

    #emit(event) {
        if (this.#holding) {
            this.#held.push(event);
        } else {
            this.#dispatch(event);
        }
    }

    #release() {
        this.#holding = false;
        for (const event of this.#held.splice(0)) {
            this.#dispatch(event);
        }
    }

    #dispatch(event) {
        const handler = event.type === 'message' ? this.onmessage : this.onclose;
        if (typeof handler === 'function') {
            handler.call(this, event);
        }
        this.dispatchEvent(event);
    }

    // Ends a session that never reached the page.
    [abort]() {
        this.#state = 'closed';
        this.#detach();
        this.#pending.clear();
        closeQuietly(this.#ws);
    }
}

function readOptions(options) {
    const {
        app,
        version,
        instance,
        timeoutMs = DEFAULT_TIMEOUT_MS,
        portTimeoutMs = DEFAULT_PORT_TIMEOUT_MS,
        ports = DEFAULT_PORTS,
        WebSocket: WebSocketImpl = globalThis.WebSocket,
        onmessage = null,
    } = options;
    // The tray reads the namespace with exactly these patterns and ignores a page that misses them.
    if (typeof app !== 'string' || !WORD.test(app)) {
        throw new TypeError(`app must be letters, digits or "_": ${app}`);
    }
    if (typeof version !== 'string' || !VERSION.test(version)) {
        throw new TypeError(`version must be three numbers such as 2.6.1: ${version}`);
    }
    if (typeof instance !== 'string' || !WORD.test(instance)) {
        throw new TypeError(`instance must be letters, digits or "_": ${instance}`);
    }
    if (!Array.isArray(ports) || ports.length === 0 || !ports.every((p) => Number.isInteger(p) && p > 0 && p < 65536)) {
        throw new TypeError('ports must be a non-empty list of port numbers');
    }
    for (const [name, value] of [['timeoutMs', timeoutMs], ['portTimeoutMs', portTimeoutMs]]) {
        if (typeof value !== 'number' || !(value > 0)) {
            throw new TypeError(`${name} must be a positive number of milliseconds`);
        }
    }
    if (typeof WebSocketImpl !== 'function') {
        throw new TypeError('No WebSocket implementation: pass one as the WebSocket option');
    }
    return { namespace: { app, version, instance }, timeoutMs, portTimeoutMs, ports: [...ports], WebSocketImpl, onmessage };
}

/**
 * Finds the tray and opens a session. A port that is slow to answer stays in the race while
 * the next ones are tried, so a busy tray is still found and a silent program doesn't block.
 */
export function connect(options = {}) {
    return new Promise((resolve, reject) => {
        const { namespace, timeoutMs, portTimeoutMs, ports, WebSocketImpl, onmessage } = readOptions(options);
        const attempts = new Set();
        let next = 0;
        let newest = null;
        let portTimer;
        let session = null;
        let done = false;

        const dropAttempts = () => {
            clearTimeout(portTimer);
            for (const attempt of attempts) {
                attempt.detach();
                closeQuietly(attempt.ws);
            }
            attempts.clear();
        };

        const finish = (error) => {
            if (done) {
                return;
            }
            done = true;
            clearTimeout(deadline);
            dropAttempts();
            if (error) {
                session?.[abort]();
                reject(error);
            } else {
                resolve(session);
            }
        };

        const deadline = setTimeout(() => finish(new TimeoutError(timeoutMs)), timeoutMs);

        const failed = (attempt) => {
            if (!attempts.delete(attempt)) {
                return;
            }
            attempt.detach();
            closeQuietly(attempt.ws);
            if (attempt === newest) {
                tryNext();
            } else if (attempts.size === 0 && next >= ports.length) {
                finish(new NoTrayError(ports));
            }
        };

        const tryNext = () => {
            clearTimeout(portTimer);
            while (!done && next < ports.length) {
                const port = ports[next++];
                let ws;
                try {
                    ws = new WebSocketImpl(`ws://${HOST}:${port}/`);
                } catch {
                    continue;
                }
                const attempt = { ws, port };
                attempt.detach = listen(ws, {
                    open: () => win(attempt),
                    error: () => failed(attempt),
                    close: () => failed(attempt),
                });
                attempts.add(attempt);
                newest = attempt;
                portTimer = setTimeout(tryNext, portTimeoutMs);
                return;
            }
            if (!done && attempts.size === 0) {
                finish(new NoTrayError(ports));
            }
        };

        const win = (attempt) => {
            attempts.delete(attempt);
            attempt.detach();
            dropAttempts();
            session = new Session(internal, attempt.ws, attempt.port, namespace);
            if (typeof onmessage === 'function') {
                session.onmessage = onmessage;
            }
            session[internal]().then(
                () => finish(),
                (error) => finish(error),
            );
        };

        tryNext();
    });
}
