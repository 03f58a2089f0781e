// The live view: one EventSource of min/max envelope frames, drawn with
// uPlot. Each trace is a band from the lowest to the highest value of each
// pixel column, so that nothing the stream held between two pixels is lost.
'use strict';

const GROUPS = [
  { kind: 'analog', title: 'Analog inputs', ylabel: 'V', height: 260 },
  { kind: 'digital', title: 'Digital inputs', ylabel: 'input', height: 320 },
  { kind: 'counter', title: 'Counters', ylabel: 'value', height: 200 },
  { kind: 'encoder', title: 'Encoders', ylabel: 'counts', height: 200 },
];
// Each digital input is drawn as a 0/1 line on a lane of its own.
const LANE = 1.5;
const COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf'];
// Gaps are kept for as long as some column of the window may show them.
const GAP_FILL = 'rgba(220, 0, 0, 0.4)';

const state = {
  config: null,
  epoch: 0,         // the server's count of rate changes; a new one restarts the stream
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
  t0: 0,            // time of column 0 of the current stream
  dt: 0,            // seconds per column
  cols: [],         // column indices held, oldest first
  traces: [],       // per trace: { min: [], max: [], last: [] }, parallel to cols
  gaps: [],         // { t, len, missing, cause } seen on the current stream, oldest first
  charts: {},
  source: null,
  drawPending: false,
  reloading: false,
  waiters: [],
};
window.scopeState = state;

function el(id) { return document.getElementById(id); }

function showMessage(text) { el('message').textContent = text || ''; }

function resetBuffer() {
  state.cols = [];
  state.traces = state.config.traces.map(() => ({ min: [], max: [], last: [] }));
  state.gaps = [];
  state.lastSeq = -1;
  state.frames = 0;
}

function columnTime(col) { return state.t0 + col * state.dt; }

function trimBuffer() {
  const extra = state.cols.length - state.columns;
  if (extra <= state.columns / 4) return;  // trim in chunks, not on every frame
  state.cols.splice(0, extra);
  for (const t of state.traces) { t.min.splice(0, extra); t.max.splice(0, extra); t.last.splice(0, extra); }
  const first = columnTime(state.cols[0]);
  state.gaps = state.gaps.filter((g) => g.t + g.len >= first);
}

function takeFrame(frame) {
  const epoch = frame.status.epoch || 0;
  if (epoch !== state.epoch) { reload(); return; }
  if (state.lastSeq >= 0 && frame.seq > state.lastSeq + 1) state.missed += frame.seq - state.lastSeq - 1;
  state.lastSeq = frame.seq;
  state.serverDropped = frame.dropped;
  state.status = frame.status;
  state.t0 = frame.t0 || 0;
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
  if (frame.gaps) state.gaps.push(...frame.gaps);
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

function describeGap(gap) {
  return `${gap.missing} groups (${gap.cause}) at ${gap.t.toFixed(3)} s`;
}

function showStatus(s) {
  const nominal = state.config.group_rate;
  text('rate', `${Math.round(s.rate)} / ${nominal} groups/s`, s.rate < 0.9 * nominal && s.elapsed > 2);
  text('outputs', String(s.outputs));
  text('lost', String(s.lost), s.lost > 0);
  const last = state.gaps[state.gaps.length - 1];
  text('gaps', s.gaps === undefined ? 'n/a' : s.gaps + (last ? `, last ${describeGap(last)}` : ''), s.gaps > 0);
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

// The x values of every chart: one per column held, and a null-valued point
// wherever data is missing, so that the lines break there instead of
// bridging it: after each jump in the column numbering (a gap, or frames
// that never came), and after a column that a gap shorter than a column fell
// into. Returns the x values and, per point, the column it shows (-1 for a
// break).
function layoutColumns() {
  const xs = [];
  const at = [];
  const cols = state.cols;
  const gaps = state.gaps;
  let g = 0;
  for (let c = 0; c < cols.length; c++) {
    const x = columnTime(cols[c]);
    let gapBefore = false;
    for (; g < gaps.length && gaps[g].t < x; g++) gapBefore = true;
    if (c > 0 && cols[c] !== cols[c - 1] + 1) { xs.push(columnTime(cols[c - 1] + 1)); at.push(-1); }
    else if (c > 0 && gapBefore) { xs.push((xs[xs.length - 1] + x) / 2); at.push(-1); }
    xs.push(x);
    at.push(c);
  }
  return { xs, at };
}

// uPlot's columns for one chart: x, then per trace its lows and its highs.
function chartData(chart, layout) {
  const data = [layout.xs];
  chart.indices.forEach((t, k) => {
    const trace = state.traces[t];
    const offset = chart.digital ? k * LANE : 0;
    const low = new Array(layout.at.length);
    const high = new Array(layout.at.length);
    layout.at.forEach((c, i) => {
      low[i] = c < 0 ? null : trace.min[c] + offset;
      high[i] = c < 0 ? null : trace.max[c] + offset;
    });
    data.push(low, high);
  });
  return data;
}

function formatValue(value, kind) {
  if (kind === 'analog') return value.toFixed(4);
  return String(Math.round(value));
}

function showLegend(chart) {
  const newest = state.cols.length - 1;
  chart.indices.forEach((t, k) => {
    chart.readouts[k].textContent = formatValue(state.traces[t].last[newest], chart.kind);
  });
}

// The window ends with the newest column.
function viewRange() {
  const end = columnTime(state.cols[state.cols.length - 1] + 1);
  return [end - state.window, end];
}

function draw() {
  if (state.cols.length === 0) return;
  const began = performance.now();
  const layout = layoutColumns();
  for (const chart of Object.values(state.charts)) {
    const data = chartData(chart, layout);
    if (!chart.plot) chart.plot = makePlot(chart, data);
    else chart.plot.setData(data);
    showLegend(chart);
  }
  // uPlot paints in a microtask of its own, queued before this one.
  queueMicrotask(() => {
    state.drawMs = performance.now() - began;
    state.draws++;
    state.waiters = state.waiters.filter((w) => (state.draws >= w.draws ? (w.resolve(), false) : true));
  });
}

function drawGaps(u) {
  if (state.gaps.length === 0) return;
  const { left, top, width, height } = u.bbox;
  const ctx = u.ctx;
  ctx.save();
  ctx.fillStyle = GAP_FILL;
  for (const gap of state.gaps) {
    const x0 = Math.max(left, u.valToPos(gap.t, 'x', true));
    const x1 = Math.min(left + width, u.valToPos(gap.t + gap.len, 'x', true));
    // At least two pixels: a short gap must not vanish between columns.
    if (x1 >= left && x0 <= left + width) ctx.fillRect(x0, top, Math.max(2, x1 - x0), height);
  }
  ctx.restore();
}

function laneAxis(names) {
  return {
    label: 'input',
    splits: () => names.map((_, k) => k * LANE + 0.5),
    values: () => names,
    grid: { show: false },
  };
}

function makePlot(chart, data) {
  const names = chart.indices.map((t) => state.config.traces[t].name);
  const series = [{}];
  const bands = [];
  names.forEach((name, k) => {
    const colour = COLOURS[k % COLOURS.length];
    const line = { stroke: colour, width: 1, show: chart.visible[name] !== false, spanGaps: false };
    if (chart.digital) line.paths = uPlot.paths.stepped({ align: 1 });
    series.push(Object.assign({ label: `${name} low` }, line), Object.assign({ label: `${name} high` }, line));
    bands.push({ series: [2 + 2 * k, 1 + 2 * k], fill: colour + '40' });
  });
  const options = {
    width: chart.node.clientWidth || 1000,
    height: chart.height,
    legend: { show: false },
    cursor: { show: false },
    scales: {
      x: { time: false, range: () => viewRange() },
      y: chart.digital ? { auto: false, range: [-0.5, names.length * LANE] } : {},
    },
    axes: [{ label: 'time since start (s)' },
           chart.digital ? laneAxis(names) : { label: chart.ylabel, size: chart.kind === 'analog' ? 50 : 80 }],
    series,
    bands,
    hooks: { draw: [drawGaps] },
  };
  return new uPlot(options, data, chart.node);
}

function addLegend(section, chart) {
  const legend = section.querySelector('.legend');
  chart.readouts = chart.indices.map((t, k) => {
    const item = document.createElement('span');
    item.innerHTML = `<i style="background:${COLOURS[k % COLOURS.length]}"></i>${state.config.traces[t].name} <b></b>`;
    legend.appendChild(item);
    return item.querySelector('b');
  });
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
    section.innerHTML = `<h2>${group.title}</h2><div class="legend"></div><div class="chart ${group.kind}"></div>`;
    box.appendChild(section);
    const chart = {
      kind: group.kind, digital: group.kind === 'digital', ylabel: group.ylabel, height: group.height,
      indices, node: section.querySelector('.chart'), plot: null, visible: {}, readouts: [],
    };
    state.charts[group.kind] = chart;
    addLegend(section, chart);
    indices.forEach((t, k) => {
      const name = state.config.traces[t].name;
      const label = document.createElement('label');
      label.innerHTML = `<input type="checkbox" checked> ${name}`;
      label.querySelector('input').addEventListener('change', (event) => {
        const show = event.target.checked;
        chart.visible[name] = show;
        if (chart.plot) { chart.plot.setSeries(1 + 2 * k, { show }); chart.plot.setSeries(2 + 2 * k, { show }); }
      });
      picks.appendChild(label);
    });
  });
  window.addEventListener('resize', () => {
    for (const chart of Object.values(state.charts))
      if (chart.plot) chart.plot.setSize({ width: chart.node.clientWidth, height: chart.height });
  });
}

// The token the page was opened with, if any. It goes with every request of
// the interface, as a header or, for the stream, in the address; never in a
// cookie, which the browser would send to every other server on this host.
const TOKEN = new URLSearchParams(window.location.search).get('token') || '';

function api(path, options) {
  const headers = TOKEN ? { Authorization: `Bearer ${TOKEN}` } : {};
  return fetch(path, { ...(options || {}), headers });
}

function connect() {
  if (state.source) state.source.close();
  resetBuffer();
  const width = el('charts').clientWidth || 1000;
  state.columns = Math.max(50, Math.min(4000, Math.round(width)));
  const token = TOKEN ? `&token=${encodeURIComponent(TOKEN)}` : '';
  const source = new EventSource(`api/stream?window=${state.window}&columns=${state.columns}${token}`);
  source.onmessage = (event) => takeFrame(JSON.parse(event.data));
  source.onerror = () => { text('link', 'page disconnected', true); };
  state.source = source;
}

function showConfig() {
  el('module').textContent = `${state.config.module}, rate code ${state.config.rate_code}, ` +
                             `${state.config.group_rate} groups/s`;
}

// The rate was changed (from this page or another): the stream restarted
// with new columns, so start over with the new configuration.
async function reload() {
  if (state.reloading) return;
  state.reloading = true;
  if (state.source) state.source.close();
  try {
    state.config = await (await api('api/config')).json();
    state.epoch = state.config.epoch || 0;
    showConfig();
    connect();
  } catch (error) {
    showMessage(String(error));
  } finally {
    state.reloading = false;
  }
}

async function post(path, body) {
  try {
    const reply = await api(path, { method: 'POST', body: body || '' });
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
  el('rate-apply').addEventListener('click', async () => {
    if ((await post('api/rate', el('rate-text').value)).ok) reload();
  });
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
  // The breaks drawn, as the charts have them.
  const breaks = cols.length ? layoutColumns().at.filter((c) => c < 0).length : 0;
  return {
    frames: state.frames, draws: state.draws, drawMs: state.drawMs, missed: state.missed, serverDropped: state.serverDropped,
    epoch: state.epoch, groupRate: state.config.group_rate, dt: state.dt,
    columns: cols.length, breaks, firstT: cols.length ? columnTime(cols[0]) : null,
    lastT: cols.length ? columnTime(cols[cols.length - 1] + 1) : null, status: state.status, traces,
    gaps: state.gaps.slice(),
  };
};

// Resolves once the charts have been drawn `draws` times in all.
window.scopeDrawn = function (draws) {
  if (state.draws >= draws) return Promise.resolve();
  return new Promise((resolve) => state.waiters.push({ draws, resolve }));
};

async function start() {
  state.config = await (await api('api/config')).json();
  state.epoch = state.config.epoch || 0;
  state.window = state.config.window;
  showConfig();
  buildCharts();
  wireControls();
  connect();
}

start().catch((error) => showMessage(String(error)));
