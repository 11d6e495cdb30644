// A rehearsal driven over the HTTP API with --record, replayed by vesk-host:
// the same outcome every time, and a failure naming its line when the
// module behaves differently (VESK_CHANGED_PLUGIN writes tally "3"). What
// --record refuses, and what GET /api/recording serves.
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {appendFileSync, existsSync, mkdtempSync, readFileSync, rmSync, symlinkSync, writeFileSync} from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';
import {setTimeout as sleep} from 'node:timers/promises';

import {call, emulated, facilityArgs, runHost, startHost} from './serve.mjs';

let folder;
let file;
let recorded;
let liveSlots;

// Texts that only replay exactly when written in quotes.
const hostile = ['back\\slash', 'say "cut"', 'two words', '#1', 'caf\u00e9', '', ' lead', 'a\tb'];
// Long enough to be served in several pieces.
const long = 'x'.repeat(9000);

// The info slots of the environment as the host shows them when it ends.
const slotLines = (output) => output.split('\n').filter((line) => /\|\s+info 30\.\d+ = /.test(line))
  .map((line) => line.replace(/^.*? info /, 'info '));

const post = (host, pathname, body) =>
  call(host, 'POST', pathname, {headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});

function replay(scenario, ...options) {
  const run = runHost(['--quiet', ...options, scenario]);
  return {status: run.status, output: run.stdout + run.stderr};
}

before(async () => {
  folder = mkdtempSync(path.join(os.tmpdir(), 'vesk-record-'));
  file = path.join(folder, 'rehearsal.vesk');
  const host = await startHost({args: ['--record', file, ...facilityArgs()]});
  // A new instance restarts cam1's 500 ms start-up timer: the forces after
  // it land while it runs, and its tick falls between them.
  assert.equal((await post(host, '/api/param', {component: 'cam1', key: 'instance=cam2'})).status, 200);
  await post(host, '/api/gpi', {device: 3, input: 2, state: 1});
  await sleep(300);
  await post(host, '/api/info', {device: 20, slot: 4, text: 'CAM2'});
  await sleep(300);
  await post(host, '/api/gpi', {device: 3, input: 2, state: 0});
  await post(host, '/api/param', {component: 'cam3', key: 'tally_val=2'});
  await post(host, '/api/gpi', {device: 3, input: 3, state: 1});
  await post(host, '/api/event', {component: 'cam4', control: 'AlarmTest', key: 'click=1'});
  for (const [slot, text] of hostile.entries()) {
    assert.equal((await post(host, '/api/info', {device: 30, slot: slot + 1, text})).status, 200);
  }
  for (let i = 0; i < 25; ++i) await post(host, '/api/info', {device: 30, slot: 20, text: `${i} ${long}`});
  // Another program adding to the file: not the host's to serve.
  const before = readFileSync(file, 'utf8');
  appendFileSync(file, 'gpi 3 1 1\n');
  recorded = (await call(host, 'GET', '/api/recording')).text;
  assert.equal(recorded, before, 'the download holds what the host wrote, and only that');
  writeFileSync(file, before);
  assert.equal((await host.stop()).code, 0, host.output());
  liveSlots = slotLines(host.output());
});

after(() => { if (folder) rmSync(folder, {recursive: true, force: true}); });

test('the recording replays with the same outcome, ten times in a row', () => {
  const text = readFileSync(file, 'utf8');
  assert.equal(recorded, text, 'the download differs from the file');
  // In quotes where the path holds backslashes (Windows).
  assert.match(text, /^config (.*facility\.ini|".*facility\.ini")$/m);
  assert.match(text, /^advance \d+\n@cam1 param instance=cam2\nexpect @cam1 reply none\n/m);
  assert.match(text, /^expect @cam3 control Tally = 2$/m);
  for (let i = 0; i < 10; ++i) {
    const run = replay(file);
    assert.equal(run.status, 0, `replay ${i + 1}:\n${run.output}`);
  }
});

test('texts that need quotes replay exactly, and a long recording downloads whole', () => {
  const text = readFileSync(file, 'utf8');
  assert.ok(text.length > 3 * 64 * 1024, `${text.length} bytes`);
  assert.match(text, /^info 30 1 "back\\\\slash"$/m);
  assert.match(text, /^info 30 6 ""$/m);
  assert.equal(liveSlots.length, hostile.length + 1, liveSlots.join('\n'));
  const run = runHost([file]);
  assert.equal(run.status, 0, run.stdout + run.stderr);
  assert.deepEqual(slotLines(run.stdout), liveSlots);
});

// Each refused at start-up with status 2 and a message naming it, before
// the scenario runs (a pipe would otherwise block, a device feed a download
// without end). Links, devices and pipes of this system are not Windows'
// own: under an emulator only the empty name and the folder are asked.
test('--record refuses an empty name, a link, a folder, a device and a pipe', () => {
  const target = path.join(folder, 'target.vesk');
  writeFileSync(target, 'kept\n');
  const link = path.join(folder, 'link.vesk');
  symlinkSync(target, link);
  const pipe = path.join(folder, 'pipe');
  assert.equal(spawnSync('mkfifo', [pipe]).status, 0);
  const rows = [
    ['', /--record needs a file name, not an empty one/],
    [link, /link\.vesk is a symbolic link/],
    [folder, /is a folder/],
    ['/dev/zero', /\/dev\/zero is not a regular file/],
    ['/dev/full', /\/dev\/full is not a regular file/],
    [pipe, /pipe is not a regular file/],
  ];
  const asked = emulated ? rows.filter(([name]) => name === '' || name === folder) : rows;
  for (const [name, message] of asked) {
    const run = runHost(['--serve', '127.0.0.1:0', '--record', name, ...facilityArgs()]);
    assert.equal(run.status, 2, `${name}: ${run.error ?? ''}${run.stdout}${run.stderr}`);
    assert.match(run.stderr, message, name);
    assert.doesNotMatch(run.stdout, /live page at/, name);
  }
  assert.equal(readFileSync(target, 'utf8'), 'kept\n');
});

test('an existing recording is replaced, and vesk-host says so', async () => {
  const old = path.join(folder, 'old.vesk');
  writeFileSync(old, '# an old rehearsal\n'.repeat(1000));
  const host = await startHost({args: ['--record', old, ...facilityArgs()]});
  // Answered once the live loop runs, and with it the handler of Ctrl-C.
  assert.equal((await call(host, 'GET', '/api/state')).status, 200);
  assert.equal((await host.stop()).code, 0, host.output());
  assert.match(host.output(), /the recording .*old\.vesk exists; this run replaces what it holds/);
  const text = readFileSync(old, 'utf8');
  assert.doesNotMatch(text, /an old rehearsal/);
  assert.match(text, /^# A rehearsal on the live page/);
  const fresh = path.join(folder, 'fresh.vesk');
  const again = await startHost({args: ['--record', fresh, ...facilityArgs()]});
  assert.equal((await call(again, 'GET', '/api/state')).status, 200);
  assert.equal((await again.stop()).code, 0);
  assert.doesNotMatch(again.output(), /replaces/);
  assert.ok(existsSync(fresh));
});

test('a changed module fails the replay at the first differing line, also when edited by hand',
     {skip: !process.env.VESK_CHANGED_PLUGIN}, () => {
  const edited = path.join(folder, 'edited.vesk');
  writeFileSync(edited, `# Kept by hand.\n\n${readFileSync(file, 'utf8')}`);
  assert.equal(replay(edited).status, 0);
  const lines = readFileSync(edited, 'utf8').split('\n');
  const run = replay(edited, '--plugin', process.env.VESK_CHANGED_PLUGIN);
  assert.equal(run.status, 1, run.output);
  const first = Number(/FAIL +line (\d+):/.exec(run.output)?.[1]);
  assert.match(lines[first - 1], /^expect /, run.output);
});
