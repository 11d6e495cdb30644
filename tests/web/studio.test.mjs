// The live views as a studio uses them, in headless Chromium against the
// facility example: several views in one browser, a host that restarts or
// freezes, more viewers than the host serves, the no-link state read by an
// operator and by the accessibility scanner.
import assert from 'node:assert/strict';
import {mkdtempSync, readFileSync, rmSync} from 'node:fs';
import http from 'node:http';
import {createRequire} from 'node:module';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';

import {chromium} from 'playwright-core';

import {chromiumOptions, repo, startHost} from './serve.mjs';

const require = createRequire(import.meta.url);
const axeSource = readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

const wait = {timeout: 10000};
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
let browser;
let profile;

before(async () => {
  profile = mkdtempSync(path.join(os.tmpdir(), 'vesk-studio-'));
  browser = await chromium.launchPersistentContext(profile, {
    ...chromiumOptions, viewport: {width: 1280, height: 860}});
});

after(async () => {
  await browser?.close();
  if (profile) rmSync(profile, {recursive: true, force: true});
});

async function open(host, where = '/', size = undefined) {
  const page = await browser.newPage();
  if (size) await page.setViewportSize(size);
  page.errors = [];
  page.on('pageerror', (error) => page.errors.push(error.message));
  await page.goto(new URL(where, host.url).href);
  await page.locator('html[data-link="live"]').waitFor(wait);
  return page;
}

// Serious and critical findings of the axe scanner, one line each.
async function axeFindings(page) {
  await page.evaluate(axeSource);  // evaluated by the test, so the page's own policy does not apply
  return page.evaluate(async () => (await axe.run(document)).violations
    .filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id}: ${v.nodes.slice(0, 3).map((n) => `${n.target.join(' ')} ${n.failureSummary}`).join(', ')}`));
}

const freeze = (host) => process.kill(host.pid, 'SIGSTOP');
const thaw = (host) => process.kill(host.pid, 'SIGCONT');

test('a viewer past the host\'s limit of event streams is told why it has no link', async () => {
  const host = await startHost();
  const agent = new http.Agent({keepAlive: true, maxSockets: 16});
  const streams = [];
  try {
    for (let n = 0; n < 16; n += 1) {
      streams.push(await new Promise((resolve, reject) => {
        http.get({host: host.url.hostname, port: host.url.port, path: '/api/events', agent}, resolve)
          .on('error', reject);
      }));
    }
    assert.ok(streams.every((s) => s.statusCode === 200));
    const page = await browser.newPage();
    await page.goto(host.url.href);
    await page.locator('#banner', {hasText: 'too many open event streams (at most 16)'}).waitFor(wait);
    const tally = await browser.newPage();
    await tally.goto(new URL('/tally/cam1', host.url).href);
    await tally.locator('#tally-note', {hasText: 'too many open event streams'}).waitFor(wait);
    const overview = await browser.newPage();
    await overview.goto(new URL('/overview', host.url).href);
    await overview.locator('#overview-banner', {hasText: 'too many open event streams'}).waitFor(wait);
    // A stream closes: the page gets it at its next attempt.
    streams.pop().destroy();
    await page.locator('#link[data-link="live"]').waitFor(wait);
    await Promise.all([page.close(), tally.close(), overview.close()]);
  } finally {
    for (const stream of streams) stream.destroy();
    agent.destroy();
    await host.stop();
  }
});

test('the record switch shows the host\'s state: on every page, after a restart, never without a link', async () => {
  let host = await startHost();
  const first = await open(host);
  const second = await open(host);
  try {
    const toggle = (page) => page.locator('#record-switch');
    assert.equal(await toggle(first).isChecked(), false);
    await toggle(first).check();
    await second.locator('#recording[data-recording="on"]').waitFor(wait);
    assert.equal(await toggle(second).isChecked(), true);

    // A restarted host does not record: the switch says so once the page is back.
    const port = host.url.port;
    await host.stop();
    await first.locator('#link[data-link="down"]').waitFor(wait);
    assert.ok(await toggle(first).isDisabled(), 'enabled without a link');
    host = await startHost({address: `127.0.0.1:${port}`});
    await first.locator('#link[data-link="live"]').waitFor(wait);
    await first.locator('#recording[data-recording="off"]').waitFor(wait);
    assert.equal(await toggle(first).isChecked(), false);
    assert.ok(await toggle(first).isEnabled());

    // A click while the host is frozen is cancelled at its deadline, and the
    // host, resumed later, does not apply it.
    await second.locator('#link[data-link="live"]').waitFor(wait);
    freeze(host);
    const clicked = Date.now();
    try {
      await toggle(first).click({timeout: 1000});
      await first.locator('#recording[data-error*="no answer from the host within 3 s"]').waitFor(wait);
      const took = Date.now() - clicked;
      assert.ok(took >= 2900 && took < 5000, `cancelled after ${took} ms`);
      await sleep(1500);
    } finally {
      thaw(host);
    }
    await first.locator('#link[data-link="live"]').waitFor(wait);
    const state = await (await fetch(new URL('/api/state', host.url))).json();
    assert.equal(state.recording.on, false, 'a cancelled click was applied when the host resumed');
    assert.equal(await toggle(first).isChecked(), false);
    assert.match(host.output(), /^(?![\s\S]*recording on)/);
  } finally {
    await first.close();
    await second.close();
    await host.stop();
  }
});
