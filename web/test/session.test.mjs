import assert from 'node:assert/strict';
import { once } from 'node:events';
import { describe, test } from 'node:test';

import { ConnectionClosedError } from '../quillet.mjs';
import { behaviours, checkContextReply, connectTo, isCheckContext, skip, startTray } from './wshelper.mjs';

/** A tray that accepts CheckContext and hands every later request to `behaviour`. */
async function open({ behaviour = behaviours.echo, onmessage } = {}) {
    const tray = await startTray({
        behaviour: (connection, request, self) => (isCheckContext(request) ? behaviours.echo : behaviour)(connection, request, self),
    });
    const [[connection], session] = await Promise.all([once(tray, 'connection'), connectTo([tray.port], { onmessage })]);
    return { tray, session, connection, requests: () => tray.received.filter((r) => !isCheckContext(r)) };
}

function messagesOf(session, count) {
    const seen = [];
    return new Promise((resolve) => {
        session.addEventListener('message', (event) => seen.push(event) === count && resolve(seen));
    });
}

describe('calls', { skip, timeout: 20000 }, () => {
    const document = 'x'.repeat(4 * 1024 * 1024);
    const payloads = [
        { name: 'no arguments', args: undefined, expected: [] },
        { name: 'an object', args: { text: 'Ahoj, svet', n: 7 }, expected: { text: 'Ahoj, svet', n: 7 } },
        { name: 'a 4 MiB document', args: [document], expected: [document] },
    ];
    for (const { name, args, expected } of payloads) {
        test(`round-trips ${name}`, async () => {
            const { session, requests } = await open();
            const reply = await session.call('Echo', args);
            assert.equal(reply.method, 'Quillet.2.6.1.page1.QES.Echo');
            assert.deepEqual(reply.result, expected);
            assert.equal(requests()[0].id, reply.id);
            await session.close();
        });
    }

    // The tray's WebSocket server closes with 1007 when a frame boundary splits a character.
    test('sends text beyond ASCII as JSON escapes', async () => {
        const { session, connection } = await open();
        const args = ['Podpísať ✓ 😀', 'lone \ud800 half'];
        const [[text], reply] = await Promise.all([once(connection, 'message'), session.call('Echo', args)]);
        assert.match(text, /^[\x00-\x7f]*$/);
        assert.ok(text.includes('Podp\\u00edsa\\u0165 \\u2713 \\ud83d\\ude00'), text);
        assert.deepEqual(reply.result, args);
        await session.close();
    });

    test('matches overlapping calls by id when replies come in reverse order', async () => {
        const held = [];
        const { session, requests } = await open({
            behaviour: (connection, request) => {
                if (held.push(request) === 3) {
                    held.reverse().forEach((r) => behaviours.echo(connection, r));
                }
            },
        });
        const replies = await Promise.all([session.call('Sign', ['a']), session.call('Sign', ['b']), session.call('Verify', ['c'])]);
        assert.deepEqual(
            replies.map((r) => [r.method.split('.').pop(), r.result[0]]),
            [['Sign', 'a'], ['Sign', 'b'], ['Verify', 'c']],
        );
        assert.equal(new Set(requests().map((r) => r.id)).size, 3, 'each call has its own id');
        await session.close();
    });

    for (const name of ['', 'Sign.Document', 'Podpísať']) {
        test(`refuses the method name "${name}" without sending`, async () => {
            const { session, requests } = await open();
            await assert.rejects(session.call(name), TypeError);
            await session.call('Echo');
            assert.equal(requests().length, 1);
            await session.close();
        });
    }
});

describe('messages that answer no call', { skip, timeout: 20000 }, () => {
    const unsolicited = [
        { name: 'without id', text: '{"method":"Quillet.2.6.1.page1.QES.Progress","result":50}' },
        { name: 'with an unknown id', text: '{"id":"nobody","result":1}' },
        { name: 'with a numeric id', text: '{"id":1,"result":1}' },
        { name: 'that is not JSON', text: 'not json', message: null },
    ];
    for (const { name, text, message = JSON.parse(text) } of unsolicited) {
        test(`reach the page: ${name}`, async () => {
            const { session, connection } = await open({
                behaviour: (c, request) => c.sendText(text, JSON.stringify({ id: request.id, result: 'after' })),
            });
            const events = messagesOf(session, 1);
            assert.equal((await session.call('Echo')).result, 'after');
            const [event] = await events;
            assert.deepEqual([event.data, event.message], [text, message]);
            assert.ok(connection.isOpen);
            await session.close();
        });
    }

    test('sent right after the handshake reply are kept for the page', async () => {
        const tray = await startTray({
            behaviour: (connection, request) =>
                connection.sendText(checkContextReply(request, ''), '{"result":"early 1"}', '{"result":"early 2"}'),
        });
        const session = await connectTo([tray.port]);
        const events = await messagesOf(session, 2);
        assert.deepEqual(events.map((e) => e.message.result), ['early 1', 'early 2']);
        await session.close();
    });

    test('go to the onmessage option from the start', async () => {
        let done;
        const pushed = new Promise((resolve) => (done = resolve));
        const { session } = await open({ behaviour: (connection) => connection.sendText('{"result":"pushed"}'), onmessage: done });
        const subscribe = session.call('Subscribe');
        assert.equal((await pushed).message.result, 'pushed');
        const closing = session.close();
        await assert.rejects(subscribe, ConnectionClosedError);
        await closing;
    });
});

describe('closing', { skip, timeout: 20000 }, () => {
    const endings = [
        { name: 'closes', end: (connection) => connection.close(1001, 'going'), closed: { code: 1001, reason: 'going', wasClean: true } },
        { name: 'drops the connection', end: (connection) => connection.destroy(), closed: { code: 1006, reason: '', wasClean: false } },
    ];
    for (const { name, end, closed } of endings) {
        test(`rejects pending calls when the tray ${name}`, async () => {
            const { session, tray } = await open({ behaviour: (connection, r, self) => self.received.length === 3 && end(connection) });
            const closeEvent = once(session, 'close');
            const calls = [session.call('Sign'), session.call('Sign')];
            for (const call of calls) {
                await assert.rejects(call, { name: 'ConnectionClosedError', code: 'CONNECTION_CLOSED' });
            }
            const [{ code, reason, wasClean }] = await closeEvent;
            assert.deepEqual({ code, reason, wasClean }, closed);
            assert.deepEqual(await session.closed, closed);
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
        const closing = session.close();
        await assert.rejects(pending, ConnectionClosedError);
        await assert.rejects(session.call('Echo'), ConnectionClosedError);
        assert.deepEqual((await trayClosed)[0], { code: 1000, reason: '', clean: true });
        assert.equal((await closing).code, 1000);
        assert.equal(session.close(), session.closed, 'closing again changes nothing');
    });
});
