// What the browser tests stand on: an installed tray copied into a throw-away tree with its own
// home, a signer that records what the tray sends it, the demo page served from loopback, and
// Debian's Chromium driven through playwright-core.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { rmSync } from 'node:fs';
import { cp, mkdir, mkdtemp, readdir, readFile, rm, writeFile } from 'node:fs/promises';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const repoRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const prefix = process.env.QUILLET_PREFIX ?? path.join(repoRoot, 'prefix');
export const buildDir = process.env.QUILLET_BUILD_DIR ?? path.join(repoRoot, 'build');
export const chromiumPath = process.env.QUILLET_CHROMIUM ?? '/usr/bin/chromium';

// The tray's own order.
export const TRAY_PORTS = [2378, 3546, 4384, 5147, 5692, 6378, 7678, 7681, 9799, 9796];

// Polls until check() returns a truthy value and returns it; fails with what was awaited.
export async function waitFor(check, what, timeoutMs = 15000) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
        const value = await check();
        if (value) {
            return value;
        }
        if (Date.now() > deadline) {
            throw new Error(`Timed out after ${timeoutMs} ms waiting for ${what}`);
        }
        await new Promise((resolve) => setTimeout(resolve, 50));
    }
}

function canConnect(port) {
    return new Promise((resolve) => {
        const socket = net.connect({ host: '127.0.0.1', port });
        socket.once('connect', () => {
            socket.destroy();
            resolve(true);
        });
        socket.once('error', () => resolve(false));
    });
}

// The ports of the list on which something already listens.
export async function portsInUse(ports = TRAY_PORTS) {
    const open = await Promise.all(ports.map(canConnect));
    return ports.filter((_, index) => open[index]);
}

// Another program on a port of the list: a plain web server that knows nothing of WebSockets.
export async function holdPort(port) {
    const server = http.createServer((request, response) => {
        response.writeHead(404, { 'Content-Type': 'text/plain' }).end('not a tray\n');
    });
    server.listen(port, '127.0.0.1');
    await once(server, 'listening');
    return { close: () => new Promise((resolve) => server.close(resolve)) };
}

function xmlText(text) {
    return text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
}

function configuration(allowedOrigins) {
    const list = allowedOrigins
        ? `<AllowedOrigins>${allowedOrigins.map((origin) => `<Origin>${xmlText(origin)}</Origin>`).join('')}</AllowedOrigins>`
        : '';
    return `<?xml version="1.0" encoding="UTF-8"?>
<Quillet>
    <QuilletTray>
        <CheckUser>true</CheckUser>
        ${list}
    </QuilletTray>
    <QuilletUpdater>
        <Version>2.6.1</Version>
        <Url>https://updates.invalid/quillet/version.xml</Url>
        <DownloadUrl>https://updates.invalid/quillet/download/</DownloadUrl>
    </QuilletUpdater>
</Quillet>
`;
}

// Native messages as the tray writes them: a 4-byte little-endian length, then UTF-8 JSON.
export function parseNativeMessages(bytes) {
    const messages = [];
    let offset = 0;
    while (offset + 4 <= bytes.length) {
        const length = bytes.readInt32LE(offset);
        if (offset + 4 + length > bytes.length) {
            break;
        }
        messages.push(JSON.parse(bytes.subarray(offset + 4, offset + 4 + length).toString('utf8')));
        offset += 4 + length;
    }
    return messages;
}

// Starts the installed tray from a copy of the installed tree, with its own HOME, data and
// temporary directories (the single-instance lock lives in the latter) and no display.
// One temporary directory for the trays of this run, one after the other. The single-instance
// lock lives there: a tray that the tests kill leaves its lock behind, and the next tray frees
// it only where it finds the same key file (a fresh directory could give a new key file the
// inode, and so the key, of the killed tray's deleted one).
let trayTmp = null;
process.on('exit', () => trayTmp && rmSync(trayTmp, { recursive: true, force: true }));

// Resolves once the tray listens on the given port of the list.
export async function startTray({ allowedOrigins = null, port = TRAY_PORTS[0] } = {}) {
    const root = await mkdtemp(path.join(os.tmpdir(), 'quillet-e2e-'));
    const app = path.join(root, 'app');
    await cp(prefix, app, { recursive: true });
    await writeFile(path.join(app, 'etc/Quillet.conf'), configuration(allowedOrigins));
    const records = path.join(root, 'signer-input');
    await mkdir(records);
    // The document signer's script runs the demo signer with a copy of its input kept aside,
    // one file per signer process.
    await writeFile(
        path.join(app, 'bin/Quillet.sh'),
        `#!/bin/bash\nexec "$(dirname "$0")/QuilletDemoSigner" < <(exec tee '${records}/'$$.bin)\n`,
        { mode: 0o755 },
    );
    const home = path.join(root, 'home');
    const data = path.join(root, 'data');
    trayTmp ??= await mkdtemp(path.join(os.tmpdir(), 'quillet-e2e-tmp-'));
    const tmp = trayTmp;
    const logDir = path.join(data, 'Kestrum/Quillet/Logs');
    await mkdir(logDir, { recursive: true });
    await mkdir(home);
    const log = path.join(logDir, 'QuilletTrayLog.txt');
    await writeFile(log, '');

    const tray = spawn(path.join(app, 'bin/QuilletTray'), [], {
        cwd: root,
        env: {
            PATH: process.env.PATH,
            LANG: 'en_US.UTF-8',
            HOME: home,
            XDG_DATA_HOME: data,
            XDG_CONFIG_HOME: path.join(home, '.config'),
            XDG_RUNTIME_DIR: tmp,
            TMPDIR: tmp,
            QT_QPA_PLATFORM: 'offscreen',
        },
        stdio: ['ignore', 'ignore', 'pipe'],
    });
    let stderr = '';
    tray.stderr.on('data', (chunk) => {
        stderr += chunk;
    });
    const exited = once(tray, 'exit');

    const logText = async () => (await readFile(log, 'utf8').catch(() => ''));
    const handle = {
        root,
        logText,
        // Log messages as written, without the time stamp in front and the source location behind.
        async logMessages() {
            return (await logText())
                .split('\n')
                .map((line) => line.split(' - ').slice(4, -1).join(' - '))
                .filter((message) => message !== '');
        },
        async waitForLog(text, timeoutMs) {
            return waitFor(async () => (await logText()).includes(text), `the tray to log "${text}"`, timeoutMs);
        },
        // What each signer process received: its process id and the messages.
        async signerInputs() {
            const files = await readdir(records);
            return Promise.all(
                files.map(async (file) => ({
                    pid: Number(path.basename(file, '.bin')),
                    messages: parseNativeMessages(await readFile(path.join(records, file))),
                })),
            );
        },
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
    // The log tells which port the tray tries, and whether that failed; an open port that it
    // listens there.
    const attempt = `Server starts listening on "127.0.0.1" : ${port} - `;
    try {
        await waitFor(
            async () => {
                if (tray.exitCode !== null || tray.signalCode !== null) {
                    throw new Error(`The tray ended (${tray.exitCode ?? tray.signalCode})`);
                }
                if (!(await logText()).includes(attempt) || !(await canConnect(port))) {
                    return false;
                }
                const text = await logText();
                if (text.slice(text.lastIndexOf(attempt)).includes('Unable to listen')) {
                    throw new Error(`The tray could not listen on port ${port}`);
                }
                return true;
            },
            `the tray to listen on port ${port}`,
        );
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
    server.stdout.setEncoding('utf8');
    const address = await waitFor(
        () => {
            output += server.stdout.read() ?? '';
            return output.match(/Demo page: (http:\/\/127\.0\.0\.1:\d+)\//)?.[1];
        },
        'the page server to print its address',
    );
    return {
        origin: address,
        url: (pathname) => `${address}${pathname}`,
        async stop() {
            server.kill('SIGTERM');
            await once(server, 'exit');
        },
    };
}

// Debian's Chromium, headless, with a fresh profile and nothing that reaches outside.
export async function launchBrowser() {
    const profile = await mkdtemp(path.join(os.tmpdir(), 'quillet-e2e-profile-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: chromiumPath,
        headless: true,
        viewport: { width: 1100, height: 900 },
        args: [
            '--headless',
            '--no-sandbox',
            '--disable-gpu',
            '--disable-quic',
            '--no-first-run',
            '--disable-background-networking',
            '--disable-component-update',
            '--disable-sync',
        ],
    });
    return {
        context,
        newPage: () => context.newPage(),
        async close() {
            await context.close();
            await rm(profile, { recursive: true, force: true });
        },
    };
}
