// The "record" switch and the "save as scenario" link of the live page.
// Recording on: every action is written with the outcome it had, so that a
// replay of the saved scenario checks the same outcome (docs/host.md).
'use strict';

(() => {
  const key = new URLSearchParams(location.search).get('token');
  const query = key ? `?token=${encodeURIComponent(key)}` : '';
  const headers = key ? {Authorization: `Bearer ${key}`} : {};

  const box = document.createElement('span');
  box.className = 'fact recording';
  box.id = 'recording';
  const label = document.createElement('label');
  const toggle = document.createElement('input');
  toggle.type = 'checkbox';
  toggle.id = 'record-switch';
  label.append(toggle, ' record');
  const save = document.createElement('a');
  save.id = 'record-save';
  save.href = `/api/recording${query}`;
  save.download = 'rehearsal.vesk';
  save.textContent = 'save as scenario';
  save.title = 'The rehearsal so far as a scenario: replay it with vesk-host FILE';
  box.append(label, ' ', save);
  // The page leaves a place for it in its header; otherwise it goes first among the facts.
  const place = document.getElementById('record-slot');
  if (place) place.append(box);
  else (document.querySelector('.bar-facts') || document.body).prepend(box);

  const show = (on) => {
    toggle.checked = on;
    box.dataset.recording = on ? 'on' : 'off';
    toggle.title = on ? 'Outcomes are recorded as expectations' : 'Actions are recorded without their outcomes';
  };
  const ask = async (path, options = {}) => {
    const response = await fetch(path, {...options, headers: {...headers, ...options.headers}});
    const answer = await response.json().catch(() => ({}));
    if (!response.ok) throw new Error(answer.error || `HTTP ${response.status}`);
    return answer;
  };

  ask(`/api/state${query}`).then((state) => {
    if (!state.recording) box.hidden = true;
    else show(state.recording.on);
  }).catch(() => {});
  toggle.addEventListener('change', async () => {
    const wanted = toggle.checked;
    try {
      const answer = await ask('/api/record', {method: 'POST', headers: {'Content-Type': 'application/json'},
                                               body: JSON.stringify({on: wanted})});
      show(answer.on);
    } catch (error) {
      show(!wanted);
      box.title = error.message;
    }
  });
})();
