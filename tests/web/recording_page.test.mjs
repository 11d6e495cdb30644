// The rehearsal recorded on the live page in headless Chromium: switch
// recording on, operate the facility example, save the scenario, replay it.
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {mkdtempSync, readFileSync, rmSync} from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';

import {chromium} from 'playwright-core';

import {chromiumOptions, hostBinary, startHost} from './serve.mjs';

const wait = {timeout: 10000};
let host;
let browser;
let folder;

before(async () => {
  host = await startHost();
  folder = mkdtempSync(path.join(os.tmpdir(), 'vesk-record-page-'));
  browser = await chromium.launchPersistentContext(path.join(folder, 'profile'), {
    ...chromiumOptions, acceptDownloads: true});
});

after(async () => {
  await browser?.close();
  await host?.stop();
  if (folder) rmSync(folder, {recursive: true, force: true});
});

const replay = (file, ...options) => {
  const run = spawnSync(hostBinary, ['--quiet', ...options, file], {encoding: 'utf8'});
  return {status: run.status, output: run.stdout + run.stderr};
};

test('a rehearsal recorded on the page replays, and fails against a changed module', async () => {
  const page = await browser.newPage();
  await page.goto(host.url.href);
  const lamp = (name) => page.locator(`[data-component="${name}"] .lamp`);
  await lamp('cam1').waitFor(wait);
  await page.locator('#record-switch').check();
  await page.locator('#recording[data-recording="on"]').waitFor(wait);

  // Camera 1 on air, camera 3 with tally 3, the mixer previews camera 2.
  await page.locator('[data-gpi="3.1"]').click();
  await page.locator('[data-component="cam1"] .lamp[data-lamp="1"]').waitFor(wait);
  await page.locator('#send-component').selectOption('cam3');
  await page.locator('#send-key').fill('tally_val=3');
  await page.locator('#send-button').click();
  await page.locator('#send-result[data-result="no-reply"]').waitFor(wait);
  await page.locator('[data-gpi="3.3"]').click();
  await page.locator('[data-component="cam3"] .lamp[data-lamp="3"]').waitFor(wait);
  await page.locator('[data-slot="20.4"]').fill('CAM2');
  await page.locator('[data-slot="20.4"]').press('Enter');
  await page.locator('[data-component="preview2"] .lamp[data-lamp="2"]').waitFor(wait);

  const [download] = await Promise.all([page.waitForEvent('download'), page.locator('#record-save').click()]);
  const file = path.join(folder, 'rehearsal.vesk');
  await download.saveAs(file);
  const text = readFileSync(file, 'utf8');
  assert.match(text, /^gpi 3 1 1\nexpect @cam1 sent IW 12 '1' 20 0$/m);
  assert.match(text, /^expect @preview2 control Tally = 2$/m);

  const run = replay(file);
  assert.equal(run.status, 0, run.output);
  const changed = replay(file, '--plugin', process.env.VESK_CHANGED_PLUGIN);
  assert.equal(changed.status, 1, changed.output);
  const line = Number(/FAIL +line (\d+):/.exec(changed.output)?.[1]);
  assert.match(text.split('\n')[line - 1], /^expect /, changed.output);
});
