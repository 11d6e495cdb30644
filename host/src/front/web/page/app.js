// The live facility page: a card per component, the drivers, the send form
// and the timeline, drawn from the model of live.js.
'use strict';

(() => {
  const {facility, el, seconds, slotKey} = Live;
  const $ = (id) => document.getElementById(id);
  const FLASH_LIMIT = 100;  // a frame with more changes than this does not flash them

  // --- Lamps ---------------------------------------------------------------------

  const SHAPE_GLYPHS = {disc: '●', triangle: '▲', square: '■', ring: '○', question: '?', cross: '✕'};

  // Draws a lamp: data-lamp holds the text, data-colour the look, the
  // caption and the accessible label say the state in words.
  function drawLamp(lamp, name, text, linked, doubt) {
    const look = linked ? Live.lampOf(text) : Live.NO_LINK;
    const label = `${name} tally: ${look.word.toLowerCase()}${linked && doubt ? ` (in doubt: ${doubt})` : ''}`;
    if (lamp.dataset.lamp === text && lamp.dataset.colour === look.colour &&
        lamp.getAttribute('aria-label') === label) return false;
    const changed = lamp.dataset.lamp !== text && lamp.dataset.lamp !== undefined;
    lamp.dataset.lamp = text;
    lamp.dataset.colour = look.colour;
    lamp.dataset.shape = look.shape;
    // Texts changed in place: a new text node would be laid out afresh.
    lamp.firstChild.firstChild.data = SHAPE_GLYPHS[look.shape] || '';
    lamp.lastChild.firstChild.data = look.caption;
    lamp.setAttribute('aria-label', label);
    lamp.title = linked ? `Tally = "${text}"` : 'No link to the host: this is not the live state';
    return changed;
  }

  // One polite message per frame for the lamps that changed.
  const announced = [];
  function announce(name, text) {
    announced.push(`${name} ${Live.lampOf(text).word.toLowerCase()}`);
  }
  function flushAnnouncements() {
    if (announced.length === 0) return;
    $('announce').textContent = announced.length > 4
        ? `${announced.length} lamps changed` : announced.join(', ');
    announced.length = 0;
  }

  // --- Component cards -------------------------------------------------------------

  // name -> {card, lamp, lands, warnings, values: Map(control -> cell),
  //          changedControls: the controls whose change is not drawn yet}
  const cards = new Map();

  // Alarm controls ("alm_...") show their level and last group action; the
  // levels as the kit's alarm panels use them.
  const ALARM_CONTROL = /^alm_/i;
  const ALARM_LEVELS = ['normal', 'in alarm', 'warning', 'fault', 'acknowledged', 'inhibited'];
  function controlCellText(control) {
    if (!ALARM_CONTROL.test(control.id)) return control.text;
    const props = control.properties || {};
    const level = props.value === undefined ? '' : String(props.value);
    const named = ALARM_LEVELS[Number(level)];
    const shown = level === '' ? 'no level' : named && /^[0-5]$/.test(level) ? `${level} ${named}` : `level ${level}`;
    return `${control.text} · ${shown}` + (props.alarm ? ` · last action "${props.alarm}"` : '');
  }
  function markAlarmCell(cell, control) {
    if (!ALARM_CONTROL.test(control.id)) return;
    cell.classList.add('alarm');
    const level = String((control.properties || {}).value ?? '');
    if (cell.dataset.level !== level) cell.dataset.level = level;
  }

  function buildCard(component) {
    const lamp = el('div', {class: 'lamp', role: 'img', 'data-component-lamp': component.name},
                    el('span', {class: 'lamp-shape', 'aria-hidden': 'true'}, document.createTextNode('')),
                    el('span', {class: 'lamp-caption'}, document.createTextNode('')));
    if (!component.tallyControl) lamp.hidden = true;
    const values = new Map();
    const rows = el('dl', {class: 'controls'});
    for (const panel of component.panels || []) {
      for (const control of panel.controls || []) {
        const value = el('dd', {'data-control': control.id, 'data-panel': panel.id, text: controlCellText(control)});
        markAlarmCell(value, control);
        values.set(control, value);
        rows.append(el('dt', {text: control.label || control.id, title: control.id}), value);
      }
    }
    const lands = el('p', {class: 'lands'}, document.createTextNode(''),
                     el('strong', {class: 'doubt-note', hidden: true}, document.createTextNode('')));
    const warnings = el('ul', {class: 'card-warnings', 'aria-label': `Warnings about ${component.name}`});
    const card = el('article', {class: 'card', 'data-component': component.name},
        el('header', {},
           el('h3', {text: component.name}),
           el('span', {class: 'plugin', text: (component.plugin || '').split(/[\\/]/).pop(),
                       title: component.plugin || ''}),
           component.alive === false ? el('span', {class: 'badge gone', text: 'ended'}) : ''),
        lamp, lands, rows, warnings);
    if (component.alive === false) card.classList.add('ended');
    const drawn = {card, lamp, lands, warnings, values, warningsShown: '', changedControls: new Set()};
    cards.set(component.name, drawn);
    drawCardFacts(component, drawn, false);
    return card;
  }

  function drawCardFacts(component, drawn, flash) {
    const linked = Live.link.state !== 'down';
    const {write, doubt} = Live.tallyTruth(component);
    if (component.tallyControl) {
      if (drawLamp(drawn.lamp, component.name, component.tallyControl.text, linked, doubt) && flash) {
        announce(component.name, component.tallyControl.text);
      }
    }
    drawn.card.classList.toggle('doubt', !!doubt);
    const lands = write
        ? `Tally lands in info ${slotKey(write.device, write.slot)}, last written "${write.text}" at ${seconds(write.time_ms)} s`
        : 'Tally not written yet';
    if (drawn.landsShown !== lands + doubt) {
      drawn.landsShown = lands + doubt;
      const key = write ? slotKey(write.device, write.slot) : '';
      if (drawn.lands.dataset.lands !== key) drawn.lands.dataset.lands = key;
      // Changed in place, so that only these texts are laid out again.
      const [line, note] = drawn.lands.childNodes;
      line.data = lands;
      note.hidden = !doubt;
      note.firstChild.data = doubt ? `⚠ ${doubt}` : '';
    }
    const shown = component.warnings.map((w) => `${w.time_ms}:${w.text}`).join('\n');
    if (shown !== drawn.warningsShown) {
      drawn.warningsShown = shown;
      drawn.warnings.replaceChildren(...component.warnings.map((w) =>
          el('li', {text: `${seconds(w.time_ms)} s · ${w.text}`})));
    }
  }

  // Cards are built a slice of whole blocks a frame, this many (rounded up
  // to whole blocks) or fewer when the frame's time to build is up, each
  // from the latest state (a smaller facility at once).
  const CARDS_BUILT_PER_FRAME = window.veskCardsBuiltPerFrame || 300;
  let allNames = [];  // the components, in order, as last drawn whole

  function drawComponents() {
    cards.clear();
    pending.clear();
    unseen.clear();
    allNames = [...facility.components.keys()];
    cardBlocks.build(allNames, (name) => {
      const component = facility.components.get(name);
      return component ? buildCard(component) : null;
    }, CARDS_BUILT_PER_FRAME);
    if (!allNames.length) $('components').replaceChildren(el('p', {class: 'empty', text: 'No components in this facility.'}));
    // The send form's list: the component chosen stays chosen.
    const select = $('send-component');
    const chosen = select.value;
    const held = facility.components.has(chosen) ? new Option(chosen, chosen, true, true) : null;
    select.replaceChildren(...(held ? [held] : []));
    listing = Live.slices(allNames, (name) => (!facility.components.has(name) ? null
        : name === held?.value ? held : new Option(name, name)));
    listComponents();
  }

  // Ten thousand choices in a list cost the browser about as much as the
  // cards: listed in slices too, the first with the first cards, the rest
  // after the cards. True when some are left.
  // The one chosen before stays first until its turn comes.
  const LISTED_PER_FRAME = CARDS_BUILT_PER_FRAME * 2;
  let listing = Live.slices();
  function listComponents() {
    const select = $('send-component');
    const chosen = select.value;
    select.append(...listing.take(LISTED_PER_FRAME).map(([, option]) => option));
    if (chosen) select.value = chosen;
    return listing.left;
  }

  // A card the browser renders costs a style, layout and paint of its own
  // when it changes; one out of view costs nothing until it comes into view
  // (its block is skipped). Under a flood that changes every card on the
  // screen in one frame, that frame would take as long as all of them: so
  // at most this many rendered cards are drawn per frame, the others in
  // the next frames, oldest first and always from the latest state. A card
  // is drawn whole (lamp, values and "lands" line), so that its lamp never
  // disagrees with its values.
  const CARDS_PER_FRAME = 5;
  // Cards out of view are not drawn with the change: a cut of ten thousand
  // cameras would otherwise write ten thousand cards nobody sees. Each is
  // drawn as it comes into view, and meanwhile in slices of this many
  // milliseconds a frame, so that the page is complete soon after a burst.
  const OUT_OF_VIEW_MS = 3;
  // A browser that cannot say which cards it skips gets every card drawn at
  // once: capped, the cards out of view would queue behind the others.
  const TELLS_SKIPPED = Live.TELLS_SKIPPED;
  const pending = new Set();  // rendered cards with changes not drawn yet, in order
  const unseen = new Set();   // cards out of view with changes not drawn yet, in order
  // Blocks of four rows of cards (at least 20 cards). The cards of the
  // blocks on the screen are drawn first (20 to 40 at 1366 x 900), those
  // of blocks rendered around them with the cards out of view.
  const cardBlocks = Live.blocks({
    box: $('components'), itemPx: 230, gapPx: 14, rows: 4, minItems: 20, rowPx: 254,
    // Changed while out of view: drawn before they are seen.
    shown: (names) => { for (const name of names) if (unseen.has(name)) drawCard(name, false, true); },
  });

  function drawCard(name, flash, quiet = false) {
    const drawn = cards.get(name);
    const component = facility.components.get(name);
    unseen.delete(name);
    if (!drawn || !component) return;
    for (const control of drawn.changedControls) {
      const cell = drawn.values.get(control);
      if (!cell) continue;
      const label = control.label || control.id;
      if (cell.previousElementSibling.textContent !== label) cell.previousElementSibling.textContent = label;
      markAlarmCell(cell, control);
      const text = controlCellText(control);
      if (cell.textContent === text) continue;
      cell.textContent = text;
      if (flash) flashNode(cell);
    }
    drawn.changedControls.clear();
    drawCardFacts(component, drawn, !quiet);
  }

  // Draws the oldest of `waiting` (a Set of keys) with `draw` for about
  // `ms` milliseconds; true when some are left.
  function drawSlice(waiting, draw, ms) {
    const until = performance.now() + ms;
    let n = 0;
    for (const key of waiting.keys()) {
      if (++n % 16 === 0 && performance.now() > until) return true;
      waiting.delete(key);
      draw(key);
    }
    return false;
  }

  // True when cards wait for the next frame.
  function drawChangedComponents(changes, flash) {
    const names = new Set(changes.components);
    for (const [control, name] of changes.controls) {
      const drawn = cards.get(name);
      if (!drawn) continue;
      drawn.changedControls.add(control);
      names.add(name);
    }
    if (names.size > 0) cardBlocks.measure();
    for (const name of names) {
      if (!cards.has(name)) continue;  // not built yet: it will be, from the latest state
      if (!TELLS_SKIPPED) drawCard(name, flash);
      else if (cardBlocks.where(name) !== 'screen') {
        // Off the screen: announced now, from the model; drawn later without a word.
        const drawn = cards.get(name);
        const control = facility.components.get(name)?.tallyControl;
        if (drawn && control && !unseen.has(name) && drawn.lamp.dataset.lamp !== control.text) announce(name, control.text);
        unseen.add(name);
      } else {
        pending.add(name);
      }
    }
    let budget = CARDS_PER_FRAME;
    for (const name of pending) {
      if (budget-- === 0) break;
      pending.delete(name);
      drawCard(name, flash);
    }
    drawSlice(unseen, (name) => drawCard(name, false, true), OUT_OF_VIEW_MS);
    return pending.size > 0 || unseen.size > 0;
  }

  // A short highlight without forcing a layout: two animations, alternately.
  // Under a flood of changes highlights would only cost time: a few per second.
  const flashes = {second: 0, count: 0};
  function flashNode(node) {
    const second = Math.floor(performance.now() / 1000);
    if (flashes.second !== second) Object.assign(flashes, {second, count: 0});
    if (++flashes.count > 50) return;
    const again = node.classList.contains('changed');
    node.classList.toggle('changed', !again);
    node.classList.toggle('changed-again', again);
  }

  // --- Drivers --------------------------------------------------------------------

  const gpiRows = new Map();
  const infoRows = new Map();
  const cleared = {gpi: new Set(), info: new Set()};  // unregistered entries taken off the list

  function compareKeys(a, b) {
    const [a1, a2] = a.split('.').map(Number);
    const [b1, b2] = b.split('.').map(Number);
    return a1 - b1 || a2 - b2;
  }

  const sortedKeys = (keys) => keys.sort(compareKeys);

  function drawBadge(cell, registered) {
    const badge = cell.firstChild;
    if (badge && badge.dataset.registered === String(!!registered)) return;
    cell.replaceChildren(registeredBadge(registered));
  }

  function registeredBadge(registered) {
    return el('span', {class: registered ? 'badge registered' : 'badge', 'data-registered': String(!!registered),
                       text: registered ? 'registered' : 'not registered'});
  }

  function gpiWord(state) {
    if (state === 1) return 'closed';
    if (state === 0) return 'open';
    return `state ${state}`;
  }

  // A row drawn while there is no link (a large table that came near the
  // screen meanwhile) starts disabled, like the controls drawn before.
  function offWithoutLink(control) {
    if (Live.link.state === 'down') takeOff(control);
  }

  // Disabled for want of a link, and marked so that the link's return enables it.
  function takeOff(control) {
    control.disabled = true;
    control.dataset.linkOff = '';
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
      row = el('tr', {'data-gpi-row': key}, el('td', {class: 'address', text: key}),
               el('td', {}, button, el('span', {class: 'gpi-value', 'aria-hidden': 'true'})), el('td'));
      gpiRows.set(key, row);
      offWithoutLink(button);
    }
    const button = row.cells[1].firstChild;
    const word = gpiWord(input.state);
    if (button.dataset.state !== String(input.state)) {
      button.dataset.state = String(input.state);
      button.setAttribute('aria-pressed', String(input.state === 1));
      button.setAttribute('aria-label', `GPI ${key}, ${word}`);
      button.textContent = word;
      row.cells[1].lastChild.textContent = String(input.state);
    }
    drawBadge(row.cells[2], input.registered);
    return row;
  }

  function drawInfoRow(key, flash) {
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
      offWithoutLink(field);
    }
    const field = row.cells[1].firstChild;
    if (!field.dataset.editing && field.value !== slot.text) {
      // A field someone has just selected whole stays selected whole, so what
      // they type next replaces the new text instead of landing after it.
      const wholeSelected = document.activeElement === field && field.selectionStart === 0 &&
                            field.selectionEnd === field.value.length;
      field.value = slot.text;
      if (wholeSelected) field.select();
      if (flash) flashNode(field);
    }
    if (field.dataset.text !== slot.text) field.dataset.text = slot.text;
    drawBadge(row.cells[2], slot.registered);
    return row;
  }

  // A table of more rows than this, drawn whole (with a snapshot, say) while
  // far from the screen, gets its rows only as it comes near: ten thousand
  // rows nobody looks at would be styled and laid out whenever something
  // looks at them (a browser's form filler reads every field of a page after
  // a change), and a burst would spend milliseconds a frame drawing them.
  // Once drawn, they stay, and are kept up to date as before.
  // (The browser tests set a smaller limit through veskRowsOutOfView.)
  const ROWS_OUT_OF_VIEW = Number(window.veskRowsOutOfView) || 500;
  // behind: its rows wait for it to come near; size: its entries when last
  // drawn (or left behind); rowsLeft, keysLeft: the rows still to build
  // ([section, key] in order) and their keys (see buildRows).
  const tables = {};
  for (const which of ['gpi', 'info']) tables[which] = {behind: false, size: 0, rowsLeft: Live.slices(), keysLeft: new Set()};
  function stopBuildingRows(which) {
    tables[which].rowsLeft = Live.slices();
    tables[which].keysLeft.clear();
  }
  const DRIVER_ROW_PX = 34;  // the height of every row of these tables (style.css)
  const near = new IntersectionObserver((entries) => {
    for (const entry of entries) {
      const which = entry.target.dataset.rows;
      if (entry.isIntersecting && tables[which].behind && drawDrivers(which)) Live.drawSoon();
    }
  }, {rootMargin: '100% 0px'});
  for (const which of ['gpi', 'info']) {
    $(`${which}-table`).dataset.rows = which;
    near.observe($(`${which}-table`));
  }
  // Entries that a component registered are listed first; forces of inputs
  // and slots that nobody registered are listed apart and can be cleared.
  // True when rows are left to build in the next frames.
  // A table's entries, its rows by key, how a row is drawn, and its id.
  function driversOf(which) {
    return which === 'gpi' ? [facility.gpi, gpiRows, drawGpiRow, 'gpi-table']
        : [facility.info, infoRows, drawInfoRow, 'info-table'];
  }
  const rowKey = (row) => row.dataset.gpiRow ?? row.dataset.slotRow;

  function drawDrivers(which) {
    unseenRows[which].clear();
    const [map, rows, draw, table] = driversOf(which);
    const none = which === 'gpi' ? 'No GPI inputs yet.' : 'No info slots yet.';
    for (const key of [...rows.keys()]) if (!map.has(key)) rows.delete(key);
    // Where the table is now: the observer tells only after the next frame
    // (cards drawn with a snapshot may just have pushed it far down).
    const box = $(table).getBoundingClientRect();
    const nearNow = box.bottom > -innerHeight && box.top < 2 * innerHeight;
    tables[which].behind = !nearNow && map.size > ROWS_OUT_OF_VIEW;
    tables[which].size = map.size;
    const [known, loose] = [[], []];
    for (const key of sortedKeys([...map.keys()])) {
      if (map.get(key).registered) known.push(key);
      else if (!cleared[which].has(key)) loose.push(key);
    }
    const [body, apart] = [$(table).tBodies[0], $(table).querySelector(':scope > tbody.apart')];
    $(table).closest('.panel').classList.toggle('rows-behind', tables[which].behind);
    stopBuildingRows(which);
    for (const group of $(table).querySelectorAll(':scope > tbody[data-section]')) group.remove();
    if (tables[which].behind) {
      // No row out of date is ever on the screen: the table is empty until
      // drawn, and as high as its rows will be, so that drawing them does
      // not move what is below it (the other table, as both come into view).
      body.replaceChildren();
      apart.replaceChildren();
      body.style.height = `${Math.max(1, known.length) * DRIVER_ROW_PX}px`;
      apart.style.height = `${loose.length ? (loose.length + 1) * DRIVER_ROW_PX : 0}px`;
      return false;
    }
    body.style.height = apart.style.height = '';
    body.replaceChildren(...(known.length ? [] : [el('tr', {class: 'empty'}, el('td', {colspan: '3', text: none}))]));
    const clear = el('button', {type: 'button', class: 'quiet clear', 'data-clear': which, text: 'Clear this list'});
    clear.addEventListener('click', () => {
      for (const key of map.keys()) if (!map.get(key).registered) cleared[which].add(key);
      if (drawDrivers(which)) Live.drawSoon();
    });
    offWithoutLink(clear);
    apart.replaceChildren(...(loose.length
        ? [el('tr', {class: 'apart'}, el('th', {colspan: '2', scope: 'rowgroup',
                                               text: which === 'gpi' ? 'Registered by no component'
                                                   : 'Registered by no component: tally outputs and stray forces'}),
              el('td', {}, clear))]
        : []));
    const sliced = known.length + loose.length > ROWS_BUILT_PER_FRAME;
    // Each row goes in its group, made beforehand; while the rows come, each
    // group is as high as its rows will be, so that what is below stays put.
    const grouped = (keys, section, before) => {
      const placed = [];
      for (let first = 0; first < keys.length; first += ROWS_A_GROUP) {
        const group = rowGroup(section, Math.min(ROWS_A_GROUP, keys.length - first), sliced);
        $(table).insertBefore(group, before);
        for (const key of keys.slice(first, first + ROWS_A_GROUP)) placed.push([group, key]);
      }
      return placed;
    };
    const order = [...grouped(known, 'known', apart), ...grouped(loose, 'apart', null)];
    if (sliced) tables[which].keysLeft = new Set([...known, ...loose]);
    tables[which].rowsLeft = Live.slices(order, ([, key]) => (map.has(key) ? draw(key, false) : null));
    return buildRows(which);
  }

  // A table's rows are kept in groups of this many, each a section of the
  // table that the browser lays out only while it is near the screen
  // (style.css): a change to a row out of view costs no layout, and one in
  // view lays out its group, not ten thousand rows. A group that rows
  // inserted one by one make twice as long is split.
  const ROWS_A_GROUP = 100;
  // The groups the browser says it does not skip (on or near the screen):
  // their rows are drawn with a change, and a group that comes into view has
  // its rows that wait for their turn drawn at once. (A browser that does
  // not say has the rows of every group drawn in their turn.)
  const shownGroups = new WeakSet();
  // An empty group for this many rows, of the registered entries ('known')
  // or of those listed apart; as high as they will be if they are to come.
  function rowGroup(section, rows, reserve = false) {
    const group = el('tbody', {'data-section': section});
    group.style.containIntrinsicHeight = `auto ${rows * DRIVER_ROW_PX}px`;
    if (reserve) group.style.height = `${rows * DRIVER_ROW_PX}px`;
    group.addEventListener('contentvisibilityautostatechange', (event) => {
      if (event.skipped) {
        shownGroups.delete(group);
        return;
      }
      shownGroups.add(group);
      const which = group.closest('table').dataset.rows;
      const waiting = unseenRows[which];
      if (!waiting.size) return;
      const [map, , draw] = driversOf(which);
      for (const row of group.rows) {
        const key = rowKey(row);
        if (waiting.delete(key) && map.has(key)) draw(key, false);
      }
    });
    return group;
  }

  // Ten thousand rows built at once would keep the page from answering for
  // a second or two as the table comes near: they are built this many a
  // frame, in order, each from the latest state (a smaller table at once).
  // Until the last, a change to a row not built yet waits for its turn.
  const ROWS_BUILT_PER_FRAME = window.veskRowsBuiltPerFrame || 150;
  // The next slice of rows; true when some are left.
  function buildRows(which) {
    const {rowsLeft, keysLeft} = tables[which];
    for (const [[section, key], row] of rowsLeft.take(ROWS_BUILT_PER_FRAME)) {
      section.append(row);
      keysLeft.delete(key);
    }
    if (rowsLeft.left) return true;
    keysLeft.clear();
    for (const section of $(`${which}-table`).tBodies) section.style.height = '';
    return false;
  }

  // A new entry goes in its place among the rows already listed, so that a
  // burst that brings a thousand new slots does not rebuild the table for
  // each frame. False when the table must be drawn again as a whole.
  function insertRow(which, key) {
    const [map, , draw, table] = driversOf(which);
    // (A group whose entries all went while it was built is left empty.)
    const groups = [...$(table).querySelectorAll(`:scope > tbody[data-section="${map.get(key).registered ? 'known' : 'apart'}"]`)]
        .filter((group) => group.rows.length);
    if (!groups.length) return false;
    // Where in the list the first key not before this one is.
    const after = (list, keyAt) => {
      let low = 0;
      let high = list.length;
      while (low < high) {
        const middle = (low + high) >> 1;
        if (compareKeys(keyAt(list[middle]), key) < 0) low = middle + 1;
        else high = middle;
      }
      return low;
    };
    // In the last group that starts before it (or the first).
    const group = groups[Math.max(0, after(groups, (g) => rowKey(g.rows[0])) - 1)];
    group.insertBefore(draw(key, false), group.rows[after(group.rows, rowKey)] || null);
    if (group.rows.length >= 2 * ROWS_A_GROUP) {
      const rest = rowGroup(group.dataset.section, group.rows.length - ROWS_A_GROUP);
      rest.append(...[...group.rows].slice(ROWS_A_GROUP));
      group.after(rest);
    }
    group.style.containIntrinsicHeight = `auto ${group.rows.length * DRIVER_ROW_PX}px`;
    return true;
  }

  // The rows of a change in groups the browser does not skip are drawn at
  // once, and the others while they are few; past this many in a frame (a
  // cut of every camera changes ten thousand inputs and slots) the rest
  // wait and are drawn in slices, oldest first, a few milliseconds a frame,
  // always from the latest state.
  // (The browser tests set smaller sizes through veskRowsAtOnce and veskRowsMs.)
  const ROWS_AT_ONCE = Number(window.veskRowsAtOnce) || 100;
  const ROWS_MS = Number(window.veskRowsMs) || 2;
  const unseenRows = {gpi: new Set(), info: new Set()};  // keys of rows not drawn yet, in order

  // True when rows wait for the next frame.
  function drawChangedDrivers(which, keys, flash) {
    const [map, rows, draw] = driversOf(which);
    const waiting = unseenRows[which];
    if (keys.size > 0 && tables[which].behind) {
      // Drawn whole as the table comes near the screen; an entry taken off
      // the list that changed again is listed again then.
      for (const key of keys) if (!map.get(key)?.registered) cleared[which].delete(key);
      // New entries make the empty table as high as its rows again.
      if (tables[which].size !== map.size) drawDrivers(which);
      return false;
    }
    let regroup = false;
    let now = 0;  // rows drawn at once in this frame
    const added = [];
    for (const key of keys) {
      const entry = map.get(key);
      if (!entry.registered && cleared[which].delete(key)) regroup = true;  // it changed again: list it
      if (tables[which].keysLeft.has(key)) continue;  // built from the latest state in its turn
      const row = rows.get(key);
      if (!row) added.push(key);
      else if (shownGroups.has(row.parentNode)) {
        waiting.delete(key);  // in view: drawn with the change
        draw(key, flash);
      } else if (now < ROWS_AT_ONCE && !waiting.has(key)) {
        now += 1;
        draw(key, flash);
      } else {
        waiting.add(key);
      }
    }
    // (A new entry goes in its place only among rows all built.)
    if (!regroup) regroup = !added.every((key) => !tables[which].rowsLeft.left && insertRow(which, key));
    if (regroup) {
      waiting.clear();
      return drawDrivers(which);
    }
    drawSlice(waiting, (key) => { if (map.has(key)) draw(key, false); }, ROWS_MS);
    return waiting.size > 0;
  }

  // --- Bridges ----------------------------------------------------------------------

  function drawBridges() {
    const section = $('bridges-section');
    const bridges = [...facility.bridges.values()];
    section.hidden = bridges.length === 0;
    $('bridges-table').tBodies[0].replaceChildren(...bridges.map((b) => el('tr', {'data-bridge': b.name},
        el('td', {text: b.name}),
        el('td', {text: `${b.direction} TSL ${b.version ?? '5.0'} ${b.protocol} ${b.address}`}),
        el('td', {class: `bridge-${b.state}`, text: b.state}),
        el('td', {class: 'count', text: `${b.packets_in ?? 0} in · ${b.packets_out ?? 0} out`}),
        el('td', {class: 'bridge-error', text: b.last_error || ''}))));
  }

  // --- Timeline: a bounded, virtualised list ------------------------------------------

  // The list scrolls in reverse (scrollTop 0 is the newest end), so that it
  // follows new events without the page setting a scroll position, and the
  // drawing never reads a size: both would force a layout every frame.
  const ROW_PX = 20;
  const timeline = {box: $('timeline'), space: $('timeline-space'), rows: [], viewPx: 560, scroll: 0,
                    paused: null, onlyWarnings: false, text: ''};

  const isWarning = (event) => event.kind === 'warning' || event.kind === 'failure' || event.kind === 'error';

  function timelineRow() {
    const row = el('div', {class: 'row', role: 'listitem'},
                   el('span', {class: 'time'}), el('span', {class: 'kind'}),
                   el('span', {class: 'who'}), el('span', {class: 'text'}));
    timeline.space.append(row);
    timeline.rows.push(row);
    return row;
  }

  function drawTimeline() {
    const source = timeline.paused || facility.timeline;
    const filtered = timeline.onlyWarnings || timeline.text;
    const events = filtered ? source.filter((event) => (!timeline.onlyWarnings || isWarning(event)) &&
        (!timeline.text || `${event.kind} ${event.component || ''} ${event.text}`.toLowerCase().includes(timeline.text))) : source;
    const dropped = facility.timelineDropped > 0 && !filtered;
    const count = events.length + (dropped ? 1 : 0);
    timeline.space.style.height = `${count * ROW_PX}px`;
    const top = count * ROW_PX - timeline.viewPx + timeline.scroll;
    const first = Math.max(0, Math.floor(top / ROW_PX) - 5);
    const last = Math.min(count, first + Math.ceil(timeline.viewPx / ROW_PX) + 10);
    // Row i of the list is always drawn by the same element of the pool, so
    // a row that stays in view is not drawn again.
    const pool = Math.ceil(timeline.viewPx / ROW_PX) + 10;
    while (timeline.rows.length < pool) timelineRow();
    const used = new Set();
    for (let i = first; i < last; i += 1) {
      const row = timeline.rows[i % pool];
      used.add(row);
      row.hidden = false;
      const event = dropped ? (i === 0 ? null : events[i - 1]) : events[i];
      const key = `${i}:${event ? event.seq : 'dropped'}:${facility.timelineDropped}`;
      if (row.dataset.key === key) continue;
      row.dataset.key = key;
      row.style.top = `${i * ROW_PX}px`;
      const [time, kind, who, text] = row.children;
      if (!event) {
        row.className = 'row dropped';
        row.dataset.kind = 'dropped';
        time.textContent = kind.textContent = who.textContent = '';
        text.textContent = `${facility.timelineDropped} earlier events are no longer kept`;
        text.title = '';
        continue;
      }
      row.className = `row kind-${event.kind}${isWarning(event) ? ' warn' : ''}`;
      row.dataset.kind = event.kind;
      time.textContent = seconds(event.time_ms);
      kind.textContent = event.kind;
      who.textContent = event.component || '';
      text.textContent = event.text.replace(/\n/g, ' ⏎ ');
      text.title = event.text;
    }
    for (const row of timeline.rows) if (!used.has(row)) row.hidden = true;
    const waiting = timeline.paused ? facility.seq - 1 - (timeline.paused.at(-1)?.seq ?? -1) : 0;
    $('timeline-pause').textContent = timeline.paused ? `Resume (${waiting} new)` : 'Pause';
  }

  // Out of view the panel is neither styled nor laid out, yet writing its
  // rows would still cost every frame of a flood some milliseconds: it is
  // drawn as it comes into view instead.
  timeline.skipped = false;
  timeline.box.closest('.timeline-panel').addEventListener('contentvisibilityautostatechange', (e) => {
    timeline.skipped = e.skipped;
    if (!e.skipped) drawTimeline();
  });

  let scrollFrame = 0;
  timeline.box.addEventListener('scroll', () => {
    timeline.scroll = timeline.box.scrollTop;
    if (!scrollFrame) scrollFrame = requestAnimationFrame(() => { scrollFrame = 0; drawTimeline(); });
  }, {passive: true});
  new ResizeObserver(() => {
    timeline.viewPx = timeline.box.clientHeight || 560;
    drawTimeline();
  }).observe(timeline.box);

  $('timeline-pause').addEventListener('click', () => {
    timeline.paused = timeline.paused ? null : facility.timeline.slice();
    $('timeline-pause').setAttribute('aria-pressed', String(!!timeline.paused));
    drawTimeline();
  });

  $('only-warnings').addEventListener('change', (e) => {
    timeline.onlyWarnings = e.target.checked;
    drawTimeline();
  });

  $('timeline-filter').addEventListener('input', (e) => {
    timeline.text = e.target.value.trim().toLowerCase();
    drawTimeline();
  });

  // --- Viewers: every open event stream, with the views it serves ---------------------

  function drawViewers() {
    const viewers = facility.viewers;
    const tallies = viewers.reduce((n, v) => n + v.views.filter((view) => view.startsWith('/tally/') && view !== '/tally/').length, 0);
    $('viewers-title').textContent = `Viewers: ${viewers.length} stream${viewers.length === 1 ? '' : 's'}, ${tallies} tally view${tallies === 1 ? '' : 's'}`;
    $('viewers').replaceChildren(...viewers.map((viewer) => el('li', {
      'data-viewer': viewer.address, 'data-views': viewer.views.join(' '),
      class: viewer.views.some((view) => view.startsWith('/tally/')) ? 'tally-viewer' : ''},
    el('span', {class: 'address', text: viewer.address}),
    el('span', {text: ` · ${viewer.views.length ? viewer.views.join(', ') : 'a program'}`}),
    el('span', {class: 'since', text: ` · since ${new Date(viewer.since_ms).toLocaleTimeString()}`}))));
  }

  // --- Header ---------------------------------------------------------------------

  function drawWarnings() {
    const box = $('warnings');
    box.dataset.warnings = String(facility.warnings);
    box.textContent = `${facility.warnings} warning${facility.warnings === 1 ? '' : 's'}`;
    box.classList.toggle('alert', facility.warnings > 0);
  }

  setInterval(() => { $('clock').textContent = seconds(Live.clockMs()); }, 100);

  // --- Drawing and the link ------------------------------------------------------------

  // The tables of inputs and slots are drawn a frame after the cards: by
  // then the browser knows that ten thousand cards have pushed them out of
  // view, and skips their rows instead of styling and laying out every one.
  let driversLeft = false;

  function draw(changes) {
    if (changes.all) {
      for (const which of ['gpi', 'info']) stopBuildingRows(which);  // drawn again after the cards
      drawComponents();
      driversLeft = true;
      drawBridges();
      drawViewers();
      drawWarnings();
      drawTimeline();  // a paused list stays as it was until resumed
      return true;
    }
    // The rest of the cards, then of the list; the tables wait for the
    // cards, so as to be out of view.
    let building = false;
    if (cardBlocks.building) building = cardBlocks.buildMore() || listing.left;
    else if (listing.left) building = listComponents();
    if (driversLeft && !cardBlocks.building) {
      driversLeft = false;
      const gpiLeft = drawDrivers('gpi');
      const infoLeft = drawDrivers('info');
      building = building || gpiLeft || infoLeft;
    } else {
      for (const which of ['gpi', 'info']) if (tables[which].rowsLeft.left) building = buildRows(which) || building;
    }
    const flash = changes.controls.size + changes.gpi.size + changes.info.size < FLASH_LIMIT;
    let more = drawChangedComponents(changes, flash) || building;
    more = drawChangedDrivers('gpi', changes.gpi, flash) || more;
    more = drawChangedDrivers('info', changes.info, flash) || more;
    if (changes.bridges) drawBridges();
    if (changes.viewers) drawViewers();
    if (changes.warnings) drawWarnings();
    if (changes.timeline && !timeline.skipped) drawTimeline();
    flushAnnouncements();
    return more;
  }

  function drawLink(link) {
    const badge = $('link');
    badge.dataset.link = link.state;
    badge.textContent = {live: 'live', connecting: 'connecting…', down: 'no link'}[link.state];
    const banner = $('banner');
    banner.hidden = link.state !== 'down' && !link.dropped;
    $('banner-close').hidden = link.state === 'down';
    if (link.state === 'down') {
      banner.dataset.kind = 'down';
      $('banner-text').textContent = `No link to the host since ${link.since.toLocaleTimeString()} (${link.reason}). ` +
          'What you see is the last known state, not the live one. Reconnecting…';
    } else if (link.dropped) {
      banner.dataset.kind = 'dropped';
      $('banner-text').textContent = link.dropped;
    }
    // Controls do nothing without a link: disabled until the fresh state is drawn.
    const off = link.state === 'down';
    $('lamp-test').disabled = link.state !== 'live';
    // The timeline's own tools read what the page holds: they work without a link.
    for (const control of document.querySelectorAll('main button, main input, main select')) {
      if (control.closest('.timeline-tools')) continue;
      if (off && !control.disabled) {
        takeOff(control);
      } else if (!off && control.dataset.linkOff !== undefined) {
        control.disabled = false;
        delete control.dataset.linkOff;
      }
    }
    for (const [name, drawn] of cards) drawCardFacts(facility.components.get(name), drawn, false);
  }

  $('lamp-test').addEventListener('click', () => send('/api/lamp-test', {seconds: 5}));

  $('banner-close').addEventListener('click', () => {
    Live.link.dropped = '';
    drawLink(Live.link);
  });

  // --- Requests -------------------------------------------------------------------

  async function send(path, body) {
    try {
      return await Live.request('POST', path, body);
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

  const number = (form, name) => Number.parseInt(form.elements[name].value, 10);

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

  function showResult(kind, lines) {
    const result = $('send-result');
    result.dataset.result = kind;
    result.replaceChildren(...lines.map((line) => el('span', {class: 'line', text: line})));
  }

  sendForm.addEventListener('submit', async (e) => {
    e.preventDefault();
    const component = sendForm.elements.component.value;
    const key = sendForm.elements.key.value;
    showResult('sending', ['sending…']);
    const isEvent = sendForm.elements.kind.value === 'event';
    try {
      if (isEvent) {
        const control = sendForm.elements.control.value;
        await Live.request('POST', '/api/event', {component, control, key});
        showResult('sent', [`delivered to ${component}, control ${control}`]);
      } else {
        const answer = await Live.request('POST', '/api/param', {component, key});
        if (answer.reply === null || answer.reply === undefined) {
          // The protocol has no "unknown": a setting taken and a name not known both get nothing back.
          showResult('no-reply', [`no reply from ${component} to "${key}": it answers nothing to a setting it takes, nor to a name it does not know`]);
        } else if (answer.reply === '') {
          showResult('empty', ['reply: an empty text']);
        } else {
          showResult('reply', ['reply:', ...answer.reply.split('\n')]);
        }
      }
    } catch (error) {
      showResult('error', [error.message]);
    }
  });

  Live.start({draw, link: drawLink});
})();
