// How the live page keeps up under load, in headless Chromium: prints
// figures, asserts nothing. Run by hand (or `ctest -L bench`):
//   VESK_HOST=build/default/bin/vesk-host node tests/web/page_bench.mjs [200 1000]
// For each facility size:
// - load: from opening the page to "live" with every card drawn;
// - burst: 1,000 GPI forces sent as fast as the host takes them; how long
//   after the last one the lamps are all correct, and the longest
//   main-thread task (Long Tasks API) meanwhile;
// - sustained: 100 changes per second for 10 s; from sending each change to
//   the next frame after its lamp changed (p50, p99, max).
import http from 'node:http';

import {chromium} from 'playwright-core';

import {cameraFacility, chromiumOptions, startHost} from './serve.mjs';

const sizes = process.argv.slice(2).map(Number).filter((n) => n > 0);
const agent = new http.Agent({keepAlive: true, maxSockets: 8});

function force(host, input, state) {
  return new Promise((resolve, reject) => {
    const body = JSON.stringify({device: 3, input, state});
    const request = http.request({host: host.url.hostname, port: host.url.port, method: 'POST', path: '/api/gpi',
                                  agent, headers: {'Content-Type': 'application/json'}}, (response) => {
      response.resume();
      response.on('end', () => resolve(response.statusCode));
    });
    request.on('error', reject);
    request.end(body);
  });
}

const percentile = (values, p) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.ceil((p / 100) * sorted.length) - 1)];
};

// Installed before the page's own scripts: long tasks and lamp changes.
function watch() {
  window.benchLongTasks = [];
  new PerformanceObserver((list) => {
    for (const entry of list.getEntries()) window.benchLongTasks.push(entry.duration);
  }).observe({type: 'longtask', buffered: true});
  window.benchLamps = [];  // [component, text, Date.now() at the next frame]
  new MutationObserver((records) => {
    const changed = [];
    for (const record of records) {
      const lamp = record.target;
      if (lamp.dataset.componentLamp) changed.push([lamp.dataset.componentLamp, lamp.dataset.lamp]);
    }
    if (changed.length) {
      requestAnimationFrame(() => {
        const at = Date.now();
        for (const [name, text] of changed) window.benchLamps.push([name, text, at]);
      });
    }
  }).observe(document, {subtree: true, attributes: true, attributeFilter: ['data-lamp']});
}

async function run(browser, count) {
  const host = await startHost({args: cameraFacility(count)});
  const page = await browser.newPage({viewport: {width: 1366, height: 900}});
  await page.addInitScript(watch);
  const states = new Array(count + 1).fill(0);
  const figures = {components: count};
  try {
    // The host needs a moment to let every component register.
    await new Promise((resolve) => setTimeout(resolve, 1500));
    const opened = Date.now();
    await page.goto(host.url.href);
    await page.locator('#link[data-link="live"]').waitFor({timeout: 60000});
    await page.locator(`[data-component="cam${count}"]`).waitFor({state: 'attached', timeout: 60000});
    figures.loadMs = Date.now() - opened;

    // Burst: 1,000 forces, eight at a time, as fast as they are answered.
    await page.evaluate(() => { window.benchLongTasks = []; });
    let next = 0;
    const sendBurst = async () => {
      while (next < 1000) {
        const input = (next % count) + 1;
        next += 1;
        states[input] = 1 - states[input];
        await force(host, input, states[input]);
      }
    };
    const burstStart = Date.now();
    await Promise.all(Array.from({length: 8}, sendBurst));
    const lastSent = Date.now();
    const expected = states.slice(1).map(String);
    await page.waitForFunction((want) => want.every((text, i) =>
      document.querySelector(`[data-component-lamp="cam${i + 1}"]`)?.dataset.lamp === text), expected,
    {timeout: 120000, polling: 'raf'});
    figures.burstSendMs = lastSent - burstStart;
    figures.burstCorrectAfterLastMs = Date.now() - lastSent;
    const longTasks = await page.evaluate(() => window.benchLongTasks);
    figures.burstLongestTaskMs = Math.round(Math.max(0, ...longTasks));
    figures.burstTasksOver50Ms = longTasks.length;

    // Sustained: 100 changes per second for 10 s, each to the next component.
    await page.evaluate(() => { window.benchLamps = []; window.benchLongTasks = []; });
    const sent = [];  // [component, text, Date.now() when sent]
    const pending = [];
    const start = Date.now();
    for (let i = 0; i < 1000; i += 1) {
      const due = start + i * 10;
      const wait = due - Date.now();
      if (wait > 0) await new Promise((resolve) => setTimeout(resolve, wait));
      const input = (i % count) + 1;
      states[input] = 1 - states[input];
      sent.push([`cam${input}`, String(states[input]), Date.now()]);
      pending.push(force(host, input, states[input]));
    }
    await Promise.all(pending);
    await new Promise((resolve) => setTimeout(resolve, 1500));
    const seen = await page.evaluate(() => window.benchLamps);
    const latencies = [];
    let missed = 0;
    const cursor = new Map();
    for (const [name, text, at] of sent) {
      const from = cursor.get(name) || 0;
      const index = seen.findIndex((s, i) => i >= from && s[0] === name && s[1] === text && s[2] >= at);
      if (index < 0) {
        missed += 1;
        continue;
      }
      cursor.set(name, index + 1);
      latencies.push(seen[index][2] - at);
    }
    const sustainedTasks = await page.evaluate(() => window.benchLongTasks);
    figures.sustainedChanges = sent.length;
    figures.sustainedMissed = missed;
    figures.sustainedP50Ms = percentile(latencies, 50);
    figures.sustainedP99Ms = percentile(latencies, 99);
    figures.sustainedMaxMs = Math.max(...latencies);
    figures.sustainedLongestTaskMs = Math.round(Math.max(0, ...sustainedTasks));
  } finally {
    await page.close();
    await host.stop();
  }
  return figures;
}

const browser = await chromium.launch(chromiumOptions);
try {
  for (const count of sizes.length ? sizes : [200, 1000]) {
    const figures = await run(browser, count);
    console.log(JSON.stringify(figures));
  }
} finally {
  await browser.close();
  agent.destroy();
}
