// The live views as a studio uses them, in headless Chromium against the
// facility example: several views in one browser, a host that restarts or
// freezes, more viewers than the host serves, the no-link state read by an
// operator and by the accessibility scanner.
import assert from 'node:assert/strict';
import {mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import http from 'node:http';
import {createRequire} from 'node:module';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';

import {chromium} from 'playwright-core';

import {cameraFacility, chromiumOptions, countSnapshots, repo, startHost} from './serve.mjs';

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

async function open(host, where = '/', size = undefined, before = async () => {}) {
  const page = await browser.newPage();
  if (size) await page.setViewportSize(size);
  await before(page);
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
    await first.bringToFront();
    freeze(host);
    const clicked = Date.now();
    try {
      // At once, before the page notices the silence (a background tab's
      // click would wait for frames to judge the switch stable).
      await toggle(first).click({timeout: 1000, force: true});
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

// The facility example with camera 2 made of its program and its preview component.
function cameraArgs() {
  const folder = mkdtempSync(path.join(os.tmpdir(), 'vesk-camera-ini-'));
  const file = path.join(folder, 'studio.ini');
  writeFileSync(file, `${readFileSync(path.join(repo, 'examples/facility.ini'), 'utf8')}
[camera.cam2]
components = cam2, preview2

[camera.studio]
components = cam1, cam3
`);
  return ['--config', file];
}

const post = (host, where, body) => fetch(new URL(where, host.url), {method: 'POST',
  headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});

test('a camera shows its strongest tally with the others marked; the phone never shows a doubtful PROGRAM', async () => {
  const host = await startHost({args: cameraArgs()});
  const phone = {width: 390, height: 844};
  const page = await open(host, '/tally/cam2', phone);
  try {
    // Past the components' start-up poll (a timer of 500 ms), after which
    // each writes its tally again: only the test's own actions change them.
    await page.waitForFunction(() => Live.clockMs() > 1500, null, wait);
    const view = page.locator('#tally');
    const also = page.locator('#tally-also');
    // Each row: what to do, then the colour, word and secondary mark the phone shows.
    for (const [gpi, preview, colour, shown, mark] of [
      [0, 'CAM1', 'dark', 'OFF', null],
      [0, 'CAM2', 'green', 'PREVIEW', null],     // preview from the other component
      [1, 'CAM2', 'red', 'PROGRAM', 'also PREVIEW'],  // program wins, preview marked
      [1, 'CAM1', 'red', 'PROGRAM', null],
      [0, 'CAM1', 'dark', 'OFF', null],
    ]) {
      await post(host, '/api/gpi', {device: 3, input: 2, state: gpi});
      await post(host, '/api/info', {device: 20, slot: 4, text: preview});
      // (A change of the facility's structure makes the view fetch a fresh
      // snapshot, so each look is waited for, not read once.)
      await page.locator(`#tally[data-colour="${colour}"] #tally-word`, {hasText: new RegExp(`^${shown}$`)}).waitFor(wait);
      if (mark) await page.locator('#tally-also:visible', {hasText: mark}).waitFor(wait);
      else await also.waitFor({...wait, state: 'hidden'});
      if (process.env.UPDATE_SCREENSHOT === '1' && (shown === 'PREVIEW' || mark)) {
        await page.screenshot({path: path.join(repo, `docs/screenshots/phone-${shown.toLowerCase()}.png`)});
      }
    }

    // Someone else writes cam2's tally slot: the phone does not claim PROGRAM.
    await post(host, '/api/gpi', {device: 3, input: 2, state: 1});
    await view.and(page.locator('[data-colour="red"]')).waitFor(wait);
    await post(host, '/api/info', {device: 12, slot: 21, text: '0'});
    await view.and(page.locator('[data-colour="doubt"]')).waitFor(wait);
    await page.locator('#tally[data-colour="doubt"] #tally-word', {hasText: 'IN DOUBT'}).waitFor(wait);
    assert.match(await page.locator('#tally-note').textContent(), /Last written: PROGRAM, but slot 12\.21 now holds "0"/);
    const fill = await view.evaluate((node) => getComputedStyle(node).backgroundImage + getComputedStyle(node).backgroundColor);
    assert.doesNotMatch(fill, /rgb\(224, 32, 26\)/, 'the screen is still program red');
    assert.deepEqual(await axeFindings(page), []);
    if (process.env.UPDATE_SCREENSHOT === '1') {
      await page.screenshot({path: path.join(repo, 'docs/screenshots/phone-doubt.png')});
    }

    // The picker lists the cameras first; a component of a camera is not listed apart.
    await page.goto(new URL('/tally/', host.url).href);
    await page.locator('html[data-link="live"]').waitFor(wait);
    const listed = await page.locator('#picker-list li').evaluateAll((items) => items.map((li) => li.dataset.item));
    assert.deepEqual(listed, ['cam2', 'studio', 'cam4']);
    await page.locator('[data-item="studio"] .picker-word', {hasText: /^OFF$/}).waitFor(wait);
    await post(host, '/api/gpi', {device: 3, input: 3, state: 1});
    await page.locator('[data-item="studio"] .picker-word', {hasText: 'PROGRAM'}).waitFor(wait);
    await post(host, '/api/gpi', {device: 3, input: 3, state: 0});
    assert.deepEqual(page.errors, []);
  } finally {
    await page.close();
    await host.stop();
  }
});

test('without a link every view passes the scan, the overview keeps the last lamps, the timeline reads back', async () => {
  const host = await startHost();
  const phone = {width: 390, height: 844};
  const views = [];
  try {
    await post(host, '/api/gpi', {device: 3, input: 1, state: 1});
    for (const [where, size] of [['/', {width: 1280, height: 860}], ['/', phone], ['/tally/cam1', phone],
      ['/tally/', phone], ['/overview', {width: 1366, height: 768}]]) {
      views.push(await open(host, where, size));
    }
    const [main, , tally, , overview] = views;
    await overview.locator('.tile[data-component="cam1"][data-colour="red"]').waitFor(wait);
    const onAir = await overview.locator('.tile[data-colour="red"]').count();
    await host.stop();
    for (const page of views) {
      await page.locator('html[data-link="down"]').waitFor(wait);
      assert.deepEqual(await axeFindings(page), [], `${page.url()} at ${page.viewportSize().width} px without a link`);
    }

    // The producer still sees who was on air, marked as the last known state.
    await overview.locator('.tile.stale[data-component="cam1"][data-colour="red"]').waitFor(wait);
    assert.equal(await overview.locator('#on-air-count').textContent(), `${onAir} on air · 0 on preview (last known)`);
    await overview.locator('#on-air-names [data-on-air="cam1"]').waitFor(wait);
    assert.equal(await overview.locator('.tile[data-component="cam2"]').getAttribute('data-colour'), 'dark');
    assert.equal(await overview.locator('.tile:not(.stale)').count(), 0);
    assert.match(await tally.locator('#tally-note').textContent(), /No link to the host since .*\(/);

    // The timeline can be paused and searched to read back what happened.
    const pause = main.locator('#timeline-pause');
    assert.ok(await pause.isEnabled());
    await pause.click();
    assert.equal(await pause.getAttribute('aria-pressed'), 'true');
    await main.locator('#timeline-filter').fill('3.1');
    await main.waitForFunction(() => {
      const rows = [...document.querySelectorAll('#timeline .row:not([hidden])')];
      return rows.length > 0 && rows.every((row) => row.textContent.includes('3.1'));
    }, null, wait);
    // Disabled controls look disabled, hover or not.
    const look = (locator) => locator.evaluate((node) => getComputedStyle(node).borderStyle);
    assert.ok(await main.locator('[data-gpi="3.1"]').isDisabled());
    assert.equal(await look(main.locator('[data-gpi="3.1"]')), 'dashed');
    assert.equal(await look(main.locator('#gpi-form button[value="1"]')), 'dashed');
    assert.notEqual(await look(pause), 'dashed');

    if (process.env.UPDATE_SCREENSHOT === '1') {
      await tally.screenshot({path: path.join(repo, 'docs/screenshots/phone-no-link.png')});
      await overview.screenshot({path: path.join(repo, 'docs/screenshots/overview-outage.png')});
    }
  } finally {
    for (const page of views) await page.close();
    await host.stop();
  }
});

test('a frozen host shows NO LINK within the time the README states', async () => {
  const readme = readFileSync(path.join(repo, 'README.md'), 'utf8');
  const stated = Number(/within\s+([\d.]+) s of a frozen host/.exec(readme)?.[1]);
  assert.ok(stated > 0, 'the README states no time for a frozen host');
  const host = await startHost();
  const page = await open(host, '/tally/cam1', {width: 390, height: 844});
  try {
    // Frozen at different moments between two heartbeats; the slowest counts.
    let slowest = 0;
    for (const offset of [0, 350, 700]) {
      await page.locator('html[data-link="live"]').waitFor(wait);
      await sleep(offset);
      freeze(host);
      const frozen = Date.now();
      try {
        await page.locator('#tally[data-colour="nolink"]').waitFor(wait);
        slowest = Math.max(slowest, Date.now() - frozen);
      } finally {
        thaw(host);
      }
    }
    assert.ok(slowest <= stated * 1000, `NO LINK after ${slowest} ms; the README says ${stated} s`);
  } finally {
    await page.close();
    await host.stop();
  }
});

test('six views in one browser share one stream: a click on the main page acts at once', async () => {
  const host = await startHost();
  const views = [];
  try {
    // The main page, the overview and four tally tabs: a stream each would
    // take all six connections a browser allows one host.
    for (const where of ['/', '/overview', '/tally/cam1', '/tally/cam2', '/tally/cam3', '/tally/cam4']) {
      views.push(await open(host, where));
    }
    const [main, overview, tally] = views;
    await main.bringToFront();  // a background tab gets few frames, and a click waits for them
    const clicked = Date.now();
    await main.locator('[data-gpi="3.1"]').click();
    await main.locator('[data-component="cam1"] .lamp[data-lamp="1"]').waitFor({timeout: 3000});
    await tally.locator('#tally[data-lamp="1"]').waitFor({timeout: 3000});
    await overview.locator('.tile[data-component="cam1"][data-lamp="1"]').waitFor({timeout: 3000});
    assert.ok(Date.now() - clicked < 3000);
    // A screen reader is told which lamp changed.
    assert.equal(await overview.locator('#announce').textContent(), 'cam1 program');
    // The host serves them one stream, naming the six views.
    await main.waitForFunction(() => document.querySelectorAll('#viewers li').length === 1 &&
      document.querySelector('#viewers li').dataset.views.split(' ').length === 6, null, wait);
    await main.locator('[data-gpi="3.1"]').click();
    await tally.locator('#tally[data-lamp="0"]').waitFor({timeout: 3000});
    // A view opened late gets the state of now, and the others stay live.
    views.push(await open(host, '/tally/cam1'));
    await views.at(-1).locator('#tally[data-lamp="0"]').waitFor(wait);
    for (const page of views) assert.equal(await page.locator('html').getAttribute('data-link'), 'live');
    for (const page of views) assert.deepEqual(page.errors, []);
  } finally {
    for (const page of views) await page.close();
    await host.stop();
  }
});

test('1,000 cameras: the overview counts and names who is on air; the tally list filters and changes in place', async () => {
  const host = await startHost({args: cameraFacility(1000)});
  const size = {width: 1366, height: 768};
  const overview = await open(host, '/overview', size);
  const picker = await open(host, '/tally/', {width: 390, height: 844});
  try {
    await overview.locator('.tile[data-component="cam1000"]').waitFor(wait);
    await picker.locator('[data-item="cam1000"]').waitFor(wait);
    // The tiles come in blocks of whole rows with the columns of the whole
    // grid, at any width: no row but the last is short.
    const blocks = () => overview.evaluate(() => {
      const all = [...document.querySelectorAll('#grid > .block')];
      const columns = new Set([...all[0].children].map((item) => Math.round(item.getBoundingClientRect().left))).size;
      return {columns, counts: all.map((block) => block.childElementCount)};
    });
    const shortBlocks = ({columns, counts}) => counts.slice(0, -1).filter((n) => n % columns !== 0);
    for (const width of [1366, 700]) {
      await overview.setViewportSize({width, height: size.height});
      await overview.waitForFunction((w) => document.querySelector('#grid').clientWidth < w, width);
      // The blocks are made again once the browser tells the page of the
      // new width (after a frame), and the tiles built again if a fresh
      // snapshot came meanwhile (the picker's, on the shared stream, may
      // come late on a slow machine): given a few seconds.
      const tiles = ({counts}) => counts.reduce((a, b) => a + b);
      let measured = await blocks();
      for (const until = Date.now() + 10000; (shortBlocks(measured).length > 0 || tiles(measured) !== 1000) && Date.now() < until;) {
        await new Promise((resolve) => setTimeout(resolve, 50));
        measured = await blocks();
      }
      const {columns, counts} = measured;
      assert.ok(counts.length > 1 && columns > 1, `${counts.length} blocks of ${columns} columns`);
      assert.deepEqual(shortBlocks(measured), [], `${columns} columns at ${width} px`);
      assert.equal(tiles(measured), 1000);
    }
    await overview.setViewportSize(size);
    // A filter hides the blocks without a match and sizes the others to
    // their rows, in view or not: eleven tiles take two rows, not the page.
    await overview.locator('#filter').fill('cam98');
    await overview.locator('#overview-count', {hasText: /^11 of 1000$/}).waitFor(wait);
    assert.ok(await overview.evaluate(() => document.scrollingElement.scrollHeight <= innerHeight), 'the filtered overview scrolls');
    await overview.locator('#filter').fill('');
    await overview.locator('#on-air-count', {hasText: /^0 on air/}).waitFor(wait);
    // A camera far below the first screen goes on air: the count and its name are in view.
    await post(host, '/api/gpi', {device: 3, input: 987, state: 1});
    await overview.locator('#on-air-count', {hasText: /^1 on air/}).waitFor(wait);
    const named = overview.locator('#on-air-names [data-on-air="cam987"]');
    await named.waitFor(wait);
    const box = await named.boundingBox();
    assert.ok(box.y >= 0 && box.y + box.height <= size.height, 'the on-air name is out of view');
    const tile = await overview.locator('.tile[data-component="cam987"]').boundingBox();
    assert.ok(tile.y > size.height, 'the tile is on the first screen: this proves nothing');

    // The list is not rebuilt for a change: the same item, its word changed.
    await picker.evaluate(() => { document.querySelector('[data-item="cam5"]').kept = true; });
    await post(host, '/api/gpi', {device: 3, input: 5, state: 1});
    await picker.locator('[data-item="cam5"] .picker-word', {hasText: 'PROGRAM'}).waitFor(wait);
    assert.equal(await picker.evaluate(() => document.querySelector('[data-item="cam5"]').kept), true);
    await picker.locator('#picker-filter').fill('cam98');
    assert.equal(await picker.locator('#picker-list li:visible').count(), 11);  // cam98, cam980 to cam989
    assert.match(await picker.locator('#picker-link').textContent(), /^11 of 1000 /);
    await picker.locator('[data-item="cam987"] .picker-word', {hasText: 'PROGRAM'}).waitFor(wait);

    // The on-air line names 24 cameras and counts the rest.
    for (let input = 101; input <= 124; input += 1) await post(host, '/api/gpi', {device: 3, input, state: 1});
    await overview.locator('#on-air-count', {hasText: /^26 on air/}).waitFor(wait);
    assert.equal(await overview.locator('#on-air-names [data-on-air]').count(), 24);
    assert.equal(await overview.locator('#on-air-names span').textContent(), '+2 more');
    for (let input = 101; input <= 102; input += 1) await post(host, '/api/gpi', {device: 3, input, state: 0});
    await overview.locator('#on-air-count', {hasText: /^24 on air/}).waitFor(wait);
    assert.equal(await overview.locator('#on-air-names [data-on-air]').count(), 24);
    assert.equal(await overview.locator('#on-air-names span').count(), 0);
    // Lit only: the tiles on air, taken from the state and not from what is
    // drawn (most of them were out of view when they lit), each drawn lit.
    await overview.locator('#on-air').check();
    assert.equal(await overview.locator('#overview-count').textContent(), '24 of 1000');
    const onAir = ['cam5', ...Array.from({length: 22}, (_, i) => `cam${i + 103}`), 'cam987'];
    assert.deepEqual(await overview.locator('.tile:visible').evaluateAll((found) => found.map((t) => t.dataset.component)), onAir);
    await overview.locator('.tile[data-component="cam987"][data-lamp="1"]').waitFor(wait);
    await overview.locator('#on-air').uncheck();
    assert.deepEqual([...overview.errors, ...picker.errors], []);
  } finally {
    await overview.close();
    await picker.close();
    await host.stop();
  }
});

test('a phone without a wake lock is kept awake by a video from the first tap, or told it cannot be', async () => {
  const host = await startHost();
  try {
    // Served over plain HTTP to a studio address, a page has no wake lock;
    // here the browser is made to lack it (and, in the second row, video too).
    for (const [lacks, after, says] of [
      [['wakeLock'], 'video', ''],
      [['wakeLock', 'captureStream'], 'none', /cannot keep the screen awake.*auto-lock.*HTTPS/],
    ]) {
      const page = await browser.newPage();
      await page.setViewportSize({width: 390, height: 844});
      await page.addInitScript((names) => {
        if (names.includes('wakeLock')) delete Navigator.prototype.wakeLock;
        if (names.includes('captureStream')) delete HTMLCanvasElement.prototype.captureStream;
      }, lacks);
      await page.goto(new URL('/tally/cam1', host.url).href);
      await page.locator('#tally-awake[data-awake="tap"]', {hasText: 'Tap the screen to keep it awake'}).waitFor(wait);
      assert.deepEqual(await axeFindings(page), []);
      await page.locator('#tally-word').click();
      await page.locator(`#tally-awake[data-awake="${after}"]`).waitFor({...wait, state: 'attached'});
      assert.match(await page.locator('#tally-awake').textContent(), says || /^$/);
      if (after === 'video') {
        assert.equal(await page.evaluate(() => {
          const video = document.querySelector('video.keep-awake');
          return video.muted && video.loop && video.playsInline && !video.paused;
        }), true);
      }
      await page.close();
    }
  } finally {
    await host.stop();
  }
});

test('flashing on program is chosen per view and kept for it', async () => {
  const host = await startHost();
  const page = await open(host, '/tally/cam1', {width: 390, height: 844});
  try {
    await post(host, '/api/gpi', {device: 3, input: 1, state: 1});
    await page.locator('#tally[data-colour="red"]:not(.flashing)').waitFor(wait);
    await page.locator('#tally-flash').click();
    await page.locator('#tally.flashing[data-colour="red"]').waitFor(wait);
    assert.equal(await page.locator('#tally-flash').getAttribute('aria-pressed'), 'true');
    // The background blinks: two different colours within a second.
    const seen = new Set();
    for (let n = 0; n < 8; n += 1) {
      seen.add(await page.locator('#tally').evaluate((node) => getComputedStyle(node).backgroundColor));
      await sleep(150);
    }
    assert.ok(seen.size >= 2, `one colour only: ${[...seen]}`);
    await page.reload();
    await page.locator('#tally.flashing[data-colour="red"]').waitFor(wait);
    // Off program it does not flash; another camera's view has its own choice.
    await post(host, '/api/gpi', {device: 3, input: 1, state: 0});
    await page.locator('#tally[data-colour="dark"]:not(.flashing)').waitFor(wait);
    await page.goto(new URL('/tally/cam2', host.url).href);
    await post(host, '/api/gpi', {device: 3, input: 2, state: 1});
    await page.locator('#tally[data-colour="red"]:not(.flashing)').waitFor(wait);
    await post(host, '/api/gpi', {device: 3, input: 2, state: 0});
  } finally {
    await page.close();
    await host.stop();
  }
});

test('a lamp test from the main page lights every view for five seconds; the overview shows the bridges', async () => {
  const folder = mkdtempSync(path.join(os.tmpdir(), 'vesk-bridge-ini-'));
  const ini = path.join(folder, 'bridged.ini');
  writeFileSync(ini, `${readFileSync(path.join(repo, 'examples/facility.ini'), 'utf8')}
[tsl_in.mixer]
protocol = udp
port = 0
gpi = 3
`);
  const host = await startHost({args: ['--config', ini]});
  const views = [];
  try {
    for (const where of ['/', '/overview', '/tally/cam1', '/tally/cam2']) views.push(await open(host, where));
    const [main, overview, ...tallies] = views;
    await overview.locator('#overview-bridges [data-bridge="mixer"]', {hasText: 'mixer listening'}).waitFor(wait);
    await main.bringToFront();
    await main.locator('#lamp-test').click();
    const asked = Date.now();
    for (const tally of tallies) {
      await tally.locator('#tally[data-colour="test"] #tally-word', {hasText: 'LAMP TEST'}).waitFor(wait);
    }
    await overview.locator('html[data-lamp-test="on"]').waitFor({...wait, state: 'attached'});
    await main.locator('html[data-lamp-test="on"]').waitFor({...wait, state: 'attached'});
    await tallies[0].locator('#tally[data-colour="dark"]').waitFor(wait);
    const lasted = Date.now() - asked;
    assert.ok(lasted > 4500 && lasted < 7000, `the lamp test lasted ${lasted} ms`);
    // Each view ends the test on its own clock, from when the event reached it.
    await overview.locator('html[data-lamp-test]').waitFor({state: 'detached', timeout: 1500});
    await main.locator('html[data-lamp-test]').waitFor({state: 'detached', timeout: 1500});
    // Out of its bounds the host refuses it.
    for (const seconds of [0, 11]) {
      const answer = await post(host, '/api/lamp-test', {seconds});
      assert.equal(answer.status, 400);
    }
  } finally {
    for (const page of views) await page.close();
    await host.stop();
    rmSync(folder, {recursive: true, force: true});
  }
});

test('the main page lists the viewers and the views each serves, as they come and go, without a snapshot of its own', async () => {
  const host = await startHost();
  const main = await open(host, '/', undefined, (page) => page.addInitScript(countSnapshots));
  const views = [];
  let program;
  try {
    const listed = () => main.locator('#viewers li').evaluateAll((items) => items.map((li) => li.dataset.views).sort());
    // This browser's views share one stream, listed with both views (the
    // stream it replaced is listed until the host sees it closed).
    views.push(await open(host, '/tally/cam1'));
    await main.waitForFunction(() => [...document.querySelectorAll('#viewers li')].map((li) => li.dataset.views).join() === '/ /tally/cam1',
                               null, wait);
    assert.deepEqual(await listed(), ['/ /tally/cam1']);
    assert.match(await main.locator('#viewers-title').textContent(), /1 stream, 1 tally view/);
    // A stream from elsewhere, then gone.
    program = await new Promise((resolve, reject) => {
      http.get({host: host.url.hostname, port: host.url.port, path: '/api/events?view=%2Ftally%2Fcam3', agent: false}, resolve)
        .on('error', reject);
    });
    await main.locator('#viewers li[data-views="/tally/cam3"][data-viewer="127.0.0.1"]').waitFor(wait);
    program.destroy();
    await main.locator('#viewers li[data-views="/tally/cam3"]').waitFor({...wait, state: 'detached'});
    // A view closed: the list leaves it out.
    await views.pop().close();
    await main.waitForFunction(() => [...document.querySelectorAll('#viewers li')].map((li) => li.dataset.views).join() === '/', null, wait);
    // The view that came and went changed the stream twice; the main page
    // read on from one to the next, with its first snapshot only.
    await post(host, '/api/gpi', {device: 3, input: 1, state: 1});
    await main.locator('[data-component="cam1"] .lamp[data-lamp="1"]').waitFor(wait);
    assert.equal(await main.evaluate(() => window.veskSnapshots), 1);
    assert.deepEqual(main.errors, []);
  } finally {
    program?.destroy();
    for (const page of views) await page.close();
    await main.close();
    await host.stop();
  }
});

test('a browser without shared workers gives each view its own stream', async () => {
  const host = await startHost();
  const page = await browser.newPage();
  const main = await open(host);
  try {
    await page.addInitScript(() => { delete window.SharedWorker; });
    await page.goto(new URL('/tally/cam3', host.url).href);
    await page.locator('#tally[data-lamp="0"]').waitFor(wait);
    await post(host, '/api/gpi', {device: 3, input: 3, state: 1});
    await page.locator('#tally[data-lamp="1"]').waitFor(wait);
    // Its own stream, apart from the main page's.
    await main.locator('#viewers li[data-views="/tally/cam3"]').waitFor(wait);
    await main.locator('#viewers li[data-views="/"]').waitFor(wait);
    await post(host, '/api/gpi', {device: 3, input: 3, state: 0});
  } finally {
    await page.close();
    await main.close();
    await host.stop();
  }
});

test('with a token, the views and their shared stream carry it', async () => {
  const host = await startHost({token: 'studio-token-1'});
  const views = [];
  try {
    for (const where of ['/?token=studio-token-1', '/tally/cam3?token=studio-token-1']) views.push(await open(host, where));
    await post(host, '/api/gpi', {device: 3, input: 3, state: 1}).then((answer) => assert.equal(answer.status, 401));
    await views[0].bringToFront();
    await views[0].locator('[data-gpi="3.3"]').click();
    await views[1].locator('#tally[data-lamp="1"]').waitFor(wait);
    await views[0].locator('[data-gpi="3.3"]').click();
    await views[1].locator('#tally[data-lamp="0"]').waitFor(wait);
  } finally {
    for (const page of views) await page.close();
    await host.stop();
  }
});
