// How the server holds against slow, idle, flooding and departing clients,
// and what it refuses before the scenario runs. Every client is local and
// each test is bounded in connections and time.
import assert from 'node:assert/strict';
import http from 'node:http';
import net from 'node:net';
import {test} from 'node:test';
import {setTimeout as sleep} from 'node:timers/promises';

import {call, emulated, facilityArgs, residentKiB, runHost, startHost} from './serve.mjs';

const sanitized = process.env.VESK_SANITIZED === '1' && 'resident memory means nothing under sanitizers';
// Under an emulator the child is not the host process whose memory counts.
const unmeasured = sanitized || (emulated && 'the host runs under an emulator, not as the child');
// Each test ends within this, whatever the server does.
const bounded = {timeout: 60000};

function connect(host) {
  return new Promise((resolve) => {
    const socket = net.connect(Number(host.url.port), host.url.hostname, () => resolve(socket));
    socket.on('error', () => {});
  });
}

test('a busy port or a bad --serve or --token ends the run before the scenario', bounded, async () => {
  const host = await startHost();
  try {
    const rows = [
      // [arguments, message on stderr]
      [['--serve', host.url.host], /cannot listen on 127\.0\.0\.1:\d+/],
      [['--serve', '0', '--token', ''], /--token: the token is empty/],
      [['--serve', '0', '--token', 'a/b'], /--token: the token may hold only/],
      [['--serve', '127.0.0.1:65536'], /not a port number/],
    ];
    for (const [args, message] of rows) {
      const run = runHost([...args, ...facilityArgs()]);
      assert.equal(run.status, 2, `${args.join(' ')}: ${run.stderr}`);
      assert.match(run.stderr, message);
      assert.equal(run.stdout, '', `${args.join(' ')}: the scenario ran`);
    }
  } finally {
    await host.stop();
  }
});

test('64 slow or idle clients neither delay a request nor hold up the shutdown', bounded, async () => {
  const host = await startHost();
  const clients = await Promise.all(Array.from({length: 64}, () => connect(host)));
  // Half trickle a header a byte at a time, half send nothing.
  const slow = clients.slice(0, 32);
  for (const socket of slow) socket.write(`GET / HTTP/1.1\r\nHost: ${host.url.host}\r\nX-Slow: `);
  const trickle = setInterval(() => { for (const socket of slow) socket.write('a'); }, 100);
  try {
    await sleep(300);
    const asked = performance.now();
    const answer = await Promise.race([call(host, 'GET', '/api/state', {headers: {Host: host.url.host}}),
                                       sleep(5000).then(() => ({status: 'no answer'}))]);
    const waited = performance.now() - asked;
    assert.equal(answer.status, 200);
    assert.ok(waited < 1000, `answered after ${waited.toFixed(0)} ms`);

    const stopping = performance.now();
    const {code} = await Promise.race([host.stop(), sleep(5000).then(() => ({code: 'still running'}))]);
    const stopped = performance.now() - stopping;
    assert.equal(code, 0, host.output());
    assert.ok(stopped < 2000, `stopped after ${stopped.toFixed(0)} ms`);
    assert.match(host.output(), /live page stopped[\s\S]*expectations held/);
  } finally {
    clearInterval(trickle);
    for (const socket of clients) socket.destroy();
    await host.stop();
  }
});

test('a header flood is cut off and leaves memory bounded', {...bounded, skip: unmeasured}, async () => {
  const host = await startHost();
  try {
    const before = residentKiB(host.pid);
    const line = `X-Flood: ${'a'.repeat(4000)}\r\n`;
    for (let round = 0; round < 4; ++round) {
      const socket = await connect(host);
      let sent = 0;
      const ended = new Promise((resolve) => socket.on('close', resolve));
      socket.write(`GET / HTTP/1.1\r\nHost: ${host.url.host}\r\n`);
      // At most 64 MiB each: far more than any header may hold.
      const flood = () => {
        while (!socket.destroyed && sent < 64 << 20) {
          sent += line.length;
          if (!socket.write(line)) return socket.once('drain', flood);
        }
        return undefined;
      };
      flood();
      const cut = await Promise.race([ended.then(() => true), sleep(5000).then(() => false)]);
      socket.destroy();
      assert.ok(cut && sent < 64 << 20, `connection ${round} not cut off after ${sent} bytes`);
    }
    const grown = residentKiB(host.pid) - before;
    assert.ok(grown < 8 * 1024, `resident memory grew by ${grown} kB`);
    assert.equal((await call(host, 'GET', '/api/state', {headers: {Host: host.url.host}})).status, 200);
  } finally {
    await host.stop();
  }
});

test('event streams: a heartbeat every second, places freed as soon as a client goes', bounded, async () => {
  const host = await startHost();
  const own = {Host: host.url.host};
  const open = () => new Promise((resolve, reject) => {
    const request = http.get({host: host.url.hostname, port: host.url.port, path: '/api/events', headers: own,
                              agent: false}, (response) => resolve({request, response}));
    request.on('error', reject);
  });
  try {
    const {request, response} = await open();
    let text = '';
    response.setEncoding('utf8');
    response.on('data', (chunk) => { text += chunk; });
    await sleep(2200);
    request.destroy();
    const events = text.split('\n\n').filter((frame) => frame.includes('data: '))
      .map((frame) => JSON.parse(frame.slice(frame.indexOf('data: ') + 6)));
    assert.equal(events[0].type, 'hello');
    const beats = events.filter((event) => event.type === 'heartbeat');
    assert.ok(beats.length >= 2 && beats.every((beat) => Number.isInteger(beat.time_ms)), text.slice(-300));

    // All 16 places, twice in a row: the first 16 are freed when their clients go.
    for (let round = 0; round < 2; ++round) {
      const streams = await Promise.all(Array.from({length: 16}, open));
      assert.deepEqual(streams.map((s) => s.response.statusCode), Array(16).fill(200), `round ${round}`);
      if (round === 0) assert.equal((await call(host, 'GET', '/api/events', {headers: own})).status, 503);
      for (const stream of streams) stream.request.destroy();
      await sleep(100);
    }
  } finally {
    await host.stop();
  }
});

test('inputs and slots that nothing registered are bounded when forced', bounded, async () => {
  const host = await startHost({args: ['--quiet', ...facilityArgs()]});
  const post = (path, body) => call(host, 'POST', path, {headers: {Host: host.url.host,
    'Content-Type': 'application/json'}, body: JSON.stringify(body)});
  try {
    for (const [path, body] of [['/api/gpi', (n) => ({device: 900, input: n, state: 1})],
                                ['/api/info', (n) => ({device: 900, slot: n, text: 'x'})]]) {
      for (let n = 1; n <= 256; ++n) assert.equal((await post(path, body(n))).status, 200, `${path} ${n}`);
      const over = await post(path, body(257));
      assert.equal(over.status, 409, over.text);
      assert.match(over.json.error, /256/);
      assert.equal((await post(path, body(1))).status, 200, `${path}: one already forced`);
    }
  } finally {
    await host.stop();
  }
});

test('a stream that falls behind is told so before it ends', bounded, async () => {
  const host = await startHost({args: ['--quiet', ...facilityArgs()]});
  try {
    const response = await new Promise((resolve, reject) => {
      http.get({host: host.url.hostname, port: host.url.port, path: '/api/events', headers: {Host: host.url.host},
                agent: false}, resolve).on('error', reject);
    });
    response.pause();
    const text = 'x'.repeat(16000);
    for (let i = 0; i < 2000 && !/dropped 1 event stream/.test(host.output()); ++i) {
      await call(host, 'POST', '/api/info', {headers: {Host: host.url.host, 'Content-Type': 'application/json'},
                                             body: JSON.stringify({device: 900, slot: 1, text: `${i}${text}`})});
    }
    assert.match(host.output(), /dropped 1 event stream/);
    let tail = '';
    response.setEncoding('utf8');
    response.on('data', (chunk) => { tail = (tail + chunk).slice(-200); });
    response.resume();
    await new Promise((resolve) => response.on('end', resolve));
    assert.match(tail, /data: {"type":"dropped","reason":"fell behind"}\n\n$/);
  } finally {
    await host.stop();
  }
});
