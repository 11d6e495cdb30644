// A rehearsal driven over the HTTP API with --record, replayed by vesk-host:
// the same outcome every time, and a failure naming its line when the
// module behaves differently (VESK_CHANGED_PLUGIN writes tally "3").
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';
import {setTimeout as sleep} from 'node:timers/promises';

import {call, facilityArgs, hostBinary, startHost} from './serve.mjs';

let folder;
let file;
let recorded;

const post = (host, pathname, body) =>
  call(host, 'POST', pathname, {headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});

function replay(scenario, ...options) {
  const run = spawnSync(hostBinary, ['--quiet', ...options, scenario], {encoding: 'utf8'});
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
  recorded = (await call(host, 'GET', '/api/recording')).text;
  assert.equal((await host.stop()).code, 0, host.output());
});

after(() => { if (folder) rmSync(folder, {recursive: true, force: true}); });

test('the recording replays with the same outcome, ten times in a row', () => {
  const text = readFileSync(file, 'utf8');
  assert.equal(recorded, text, 'the download differs from the file');
  assert.match(text, /^config .*facility\.ini$/m);
  assert.match(text, /^advance \d+\n@cam1 param instance=cam2\nexpect @cam1 reply none\n/m);
  assert.match(text, /^expect @cam3 control Tally = 2$/m);
  for (let i = 0; i < 10; ++i) {
    const run = replay(file);
    assert.equal(run.status, 0, `replay ${i + 1}:\n${run.output}`);
  }
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
