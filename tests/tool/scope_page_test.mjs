// The scope page's pure functions under Node: crossings, measurements,
// cursors, the spectrum and the trigger modes, against sines whose
// amplitude, offset and frequency are known (the simulated module's model:
// channel k is (k - 4.5) V + 0.5 V sin(2 pi 10k t)).
// Usage: node --test scope_page_test.mjs
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const measure = require('../../web/measure.js');
const spectrum = require('../../web/spectrum.js');
const trigger = require('../../web/trigger.js');

function near(value, expected, tolerance, what) {
  assert.ok(Math.abs(value - expected) <= tolerance, `${what}: ${value}, expected ${expected} +/- ${tolerance}`);
}

// n samples at `rate` from t0 of dc + amplitude sin(2 pi f t + phase).
function sine({ dc = 0, amplitude = 1, f, rate, n, t0 = 0, phase = 0 }) {
  const times = [];
  const values = [];
  for (let i = 0; i < n; i++) {
    const t = t0 + i / rate;
    times.push(t);
    values.push(dc + amplitude * Math.sin(2 * Math.PI * f * t + phase));
  }
  return { times, values };
}

test('crossings are placed between the two samples around them, with hysteresis', () => {
  const times = [0, 1, 2, 3, 4, 5];
  const values = [0, 1.01, 0.99, 1.01, 0, 2];
  const plain = measure.crossings(times, values, 1, 'rising', 0);
  assert.deepEqual(plain.map((c) => c.index), [1, 3, 5]);
  near(plain[0].t, 1 / 1.01, 1e-12, 'first crossing');
  near(plain[2].t, 4.5, 1e-12, 'last crossing');
  const steady = measure.crossings(times, values, 1, 'rising', 0.1);
  assert.deepEqual(steady.map((c) => c.index), [1, 5], 'the chatter around the level is not a crossing');
  const falling = measure.crossings(times, values, 0.5, 'falling', 0);
  assert.deepEqual(falling.map((c) => c.index), [4]);
  near(falling[0].t, 3 + 0.51 / 1.01, 1e-12, 'falling crossing');
  assert.deepEqual(measure.crossings(times, values, 1, 'rising', 0, 2).map((c) => c.index), [3, 5],
                   'none before `from`');
  assert.deepEqual(measure.crossings(times, values, 1, 'rising', 0, undefined, new Set([3, 5])).map((c) => c.index),
                   [1], 'none across a break');
});

test('measurements of the model sines over whole and partial periods', () => {
  for (let k = 1; k <= 8; k++) {
    const dc = k - 4.5;
    const f = 10 * k;
    // 2 s at 500 columns a second: the page's default window.
    const s = sine({ dc, amplitude: 0.5, f, rate: 500, n: 1000, phase: 0.3 });
    const m = measure.measure(s.times, s.values);
    near(m.min, dc - 0.5, 0.5 * (1 - Math.cos(Math.PI * f / 500)) + 1e-9, `ai${k} min`);
    near(m.max, dc + 0.5, 0.5 * (1 - Math.cos(Math.PI * f / 500)) + 1e-9, `ai${k} max`);
    near(m.mean, dc, 1e-9, `ai${k} mean`);
    near(m.rms, Math.sqrt(dc * dc + 0.125), 1e-9, `ai${k} RMS`);
    near(m.peakToPeak, 1, 2 * 0.5 * (1 - Math.cos(Math.PI * f / 500)) + 1e-9, `ai${k} peak-to-peak`);
    near(m.frequency, f, 1e-3 * f, `ai${k} frequency`);
  }
  const partial = sine({ dc: 1, amplitude: 2, f: 37.3, rate: 1000, n: 1234, phase: 1 });
  const m = measure.measure(partial.times, partial.values);
  near(m.frequency, 37.3, 0.02, 'frequency over a partial period');
  near(m.mean, 1, 2 / (Math.PI * 37.3 * 1.234), 'mean over a partial period');
  const envelope = measure.measure([0, 1], [0, 1], [-2, 0], [1, 3]);
  assert.equal(envelope.min, -2, 'minimum from the envelope');
  assert.equal(envelope.max, 3, 'maximum from the envelope');
});

test('frequency is blank under two periods and not fooled by a gap', () => {
  const short = sine({ f: 10, rate: 1000, n: 190, phase: 0.1 });
  assert.ok(Number.isNaN(measure.measure(short.times, short.values).frequency), 'under two periods');
  // Two runs of a 10 Hz sine, the second starting 0.437 s later than it
  // would have: joining them would add a period that never was.
  const a = sine({ f: 10, rate: 1000, n: 700 });
  const b = sine({ f: 10, rate: 1000, n: 700, t0: 0.7 + 0.437 });
  const times = a.times.concat(b.times);
  const values = a.values.concat(b.values);
  const m = measure.measure(times, values, undefined, undefined, new Set([700]));
  near(m.frequency, 10, 0.01, 'frequency across a gap');
});

test('cursors read interpolated values and their differences', () => {
  const times = [0, 0.5, 1, 1.5];
  const values = [0, 1, 3, 2];
  near(measure.valueAt(times, values, 0.75), 2, 1e-12, 'value between samples');
  assert.ok(Number.isNaN(measure.valueAt(times, values, 2)), 'no value outside the samples');
  const d = measure.cursorDelta(times, values, 1.25, 0.25);
  near(d.dt, -1, 1e-12, 'time difference');
  near(d.inverse, 1, 1e-12, '1 / time difference');
  near(d.dv, 0.5 - 2.5, 1e-12, 'value difference');
});

test('the FFT agrees with a direct transform', () => {
  const n = 64;
  const re = new Float64Array(n);
  const im = new Float64Array(n);
  for (let i = 0; i < n; i++) { re[i] = Math.sin(i * 1.7) + (i % 5) * 0.3; im[i] = Math.cos(i * 0.3); }
  const inRe = Float64Array.from(re);
  const inIm = Float64Array.from(im);
  spectrum.fft(re, im);
  for (let k = 0; k < n; k++) {
    let sr = 0;
    let si = 0;
    for (let i = 0; i < n; i++) {
      const a = (-2 * Math.PI * k * i) / n;
      sr += inRe[i] * Math.cos(a) - inIm[i] * Math.sin(a);
      si += inRe[i] * Math.sin(a) + inIm[i] * Math.cos(a);
    }
    near(re[k], sr, 1e-9, `bin ${k} real`);
    near(im[k], si, 1e-9, `bin ${k} imaginary`);
  }
});

test('a sine reads its RMS in dBV at its frequency, on a bin or between two', () => {
  // 1 V amplitude exactly on bin 64 of 1024: -3.01 dBV in the bin itself.
  const onBin = sine({ f: 62.5, rate: 1000, n: 1024 });
  const bins = spectrum.spectrum(onBin.values, 1000);
  near(bins.frequencies[64], 62.5, 1e-9, 'bin frequency');
  near(bins.levels[64], -3.0103, 0.01, 'level of the bin');
  const peak = spectrum.spectrumPeak(bins);
  near(peak.frequency, 62.5, 0.01, 'peak frequency');
  near(peak.level, -3.0103, 0.01, 'peak level');
  // The model's ai3 seen in 1000 columns of 2 s: offset, between bins, padded.
  const ai3 = sine({ dc: -1.5, amplitude: 0.5, f: 30, rate: 500, n: 1000, phase: 0.7 });
  const p3 = spectrum.spectrumPeak(spectrum.spectrum(ai3.values, 500));
  near(p3.frequency, 30, 0.05, 'ai3 peak frequency');
  near(p3.level, 20 * Math.log10(0.5 / Math.SQRT2), 0.05, 'ai3 peak level');
  near(spectrum.spectrum(ai3.values, 500).levels[0], 20 * Math.log10(1.5), 0.05, 'ai3 offset in the first bin');
  for (const f of [101.3, 222.2, 317.7]) {
    const s = sine({ amplitude: 2, f, rate: 1000, n: 1500, phase: f });
    const p = spectrum.spectrumPeak(spectrum.spectrum(s.values, 1000));
    near(p.frequency, f, 0.1, `${f} Hz peak frequency`);
    near(p.level, 20 * Math.log10(2 / Math.SQRT2), 0.05, `${f} Hz peak level`);
  }
});

// The model's ai1 (10 Hz around -3.5 V) at 500 samples a second.
function ai1(seconds, t0 = 0) { return sine({ dc: -3.5, amplitude: 0.5, f: 10, rate: 500, n: 500 * seconds, t0, phase: 0.4 }); }

test('normal mode: each sweep starts at a rising crossing and stays until the next', () => {
  const s = ai1(10);
  const t = trigger.makeTrigger({ mode: 'normal', level: -3.5, slope: 'rising', hysteresis: 0 }, 0);
  const starts = [];
  for (let end = 1; end <= 500 * 10; end += 25) {
    const seen = { times: s.times.slice(0, end), values: s.values.slice(0, end) };
    const newest = seen.times[seen.times.length - 1];
    const taken = trigger.advanceTrigger(t, seen, newest, 1);
    if (taken) starts.push(taken.start);
    const view = trigger.viewOf(t, newest, 1);
    if (t.sweep) assert.deepEqual(view.range, [t.sweep.start, t.sweep.end], 'the last sweep is shown');
  }
  assert.ok(starts.length >= 5, `${starts.length} sweeps`);
  for (const start of starts) near(measure.valueAt(s.times, s.values, start), -3.5, 1e-3, 'value at the sweep start');
  // Rising crossings of the model come every 0.1 s, at 10 t + 0.4 / 2 pi whole.
  for (const start of starts) {
    const turns = 10 * start + 0.4 / (2 * Math.PI);
    near(turns, Math.round(turns), 1e-3, `sweep at ${start} s on a rising crossing`);
  }
  for (let i = 1; i < starts.length; i++) assert.ok(starts[i] - starts[i - 1] >= 1, 'a sweep starts after the last ended');
});

test('single mode freezes after one sweep until armed again; auto runs free without triggers', () => {
  const s = ai1(6);
  const upTo = (seconds) => ({ times: s.times.slice(0, 500 * seconds), values: s.values.slice(0, 500 * seconds) });
  const single = trigger.makeTrigger({ mode: 'single', level: -3.5, slope: 'falling', hysteresis: 0.05 }, 0);
  const first = trigger.advanceTrigger(single, upTo(3), 3, 1);
  assert.ok(first && first.start < 0.2, 'the first falling crossing is taken');
  assert.equal(trigger.advanceTrigger(single, upTo(6), 6, 1), null, 'no second sweep');
  assert.deepEqual(trigger.viewOf(single, 6, 1).range, [first.start, first.end], 'frozen');
  const again = trigger.makeTrigger(single, 4);
  const second = trigger.advanceTrigger(again, upTo(6), 6, 1);
  assert.ok(second.start >= 4 && second.start < 4.2, `re-armed at 4 s, sweep at ${second.start} s`);

  // A level the signal never reaches: auto shows the newest window once
  // its time-out has passed; normal keeps showing nothing triggered.
  const auto = trigger.makeTrigger({ mode: 'auto', level: 0, slope: 'rising', hysteresis: 0 }, 0);
  trigger.advanceTrigger(auto, upTo(6), 6, 1);
  assert.deepEqual(trigger.viewOf(auto, 6, 1), { range: [5, 6], free: true });
  const waiting = trigger.makeTrigger({ mode: 'auto', level: -3.5, slope: 'rising', hysteresis: 0 }, 0);
  trigger.advanceTrigger(waiting, upTo(3), 3, 1);
  assert.equal(trigger.viewOf(waiting, 3, 1).free, false, 'auto with triggers shows sweeps');
});
