// The page's trigger: where each sweep starts, by mode. A sweep is one window
// of data that starts at a crossing of the level; it is shown once its
// window is complete, and the trigger re-arms at its end.
//   auto:   sweeps as they come; when none comes within the time-out after
//           arming, the free-running window is shown until one does.
//   normal: the last sweep stays until the next one.
//   single: the first sweep after arming stays until armed again.
// Time is the data's own (seconds since the start), never the clock's, so the
// page behaves the same however late frames arrive. Pure functions.
'use strict';

(function (root) {
  const measure = typeof module !== 'undefined' && module.exports ? require('./measure.js') : root.ScopeMeasure;

  // Data time that auto mode waits for a trigger before running free.
  function autoTimeout(window) { return Math.max(0.25, window); }

  // Settings: { mode: 'off'|'auto'|'normal'|'single', trace, level, slope,
  // hysteresis }. Armed at data time `now`.
  function makeTrigger(settings, now) {
    return { ...settings, armedAt: now, sweep: null, done: false };
  }

  // Takes the sweeps completed in the samples (times, values of the trigger's
  // trace, `breaks` as for crossings) with `newest` the data time reached.
  // Returns the sweep taken, if any: { start, end, index } with `index` the
  // first sample past the level.
  function advanceTrigger(trigger, samples, newest, window) {
    if (trigger.mode === 'off' || trigger.done) return null;
    const found = measure.crossings(samples.times, samples.values, trigger.level, trigger.slope,
                                    trigger.hysteresis, trigger.armedAt, samples.breaks);
    let taken = null;
    for (const c of found) {
      if (c.t < trigger.armedAt || c.t + window > newest) break;
      taken = { start: c.t, end: c.t + window, index: c.index };
      trigger.armedAt = taken.end;
      if (trigger.mode === 'single') { trigger.done = true; break; }
    }
    if (taken) trigger.sweep = taken;
    const next = found.find((c) => c.t >= trigger.armedAt);
    trigger.next = next ? next.t : null;
    return taken;
  }

  // The time range to show: the sweep's, or the newest window when running
  // free. `free` says which.
  function viewOf(trigger, newest, window) {
    const running = { range: [newest - window, newest], free: true };
    if (trigger.mode === 'off') return running;
    // Auto runs free when the first crossing after arming came late or not
    // yet, until that crossing's sweep is complete.
    if (trigger.mode === 'auto') {
      const waited = (trigger.next === null || trigger.next === undefined ? newest : trigger.next) - trigger.armedAt;
      if (waited > autoTimeout(window)) return running;
    }
    if (!trigger.sweep) return running;
    return { range: [trigger.sweep.start, trigger.sweep.end], free: false };
  }

  const api = { makeTrigger, advanceTrigger, viewOf, autoTimeout };
  if (typeof module !== 'undefined' && module.exports) module.exports = api;
  else root.ScopeTrigger = api;
})(this);
