// The live facility page: draws the snapshot of GET /api/state, follows
// GET /api/events, and drives the facility through the POST endpoints.
'use strict';

const TIMELINE_MAX = 500;
const token = new URLSearchParams(location.search).get('token');
const withToken = (path) => (token ? `${path}?token=${encodeURIComponent(token)}` : path);

// What the page knows of the facility.
const facility = {
  timeMs: 0,
  timeAt: performance.now(),
  components: [],
  gpi: new Map(),   // "3.7" -> {device, input, state, registered}
  info: new Map(),  // "12.20" -> {device, slot, text, registered}
  warnings: 0,
};

const $ = (id) => document.getElementById(id);

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs)) {
    if (name === 'class') node.className = value;
    else if (name === 'text') node.textContent = value;
    else node.setAttribute(name, value);
  }
  for (const child of children) node.append(child);
  return node;
}

// --- Tally lamps --------------------------------------------------------------

const LAMPS = {
  '0': {colour: 'dark', caption: 'off'},
  '1': {colour: 'red', caption: 'program'},
  '2': {colour: 'green', caption: 'preview'},
  '3': {colour: 'amber', caption: 'tally 3'},
};

function setLamp(lamp, text) {
  const known = LAMPS[text];
  lamp.dataset.lamp = text;
  lamp.dataset.colour = known ? known.colour : 'unknown';
  lamp.querySelector('.lamp-caption').textContent =
      known ? known.caption : `unknown "${text}"`;
  lamp.title = `Tally = "${text}"`;
}

// --- Component cards ------------------------------------------------------------

const cards = new Map();  // name -> {card, lamp, values: Map(lower-case control id -> value cell)}

function tallyControl(component) {
  for (const panel of component.panels || []) {
    for (const control of panel.controls || []) {
      if (control.id.toLowerCase() === 'tally') return control;
    }
  }
  return null;
}

function drawComponents() {
  const box = $('components');
  box.replaceChildren();
  cards.clear();
  if (facility.components.length === 0) {
    box.append(el('p', {class: 'empty', text: 'No components in this facility.'}));
  }
  for (const component of facility.components) {
    const lamp = el('div', {class: 'lamp', 'data-component-lamp': component.name},
                    el('span', {class: 'lamp-caption'}));
    const tally = tallyControl(component);
    if (tally) setLamp(lamp, tally.text);
    else lamp.hidden = true;

    const values = new Map();
    const rows = el('dl', {class: 'controls'});
    for (const panel of component.panels || []) {
      for (const control of panel.controls || []) {
        const value = el('dd', {'data-control': control.id, 'data-panel': panel.id,
                                text: control.text});
        values.set(`${panel.id}/${control.id.toLowerCase()}`, value);
        rows.append(el('dt', {text: control.label || control.id, title: control.id}), value);
      }
    }
    const card = el('article', {class: 'card', 'data-component': component.name},
        el('header', {},
           el('h3', {text: component.name}),
           el('span', {class: 'plugin', text: (component.plugin || '').split(/[\\/]/).pop(),
                       title: component.plugin || ''}),
           component.alive === false ? el('span', {class: 'badge gone', text: 'ended'}) : ''),
        lamp, rows);
    if (component.alive === false) card.classList.add('ended');
    cards.set(component.name, {card, lamp, values});
    box.append(card);
  }
  const select = $('send-component');
  const chosen = select.value;
  select.replaceChildren(...facility.components.map((c) => el('option', {value: c.name, text: c.name})));
  if (facility.components.some((c) => c.name === chosen)) select.value = chosen;
}

function onControl(event) {
  const component = facility.components.find((c) => c.name === event.component);
  const panel = component && (component.panels || []).find((p) => p.id === event.panel);
  const control = panel &&
      (panel.controls || []).find((c) => c.id.toLowerCase() === event.control.toLowerCase());
  if (!control) return resync();  // a control the page has not seen
  control.properties = control.properties || {};
  control.properties[event.property] = event.value;
  if (event.property === 'text') control.text = event.value;
  if (event.property === 'label') control.label = event.value;
  if (event.property !== 'text' && event.property !== 'label') return;
  const drawn = cards.get(component.name);
  const cell = drawn && drawn.values.get(`${panel.id}/${control.id.toLowerCase()}`);
  if (!cell) return;
  if (event.property === 'label') {
    cell.previousElementSibling.textContent = event.value;
    return;
  }
  cell.textContent = event.value;
  flash(cell);
  if (control === tallyControl(component)) setLamp(drawn.lamp, event.value);
}

function flash(node) {
  node.classList.remove('changed');
  void node.offsetWidth;  // restart the animation
  node.classList.add('changed');
}

// --- Drivers --------------------------------------------------------------------

const gpiRows = new Map();
const infoRows = new Map();

function sortedKeys(map) {
  return [...map.keys()].sort((a, b) => {
    const [a1, a2] = a.split('.').map(Number);
    const [b1, b2] = b.split('.').map(Number);
    return a1 - b1 || a2 - b2;
  });
}

function registeredBadge(registered) {
  return el('span', {class: registered ? 'badge registered' : 'badge', 'data-registered': String(!!registered),
                     text: registered ? 'registered' : 'not registered'});
}

function drawGpiRow(key) {
  const input = facility.gpi.get(key);
  let row = gpiRows.get(key);
  if (!row) {
    const button = el('button', {type: 'button', class: 'toggle', 'data-gpi': key});
    button.addEventListener('click', () => {
      const now = facility.gpi.get(key);
      send('/api/gpi', {device: now.device, input: now.input, state: now.state === 1 ? 0 : 1});
    });
    row = el('tr', {'data-gpi-row': key}, el('td', {class: 'address', text: key}), el('td', {}, button), el('td'));
    gpiRows.set(key, row);
  }
  const button = row.querySelector('button');
  button.setAttribute('aria-pressed', String(input.state === 1));
  button.dataset.state = String(input.state);
  button.textContent = input.state === 1 ? 'closed · 1' : 'open · 0';
  row.cells[2].replaceChildren(registeredBadge(input.registered));
  return row;
}

function drawInfoRow(key) {
  const slot = facility.info.get(key);
  let row = infoRows.get(key);
  if (!row) {
    const field = el('input', {class: 'slot-text', 'data-slot': key, 'aria-label': `Info slot ${key}`});
    field.addEventListener('input', () => { field.dataset.editing = 'yes'; });
    field.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') {
        const now = facility.info.get(key);
        delete field.dataset.editing;
        send('/api/info', {device: now.device, slot: now.slot, text: field.value});
      } else if (e.key === 'Escape') {
        delete field.dataset.editing;
        field.value = facility.info.get(key).text;
      }
    });
    field.addEventListener('blur', () => {
      if (!field.dataset.editing) return;
      delete field.dataset.editing;
      field.value = facility.info.get(key).text;  // not forced: back to the slot's text
    });
    row = el('tr', {'data-slot-row': key}, el('td', {class: 'address', text: key}), el('td', {}, field), el('td'));
    infoRows.set(key, row);
  }
  const field = row.querySelector('input');
  if (!field.dataset.editing && field.value !== slot.text) {
    field.value = slot.text;
    flash(field);
  }
  field.dataset.text = slot.text;
  row.cells[2].replaceChildren(registeredBadge(slot.registered));
  return row;
}

function drawDrivers(which) {
  const [map, rows, draw, table, none] = which === 'gpi'
      ? [facility.gpi, gpiRows, drawGpiRow, 'gpi-table', 'No GPI inputs yet.']
      : [facility.info, infoRows, drawInfoRow, 'info-table', 'No info slots yet.'];
  for (const key of [...rows.keys()]) if (!map.has(key)) rows.delete(key);
  const body = $(table).tBodies[0];
  const ordered = sortedKeys(map).map(draw);
  body.replaceChildren(...(ordered.length ? ordered : [el('tr', {class: 'empty'}, el('td', {colspan: '3', text: none}))]));
}

function onDriver(which, event) {
  const [map, key] = which === 'gpi'
      ? [facility.gpi, `${event.device}.${event.input}`]
      : [facility.info, `${event.device}.${event.slot}`];
  const isNew = !map.has(key);
  const {type, ...entry} = event;
  map.set(key, entry);
  if (isNew) drawDrivers(which);
  else (which === 'gpi' ? drawGpiRow : drawInfoRow)(key);
}

// --- Timeline -------------------------------------------------------------------

function seconds(ms) {
  return (ms / 1000).toFixed(3);
}

function addTimeline(event) {
  const list = $('timeline');
  const atBottom = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
  const warning = event.kind === 'warning' || event.kind === 'failure' || event.kind === 'error';
  const item = el('li', {class: `kind-${event.kind}${warning ? ' warn' : ''}`, 'data-kind': event.kind},
      el('span', {class: 'time', text: seconds(event.time_ms)}),
      el('span', {class: 'kind', text: event.kind}),
      el('span', {class: 'who', text: event.component || ''}),
      el('span', {class: 'text', text: event.text}));
  list.append(item);
  while (list.childElementCount > TIMELINE_MAX) list.firstElementChild.remove();
  if (atBottom) list.scrollTop = list.scrollHeight;
}

// --- Header ---------------------------------------------------------------------

function setTime(ms) {
  facility.timeMs = ms;
  facility.timeAt = performance.now();
}

function drawWarnings() {
  const box = $('warnings');
  box.dataset.warnings = String(facility.warnings);
  box.textContent = `${facility.warnings} warning${facility.warnings === 1 ? '' : 's'}`;
  box.classList.toggle('alert', facility.warnings > 0);
}

setInterval(() => {
  // The facility runs in real time: between events its clock runs on.
  const running = $('link').dataset.link === 'live';
  const ms = facility.timeMs + (running ? performance.now() - facility.timeAt : 0);
  $('clock').textContent = seconds(ms);
}, 100);

// --- The snapshot and the event stream ------------------------------------------

function applySnapshot(state) {
  setTime(state.time_ms || 0);
  facility.components = state.components || [];
  facility.gpi = new Map((state.gpi || []).map((g) => [`${g.device}.${g.input}`, g]));
  facility.info = new Map((state.info || []).map((s) => [`${s.device}.${s.slot}`, s]));
  facility.warnings = state.warnings || 0;
  drawComponents();
  drawDrivers('gpi');
  drawDrivers('info');
  $('timeline').replaceChildren();
  if (state.timeline_dropped > 0) {
    $('timeline').append(el('li', {class: 'dropped', 'data-kind': 'dropped',
        text: `${state.timeline_dropped} earlier events are no longer kept`}));
  }
  for (const event of state.timeline || []) addTimeline(event);
  drawWarnings();
}

function onEvent(event) {
  switch (event.type) {
    case 'hello': return applySnapshot(event.state);
    case 'components': return resync();
    case 'control': return onControl(event);
    case 'gpi': return onDriver('gpi', event);
    case 'slot': return onDriver('info', event);
    case 'timeline':
      if (typeof event.time_ms === 'number') setTime(event.time_ms);
      if (event.kind === 'warning') {
        facility.warnings += 1;
        drawWarnings();
      }
      return addTimeline(event);
    default: return undefined;
  }
}

// A fresh stream starts with a snapshot taken at the moment it opens, so
// the page never mixes an older snapshot with newer events.
let resyncTimer = 0;
function resync() {
  clearTimeout(resyncTimer);
  resyncTimer = setTimeout(connect, 50);  // one snapshot for a burst of changes
}

function setLink(state, text) {
  const link = $('link');
  link.dataset.link = state;
  link.textContent = text;
}

let stream = null;
let retryDelay = 500;
function connect() {
  if (stream) stream.close();
  setLink('connecting', 'connecting…');
  stream = new EventSource(withToken('/api/events'));
  stream.onopen = () => {
    retryDelay = 500;
    setLink('live', 'live');
  };
  stream.onmessage = (message) => {
    try {
      onEvent(JSON.parse(message.data));
    } catch (error) {
      console.error('live page: bad event', error, message.data);
    }
  };
  stream.onerror = () => {
    // The browser retries a dropped stream by itself (the hello of the new
    // stream brings the state); one it gave up on is opened again here.
    setLink('down', 'reconnecting…');
    if (stream.readyState === EventSource.CLOSED) {
      setTimeout(connect, retryDelay);
      retryDelay = Math.min(retryDelay * 2, 8000);
    }
  };
}

// --- Requests -------------------------------------------------------------------

async function request(method, path, body) {
  const headers = {};
  if (token) headers.Authorization = `Bearer ${token}`;
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  const response = await fetch(path, {method, headers, body: body === undefined ? undefined : JSON.stringify(body)});
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(answer.error || `HTTP ${response.status}`);
  return answer;
}

async function send(path, body) {
  try {
    return await request('POST', path, body);
  } catch (error) {
    toast(error.message);
    return null;
  }
}

let toastTimer = 0;
function toast(text) {
  const box = $('toast');
  box.textContent = text;
  box.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { box.hidden = true; }, 5000);
}

// --- Forms ----------------------------------------------------------------------

function number(form, name) {
  return Number.parseInt(form.elements[name].value, 10);
}

$('gpi-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const form = e.target;
  send('/api/gpi', {device: number(form, 'device'), input: number(form, 'input'),
                    state: Number(e.submitter ? e.submitter.value : 1)});
});

$('info-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const form = e.target;
  send('/api/info', {device: number(form, 'device'), slot: number(form, 'slot'),
                     text: form.elements.text.value});
});

const sendForm = $('send-form');
sendForm.addEventListener('change', () => {
  $('send-control').disabled = sendForm.elements.kind.value !== 'event';
});
sendForm.addEventListener('submit', async (e) => {
  e.preventDefault();
  const component = sendForm.elements.component.value;
  const key = sendForm.elements.key.value;
  const result = $('send-result');
  result.textContent = 'sending…';
  result.className = '';
  const isEvent = sendForm.elements.kind.value === 'event';
  try {
    const answer = isEvent
        ? await request('POST', '/api/event', {component, control: sendForm.elements.control.value, key})
        : await request('POST', '/api/param', {component, key});
    result.textContent = isEvent ? 'sent'
        : `reply: ${answer.reply === null || answer.reply === undefined ? 'none' : JSON.stringify(answer.reply)}`;
  } catch (error) {
    result.textContent = error.message;
    result.className = 'error';
  }
});

$('only-warnings').addEventListener('change', (e) => {
  $('timeline').classList.toggle('only-warnings', e.target.checked);
});

connect();
