// The access rules of the live page's server, request by request.
import assert from 'node:assert/strict';
import http from 'node:http';
import net from 'node:net';
import {after, before, describe, test} from 'node:test';

import {call, startHost} from './serve.mjs';

const json = (value) => ({'Content-Type': 'application/json', ...value});
const gpi = (state) => JSON.stringify({device: 3, input: 7, state});
const big = JSON.stringify({device: 20, slot: 4, text: 'x'.repeat(17000)});

// The parts of the snapshot that a refused request must leave alone.
async function drivers(host) {
  const {json: state} = await call(host, 'GET', '/api/state', {headers: {Host: host.url.host}});
  return JSON.stringify({gpi: state.gpi, info: state.info, components: state.components});
}

describe('a loopback server without a token', () => {
  let host;
  before(async () => { host = await startHost(); });
  after(async () => { await host.stop(); });

  test('refuses what it must, changing nothing', async () => {
    const own = host.url.host;
    const otherPort = `127.0.0.1:${Number(host.url.port) + 1}`;
    const rows = [
      // [what, method, path, headers, body, status]
      ['DNS name in Host', 'GET', '/api/state', {Host: `evil.example:${host.url.port}`}, undefined, 403],
      ['other port in Host', 'GET', '/', {Host: otherPort}, undefined, 403],
      ['foreign Origin', 'POST', '/api/gpi', json({Host: own, Origin: 'http://evil.example'}), gpi(1), 403],
      ['opaque Origin', 'POST', '/api/gpi', json({Host: own, Origin: 'null'}), gpi(1), 403],
      ['foreign Origin on the event stream', 'GET', '/api/events', {Host: own, Origin: 'http://evil.example'},
       undefined, 403],
      ['IP literal not this server', 'GET', '/api/state', {Host: `10.1.2.3:${host.url.port}`}, undefined, 403],
      ['negative GPI state', 'POST', '/api/gpi', json({Host: own}), gpi(-1), 400],
      ['body over 16 KiB', 'POST', '/api/info', json({Host: own, 'Content-Length': big.length}), big, 413],
      ['chunked body over 16 KiB', 'POST', '/api/info', json({Host: own, 'Transfer-Encoding': 'chunked'}), big, 413],
      ['malformed JSON', 'POST', '/api/gpi', json({Host: own}), '{"device": 3,', 400],
      ['not an object', 'POST', '/api/gpi', json({Host: own}), '[3, 7, 1]', 400],
      ['state not 0 or 1', 'POST', '/api/gpi', json({Host: own}), gpi(2), 400],
      ['number over 32 bits', 'POST', '/api/gpi', json({Host: own}), '{"device":2147483648,"input":7,"state":1}', 400],
      ['number under 32 bits', 'POST', '/api/info', json({Host: own}), '{"device":-2147483649,"slot":4,"text":"x"}', 400],
      ['fraction', 'POST', '/api/gpi', json({Host: own}), '{"device":3,"input":7.5,"state":1}', 400],
      ['missing field', 'POST', '/api/info', json({Host: own}), '{"device":20,"slot":4}', 400],
      ['unknown field', 'POST', '/api/param', json({Host: own}), '{"component":"cam1","key":"a=1","x":1}', 400],
      ['unknown component', 'POST', '/api/param', json({Host: own}), '{"component":"nobody","key":"tally_val=1"}', 404],
      ['unknown component (event)', 'POST', '/api/event', json({Host: own}),
       '{"component":"nobody","control":"AlarmTest","key":"click=1"}', 404],
      ['record switch not a boolean', 'POST', '/api/record', json({Host: own}), '{"on":1}', 400],
      ['unknown endpoint', 'POST', '/api/nothing', json({Host: own}), '{}', 404],
      // A NUL would cut the text a plug-in gets; a recording of it would not replay.
      ['NUL in an info text', 'POST', '/api/info', json({Host: own}), '{"device":20,"slot":4,"text":"CAM\\u00002"}', 400],
      ['NUL in a parameter', 'POST', '/api/param', json({Host: own}),
       '{"component":"cam1","key":"monitoring=a\\u0000b"}', 400],
      ['NUL in an event key', 'POST', '/api/event', json({Host: own}),
       '{"component":"cam1","control":"AlarmTest","key":"click=1\\u0000"}', 400],
    ];
    const before = await drivers(host);
    for (const [what, method, path, headers, body, status] of rows) {
      const answer = await call(host, method, path, {headers, body});
      assert.equal(answer.status, status, `${what}: ${answer.text}`);
      assert.equal(typeof answer.json?.error, 'string', `${what}: a JSON error, got ${answer.text}`);
    }
    assert.equal(await drivers(host), before, 'a refused request changed the facility');
  });

  test('refuses a repeated Host and codings it does not read, changing nothing', async () => {
    const own = host.url.host;
    const body = gpi(1);
    const chunked = `${body.length.toString(16)}\r\n${body}\r\n0\r\n\r\n`;
    const rows = [
      // [what, header lines after the request line, body, status]
      ['two Host fields', [`Host: ${own}`, `Host: ${own}`, `Content-Length: ${body.length}`], body, 400],
      ['gzip before chunked', [`Host: ${own}`, 'Transfer-Encoding: gzip, chunked'], chunked, 501],
      ['gzip and chunked in two fields', [`Host: ${own}`, 'Transfer-Encoding: gzip', 'Transfer-Encoding: chunked'],
       chunked, 501],
      ['gzip content', [`Host: ${own}`, 'Content-Encoding: gzip', `Content-Length: ${body.length}`], body, 415],
      ['plain chunked', [`Host: ${own}`, 'Transfer-Encoding: chunked'], chunked, 200],
      ['identity content', [`Host: ${own}`, 'Content-Encoding: identity', `Content-Length: ${body.length}`], body, 200],
    ];
    const before = await drivers(host);
    for (const [what, lines, sent, status] of rows) {
      if (status === 200) continue;
      const answer = await raw(host, `POST /api/gpi HTTP/1.1\r\n${lines.join('\r\n')}\r\n` +
                                     `Content-Type: application/json\r\n\r\n${sent}`);
      assert.equal(answer.status, status, `${what}: ${answer.text}`);
      assert.equal(typeof answer.json?.error, 'string', `${what}: a JSON error, got ${answer.text}`);
    }
    assert.equal(await drivers(host), before, 'a refused request changed the facility');
    for (const [what, lines, sent, status] of rows.filter((row) => row[3] === 200)) {
      const answer = await raw(host, `POST /api/gpi HTTP/1.1\r\n${lines.join('\r\n')}\r\n` +
                                     `Content-Type: application/json\r\nConnection: close\r\n\r\n${sent}`);
      assert.equal(answer.status, status, `${what}: ${answer.text}`);
    }
  });

  test('accepts its own origin, localhost names and programs without Origin', async () => {
    const port = host.url.port;
    for (const [headers, body] of [
      [json({Host: `localhost:${port}`, Origin: `http://localhost:${port}`}), gpi(1)],
      [json({Host: `127.0.0.1:${port}`}), gpi(0)],
    ]) {
      const answer = await call(host, 'POST', '/api/gpi', {headers, body});
      assert.equal(answer.status, 200, answer.text);
    }
    const page = await call(host, 'GET', '/', {headers: {Host: `[::1]:${port}`}});
    assert.equal(page.status, 200);
    assert.match(page.headers['content-type'], /text\/html/);
  });

  test('an event reaches an open stream within 100 ms', async () => {
    const stream = await openStream(host);
    try {
      const delays = [];
      for (let i = 0; i < 10; ++i) {
        const sent = performance.now();
        const arrived = stream.next((e) => e.type === 'batch' && (e.gpi || []).some((g) => g[2] === i % 2));
        await call(host, 'POST', '/api/gpi', {headers: json({Host: host.url.host}), body: gpi(i % 2)});
        await arrived;
        delays.push(performance.now() - sent);
      }
      delays.sort((a, b) => a - b);
      assert.ok(delays[5] < 100, `median delay ${delays[5].toFixed(1)} ms`);
    } finally {
      stream.close();
    }
  });
});

describe('a token', () => {
  test('is needed by every request once given', async () => {
    const host = await startHost({token: 'rehearsal-7'});
    try {
      const own = host.url.host;
      const rows = [
        // [what, path, headers, status]
        ['no token', '/api/state', {Host: own}, 401],
        ['no token for the page', '/', {Host: own}, 401],
        ['wrong token', '/api/state', {Host: own, Authorization: 'Bearer rehearsal-8'}, 401],
        ['token as a prefix', '/api/state', {Host: own, Authorization: 'Bearer rehearsal-'}, 401],
        ['wrong query token', '/api/events?token=x', {Host: own}, 401],
        ['bearer token', '/api/state', {Host: own, Authorization: 'Bearer rehearsal-7'}, 200],
        ['scheme in lower case', '/api/state', {Host: own, Authorization: 'bearer rehearsal-7'}, 200],
        ['query token', '/style.css?token=rehearsal-7', {Host: own}, 200],
        ['token but a DNS name', '/api/state', {Host: `evil.example:${host.url.port}`,
                                                Authorization: 'Bearer rehearsal-7'}, 403],
      ];
      for (const [what, path, headers, status] of rows) {
        assert.equal((await call(host, 'GET', path, {headers})).status, status, what);
      }
      // The page fetches its own files with the token.
      const page = await call(host, 'GET', '/?token=rehearsal-7', {headers: {Host: own}});
      assert.match(page.text, /src="app\.js\?token=rehearsal-7"/);
    } finally {
      await host.stop();
    }
  });

  test('is generated for an address beyond loopback', async () => {
    const host = await startHost({address: '0.0.0.0:0'});
    try {
      const token = host.url.searchParams.get('token');
      assert.match(token ?? '', /^[0-9a-f]{32}$/, host.output());
      const port = host.url.port;
      assert.equal((await call(host, 'GET', '/api/state', {headers: {Host: `127.0.0.1:${port}`}})).status, 401);
      const withToken = (name) => ({Host: `${name}:${port}`, Authorization: `Bearer ${token}`});
      for (const [name, status] of [['127.0.0.1', 200], ['10.1.2.3', 200], ['evil.example', 403]]) {
        assert.equal((await call(host, 'GET', '/api/state', {headers: withToken(name)})).status, status, name);
      }
    } finally {
      await host.stop();
    }
  });
});

// Sends `text` as it is and reads the answer until the server closes (every
// refusal closes the connection; so does "Connection: close").
function raw(host, text) {
  return new Promise((resolve, reject) => {
    let got = '';
    const socket = net.connect(Number(host.url.port), host.url.hostname, () => socket.end(text));
    socket.setEncoding('utf8');
    socket.setTimeout(5000, () => socket.destroy(new Error(`no answer to ${text.split('\r\n')[0]}`)));
    socket.on('data', (chunk) => { got += chunk; });
    let failed = null;
    socket.on('error', (error) => { failed = error; });
    socket.on('close', () => {
      if (!got && failed) return reject(failed);
      const body = got.slice(got.indexOf('\r\n\r\n') + 4);
      let json = null;
      try { json = JSON.parse(body); } catch { /* not JSON */ }
      return resolve({status: Number(got.slice(9, 12)), text: got, json});
    });
  });
}

// A server-sent event stream; next(match) resolves with the first matching event.
function openStream(host) {
  return new Promise((resolve, reject) => {
    const waiting = [];
    let buffer = '';
    const request = http.get({host: host.url.hostname, port: host.url.port, path: '/api/events',
                              headers: {Host: host.url.host}, agent: false}, (response) => {
      response.setEncoding('utf8');
      response.on('data', (chunk) => {
        buffer += chunk;
        let end;
        while ((end = buffer.indexOf('\n\n')) >= 0) {
          const frame = buffer.slice(0, end);
          buffer = buffer.slice(end + 2);
          const data = frame.split('\n').find((line) => line.startsWith('data: '));
          if (!data) continue;
          const event = JSON.parse(data.slice(6));
          for (const wait of waiting.splice(0)) {
            if (wait.match(event)) wait.resolve(event);
            else waiting.push(wait);
          }
        }
      });
      resolve({
        next: (match) => new Promise((done) => waiting.push({match, resolve: done})),
        close: () => request.destroy(),
      });
    });
    request.on('error', reject);
  });
}
