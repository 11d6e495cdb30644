// How the live page keeps up under load, in headless Chromium: prints
// figures, asserts nothing. Run by hand (it is not part of `ctest`):
//   VESK_HOST=build/default/bin/vesk-host node tests/web/page_bench.mjs [200 1000]
// For each facility size:
// - load: from opening the page to "live" with every card drawn;
// - burst: 1,000 GPI forces sent as fast as the host takes them; how long
//   after the last one the lamps are all correct, and the longest
//   main-thread task (Long Tasks API) meanwhile;
// - sustained: 100 changes per second for 10 s; from sending each change to
//   the next frame after its lamp changed (p50, p99, max).
// With --cut (`node tests/web/page_bench.mjs --cut 10000`), instead: a TSL
// mixer played by the benchmark cuts every camera at once, ten times, with
// the main page and /overview open; each page's load (until its last card
// or tile is there) and its longest main-thread task meanwhile; for each
// cut, how long after the last lamp message each page shows every lamp on
// the screen, and every lamp of the page (drawn or not yet in view), and
// the longest main-thread task, and the browser's CPU time (its renderers,
// and all its processes) until both pages show every lamp;
// every other cut, how long the last lamp takes to show the cut once the
// end of the page is scrolled into view.
// With --join (`node tests/web/page_bench.mjs --join 10000`), instead: the
// main page open in a browser, and a tally view of the same browser opened
// and closed five times beside it (the views of a browser share one
// stream); how long each tally view takes to be live, and, on the main
// page meanwhile, its longest main-thread task, its time in tasks over
// 50 ms, and the snapshots it was handed.
// `--cuts=N` makes N cuts (at least 2) instead of ten; `--each` also prints
// each cut's figures as it ends. `--tables` scrolls the main page to its
// table of GPI inputs (every row built) before the cuts, and times, for each
// cut, how long after the last lamp message every camera's GPI row (and
// tally slot row, of those built) shows it, instead of scrolling to the end.
import dgram from 'node:dgram';
import http from 'node:http';

import {chromium} from 'playwright-core';

import {cameraFacility, chromiumOptions, countSnapshots, startHost} from './serve.mjs';

const cutMode = process.argv.includes('--cut');
const cutsArg = process.argv.find((arg) => arg.startsWith('--cuts='));  // --cuts=N: N cuts instead of 10
const eachCut = process.argv.includes('--each');
const tablesInView = process.argv.includes('--tables');
const joinMode = process.argv.includes('--join');
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

// Installed before the page's own scripts: which lamp each component shows,
// and, once armed with a wanted text, when (at the next frame) all the
// lamps on the screen do, and when all the lamps of the page do (those out
// of view may be drawn later, as they come into view).
function watchCut() {
  const cut = {want: null, total: 0, matching: 0, doneAt: 0, seen: new Set(), seenMatching: 0, seenAt: 0,
               values: new Map(), rows: {total: 0, matching: 0, doneAt: 0, values: new Map()}};
  window.benchCut = cut;
  const nameOf = (lamp) => lamp.dataset.componentLamp ||
    (lamp.classList.contains('tile') ? lamp.dataset.component : undefined);
  const lamps = () => document.querySelectorAll('[data-component-lamp], .tile[data-component]');
  // A camera's GPI row (3.K: its state) or tally slot row (12.(K + 19): its text).
  const rowOf = (node) => {
    if (node.dataset.gpi?.startsWith('3.')) return [node.dataset.gpi, node.dataset.state];
    const [device, slot] = (node.classList.contains('slot-text') && node.dataset.slot.split('.')) || [];
    return device === '12' && Number(slot) >= 20 ? [node.dataset.slot, node.dataset.text] : null;
  };
  const rowNodes = () => document.querySelectorAll('#gpi-table button[data-gpi], #info-table .slot-text');
  window.benchArm = (want, total) => {
    Object.assign(cut, {want, total, matching: 0, doneAt: 0, seenMatching: 0, seenAt: 0});
    cut.values.clear();
    cut.seen.clear();
    // A lamp is measured only when its block of cards or tiles is on the
    // screen: measuring one in a block the browser skips (off screen) lays
    // that block out, and ten thousand of them took seconds a cut.
    const onScreen = (node) => {
      const box = node.getBoundingClientRect();
      return box.height > 0 && box.bottom > 0 && box.top < innerHeight;
    };
    const blocksOnScreen = new Map();
    for (const lamp of lamps()) {
      cut.values.set(nameOf(lamp), lamp.dataset.lamp);
      const block = lamp.closest('.block');
      if (block && !blocksOnScreen.has(block)) blocksOnScreen.set(block, onScreen(block));
      if ((!block || blocksOnScreen.get(block)) && onScreen(lamp)) cut.seen.add(nameOf(lamp));
    }
    for (const value of cut.values.values()) if (value === want) cut.matching += 1;
    Object.assign(cut.rows, {total: 0, matching: 0, doneAt: 0});
    cut.rows.values.clear();
    for (const node of rowNodes()) {
      const row = rowOf(node);
      if (!row) continue;
      cut.rows.values.set(...row);
      cut.rows.total += 1;
      if (row[1] === want) cut.rows.matching += 1;
    }
    for (const name of cut.seen) if (cut.values.get(name) === want) cut.seenMatching += 1;
    window.benchLongTasks = [];
  };
  // After the cut: the last lamp of the page is scrolled into view; how
  // long until it shows the wanted text.
  window.benchEnd = (name) => new Promise((resolve) => {
    const lamp = document.querySelector(`[data-component-lamp="${name}"], .tile[data-component="${name}"]`);
    const start = performance.now();
    lamp.scrollIntoView({block: 'center'});
    const check = () => {
      if (lamp.dataset.lamp === cut.want) resolve(Math.round(performance.now() - start));
      else requestAnimationFrame(check);
    };
    requestAnimationFrame(check);
  });
  new MutationObserver((records) => {
    for (const record of records) {
      const row = record.attributeName !== 'data-lamp' && rowOf(record.target);
      if (row) {
        const before = cut.rows.values.get(row[0]);
        if (before === row[1]) continue;
        cut.rows.values.set(...row);
        if (before === cut.want) cut.rows.matching -= 1;
        if (row[1] === cut.want) cut.rows.matching += 1;
        continue;
      }
      const name = nameOf(record.target);
      if (!name) continue;
      const before = cut.values.get(name);
      const now = record.target.dataset.lamp;
      if (before === now) continue;
      cut.values.set(name, now);
      if (before === cut.want) cut.matching -= 1;
      if (now === cut.want) cut.matching += 1;
      if (cut.seen.has(name)) {
        if (before === cut.want) cut.seenMatching -= 1;
        if (now === cut.want) cut.seenMatching += 1;
      }
    }
    if (cut.want !== null && !cut.seenAt && cut.seenMatching === cut.seen.size) {
      requestAnimationFrame(() => { cut.seenAt = Date.now(); });
    }
    if (cut.want !== null && !cut.doneAt && cut.matching === cut.total) {
      requestAnimationFrame(() => { cut.doneAt = Date.now(); });
    }
    if (cut.want !== null && cut.rows.total && !cut.rows.doneAt && cut.rows.matching === cut.rows.total) {
      requestAnimationFrame(() => { cut.rows.doneAt = Date.now(); });
    }
  }).observe(document, {subtree: true, attributes: true, attributeFilter: ['data-lamp', 'data-state', 'data-text']});
}

// The mixer's packets that set the right lamp of displays 1..count to
// `level`, as many display messages a packet as fit in 2,048 bytes.
function mixerPackets(count, level) {
  const packets = [];
  for (let first = 1; first <= count; first += 340) {
    const last = Math.min(count, first + 339);
    const packet = Buffer.alloc(6 + 6 * (last - first + 1));
    packet.writeUInt16LE(packet.length - 2, 0);  // byte count, version 0, flags 0, screen 0
    let at = 6;
    for (let index = first; index <= last; index += 1, at += 6) {
      packet.writeUInt16LE(index, at);
      packet.writeUInt16LE(level | (3 << 6), at + 2);  // right lamp, full brightness
      packet.writeUInt16LE(0, at + 4);  // no label
    }
    packets.push(packet);
  }
  return packets;
}

// The lamps: the right level of each display 1..count, and when the last
// display of a wanted level arrived.
async function lampListener(count) {
  const socket = dgram.createSocket({type: 'udp4', recvBufferSize: 8 << 20});
  await new Promise((resolve) => socket.bind(0, '127.0.0.1', resolve));
  const lamps = {socket, levels: new Int8Array(count + 1).fill(-1), want: -1, missing: count, lastAt: 0};
  lamps.arm = (want) => {
    lamps.want = want;
    lamps.missing = lamps.levels.slice(1).filter((level) => level !== want).length;
    lamps.lastAt = 0;
  };
  socket.on('message', (buffer) => {
    for (let at = 6; at + 6 <= buffer.length;) {
      const index = buffer.readUInt16LE(at);
      const control = buffer.readUInt16LE(at + 2);
      at += 6 + buffer.readUInt16LE(at + 4);
      if ((control & 0x8000) || index < 1 || index > count) continue;
      const level = control & 3;
      if (lamps.levels[index] === level) continue;
      if (lamps.levels[index] === lamps.want) lamps.missing += 1;
      lamps.levels[index] = level;
      if (level === lamps.want && --lamps.missing === 0) lamps.lastAt = Date.now();
    }
  });
  return lamps;
}

const until = async (check, ms, what) => {
  const deadline = Date.now() + ms;
  while (!(await check())) {
    if (Date.now() > deadline) throw new Error(`${what}: not within ${ms} ms`);
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
};

async function runCuts(browser, count, cuts = 10) {
  const lamps = await lampListener(count);
  // Camera K's tally slot 12.(K + 19) is display K; the mixer's display K
  // drives GPI 3.K, camera K's contact.
  const host = await startHost({args: cameraFacility(count, [
    '[tsl_in.mixer]', 'protocol = udp', 'address = 127.0.0.1', 'port = 0', 'gpi = 3', '',
    '[tsl_out.lamps]', 'device = 12', 'protocol = udp', 'address = 127.0.0.1',
    `port = ${lamps.socket.address().port}`, 'offset = -19', 'lamps = right', ''])});
  const mixer = dgram.createSocket('udp4');
  const pages = [];
  const figures = {components: count, cuts: []};
  // The browser's CPU time (ms): its renderers (the pages and the stream's
  // worker), and all its processes. Unlike a task's length, it does not
  // count the time a page waited for a core.
  const processes = await browser.newBrowserCDPSession();
  const cpuMs = async () => {
    const {processInfo} = await processes.send('SystemInfo.getProcessInfo');
    const sum = (list) => Math.round(list.reduce((n, p) => n + p.cpuTime, 0) * 1000);
    return {renderers: sum(processInfo.filter((p) => p.type === 'renderer')), all: sum(processInfo)};
  };
  try {
    await until(() => /tsl mixer: listening on udp 127\.0\.0\.1:(\d+)/.test(host.output()), 20000, 'mixer');
    const mixerPort = Number(/tsl mixer: listening on udp 127\.0\.0\.1:(\d+)/.exec(host.output())[1]);
    lamps.arm(0);  // every component starts by writing its lamp dark
    await until(() => lamps.missing === 0, 120000, 'the start-up lamps');
    for (const where of ['/', '/overview']) {
      const page = await browser.newPage({viewport: {width: 1366, height: 900}});
      await page.addInitScript(watch);
      await page.addInitScript(watchCut);
      const opened = Date.now();
      await page.goto(new URL(where, host.url).href);
      // Looked for from here, one look-up of the browser's own every 100 ms:
      // the driver's waiting searched the page (some 470,000 nodes at
      // 10,000 cameras) in script, in tasks that counted as the page's.
      const there = (name) => document.documentElement.dataset.link === 'live' &&
        document.querySelector(`[data-component="${name}"]`) !== null;
      for (const deadline = Date.now() + 120000; !await page.evaluate(there, `cam${count}`);) {
        if (Date.now() > deadline) throw new Error(`${where}: cam${count} not there within 120 s`);
        await new Promise((resolve) => setTimeout(resolve, 100));
      }
      figures[`load ${where}`] = Date.now() - opened;
      // The longest main-thread task from opening the page until every card or tile is there.
      figures[`load ${where} longest task`] = Math.round(Math.max(0, ...await page.evaluate(() => window.benchLongTasks)));
      pages.push([where, page]);
    }
    if (tablesInView) {
      const main = pages[0][1];
      await main.locator('#gpi-title').evaluate((title) => title.scrollIntoView({block: 'start'}));
      await until(() => main.evaluate((n) => document.querySelectorAll('#gpi-table [data-gpi-row]').length === n, count),
                  120000, 'the GPI rows');
    }
    for (let i = 0; i < cuts; i += 1) {
      const level = i % 2 === 0 ? 1 : 0;
      for (const [, page] of pages) await page.evaluate(([want, total]) => window.benchArm(want, total), [String(level), count]);
      lamps.arm(level);
      const cpuBefore = await cpuMs();
      const sent = Date.now();
      for (const packet of mixerPackets(count, level)) {
        await new Promise((resolve) => mixer.send(packet, mixerPort, '127.0.0.1', resolve));
      }
      await until(() => lamps.missing === 0, 30000, `cut ${i}: the lamps`);
      const cut = {level, 'last lamp ms': lamps.lastAt - sent};
      // How long after the last lamp a page's watch (a time, 0 until then)
      // says it is done; a page that takes longer than 30 s is noted, not waited for.
      const afterLastLamp = async (page, doneAt, figure) => {
        const done = await until(() => page.evaluate(doneAt).then((at) => at !== 0), 30000, '').then(() => true, () => false);
        const late = `${figure.replace(/ after last lamp ms$/, '')} not within 30 s`;
        if (!done) figures[late] = (figures[late] || 0) + 1;
        cut[figure] = done ? await page.evaluate(doneAt) - lamps.lastAt : 30000;
      };
      for (const [where, page] of pages) {
        await afterLastLamp(page, () => window.benchCut.seenAt, `${where} on screen after last lamp ms`);
        const [tasks, link] = await page.evaluate(() => [window.benchLongTasks, document.documentElement.dataset.link]);
        cut[`${where} longest task ms`] = Math.round(Math.max(0, ...tasks));
        cut[`${where} link`] = link;
        // Every other cut, as soon as the screen is right, the end of the
        // list is scrolled to: its lamps may not be drawn yet.
        if (i % 2 === 1 && !(tablesInView && where === '/')) {
          cut[`${where} scrolled to the end ms`] = await page.evaluate((name) => window.benchEnd(name), `cam${count}`);
        }
      }
      if (tablesInView) await afterLastLamp(pages[0][1], () => window.benchCut.rows.doneAt, '/ rows after last lamp ms');
      for (const [where, page] of pages) await afterLastLamp(page, () => window.benchCut.doneAt, `${where} all lamps after last lamp ms`);
      // From the cut until both pages show every lamp (every other cut, after a scroll to the end; the scroll back comes after).
      const cpuAfter = await cpuMs();
      cut['renderers CPU ms'] = cpuAfter.renderers - cpuBefore.renderers;
      cut['browser CPU ms'] = cpuAfter.all - cpuBefore.all;
      if (i % 2 === 1) for (const [where, page] of pages) if (!(tablesInView && where === '/')) await page.evaluate(() => scrollTo(0, 0));
      figures.cuts.push(cut);
      if (eachCut) console.log(JSON.stringify({cut: i, ...cut}));
      await new Promise((resolve) => setTimeout(resolve, 300));
    }
    for (const key of Object.keys(figures.cuts[1]).filter((name) => name.endsWith('ms'))) {
      const values = figures.cuts.map((cut) => cut[key]).filter((value) => value !== undefined);
      figures[`${key} p50`] = percentile(values, 50);
      figures[`${key} max`] = Math.max(...values);
    }
    figures.stayedLive = figures.cuts.every((cut) => pages.every(([where]) => cut[`${where} link`] === 'live'));
  } finally {
    for (const [, page] of pages) await page.close();
    await processes.detach();
    mixer.close();
    lamps.socket.close();
    await host.stop();
  }
  delete figures.cuts;
  return figures;
}

async function runJoins(browser, count, joins = 5) {
  const host = await startHost({args: cameraFacility(count)});
  const context = await browser.newContext({viewport: {width: 1366, height: 900}});
  const figures = {components: count, joins: []};
  try {
    await new Promise((resolve) => setTimeout(resolve, 1500));
    const main = await context.newPage();
    await main.addInitScript(watch);
    await main.addInitScript(countSnapshots);
    await main.goto(host.url.href);
    await main.locator('#link[data-link="live"]').waitFor({timeout: 120000});
    await main.locator(`[data-component="cam${count}"]`).waitFor({state: 'attached', timeout: 120000});
    // The cards come a slice a frame: the main page is quiet before a view joins.
    await new Promise((resolve) => setTimeout(resolve, 3000));
    for (let i = 0; i < joins; i += 1) {
      await main.evaluate(() => { window.benchLongTasks = []; window.veskSnapshots = 0; });
      const opened = Date.now();
      const tally = await context.newPage();
      await tally.goto(new URL('/tally/cam1', host.url).href);
      await tally.locator('html[data-link="live"]').waitFor({timeout: 120000});
      const live = Date.now() - opened;
      await new Promise((resolve) => setTimeout(resolve, 1000));
      await tally.close({runBeforeUnload: true});
      // The stream opened again for the host's list of viewers, and what it brings.
      await new Promise((resolve) => setTimeout(resolve, 3000));
      const [tasks, hellos] = await main.evaluate(() => [window.benchLongTasks, window.veskSnapshots]);
      figures.joins.push({'tally live ms': live, 'main longest task ms': Math.round(Math.max(0, ...tasks)),
                          'main in long tasks ms': Math.round(tasks.reduce((sum, task) => sum + task, 0)),
                          'main snapshots': hellos});
      if (eachCut) console.log(JSON.stringify({join: i, ...figures.joins.at(-1)}));
    }
    for (const key of Object.keys(figures.joins[0])) {
      const values = figures.joins.map((join) => join[key]);
      figures[`${key} p50`] = percentile(values, 50);
      figures[`${key} max`] = Math.max(...values);
    }
  } finally {
    await context.close();
    await host.stop();
  }
  delete figures.joins;
  return figures;
}

const browser = await chromium.launch(chromiumOptions);
try {
  for (const count of sizes.length ? sizes : cutMode || joinMode ? [10000] : [200, 1000]) {
    const figures = joinMode ? await runJoins(browser, count)
      : cutMode ? await runCuts(browser, count, cutsArg ? Number(cutsArg.slice(7)) : 10) : await run(browser, count);
    console.log(JSON.stringify(figures));
  }
} finally {
  await browser.close();
  agent.destroy();
}
