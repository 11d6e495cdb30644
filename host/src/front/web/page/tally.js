// The tally of one component for a phone or tablet at the camera
// (/tally/NAME), or the list to choose it from (/tally/).
'use strict';

(() => {
  const {facility, el} = Live;
  const $ = (id) => document.getElementById(id);
  const name = decodeURIComponent(location.pathname.replace(/^\/tally\/?/, ''));

  // --- One component, full screen -------------------------------------------------

  let lastWord = '';
  function drawTally() {
    const component = facility.components.get(name);
    const box = $('tally');
    let look;
    let note = '';
    if (Live.link.state === 'down') {
      look = Live.NO_LINK;
      note = `No link to the host since ${Live.link.since.toLocaleTimeString()}: this is not the live tally.`;
    } else if (Live.link.state === 'connecting') {
      look = {...Live.NO_LINK, word: 'CONNECTING'};
    } else if (!component) {
      look = {...Live.lampOf(''), word: 'NOT FOUND'};
      note = `This facility has no component named "${name}".`;
    } else if (!component.tallyControl) {
      look = {...Live.lampOf(''), word: 'NO TALLY'};
      note = `${name} has no Tally control on its panels.`;
    } else {
      look = Live.lampOf(component.tallyControl.text);
      const {doubt} = Live.tallyTruth(component);
      if (component.alive === false) note = `${name} has ended.`;
      else if (doubt) note = `In doubt: ${doubt}`;
    }
    box.dataset.colour = look.colour;
    box.dataset.shape = look.shape;
    box.dataset.lamp = component && component.tallyControl ? component.tallyControl.text : '';
    if (lastWord !== look.word) {
      $('tally-word').textContent = look.word;
      lastWord = look.word;
    }
    $('tally-note').textContent = note;
    document.title = `${name} · ${look.word}`;
  }

  // Keeps the screen on where the browser allows it; a lock is let go when
  // the page is hidden, so it is asked for again when it shows.
  async function keepAwake() {
    if (!('wakeLock' in navigator) || document.visibilityState !== 'visible') return;
    try {
      await navigator.wakeLock.request('screen');
    } catch {
      // Not allowed here (no secure context, or battery saving): the screen may dim.
    }
  }

  // --- The picker -------------------------------------------------------------------

  function drawPicker() {
    const state = Live.link.state;
    $('picker-link').textContent = state === 'live'
        ? `${facility.components.size} components` : state === 'down' ? 'No link to the host' : 'connecting…';
    $('picker-link').dataset.link = state;
    const items = [...facility.components.values()].map((component) => {
      const text = component.tallyControl ? component.tallyControl.text : '';
      const look = state === 'down' ? Live.NO_LINK : Live.lampOf(text);
      return el('li', {},
          el('a', {href: Live.withToken(`/tally/${encodeURIComponent(component.name)}`),
                   'data-colour': component.tallyControl ? look.colour : 'none', 'data-shape': look.shape},
             el('span', {class: 'chip', 'aria-hidden': 'true'}),
             el('span', {class: 'picker-name', text: component.name}),
             el('span', {class: 'picker-word', text: component.tallyControl ? look.word : 'no tally'})));
    });
    $('picker-list').replaceChildren(...items);
  }

  if (name) {
    $('tally').hidden = false;
    $('tally-name').textContent = name;
    keepAwake();
    document.addEventListener('visibilitychange', keepAwake);
    Live.start({draw: drawTally, link: drawTally});
  } else {
    $('picker').hidden = false;
    Live.start({draw: drawPicker, link: drawPicker});
  }
})();
