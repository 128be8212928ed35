// The whole chain in a real browser: Debian's Chromium opens the demo page from loopback, the
// page finds the installed tray, the tray checks the browser's user in /proc/net/tcp and
// relays to the demo signer.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { mkdir } from 'node:fs/promises';
import path from 'node:path';
import { test } from 'node:test';
import {
    buildDir,
    holdPort,
    launchBrowser,
    portsInUse,
    serveWeb,
    startTray,
    TRAY_PORTS,
    waitFor,
} from './harness.mjs';

const MiB = 1024 * 1024;
const limits = { timeout: 30000 };

// Fixtures that a test stops when it ends, whatever its outcome; a failing test shows the
// tray's log.
async function fixtures(t) {
    const stops = [];
    const trays = [];
    t.after(async () => {
        for (const stop of stops.reverse()) {
            await stop();
        }
    });
    const keep = (handle) => {
        stops.push(() => handle.stop?.() ?? handle.close());
        return handle;
    };
    return {
        tray: async (options) => {
            const tray = keep(await startTray(options));
            trays.push(tray);
            return tray;
        },
        web: async () => keep(await serveWeb()),
        browser: async () => keep(await launchBrowser()),
        holdPort: async (port) => keep(await holdPort(port)),
        explain: async (error) => {
            for (const tray of trays) {
                error.message += `\n${await tray.describe()}`;
            }
            return error;
        },
    };
}

// Runs the test body; on failure the error carries the logs of the trays involved.
function browserTest(name, body) {
    test(name, limits, async (t) => {
        const f = await fixtures(t);
        try {
            await body(t, f);
        } catch (error) {
            throw await f.explain(error);
        }
    });
}

// Skips when another program holds a port the test needs; never the case in the own
// network namespace that the test command gives these tests.
async function skipUnlessFree(t, ports) {
    const busy = await portsInUse(ports);
    if (busy.length > 0) {
        t.skip(`port(s) ${busy.join(', ')} taken by other programs`);
        return false;
    }
    return true;
}

async function openDemo(browser, url) {
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    page.errors = errors;
    await page.goto(url);
    return page;
}

async function demoStatus(page, state) {
    await page.locator(`#status[data-state="${state}"]`).waitFor({ timeout: 15000 });
    return page.locator('#status-text').textContent();
}

// Does what act() starts on the demo page and returns the answer row it adds.
async function nextAnswer(page, act) {
    const rows = page.locator('#answers tr');
    const before = await rows.count();
    await act();
    await waitFor(async () => (await rows.count()) > before, 'an answer on the demo page', 20000);
    const newest = rows.first();
    return {
        kind: await newest.getAttribute('class'),
        call: await newest.locator('td').nth(1).textContent(),
        answer: await newest.locator('td.answer').textContent(),
    };
}

async function echo(page, text) {
    return nextAnswer(page, async () => {
        await page.fill('#echo-text', text);
        await page.click('#echo-send');
    });
}

// A document of at least `bytes` UTF-8 bytes, with letters beyond ASCII.
function makeDocument(bytes) {
    const line = 'Grüße, žluťoučký kůň – ✓ 😀 ';
    const lineBytes = new TextEncoder().encode(line).length;
    return line.repeat(Math.ceil(bytes / lineBytes));
}

browserTest('the demo page connects, is accepted as the same user, and round-trips an echo and 4 MiB', async (t, f) => {
    if (!(await skipUnlessFree(t, [TRAY_PORTS[0]]))) {
        return;
    }
    const tray = await f.tray();
    const web = await f.web();
    const browser = await f.browser();

    const page = await openDemo(browser, web.url('/demo.html'));
    assert.equal(await demoStatus(page, 'connected'), `Connected to the tray on port ${TRAY_PORTS[0]}`);
    // The real check: the browser's end of the connection belongs to this user.
    await tray.waitForLog('WebSocket client is authorized to communicate with this server');
    const messages = await tray.logMessages();
    assert.ok(messages.includes('Performing WebSocket client check'), messages.join('\n'));
    assert.ok(!messages.some((m) => m.includes('NOT authorized')), messages.join('\n'));

    const text = 'Hello from Chromium – ✓';
    assert.deepEqual(await echo(page, text), { kind: 'ok', call: `Echo "${text}"`, answer: text });
    const screenshots = path.join(buildDir, 'screenshots');
    await mkdir(screenshots, { recursive: true });
    await page.screenshot({ path: path.join(screenshots, 'demo-page-echo.png'), fullPage: true });

    // The demo page's own 4 MiB document, checked by the page on its return.
    const documentAnswer = await nextAnswer(page, () => page.click('#document-send'));
    assert.deepEqual(documentAnswer, { kind: 'ok', call: 'Echo document', answer: 'returned intact (4.00 MiB)' });

    // A second session of the same page, straight through the library, with text beyond ASCII.
    const document = makeDocument(4 * MiB);
    const direct = await page.evaluate(async (sent) => {
        const { connect } = await import('/quillet.mjs');
        const session = await connect({ app: 'Quillet', version: '2.6.1', instance: 'e2e_direct' });
        const reply = await session.call('Echo', [sent, { n: 1 }]);
        await session.close();
        return {
            port: session.port,
            intact: reply.result[0] === sent,
            rest: reply.result[1],
            bytes: new TextEncoder().encode(sent).length,
        };
    }, document);
    assert.equal(direct.port, TRAY_PORTS[0]);
    assert.ok(direct.bytes >= 4 * MiB);
    assert.deepEqual({ intact: direct.intact, rest: direct.rest }, { intact: true, rest: { n: 1 } });
    // And the signer itself received the very same document.
    const { messages: inputs } = await waitFor(async () => {
        const all = await tray.signerInputs();
        return all.find(({ messages }) => messages.at(-1)?.method === 'Quillet.2.6.1.e2e_direct.QES.DisposeInstance');
    }, 'the direct session to end');
    assert.equal(inputs[0].method, 'Quillet.2.6.1.e2e_direct.QES.Echo');
    assert.ok(inputs[0].args[0] === document, 'the signer received the document changed');
    assert.deepEqual(page.errors, []);
});

browserTest('closing the tab makes the tray send the signer DisposeInstance', async (t, f) => {
    if (!(await skipUnlessFree(t, [TRAY_PORTS[0]]))) {
        return;
    }
    const tray = await f.tray();
    const web = await f.web();
    const browser = await f.browser();

    const page = await openDemo(browser, web.url('/demo.html'));
    await demoStatus(page, 'connected');
    const instance = await page.inputValue('#instance');
    assert.equal((await echo(page, 'before closing')).kind, 'ok');
    await page.close();

    const namespace = `Quillet.2.6.1.${instance}.QES`;
    const { pid, messages: received } = await waitFor(async () => {
        const all = await tray.signerInputs();
        const mine = all.find(({ messages }) => messages[0]?.method?.startsWith(namespace));
        return mine?.messages.at(-1)?.method.endsWith('.DisposeInstance') && mine;
    }, 'the signer to receive DisposeInstance');
    assert.deepEqual(
        received.map((message) => message.method),
        [`${namespace}.Echo`, `${namespace}.DisposeInstance`],
    );
    assert.deepEqual(received.at(-1), { args: [], method: `${namespace}.DisposeInstance` });
    await waitFor(() => !existsSync(`/proc/${pid}`), 'the signer process to end');
    assert.ok(!(await tray.logMessages()).includes('Quillet terminated unexpectedly'));
});

browserTest('with port 2378 taken by another program, the page finds the tray on 3546', async (t, f) => {
    if (!(await skipUnlessFree(t, TRAY_PORTS.slice(0, 2)))) {
        return;
    }
    await f.holdPort(TRAY_PORTS[0]);
    const tray = await f.tray({ port: TRAY_PORTS[1] });
    assert.ok((await tray.logMessages()).includes('Unable to listen on specified address and port'));
    const web = await f.web();
    const browser = await f.browser();

    const page = await openDemo(browser, web.url('/demo.html'));
    assert.equal(await demoStatus(page, 'connected'), `Connected to the tray on port ${TRAY_PORTS[1]}`);
    assert.equal((await echo(page, 'via the second port')).kind, 'ok');
});

browserTest('with no tray running, connect rejects with NO_TRAY after trying all ten ports', async (t, f) => {
    if (!(await skipUnlessFree(t, TRAY_PORTS))) {
        return;
    }
    const web = await f.web();
    const browser = await f.browser();

    const page = await openDemo(browser, web.url('/demo.html'));
    assert.equal(
        await demoStatus(page, 'no-tray'),
        `No tray found (tried ports ${TRAY_PORTS.join(', ')}). Is Quillet Tray running?`,
    );
    // The library itself, in a page of its own: Chromium slows down further WebSocket
    // connections from a page whose connections just failed.
    const plain = await openDemo(browser, web.url('/quillet.d.ts'));
    const failure = await plain.evaluate(async () => {
        const { connect } = await import('/quillet.mjs');
        try {
            await connect({ app: 'Quillet', version: '2.6.1', instance: 'nobody_home' });
            return null;
        } catch (error) {
            return { name: error.name, code: error.code, ports: error.ports };
        }
    });
    assert.deepEqual(failure, { name: 'NoTrayError', code: 'NO_TRAY', ports: TRAY_PORTS });
});

browserTest('with AllowedOrigins, the listed origin works and another loopback origin is refused', async (t, f) => {
    if (!(await skipUnlessFree(t, TRAY_PORTS))) {
        return;
    }
    const listed = await f.web();
    const other = await f.web();
    const tray = await f.tray({ allowedOrigins: [listed.origin] });
    const browser = await f.browser();

    const good = await openDemo(browser, listed.url('/demo.html'));
    assert.equal(await demoStatus(good, 'connected'), `Connected to the tray on port ${TRAY_PORTS[0]}`);
    assert.equal((await echo(good, 'from the listed origin')).kind, 'ok');

    // Refused at the handshake, the page can't tell the tray from no tray; the tray's log says why.
    const refused = await openDemo(browser, other.url('/demo.html'));
    await demoStatus(refused, 'no-tray');
    await tray.waitForLog(`Refusing a connection from origin "${other.origin}"`);
    const messages = await tray.logMessages();
    assert.equal(messages.filter((m) => m === 'New connection!').length, 1, messages.join('\n'));
    assert.equal(messages.filter((m) => m === 'Creating new WebSocket handler').length, 1);
});
