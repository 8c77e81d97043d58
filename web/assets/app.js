// The host's page: shows the state frames of the live channel and sends changes.
'use strict';

const token = document.querySelector('meta[name="kelmar-token"]').content;
const views = [];
let format = 'dec';
let lastFrame = null;

// A level as the programs show it: decimal, two hex digits, or percent with FL for full.
function formatLevel(v) {
  if (format === 'hex') return v.toString(16).toUpperCase().padStart(2, '0');
  if (format === 'pct') return v === 255 ? 'FL' : String(Math.floor((v * 100 + 127) / 255));
  return String(v);
}

function levelsOf(hex) {
  const out = new Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(2 * i, 2), 16);
  return out;
}

async function post(path, body) {
  const res = await fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', 'X-Kelmar-Token': token },
    body: JSON.stringify(body),
  });
  let reply = {};
  try { reply = await res.json(); } catch (e) { /* no JSON: the status says it */ }
  if (!res.ok) throw new Error(reply.error || 'HTTP ' + res.status);
  return reply;
}

function say(el, text, isError) {
  el.textContent = text;
  el.classList.toggle('error', !!isError);
}

function makeGrid(el, prefix, onPick) {
  const cells = [];
  for (let k = 1; k <= 512; k++) {
    const c = document.createElement('div');
    c.title = prefix + k;
    c.dataset.slot = k;
    if (onPick) c.addEventListener('click', () => onPick(k));
    el.appendChild(c);
    cells.push(c);
  }
  return { el, cells, levels: new Array(512).fill(-1), format: '' };
}

function drawGrid(grid, levels, first, last, seq) {
  const reformat = grid.format !== format;
  for (let i = 0; i < 512; i++) {
    const v = levels[i];
    const c = grid.cells[i];
    if (v !== grid.levels[i] || reformat) {
      c.textContent = formatLevel(v);
      c.classList.toggle('nz', v !== 0);
      grid.levels[i] = v;
    }
    c.classList.toggle('off', i + 1 < first || i + 1 > last);
  }
  grid.format = format;
  grid.el.dataset.seq = seq;
}

// Sends the newest level of one channel, one request at a time: while one is out, later
// moves of the slider replace each other.
function levelSender(view) {
  let busy = false;
  let pending = null;
  async function pump() {
    if (busy || !pending) return;
    busy = true;
    const { channel, level } = pending;
    pending = null;
    try {
      await post('/api/inputs', { patch: view.index, first: channel, levels: [level] });
      say(view.inputResult, 'In' + channel + ' = ' + level);
    } catch (e) {
      say(view.inputResult, e.message, true);
    }
    busy = false;
    pump();
  }
  return (channel, level) => { pending = { channel, level }; pump(); };
}

function buildPatch(patch) {
  const node = document.getElementById('patch-template').content.firstElementChild.cloneNode(true);
  const q = (s) => node.querySelector(s);
  const view = {
    index: patch.index, node, fields: {},
    status: q('.status'), state: q('.state'), partner: q('.partner'),
    settingResult: q('.setting-result'), inputResult: q('.input-result'),
    channel: q('.channel'), slider: q('.slider'), level: q('.level'),
  };
  node.dataset.patch = patch.index;
  q('.name').textContent = patch.name + (patch.index ? ' ' + (patch.index + 1) : '');

  for (const s of patch.settings) {
    const label = document.createElement('label');
    const input = document.createElement('input');
    input.type = 'number';
    input.name = s.key;
    input.min = s.min;
    input.max = s.max;
    input.step = 1;
    input.value = s.value;
    const bounds = document.createElement('span');
    bounds.className = 'bounds';
    bounds.textContent = '(' + s.min + '..' + s.max + ')';
    label.append(s.label + ' ', input, bounds);
    q('.fields').appendChild(label);
    view.fields[s.key] = input;
    input.addEventListener('change', async () => {
      const value = Number(input.value);
      if (input.value.trim() === '' || !Number.isFinite(value)) {
        say(view.settingResult, s.key + ': not a number', true);
        return;
      }
      try {
        const r = await post('/api/settings', { patch: view.index, key: s.key, value });
        input.value = r.value;
        say(view.settingResult, r.message || s.key + ' = ' + r.value);
        view.status.textContent = r.status;
      } catch (e) {
        say(view.settingResult, s.key + ': ' + e.message, true);
      }
    });
  }
  q('.settings').addEventListener('submit', (e) => e.preventDefault());

  const send = levelSender(view);
  const pick = (k) => {
    view.channel.value = k;
    showChannel(view);
  };
  view.inGrid = makeGrid(q('.in-grid'), 'In', pick);
  view.outGrid = makeGrid(q('.out-grid'), 'Out');
  view.channel.addEventListener('input', () => showChannel(view));
  view.slider.addEventListener('input', () => {
    view.level.value = view.slider.value;
    send(Number(view.channel.value), Number(view.slider.value));
  });
  view.level.addEventListener('change', () => {
    const v = Math.max(0, Math.min(255, Math.round(Number(view.level.value) || 0)));
    view.level.value = v;
    view.slider.value = v;
    send(Number(view.channel.value), v);
  });
  q('.inputs').addEventListener('submit', async (e) => {
    e.preventDefault();
    const first = Number(q('.range-first').value);
    const last = Number(q('.range-last').value);
    const level = Number(q('.range-level').value);
    if (!(first >= 1 && last >= first && last <= 512)) {
      say(view.inputResult, 'channels: first..last within 1..512', true);
      return;
    }
    try {
      await post('/api/inputs',
        { patch: view.index, first, levels: new Array(last - first + 1).fill(level) });
      say(view.inputResult, 'In' + first + '..In' + last + ' = ' + level);
    } catch (err) {
      say(view.inputResult, err.message, true);
    }
  });
  document.getElementById('patches').appendChild(node);
  return view;
}

// Puts the slider on the level of the chosen channel, as last shown.
function showChannel(view) {
  const k = Number(view.channel.value);
  view.inGrid.cells.forEach((c, i) => c.classList.toggle('sel', i + 1 === k));
  const v = view.inGrid.levels[k - 1];
  if (v >= 0) {
    view.slider.value = v;
    view.level.value = v;
  }
}

function draw(frame) {
  lastFrame = frame;
  document.body.dataset.seq = frame.seq;
  frame.patches.forEach((p, i) => {
    const view = views[i] || (views[i] = buildPatch(p));
    view.status.textContent = p.status;
    view.state.textContent = p.state;
    view.partner.textContent = p.partner;
    view.node.classList.toggle('stale', !p.receiving);
    for (const s of p.settings) {
      const input = view.fields[s.key];
      if (input && document.activeElement !== input) input.value = s.value;
    }
    drawGrid(view.inGrid, levelsOf(p.in), p.inFirst, p.inLast, frame.seq);
    drawGrid(view.outGrid, levelsOf(p.out), 1, 512, frame.seq);
    if (!view.picked) {
      view.picked = true;
      view.channel.value = p.inFirst;
      showChannel(view);
    }
  });
  document.body.dataset.shownAt = String(Date.now());
}

function connect() {
  const live = document.getElementById('live');
  const events = new EventSource('/api/events');
  events.addEventListener('open', () => {
    live.textContent = 'live';
    live.classList.remove('off');
  });
  events.addEventListener('state', (e) => draw(JSON.parse(e.data)));
  events.addEventListener('error', () => {
    live.textContent = 'disconnected';
    live.classList.add('off');
    views.forEach((v) => v.node.classList.add('stale'));
  });
}

document.getElementById('format').addEventListener('change', (e) => {
  format = e.target.value;
  if (lastFrame) draw(lastFrame);
});

document.getElementById('save').addEventListener('click', async () => {
  const out = document.getElementById('save-result');
  try {
    const r = await post('/api/save', {});
    say(out, r.message || 'saved');
  } catch (e) {
    say(out, 'save: ' + e.message, true);
  }
});

fetch('/api/state').then((r) => r.json()).then((frame) => { if (!lastFrame) draw(frame); });
connect();
