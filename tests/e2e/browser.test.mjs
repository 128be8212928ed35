// The whole chain in a real browser: Debian's Chromium opens the demo page from loopback, the
// page finds the installed tray, the tray checks the browser's user in /proc/net/tcp and
// relays to the demo signer.
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import path from 'node:path';
import { test } from 'node:test';
import { buildDir, launchBrowser, portsInUse, serveWeb, startTray, TRAY_PORTS, waitFor } from './harness.mjs';

// Starts a page server (and a second one, when the tray lets in only the first), the tray and
// the browser; stops them when the test ends and adds the tray's log to a failure. Skips while
// other programs hold the tray's ports, never the case in the network namespace of run.sh.
function browserTest(name, { allowListed = false }, body) {
    test(name, { timeout: 30000 }, async (t) => {
        const busy = await portsInUse();
        if (busy.length > 0) {
            return t.skip(`ports ${busy.join(', ')} taken by other programs`);
        }
        const stops = [];
        t.after(async () => {
            for (const stop of stops.reverse()) {
                await stop();
            }
        });
        const keep = (thing) => (stops.push(() => thing.stop()), thing);
        const webs = [];
        for (let i = 0; i < (allowListed ? 2 : 1); ++i) {
            webs.push(keep(await serveWeb()));
        }
        const tray = keep(await startTray({ allowedOrigins: allowListed ? [webs[0].origin] : [] }));
        const browser = keep(await launchBrowser());
        try {
            await body({ tray, webs, browser });
        } catch (error) {
            error.message += `\n${await tray.describe()}`;
            throw error;
        }
    });
}

// Opens the demo page and waits until its status shows `state`; `page.status` has its text.
async function openDemo(browser, origin, state) {
    const page = await browser.newPage();
    page.errors = [];
    page.on('pageerror', (error) => page.errors.push(error.message));
    await page.goto(`${origin}/demo.html`);
    await page.locator(`#status[data-state="${state}"]`).waitFor({ timeout: 15000 });
    page.status = await page.locator('#status-text').textContent();
    return page;
}

// Sends an echo from the demo page's form and returns the answer row that it adds on top.
async function echo(page, text) {
    const rows = page.locator('#answers tr');
    const before = await rows.count();
    await page.fill('#echo-text', text);
    await page.click('#echo-send');
    await rows.nth(before).waitFor({ timeout: 20000 });
    const cells = rows.first().locator('td');
    const kind = await rows.first().getAttribute('class');
    return { kind, call: await cells.nth(1).textContent(), answer: await cells.nth(4).textContent() };
}

const MiB = 1024 * 1024;

browserTest('the demo page passes the same-user check and round-trips an echo and 4 MiB', {}, async ({ tray, webs: [web], browser }) => {
    const page = await openDemo(browser, web.origin, 'connected');
    assert.equal(page.status, `Connected to the tray on port ${TRAY_PORTS[0]}`);
    // The real check: the browser's end of the connection belongs to this user.
    await tray.waitForLog('WebSocket client is authorized to communicate with this server');
    const messages = await tray.logMessages();
    assert.ok(messages.includes('Performing WebSocket client check'), messages.join('\n'));
    assert.ok(!messages.some((m) => m.includes('NOT authorized')), messages.join('\n'));

    const text = 'Hello from Chromium – ✓';
    assert.deepEqual(await echo(page, text), { kind: 'ok', call: `Echo "${text}"`, answer: text });
    await mkdir(path.join(buildDir, 'screenshots'), { recursive: true });
    await page.screenshot({ path: path.join(buildDir, 'screenshots/demo-page-echo.png'), fullPage: true });

    // Chromium cuts a large message into frames anywhere, also inside a character.
    const line = 'Grüße, žluťoučký kůň – ✓ 😀 ';
    const document = line.repeat(Math.ceil((4 * MiB) / Buffer.byteLength(line)));
    const direct = await page.evaluate(async (sent) => {
        const { connect } = await import('/quillet.mjs');
        const session = await connect({ app: 'Quillet', version: '2.6.1', instance: 'e2e_direct' });
        const { result } = await session.call('Echo', [sent, { n: 1 }]);
        await session.close();
        return { port: session.port, intact: result[0] === sent, rest: result[1] };
    }, document);
    assert.deepEqual(direct, { port: TRAY_PORTS[0], intact: true, rest: { n: 1 } });
    // The signer got the very same document, then DisposeInstance when the page closed the session.
    const inputs = await waitFor(async () => {
        const all = await tray.signerInputs();
        return all.find((messages) => messages.at(-1)?.method === 'Quillet.2.6.1.e2e_direct.QES.DisposeInstance');
    }, 'the direct session to end');
    assert.equal(inputs[0].method, 'Quillet.2.6.1.e2e_direct.QES.Echo');
    assert.ok(inputs[0].args[0] === document, 'the signer received the document changed');
    assert.deepEqual(page.errors, []);
});

browserTest('with AllowedOrigins, only the listed origin gets in', { allowListed: true }, async ({ tray, webs, browser }) => {
    const [listed, other] = webs;
    const good = await openDemo(browser, listed.origin, 'connected');
    assert.equal((await echo(good, 'from the listed origin')).kind, 'ok');

    // Refused with 403 at the handshake, the page can't tell the tray from no tray; the log says why.
    const refused = await openDemo(browser, other.origin, 'no-tray');
    assert.equal(refused.status, `No tray found (tried ports ${TRAY_PORTS.join(', ')}). Is Quillet Tray running?`);
    await tray.waitForLog(`Refusing a connection from origin "${other.origin}"`);
    const messages = await tray.logMessages();
    assert.equal(messages.filter((m) => m === 'New connection!').length, 1, messages.join('\n'));
    assert.equal(messages.filter((m) => m === 'Creating new WebSocket handler').length, 1);
});
