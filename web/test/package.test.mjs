// The page library as integrators get it: the tarball that `npm pack` makes, installed into an
// empty folder without a registry.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, test } from 'node:test';

const folder = mkdtempSync(path.join(tmpdir(), 'quillet-npm-'));
after(() => rmSync(folder, { recursive: true, force: true }));
const run = (command, args, cwd = folder) => execFileSync(command, args, { cwd, encoding: 'utf8' });
const [{ filename }] = JSON.parse(run('npm', ['pack', '--json', '--pack-destination', folder, new URL('..', import.meta.url).pathname]));

test('the tarball holds the module, its declarations and the README, nothing of the tests or the demo', () => {
    const files = ['README.md', 'package.json', 'quillet.d.mts', 'quillet.d.ts', 'quillet.mjs'].map((file) => `package/${file}`);
    assert.deepEqual(run('tar', ['-tzf', filename]).trim().split('\n').sort(), files);
});

test('installed from the tarball into an empty folder, it gives connect by its name', () => {
    mkdirSync(path.join(folder, 'app'));
    run('npm', ['install', '--offline', '--no-audit', '--no-fund', path.join(folder, filename)], path.join(folder, 'app'));
    const script = "import { connect } from '@kestrum/quillet'; console.log(typeof connect);";
    assert.equal(run(process.execPath, ['--input-type=module', '-e', script], path.join(folder, 'app')).trim(), 'function');
});
