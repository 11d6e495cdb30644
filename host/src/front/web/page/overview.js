// The producer's overview: every component's lamp and name in a compact
// grid, with a filter; a tile opens that component's tally view.
'use strict';

(() => {
  const {facility, el} = Live;
  const $ = (id) => document.getElementById(id);
  const tiles = new Map();  // name -> tile

  function look(component) {
    if (Live.link.state === 'down') return Live.NO_LINK;
    if (!component.tallyControl) return {colour: 'none', word: 'NO TALLY', shape: 'none'};
    return Live.lampOf(component.tallyControl.text);
  }

  function drawTile(component, tile) {
    const seen = look(component);
    const {doubt} = Live.tallyTruth(component);
    const label = `${component.name}: ${seen.word.toLowerCase()}${doubt ? ', in doubt' : ''}`;
    if (tile.dataset.label === label) return false;
    tile.dataset.label = label;
    tile.dataset.colour = seen.colour;
    tile.dataset.shape = seen.shape;
    tile.dataset.lamp = component.tallyControl ? component.tallyControl.text : '';
    tile.classList.toggle('doubt', !!doubt);
    tile.title = doubt ? `${label}: ${doubt}` : label;
    tile.querySelector('.tile-word').textContent = seen.word;
    tile.querySelector('.tile-doubt').textContent = doubt ? ', in doubt' : '';
    return true;
  }

  function buildGrid() {
    tiles.clear();
    const items = [...facility.components.values()].map((component) => {
      const tile = el('a', {class: 'tile', 'data-component': component.name,
                            href: Live.withToken(`/tally/${encodeURIComponent(component.name)}`)},
                      el('span', {class: 'tile-name', text: component.name}),
                      el('span', {class: 'visually-hidden', text: ', '}),
                      el('span', {class: 'tile-word'}),
                      el('span', {class: 'visually-hidden tile-doubt'}));
      tiles.set(component.name, tile);
      drawTile(component, tile);
      return el('li', {}, tile);
    });
    $('grid').replaceChildren(...items);
    filter();
  }

  function filter() {
    const text = $('filter').value.trim().toLowerCase();
    const litOnly = $('on-air').checked;
    let shown = 0;
    for (const [name, tile] of tiles) {
      const lit = ['red', 'green', 'amber'].includes(tile.dataset.colour);
      const visible = name.toLowerCase().includes(text) && (!litOnly || lit);
      tile.parentElement.hidden = !visible;
      if (visible) shown += 1;
    }
    $('overview-count').textContent = `${shown} of ${tiles.size}`;
  }

  function draw(changes) {
    if (changes.all) return buildGrid();
    const changed = [];
    for (const name of changes.components) {
      const tile = tiles.get(name);
      const component = facility.components.get(name);
      if (tile && drawTile(component, tile)) changed.push(`${name} ${look(component).word.toLowerCase()}`);
    }
    if (changed.length) {
      $('announce').textContent = changed.length > 4 ? `${changed.length} lamps changed` : changed.join(', ');
      if ($('on-air').checked) filter();
    }
    return undefined;
  }

  function drawLink(link) {
    $('link').dataset.link = link.state;
    $('link').textContent = {live: 'live', connecting: 'connecting…', down: 'no link'}[link.state];
    const banner = $('overview-banner');
    banner.hidden = link.state !== 'down';
    if (link.state === 'down') {
      banner.textContent = `No link to the host since ${link.since.toLocaleTimeString()} (${link.reason}): not the live state.`;
    }
    for (const [name, tile] of tiles) drawTile(facility.components.get(name), tile);
  }

  $('filter').addEventListener('input', filter);
  $('on-air').addEventListener('change', filter);
  Live.start({draw, link: drawLink});
})();
