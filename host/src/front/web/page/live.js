// What every live page shares: the facility as the page knows it, the event
// stream that keeps it current, and the honest state of the link.
//
// Events are not drawn one by one: each animation frame parses and applies
// to the model what came since (within a time budget, the rest in order in
// the next frame) and draws what changed, so a burst of a thousand changes
// costs a few drawings of the latest state, never one task per backlog.
// The stream must say something at least every second (a heartbeat when
// nothing happens); after two seconds of silence, or when it drops, the page
// shows "no link" until a fresh snapshot has been drawn again.
'use strict';

const Live = (() => {
  const SILENCE_MS = 2000;       // no word from the host this long: the link is gone
  const RETRY_MS = 1000;         // between attempts to reach the host again
  const TIMELINE_MAX = 2000;     // events kept for the timeline
  const WARNINGS_PER_COMPONENT = 3;

  const token = new URLSearchParams(location.search).get('token');
  const withToken = (path) => (token ? `${path}${path.includes('?') ? '&' : '?'}token=${encodeURIComponent(token)}` : path);

  // --- Tally lamps --------------------------------------------------------------

  // Colour is never the only cue: each state has its own word and shape.
  const LAMPS = new Map([
    ['0', {colour: 'dark', word: 'OFF', caption: 'off', shape: 'ring'}],
    ['1', {colour: 'red', word: 'PROGRAM', caption: 'program', shape: 'disc'}],
    ['2', {colour: 'green', word: 'PREVIEW', caption: 'preview', shape: 'triangle'}],
    ['3', {colour: 'amber', word: 'TALLY 3', caption: 'tally 3', shape: 'square'}],
  ]);
  const NO_LINK = {colour: 'nolink', word: 'NO LINK', caption: 'no link', shape: 'cross'};

  function lampOf(text) {
    return LAMPS.get(text) ||
        {colour: 'unknown', word: 'UNKNOWN', caption: `unknown "${text}"`, shape: 'question'};
  }

  // Program over preview over any other lit value over off.
  const strength = (text) => (text === '1' ? 3 : text === '2' ? 2 : text && text !== '0' ? 1 : 0);

  function tallyControl(component) {
    for (const panel of component.panels || []) {
      for (const control of panel.controls || []) {
        if (control.id.toLowerCase() === 'tally') return control;
      }
    }
    return null;
  }

  // --- The model ------------------------------------------------------------------

  const facility = {
    timeMs: 0,
    timeAt: performance.now(),
    components: new Map(),  // name -> component of the snapshot, plus {tally, warnings}
    gpi: new Map(),         // "3.7" -> {device, input, state, registered}
    info: new Map(),        // "12.20" -> {device, slot, text, registered}
    writers: new Map(),     // "12.20" -> Set of the components whose tally lands there
    bridges: new Map(),     // name -> bridge
    recording: null,        // {on, file} when the host keeps a recording
    cameras: new Map(),     // camera name -> the names of its components
    viewers: [],            // the host's open streams: {address, views, since_ms}
    warnings: 0,
    timeline: [],           // the newest events, oldest first
    timelineDropped: 0,     // older events no longer kept
    seq: 0,                 // events ever added to the timeline
  };

  const slotKey = (device, slot) => `${device}.${slot}`;

  function noteWriter(component, writers = facility.writers) {
    if (!component.tally) return;
    const key = slotKey(component.tally.device, component.tally.slot);
    if (!writers.has(key)) writers.set(key, new Set());
    writers.get(key).add(component.name);
  }

  // Where a component's tally lands, and whether that is still the truth:
  // the slot it wrote last may have been changed by someone else since, or
  // a rehearsal warning may have flagged it.
  function tallyTruth(component) {
    const write = component.tally;
    if (!write) return {write: null, doubt: ''};
    const now = facility.info.get(slotKey(write.device, write.slot));
    if (now && now.text !== write.text) {
      return {write, doubt: `slot ${slotKey(write.device, write.slot)} now holds "${now.text}", not the "${write.text}" it wrote`};
    }
    const last = component.warnings[component.warnings.length - 1];
    if (last && last.time_ms >= write.time_ms && /conflict|stale/.test(last.text)) {
      return {write, doubt: last.text};
    }
    return {write, doubt: ''};
  }

  // What a camera (or a component standing alone) shows: the strongest
  // tally of its components, the other lit ones beside it, and its doubt.
  // Null when none of them exists or has a tally.
  function cameraState(name) {
    const names = facility.cameras.get(name) || [name];
    const parts = names.map((n) => facility.components.get(n)).filter((c) => c && c.tallyControl);
    if (parts.length === 0) return null;
    parts.sort((a, b) => strength(b.tallyControl.text) - strength(a.tallyControl.text));
    const [top] = parts;
    const text = top.tallyControl.text;
    const others = [...new Set(parts.slice(1).map((c) => c.tallyControl.text)
        .filter((t) => strength(t) > 0 && t !== text))];
    const doubts = parts.map((c) => tallyTruth(c).doubt).filter(Boolean);
    return {text, others, doubt: tallyTruth(top).doubt || (strength(text) === 0 ? doubts[0] || '' : ''),
            names: parts.map((c) => c.name), ended: parts.every((c) => c.alive === false)};
  }

  function controlIndex(component) {
    const index = new Map();
    for (const panel of component.panels || []) {
      for (const control of panel.controls || []) index.set(`${panel.id}/${control.id.toLowerCase()}`, control);
    }
    return index;
  }

  // Into the facility's model, or into `into` ({components, writers}) for
  // a snapshot still coming in.
  function addComponent(component, into = facility) {
    component.warnings = (component.warnings || []).slice(-WARNINGS_PER_COMPONENT);
    component.index = controlIndex(component);
    component.tallyControl = tallyControl(component);
    into.components.set(component.name, component);
    noteWriter(component, into.writers);
  }

  // `taken`: the components of a snapshot taken in slices (see snapshotJob).
  function applySnapshot(state, taken = null) {
    facility.timeMs = state.time_ms || 0;
    facility.timeAt = performance.now();
    facility.components = taken ? taken.components : new Map();
    facility.writers = taken ? taken.writers : new Map();
    if (!taken) for (const component of state.components || []) addComponent(component);
    facility.gpi = new Map((state.gpi || []).map((g) => [slotKey(g.device, g.input), g]));
    facility.info = new Map((state.info || []).map((s) => [slotKey(s.device, s.slot), s]));
    facility.bridges = new Map((state.bridges || []).map((b) => [b.name, b]));
    facility.recording = state.recording || null;
    facility.viewers = state.viewers || [];
    // Cameras made of several components (program from one, preview from another).
    facility.cameras = new Map((state.cameras || []).map((c) => [c.name, c.components]));
    facility.warnings = state.warnings || 0;
    facility.timeline = [];
    facility.timelineDropped = state.timeline_dropped || 0;
    for (const event of state.timeline || []) addTimeline(event);
  }

  function addTimeline(event) {
    event.seq = facility.seq++;
    facility.timeline.push(event);
    // Dropped in steps, so that a long run does not shift the array per event.
    if (facility.timeline.length > TIMELINE_MAX + 200) {
      const extra = facility.timeline.length - TIMELINE_MAX;
      facility.timeline.splice(0, extra);
      facility.timelineDropped += extra;
    }
  }

  // The controls the framework's alarm groups act on.
  const ALARM_CONTROL = /^alm_/i;

  // What one change does to the model; each notes in `changes` what to
  // draw and says false when the page must fetch a fresh snapshot.
  function applyControl(name, panel, id, property, value, changes) {
    const component = facility.components.get(name);
    const control = component && component.index.get(`${panel}/${id.toLowerCase()}`);
    if (!control) return false;  // a control the page has not seen
    control.properties = control.properties || {};
    control.properties[property] = value;
    if (property === 'text') control.text = value;
    else if (property === 'label') control.label = value;
    // An alarm control shows its level and last group action too.
    else if (!(ALARM_CONTROL.test(id) && (property === 'value' || property === 'alarm'))) return true;
    changes.components.add(component.name);
    changes.controls.set(control, component.name);
    return true;
  }

  function applyDriver(isGpi, entry, changes) {
    const map = isGpi ? facility.gpi : facility.info;
    const key = slotKey(entry.device, isGpi ? entry.input : entry.slot);
    if (!map.has(key)) changes.newRows = true;
    map.set(key, entry);
    (isGpi ? changes.gpi : changes.info).add(key);
    for (const name of facility.writers.get(key) || []) changes.components.add(name);
    return true;
  }

  function applyWritten(name, tally, changes) {
    const component = facility.components.get(name);
    if (!component) return false;
    const before = component.tally;
    // A component writes the same slot again and again: its writers stay.
    const moved = !before || before.device !== tally.device || before.slot !== tally.slot;
    if (before && moved) {
      const old = facility.writers.get(slotKey(before.device, before.slot));
      if (old) old.delete(component.name);
    }
    component.tally = tally;
    if (moved) noteWriter(component);
    changes.components.add(component.name);
    return true;
  }

  function applyTimeline(event, changes) {
    if (typeof event.time_ms === 'number') {
      facility.timeMs = event.time_ms;
      facility.timeAt = performance.now();
    }
    if (event.kind === 'warning') {
      facility.warnings += 1;
      changes.warnings = true;
      const component = event.component && facility.components.get(event.component);
      if (component) {
        component.warnings.push({time_ms: event.time_ms, text: event.text});
        if (component.warnings.length > WARNINGS_PER_COMPONENT) component.warnings.shift();
        changes.components.add(component.name);
      }
    }
    addTimeline(event);
    changes.timeline = true;
    return true;
  }

  // A batch: the final state of everything one piece of the host's work
  // changed, in compact lists (see the host's documentation of events).
  const applyGpiEntry = ([device, input, state, registered], changes) =>
    applyDriver(true, {device, input, state, registered}, changes);
  const applyInfoEntry = ([device, slot, text, registered], changes) =>
    applyDriver(false, {device, slot, text, registered}, changes);
  const applyWrittenEntry = ([name, device, slot, text, time_ms], changes) =>
    applyWritten(name, {device, slot, text, time_ms}, changes);
  function applyControlEntry([name, panel, id, text, level, action], changes) {
    let known = applyControl(name, panel, id, 'text', text, changes);
    if (level !== undefined) {
      known = applyControl(name, panel, id, 'value', level, changes) && known;
      known = applyControl(name, panel, id, 'alarm', action, changes) && known;
    }
    return known;
  }

  function finishBatch(batch, changes) {
    for (const event of batch.timeline || []) applyTimeline(event, changes);
    if (typeof batch.time_ms === 'number') {
      facility.timeMs = batch.time_ms;
      facility.timeAt = performance.now();
    }
  }

  function applyBatch(batch, changes) {
    let known = true;
    for (const entry of batch.gpi || []) applyGpiEntry(entry, changes);
    for (const entry of batch.info || []) applyInfoEntry(entry, changes);
    for (const entry of batch.written || []) known = applyWrittenEntry(entry, changes) && known;
    for (const entry of batch.controls || []) known = applyControlEntry(entry, changes) && known;
    finishBatch(batch, changes);
    return known;
  }

  // A batch of more entries than this (a mixer's cut of ten thousand
  // cameras is one batch of some 40,000) is applied in slices over as many
  // frames as the frame budget needs. Each component is applied whole
  // within a slice (its write, the slot it wrote and its controls
  // together), so a frame drawn between two slices shows every component
  // either as it was or as it is now, never in doubt between the two.
  // (The browser tests set a smaller size through veskBatchAtOnce.)
  const BATCH_AT_ONCE = Number(window.veskBatchAtOnce) || 2000;
  const BATCH_SLICE = 64;  // entries between two looks at the clock

  function largeBatch(batch) {
    const size = ['gpi', 'info', 'written', 'controls'].reduce((n, list) => n + (batch[list] || []).length, 0);
    if (size <= BATCH_AT_ONCE) return null;
    const info = new Map();  // slot -> index in batch.info
    (batch.info || []).forEach(([device, slot], i) => info.set(slotKey(device, slot), i));
    const controls = new Map();  // component -> indices in batch.controls
    (batch.controls || []).forEach(([name], i) => {
      const mine = controls.get(name);
      if (mine) mine.push(i);
      else controls.set(name, [i]);
    });
    return {batch, info, controls, infoDone: new Uint8Array((batch.info || []).length),
            controlsDone: new Uint8Array((batch.controls || []).length), phase: 0, at: 0, known: true};
  }

  // Applies the next slices of a large batch until `deadline`; true once
  // all of it is applied.
  function applyBatchSlices(job, deadline, changes) {
    const {batch} = job;
    // The components first: their lamps are what the screen shows.
    const phases = [
      [batch.written || [], (entry) => {
        let known = applyWrittenEntry(entry, changes);
        const slot = job.info.get(slotKey(entry[1], entry[2]));
        if (slot !== undefined && !job.infoDone[slot]) {
          job.infoDone[slot] = 1;
          applyInfoEntry(batch.info[slot], changes);
        }
        for (const i of job.controls.get(entry[0]) || []) {
          job.controlsDone[i] = 1;
          known = applyControlEntry(batch.controls[i], changes) && known;
        }
        return known;
      }],
      [batch.gpi || [], (entry) => applyGpiEntry(entry, changes)],
      [batch.info || [], (entry, i) => job.infoDone[i] || applyInfoEntry(entry, changes)],
      [batch.controls || [], (entry, i) => job.controlsDone[i] || applyControlEntry(entry, changes)],
    ];
    while (job.phase < phases.length) {
      const [list, apply] = phases[job.phase];
      const end = Math.min(list.length, job.at + BATCH_SLICE);
      for (; job.at < end; job.at += 1) job.known = apply(list[job.at], job.at) !== false && job.known;
      if (job.at === list.length) {
        job.phase += 1;
        job.at = 0;
      }
      if (performance.now() > deadline) break;
    }
    if (job.phase < phases.length) return false;
    finishBatch(batch, changes);
    return true;
  }

  // A snapshot longer than this (ten thousand cameras make one of some ten
  // million characters) is taken over as many frames as the frame budget
  // needs, its components a slice at a time, each slice parsed on its own;
  // the page shows what it knew until the last slice is in. One parse of
  // the whole held a page's main thread for a few hundred milliseconds.
  // (The browser tests set smaller sizes through these.)
  const SNAPSHOT_AT_ONCE_CHARS = Number(window.veskSnapshotAtOnceChars) || 1024 * 1024;
  const SNAPSHOT_SLICE_CHARS = Number(window.veskSnapshotSliceChars) || 128 * 1024;

  // The index after the JSON string that starts (with its quote) at text[at]; -1: none.
  function stringEnd(text, at) {
    for (let quote = text.indexOf('"', at + 1); quote >= 0; quote = text.indexOf('"', quote + 1)) {
      let backslashes = 0;
      while (text.charCodeAt(quote - 1 - backslashes) === 92) backslashes += 1;
      if (backslashes % 2 === 0) return quote + 1;
    }
    return -1;
  }

  // The index after the JSON value that starts at text[at]; -1: it does not end.
  function valueEnd(text, at) {
    const first = text[at];
    if (first === '"') return stringEnd(text, at);
    if (first !== '{' && first !== '[') {  // a number, true, false or null
      let end = at;
      while (end < text.length && !',}]'.includes(text[end])) end += 1;
      return end;
    }
    let depth = 0;
    for (let i = at; i < text.length; i += 1) {
      const c = text[i];
      if (c === '"') {
        i = stringEnd(text, i) - 1;
        if (i < 0) return -1;
      } else if (c === '{' || c === '[') {
        depth += 1;
      } else if ((c === '}' || c === ']') && --depth === 0) {
        return i + 1;
      }
    }
    return -1;
  }

  // A hello as the host writes it (`{"state":{`, members without spaces,
  // "components" among them): where its components lie. Null for any other
  // text, which is parsed whole.
  function snapshotJob(data) {
    if (!data.startsWith('{"state":{')) return null;
    for (let at = 10; data[at] === '"';) {
      const keyEnd = stringEnd(data, at);
      if (keyEnd < 0 || data[keyEnd] !== ':') return null;
      if (data.slice(at, keyEnd) === '"components"') {
        if (data[keyEnd + 1] !== '[') return null;
        return {data, start: keyEnd + 2, at: keyEnd + 2, components: new Map(), writers: new Map()};
      }
      const end = valueEnd(data, keyEnd + 1);
      if (end < 0 || data[end] !== ',') return null;
      at = end + 1;
    }
    return null;
  }

  // Takes slices of whole components until `deadline`; once all are in,
  // the hello with the rest of its state (its components left out: they
  // are the job's). Throws on a text that does not parse.
  function takeSnapshotSlices(job, deadline) {
    const {data} = job;
    while (data[job.at] !== ']') {
      let end = job.at;
      do {
        if (end > job.at) end += 1;  // the comma between two components
        end = valueEnd(data, end);
        if (end < 0 || (data[end] !== ',' && data[end] !== ']')) throw new SyntaxError('a component does not end');
      } while (data[end] === ',' && end - job.at < SNAPSHOT_SLICE_CHARS);
      for (const component of JSON.parse(`[${data.slice(job.at, end)}]`)) addComponent(component, job);
      job.at = data[end] === ',' ? end + 1 : end;
      if (data[job.at] !== ']' && performance.now() > deadline) return null;
    }
    return JSON.parse(data.slice(0, job.start) + data.slice(job.at));
  }

  // Applies one event to the model and notes in `changes` what to draw.
  // False when the page must fetch a fresh snapshot.
  function applyEvent(event, changes) {
    switch (event.type) {
      case 'batch':
        return applyBatch(event, changes);
      case 'control':
        return applyControl(event.component, event.panel, event.control, event.property, event.value, changes);
      case 'gpi':
      case 'slot': {
        const {type, ...entry} = event;
        return applyDriver(type === 'gpi', entry, changes);
      }
      case 'written':
        return applyWritten(event.component,
            {device: event.device, slot: event.slot, text: event.text, time_ms: event.time_ms}, changes);
      case 'timeline':
        return applyTimeline(event, changes);
      case 'bridge': {
        const {type, ...bridge} = event;
        facility.bridges.set(bridge.name, bridge);
        changes.bridges = true;
        return true;
      }
      case 'viewers':
        facility.viewers = event.viewers || [];
        changes.viewers = true;
        return true;
      case 'lamp_test':
        lampTest(event.seconds);
        changes.lampTest = true;
        return true;
      case 'recording':
        facility.recording = {on: event.on, file: event.file};
        changes.recording = true;
        return true;
      case 'components':
        return false;
      default:
        return true;  // a kind of event this page does not show
    }
  }

  function noChanges(all) {
    return {all, components: new Set(), controls: new Map(), gpi: new Set(), info: new Set(),
            newRows: false, timeline: false, warnings: false, bridges: false, recording: false, viewers: false};
  }

  // --- The lamp test ----------------------------------------------------------------

  // Someone asked every view to light up for a few seconds: the page marks
  // itself (html[data-lamp-test]) and its views draw their test look.
  let lampTestTimer = 0;
  function lampTest(seconds) {
    document.documentElement.dataset.lampTest = 'on';
    clearTimeout(lampTestTimer);
    lampTestTimer = setTimeout(() => {
      delete document.documentElement.dataset.lampTest;
      view.link(link);
    }, seconds * 1000);
  }
  const lampTesting = () => document.documentElement.dataset.lampTest === 'on';

  // --- The link -------------------------------------------------------------------

  // The stream is read as text and kept unparsed until a frame takes it: a
  // frame parses and applies events for at most this long, draws, and leaves
  // the rest in order for the next frame, so that no task grows with a
  // backlog (a burst of a thousand forces is some nine thousand events).
  // While the view still has drawing left over from the last frame, that
  // drawing shares the frame, and the parsing gets half as long.
  // (The browser tests set a smaller budget through veskFrameBudgetMs.)
  const FRAME_BUDGET_MS = Number(window.veskFrameBudgetMs) || 8;
  // A page that cannot keep up (a slow device under a flood) would hold an
  // ever longer backlog: past this much unparsed text it starts afresh
  // from a snapshot, and says so, as the host does with a stream it
  // cannot keep current. The text a frame takes first does not count:
  // the snapshot of ten thousand cameras is one message of some ten
  // million characters, and the page is not behind when it comes, nor
  // when a heartbeat comes before the frame that parses it.
  // (The browser tests set a smaller limit through veskInboxMaxChars.)
  const INBOX_MAX_CHARS = Number(window.veskInboxMaxChars) || 8 * 1024 * 1024;

  const link = {state: 'connecting', since: null, reason: '', dropped: ''};
  let view = null;  // {draw(changes) -> more to draw next frame, link(link)}
  const parts = [];  // more of the page drawn from the model: {draw(changes), link(link)}
  let stream = null;  // the AbortController of the stream being read
  let heardAt = 0;
  let inbox = [];   // texts of whole messages in the order they came, not parsed yet
  let inboxAt = 0;  // where the next message of inbox[0] starts
  let inboxChars = 0;  // the length of all texts in inbox
  let batchLeft = null;  // a large batch partly applied, before anything later in the inbox
  let snapshotLeft = null;  // a long snapshot partly taken, before anything later in the inbox
  let frame = 0;
  let fallback = 0;
  let drawingLeft = false;  // the view left drawing for the next frame
  let takenNotDrawn = null;  // the changes of a snapshot taken in a frame with no time left to draw it
  let retryTimer = 0;

  function setLink(state, reason = '') {
    if (state === 'down' && link.state !== 'down') link.since = new Date();
    if (state === 'live') link.since = null;
    if (link.state === state && link.reason === reason) return;
    link.state = state;
    link.reason = reason;
    document.documentElement.dataset.link = state;
    view.link(link);
    for (const part of parts) part.link(link);
  }

  // The data of the next message of the inbox (null when it has none).
  // The host sends one `data:` line per message; other fields are skipped.
  function nextData() {
    const text = inbox[0];
    const end = text.indexOf('\n\n', inboxAt);
    const block = text.slice(inboxAt, end);
    inboxAt = end + 2;
    if (inboxAt >= text.length) {
      inbox.shift();
      inboxChars -= text.length;
      inboxAt = 0;
    }
    if (block.startsWith('data: ') && !block.includes('\n')) return block.slice(6);
    let data = null;
    for (const line of block.split('\n')) {
      if (!line.startsWith('data:')) continue;
      const value = line.slice(line[5] === ' ' ? 6 : 5);
      data = data === null ? value : `${data}\n${value}`;
    }
    return data;
  }

  function flush() {
    cancelAnimationFrame(frame);
    clearTimeout(fallback);
    frame = 0;
    fallback = 0;
    const began = performance.now();
    // A large batch partly applied takes the whole budget: what is on the
    // screen waits for it, not for the drawing of what is out of view.
    const budget = drawingLeft && !batchLeft ? FRAME_BUDGET_MS / 2 : FRAME_BUDGET_MS;
    let changes = noChanges(false);
    let fresh = false;
    let stale = false;
    let last = '';
    const drawnLate = takenNotDrawn !== null;
    if (drawnLate) {
      changes = takenNotDrawn;
      fresh = true;
      takenNotDrawn = null;
    }
    // A new stream: its snapshot replaces what the page knew.
    const takeHello = (event, taken = null) => {
      applySnapshot(event.state, taken);
      if (typeof event.wall_ms === 'number') hostClockOffset = event.wall_ms - Date.now();
      changes = noChanges(true);
      fresh = true;
      stale = false;
    };
    if (snapshotLeft) {
      const job = snapshotLeft;
      let hello = null;
      let taken = job;
      try {
        hello = takeSnapshotSlices(job, began + budget);
      } catch {
        // Not laid out as the host writes it after all: taken whole, or not at all.
        taken = null;
        try {
          hello = JSON.parse(job.data);
        } catch (error) {
          console.error('live page: bad event', error, job.data);
          snapshotLeft = null;
        }
      }
      if (hello) {
        snapshotLeft = null;
        if (hello.type === 'hello') takeHello(hello, taken);
        last = hello.type;
      }
    }
    if (batchLeft) {
      if (applyBatchSlices(batchLeft, began + budget, changes)) {
        if (!batchLeft.known) stale = true;
        batchLeft = null;
      }
    }
    for (let n = 1; inbox.length > 0 && !batchLeft && !snapshotLeft; n += 1) {
      // A component's write comes as `written` and then the `slot` it wrote:
      // a frame drawn between the two would show its tally in doubt. A large
      // cut comes as several batches: one at most is parsed past the budget.
      if (last !== 'written' && (n > 16 || last === 'batch') && performance.now() - began > budget) break;
      const data = nextData();
      if (data === null) continue;
      if (data.length > SNAPSHOT_AT_ONCE_CHARS && (snapshotLeft = snapshotJob(data))) break;
      let event;
      try {
        event = JSON.parse(data);
      } catch (error) {
        console.error('live page: bad event', error, data);
        continue;
      }
      last = event.type;
      if (event.type === 'hello') {
        takeHello(event);
      } else if (event.type === 'heartbeat') {
        if (typeof event.time_ms === 'number' && (link.state === 'live' || fresh)) {
          facility.timeMs = event.time_ms;
          facility.timeAt = performance.now();
        }
      } else if (event.type === 'batch' && (batchLeft = largeBatch(event))) {
        if (applyBatchSlices(batchLeft, began + budget, changes)) {
          if (!batchLeft.known) stale = true;
          batchLeft = null;
        }
      } else if (!applyEvent(event, changes)) {
        stale = true;
      }
    }
    // A snapshot that took this frame's time is drawn in the next one: taking
    // ten thousand cameras and drawing the first of them would be one long task.
    if (fresh && !stale && !drawnLate && performance.now() - began > budget) {
      takenNotDrawn = changes;
      schedule();
      return;
    }
    // The view may leave part of its drawing for the next frame.
    drawingLeft = !!view.draw(changes);
    for (const part of parts) part.draw(changes);
    // Live only once the fresh state is on the screen.
    if (fresh) setLink('live');
    if (stale) resync();
    if (inbox.length > 0 || batchLeft || snapshotLeft || drawingLeft) schedule();
  }

  function schedule() {
    if (frame) return;
    frame = requestAnimationFrame(flush);
    // A page in the background gets no frames; it still keeps up, slowly.
    fallback = setTimeout(flush, 250);
  }

  // The host's last word on a stream it drops for falling behind. Quotes
  // inside texts are escaped, so only a message can hold this as it is.
  function droppedIn(text) {
    for (let at = text.indexOf('"type":"dropped"'); at >= 0; at = text.indexOf('"type":"dropped"', at + 1)) {
      const start = text.lastIndexOf('\n', at) + 1;
      if (!text.startsWith('data:', start)) continue;
      try {
        const event = JSON.parse(text.slice(start + 5, text.indexOf('\n', at)));
        if (event.type === 'dropped') return event;
      } catch {}
    }
    return null;
  }

  function received(text) {
    const event = droppedIn(text);
    if (event) {
      link.dropped = `The host dropped this page's stream (${event.reason || 'no reason given'}) at ${new Date().toLocaleTimeString()}; the page reconnected and drew a fresh state.`;
      lose(`the host dropped the stream: ${event.reason || 'no reason given'}`);
      return;
    }
    if (inbox.length > 0 && inboxChars - inbox[0].length + text.length > INBOX_MAX_CHARS) {
      link.dropped = `This page fell too far behind the host's events at ${new Date().toLocaleTimeString()} (it could not draw them as fast as they came); it reconnected and drew a fresh state.`;
      lose('the page fell too far behind the host');
      return;
    }
    inbox.push(text);
    inboxChars += text.length;
    schedule();
  }

  // Reads the stream chunk by chunk and hands on its whole messages.
  async function read(own, body) {
    const reader = body.getReader();
    const decoder = new TextDecoder();
    let rest = '';
    for (;;) {
      const {done, value} = await reader.read();
      if (stream !== own) return;
      if (done) break;
      heardAt = performance.now();
      const chunk = decoder.decode(value, {stream: true});
      // Only the new text is searched, so that a long message coming in
      // many chunks is not searched again and again.
      const tail = rest.slice(-1);
      const end = (tail + chunk).lastIndexOf('\n\n');
      if (end < 0) {
        rest += chunk;
        continue;
      }
      const text = rest + chunk;
      const cut = rest.length - tail.length + end + 2;
      rest = text.slice(cut);
      received(text.slice(0, cut));
      if (stream !== own) return;
    }
    lose('the connection to the host is lost');
  }

  function lose(reason) {
    if (stream) stream.abort();
    stream = null;
    inbox = [];
    inboxAt = 0;
    inboxChars = 0;
    batchLeft = null;
    snapshotLeft = null;
    takenNotDrawn = null;
    setLink('down', reason);
    clearTimeout(retryTimer);
    retryTimer = setTimeout(connect, RETRY_MS);
  }

  // The views of one browser share one stream through a worker where the
  // browser has shared workers (see stream-worker.js); elsewhere each view
  // reads its own.
  // The host lists who watches which view (the main page shows the list).
  const viewName = decodeURIComponent(location.pathname);
  const sharedStream = {abort() {}};  // what `stream` is while the worker reads for this view
  const worker = (() => {
    if (typeof SharedWorker !== 'function') return null;
    try {
      const shared = new SharedWorker(withToken('/stream-worker.js'), {name: 'vesk-events'});
      shared.port.onmessage = ({data}) => {
        if (data.lost) {
          if (stream === sharedStream) lose(data.lost);
          return;
        }
        if (data.heard) {
          // Waiting for this view's snapshot, while the host is heard on the stream.
          if (stream === sharedStream) heardAt = performance.now();
          return;
        }
        if (stream !== sharedStream) {
          // Waiting to try again, and another view's new stream brings a snapshot: take it.
          if (!data.text.includes('"type":"hello"')) return;
          clearTimeout(retryTimer);
          stream = sharedStream;
        }
        heardAt = performance.now();
        received(data.text);
      };
      shared.port.start();
      addEventListener('pagehide', () => shared.port.postMessage({bye: true}));
      return shared.port;
    } catch {
      return null;
    }
  })();

  function connect() {
    clearTimeout(retryTimer);
    if (stream) stream.abort();
    // What the old stream left unread is replaced by the new one's snapshot.
    inbox = [];
    inboxAt = 0;
    inboxChars = 0;
    batchLeft = null;
    snapshotLeft = null;
    takenNotDrawn = null;
    if (link.state !== 'down') setLink('connecting');
    heardAt = performance.now();
    if (worker) {
      stream = sharedStream;
      worker.postMessage({open: withToken('/api/events'), view: viewName});
      return;
    }
    const own = new AbortController();
    stream = own;
    fetch(withToken(`/api/events?view=${encodeURIComponent(viewName)}`), {signal: own.signal, cache: 'no-store', headers: {Accept: 'text/event-stream'}})
        .then(async (response) => {
          if (!response.ok || !response.body) {
            // The host's own words, such as "too many open event streams".
            const answer = await response.json().catch(() => ({}));
            const why = answer.error || `HTTP ${response.status}`;
            if (stream === own) lose(`the host refused this page's event stream: ${why}`);
            return undefined;
          }
          return read(own, response.body);
        })
        .catch(() => {
          if (stream === own) lose('the connection to the host is lost');
        });
  }

  // A fresh stream starts with a snapshot taken at the moment it opens, so
  // the page never mixes an older snapshot with newer events.
  let resyncTimer = 0;
  function resync() {
    clearTimeout(resyncTimer);
    resyncTimer = setTimeout(() => {
      if (link.state === 'live') connect();
    }, 50);  // one snapshot for a burst of changes
  }

  // A page that was busy (a long drawing) has not been silent on the link:
  // the messages that came meanwhile are still waiting to be read, so a late
  // check waits one more round before it judges.
  let checkedAt = performance.now();
  setInterval(() => {
    const now = performance.now();
    const late = now - checkedAt > 750;
    checkedAt = now;
    if (!late && stream && now - heardAt > SILENCE_MS) {
      lose(`no word from the host for ${SILENCE_MS / 1000} s`);
    }
  }, 100);  // often, so that a frozen host shows within 2.1 s of its last word

  function start(pageView) {
    view = pageView;
    for (const part of parts) part.link(link);
    for (const a of document.querySelectorAll('a[data-keep-token]')) a.href = withToken(a.getAttribute('href'));
    document.documentElement.dataset.link = link.state;
    view.link(link);
    connect();
    // The first time written as local time loads the browser's locale data
    // (some 20 ms at first): done while the snapshot is on its way, in a
    // task of its own, not in the frame that first draws it.
    setTimeout(() => new Date().toLocaleTimeString(), 0);
  }

  // The facility's simulated time; it runs on between events while the link is live.
  function clockMs() {
    return facility.timeMs + (link.state === 'live' ? performance.now() - facility.timeAt : 0);
  }

  // --- Requests -------------------------------------------------------------------

  // A request is either answered within this time or cancelled, and the
  // host is told the same deadline on its own clock, so that a host that
  // was frozen does not apply it when it resumes, long after the page said
  // it failed. (A browser may also queue a request behind its other
  // connections to the host; the deadline covers that wait too.)
  const REQUEST_DEADLINE_MS = 3000;
  let hostClockOffset = null;  // the host's wall clock minus this browser's, from the last hello

  async function request(method, path, body) {
    const headers = {};
    if (token) headers.Authorization = `Bearer ${token}`;
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    if (method === 'POST' && hostClockOffset !== null) {
      headers['X-Vesk-Deadline'] = String(Math.floor(Date.now() + hostClockOffset + REQUEST_DEADLINE_MS));
    }
    const cancel = new AbortController();
    const timer = setTimeout(() => cancel.abort(), REQUEST_DEADLINE_MS);
    try {
      let response;
      try {
        response = await fetch(path, {method, headers, signal: cancel.signal,
                                      body: body === undefined ? undefined : JSON.stringify(body)});
      } catch {
        throw new Error(cancel.signal.aborted ? lateText() : 'the host cannot be reached');
      }
      const answer = await response.json().catch(() => ({}));
      if (cancel.signal.aborted) throw new Error(lateText());
      if (!response.ok) throw new Error(answer.error || `HTTP ${response.status}`);
      return answer;
    } finally {
      clearTimeout(timer);
    }
  }

  const lateText = () => `no answer from the host within ${REQUEST_DEADLINE_MS / 1000} s: ` +
      'the action failed and was cancelled, the host will not apply it later';

  // Another part of the page drawn from the same model and link.
  function addPart(part) {
    parts.push(part);
    if (view) part.link(link);
  }

  // --- Small helpers of the pages ---------------------------------------------------

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

  const seconds = (ms) => (ms / 1000).toFixed(3);

  // --- Slices: ten thousand things built a few hundred a frame ----------------------

  // Goes through `list` in order, a slice at a time: take(count) makes the
  // next `count` items with `make(item)` (a node, or null to leave the item
  // out) and returns [item, node] of those made; `left` says whether some
  // are left (none, of slices()). Ten thousand cards, tiles or choices made
  // in one task would keep a page from answering for seconds.
  function slices(list = [], make = () => null) {
    let next = 0;
    return {
      take(count) {
        const made = [];
        for (const until = Math.min(list.length, next + count); next < until; next += 1) {
          const node = make(list[next]);
          if (node) made.push([list[next], node]);
        }
        return made;
      },
      get left() { return next < list.length; },
    };
  }

  // --- Blocks: a long grid whose parts out of view the browser skips -------------

  // Ten thousand cards or tiles, each skipped on its own out of view
  // (content-visibility), cost the browser every frame: it tracks each one's
  // distance from the screen, and lays out and walks a grid of ten thousand
  // items. So the items are put in blocks of whole rows, and the blocks are
  // skipped out of view instead: a few hundred of them at most, each a grid
  // of its own with the columns of the whole. A change drawn inside a block
  // lays out that block.
  //
  // `box` holds the blocks; `itemPx` and `gapPx` are the narrowest column
  // and the gap of the grid (as in the style sheet), `rows` the rows of a
  // block, `minItems` the fewest items of a block, `rowPx` an estimate of a
  // row's height with its gap. `shown(keys)` is called with the items of a
  // block the browser starts to render, `refilled()` after the items were
  // put in new blocks.
  // A browser that cannot say what it skips (tells === false) renders all.
  const TELLS_SKIPPED = 'oncontentvisibilityautostatechange' in HTMLElement.prototype;

  // The time a frame's slice of new cards or tiles may take to build.
  const BUILD_MS = Number(window.veskBuildMs) || 25;

  function blocks({box, itemPx, gapPx, rows, minItems = 1, rowPx, shown, refilled = () => {}}) {
    const of = new Map();  // key -> its block {node, keys, skipped, onScreen, top, bottom}
    const at = new Map();  // key -> its place in its block
    const rendered = new Set();  // the blocks the browser renders now
    let items = [];        // [key, node] in order
    let building = null;   // {perSlice, slices}: the items still to build
    let columns = 0;

    // Which rendered blocks are on the screen, read where the layout is
    // clean (at the start of a frame, before anything is drawn); true when
    // one came onto the screen.
    function measure() {
      let came = false;
      for (const block of rendered) {
        const box = block.node.getBoundingClientRect();
        const now = box.bottom > 0 && box.top < innerHeight && box.height > 0;
        if (now && !block.onScreen) came = true;
        block.onScreen = now;
        block.top = box.top;
        block.bottom = box.bottom;
      }
      return came;
    }

    // Scrolled: the cards or tiles of a rendered block that comes onto the
    // screen are drawn at once, not when their turn comes.
    let scrollFrame = 0;
    addEventListener('scroll', () => {
      if (scrollFrame) return;
      scrollFrame = requestAnimationFrame(() => {
        scrollFrame = 0;
        measure();
        for (const block of rendered) if (block.onScreen) shown(block.keys);
      });
    }, {passive: true});

    // Blocks the browser starts to render (often several at once, as a page
    // scrolls) are measured together in the next frame, where the layout is
    // clean, and their items drawn then: measuring after each one's items
    // were drawn would lay the page out once a block.
    const cameIn = new Set();
    let cameInFrame = 0;
    function drawCameIn() {
      cameInFrame = 0;
      measure();
      const blocks = [...cameIn];
      cameIn.clear();
      for (const block of blocks) if (of.get(block.keys[0]) === block) shown(block.keys);
    }

    const columnsNow = () => Math.max(1, Math.floor((box.clientWidth + gapPx) / (itemPx + gapPx)));

    // The items built again (a fresh state, other columns) take estimated
    // heights until drawn, and come a slice a frame: what an operator had
    // scrolled to would drift away. So the item at the top of the screen is
    // noted first, and put back where it stood once it is built again, and
    // after each slice until the last (the page may not have been long enough
    // yet), unless the operator scrolls meanwhile.
    const blockOfNode = new WeakMap();
    let anchor = null;  // {key, top}: the item, and its distance from the screen's top
    function noteAnchor() {
      anchor = null;
      if (items.length === 0 || box.getBoundingClientRect().top >= 0) return;
      for (const node of box.children) {
        if (node.getBoundingClientRect().bottom <= 0) continue;
        const block = blockOfNode.get(node);
        if (!block) return;
        for (const [i, item] of [...node.children].entries()) {
          const {top, bottom} = item.getBoundingClientRect();
          if (bottom > 0) return void (anchor = {key: block.keys[i], top});
        }
        return;
      }
    }
    function restoreAnchor() {
      const block = anchor && of.get(anchor.key);
      const item = block?.node.children[at.get(anchor.key)];
      if (item) scrollBy(0, item.getBoundingClientRect().top - anchor.top);
      if (!building?.slices.left) anchor = null;  // all built: kept for good
    }
    for (const type of ['wheel', 'touchstart', 'keydown']) {
      addEventListener(type, () => { anchor = null; }, {passive: true, capture: true});
    }

    const blockSize = () => columns * Math.max(rows, Math.ceil(minItems / columns));

    // Puts items[from..] in new blocks and returns them.
    function makeBlocks(from) {
      const size = blockSize();
      const made = [];
      for (let first = from; first < items.length; first += size) {
        const node = document.createElement('div');
        node.className = 'block';
        const block = {node, keys: [], skipped: TELLS_SKIPPED, onScreen: !TELLS_SKIPPED};
        blockOfNode.set(node, block);
        if (!TELLS_SKIPPED) rendered.add(block);
        for (const [key, item] of items.slice(first, first + size)) {
          at.set(key, block.keys.length);
          block.keys.push(key);
          of.set(key, block);
          node.append(item);
        }
        node.style.containIntrinsicBlockSize = `auto ${Math.ceil(block.keys.length / columns) * rowPx - gapPx}px`;
        node.addEventListener('contentvisibilityautostatechange', (e) => {
          if (of.get(block.keys[0]) !== block) return;  // a block of an earlier fill
          block.skipped = e.skipped;
          if (e.skipped) {
            rendered.delete(block);
            block.onScreen = false;
            cameIn.delete(block);
          } else {
            rendered.add(block);
            cameIn.add(block);
            if (!cameInFrame) cameInFrame = requestAnimationFrame(drawCameIn);
          }
        });
        made.push(node);
      }
      return made;
    }

    function fill() {
      columns = columnsNow();
      of.clear();
      at.clear();
      rendered.clear();
      cameIn.clear();
      return makeBlocks(0);
    }

    // Another column count (the window was resized): the same items in new blocks.
    new ResizeObserver(() => {
      if (items.length === 0 || columnsNow() === columns) return;
      if (!anchor) noteAnchor();
      box.replaceChildren(...fill());
      restoreAnchor();
      refilled();
    }).observe(box);

    return {
      // Builds the items of `keys` in order with `make(key)` (a node, or
      // null to leave the key out), and puts them in `box`, a slice of
      // whole blocks of at least `perSlice` items at a time (fewer, one
      // block at least, when BUILD_MS is up first): the first slice now,
      // each next one with buildMore().
      build(keys, make, perSlice) {
        // Built again before the last build was done (a second fresh state
        // soon after the first): the item noted then is still the one.
        if (!anchor) noteAnchor();
        items = [];
        fill();
        building = {perSlice, slices: slices(keys, make)};
        // The first frame draws the rest of the page too: it builds only
        // the rows a screen can hold.
        return this.buildMore(Math.min(perSlice, Math.ceil(innerHeight / rowPx) * columns));
      },
      // The next slice (of `count` items, rounded up to whole blocks); true
      // when some are left.
      buildMore(count) {
        if (!this.building) return false;
        const size = blockSize();
        // A last block not full (keys left out, or the columns changed)
        // is made again with the new items.
        let from = items.length;
        const last = from > 0 ? of.get(items[from - 1][0]) : null;
        if (last && last.keys.length < size) {
          from -= last.keys.length;
          rendered.delete(last);
          cameIn.delete(last);
          last.node.remove();
        }
        // Whole blocks, at least one, until the slice is full or its time
        // is up: a slower machine builds fewer a frame, in frames as short.
        const want = Math.ceil((count ?? building.perSlice) / size) * size;
        const until = performance.now() + BUILD_MS;
        for (let taken = 0; taken < want && building.slices.left && (taken === 0 || performance.now() < until); taken += size) {
          items.push(...building.slices.take(size));
        }
        if (from === 0) box.replaceChildren(...makeBlocks(0));
        else box.append(...makeBlocks(from));
        restoreAnchor();
        return this.building;
      },
      get building() { return building !== null && building.slices.left; },
      measure,
      // Where an item is as of the last measure(): 'screen', 'near'
      // (rendered, off the screen) or 'skipped' (not rendered). Within a
      // block on the screen, the rows are taken as equally high (the
      // average); with some items hidden (rowsKnown false), the whole block
      // is on the screen.
      rowsKnown: true,
      where(key) {
        const block = of.get(key);
        if (!block) return 'screen';
        if (!block.onScreen) return block.skipped ? 'skipped' : 'near';
        if (!this.rowsKnown) return 'screen';
        const rowCount = Math.ceil(block.keys.length / columns);
        const row = Math.floor(at.get(key) / columns);
        const rowHeight = (block.bottom - block.top + gapPx) / rowCount;
        const top = block.top + row * rowHeight;
        return top + rowHeight - gapPx > 0 && top < innerHeight ? 'screen' : 'near';
      },
      blockOf: (key) => of.get(key)?.node,
      get columns() { return columns; },
    };
  }

  return {facility, link, lampOf, lampTesting, NO_LINK, tallyTruth, cameraState, strength, slotKey, start, addPart, clockMs, request, withToken,
          el, seconds, slices, blocks, TELLS_SKIPPED, REQUEST_DEADLINE_MS,
          // Asks for a frame: the view drew part of something outside one
          // (an observer, say) and has the rest to draw.
          drawSoon: () => { if (view) schedule(); }};
})();
