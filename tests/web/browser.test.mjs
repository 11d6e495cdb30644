// The live page in headless Chromium against the facility example
// (examples/facility.ini: cam1's contact is GPI 3.1, its tally slot 12.20).
// UPDATE_SCREENSHOT=1 saves the page as docs/live-panel.png.
import assert from 'node:assert/strict';
import {mkdtempSync, rmSync} from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';

import {chromium} from 'playwright-core';

import {repo, startHost} from './serve.mjs';

const wait = {timeout: 10000};
let host;
let browser;
let profile;

before(async () => {
  host = await startHost();
  profile = mkdtempSync(path.join(os.tmpdir(), 'vesk-live-'));
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    viewport: {width: 1280, height: 860},
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await browser?.close();
  if (profile) rmSync(profile, {recursive: true, force: true});
  const end = await host?.stop();
  // Ctrl-C ends the host cleanly: components destroyed, summary printed.
  assert.equal(end?.signal, null, host?.output());
  assert.match(host.output(), /plugin> @cam1 AS[\s\S]*expectations held/);
});

const lamp = (page, name) => page.locator(`[data-component="${name}"] .lamp`);
const control = (page, name, id) => page.locator(`[data-component="${name}"] [data-control="${id}"]`);

async function open() {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  await page.goto(host.url.href);
  await page.locator('#link[data-link="live"]').waitFor(wait);
  page.errors = errors;
  return page;
}

async function expectAttribute(locator, name, value) {
  await locator.and(locator.page().locator(`[${name}="${value}"]`)).waitFor(wait);
}

test('the page follows the facility and drives it', async () => {
  const page = await open();
  for (const name of ['cam1', 'cam2', 'cam3', 'cam4', 'preview2']) {
    await page.locator(`[data-component="${name}"]`).waitFor(wait);
  }
  await expectAttribute(lamp(page, 'cam1'), 'data-lamp', '0');
  await expectAttribute(lamp(page, 'cam1'), 'data-colour', 'dark');

  // Camera 1 on air from its GPI toggle: red lamp, "1" in its tally slot.
  await page.locator('[data-gpi="3.1"]').click();
  await expectAttribute(page.locator('[data-gpi="3.1"]'), 'data-state', '1');
  await expectAttribute(lamp(page, 'cam1'), 'data-lamp', '1');
  await expectAttribute(lamp(page, 'cam1'), 'data-colour', 'red');
  await expectAttribute(page.locator('[data-slot="12.20"]'), 'data-text', '1');
  assert.equal(await page.locator('[data-slot="12.20"]').inputValue(), '1');
  assert.equal(await control(page, 'cam1', 'Tally').textContent(), '1');

  // A parent parameter from the form: the panel follows.
  await page.locator('#send-component').selectOption('cam2');
  await page.locator('#send-key').fill('monitoring=Studio camera 2');
  await page.locator('#send-button').click();
  await page.locator('#send-result', {hasText: 'reply'}).waitFor(wait);
  await control(page, 'cam2', 'Legend').filter({hasText: 'Studio camera 2'}).waitFor(wait);

  // The mixer's preview bus from its info slot: camera 2's preview lamp goes green.
  await page.locator('[data-slot="20.4"]').fill('CAM2');
  await page.locator('[data-slot="20.4"]').press('Enter');
  await expectAttribute(lamp(page, 'preview2'), 'data-colour', 'green');

  // A page opened now shows the same state at once.
  const second = await open();
  await expectAttribute(lamp(second, 'cam1'), 'data-colour', 'red');
  await expectAttribute(lamp(second, 'preview2'), 'data-lamp', '2');
  assert.equal(await control(second, 'cam2', 'Legend').textContent(), 'Studio camera 2');
  assert.equal(await second.locator('[data-slot="12.20"]').inputValue(), '1');
  assert.ok(await second.locator('#timeline li').count() > 0, 'the late page has no timeline');

  if (process.env.UPDATE_SCREENSHOT === '1') {
    await page.screenshot({path: path.join(repo, 'docs/live-panel.png'), fullPage: true});
  }

  // A change made on the second page reaches the first.
  await second.locator('[data-gpi="3.1"]').click();
  await expectAttribute(lamp(page, 'cam1'), 'data-colour', 'dark');
  assert.deepEqual([...page.errors, ...second.errors], []);
});

test('tally 3 lights amber, and a refused request explains itself', async () => {
  const page = await open();
  await page.locator('#send-component').selectOption('cam3');
  await page.locator('#send-key').fill('tally_val=3');
  await page.locator('#send-button').click();
  await page.locator('#send-result', {hasText: 'reply'}).waitFor(wait);
  await page.locator('[data-gpi="3.3"]').click();
  await expectAttribute(lamp(page, 'cam3'), 'data-colour', 'amber');
  await expectAttribute(lamp(page, 'cam3'), 'data-lamp', '3');

  await page.locator('#gpi-form input[name="device"]').fill('3');
  await page.locator('#gpi-form input[name="input"]').fill('99999999999');
  await page.locator('#gpi-form button[value="1"]').click();
  await page.locator('#toast', {hasText: 'out of range'}).waitFor(wait);
});
