#!/usr/bin/env node
// Serves this directory on the loopback interface, for the demo page. Nothing more: GET and
// HEAD of files under this directory, no listings.
//   node web/serve.mjs [--port N]   (default 8765, or a free port when that is taken; 0: a free port)
import { createReadStream } from 'node:fs';
import { stat } from 'node:fs/promises';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.dirname(fileURLToPath(import.meta.url));
const types = {
    '.html': 'text/html; charset=utf-8',
    '.css': 'text/css; charset=utf-8',
    '.js': 'text/javascript; charset=utf-8',
    '.mjs': 'text/javascript; charset=utf-8',
    '.ts': 'text/plain; charset=utf-8',
    '.json': 'application/json',
    '.svg': 'image/svg+xml',
    '.png': 'image/png',
    '.ico': 'image/x-icon',
};

const DEFAULT_PORT = 8765;

function portArgument(argv) {
    const index = argv.indexOf('--port');
    if (index < 0) {
        return null;
    }
    const text = argv[index + 1];
    const port = Number(text);
    if (!Number.isInteger(port) || port < 0 || port > 65535) {
        console.error(`Not a port number: ${text}`);
        process.exit(2);
    }
    return port;
}

async function fileFor(urlPath) {
    let decoded;
    try {
        decoded = decodeURIComponent(urlPath);
    } catch {
        return null;
    }
    const file = path.resolve(root, `.${path.posix.normalize(decoded)}`);
    if (file !== root && !file.startsWith(root + path.sep)) {
        return null;
    }
    try {
        const info = await stat(file);
        return info.isFile() ? { file, size: info.size } : null;
    } catch {
        return null;
    }
}

const server = http.createServer(async (request, response) => {
    const { pathname } = new URL(request.url, 'http://localhost');
    if (request.method !== 'GET' && request.method !== 'HEAD') {
        response.writeHead(405, { Allow: 'GET, HEAD' }).end();
        return;
    }
    if (pathname === '/') {
        response.writeHead(302, { Location: '/demo.html' }).end();
        return;
    }
    const found = await fileFor(pathname);
    if (!found) {
        response.writeHead(404, { 'Content-Type': 'text/plain; charset=utf-8' }).end('Not found\n');
        return;
    }
    response.writeHead(200, {
        'Content-Type': types[path.extname(found.file)] ?? 'application/octet-stream',
        'Content-Length': found.size,
        'Cache-Control': 'no-store',
    });
    if (request.method === 'HEAD') {
        response.end();
        return;
    }
    createReadStream(found.file).pipe(response);
});

const chosenPort = portArgument(process.argv.slice(2));

server.on('error', (error) => {
    // The usual port taken by another program: any free port serves the demo as well.
    if (error.code === 'EADDRINUSE' && chosenPort === null && server.address() === null) {
        console.log(`Port ${DEFAULT_PORT} is in use; taking a free one.`);
        server.listen(0, '127.0.0.1');
        return;
    }
    console.error(`Cannot serve the demo page: ${error.message}`);
    process.exit(1);
});

server.on('listening', () => {
    console.log(`Demo page: http://127.0.0.1:${server.address().port}/demo.html`);
});

server.listen(chosenPort ?? DEFAULT_PORT, '127.0.0.1');
