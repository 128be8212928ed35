// What the browser tests stand on: an installed tray copied into a throw-away tree with its own
// home, a signer that records what the tray sends it, the demo page served from loopback, and
// Debian's Chromium driven through playwright-core.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { rmSync } from 'node:fs';
import { cp, mkdir, mkdtemp, readdir, readFile, rm, writeFile } from 'node:fs/promises';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const repoRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const prefix = process.env.QUILLET_PREFIX ?? path.join(repoRoot, 'prefix');
export const buildDir = process.env.QUILLET_BUILD_DIR ?? path.join(repoRoot, 'build');

// The tray's own order.
export const TRAY_PORTS = [2378, 3546, 4384, 5147, 5692, 6378, 7678, 7681, 9799, 9796];

// Polls until check() returns a truthy value and returns it; fails with what was awaited.
export async function waitFor(check, what, timeoutMs = 15000) {
    const deadline = Date.now() + timeoutMs;
    while (Date.now() < deadline) {
        const value = await check();
        if (value) {
            return value;
        }
        await new Promise((resolve) => setTimeout(resolve, 50));
    }
    throw new Error(`Timed out after ${timeoutMs} ms waiting for ${what}`);
}

const canConnect = (port) =>
    new Promise((resolve) => {
        const socket = net.connect({ host: '127.0.0.1', port }, () => {
            socket.destroy();
            resolve(true);
        });
        socket.once('error', () => resolve(false));
    });

// The ports of the list on which something already listens.
export async function portsInUse() {
    const open = await Promise.all(TRAY_PORTS.map(canConnect));
    return TRAY_PORTS.filter((_, index) => open[index]);
}

// Native messages as the tray writes them: a 4-byte little-endian length, then UTF-8 JSON.
function parseNativeMessages(bytes) {
    const messages = [];
    for (let at = 0, end; at + 4 <= bytes.length && (end = at + 4 + bytes.readInt32LE(at)) <= bytes.length; at = end) {
        messages.push(JSON.parse(bytes.subarray(at + 4, end).toString('utf8')));
    }
    return messages;
}

// One temporary directory for the trays of this run, one after the other. The single-instance
// lock lives there: a tray that the tests kill leaves its lock behind, and the next tray frees
// it only where it finds the same key file (a fresh directory could give a new key file the
// inode, and so the key, of the killed tray's deleted one).
let trayTmp = null;
process.on('exit', () => trayTmp && rmSync(trayTmp, { recursive: true, force: true }));

// Starts the installed tray from a copy of the installed tree, with its own HOME and data
// directories and no display; resolves once it listens on the first port of the list.
export async function startTray({ allowedOrigins = [] } = {}) {
    const root = await mkdtemp(path.join(os.tmpdir(), 'quillet-e2e-'));
    const app = path.join(root, 'app');
    await cp(prefix, app, { recursive: true });
    const origins = allowedOrigins.map((origin) => `<Origin>${origin}</Origin>`).join('');
    await writeFile(
        path.join(app, 'etc/Quillet.conf'),
        `<?xml version="1.0" encoding="UTF-8"?>\n<Quillet><QuilletTray><CheckUser>true</CheckUser>` +
            (origins && `<AllowedOrigins>${origins}</AllowedOrigins>`) +
            '</QuilletTray><QuilletUpdater><Version>2.6.1</Version><Url>https://updates.invalid/quillet/version.xml</Url>' +
            '<DownloadUrl>https://updates.invalid/quillet/download/</DownloadUrl></QuilletUpdater></Quillet>\n',
    );
    // The document signer's script runs the installed one, which starts the demo signer, with a
    // copy of its input kept aside, one file per signer process.
    const records = path.join(root, 'signer-input');
    await mkdir(records);
    await writeFile(
        path.join(app, 'bin/Quillet.sh'),
        `#!/bin/bash\nexec '${path.resolve(prefix, 'bin/Quillet.sh')}' < <(exec tee '${records}/'$$.bin)\n`,
        { mode: 0o755 },
    );
    const home = path.join(root, 'home');
    const data = path.join(root, 'data');
    trayTmp ??= await mkdtemp(path.join(os.tmpdir(), 'quillet-e2e-tmp-'));
    const log = path.join(data, 'Kestrum/Quillet/Logs/QuilletTrayLog.txt');
    await mkdir(path.dirname(log), { recursive: true });
    // The tray logs only into a log file that exists.
    await writeFile(log, '');
    await mkdir(home);

    const tray = spawn(path.join(app, 'bin/QuilletTray'), [], {
        cwd: root,
        env: {
            PATH: process.env.PATH,
            LANG: 'en_US.UTF-8',
            HOME: home,
            XDG_DATA_HOME: data,
            XDG_CONFIG_HOME: path.join(home, '.config'),
            XDG_RUNTIME_DIR: trayTmp,
            TMPDIR: trayTmp,
            QT_QPA_PLATFORM: 'offscreen',
        },
        stdio: ['ignore', 'ignore', 'pipe'],
    });
    let stderr = '';
    tray.stderr.on('data', (chunk) => (stderr += chunk));
    const exited = once(tray, 'exit');
    const logText = () => readFile(log, 'utf8').catch(() => '');
    const handle = {
        // Log messages as written, without the time stamp in front and the source location behind.
        logMessages: async () =>
            (await logText()).split('\n').map((line) => line.split(' - ').slice(4, -1).join(' - ')).filter(Boolean),
        waitForLog: (text) => waitFor(async () => (await logText()).includes(text), `the tray to log "${text}"`),
        // What each signer process received.
        signerInputs: async () =>
            Promise.all((await readdir(records)).map(async (file) => parseNativeMessages(await readFile(path.join(records, file))))),
        async stop() {
            if (tray.exitCode === null && tray.signalCode === null) {
                tray.kill('SIGTERM');
                const timer = setTimeout(() => tray.kill('SIGKILL'), 5000);
                await exited;
                clearTimeout(timer);
            }
            await rm(root, { recursive: true, force: true });
        },
        describe: async () => `tray stderr:\n${stderr}\ntray log:\n${await logText()}`,
    };
    try {
        await waitFor(async () => {
            if (tray.exitCode !== null || tray.signalCode !== null) {
                throw new Error(`The tray ended (${tray.exitCode ?? tray.signalCode})`);
            }
            const port = TRAY_PORTS[0];
            return (await logText()).includes(`Server starts listening on "127.0.0.1" : ${port}`) && (await canConnect(port));
        }, 'the tray to listen');
    } catch (error) {
        error.message += `\n${await handle.describe()}`;
        await handle.stop();
        throw error;
    }
    return handle;
}

// Serves web/ from loopback with the demo's own server, on a free port.
export async function serveWeb() {
    const server = spawn(process.execPath, [path.join(repoRoot, 'web/serve.mjs'), '--port', '0'], {
        stdio: ['ignore', 'pipe', 'inherit'],
    });
    let output = '';
    server.stdout.setEncoding('utf8').on('data', (chunk) => (output += chunk));
    const origin = await waitFor(() => output.match(/Demo page: (http:\/\/127\.0\.0\.1:\d+)\//)?.[1], 'the page server');
    return {
        origin,
        stop: async () => {
            server.kill('SIGTERM');
            await once(server, 'exit');
        },
    };
}

// Debian's Chromium, headless, with a fresh profile and nothing that reaches outside.
export async function launchBrowser() {
    const profile = await mkdtemp(path.join(os.tmpdir(), 'quillet-e2e-profile-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: process.env.QUILLET_CHROMIUM ?? '/usr/bin/chromium',
        headless: true,
        viewport: { width: 1100, height: 900 },
        args: [
            ...['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run'],
            ...['--disable-background-networking', '--disable-component-update', '--disable-sync'],
        ],
    });
    context.stop = async () => {
        await context.close();
        await rm(profile, { recursive: true, force: true });
    };
    return context;
}
