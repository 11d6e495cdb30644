// A shortened soak: 100,000 forced updates (SOAK_UPDATES to change it) while
// one event stream keeps up and another never reads. The host's resident
// memory must stay flat, and the stalled stream must be dropped.
import assert from 'node:assert/strict';
import http from 'node:http';
import {test} from 'node:test';

import {facilityArgs, residentKiB, startHost} from './serve.mjs';

const updates = Number(process.env.SOAK_UPDATES || 100000);
const warmUp = Math.min(10000, updates / 10);
const parallel = 8;

test(`memory stays flat over ${updates} updates`, {skip: process.env.VESK_SANITIZED === '1' &&
    'resident memory means nothing under sanitizers'}, async () => {
  // --quiet: the timeline of 100,000 updates is not the point here.
  const host = await startHost({args: ['--quiet', ...facilityArgs()]});
  const agent = new http.Agent({keepAlive: true, maxSockets: parallel});
  const own = {Host: host.url.host, 'Content-Type': 'application/json'};
  const post = (path, body) => new Promise((resolve, reject) => {
    const text = JSON.stringify(body);
    const request = http.request({host: host.url.hostname, port: host.url.port, method: 'POST', path, agent,
                                  headers: {...own, 'Content-Length': Buffer.byteLength(text)}}, (response) => {
      response.resume();
      response.on('end', () => (response.statusCode === 200 ? resolve()
                                                             : reject(new Error(`${path}: ${response.statusCode}`))));
    });
    request.on('error', reject);
    request.end(text);
  });
  // Camera contacts toggling, and the mixer slot changing text.
  const update = (i) => (i % 4 === 3
    ? post('/api/info', {device: 20, slot: 4, text: `bus ${i % 10}`})
    : post('/api/gpi', {device: 3, input: 7, state: i % 2}));
  const run = async (from, to) => {
    let next = from;
    await Promise.all(Array.from({length: parallel}, async () => {
      while (next < to) await update(next++);
    }));
  };

  // A reader that keeps up, and one that stops reading at once.
  let received = 0;
  const reader = http.get({host: host.url.hostname, port: host.url.port, path: '/api/events', headers: own,
                           agent: false}, (response) => response.on('data', () => { received += 1; }));
  const stalled = http.get({host: host.url.hostname, port: host.url.port, path: '/api/events', headers: own,
                            agent: false}, (response) => response.pause());
  try {
    await run(0, warmUp);
    const before = residentKiB(host.pid);
    const started = performance.now();
    await run(warmUp, updates);
    const seconds = (performance.now() - started) / 1000;
    const grown = residentKiB(host.pid) - before;
    console.log(`${updates - warmUp} updates in ${seconds.toFixed(1)} s; resident memory ${before} kB, ` +
                `grew ${grown} kB; ${received} chunks to the reader`);
    assert.ok(grown < 8 * 1024, `resident memory grew by ${grown} kB`);
    assert.ok(received > 0, 'the reading stream got nothing');
    // The stalled stream is dropped once its queue passes the bound, or its
    // write is not taken within the deadline, said at the next tick: a slower
    // host batches more updates a message, and may need more of them (at most
    // as many again) to get there.
    for (let more = 0; more < updates && !/dropped 1 event stream/.test(host.output()); more += 1000) {
      await run(updates + more, updates + more + 1000);
    }
    assert.match(host.output(), /dropped 1 event stream/);
    // The kept timeline is bounded, and the snapshot says how much it let go.
    const state = await (await fetch(new URL('/api/state', host.url), {headers: own})).json();
    assert.ok(state.timeline.length <= 500 && state.timeline_dropped > 0, `${state.timeline_dropped}`);
  } finally {
    reader.destroy();
    stalled.destroy();
    agent.destroy();
    await host.stop();
  }
});
