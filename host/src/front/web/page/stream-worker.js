// One event stream for every view of the host open in this browser.
//
// A browser keeps at most six connections per host: the main page, the
// overview and four tally tabs, each with a stream of its own, would hold
// them all, and a click would wait for a free one. The views of one
// browser share this worker instead, which reads one stream and hands
// every view its whole messages.
//
// A view that joins late, or that lost the link, asks for a snapshot: the
// worker opens a new stream (its address lists the views, for the host's
// list of viewers) and hands its first message, the snapshot, to the views
// that asked, and to them only. A view that leaves has the stream opened
// again too, so that the list leaves it out. The views that were reading
// go on with the old stream until it has brought them every message the
// new snapshot holds, then with the new stream from the message after the
// last they had: the host numbers its messages alike on every stream
// (`id:`), so none is missed or repeated, and a view of ten thousand
// cameras does not take a snapshot of ten megabytes because another view
// joined. Should the old stream end first, or the new one run too far
// ahead of it, its views take the new snapshot after all.
'use strict';

// What the new stream may bring before the views on the old one have
// caught up with it; past this they take its snapshot instead.
// (The worker's tests set a smaller bound through veskHeldMaxChars.)
const HELD_MAX_CHARS = Number(self.veskHeldMaxChars) || 8 * 1024 * 1024;

const ports = new Map();  // port -> {view: "/tally/cam1", on: the stream it reads, null until a snapshot}
let base = '';            // the stream's address, without the views
// The newest stream: {cancel, greeted: its snapshot came, after: the
// number of the last message it brought, hello: its snapshot's message
// while `old` is still read}.
let stream = null;
let old = null;  // the stream the views that were reading go on with meanwhile
let held = [];   // what `stream` brought after its snapshot while `old` is read: [{id, text}]
let heldChars = 0;
let openAgain = false;  // a view asked while the streams change: a new stream once they have

function tell(on, message) {
  for (const [port, reader] of ports) {
    if (reader.on === on) port.postMessage(message);
  }
}

// The stream's address names the views it serves, for the host's list of viewers.
function address() {
  // (The host lists the first 8, so a browser with many tabs still gets its stream.)
  const views = [...new Set([...ports.values()].map((reader) => reader.view))].filter(Boolean);
  const query = views.map((view) => `view=${encodeURIComponent(view)}`).join('&');
  if (!query) return base;
  return `${base}${base.includes('?') ? '&' : '?'}${query}`;
}

// The number of the message at `at`: its `id:` field, among the short
// fields before its data; null for none (the host's last word on a stream
// it drops has none).
function numberOf(text, at) {
  while (!text.startsWith('data:', at)) {
    const line = text.indexOf('\n', at);
    if (line < 0) return null;
    if (text.startsWith('id:', at)) return Number(text.slice(at + 3, line));
    at = line + 1;
  }
  return null;
}

// Where each whole message of `text` starts, and its number.
function messagesOf(text) {
  const messages = [];
  for (let at = 0; at < text.length;) {
    const end = text.indexOf('\n\n', at);
    messages.push({at, id: numberOf(text, at)});
    if (end < 0) break;
    at = end + 2;
  }
  return messages;
}

function close(own) {
  if (own) own.cancel.abort();
  if (own === old) {
    old = null;
    held = [];
    heldChars = 0;
    if (stream) stream.hello = '';
    if (openAgain) {
      openAgain = false;
      open();
    } else {
      relist();
    }
  }
}

// A view that came or went while a stream was on its way is not in that
// stream's address: the stream is opened again, for the host's list of viewers.
function relist() {
  if (stream && stream.greeted && !old && stream.address !== address()) open();
}

// The views on the old stream go over to the new one: with the messages
// they do not have yet, or, when `fresh`, with its snapshot and all it
// brought since.
function goOver(fresh) {
  const from = fresh ? held : held.filter((message) => message.id !== null && message.id > old.after);
  const text = (fresh ? stream.hello : '') + from.map((message) => message.text).join('');
  if (text) tell(old, {text});
  for (const reader of ports.values()) {
    if (reader.on === old) reader.on = stream;
  }
  close(old);
}

// The views on the old stream go over once it has brought every message
// the new snapshot holds, and the new stream every message they have had.
function catchUp() {
  if (!old || !stream || !stream.greeted) return;
  if (![...ports.values()].some((reader) => reader.on === old)) return close(old);
  // Unnumbered, the two streams cannot be joined.
  if (stream.start === null) return goOver(true);
  if (old.after >= stream.start && stream.after >= old.after) return goOver(false);
  if (heldChars > HELD_MAX_CHARS) goOver(true);
}

function handOn(own, text) {
  const messages = messagesOf(text);
  let first = 0;
  if (own === stream && !own.greeted) {
    // The snapshot: for the views waiting for one, and kept for the views
    // on the old stream in case they need it after all.
    own.greeted = true;
    own.start = messages[0].id;
    own.after = own.start;
    if (old) own.hello = text.slice(0, messages.length > 1 ? messages[1].at : text.length);
    for (const reader of ports.values()) {
      if (reader.on === null) reader.on = own;
    }
    first = 1;
  }
  tell(own, {text});
  if (first && !old) relist();
  // The views waiting for a snapshot hear that the host is there meanwhile.
  tell(null, {heard: true});
  for (let i = first; i < messages.length; i += 1) {
    if (messages[i].id !== null) own.after = messages[i].id;
    if (own === stream && old) {
      const message = {id: messages[i].id, text: text.slice(messages[i].at, i + 1 < messages.length ? messages[i + 1].at : text.length)};
      held.push(message);
      heldChars += message.text.length;
    }
  }
  catchUp();
}

function end(own, reason) {
  if (own === old) {
    // Its views take the new snapshot, or wait for it.
    if (stream.greeted) return goOver(true);
    for (const reader of ports.values()) {
      if (reader.on === old) reader.on = null;
    }
    return close(old);
  }
  if (own !== stream) return;
  // The views that asked for this stream lost it; those on the old one read on.
  for (const [port, reader] of ports) {
    if (reader.on === own || reader.on === null) {
      reader.on = null;
      port.postMessage({lost: reason});
    }
  }
  stream = old;
  old = null;
  held = [];
  heldChars = 0;
  openAgain = false;
}

async function read(own, body) {
  const reader = body.getReader();
  const decoder = new TextDecoder();
  let rest = '';
  for (;;) {
    const {done, value} = await reader.read();
    if (own !== stream && own !== old) return;
    if (done) break;
    // Only the new text is searched for the end of a message, so that a
    // snapshot coming in many chunks is not searched again and again.
    const chunk = decoder.decode(value, {stream: true});
    const tail = rest.slice(-1);
    const cut = (tail + chunk).lastIndexOf('\n\n');
    if (cut < 0) {
      rest += chunk;
      continue;
    }
    const text = rest + chunk;
    const whole = rest.length - tail.length + cut + 2;
    rest = text.slice(whole);
    handOn(own, text.slice(0, whole));
  }
  end(own, 'the connection to the host is lost');
}

function open() {
  // A stream whose snapshot has not come yet brings it to every view that waits.
  if (stream && !stream.greeted) return;
  // One change at a time: the views still on the old stream go over first.
  if (old) {
    openAgain = true;
    return;
  }
  if (stream && [...ports.values()].some((reader) => reader.on === stream)) {
    old = stream;
  } else {
    close(stream);
  }
  const own = {cancel: new AbortController(), greeted: false, start: 0, after: 0, hello: '', address: address()};
  stream = own;
  held = [];
  heldChars = 0;
  fetch(own.address, {signal: own.cancel.signal, cache: 'no-store', headers: {Accept: 'text/event-stream'}})
      .then(async (response) => {
        if (!response.ok || !response.body) {
          const answer = await response.json().catch(() => ({}));
          return end(own, `the host refused this page's event stream: ${answer.error || `HTTP ${response.status}`}`);
        }
        return read(own, response.body);
      })
      .catch(() => end(own, 'the connection to the host is lost'));
}

onconnect = (event) => {
  const [port] = event.ports;
  ports.set(port, {view: '', on: undefined});
  port.onmessage = ({data}) => {
    if (data.open) {
      base = data.open;
      ports.set(port, {view: data.view || '', on: null});
      open();
    } else if (data.bye) {
      ports.delete(port);
      if (ports.size === 0) {
        // Nobody left to read it: the host gets its connections back.
        openAgain = false;
        close(old);
        close(stream);
        stream = null;
      } else if (stream && stream.greeted) {
        open();  // so that the host's list of viewers leaves this view out
      }
    }
  };
  port.start();
};
