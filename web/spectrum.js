// The spectrum of a trace: Hann-windowed FFT, each bin in dBV as the RMS of a
// sine centred on it (a 1 V-amplitude sine reads -3.01 dBV), and the peak
// read from the energy of its whole main lobe, so that its level does not
// depend on where the sine falls between two bins. Pure functions.
'use strict';

(function (root) {
  // In place, radix 2; re.length a power of two.
  function fft(re, im) {
    const n = re.length;
    for (let i = 1, j = 0; i < n; i++) {
      let bit = n >> 1;
      for (; j & bit; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) { [re[i], re[j]] = [re[j], re[i]]; [im[i], im[j]] = [im[j], im[i]]; }
    }
    for (let size = 2; size <= n; size <<= 1) {
      const step = (-2 * Math.PI) / size;
      for (let start = 0; start < n; start += size) {
        for (let k = 0; k < size / 2; k++) {
          const wr = Math.cos(step * k);
          const wi = Math.sin(step * k);
          const a = start + k;
          const b = a + size / 2;
          const tr = re[b] * wr - im[b] * wi;
          const ti = re[b] * wi + im[b] * wr;
          re[b] = re[a] - tr; im[b] = im[a] - ti;
          re[a] += tr; im[a] += ti;
        }
      }
    }
  }

  function hann(n) {
    const w = new Float64Array(n);
    for (let i = 0; i < n; i++) w[i] = 0.5 - 0.5 * Math.cos((2 * Math.PI * i) / Math.max(1, n - 1));
    return w;
  }

  function dbv(rms) { return 20 * Math.log10(Math.max(rms, 1e-12)); }

  // Samples taken `sampleRate` times a second, zero-padded to a power of two.
  // Returns per bin its frequency (Hz), its level (dBV) and its power, and
  // what the peak needs to be read.
  function spectrum(values, sampleRate) {
    const n = values.length;
    let size = 1;
    while (size < n) size <<= 1;
    const w = hann(n);
    const re = new Float64Array(size);
    const im = new Float64Array(size);
    let gain = 0;
    let power = 0;
    for (let i = 0; i < n; i++) { re[i] = values[i] * w[i]; gain += w[i]; power += w[i] * w[i]; }
    fft(re, im);
    const bins = size / 2 + 1;
    const frequencies = new Float64Array(bins);
    const levels = new Float64Array(bins);
    const squares = new Float64Array(bins);
    for (let k = 0; k < bins; k++) {
      squares[k] = re[k] * re[k] + im[k] * im[k];
      frequencies[k] = (k * sampleRate) / size;
      // A sine of amplitude A on bin k gives |X| = A * gain / 2: its RMS is
      // |X| * sqrt(2) / gain. A constant has no negative twin: |X| = value * gain.
      const edge = k === 0 || k === size / 2;
      levels[k] = dbv((Math.sqrt(squares[k]) * (edge ? 1 : Math.SQRT2)) / gain);
    }
    return { frequencies, levels, squares, size, count: n, power, sampleRate };
  }

  // The strongest component above the DC lobe: its frequency, the centroid
  // of its main lobe's power, and its RMS in dBV from that power (Parseval:
  // a sine of RMS r puts N * r^2 * sum(w^2) / 2 into each half of the
  // spectrum). null when the samples are too few.
  function spectrumPeak(bins) {
    const lobe = Math.ceil((3 * bins.size) / Math.max(1, bins.count));
    const { squares } = bins;
    let best = -1;
    for (let k = lobe; k < squares.length; k++) if (best < 0 || squares[k] > squares[best]) best = k;
    if (best < 0 || bins.count < 8) return null;
    let energy = 0;
    let moment = 0;
    for (let k = Math.max(lobe, best - lobe); k <= Math.min(squares.length - 1, best + lobe); k++) {
      energy += squares[k];
      moment += k * squares[k];
    }
    const rms = Math.sqrt((2 * energy) / (bins.size * bins.power));
    return { frequency: ((moment / energy) * bins.sampleRate) / bins.size, level: dbv(rms), rms };
  }

  const api = { fft, hann, spectrum, spectrumPeak, dbv };
  if (typeof module !== 'undefined' && module.exports) module.exports = api;
  else root.ScopeSpectrum = api;
})(this);
