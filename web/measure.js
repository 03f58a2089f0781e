// What a test engineer reads off a trace: level crossings placed between two
// samples, the usual measurements over a window, and values under cursors.
// Pure functions over plain arrays of sample times (s) and values, so that
// Node tests them as the page uses them.
'use strict';

(function (root) {
  // Where the line from (t0, v0) to (t1, v1) meets `level`.
  function interpolateTime(t0, v0, t1, v1, level) {
    return v1 === v0 ? t1 : t0 + ((level - v0) / (v1 - v0)) * (t1 - t0);
  }

  // Crossings of `level` in the direction `slope` ('rising' or 'falling'),
  // after the signal was beyond level -/+ hysteresis on the other side, at
  // times not before `from`. Each is { index, t, run }: the first sample past
  // the level, the interpolated time of the crossing, and which run of
  // samples it lies in. `breaks` (a Set, optional) holds the indices of the
  // samples that do not follow the one before (after a gap): no crossing is
  // placed across one.
  function crossings(times, values, level, slope, hysteresis, from, breaks) {
    const sign = slope === 'falling' ? -1 : 1;
    const armLevel = sign * level - Math.max(0, hysteresis || 0);
    const start = from === undefined ? -Infinity : from;
    const found = [];
    let armed = false;
    let run = 0;
    for (let i = 0; i < values.length; i++) {
      if (breaks && breaks.has(i)) { armed = false; run++; }
      const v = sign * values[i];
      if (v < armLevel) armed = true;
      if (!armed || v < sign * level) continue;
      armed = false;
      const t = interpolateTime(times[i - 1], values[i - 1], times[i], values[i], level);
      if (t >= start) found.push({ index: i, t, run });
    }
    return found;
  }

  // Frequency from rising crossings of the mean with a hysteresis of a tenth
  // of the peak-to-peak: whole periods between the first and the last
  // crossing of each run, over the time they take. NaN when fewer than two
  // periods are seen.
  function frequency(times, values, mean, peakToPeak, breaks) {
    if (!(peakToPeak > 0)) return NaN;
    const found = crossings(times, values, mean, 'rising', 0.1 * peakToPeak, undefined, breaks);
    let periods = 0;
    let span = 0;
    for (let i = 1; i < found.length; i++) {
      if (found[i].run !== found[i - 1].run) continue;
      periods++;
      span += found[i].t - found[i - 1].t;
    }
    return periods >= 2 && span > 0 ? periods / span : NaN;
  }

  // Minimum and maximum from the columns' envelopes (every group seen), mean,
  // RMS and frequency from the sample of each column. `lows`/`highs` may be
  // left out: the samples then stand for the envelope. `breaks` as for
  // crossings.
  function measure(times, values, lows, highs, breaks) {
    const n = values.length;
    if (n === 0) return null;
    let sum = 0;
    let squares = 0;
    for (const v of values) { sum += v; squares += v * v; }
    const min = Math.min(...(lows || values));
    const max = Math.max(...(highs || values));
    const mean = sum / n;
    const rms = Math.sqrt(squares / n);
    return { min, max, mean, rms, peakToPeak: max - min, frequency: frequency(times, values, mean, max - min, breaks) };
  }

  // The value at time t, interpolated between the two samples around it;
  // NaN outside the samples.
  function valueAt(times, values, t) {
    let hi = times.length - 1;
    if (hi < 0 || t < times[0] || t > times[hi]) return NaN;
    let lo = 0;
    while (hi - lo > 1) {
      const mid = (lo + hi) >> 1;
      if (times[mid] <= t) lo = mid; else hi = mid;
    }
    if (times[hi] === times[lo]) return values[lo];
    return values[lo] + ((t - times[lo]) / (times[hi] - times[lo])) * (values[hi] - values[lo]);
  }

  // The two cursors' difference: time, its inverse, and a trace's value.
  function cursorDelta(times, values, ta, tb) {
    const dt = tb - ta;
    return { dt, inverse: dt !== 0 ? 1 / Math.abs(dt) : NaN,
             dv: valueAt(times, values, tb) - valueAt(times, values, ta) };
  }

  const api = { interpolateTime, crossings, frequency, measure, valueAt, cursorDelta };
  if (typeof module !== 'undefined' && module.exports) module.exports = api;
  else root.ScopeMeasure = api;
})(this);
