// The tally of one camera for a phone or tablet at the camera
// (/tally/NAME), or the list to choose it from (/tally/). A camera is
// either one declared in the environment ([camera.NAME], its components'
// strongest state) or a component on its own.
'use strict';

(() => {
  const {facility, el} = Live;
  const $ = (id) => document.getElementById(id);
  const name = decodeURIComponent(location.pathname.replace(/^\/tally\/?/, ''));

  const linkNote = () => `No link to the host since ${Live.link.since.toLocaleTimeString()} ` +
      `(${Live.link.reason}): this is not the live tally.`;

  // --- One camera, full screen ----------------------------------------------------

  // A lamp in doubt is not shown as the state it claims: across the room a
  // red screen says "on air" whatever the small print says.
  const DOUBT = {colour: 'doubt', word: 'IN DOUBT', shape: 'question'};

  let lastWord = '';
  function drawTally() {
    const state = Live.link.state === 'live' ? Live.cameraState(name) : null;
    const box = $('tally');
    let look;
    let note = '';
    let also = [];
    if (Live.link.state === 'down') {
      look = Live.NO_LINK;
      note = linkNote();
    } else if (Live.link.state === 'connecting') {
      look = {...Live.NO_LINK, word: 'CONNECTING'};
    } else if (!state && !facility.components.has(name) && !facility.cameras.has(name)) {
      look = {...Live.lampOf(''), word: 'NOT FOUND'};
      note = `This facility has no camera or component named "${name}".`;
    } else if (!state) {
      look = {...Live.lampOf(''), word: 'NO TALLY'};
      note = `${name} has no Tally control on its panels.`;
    } else if (Live.lampTesting()) {
      look = {colour: 'test', word: 'LAMP TEST', shape: 'disc'};
      note = 'Every tally view is lit for a few seconds: is this the camera you think it is?';
    } else if (state.doubt) {
      look = DOUBT;
      note = `Last written: ${Live.lampOf(state.text).word}, but ${state.doubt}. Ask the gallery.`;
    } else {
      look = Live.lampOf(state.text);
      also = state.others.map((text) => Live.lampOf(text));
      if (state.ended) note = `${name} has ended.`;
    }
    box.dataset.colour = look.colour;
    box.dataset.shape = look.shape;
    box.dataset.lamp = state ? state.text : '';
    box.classList.toggle('flashing', flash.on && look.colour === 'red');
    if (lastWord !== look.word) {
      $('tally-word').textContent = look.word;
      lastWord = look.word;
    }
    const mark = $('tally-also');
    mark.hidden = also.length === 0;
    mark.dataset.colour = also.length ? also[0].colour : '';
    mark.textContent = also.length ? `also ${also.map((l) => l.word).join(', ')}` : '';
    $('tally-note').textContent = note;
    document.title = `${name} · ${look.word}${also.length ? ` + ${also.map((l) => l.word).join(', ')}` : ''}`;
  }

  // Flashing on program, chosen per view (and kept for this view in this browser).
  const flash = {key: `vesk-flash:${name}`, on: false};
  function setFlash(on) {
    flash.on = on;
    $('tally-flash').setAttribute('aria-pressed', String(on));
    try { localStorage.setItem(flash.key, on ? '1' : '0'); } catch { /* private mode */ }
    drawTally();
  }

  // --- Keeping the screen on -------------------------------------------------------

  // The wake lock where the browser offers it (a secure context: HTTPS, or
  // localhost); elsewhere, a muted looping inline video started by the first
  // tap keeps a phone from locking, as a playing video does. The page says
  // which, or that neither works.
  const awake = {video: null, how: ''};
  function sayAwake(how, text) {
    awake.how = how;
    $('tally-awake').dataset.awake = how;
    $('tally-awake').textContent = text;
  }

  async function wakeLock() {
    if (!('wakeLock' in navigator) || document.visibilityState !== 'visible') return false;
    try {
      await navigator.wakeLock.request('screen');
      sayAwake('lock', '');
      return true;
    } catch {
      return false;  // refused: battery saving, or not allowed here
    }
  }

  function playingVideo() {
    if (!awake.video) {
      const canvas = el('canvas', {width: '2', height: '2'});
      const paint = canvas.getContext('2d');
      const video = el('video', {muted: '', loop: '', playsinline: '', 'aria-hidden': 'true', class: 'keep-awake'});
      video.muted = true;
      if (!canvas.captureStream) return Promise.reject(new Error('no video source'));
      video.srcObject = canvas.captureStream(1);
      // A frame now and then, so the video never stalls.
      setInterval(() => { paint.fillStyle = paint.fillStyle === '#000000' ? '#010101' : '#000000'; paint.fillRect(0, 0, 2, 2); }, 1000);
      document.body.append(video);
      awake.video = video;
    }
    return awake.video.play();
  }

  async function keepAwake(fromTap) {
    if (await wakeLock()) return;
    if (!fromTap) {
      if (awake.how !== 'video') {
        sayAwake('tap', 'Tap the screen to keep it awake (this browser gives no wake lock here).');
      } else if (awake.video.paused) {
        awake.video.play().catch(() => {});
      }
      return;
    }
    try {
      await playingVideo();
      sayAwake('video', '');
    } catch {
      sayAwake('none', 'This browser cannot keep the screen awake here: set the phone\'s auto-lock to never, ' +
          'or open the page over HTTPS (see the host guide).');
    }
  }

  // --- The picker -------------------------------------------------------------------

  // One item per camera, then one per component that belongs to no camera;
  // built once per snapshot, and each later change redraws only its items.
  const items = new Map();  // name -> {li, link, word}
  const cameraOf = new Map();  // component -> the cameras it belongs to

  function pickerLook(itemName) {
    if (Live.link.state === 'down') return {look: Live.NO_LINK, doubt: false};
    const state = Live.cameraState(itemName);
    if (!state) return {look: {colour: 'none', word: 'no tally', shape: 'none'}, doubt: false};
    if (state.doubt) return {look: DOUBT, doubt: true};
    return {look: Live.lampOf(state.text), doubt: false, also: state.others.map((t) => Live.lampOf(t).word)};
  }

  function drawItem(itemName) {
    const item = items.get(itemName);
    const {look, also} = pickerLook(itemName);
    const word = `${look.word}${also && also.length ? ` + ${also.join(', ')}` : ''}`;
    if (item.link.dataset.colour !== look.colour) item.link.dataset.colour = look.colour;
    if (item.link.dataset.shape !== look.shape) item.link.dataset.shape = look.shape;
    if (item.word.textContent !== word) item.word.textContent = word;
  }

  // A picker of ten thousand items built at once would leave a phone
  // frozen for many seconds: items are built this many a frame, in order,
  // each from the latest state (a smaller facility at once).
  const PICKER_BUILT_PER_FRAME = window.veskPickerBuiltPerFrame || 300;
  let pickerNames = [];  // [name, detail] of every item, in order
  let pickerLeft = Live.slices();

  function buildPicker() {
    items.clear();
    cameraOf.clear();
    pickerNames = [];
    for (const [camera, components] of facility.cameras) {
      pickerNames.push([camera, `camera: ${components.join(', ')}`]);
      for (const component of components) {
        if (!cameraOf.has(component)) cameraOf.set(component, []);
        cameraOf.get(component).push(camera);
      }
    }
    for (const component of facility.components.keys()) {
      if (!cameraOf.has(component) && !facility.cameras.has(component)) pickerNames.push([component, '']);
    }
    $('picker-list').replaceChildren();
    pickerLeft = Live.slices(pickerNames, buildPickerItem);
    return buildPickerItems();
  }

  function buildPickerItem([itemName, detail]) {
    const word = el('span', {class: 'picker-word'});
    const link = el('a', {href: Live.withToken(`/tally/${encodeURIComponent(itemName)}`)},
        el('span', {class: 'chip', 'aria-hidden': 'true'}),
        el('span', {class: 'picker-name', text: itemName}), word);
    if (detail) link.title = detail;
    const li = el('li', {'data-item': itemName, 'data-kind': detail ? 'camera' : 'component'}, link);
    items.set(itemName, {li, link, word});
    drawItem(itemName);
    return li;
  }

  // The next slice of items; true when some are left.
  function buildPickerItems() {
    $('picker-list').append(...pickerLeft.take(PICKER_BUILT_PER_FRAME).map(([, li]) => li));
    filterPicker();
    return pickerLeft.left;
  }

  function filterPicker() {
    const text = $('picker-filter').value.trim().toLowerCase();
    let shown = 0;
    for (const [itemName, item] of items) {
      const visible = !text || itemName.toLowerCase().includes(text);
      if (item.li.hidden === visible) item.li.hidden = !visible;
      if (visible) shown += 1;
    }
    drawPickerLink(shown);
  }

  function drawPickerLink(shown = null) {
    const state = Live.link.state;
    const count = shown ?? [...items.values()].filter((item) => !item.li.hidden).length;
    $('picker-link').textContent = state === 'live'
        ? `${count === pickerNames.length ? '' : `${count} of `}${pickerNames.length} cameras and components`
        : state === 'down' ? `No link to the host (${Live.link.reason}): not the live state` : 'connecting…';
    $('picker-link').dataset.link = state;
  }

  function drawPicker(changes) {
    if (changes.all) return buildPicker();
    // Items not built yet are built from the latest state.
    for (const component of changes.components) {
      if (items.has(component)) drawItem(component);
      for (const camera of cameraOf.get(component) || []) if (items.has(camera)) drawItem(camera);
    }
    return pickerLeft.left && buildPickerItems();
  }

  function pickerLinkChanged() {
    drawPickerLink();
    for (const itemName of items.keys()) drawItem(itemName);
  }

  if (name) {
    $('tally').hidden = false;
    $('tally-name').textContent = name;
    try { flash.on = new URLSearchParams(location.search).get('flash') === '1' || localStorage.getItem(flash.key) === '1'; } catch { /* none kept */ }
    $('tally-flash').setAttribute('aria-pressed', String(flash.on));
    $('tally-flash').addEventListener('click', () => setFlash(!flash.on));
    keepAwake(false);
    document.addEventListener('visibilitychange', () => keepAwake(false));
    document.addEventListener('pointerdown', () => { if (awake.how === 'tap') keepAwake(true); });
    Live.start({draw: drawTally, link: drawTally});
  } else {
    $('picker').hidden = false;
    $('picker-filter').addEventListener('input', filterPicker);
    Live.start({draw: drawPicker, link: pickerLinkChanged});
  }
})();
