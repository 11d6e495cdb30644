// One event stream for every view of the host open in this browser.
//
// A browser keeps at most six connections per host: the main page, the
// overview and four tally tabs, each with a stream of its own, would hold
// them all, and a click would wait for a free one. The views of one
// browser share this worker instead, which reads one stream and hands
// every view its whole messages. A view that joins late, or that lost the
// link, asks for the stream to be opened again: every view then gets a
// fresh snapshot (the host's first message on a stream), so none mixes an
// older snapshot with newer events.
'use strict';

const ports = new Map();  // port -> the view it serves ("/tally/cam1")
let base = '';            // the stream's address, without the views
let stream = null;  // {cancel, greeted: the first message was handed on}

function tell(message) {
  for (const port of ports.keys()) port.postMessage(message);
}

// The stream's address names the views it serves, for the host's list of viewers.
function address() {
  // (The host lists the first 8, so a browser with many tabs still gets its stream.)
  const views = [...new Set(ports.values())].filter(Boolean);
  const query = views.map((view) => `view=${encodeURIComponent(view)}`).join('&');
  if (!query) return base;
  return `${base}${base.includes('?') ? '&' : '?'}${query}`;
}

function end(own, reason) {
  if (stream !== own) return;
  stream = null;
  tell({lost: reason});
}

async function read(own, body) {
  const reader = body.getReader();
  const decoder = new TextDecoder();
  let rest = '';
  for (;;) {
    const {done, value} = await reader.read();
    if (stream !== own) return;
    if (done) break;
    rest += decoder.decode(value, {stream: true});
    const cut = rest.lastIndexOf('\n\n');
    if (cut < 0) continue;
    own.greeted = true;
    tell({text: rest.slice(0, cut + 2)});
    rest = rest.slice(cut + 2);
  }
  end(own, 'the connection to the host is lost');
}

function open() {
  // A stream whose snapshot has not come yet brings it to every view.
  if (stream && !stream.greeted) return;
  if (stream) stream.cancel.abort();
  const own = {cancel: new AbortController(), greeted: false};
  stream = own;
  fetch(address(), {signal: own.cancel.signal, cache: 'no-store', headers: {Accept: 'text/event-stream'}})
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
  ports.set(port, '');
  port.onmessage = ({data}) => {
    if (data.open) {
      base = data.open;
      ports.set(port, data.view || '');
      open();
    } else if (data.bye) {
      ports.delete(port);
      if (ports.size === 0 && stream) {
        // Nobody left to read it: the host gets its connection back.
        stream.cancel.abort();
        stream = null;
      } else if (stream && stream.greeted) {
        open();  // so that the host's list of viewers leaves this view out
      }
    }
  };
  port.start();
};
