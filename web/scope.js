// The live view: one EventSource of min/max envelope frames, drawn with
// dygraphs (custom bars: low, last value, high per pixel column).
'use strict';

const GROUPS = [
  { kind: 'analog', title: 'Analog inputs', ylabel: 'V' },
  { kind: 'digital', title: 'Digital inputs', ylabel: 'input' },
  { kind: 'counter', title: 'Counters', ylabel: 'value' },
  { kind: 'encoder', title: 'Encoders', ylabel: 'counts' },
];
// Each digital input is drawn as a 0/1 line on a lane of its own.
const LANE = 1.5;

const state = {
  config: null,
  paused: false,
  window: 2,
  columns: 1000,
  frames: 0,        // frames received on the current stream
  draws: 0,
  drawMs: 0,        // how long the last drawing took, for tests and profiling
  lastSeq: -1,
  missed: 0,        // frames the server dropped for this page (gaps in seq)
  serverDropped: 0, // as the server counts them
  status: null,
  cols: [],         // column indices held, oldest first
  dt: 0,            // seconds per column
  traces: [],       // per trace: { min: [], max: [], last: [] }, parallel to cols
  charts: {},
  source: null,
  drawPending: false,
  waiters: [],
};
window.scopeState = state;

function el(id) { return document.getElementById(id); }

function showMessage(text) { el('message').textContent = text || ''; }

function resetBuffer() {
  state.cols = [];
  state.traces = state.config.traces.map(() => ({ min: [], max: [], last: [] }));
  state.lastSeq = -1;
  state.frames = 0;
}

function trimBuffer() {
  const extra = state.cols.length - state.columns;
  if (extra <= state.columns / 4) return;  // trim in chunks, not on every frame
  state.cols.splice(0, extra);
  for (const t of state.traces) { t.min.splice(0, extra); t.max.splice(0, extra); t.last.splice(0, extra); }
}

function takeFrame(frame) {
  if (state.lastSeq >= 0 && frame.seq > state.lastSeq + 1) state.missed += frame.seq - state.lastSeq - 1;
  state.lastSeq = frame.seq;
  state.serverDropped = frame.dropped;
  state.status = frame.status;
  state.dt = frame.dt;
  state.frames++;
  for (let i = 0; i < frame.n; i++) {
    state.cols.push(frame.col + i);
    frame.v.forEach((values, t) => {
      const trace = state.traces[t];
      trace.min.push(values[3 * i]);
      trace.max.push(values[3 * i + 1]);
      trace.last.push(values[3 * i + 2]);
    });
  }
  trimBuffer();
  showStatus(frame.status);
  if (!state.paused) scheduleDraw();
}

// Frames arrive 25 times a second; drawing is done once per screen refresh
// at most, with whatever arrived by then, so a slow machine draws less often
// instead of falling behind. The timer covers pages that get no refreshes
// (hidden, or headless).
function scheduleDraw() {
  if (state.drawPending) return;
  state.drawPending = true;
  const run = () => {
    if (!state.drawPending) return;
    state.drawPending = false;
    draw();
  };
  requestAnimationFrame(run);
  setTimeout(run, 100);
}

function text(id, value, bad) {
  const node = el(id);
  node.textContent = value;
  node.classList.toggle('bad', !!bad);
}

function showStatus(s) {
  const nominal = state.config.group_rate;
  text('rate', `${Math.round(s.rate)} / ${nominal} groups/s`, s.rate < 0.9 * nominal && s.elapsed > 2);
  text('outputs', String(s.outputs));
  text('lost', String(s.lost), s.lost > 0);
  text('gaps', s.gaps === undefined ? 'n/a' : String(s.gaps), s.gaps > 0);
  text('link', s.link, s.link !== 'up');
  const dropped = Math.max(state.missed, state.serverDropped);
  text('dropped', `${dropped} here, ${s.frames_dropped} in all`, dropped > 0);
  text('viewers', String(s.viewers));
  const rec = s.recording;
  el('record').textContent = rec.on ? 'Stop recording' : 'Start recording';
  text('record-state', rec.on ? `recording ${rec.file} (${rec.bytes} bytes)`
                              : rec.error ? rec.error : rec.file ? `recorded ${rec.file}` : 'not recording',
       !!rec.error);
}

// Rows for one chart: [t, [low, last, high], ...]; a null row marks columns
// that never arrived, so the line breaks there instead of bridging it.
function rowsOf(indices, lane) {
  const rows = [];
  const cols = state.cols;
  for (let c = 0; c < cols.length; c++) {
    if (c > 0 && cols[c] !== cols[c - 1] + 1) rows.push([(cols[c - 1] + 1) * state.dt].concat(indices.map(() => null)));
    const row = [cols[c] * state.dt];
    indices.forEach((t, k) => {
      const trace = state.traces[t];
      const offset = lane ? k * LANE : 0;
      row.push([trace.min[c] + offset, trace.last[c] + offset, trace.max[c] + offset]);
    });
    rows.push(row);
  }
  return rows;
}

function draw() {
  if (state.cols.length === 0) return;
  const began = performance.now();
  for (const group of GROUPS) {
    const chart = state.charts[group.kind];
    if (!chart) continue;
    const rows = rowsOf(chart.indices, group.kind === 'digital');
    const last = rows[rows.length - 1][0];
    const options = { file: rows, dateWindow: [last - state.window, last] };
    if (!chart.graph) chart.graph = makeGraph(group, chart, rows, options);
    else chart.graph.updateOptions(options);
  }
  state.drawMs = performance.now() - began;
  state.draws++;
  state.waiters = state.waiters.filter((w) => (state.draws >= w.draws ? (w.resolve(), false) : true));
}

function makeGraph(group, chart, rows, options) {
  const names = chart.indices.map((t) => state.config.traces[t].name);
  const digital = group.kind === 'digital';
  return new Dygraph(chart.node, rows, Object.assign({
    labels: ['t'].concat(names),
    customBars: true,
    stepPlot: digital,
    xlabel: 'time since start (s)',
    ylabel: group.ylabel,
    legend: 'always',
    labelsKMB: group.kind !== 'analog',
    valueRange: digital ? [-0.5, names.length * LANE] : null,
    axes: digital ? { y: { drawAxis: false } } : {},
    visibility: names.map((n) => chart.visible[n] !== false),
    animatedZooms: false,
    interactionModel: {},
  }, options));
}

function buildCharts() {
  const box = el('charts');
  const picks = el('channels');
  GROUPS.forEach((group) => {
    const indices = [];
    state.config.traces.forEach((t, i) => { if (t.kind === group.kind) indices.push(i); });
    if (indices.length === 0) return;
    const section = document.createElement('div');
    section.className = 'chart-box';
    section.innerHTML = `<h2>${group.title}</h2><div class="chart ${group.kind}"></div>`;
    box.appendChild(section);
    const chart = { indices, node: section.querySelector('.chart'), graph: null, visible: {} };
    state.charts[group.kind] = chart;
    indices.forEach((t, k) => {
      const name = state.config.traces[t].name;
      const label = document.createElement('label');
      label.innerHTML = `<input type="checkbox" checked> ${name}`;
      label.querySelector('input').addEventListener('change', (event) => {
        chart.visible[name] = event.target.checked;
        if (chart.graph) chart.graph.setVisibility(k, event.target.checked);
      });
      picks.appendChild(label);
    });
  });
}

function connect() {
  if (state.source) state.source.close();
  resetBuffer();
  const width = el('charts').clientWidth || 1000;
  state.columns = Math.max(50, Math.min(4000, Math.round(width)));
  const source = new EventSource(`api/stream?window=${state.window}&columns=${state.columns}`);
  source.onmessage = (event) => takeFrame(JSON.parse(event.data));
  source.onerror = () => { text('link', 'page disconnected', true); };
  state.source = source;
}

async function post(path, body) {
  try {
    const reply = await fetch(path, { method: 'POST', body: body || '' });
    const answer = await reply.json();
    showMessage(answer.ok ? '' : answer.error);
    return answer;
  } catch (error) {
    showMessage(String(error));
    return { ok: false };
  }
}

function wireControls() {
  el('pause').addEventListener('click', () => {
    state.paused = !state.paused;
    el('pause').textContent = state.paused ? 'Resume' : 'Pause';
    if (!state.paused) scheduleDraw();
  });
  const windowPick = el('window');
  windowPick.value = String(state.window);
  windowPick.addEventListener('change', () => { state.window = Number(windowPick.value); connect(); });
  el('record').addEventListener('click', () => {
    const on = state.status && state.status.recording.on;
    post(on ? 'api/record/stop' : 'api/record/start');
  });
  el('range-apply').addEventListener('click', () => post('api/range', el('range').value));
}

// For tests and the curious: what the page holds, per trace, over its window.
window.scopeSummary = function () {
  const traces = {};
  state.config.traces.forEach((info, t) => {
    const trace = state.traces[t];
    traces[info.name] = {
      min: Math.min(...trace.min), max: Math.max(...trace.max), last: trace.last[trace.last.length - 1],
    };
  });
  const cols = state.cols;
  return {
    frames: state.frames, draws: state.draws, drawMs: state.drawMs, missed: state.missed, serverDropped: state.serverDropped,
    columns: cols.length, firstT: cols.length ? cols[0] * state.dt : null,
    lastT: cols.length ? (cols[cols.length - 1] + 1) * state.dt : null, status: state.status, traces,
  };
};

// Resolves once the charts have been drawn `draws` times in all.
window.scopeDrawn = function (draws) {
  if (state.draws >= draws) return Promise.resolve();
  return new Promise((resolve) => state.waiters.push({ draws, resolve }));
};

async function start() {
  state.config = await (await fetch('api/config')).json();
  state.window = state.config.window;
  el('module').textContent = `${state.config.module}, rate code ${state.config.rate_code}`;
  buildCharts();
  wireControls();
  connect();
}

start().catch((error) => showMessage(String(error)));
