// The whole chain in a real browser: Debian's Chromium opens the demo page from loopback, the
// page finds the installed tray (a copy of the prefix), the tray checks the browser's user and
// relays to the demo signer, whose input is recorded.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { cp, mkdir, mkdtemp, readdir, readFile, writeFile } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { chromium } from 'playwright-core';

const repo = path.resolve(import.meta.dirname ?? path.dirname(new URL(import.meta.url).pathname), '../..');
const prefix = process.env.QUILLET_PREFIX ?? path.join(repo, 'prefix');
const buildDir = process.env.QUILLET_BUILD_DIR ?? path.join(repo, 'build');

async function waitFor(check, what) {
    for (const deadline = Date.now() + 15000; Date.now() < deadline; await new Promise((r) => setTimeout(r, 50))) {
        const value = await check();
        if (value) return value;
    }
    throw new Error(`Timed out waiting for ${what}`);
}

test('the demo page passes the user check and round-trips an echo and 4 MiB', { timeout: 60000 }, async (t) => {
    const root = await mkdtemp(path.join(os.tmpdir(), 'quillet-e2e-'));
    const [app, home, records] = ['app', 'home', 'signer-input'].map((name) => path.join(root, name));
    await cp(prefix, app, { recursive: true });
    await mkdir(records);
    // The installed signer script runs with a copy of its input kept aside, a file per signer.
    await writeFile(path.join(app, 'bin/Quillet.sh'), `#!/bin/bash\nexec '${prefix}/bin/Quillet.sh' < <(exec tee '${records}/'$$.bin)\n`, { mode: 0o755 });
    const log = path.join(home, 'data/Kestrum/Quillet/Logs/QuilletTrayLog.txt');
    await mkdir(path.dirname(log), { recursive: true });
    await writeFile(log, '');
    const env = { PATH: process.env.PATH, LANG: 'en_US.UTF-8', HOME: home, XDG_DATA_HOME: path.join(home, 'data'), TMPDIR: root, XDG_RUNTIME_DIR: root, QT_QPA_PLATFORM: 'offscreen' };
    const tray = spawn(path.join(app, 'bin/QuilletTray'), [], { env, stdio: 'inherit' });
    const web = spawn(process.execPath, [path.join(repo, 'web/serve.mjs'), '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
    const browser = await chromium.launchPersistentContext(path.join(root, 'profile'), {
        executablePath: process.env.QUILLET_CHROMIUM ?? '/usr/bin/chromium',
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update'],
    });
    t.after(async () => {
        await browser.close();
        for (const child of [web, tray]) {
            child.kill('SIGTERM');
            if (child.exitCode === null) await once(child, 'exit');
        }
    });
    let served = '';
    web.stdout.setEncoding('utf8').on('data', (chunk) => (served += chunk));
    const origin = await waitFor(() => served.match(/Demo page: (http:\/\/127\.0\.0\.1:\d+)\//)?.[1], 'the page server');
    const port = await waitFor(async () => (await readFile(log, 'utf8')).match(/Server is listening on port (\d+)/)?.[1], 'the tray');
    if (port !== '2378') return t.skip(`port 2378 is taken by another program`);

    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    await page.goto(`${origin}/demo.html`);
    await page.locator('#status[data-state="connected"]').waitFor({ timeout: 15000 });
    const text = 'Hello from Chromium – ✓';
    await page.fill('#echo-text', text);
    await page.click('#echo-send');
    // Newest first: the echo's row comes above the CheckContext's.
    await page.locator('#answers tr.ok').nth(1).waitFor({ timeout: 15000 });
    assert.equal(await page.locator('#answers tr').first().locator('td').nth(4).textContent(), text);
    await mkdir(path.join(buildDir, 'screenshots'), { recursive: true });
    await page.screenshot({ path: path.join(buildDir, 'screenshots/demo-page-echo.png'), fullPage: true });

    // Chromium cuts a large message into frames anywhere, also inside a character.
    const document = 'Grüße, žluťoučký kůň – ✓ 😀 '.repeat(120000);
    const intact = await page.evaluate(async (sent) => {
        const { connect } = await import('/quillet.mjs');
        const session = await connect({ app: 'Quillet', version: '2.6.1', instance: 'e2e_direct' });
        const { result } = await session.call('Echo', [sent]);
        await session.close();
        return result[0] === sent;
    }, document);
    assert.ok(intact);
    // The signer got the very same document, then DisposeInstance when the page closed its session.
    const inputs = await waitFor(async () => {
        for (const file of await readdir(records)) {
            const bytes = await readFile(path.join(records, file));
            const messages = [];
            for (let at = 0; at + 4 <= bytes.length && at + 4 + bytes.readInt32LE(at) <= bytes.length; at += 4 + bytes.readInt32LE(at)) {
                messages.push(JSON.parse(bytes.subarray(at + 4, at + 4 + bytes.readInt32LE(at)).toString('utf8')));
            }
            if (messages.at(-1)?.method === 'Quillet.2.6.1.e2e_direct.QES.DisposeInstance') return messages;
        }
    }, 'the direct session to end');
    assert.deepEqual([inputs[0].method, inputs[0].args[0] === document], ['Quillet.2.6.1.e2e_direct.QES.Echo', true]);
    assert.deepEqual(errors, []);
});
