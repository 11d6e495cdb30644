// The producer's overview: every component's lamp and name in a compact
// grid, with a filter; a tile opens that component's tally view. Above the
// grid: how many are on air and which, so that a lit tile far down a list
// of a thousand is never missed, and the state of the TSL bridges.
'use strict';

(() => {
  const {facility, el} = Live;
  const $ = (id) => document.getElementById(id);
  const tiles = new Map();  // name -> {node, word, note, label, doubt, stale}
  const ON_AIR_NAMED = 24;  // names listed in the on-air line; the rest counted

  // Without a link a tile keeps the last state it knew, marked stale: the
  // producer still sees what was on air when the link went.
  function look(component) {
    if (!component.tallyControl) return {colour: 'none', word: 'NO TALLY', shape: 'none'};
    return Live.lampOf(component.tallyControl.text);
  }

  // What a tile shows, worked out once for its label, its look and its title.
  function stateOf(component) {
    const seen = look(component);
    const {doubt} = Live.tallyTruth(component);
    const stale = Live.link.state === 'down';
    const label = `${component.name}: ${seen.word.toLowerCase()}${doubt ? ', in doubt' : ''}${stale ? ', last known (no link)' : ''}`;
    return {seen, doubt, stale, label};
  }

  // Each tile's elements and the label it was last drawn with are kept
  // here, so that a change to ten thousand tiles neither searches them nor
  // reads their attributes back.
  function drawTile(component, tile, state = stateOf(component)) {
    const {seen, doubt, stale, label} = state;
    unseen.delete(component.name);
    if (tile.label === label) return false;
    tile.label = label;
    const {node} = tile;
    node.dataset.label = label;
    node.dataset.colour = seen.colour;
    node.dataset.shape = seen.shape;
    node.dataset.lamp = component.tallyControl ? component.tallyControl.text : '';
    if (tile.doubt !== !!doubt) node.classList.toggle('doubt', (tile.doubt = !!doubt));
    if (tile.stale !== stale) node.classList.toggle('stale', (tile.stale = stale));
    node.title = doubt ? `${label}: ${doubt}` : label;
    setText(tile.word, seen.word);
    setText(tile.note, `${doubt ? ', in doubt' : ''}${stale ? ', last known' : ''}`);
    return true;
  }

  // A tile's text changed in place: a new text node would lay the tile out anew.
  function setText(element, text) {
    const node = element.firstChild;
    if (node && node.nodeType === Node.TEXT_NODE && !node.nextSibling) {
      if (node.data !== text) node.data = text;
    } else if (element.textContent !== text) {
      element.textContent = text;
    }
  }

  // Tiles out of view (their block skipped) are not drawn with the change: a
  // cut of ten thousand cameras would otherwise write ten thousand tiles
  // nobody sees. Each is drawn as it comes into view, and meanwhile in
  // slices of a few milliseconds a frame, oldest first.
  const OUT_OF_VIEW_MS = 3;
  let leftOutLastFrame = false;
  const TELLS_SKIPPED = Live.TELLS_SKIPPED;
  const unseen = new Set();   // tiles out of view with changes not drawn yet, in order
  // Tiles are 44 px high with a gap of 4 (views.css); blocks of 4 rows, at
  // least 32 tiles. The tiles of the blocks on the screen are drawn with the
  // change, those of blocks rendered around them with the tiles out of view.
  const TILE_ROW_PX = 48;
  const tileBlocks = Live.blocks({
    box: $('grid'), itemPx: 82, gapPx: 4, rows: 4, minItems: 32, rowPx: TILE_ROW_PX,
    shown: (names) => { for (const name of names) if (unseen.has(name)) drawUnseen(name); },
    refilled: () => filter(),
  });

  function drawUnseen(name) {
    const tile = tiles.get(name);
    const component = facility.components.get(name);
    unseen.delete(name);
    if (tile && component) drawTile(component, tile);
  }

  // Tiles are built a slice of whole blocks a frame, this many (rounded up
  // to whole blocks) or fewer when the frame's time to build is up, each
  // from the latest state (a smaller facility at once). A screen holds
  // hundreds of tiles, each laid out as it is built: 300 a frame were
  // laid out for some 40 ms, in frames over 100 ms long.
  const TILES_BUILT_PER_FRAME = window.veskTilesBuiltPerFrame || 150;

  function buildTile(name) {
    const component = facility.components.get(name);
    if (!component) return null;
    const word = el('span', {class: 'tile-word'});
    const note = el('span', {class: 'visually-hidden tile-doubt'});
    const node = el('a', {class: 'tile', 'data-component': component.name,
                          href: Live.withToken(`/tally/${encodeURIComponent(component.name)}`)},
                    el('span', {class: 'tile-name', text: component.name}),
                    el('span', {class: 'visually-hidden', text: ', '}), word, note);
    const tile = {node, word, note, label: null, doubt: false, stale: false};
    tiles.set(component.name, tile);
    drawTile(component, tile);
    return el('div', {role: 'listitem'}, node);
  }

  function buildGrid() {
    tiles.clear();
    unseen.clear();
    tileBlocks.build([...facility.components.keys()], buildTile, TILES_BUILT_PER_FRAME);
    filter();
  }

  // Read from the model: a tile out of view may not be drawn yet.
  const lit = (name) => ['red', 'green', 'amber'].includes(look(facility.components.get(name)).colour);

  // A filter leaves each block its own tiles: a block none of whose tiles
  // is shown is hidden, and each is as high as the rows of those shown, so
  // that a block out of view keeps its place.
  function filter() {
    const text = $('filter').value.trim().toLowerCase();
    const litOnly = $('on-air').checked;
    let shown = 0;
    const counts = new Map();  // block -> tiles shown
    for (const [name, tile] of tiles) {
      const visible = name.toLowerCase().includes(text) && (!litOnly || lit(name));
      const item = tile.node.parentElement;
      if (item.hidden === visible) item.hidden = !visible;
      const block = tileBlocks.blockOf(name);
      counts.set(block, (counts.get(block) || 0) + (visible ? 1 : 0));
      if (visible) shown += 1;
    }
    for (const [block, count] of counts) {
      if (block.hidden !== (count === 0)) block.hidden = count === 0;
      const size = `${Math.max(0, Math.ceil(count / tileBlocks.columns) * TILE_ROW_PX - 4)}px`;
      if (block.style.containIntrinsicBlockSize !== size) block.style.containIntrinsicBlockSize = size;
    }
    tileBlocks.rowsKnown = shown === tiles.size;
    $('overview-count').textContent = `${shown} of ${tiles.size}`;
  }

  // The on-air line: counted from the model, tiles drawn or not.
  function drawOnAir() {
    const program = [];
    let preview = 0;
    for (const [name, component] of facility.components) {
      const colour = look(component).colour;
      if (colour === 'red') program.push(name);
      else if (colour === 'green') preview += 1;
    }
    const stale = Live.link.state === 'down';
    const box = $('on-air-line');
    box.dataset.onAir = String(program.length);
    box.classList.toggle('stale', stale);
    $('on-air-count').textContent = `${program.length} on air · ${preview} on preview${stale ? ' (last known)' : ''}`;
    const named = program.slice(0, ON_AIR_NAMED).map((name) => el('a', {
      href: Live.withToken(`/tally/${encodeURIComponent(name)}`), 'data-on-air': name, text: name}));
    const more = program.length > ON_AIR_NAMED ? [el('span', {text: `+${program.length - ON_AIR_NAMED} more`})] : [];
    $('on-air-names').replaceChildren(...named, ...more);
  }

  function drawBridges() {
    const bridges = [...facility.bridges.values()];
    $('overview-bridges').hidden = bridges.length === 0;
    $('overview-bridges').replaceChildren(...bridges.map((b) => el('span', {
      class: `bridge bridge-${b.state}`, 'data-bridge': b.name,
      title: `${b.direction} ${b.protocol} ${b.address}${b.last_error ? `: ${b.last_error}` : ''}`,
      text: `${b.name} ${b.state}`})));
  }

  function draw(changes) {
    if (changes.all) {
      buildGrid();
      drawOnAir();
      drawBridges();
      return tileBlocks.building;
    }
    // The rest of the tiles, each with its filter.
    const sliced = tileBlocks.building;
    const building = sliced && tileBlocks.buildMore();
    if (sliced) filter();
    // Told as names for a few; counted for more.
    const changed = [];
    let changedCount = 0;
    const tell = (name, state) => {
      if (++changedCount <= 4) changed.push(`${name} ${state.seen.word.toLowerCase()}`);
    };
    let drawnNow = 0;
    if (changes.components.size > 0) tileBlocks.measure();
    for (const name of changes.components) {
      const tile = tiles.get(name);
      const component = facility.components.get(name);
      if (!tile) continue;
      if (TELLS_SKIPPED && tileBlocks.where(name) !== 'screen') {
        // Told now, from the model; drawn later.
        if (unseen.has(name)) continue;
        const state = stateOf(component);
        if (tile.label !== state.label) tell(name, state);
        unseen.add(name);
        continue;
      }
      const state = stateOf(component);
      if (drawTile(component, tile, state)) {
        drawnNow += 1;
        tell(name, state);
      }
    }
    if (changedCount) {
      $('announce').textContent = changedCount > 4 ? `${changedCount} lamps changed` : changed.join(', ');
      if ($('on-air').checked) filter();
      drawOnAir();
    }
    if (changes.bridges) drawBridges();
    // A frame that redraws the screen's tiles has enough to lay out and
    // paint: the tiles out of view wait for the next one (never two frames
    // in a row, so that a screen that changes every frame does not hold
    // them back for good).
    if (drawnNow > 0 && !leftOutLastFrame) {
      leftOutLastFrame = true;
      return unseen.size > 0 || building;
    }
    leftOutLastFrame = false;
    const until = performance.now() + OUT_OF_VIEW_MS;
    let n = 0;
    for (const name of unseen) {
      if (++n % 16 === 0 && performance.now() > until) break;
      drawUnseen(name);
    }
    return unseen.size > 0 || building;
  }

  function drawLink(link) {
    $('link').dataset.link = link.state;
    $('link').textContent = {live: 'live', connecting: 'connecting…', down: 'no link'}[link.state];
    const banner = $('overview-banner');
    banner.hidden = link.state !== 'down';
    if (link.state === 'down') {
      banner.textContent = `No link to the host since ${link.since.toLocaleTimeString()} (${link.reason}): ` +
          'the lamps show the last known state, striped, not the live one.';
    }
    for (const [name, tile] of tiles) drawTile(facility.components.get(name), tile);
    drawOnAir();
  }

  $('filter').addEventListener('input', filter);
  $('on-air').addEventListener('change', filter);
  Live.start({draw, link: drawLink});
})();
