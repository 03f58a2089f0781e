// The page's instruments over the charts: the trigger (which data the charts
// show), the level line and the cursors drawn on them, the measurements
// table and the spectrum. The arithmetic is in measure.js, spectrum.js and
// trigger.js; this file only takes samples out of the page's columns and
// shows the results.
'use strict';

const Analysis = (() => {
  const LEVEL_COLOUR = '#ff00ff';
  const CURSOR_COLOURS = ['#008800', '#0000cc'];
  const CURSOR_GRAB_PX = 6;
  // The hysteresis of the trigger, as a share of the trace's peak-to-peak
  // when it is armed: enough to ignore the chatter of a slow edge.
  const TRIGGER_HYSTERESIS = 0.02;

  const a = {
    trigger: ScopeTrigger.makeTrigger({ mode: 'off' }, -Infinity),
    held: null,         // the sweep shown, as columns of its own
    cursors: [null, null],
    spectrumTrace: -1,
    spectrumPlot: null,
    readings: { measurements: {}, cursors: null, spectrum: null },
    cells: null,        // the measurements table's cells by trace
    redraw: () => {},
  };

  function el(id) { return document.getElementById(id); }

  // Trace t's samples in `data` (each column's last value, at its end),
  // those in `range` if given, with the envelope of their columns and the
  // breaks where a gap or missing columns lie between two samples.
  function samplesOf(data, t, range) {
    const s = { times: [], values: [], lows: [], highs: [], breaks: new Set() };
    const trace = data.traces[t];
    let gap = 0;
    let previousCol = null;
    for (let i = 0; i < data.cols.length; i++) {
      const col = data.cols[i];
      const time = data.t0 + (col + 1) * data.dt;
      if (range && (time < range[0] || time > range[1])) continue;
      let broken = previousCol !== null && col !== previousCol + 1;
      for (; gap < data.gaps.length && data.gaps[gap].t <= time; gap++)
        if (previousCol !== null && data.gaps[gap].t > time - 2 * data.dt) broken = true;
      if (broken) s.breaks.add(s.times.length);
      s.times.push(time);
      s.values.push(trace.last[i]);
      s.lows.push(trace.min[i]);
      s.highs.push(trace.max[i]);
      previousCol = col;
    }
    return s;
  }

  // The buffer's columns from one column before `from` to one after `to`
  // (data time), copied: a held sweep must outlive the buffer's trimming.
  function sliceOf(state, from, to) {
    const keep = [];
    state.cols.forEach((col, i) => {
      const start = state.t0 + col * state.dt;
      if (start >= from - 2 * state.dt && start <= to + state.dt) keep.push(i);
    });
    const first = keep.length ? keep[0] : 0;
    const end = keep.length ? keep[keep.length - 1] + 1 : 0;
    return {
      t0: state.t0, dt: state.dt, cols: state.cols.slice(first, end),
      traces: state.traces.map((tr) => ({ min: tr.min.slice(first, end), max: tr.max.slice(first, end),
                                          last: tr.last.slice(first, end) })),
      gaps: state.gaps.filter((g) => g.t + g.len >= from && g.t <= to),
    };
  }

  // Each frame: the trigger looks for completed sweeps in the buffer.
  function takeData(state, newest) {
    const trigger = a.trigger;
    if (trigger.mode === 'off' || trigger.trace === undefined) return;
    const taken = ScopeTrigger.advanceTrigger(trigger, samplesOf(state, trigger.trace), newest, state.window);
    if (taken) a.held = sliceOf(state, taken.start, taken.end);
  }

  // What the charts show now: { data, range, free }.
  function shownData(state, newest) {
    const view = ScopeTrigger.viewOf(a.trigger, newest, state.window);
    if (view.free || !a.held) return { data: state, range: [newest - state.window, newest], free: true };
    return { data: a.held, range: view.range, free: false };
  }

  function arm(state) {
    const trace = Number(el('trigger-trace').value);
    const level = Number(el('trigger-level').value);
    const mode = el('trigger-mode').value;
    const newest = state.cols.length ? state.t0 + (state.cols[state.cols.length - 1] + 1) * state.dt : -Infinity;
    const seen = state.cols.length && state.shown ? samplesOf(state.shown.data, trace, state.shown.range) : null;
    const span = seen && seen.values.length ? Math.max(...seen.highs) - Math.min(...seen.lows) : 0;
    el('trigger-level').classList.toggle('bad', !Number.isFinite(level));
    a.trigger = ScopeTrigger.makeTrigger({
      mode: Number.isFinite(level) ? mode : 'off', trace, level, slope: el('trigger-slope').value,
      hysteresis: TRIGGER_HYSTERESIS * span,
    }, newest);
    a.held = null;
    a.redraw();
  }

  // A new trigger trace starts at the middle of what it shows.
  function levelToMiddle(state) {
    if (!state.shown) return;
    const s = samplesOf(state.shown.data, Number(el('trigger-trace').value), state.shown.range);
    if (s.values.length === 0) return;
    el('trigger-level').value = String(Number(((Math.min(...s.lows) + Math.max(...s.highs)) / 2).toPrecision(4)));
  }

  function traceOptions(select, state, filter) {
    state.config.traces.forEach((info, t) => {
      if (!filter(info)) return;
      const option = document.createElement('option');
      option.value = String(t);
      option.textContent = info.name;
      select.appendChild(option);
    });
  }

  function build(state, redraw) {
    a.redraw = redraw;
    traceOptions(el('trigger-trace'), state, () => true);
    traceOptions(el('spectrum-trace'), state, (info) => info.kind !== 'digital');
    for (const id of ['trigger-mode', 'trigger-slope', 'trigger-level']) el(id).addEventListener('change', () => arm(state));
    el('trigger-trace').addEventListener('change', () => { levelToMiddle(state); arm(state); });
    el('trigger-arm').addEventListener('click', () => arm(state));
    el('cursors-clear').addEventListener('click', () => { a.cursors = [null, null]; a.redraw(); });
    el('spectrum-trace').addEventListener('change', () => {
      a.spectrumTrace = Number(el('spectrum-trace').value);
      el('spectrum-box').classList.toggle('hidden', a.spectrumTrace < 0);
      a.redraw();
    });
  }

  function drawLevel(chart, u) {
    const trigger = a.trigger;
    if (trigger.mode === 'off' || !chart.indices.includes(trigger.trace)) return;
    const y = Math.round(u.valToPos(trigger.level + chart.offsetOf(trigger.trace), 'y', true));
    const { left, top, width, height } = u.bbox;
    if (y < top || y > top + height) return;
    const ctx = u.ctx;
    ctx.save();
    ctx.strokeStyle = LEVEL_COLOUR;
    ctx.lineWidth = 1;
    ctx.setLineDash([8, 4]);
    ctx.beginPath();
    ctx.moveTo(left, y + 0.5);
    ctx.lineTo(left + width, y + 0.5);
    ctx.stroke();
    ctx.restore();
  }

  function drawCursors(u) {
    const { left, top, width, height } = u.bbox;
    const ctx = u.ctx;
    ctx.save();
    ctx.lineWidth = 1;
    a.cursors.forEach((t, k) => {
      if (t === null) return;
      const x = Math.round(u.valToPos(t, 'x', true));
      if (x < left || x > left + width) return;
      ctx.strokeStyle = CURSOR_COLOURS[k];
      ctx.beginPath();
      ctx.moveTo(x + 0.5, top);
      ctx.lineTo(x + 0.5, top + height);
      ctx.stroke();
      ctx.fillStyle = CURSOR_COLOURS[k];
      ctx.fillText(k === 0 ? 'A' : 'B', x + 3, top + 10);
    });
    ctx.restore();
  }

  function drawMarks(state, chart, u) {
    drawLevel(chart, u);
    drawCursors(u);
  }

  // A press near a cursor drags it; elsewhere it places A, then B, then
  // moves the nearer one.
  function placeCursorsOn(state, plot) {
    const timeAt = (event) => plot.posToVal(event.clientX - plot.over.getBoundingClientRect().left, 'x');
    plot.over.addEventListener('mousedown', (event) => {
      const t = timeAt(event);
      const pixels = a.cursors.map((c) => (c === null ? Infinity : Math.abs(plot.valToPos(c, 'x') - plot.valToPos(t, 'x'))));
      let k = pixels[0] <= pixels[1] ? 0 : 1;
      if (pixels[k] > CURSOR_GRAB_PX) k = a.cursors[0] === null ? 0 : a.cursors[1] === null ? 1 : k;
      a.cursors[k] = t;
      a.redraw();
      const move = (e) => { a.cursors[k] = timeAt(e); a.redraw(); };
      const up = () => { window.removeEventListener('mousemove', move); window.removeEventListener('mouseup', up); };
      window.addEventListener('mousemove', move);
      window.addEventListener('mouseup', up);
      event.preventDefault();
    });
  }

  function formatNumber(value, digits) {
    return Number.isFinite(value) ? value.toFixed(digits) : '';
  }

  function showCursors() {
    const [ta, tb] = a.cursors;
    if (ta === null && tb === null) { el('cursor-readout').textContent = 'click a chart to place cursors'; return; }
    const parts = [`A ${formatNumber(ta, 6)} s`, `B ${tb === null ? '-' : formatNumber(tb, 6) + ' s'}`];
    if (ta !== null && tb !== null) {
      const dt = tb - ta;
      parts.push(`Δt ${formatNumber(dt * 1000, 3)} ms`, `1/Δt ${formatNumber(1 / Math.abs(dt), 3)} Hz`);
      a.readings.cursors = { a: ta, b: tb, dt, inverse: 1 / Math.abs(dt) };
    } else a.readings.cursors = null;
    el('cursor-readout').textContent = parts.join(', ');
  }

  const COLUMNS = ['trace', 'min', 'max', 'mean', 'RMS', 'p-p', 'frequency (Hz)', 'at A', 'at B', 'Δ (B - A)'];

  function measurementRow(state, t) {
    const info = state.config.traces[t];
    const s = samplesOf(state.shown.data, t, state.shown.range);
    const m = ScopeMeasure.measure(s.times, s.values, s.lows, s.highs, s.breaks);
    if (!m) return null;
    const [ta, tb] = a.cursors;
    const at = (c) => (c === null ? NaN : ScopeMeasure.valueAt(s.times, s.values, c));
    const digits = info.kind === 'analog' ? 4 : 1;
    a.readings.measurements[info.name] = { ...m, a: at(ta), b: at(tb) };
    return [info.name, ...[m.min, m.max, m.mean, m.rms, m.peakToPeak].map((v) => formatNumber(v, digits)),
            Number.isFinite(m.frequency) ? m.frequency.toPrecision(6) : '',
            formatNumber(at(ta), digits), formatNumber(at(tb), digits), formatNumber(at(tb) - at(ta), digits)];
  }

  // The table is built once; each drawing only changes the cells' texts.
  function tableCells(state) {
    if (a.cells) return a.cells;
    const table = el('measurements');
    table.innerHTML = `<tr>${COLUMNS.map((c) => `<th>${c}</th>`).join('')}</tr>`;
    a.cells = {};
    state.config.traces.forEach((info, t) => {
      if (info.kind === 'digital') return;
      const row = table.insertRow();
      a.cells[t] = COLUMNS.map(() => row.insertCell());
    });
    return a.cells;
  }

  function showMeasurements(state) {
    const cells = tableCells(state);
    a.readings.measurements = {};
    for (const [t, row] of Object.entries(cells)) {
      const texts = measurementRow(state, Number(t)) || [state.config.traces[t].name];
      row.forEach((cell, k) => {
        const text = texts[k] === undefined ? '' : texts[k];
        if (cell.textContent !== text) cell.textContent = text;
      });
    }
  }

  // The spectrum of the newest run of samples without a break.
  function showSpectrum(state) {
    a.readings.spectrum = null;
    if (a.spectrumTrace < 0) return;
    const s = samplesOf(state.shown.data, a.spectrumTrace, state.shown.range);
    const from = Math.max(0, ...s.breaks);
    const values = s.values.slice(from);
    if (values.length < 8) return;
    const rate = 1 / state.shown.data.dt;
    const bins = ScopeSpectrum.spectrum(values, rate);
    const peak = ScopeSpectrum.spectrumPeak(bins);
    const data = [Array.from(bins.frequencies), Array.from(bins.levels)];
    if (!a.spectrumPlot) a.spectrumPlot = makeSpectrumPlot(data);
    else a.spectrumPlot.setData(data);
    a.readings.spectrum = { trace: state.config.traces[a.spectrumTrace].name, sampleRate: rate,
                            samples: values.length, bins: bins.levels.length, peak };
    el('spectrum-peak').textContent = peak
      ? `peak ${peak.frequency.toPrecision(6)} Hz, ${peak.level.toFixed(2)} dBV (${values.length} samples at ${rate.toFixed(1)} /s)`
      : '';
  }

  function makeSpectrumPlot(data) {
    const node = el('spectrum');
    return new uPlot({
      width: node.clientWidth || 1000, height: 220, legend: { show: false }, cursor: { show: false },
      scales: { x: { time: false } },
      axes: [{ label: 'frequency (Hz)' }, { label: 'dBV', size: 50 }],
      series: [{}, { stroke: '#1f77b4', width: 1 }],
    }, data, node);
  }

  function showTriggerState(state) {
    const trigger = a.trigger;
    let text = '';
    if (trigger.mode !== 'off') {
      if (!state.shown.free) text = `sweep from ${state.shown.range[0].toFixed(6)} s` + (trigger.done ? ', stopped (Arm for another)' : '');
      else text = trigger.mode === 'auto' ? 'no trigger: running free' : 'waiting for a trigger';
    }
    el('trigger-state').textContent = text;
  }

  function showReadings(state) {
    showTriggerState(state);
    showCursors();
    showMeasurements(state);
    showSpectrum(state);
  }

  function resize() {
    if (a.spectrumPlot) a.spectrumPlot.setSize({ width: el('spectrum').clientWidth, height: 220 });
  }

  // For tests: the trigger, what is shown, and the last readings.
  function summary(state) {
    const t = a.trigger;
    const shown = state.shown;
    return {
      trigger: { mode: t.mode, trace: t.trace, level: t.level, slope: t.slope, sweep: t.sweep, done: t.done },
      shownRange: shown ? shown.range : null, shownFree: shown ? shown.free : true,
      measurements: a.readings.measurements, cursors: a.readings.cursors, spectrum: a.readings.spectrum,
    };
  }

  return { takeData, shownData, build, drawMarks, placeCursorsOn, showReadings, resize, summary, samplesOf };
})();
