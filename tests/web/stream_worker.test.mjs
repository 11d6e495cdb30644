// The page's shared stream (stream-worker.js), run in a context of its own
// with streams and views played by the test: which view gets which
// message while the worker changes streams.
import {test} from 'node:test';
import assert from 'node:assert/strict';
import {readFileSync} from 'node:fs';
import vm from 'node:vm';

const source = readFileSync(new URL('../../host/src/front/web/page/stream-worker.js', import.meta.url), 'utf8');

const hello = (id, name) => `retry: 1000\nid: ${id}\ndata: {"type":"hello","state":"${name}"}\n\n`;
const message = (id) => `id: ${id}\ndata: {"n":${id}}\n\n`;
const dropped = 'data: {"type":"dropped","reason":"fell behind"}\n\n';

// What a view was handed, in short: "hello a", a message's number, "lost";
// "heard" for word that the host is there, while it waits for a snapshot.
function shortly(text) {
  const out = [];
  for (const block of text.split('\n\n').filter(Boolean)) {
    const data = JSON.parse(block.slice(block.indexOf('data: ') + 6));
    out.push(data.type === 'hello' ? `hello ${data.state}` : data.type || data.n);
  }
  return out;
}

// The worker with its streams and views. `streams[i]` is the i-th stream it
// opened: send(text), end(), and whether it was aborted.
function worker({heldMaxChars} = {}) {
  const streams = [];
  const context = {
    TextDecoder, AbortController, Promise, console,
    fetch(address, {signal}) {
      let controller;
      const body = new ReadableStream({start(c) { controller = c; }});
      const stream = {
        address, aborted: false, refused: null,
        send(text) {
          try { controller.enqueue(new TextEncoder().encode(text)); } catch {}  // given up
        },
        end() {
          try { controller.close(); } catch {}
        },
      };
      signal.addEventListener('abort', () => {
        stream.aborted = true;
        try { controller.error(new Error('aborted')); } catch {}
      });
      streams.push(stream);
      return new Promise((resolve) => {
        stream.answer = resolve;
        stream.refuse = (error) => resolve({ok: false, status: 503, json: async () => ({error})});
        stream.accept = () => resolve({ok: true, status: 200, body});
      });
    },
  };
  context.self = context;
  if (heldMaxChars) context.veskHeldMaxChars = heldMaxChars;
  vm.createContext(context);
  vm.runInContext(source, context);
  const views = {};
  return {
    streams,
    views,
    join(name, view) {
      const got = [];
      const port = {
        postMessage(data) {
          if (data.heard) {
            if (got.at(-1) !== 'heard') got.push('heard');  // the host is there: once in a row
          } else {
            got.push(...(data.lost ? ['lost'] : shortly(data.text)));
          }
        },
        start() {},
      };
      context.onconnect({ports: [port]});
      views[name] = {port, got};
      port.onmessage({data: {open: '/api/events', view}});
    },
    ask(name) { views[name].port.onmessage({data: {open: '/api/events', view: ''}}); },
    leave(name) { views[name].port.onmessage({data: {bye: true}}); },
  };
}

const settle = async () => {
  for (let i = 0; i < 5; i += 1) await new Promise((resolve) => setImmediate(resolve));
};

// Each case: steps on a worker whose view "main" reads stream 0, which
// brought the snapshot "a" (message 5) and messages 6 and 7; then what each
// view was handed after those, and which streams the worker gave up.
const cases = [
  {
    name: 'a view that joins takes the new snapshot; the view reading goes on from the old stream and then the new, without a snapshot',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[0].send(message(8)),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(8, 'b') + message(9)),
      (w) => w.streams[1].send(message(10)),
    ],
    main: [8, 9, 10], tally: ['heard', 'hello b', 9, 10], aborted: [0],
    address: '/api/events?view=%2F&view=%2Ftally%2Fcam1',
  },
  {
    name: 'the old stream behind the new snapshot: the new stream\'s messages wait for it',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(8, 'b') + message(9) + message(10)),
      (w) => w.streams[0].send(message(8)),
      (w) => w.streams[1].send(message(11)),
    ],
    main: [8, 9, 10, 11], tally: ['hello b', 9, 10, 11], aborted: [0],
  },
  {
    name: 'the old stream ahead of the new: the new stream\'s repeats are left out',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[0].send(message(8) + message(9) + message(10)),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(8, 'b') + message(9)),
      (w) => w.streams[1].send(message(10) + message(11)),
      (w) => w.streams[1].send(message(12)),
    ],
    main: [8, 9, 10, 11, 12], tally: ['heard', 'hello b', 9, 10, 11, 12], aborted: [0],
  },
  {
    name: 'the old stream ends before it caught up: its views take the new snapshot',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(9, 'b') + message(10)),
      (w) => w.streams[0].send(message(8)),
      (w) => w.streams[0].end(),
    ],
    main: [8, 'hello b', 10], tally: ['hello b', 10], aborted: [0],
  },
  {
    name: 'the old stream dropped before the new snapshot came: its views wait for it, not told the link is lost',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[0].send(dropped),
      (w) => w.streams[0].end(),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(9, 'b')),
    ],
    main: ['dropped', 'hello b'], tally: ['heard', 'hello b'], aborted: [0],
  },
  // The bound on what the new stream brings while the old one catches up:
  // the same steps, at the bound and one character under it.
  ...[69, 68].map((heldMaxChars) => ({
    name: `the new stream ${heldMaxChars === 69 ? 'as far ahead as allowed: the old stream\'s views wait for theirs' : 'one character too far ahead: the old stream\'s views take its snapshot'}`,
    heldMaxChars,  // messages 10 to 12 are 69 characters
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(9, 'b') + message(10) + message(11)),
      (w) => w.streams[1].send(message(12)),
      (w) => w.streams[0].send(message(8) + message(9)),
    ],
    main: heldMaxChars === 69 ? [8, 9, 10, 11, 12] : ['hello b', 10, 11, 12],
    tally: ['hello b', 10, 11, 12], aborted: [0],
  })),
  {
    name: 'a view that leaves: the others go on without a snapshot, from a stream that leaves it out',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(7, 'b') + message(8)),
      (w) => w.leave('tally'),
      (w) => w.streams[2].accept(),
      (w) => w.streams[1].send(message(9)),
      (w) => w.streams[2].send(hello(9, 'c') + message(10)),
    ],
    main: [8, 9, 10], tally: ['hello b', 8], aborted: [0, 1],
    address: '/api/events?view=%2F',
  },
  {
    name: 'a snapshot without a number: the views on the old stream take it, as the two streams cannot be joined',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[0].send(message(8)),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(8, 'b').replace('id: 8\n', '') + message(9)),
    ],
    main: [8, 'hello b', 9], tally: ['heard', 'hello b', 9], aborted: [0],
  },
  {
    name: 'a view that leaves before the new snapshot came: the stream is opened again once it has, leaving it out',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.leave('tally'),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(8, 'b') + message(9)),
      (w) => w.streams[0].send(message(8)),
      (w) => assert.equal(w.streams.length, 3, 'opened again'),
    ],
    main: [8, 9], tally: [], aborted: [0],
    address: '/api/events?view=%2F',
  },
  {
    name: 'the new stream refused: the view that asked is told, the others read on',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[1].refuse('too many open event streams'),
      (w) => w.streams[0].send(message(8)),
    ],
    main: [8], tally: ['lost', 'heard'], aborted: [],
  },
  {
    name: 'a view that asks while the streams change: its stream opens once the views on the old one have gone over, and they take no snapshot',
    steps: [
      (w) => w.join('tally', '/tally/cam1'),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(9, 'b') + message(10)),
      (w) => w.join('phone', '/tally/cam2'),
      (w) => assert.equal(w.streams.length, 2, 'a third stream at once'),
      (w) => w.streams[0].send(message(8) + message(9)),
      (w) => w.streams[2].accept(),
      (w) => w.streams[2].send(hello(10, 'c') + message(11)),
      (w) => w.streams[1].send(message(11)),
    ],
    main: [8, 9, 10, 11], tally: ['hello b', 10, 11], aborted: [0, 1],
    others: {phone: ['heard', 'hello c', 11]},
    address: '/api/events?view=%2F&view=%2Ftally%2Fcam1&view=%2Ftally%2Fcam2',
  },
  {
    name: 'a reading view that asks again (it saw a change it could not apply) takes a snapshot and nothing from before it',
    steps: [
      (w) => w.ask('main'),
      (w) => w.streams[0].send(message(8)),
      (w) => w.streams[1].accept(),
      (w) => w.streams[1].send(hello(8, 'b') + message(9)),
    ],
    main: ['hello b', 9], tally: null, aborted: [0],
  },
];

for (const c of cases) {
  test(c.name, async () => {
    const w = worker({heldMaxChars: c.heldMaxChars});
    w.join('main', '/');
    w.streams[0].accept();
    w.streams[0].send(hello(5, 'a') + message(6));
    w.streams[0].send(message(7));
    await settle();
    assert.deepEqual(w.views.main.got, ['hello a', 6, 7]);
    w.views.main.got.length = 0;
    // One step at a time, each taken in before the next.
    for (const step of c.steps) {
      step(w);
      await settle();
    }
    assert.deepEqual(w.views.main.got, c.main, 'main');
    if (c.tally) assert.deepEqual(w.views.tally.got, c.tally, 'tally');
    for (const [name, got] of Object.entries(c.others || {})) assert.deepEqual(w.views[name].got, got, name);
    assert.deepEqual(w.streams.map((s, i) => (s.aborted ? i : -1)).filter((i) => i >= 0), c.aborted, 'streams given up');
    if (c.address) assert.equal(w.streams.at(-1).address, c.address);
  });
}
