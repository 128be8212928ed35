// Type declarations of quillet.mjs, the web page client library of Quillet Tray.

/** The tray's ports, in the order in which it binds them and pages try them. */
export declare const DEFAULT_PORTS: readonly number[];
/** Time limit of connect() as a whole, in milliseconds. */
export declare const DEFAULT_TIMEOUT_MS: number;
/** How long one port may take to open before the next one is tried as well, in milliseconds. */
export declare const DEFAULT_PORT_TIMEOUT_MS: number;

export type QuilletErrorCode = 'NO_TRAY' | 'BAD_CONTEXT' | 'CONNECTION_CLOSED' | 'TIMEOUT';

export declare class QuilletError extends Error {
    readonly code: QuilletErrorCode;
}

/** No port of the list completed a WebSocket opening handshake: the tray is not running. */
export declare class NoTrayError extends QuilletError {
    readonly code: 'NO_TRAY';
    /** The ports tried, in order. */
    readonly ports: number[];
}

/** The tray refused the page, for instance because the browser runs under another user. */
export declare class BadContextError extends QuilletError {
    readonly code: 'BAD_CONTEXT';
    /** The "error" text of the tray's reply, normally "Bad context!". */
    readonly error: string;
}

/** The connection closed before the awaited reply, or the session was already closed. */
export declare class ConnectionClosedError extends QuilletError {
    readonly code: 'CONNECTION_CLOSED';
    /** The WebSocket close code, when the connection closed under the call. */
    readonly closeCode?: number;
    readonly reason?: string;
}

/** connect() did not finish within `timeoutMs`. */
export declare class TimeoutError extends QuilletError {
    readonly code: 'TIMEOUT';
    readonly timeoutMs: number;
}

/** A JSON object as the tray or the signer sent it. */
export interface Reply {
    id?: string;
    method?: string;
    result?: unknown;
    error?: string;
    [key: string]: unknown;
}

/** A message that answers no pending call: without "id", with an unknown one, or not JSON. */
export declare class SessionMessageEvent extends Event {
    readonly type: 'message';
    /** The frame as received. */
    readonly data: string | ArrayBuffer | Blob;
    /** The frame parsed as a JSON object, or null when it is not one. */
    readonly message: Reply | null;
}

export declare class SessionCloseEvent extends Event {
    readonly type: 'close';
    readonly code: number;
    readonly reason: string;
    readonly wasClean: boolean;
}

export interface Namespace {
    /** Names the signer program, for instance "Quillet" or "QuilletPkcs11". */
    app: string;
    /** Three numbers, for instance "2.6.1". */
    version: string;
    /** Names this page's instance: letters, digits and "_". */
    instance: string;
}

export interface ConnectOptions extends Namespace {
    /** Default DEFAULT_TIMEOUT_MS. */
    timeoutMs?: number;
    /** Default DEFAULT_PORT_TIMEOUT_MS. */
    portTimeoutMs?: number;
    /** Default DEFAULT_PORTS. */
    ports?: readonly number[];
    /** A constructor with the browser's WebSocket API; default globalThis.WebSocket. */
    WebSocket?: new (url: string) => WebSocket;
    /** Receives unsolicited messages from the start, also those sent right after the handshake. */
    onmessage?: ((this: Session, event: SessionMessageEvent) => void) | null;
}

export interface SessionEventMap {
    message: SessionMessageEvent;
    close: SessionCloseEvent;
}

export interface CloseInfo {
    code: number;
    reason: string;
    wasClean: boolean;
}

export declare class Session extends EventTarget {
    private constructor();
    /** The port on which the tray answered. */
    readonly port: number;
    readonly namespace: Readonly<Namespace>;
    readonly isOpen: boolean;
    /** Resolves once the connection has closed, whoever closed it. */
    readonly closed: Promise<CloseInfo>;
    onmessage: ((this: Session, event: SessionMessageEvent) => void) | null;
    onclose: ((this: Session, event: SessionCloseEvent) => void) | null;

    /** "app.version.instance.QES." followed by `name`. */
    qualifiedName(name: string): string;
    /**
     * Sends `{"args", "id", "method"}` with a fresh text id and resolves with the reply whose "id"
     * matches. Rejects with TypeError for a name that is not letters, digits and "_", and with
     * ConnectionClosedError when the session is closed or closes before the reply.
     */
    call(name: string, args?: unknown): Promise<Reply>;
    /** Ends the session; pending calls are rejected at once. Resolves like `closed`. */
    close(): Promise<CloseInfo>;

    addEventListener<K extends keyof SessionEventMap>(
        type: K,
        listener: (this: Session, event: SessionEventMap[K]) => void,
        options?: boolean | AddEventListenerOptions,
    ): void;
    addEventListener(type: string, listener: EventListenerOrEventListenerObject | null, options?: boolean | AddEventListenerOptions): void;
    removeEventListener<K extends keyof SessionEventMap>(
        type: K,
        listener: (this: Session, event: SessionEventMap[K]) => void,
        options?: boolean | EventListenerOptions,
    ): void;
    removeEventListener(type: string, listener: EventListenerOrEventListenerObject | null, options?: boolean | EventListenerOptions): void;
}

/**
 * Finds the tray on ws://127.0.0.1 (ports in order), sends CheckContext and resolves once the
 * tray's reply has an empty "error". Rejects with NoTrayError, BadContextError,
 * ConnectionClosedError or TimeoutError, and with TypeError for invalid options.
 */
export declare function connect(options: ConnectOptions): Promise<Session>;
