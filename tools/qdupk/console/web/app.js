// The console page: the camera list, the package's verdict, the rollout's
// options and its live progress, all through the console's JSON API and
// one event stream. Plain script, no framework: sites are often offline.
'use strict';

const page = {
  cameras: [],
  picked: new Set(),
  packageId: null,
  rollout: null, // {id, finished}
  events: null,
  rows: [], // progress rows by camera index
};

const PHASE_CLASSES = ['waiting', 'uploading', 'installing', 'rebooting', 'acknowledged',
  'back', 'confirmed', 'failed', 'not-started'];
const ENDED = new Set(['acknowledged', 'back', 'confirmed', 'failed', 'not-started']);

// Option inputs and the members of POST /api/rollouts they fill; a
// required one falls back to the command line's default only by its value.
const OPTIONS = [
  { id: 'parallel', member: 'parallel', required: true },
  { id: 'canary', member: 'canary', required: true },
  { id: 'max-failures', member: 'max_failures', required: true },
  { id: 'retries', member: 'retries', required: false },
  { id: 'wait-return', member: 'wait_return', required: false },
  { id: 'confirm-timeout', member: 'confirm_timeout', required: true },
  { id: 'timeout', member: 'timeout', required: true },
  { id: 'connect-timeout', member: 'connect_timeout', required: true },
];

const $ = (id) => document.getElementById(id);

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

// ---- messages -------------------------------------------------------------

function showError(text) {
  const message = $('message');
  message.textContent = text;
  message.hidden = false;
  const box = message.getBoundingClientRect();
  if (box.top < 0 || box.bottom > window.innerHeight) message.scrollIntoView({ block: 'nearest' });
}

function clearError() {
  $('message').hidden = true;
  $('message').textContent = '';
}

// ---- the API --------------------------------------------------------------

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

const NO_SESSION = 'The console no longer knows this page (was it restarted?): ' +
  "open the address 'qdupk console' printed.";

async function api(method, path, body, contentType) {
  const init = { method: method, credentials: 'same-origin', headers: {} };
  if (body !== undefined) {
    init.body = body;
    init.headers['Content-Type'] = contentType || 'application/json';
  }
  let answer;
  try {
    answer = await fetch(path, init);
  } catch (e) {
    throw new ApiError(0, 'The console does not answer (' + e.message + '): is qdupk console still running?');
  }
  let data = null;
  const text = await answer.text();
  try {
    data = text ? JSON.parse(text) : null;
  } catch (e) {
    data = null;
  }
  if (!answer.ok) {
    if (answer.status === 401) throw new ApiError(401, NO_SESSION);
    const said = data && data.message ? data.message : text || answer.statusText;
    throw new ApiError(answer.status, said + ' (HTTP ' + answer.status + ')');
  }
  return data;
}

function postJson(path, value) {
  return api('POST', path, JSON.stringify(value));
}

// Runs an action from a control: errors go to the alert, never to the console.
function act(action) {
  return function () {
    Promise.resolve()
      .then(action)
      .catch((e) => showError(e.message));
  };
}

// ---- cameras --------------------------------------------------------------

function lastText(last) {
  if (!last) return '';
  let text = last.result + ' (rollout ' + last.rollout + ')';
  if (last.reason && last.result !== 'ok') text += ': ' + last.reason;
  return text;
}

function cameraRow(camera, index) {
  const row = element('tr');
  row.dataset.target = camera.target;
  const pick = element('input', 'pick');
  pick.type = 'checkbox';
  pick.id = 'pick-' + index;
  pick.value = camera.target;
  pick.checked = page.picked.has(camera.target);
  pick.addEventListener('change', () => {
    if (pick.checked) page.picked.add(camera.target);
    else page.picked.delete(camera.target);
    row.classList.toggle('selected', pick.checked);
  });
  row.classList.toggle('selected', pick.checked);
  const label = element('label', '', camera.target);
  label.htmlFor = pick.id;
  if (camera.source === 'added') label.title = 'added by address';
  const cells = [pick, label, element('span', '', camera.version || '—'),
    element('span', '', camera.state || (camera.status ? '' : 'no status')),
    element('span', camera.last && camera.last.result !== 'ok' ? 'result-bad' : 'result-ok',
      lastText(camera.last))];
  for (const content of cells) {
    const cell = element('td');
    cell.appendChild(content);
    row.appendChild(cell);
  }
  return row;
}

function renderCameras(list) {
  page.cameras = list.cameras || [];
  const known = new Set(page.cameras.map((c) => c.target));
  for (const target of Array.from(page.picked)) {
    if (!known.has(target)) page.picked.delete(target);
  }
  const body = $('cameras').tBodies[0];
  // Keep the focused checkbox focused across a redraw.
  const focused = document.activeElement && document.activeElement.classList.contains('pick')
    ? document.activeElement.value : null;
  body.replaceChildren(...page.cameras.map(cameraRow));
  if (focused) {
    const again = body.querySelector('tr[data-target="' + CSS.escape(focused) + '"] input.pick');
    if (again) again.focus();
  }
  $('no-cameras').hidden = page.cameras.length > 0 || list.searching;
  let state = list.searching ? 'Searching…' : '';
  if (!list.searching && list.searched) state = 'Searched at ' + new Date(list.searched).toLocaleTimeString();
  if (list.warnings && list.warnings.length) state += (state ? '; ' : '') + list.warnings.join('; ');
  $('search-state').textContent = state;
}

let cameraPoll = null;

async function loadCameras(refresh) {
  const list = await api('GET', refresh ? '/api/cameras?refresh=1' : '/api/cameras');
  renderCameras(list);
  clearTimeout(cameraPoll);
  // A search (or the status asked after a rollout) is under way: the
  // list fills in as it ends.
  if (list.searching) cameraPoll = setTimeout(act(() => loadCameras(false)), 700);
}

async function addCamera() {
  const target = $('add-target').value.trim();
  if (!target) {
    showError('Add: give the camera as HOST:PORT, e.g. 10.0.0.5:8080.');
    $('add-target').focus();
    return;
  }
  const camera = await postJson('/api/cameras', { target: target });
  clearError();
  page.picked.add(camera.target);
  $('add-target').value = '';
  await loadCameras(false);
}

function pickAll(on) {
  page.picked = new Set(on ? page.cameras.map((c) => c.target) : []);
  for (const box of document.querySelectorAll('#cameras input.pick')) {
    box.checked = on;
    box.closest('tr').classList.toggle('selected', on);
  }
}

// ---- the package ----------------------------------------------------------

function sizeText(bytes) {
  if (bytes === null || bytes === undefined) return '';
  const units = ['bytes', 'KiB', 'MiB', 'GiB'];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return (unit === 0 ? String(value) : value.toFixed(value < 10 ? 1 : 0)) + ' ' + units[unit];
}

function sealText(seal) {
  if (!seal) return '';
  if (seal.state === 'none') return 'none';
  return seal.state + ', counter ' + seal.counter;
}

function signerText(verdict) {
  if (verdict.verified_with) return 'verified with ' + verdict.verified_with;
  if (verdict.seal && verdict.seal.key_id) return 'key ' + verdict.seal.key_id + ' (not checked)';
  return '—';
}

function itemText(item) {
  let text = item.type + ', ' + sizeText(item.size);
  if (item.destination) text += ' → ' + item.destination;
  if (item.description) text += ' (' + item.description + ')';
  return text;
}

function renderPackage(verdict, fileName) {
  page.packageId = verdict.id || null;
  $('package-file-name').textContent = fileName + ' (' + sizeText(verdict.size) + ')';
  $('package-name').textContent = verdict.package_name || '—';
  $('package-version').textContent = verdict.version || '—';
  $('package-device').textContent = verdict.devid || '—';
  const items = (verdict.items || []).map((item) => element('li', '', itemText(item)));
  $('package-items').replaceChildren(...(items.length ? items : [element('li', '', 'none read')]));
  $('package-seal').textContent = sealText(verdict.seal) || '—';
  $('package-signer').textContent = signerText(verdict);
  $('package-facts').hidden = false;
  const shown = $('verdict');
  shown.className = verdict.accepted ? 'accepted' : 'rejected';
  shown.textContent = (verdict.accepted ? 'Accepted: ' : 'Refused: ') + (verdict.message || '');
  shown.hidden = false;
}

async function choosePackage() {
  const file = $('package-file').files[0];
  if (!file) return;
  const shown = $('verdict');
  shown.className = '';
  shown.textContent = 'Checking ' + file.name + '…';
  shown.hidden = false;
  page.packageId = null;
  try {
    const verdict = await api('POST', '/api/packages?name=' + encodeURIComponent(file.name), file,
      'application/octet-stream');
    clearError();
    renderPackage(verdict, file.name);
  } catch (e) {
    shown.hidden = true;
    $('package-facts').hidden = true;
    throw e;
  }
}

// ---- the rollout ----------------------------------------------------------

function optionValue(option) {
  const input = $(option.id);
  const label = document.querySelector('label[for="' + option.id + '"]').firstChild.textContent.trim();
  if (input.validity.badInput) throw new Error(label + ': needs a number, not what is typed there.');
  if (input.value === '') {
    if (option.required) throw new Error(label + ': needs a number.');
    return null;
  }
  return Number(input.value);
}

function rolloutBody() {
  if (!page.packageId) throw new Error('Choose a package first.');
  const targets = page.cameras.map((c) => c.target).filter((t) => page.picked.has(t));
  if (targets.length === 0) throw new Error('Tick at least one camera.');
  const body = { package: page.packageId, targets: targets };
  for (const option of OPTIONS) body[option.member] = optionValue(option);
  return body;
}

function setRunning(running) {
  $('start').disabled = running;
  $('cancel').disabled = !running;
  $('abort').disabled = !running;
  $('refresh').disabled = running;
  $('package-file').disabled = running;
}

function setReports(id) {
  for (const kind of ['csv', 'json']) {
    const link = $('report-' + kind);
    if (id) {
      link.href = '/api/rollouts/' + encodeURIComponent(id) + '/report.' + kind;
      link.download = 'rollout-' + id + '.' + kind;
      link.removeAttribute('aria-disabled');
    } else {
      link.removeAttribute('href');
      link.removeAttribute('download');
      link.setAttribute('aria-disabled', 'true');
    }
  }
}

async function startRollout() {
  const body = rolloutBody();
  const started = await postJson('/api/rollouts', body);
  clearError();
  page.rollout = { id: started.id, finished: false };
  sessionStorage.setItem('qdupk-rollout', started.id);
  setReports(null);
  $('summary').replaceChildren();
  renderProgress(body.targets.map((target, index) => ({ index: index, target: target, phase: 'waiting' })));
  setRunning(true);
  // Start is disabled now: the keyboard's next step is Cancel.
  $('cancel').focus();
  $('rollout-state').textContent = 'Rollout ' + started.id + ' running';
  listen(started.events || '/api/rollouts/' + encodeURIComponent(started.id) + '/events');
}

async function stopRollout(how) {
  if (!page.rollout) return;
  await api('POST', '/api/rollouts/' + encodeURIComponent(page.rollout.id) + '/' + how);
  clearError();
}

// ---- progress -------------------------------------------------------------

function progressRow(camera) {
  const row = element('li');
  row.dataset.target = camera.target;
  const target = element('span', 'target', camera.target);
  target.id = 'progress-target-' + camera.index;
  const bar = element('progress');
  bar.max = 1;
  bar.value = 0;
  bar.setAttribute('aria-labelledby', target.id);
  row.append(target, bar, element('span', 'phase'), element('span', 'numbers'), element('span', 'detail'));
  return row;
}

function renderProgress(cameras) {
  page.rows = [];
  const list = $('progress');
  list.replaceChildren();
  for (const camera of cameras) {
    const row = progressRow(camera);
    page.rows[camera.index] = row;
    list.appendChild(row);
    updateRow(camera);
  }
  $('no-progress').hidden = cameras.length > 0;
}

function numbersText(camera, row) {
  const bytes = camera.bytes !== undefined ? camera.bytes : Number(row.dataset.bytes || 0);
  const size = camera.size !== undefined ? camera.size : Number(row.dataset.size || 0);
  row.dataset.bytes = bytes;
  row.dataset.size = size;
  let text = sizeText(bytes) + (size ? ' of ' + sizeText(size) : '');
  if (camera.rate && camera.phase === 'uploading') text += ', ' + sizeText(camera.rate) + '/s';
  const attempts = camera.attempts !== undefined ? camera.attempts : Number(row.dataset.attempts || 0);
  row.dataset.attempts = attempts;
  if (attempts > 1) text += ', attempt ' + attempts;
  if (camera.seconds) text += ', ' + camera.seconds.toFixed(1) + ' s';
  return text;
}

// A camera object or a progress event: whatever members it has.
function updateRow(camera) {
  const row = page.rows[camera.index];
  if (!row) return;
  if (camera.phase) {
    row.classList.remove(...PHASE_CLASSES);
    row.classList.add(camera.phase);
    row.querySelector('.phase').textContent = camera.phase;
  }
  row.querySelector('.numbers').textContent = numbersText(camera, row);
  const bar = row.querySelector('progress');
  const size = Number(row.dataset.size);
  bar.max = size > 0 ? size : 1;
  bar.value = size > 0 ? Math.min(Number(row.dataset.bytes), size) : 0;
  const detail = row.querySelector('.detail');
  if (ENDED.has(camera.phase)) {
    // The last step's words would be stale: an ended camera shows its reason.
    detail.textContent = camera.reason || (camera.phase === 'failed' ? camera.detail || '' : '');
  } else if (camera.detail !== undefined) {
    detail.textContent = camera.detail || '';
  }
}

const SUMMARY_ORDER = ['ok', 'refused', 'no-connection', 'timeout', 'not-back', 'rolled-back',
  'recovery', 'unconfirmed', 'aborted', 'not-started'];

function renderSummary(summary, exit) {
  const box = $('summary');
  box.replaceChildren();
  if (!summary) return;
  const counts = SUMMARY_ORDER.filter((name) => summary[name]).map((name) => summary[name] + ' ' + name);
  box.appendChild(element('p', '', summary.targets + ' camera' + (summary.targets === 1 ? '' : 's') +
    ': ' + (counts.join(', ') || 'no result')));
  if (summary.stopped && summary.stopped.length) {
    box.appendChild(element('p', '', 'Stopped early: ' + summary.stopped.join(', ')));
  }
  const status = exit !== null && exit !== undefined ? exit : summary.exit;
  box.appendChild(element('p', status === 0 ? 'result-ok' : 'result-bad',
    status === 0 ? 'Every camera succeeded.' : 'Not every camera succeeded (exit status ' + status + ').'));
}

const STATE_WORDS = {
  running: 'running',
  cancelling: 'cancelling: no new upload starts',
  aborting: 'aborting',
  finished: 'finished',
};

function showRolloutState(state) {
  $('rollout-state').textContent = 'Rollout ' + state.id + ' ' + (STATE_WORDS[state.state] || state.state);
}

function applyState(state) {
  page.rollout = { id: state.id, finished: state.state === 'finished' };
  showRolloutState(state);
  renderProgress(state.cameras || []);
  renderSummary(state.summary, state.exit);
  if (page.rollout.finished) finish(state.summary, state.exit);
  else setRunning(true);
}

function finish(summary, exit) {
  if (page.events) {
    page.events.close();
    page.events = null;
  }
  if (!page.rollout) return;
  page.rollout.finished = true;
  renderSummary(summary, exit);
  setRunning(false);
  setReports(page.rollout.id);
  $('rollout-state').textContent = 'Rollout ' + page.rollout.id + ' finished';
  // The engine asks every camera's status once a rollout ends; the table
  // shows the result as soon as the list has it.
  awaitResults(page.rollout.id, 40).catch((e) => showError(e.message));
}

async function awaitResults(id, tries) {
  await loadCameras(false);
  const waiting = page.cameras.some((c) => page.picked.has(c.target) && !(c.last && c.last.rollout === id));
  if (waiting && tries > 1) setTimeout(act(() => awaitResults(id, tries - 1)), 500);
}

function parsed(event) {
  try {
    return JSON.parse(event.data);
  } catch (e) {
    return null;
  }
}

function listen(url) {
  if (page.events) page.events.close();
  const events = new EventSource(url, { withCredentials: true });
  page.events = events;
  events.addEventListener('state', (e) => {
    const state = parsed(e);
    if (state) applyState(state);
  });
  events.addEventListener('camera', (e) => {
    const camera = parsed(e);
    if (camera) updateRow(camera);
  });
  events.addEventListener('progress', (e) => {
    const progress = parsed(e);
    if (progress) updateRow(progress);
  });
  events.addEventListener('stopped', (e) => {
    const stopped = parsed(e);
    if (stopped && page.rollout) {
      $('rollout-state').textContent = 'Rollout ' + page.rollout.id + ' stopping (' +
        (stopped.stopped || [stopped.reason]).join(', ') + ')';
    }
  });
  events.addEventListener('finished', (e) => {
    const end = parsed(e) || {};
    finish(end.summary, end.exit);
  });
  events.onopen = () => clearError();
  events.onerror = () => {
    if (events.readyState === EventSource.CLOSED && page.events === events) {
      page.events = null;
      showError('The rollout\'s live view stopped: reload the page to see where it stands.');
    } else if (page.events === events) {
      showError('The live view lost the console; trying again…');
    }
  };
}

// A page opened again (reloaded, or a second tab) finds the rollout it
// started; the event stream begins with the whole state.
async function resume() {
  const id = sessionStorage.getItem('qdupk-rollout');
  if (!id) return;
  let state;
  try {
    state = await api('GET', '/api/rollouts/' + encodeURIComponent(id));
  } catch (e) {
    if (e.status === 404) {
      sessionStorage.removeItem('qdupk-rollout');
      return;
    }
    throw e;
  }
  applyState(state);
  if (state.state !== 'finished') listen('/api/rollouts/' + encodeURIComponent(id) + '/events');
}

// ---- start ----------------------------------------------------------------

function onEnter(input, action) {
  input.addEventListener('keydown', (e) => {
    if (e.key === 'Enter') {
      e.preventDefault();
      action();
    }
  });
}

function wire() {
  $('refresh').addEventListener('click', act(() => loadCameras(true)));
  $('select-all').addEventListener('click', () => pickAll(true));
  $('select-none').addEventListener('click', () => pickAll(false));
  $('add').addEventListener('click', act(addCamera));
  onEnter($('add-target'), act(addCamera));
  $('package-file').addEventListener('change', act(choosePackage));
  $('start').addEventListener('click', act(startRollout));
  $('cancel').addEventListener('click', act(() => stopRollout('cancel')));
  $('abort').addEventListener('click', act(() => stopRollout('abort')));
}

function init() {
  // The printed address's token has done its work at the login page.
  if (/(?:^#|&)t=/.test(window.location.hash)) history.replaceState(null, '', window.location.pathname);
  wire();
  setReports(null);
  loadCameras(false).catch((e) => showError(e.message));
  resume().catch((e) => showError(e.message));
}

init();
