import assert from 'node:assert/strict';
import { once } from 'node:events';
import { after, describe, test } from 'node:test';

import { ConnectionClosedError, connect } from '../quillet.mjs';
import { TestWebSocket, behaviours, checkContextReply, isCheckContext, startTray } from './wshelper.mjs';

const namespace = { app: 'Quillet', version: '2.6.1', instance: 'page1' };

const running = [];
after(() => Promise.all(running.map((tray) => tray.stop())));

/** A tray that answers CheckContext and hands every later request to `behaviour`. */
async function open({ behaviour = behaviours.echo, onmessage } = {}) {
    const tray = await startTray({
        behaviour: (connection, request, self) =>
            isCheckContext(request) ? behaviours.echo(connection, request) : behaviour(connection, request, self),
    });
    running.push(tray);
    const [[connection], session] = await Promise.all([
        once(tray, 'connection'),
        connect({ ...namespace, ports: [tray.port], WebSocket: TestWebSocket, onmessage }),
    ]);
    return { tray, session, connection, requests: () => tray.received.filter((r) => !isCheckContext(r)) };
}

function messagesOf(session, count) {
    return new Promise((resolve) => {
        const seen = [];
        session.addEventListener('message', (event) => {
            seen.push(event);
            if (seen.length === count) {
                resolve(seen);
            }
        });
    });
}

describe('calls', { timeout: 20000 }, () => {
    const payloads = [
        { name: 'no arguments', args: undefined, expected: [] },
        { name: 'object', args: { text: 'Ahoj, svet', n: 7 }, expected: { text: 'Ahoj, svet', n: 7 } },
        { name: 'non-ASCII text', args: ['Podpísať dokument ✓'], expected: ['Podpísať dokument ✓'] },
        { name: '4 MiB document', args: ['x'.repeat(4 * 1024 * 1024)], expected: ['x'.repeat(4 * 1024 * 1024)] },
    ];
    for (const { name, args, expected } of payloads) {
        test(`round-trips ${name}`, async () => {
            const { session, requests } = await open();
            const reply = await session.call('Echo', args);
            assert.equal(reply.method, 'Quillet.2.6.1.page1.QES.Echo');
            assert.deepEqual(reply.result, expected);
            const [request] = requests();
            assert.equal(request.id, reply.id);
            await session.close();
        });
    }

    test('sends text beyond ASCII as JSON escapes, so that no frame boundary splits a character', async () => {
        const { session, connection } = await open();
        const texts = [];
        connection.on('message', (text) => texts.push(text));
        const args = ['Podpísať ✓ 😀', { 'kľúč': '\u0080\uffff' }, 'lone \ud800 half'];
        const reply = await session.call('Echo', args);
        assert.match(texts[0], /^[\x00-\x7f]*$/);
        assert.ok(texts[0].includes('Podp\\u00edsa\\u0165 \\u2713 \\ud83d\\ude00'), texts[0]);
        assert.deepEqual(JSON.parse(texts[0]).args, args);
        assert.deepEqual(reply.result, args);
        await session.close();
    });

    test('matches overlapping calls by id when replies come in reverse order', async () => {
        const held = [];
        const { session, requests } = await open({
            behaviour: (connection, request) => {
                held.push(request);
                if (held.length === 3) {
                    for (const r of held.reverse()) {
                        connection.sendText(JSON.stringify({ id: r.id, method: r.method, result: r.args }));
                    }
                }
            },
        });
        const replies = await Promise.all([session.call('Sign', ['a']), session.call('Sign', ['b']), session.call('Verify', ['c'])]);
        assert.deepEqual(
            replies.map((r) => [r.method.split('.').pop(), r.result[0]]),
            [['Sign', 'a'], ['Sign', 'b'], ['Verify', 'c']],
        );
        const ids = requests().map((r) => r.id);
        assert.equal(new Set(ids).size, 3, 'each call has its own id');
        assert.ok(ids.every((id) => typeof id === 'string' && id !== ''));
        await session.close();
    });

    const badNames = ['', 'Sign.Document', 'Sign-Document', 'Podpísať'];
    for (const name of badNames) {
        test(`refuses the method name "${name}" without sending`, async () => {
            const { session, requests } = await open();
            await assert.rejects(session.call(name), TypeError);
            await session.call('Echo');
            assert.equal(requests().length, 1);
            await session.close();
        });
    }
});

describe('messages that answer no call', { timeout: 20000 }, () => {
    const unsolicited = [
        { name: 'without id', text: '{"method":"Quillet.2.6.1.page1.QES.Progress","result":50}' },
        { name: 'with an unknown id', text: '{"id":"nobody","result":1}' },
        { name: 'with a numeric id', text: '{"id":1,"result":1}' },
        { name: 'that is not JSON', text: 'not json' },
    ];
    for (const { name, text } of unsolicited) {
        test(`reaches the handler: ${name}`, async () => {
            const { session, connection } = await open({
                behaviour: (c, request) => {
                    c.sendText(text);
                    behaviours.echo(c, request);
                },
            });
            const events = messagesOf(session, 1);
            const reply = await session.call('Echo', ['after']);
            assert.deepEqual(reply.result, ['after']);
            const [event] = await events;
            assert.equal(event.data, text);
            let parsed = null;
            try {
                parsed = JSON.parse(text);
            } catch {
                // Not JSON: the event carries only the text.
            }
            assert.deepEqual(event.message, parsed);
            assert.ok(connection.isOpen);
            await session.close();
        });
    }

    test('sent right after the handshake reply are kept for the page', async () => {
        const tray = await startTray({
            behaviour: (connection, request) =>
                connection.sendTexts([checkContextReply(request, ''), '{"result":"early 1"}', '{"result":"early 2"}']),
        });
        running.push(tray);
        const session = await connect({ ...namespace, ports: [tray.port], WebSocket: TestWebSocket });
        const events = await messagesOf(session, 2);
        assert.deepEqual(events.map((e) => e.message.result), ['early 1', 'early 2']);
        await session.close();
    });

    test('go to the onmessage option from the start', async () => {
        const seen = [];
        let resolveSeen;
        const pushed = new Promise((resolve) => {
            resolveSeen = resolve;
        });
        const { session } = await open({
            behaviour: (connection) => connection.sendText('{"result":"pushed"}'),
            onmessage: (event) => {
                seen.push(event.message.result);
                resolveSeen();
            },
        });
        const subscribe = session.call('Subscribe');
        await pushed;
        assert.deepEqual(seen, ['pushed']);
        const closing = session.close();
        await assert.rejects(subscribe, ConnectionClosedError);
        await closing;
    });
});

describe('closing', { timeout: 20000 }, () => {
    const endings = [
        { name: 'closes', end: (connection) => connection.close(1001, 'going'), code: 1001, wasClean: true },
        { name: 'drops the connection', end: (connection) => connection.destroy(), code: 1006, wasClean: false },
    ];
    for (const { name, end, code, wasClean } of endings) {
        test(`rejects pending calls when the tray ${name}`, async () => {
            const { session, tray } = await open({
                behaviour: (connection, request, self) => {
                    if (self.received.length === 3) {
                        end(connection);
                    }
                },
            });
            const closeEvent = once(session, 'close');
            const calls = [session.call('Sign'), session.call('Sign')];
            for (const call of calls) {
                await assert.rejects(call, (error) => error instanceof ConnectionClosedError && error.code === 'CONNECTION_CLOSED');
            }
            const [event] = await closeEvent;
            assert.equal(event.code, code);
            assert.equal(event.wasClean, wasClean);
            assert.deepEqual(await session.closed, { code, reason: wasClean ? 'going' : '', wasClean });
            assert.equal(session.isOpen, false);
            await assert.rejects(session.call('Echo'), ConnectionClosedError);
            assert.equal(tray.received.length, 3);
        });
    }

    test('close() ends the connection, rejects pending calls and refuses new ones', async () => {
        const { session, tray } = await open({ behaviour: behaviours.silent });
        const trayClosed = once(tray, 'connectionClosed');
        const pending = session.call('Sign');
        await once(tray, 'request');
        const closeEvent = once(session, 'close');
        const closing = session.close();
        await assert.rejects(pending, ConnectionClosedError);
        await assert.rejects(session.call('Echo'), ConnectionClosedError);
        const [{ code, clean }] = await trayClosed;
        assert.equal(code, 1000);
        assert.equal(clean, true);
        assert.equal((await closing).code, 1000);
        await closeEvent;
        assert.equal(session.close(), session.closed, 'closing again changes nothing');
    });
});
