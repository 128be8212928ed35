import { connect } from './quillet.mjs';

// What the demo signer answers; adjust here if its names change.
const DEMO = {
    app: 'Quillet',
    version: '2.6.1',
    // "result" is the request's "args".
    echoMethod: 'Echo',
    // "result" is a text of args[0] characters.
    sizedMethod: 'Generate',
    sizedArgs: (bytes) => [bytes],
};

const MiB = 1024 * 1024;
const $ = (id) => document.getElementById(id);
const callButtons = ['echo-send', 'document-send', 'generate-send'];
let session = null;

function setStatus(state, text) {
    $('status').dataset.state = state;
    $('status-text').textContent = text;
    const connected = state === 'connected';
    for (const id of callButtons) {
        $(id).disabled = !connected;
    }
    $('disconnect').disabled = !connected;
    $('connect').disabled = state === 'searching';
}

function formatBytes(bytes) {
    if (bytes >= MiB) {
        return `${(bytes / MiB).toFixed(2)} MiB`;
    }
    return bytes >= 1024 ? `${(bytes / 1024).toFixed(1)} KiB` : `${bytes} B`;
}

function preview(value) {
    const text = typeof value === 'string' ? value : JSON.stringify(value);
    return text.length > 120 ? `${text.slice(0, 120)}… (${text.length} characters)` : text;
}

function addAnswer({ call, ms = null, sent = null, received = null, answer, kind }) {
    const row = document.createElement('tr');
    row.className = kind;
    const cells = [
        [new Date().toLocaleTimeString(), ''],
        [call, ''],
        [ms === null ? '' : `${ms.toFixed(1)} ms`, 'number'],
        [sent === null ? '' : `${formatBytes(sent)} / ${received === null ? '–' : formatBytes(received)}`, 'number'],
        [answer, 'answer'],
    ];
    for (const [text, className] of cells) {
        const cell = document.createElement('td');
        cell.textContent = text;
        cell.className = className;
        row.append(cell);
    }
    $('answers').prepend(row);
    $('no-answers').hidden = true;
}

function describeError(error) {
    switch (error.code) {
    case 'NO_TRAY':
        return ['no-tray', `No tray found (tried ports ${error.ports.join(', ')}). Is Quillet Tray running?`];
    case 'BAD_CONTEXT':
        return ['refused', `The tray refused this page: ${error.error}`];
    case 'CONNECTION_CLOSED':
        return ['failed', 'The tray closed the connection before answering.'];
    case 'TIMEOUT':
        return ['failed', `The tray did not answer within ${error.timeoutMs} ms.`];
    default:
        return ['failed', error.message];
    }
}

async function start() {
    if (session) {
        await session.close();
    }
    const namespace = { app: $('app').value, version: $('version').value, instance: $('instance').value };
    setStatus('searching', 'Looking for the tray…');
    const began = performance.now();
    try {
        session = await connect({
            ...namespace,
            onmessage: (event) => addAnswer({ call: 'Message from the signer', answer: preview(event.data), kind: 'info' }),
        });
    } catch (error) {
        session = null;
        setStatus(...describeError(error));
        return;
    }
    const ms = performance.now() - began;
    setStatus('connected', `Connected to the tray on port ${session.port}`);
    addAnswer({ call: 'CheckContext', ms, answer: `accepted on port ${session.port}`, kind: 'ok' });
    const current = session;
    current.addEventListener('close', (event) => {
        if (session === current) {
            session = null;
            setStatus('closed', `Connection closed (code ${event.code})`);
        }
    });
}

async function timedCall(label, name, args, check) {
    const sent = JSON.stringify(args).length;
    const began = performance.now();
    try {
        const reply = await session.call(name, args);
        const ms = performance.now() - began;
        if (reply.error) {
            addAnswer({ call: label, ms, sent, answer: `error: ${reply.error}`, kind: 'bad' });
            return;
        }
        const [good, answer] = check(reply.result);
        const received = JSON.stringify(reply.result ?? '').length;
        addAnswer({ call: label, ms, sent, received, answer, kind: good ? 'ok' : 'bad' });
    } catch (error) {
        addAnswer({ call: label, ms: performance.now() - began, answer: error.message, kind: 'bad' });
    }
}

// Numbered lines, so that a lost or reordered piece of the document shows in the comparison.
function makeDocument(bytes) {
    const lines = [];
    let length = 0;
    for (let i = 0; length < bytes; ++i) {
        const line = `Quillet demo document, line ${String(i).padStart(8, '0')}\n`;
        lines.push(line);
        length += line.length;
    }
    return lines.join('').slice(0, bytes);
}

function documentBytes() {
    return Math.max(1, Math.round(Number($('document-size').value) * MiB));
}

$('connect-form').addEventListener('submit', (event) => {
    event.preventDefault();
    start();
});

$('disconnect').addEventListener('click', () => session?.close());

$('echo-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const text = $('echo-text').value;
    timedCall(`${DEMO.echoMethod} "${preview(text)}"`, DEMO.echoMethod, [text], (result) => {
        const intact = Array.isArray(result) && result[0] === text;
        return [intact, intact ? preview(result[0]) : `unexpected answer: ${preview(result)}`];
    });
});

$('document-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const content = makeDocument(documentBytes());
    timedCall(`${DEMO.echoMethod} document`, DEMO.echoMethod, [content], (result) => {
        const intact = Array.isArray(result) && result[0] === content;
        return [intact, intact ? `returned intact (${formatBytes(content.length)})` : 'returned damaged'];
    });
});

$('generate-send').addEventListener('click', () => {
    const bytes = documentBytes();
    timedCall(`${DEMO.sizedMethod} ${formatBytes(bytes)}`, DEMO.sizedMethod, DEMO.sizedArgs(bytes), (result) => {
        const right = typeof result === 'string' && result.length === bytes;
        return [right, right ? `received ${formatBytes(result.length)}` : `unexpected answer: ${preview(result)}`];
    });
});

$('clear').addEventListener('click', () => {
    $('answers').replaceChildren();
    $('no-answers').hidden = false;
});

$('app').value = DEMO.app;
$('version').value = DEMO.version;
// Each page load is its own instance, as separate tabs of a real application would be.
$('instance').value = `demo_${Math.random().toString(36).slice(2, 8)}`;
start();
