// The "record" switch and the "save as scenario" link of the live page.
// Recording on: every action is written with the outcome it had, so that a
// replay of the saved scenario checks the same outcome (docs/host.md).
//
// The switch shows what the host does, never what was last clicked: it
// follows the host's state from the snapshot and the events of every page,
// and it is disabled while the page has no link.
'use strict';

(() => {
  const box = document.createElement('span');
  box.className = 'fact recording';
  box.id = 'recording';
  box.hidden = true;  // until the host says it keeps a recording
  const label = document.createElement('label');
  const toggle = document.createElement('input');
  toggle.type = 'checkbox';
  toggle.id = 'record-switch';
  toggle.disabled = true;
  label.append(toggle, ' record');
  const save = document.createElement('a');
  save.id = 'record-save';
  save.href = Live.withToken('/api/recording');
  save.download = 'rehearsal.vesk';
  save.textContent = 'save as scenario';
  save.title = 'The rehearsal so far as a scenario: replay it with vesk-host FILE';
  box.append(label, ' ', save);
  // The page leaves a place for it in its header; otherwise it goes first among the facts.
  const place = document.getElementById('record-slot');
  if (place) place.append(box);
  else (document.querySelector('.bar-facts') || document.body).prepend(box);

  let asking = false;  // a request is on its way: the switch waits for its answer

  function show() {
    const state = Live.facility.recording;
    box.hidden = !state;
    if (!state) return;
    toggle.checked = state.on;
    box.dataset.recording = state.on ? 'on' : 'off';
    toggle.disabled = asking || Live.link.state !== 'live';
    toggle.title = Live.link.state !== 'live' ? 'No link to the host: its recording cannot be switched'
        : state.on ? 'Outcomes are recorded as expectations' : 'Actions are recorded without their outcomes';
  }

  toggle.addEventListener('change', async () => {
    const wanted = toggle.checked;
    asking = true;
    show();
    toggle.checked = wanted;  // while asking, the click shows
    try {
      const answer = await Live.request('POST', '/api/record', {on: wanted});
      Live.facility.recording = {...Live.facility.recording, on: answer.on};
      delete box.dataset.error;
      box.title = '';
    } catch (error) {
      box.dataset.error = error.message;
      box.title = `Recording not switched: ${error.message}`;
      const toast = document.getElementById('toast');
      if (toast) {
        toast.textContent = `Recording not switched: ${error.message}`;
        toast.hidden = false;
        setTimeout(() => { toast.hidden = true; }, 5000);
      }
    }
    asking = false;
    show();
  });

  Live.addPart({
    draw(changes) { if (changes.all || changes.recording) show(); },
    link: show,
  });
})();
