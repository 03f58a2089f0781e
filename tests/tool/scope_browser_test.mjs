// kr2270 scope in headless Chromium against a simulated module (kr2270 sim):
// the traces appear, move, and follow the module's signal model; a reset
// data connection shows as a gap on the traces; the rate is changed from the
// page; a screenshot of the page is not blank; and two scopes with tokens on
// two ports of one host work side by side in one browser while another
// server on that host receives neither token. The instruments: the trigger
// (its level line drawn, sweeps starting at the crossing, auto, normal and
// single), the measurements against the model, cursors placed by clicks, and
// the spectrum's peak at the sine's frequency.
// Usage: node --experimental-websocket scope_browser_test.mjs KR2270 CHROMIUM SCREENSHOT.png
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { once } from 'node:events';
import { createServer } from 'node:http';

const [tool, chromium, screenshotPath] = process.argv.slice(2);
const DEADLINE_MS = 170000;
let failures = 0;
let passes = 0;

function check(ok, what, detail) {
  if (ok) passes++;
  else failures++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${detail === undefined ? '' : ': ' + detail}`);
}

function near(value, expected, tolerance) { return Math.abs(value - expected) <= tolerance; }

function withTimeout(promise, ms, what) {
  let timer;
  const limit = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms); });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

// The first line of `stream` that matches `pattern`, as its match.
function lineMatching(stream, pattern, what) {
  return withTimeout(new Promise((resolve, reject) => {
    let text = '';
    const onData = (chunk) => {
      text += chunk;
      const found = text.match(pattern);
      if (found) { stream.off('data', onData); resolve(found); }
    };
    stream.on('data', onData);
    stream.on('end', () => reject(new Error(`no ${what} before the end of output: ${text}`)));
  }), 30000, what);
}

// A minimal DevTools protocol client over the browser's WebSocket.
function devtools(url) {
  const socket = new WebSocket(url);
  let next = 1;
  const waiting = new Map();
  const listeners = [];
  socket.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (message.method) {
      for (const l of listeners.splice(0)) if (l.method !== message.method) listeners.push(l); else l.resolve(message.params);
      return;
    }
    const entry = waiting.get(message.id);
    if (!entry) return;
    waiting.delete(message.id);
    if (message.error) entry.reject(new Error(JSON.stringify(message.error)));
    else entry.resolve(message.result);
  };
  const opened = new Promise((resolve, reject) => { socket.onopen = resolve; socket.onerror = reject; });
  return {
    opened,
    send(method, params = {}, sessionId) {
      const id = next++;
      socket.send(JSON.stringify({ id, method, params, sessionId }));
      return withTimeout(new Promise((resolve, reject) => waiting.set(id, { resolve, reject })), 30000, method);
    },
    // The next event called `method` (register before causing it).
    event(method) {
      return withTimeout(new Promise((resolve) => listeners.push({ method, resolve })), 30000, method);
    },
    close() { socket.close(); },
  };
}

async function evaluate(cdp, session, expression) {
  const reply = await cdp.send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true }, session);
  if (reply.exceptionDetails) throw new Error(`page: ${JSON.stringify(reply.exceptionDetails)}`);
  return reply.result.value;
}

// Distinct colours and the share of pixels unlike the top-left one, counted
// by the browser's own PNG decoder.
const IMAGE_FIGURES = `(async (png) => {
  const image = new Image();
  image.src = 'data:image/png;base64,' + png;
  await image.decode();
  const canvas = document.createElement('canvas');
  canvas.width = image.width; canvas.height = image.height;
  const context = canvas.getContext('2d');
  context.drawImage(image, 0, 0);
  const pixels = context.getImageData(0, 0, image.width, image.height).data;
  const colours = new Set();
  let differing = 0;
  for (let i = 0; i < pixels.length; i += 4) {
    colours.add((pixels[i] << 16) | (pixels[i + 1] << 8) | pixels[i + 2]);
    if (pixels[i] !== pixels[0] || pixels[i + 1] !== pixels[1] || pixels[i + 2] !== pixels[2]) differing++;
  }
  return { width: image.width, height: image.height, colours: colours.size, differing: differing / (pixels.length / 4) };
})`;

// Resolves with the page's summary once `condition` (an expression over `s`,
// the summary) holds; it is checked after each drawing, nothing polls.
function summaryWhen(cdp, session, condition, what) {
  return withTimeout(evaluate(cdp, session,
    `(async () => { while (true) { const s = scopeSummary(); if (${condition}) return s; await scopeDrawn(s.draws + 1); } })()`),
    30000, what);
}

// A closed data connection (kr2270 sim on SIGUSR1): the library reconnects,
// and the page marks the gap where the missing groups would have been and
// breaks the traces there.
async function checkGapShown(cdp, session, sim) {
  sim.kill('SIGUSR1');
  const seen = await summaryWhen(cdp, session, 's.gaps.length > 0', 'a gap on the page');
  const gap = seen.gaps[0];
  const after = await summaryWhen(cdp, session, `s.lastT > ${gap.t + gap.len + 0.3} && s.status.link === 'up'`,
                                  'data after the gap');
  check(gap.cause === 'link lost' && gap.missing > 0, 'the closed connection shows as a gap', JSON.stringify(gap));
  check(near(gap.len, gap.missing / after.groupRate, 1e-6), 'the gap lasts its missing groups',
        `${gap.len} s for ${gap.missing} groups`);
  check(gap.t >= after.firstT && gap.t <= after.lastT && after.breaks >= 1, 'the traces break at the gap',
        `gap at ${gap.t.toFixed(3)} s in ${after.firstT.toFixed(3)} .. ${after.lastT.toFixed(3)} s, ${after.breaks} breaks`);
  check(after.status.gaps >= 1 && after.status.reconnects >= 1 && after.status.lost === 0,
        'status: the gap counted, reconnected, no group lost',
        `gaps ${after.status.gaps}, reconnects ${after.status.reconnects}, lost ${after.status.lost}`);
  const shown = await evaluate(cdp, session, `document.getElementById('gaps').textContent`);
  check(/link lost/.test(shown), 'the page names the last gap', shown);
}

// The rate field goes through the command line's parser: a wrong rate is
// refused with its reason, a right one restarts the stream at that rate.
async function checkRateFromPage(cdp, session) {
  const before = await evaluate(cdp, session, 'scopeSummary()');
  const refusal = await withTimeout(evaluate(cdp, session, `new Promise((resolve) => {
    const message = document.getElementById('message');
    new MutationObserver(() => { if (message.textContent) resolve(message.textContent); })
      .observe(message, { childList: true, characterData: true, subtree: true });
    document.getElementById('rate-text').value = 'fast';
    document.getElementById('rate-apply').click(); })`), 30000, 'the refusal');
  check(/fast/.test(refusal), 'a wrong rate is refused with the reason', refusal);
  await evaluate(cdp, session, `document.getElementById('rate-text').value = '8k';
                                document.getElementById('rate-apply').click()`);
  const changed = await summaryWhen(cdp, session, 's.epoch === 1 && s.frames >= 5 && s.status.epoch === 1',
                                    'the stream at the new rate');
  check(changed.groupRate === 8000, 'the page follows the new rate', `${changed.groupRate} groups/s`);
  check(changed.firstT >= before.lastT - 0.5, 'time goes on across the change',
        `${before.lastT.toFixed(3)} s, then from ${changed.firstT.toFixed(3)} s`);
  const later = await summaryWhen(cdp, session, `s.lastT > ${changed.lastT + 0.5}`, 'time moving at the new rate');
  const slope = (later.traces.ct1.last - changed.traces.ct1.last) / (later.lastT - changed.lastT);
  check(near(slope, 1000, 50), 'ct1 still counts 1000/s at the new rate', slope.toFixed(1));
  const module = await evaluate(cdp, session, `document.getElementById('module').textContent`);
  check(/8000 groups\/s/.test(module), 'the page shows the new rate', module);
}

// Sets the instruments' controls and fires the change that arms them.
function setControls(cdp, session, values, fire) {
  return evaluate(cdp, session, `(() => {
    const values = ${JSON.stringify(values)};
    for (const [id, value] of Object.entries(values)) {
      const node = document.getElementById(id);
      node.value = node.tagName === 'SELECT' && id.endsWith('-trace')
        ? [...node.options].find((o) => o.textContent === value).value : value;
    }
    document.getElementById(${JSON.stringify(fire)}).dispatchEvent(new Event('change'));
  })()`);
}

// Pixels of the level line's colour on the row where chart `kind` draws the
// trigger level (on the trace's lane for a digital input), as a share of the
// plotting area's width.
const LEVEL_LINE_SHARE = (kind) => `(() => {
  const chart = scopeState.charts[${JSON.stringify(kind)}];
  const u = chart.plot;
  const trigger = scopeSummary().trigger;
  const y = Math.round(u.valToPos(trigger.level + chart.offsetOf(trigger.trace), 'y', true));
  const { left, width } = u.bbox;
  const row = u.ctx.getImageData(left, y, width, 1).data;
  let magenta = 0;
  for (let i = 0; i < row.length; i += 4) if (row[i] === 255 && row[i + 1] === 0 && row[i + 2] === 255) magenta++;
  return magenta / width;
})()`;

// ai1's samples as the charts show them, and the value at time t.
const AI1_AT = (t) => `(() => {
  const s = Analysis.samplesOf(scopeState.shown.data, 0, null);
  const i = s.times.findIndex((x) => x >= ${t});
  return { value: ScopeMeasure.valueAt(s.times, s.values, ${t}), before: s.values[i - 1], after: s.values[i] };
})()`;

// A real press and release at data time t on the analog chart.
async function clickAtTime(cdp, session, t) {
  const { x, y } = await evaluate(cdp, session, `(() => {
    const u = scopeState.charts.analog.plot;
    const box = u.over.getBoundingClientRect();
    window.scrollTo(0, 0);
    return { x: box.left + u.valToPos(${t}, 'x'), y: box.top + box.height / 2 };
  })()`);
  for (const type of ['mousePressed', 'mouseReleased'])
    await cdp.send('Input.dispatchMouseEvent', { type, x, y, button: 'left', clickCount: 1 }, session);
}

// Single on ai1 rising through its middle: the sweep starts where the model
// sine crosses its mean going up, the level line is drawn, the view stays
// put, and cursors a quarter and three quarters of a period later read the
// sine's peak and trough.
async function checkSingleTriggerAndCursors(cdp, session) {
  await setControls(cdp, session, { 'trigger-trace': 'ai1', 'trigger-level': '-3.5', 'trigger-slope': 'rising',
                                    'trigger-mode': 'single' }, 'trigger-mode');
  const first = await summaryWhen(cdp, session, 's.trigger.done && !s.shownFree', 'a single sweep');
  const start = first.trigger.sweep.start;
  check(first.shownRange[0] === start && near(first.shownRange[1] - start, 2, 1e-9), 'the sweep starts at the crossing',
        `${first.shownRange.map((t) => t.toFixed(6)).join(' .. ')} s`);
  const at = await evaluate(cdp, session, AI1_AT(start));
  check(near(at.value, -3.5, 0.005) && at.before < -3.5 && at.after >= -3.5, 'ai1 rises through -3.5 V there',
        JSON.stringify(at));
  const share = await evaluate(cdp, session, LEVEL_LINE_SHARE('analog'));
  check(share > 0.4, 'the level line is drawn across the chart', `${(100 * share).toFixed(0)} % of the row`);
  await clickAtTime(cdp, session, start + 0.025);
  await clickAtTime(cdp, session, start + 0.075);
  const later = await summaryWhen(cdp, session, `s.lastT > ${first.lastT + 1} && s.cursors !== null`, 'cursors and more data');
  check(later.trigger.sweep.start === start && later.shownRange[0] === start, 'single stays on its sweep',
        `${later.lastT.toFixed(3)} s reached`);
  const c = later.cursors;
  const pixel = 2 / 1000;
  check(near(c.dt, 0.05, 2 * pixel) && near(c.inverse, 1 / Math.abs(c.dt), 1e-9), 'cursors: Δt and 1/Δt',
        `Δt ${c.dt.toFixed(5)} s, 1/Δt ${c.inverse.toFixed(3)} Hz`);
  const ai1 = later.measurements.ai1;
  check(near(ai1.a, -3, 0.02) && near(ai1.b, -4, 0.02), 'cursors read the peak and the trough of ai1',
        `A ${ai1.a.toFixed(4)} V, B ${ai1.b.toFixed(4)} V, Δ ${(ai1.b - ai1.a).toFixed(4)} V`);
  const shot = await cdp.send('Page.captureScreenshot', { format: 'png' }, session);
  writeFileSync(screenshotPath.replace(/\.png$/, '-trigger.png'), Buffer.from(shot.data, 'base64'));
  const shown = await evaluate(cdp, session, `document.getElementById('cursor-readout').textContent`);
  check(/Δt 5\d\.\d{3} ms/.test(shown) || /Δt 4\d\.\d{3} ms/.test(shown), 'the page shows Δt', shown);

  // Armed again, the next sweep is later by whole periods of the model's 10 Hz.
  await evaluate(cdp, session, `document.getElementById('trigger-arm').click()`);
  const second = await summaryWhen(cdp, session, `s.trigger.done && !s.shownFree && s.trigger.sweep.start > ${start}`,
                                   'a second single sweep');
  const periods = (second.trigger.sweep.start - start) * 10;
  check(near(periods, Math.round(periods), 0.02), 'sweeps are whole periods apart', periods.toFixed(4));
  return second;
}

// Measurements over the held 2 s sweep against the model: channel k is
// (k - 4.5) V + 0.5 V sin(2 pi 10k t).
function checkMeasurements(seen) {
  for (let k = 1; k <= 8; k++) {
    const m = seen.measurements[`ai${k}`];
    const dc = k - 4.5;
    const ok = near(m.min, dc - 0.5, 0.01) && near(m.max, dc + 0.5, 0.01) && near(m.peakToPeak, 1, 0.01) &&
               near(m.mean, dc, 0.02) && near(m.rms, Math.sqrt(dc * dc + 0.125), 0.02) &&
               near(m.frequency, 10 * k, 0.005 * 10 * k);
    check(ok, `ai${k} measured`, `min ${m.min.toFixed(4)} max ${m.max.toFixed(4)} mean ${m.mean.toFixed(4)} ` +
          `RMS ${m.rms.toFixed(4)} p-p ${m.peakToPeak.toFixed(4)} f ${m.frequency.toFixed(3)} Hz`);
  }
  const ct = seen.measurements.ct1;
  check(Number.isNaN(ct.frequency) || ct.frequency === null, 'a counting ramp has no frequency', String(ct.frequency));
}

// The spectrum of ai3 (30 Hz, 0.5 V amplitude: -9.03 dBV).
async function checkSpectrum(cdp, session) {
  await setControls(cdp, session, { 'spectrum-trace': 'ai3' }, 'spectrum-trace');
  const seen = await summaryWhen(cdp, session, 's.spectrum !== null && s.spectrum.peak !== null', 'the spectrum');
  const { peak, sampleRate, samples } = seen.spectrum;
  console.log(`info readings with the spectrum: ${seen.readingsMs.toFixed(1)} ms of a ${seen.drawMs.toFixed(0)} ms drawing`);
  check(near(peak.frequency, 30, 0.5) && near(peak.level, 20 * Math.log10(0.5 / Math.SQRT2), 0.2),
        'the spectrum peak sits at ai3\'s frequency and level',
        `${peak.frequency.toFixed(3)} Hz, ${peak.level.toFixed(3)} dBV from ${samples} samples at ${sampleRate.toFixed(1)}/s`);
}

// di15 rises every other second of model time: in a 0.5 s window, normal
// holds a sweep between edges, auto runs free there, and the sweeps are 2 s
// apart.
async function checkNormalAndAuto(cdp, session) {
  await evaluate(cdp, session, `(() => { const w = document.getElementById('window'); w.value = '0.5';
                                        w.dispatchEvent(new Event('change')); })()`);
  await setControls(cdp, session, { 'trigger-trace': 'di15', 'trigger-level': '0.5', 'trigger-slope': 'rising',
                                    'trigger-mode': 'normal' }, 'trigger-mode');
  // Whichever sweep it is, 0.9 s after its end no edge has come since.
  const still = await summaryWhen(cdp, session, 's.trigger.sweep !== null && s.lastT > s.trigger.sweep.end + 0.9',
                                  'time between two edges');
  const sweep = still.trigger.sweep;
  check(!still.shownFree && still.shownRange[0] === sweep.start, 'normal holds its sweep between triggers',
        `sweep ${sweep.start.toFixed(3)} s shown at ${still.lastT.toFixed(3)} s`);
  const share = await evaluate(cdp, session, LEVEL_LINE_SHARE('digital'));
  check(share > 0.4, 'the level line is drawn on the input\'s lane', `${(100 * share).toFixed(0)} %`);
  await setControls(cdp, session, { 'trigger-mode': 'auto' }, 'trigger-mode');
  const free = await summaryWhen(cdp, session, `s.shownFree && s.lastT > ${still.lastT + 0.55}`, 'auto running free');
  check(near(free.shownRange[1], free.lastT, 1e-9), 'auto without a trigger shows the newest window',
        `${free.shownRange[1].toFixed(3)} s of ${free.lastT.toFixed(3)} s`);
  const next = await summaryWhen(cdp, session, `!s.shownFree && s.trigger.sweep.start > ${sweep.start + 1}`,
                                 'the next edge in auto');
  const apart = next.trigger.sweep.start - sweep.start;
  check(near(apart, 2 * Math.round(apart / 2), 0.02) && apart > 1, 'di15 sweeps are 2 s apart', `${apart.toFixed(4)} s`);
  await setControls(cdp, session, { 'trigger-mode': 'off' }, 'trigger-mode');
}

// A page in a tab of its own, loaded.
async function openTab(cdp, url) {
  const { targetId } = await cdp.send('Target.createTarget', { url: 'about:blank' });
  const { sessionId } = await cdp.send('Target.attachToTarget', { targetId, flatten: true });
  await cdp.send('Page.enable', {}, sessionId);
  const loaded = cdp.event('Page.loadEventFired');
  await cdp.send('Page.navigate', { url }, sessionId);
  await loaded;
  return sessionId;
}

// Two scopes that ask for tokens (any address but 127.0.0.1 does), on two
// ports of 127.0.0.2, in one browser: opening the second must not lock the
// first page out, and a third server on that host must get neither token,
// as it would if the token travelled in a cookie (cookies ignore ports).
async function checkTokensStayWithTheirScope(cdp, children) {
  const urls = [];
  for (let i = 0; i < 2; i++) {
    const scope = spawn(tool, ['scope', '--listen', '127.0.0.2:0', '--rate', '52', '--seconds', '60'],
                        { stdio: ['ignore', 'pipe', 'inherit'] });
    children.push(scope);
    scope.stdout.setEncoding('utf8');
    const [, url] = await lineMatching(scope.stdout, /scope: (http:\/\/127\.0\.0\.2:\d+\/\?token=[0-9a-f]{32})\n/,
                                       `token URL ${i + 1}`);
    urls.push(url);
  }
  const seen = [];
  const other = createServer((request, response) => {
    seen.push(JSON.stringify(request.headers) + ' ' + request.url);
    response.end('another server');
  });
  other.listen(0, '127.0.0.2');
  await once(other, 'listening');
  try {
    const first = await openTab(cdp, urls[0]);
    await withTimeout(evaluate(cdp, first, 'scopeDrawn(1)'), 30000, 'first scope drawn');
    const second = await openTab(cdp, urls[1]);
    await withTimeout(evaluate(cdp, second, 'scopeDrawn(1)'), 30000, 'second scope drawn');
    const again = await withTimeout(evaluate(cdp, first,
      `(async () => { const s = scopeSummary(); await scopeDrawn(s.draws + 5);
         return { frames: scopeSummary().frames - s.frames, status: (await api('api/status')).status }; })()`),
      30000, 'the first scope after the second was opened');
    check(again.frames > 0 && again.status === 200, 'the first scope goes on after a second is opened',
          JSON.stringify(again));
    const third = await openTab(cdp, `http://127.0.0.2:${other.address().port}/`);
    await evaluate(cdp, third, `fetch('/again').then((r) => r.text())`);
    const tokens = urls.map((url) => url.split('token=')[1]);
    const leaked = seen.filter((line) => tokens.some((token) => line.includes(token)));
    check(seen.length >= 2 && leaked.length === 0, 'another server on the host receives neither token',
          leaked.length ? leaked[0] : `${seen.length} requests seen, none with a token`);
  } finally {
    other.close();
  }
}

async function main() {
  const sim = spawn(tool, ['sim'], { stdio: ['ignore', 'pipe', 'inherit'] });
  sim.stdout.setEncoding('utf8');
  let scope;
  const profile = mkdtempSync(join(tmpdir(), 'kr2270-scope-chromium-'));
  let browser;
  let cdp;
  const extra = [];
  try {
    const [, commandPort, dataPort] = await lineMatching(sim.stdout, /command_port=(\d+) data_port=(\d+)\n/, 'ports');
    scope = spawn(tool, ['scope', '--host', '127.0.0.1', '--port', commandPort, '--data-port', dataPort,
                         '--reconnect', '--rate', '24', '--seconds', '130', '--window', '2'],
                  { stdio: ['ignore', 'pipe', 'inherit'] });
    scope.stdout.setEncoding('utf8');
    const [, pageUrl] = await lineMatching(scope.stdout, /scope: (http:\/\/127\.0\.0\.1:\d+\/)\n/, 'URL');
    browser = spawn(chromium, [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${profile}`, '--remote-debugging-port=0', '--window-size=1280,1500',
      'about:blank'], { stdio: ['ignore', 'ignore', 'pipe'] });
    browser.stderr.setEncoding('utf8');
    const [, browserUrl] = await lineMatching(browser.stderr, /DevTools listening on (ws:\/\/\S+)/, 'DevTools address');
    cdp = devtools(browserUrl);
    await withTimeout(cdp.opened, 10000, 'DevTools connection');
    const { targetId } = await cdp.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await cdp.send('Target.attachToTarget', { targetId, flatten: true });
    await cdp.send('Emulation.setDeviceMetricsOverride', { width: 1280, height: 1500, deviceScaleFactor: 1, mobile: false }, sessionId);
    await cdp.send('Page.enable', {}, sessionId);
    const started = Date.now();
    const loaded = cdp.event('Page.loadEventFired');
    await cdp.send('Page.navigate', { url: pageUrl }, sessionId);
    await loaded;

    // The page resolves this promise itself once it has drawn; nothing polls.
    await withTimeout(evaluate(cdp, sessionId, 'scopeDrawn(1)'), 30000, 'first drawing');
    check(true, 'traces drawn', `${Date.now() - started} ms after opening the page`);
    // A full window of columns, then a later look to see them move.
    const first = await withTimeout(evaluate(cdp, sessionId,
      `(async () => { while (true) { const s = scopeSummary(); if (s.lastT - s.firstT >= 1.9) return s; await scopeDrawn(s.draws + 1); } })()`),
      30000, 'a full window');
    const firstAt = Date.now();
    const second = await withTimeout(evaluate(cdp, sessionId, `scopeDrawn(${first.draws + 40}).then(() => scopeSummary())`),
                                     30000, 'forty more drawings');
    // A figure for the reader, not a timed check: it depends on the machine.
    const seconds = (Date.now() - firstAt) / 1000;
    console.log(`info draw rate: ${((second.draws - first.draws) / seconds).toFixed(1)} draws/s, ` +
                `${((second.frames - first.frames) / seconds).toFixed(1)} frames/s over ${seconds.toFixed(2)} s, ` +
                `last drawing ${second.drawMs.toFixed(0)} ms for ${second.columns} columns ` +
                `(readings ${second.readingsMs.toFixed(1)} ms)`);
    const dt = second.lastT - first.lastT;
    check(dt > 0.2, 'time axis moves', `${first.lastT.toFixed(3)} s -> ${second.lastT.toFixed(3)} s`);
    check(second.frames > first.frames, 'frames keep arriving', `${first.frames} -> ${second.frames}`);
    check(second.missed === 0 && second.serverDropped === 0, 'no frames dropped for this page',
          `missed ${second.missed}, server dropped ${second.serverDropped}`);
    check(second.status.lost === 0 && second.status.link === 'up', 'status: no lost groups, link up',
          `lost ${second.status.lost}, link ${second.status.link}`);

    // Analog channel k: a sine around k - 4.5 V, 0.5 V amplitude, 10 k Hz.
    for (let k = 1; k <= 8; k++) {
      const t = second.traces[`ai${k}`];
      check(near(t.min, k - 5, 0.02) && near(t.max, k - 4, 0.02), `ai${k} spans ${k - 5} .. ${k - 4} V`,
            `${t.min.toFixed(4)} .. ${t.max.toFixed(4)}`);
    }
    check(first.traces.ai1.last !== second.traces.ai1.last, 'ai1 moves',
          `${first.traces.ai1.last} -> ${second.traces.ai1.last}`);
    // Inputs 13 and 14 are fixed, 15 toggles each second, outputs are off.
    const di = (n) => second.traces[`di${n}`];
    check(di(13).min === 1 && di(13).max === 1, 'di13 is high');
    check(di(14).min === 0 && di(14).max === 0, 'di14 is low');
    check(di(15).min === 0 && di(15).max === 1, 'di15 toggles within the window');
    check(di(1).max === 0, 'di1 (output 1 off) is low');
    // Counter c counts 1000 c per second, encoder 1 +100/s, encoder 2 -50/s.
    for (let c = 1; c <= 4; c++) {
      const slope = (second.traces[`ct${c}`].last - first.traces[`ct${c}`].last) / dt;
      check(near(slope, 1000 * c, 0.05 * 1000 * c), `ct${c} counts ${1000 * c}/s`, slope.toFixed(1));
    }
    const ec1 = (second.traces.ec1.last - first.traces.ec1.last) / dt;
    const ec2 = (second.traces.ec2.last - first.traces.ec2.last) / dt;
    check(near(ec1, 100, 10), 'ec1 moves +100/s', ec1.toFixed(1));
    check(near(ec2, -50, 6), 'ec2 moves -50/s', ec2.toFixed(1));
    const shown = await evaluate(cdp, sessionId, `document.getElementById('lost').textContent + '|' + document.getElementById('link').textContent`);
    check(shown === '0|up', 'page shows lost groups and link state', shown);

    await checkGapShown(cdp, sessionId, sim);

    const shot = await cdp.send('Page.captureScreenshot', { format: 'png' }, sessionId);
    writeFileSync(screenshotPath, Buffer.from(shot.data, 'base64'));
    const figures = await evaluate(cdp, sessionId, `${IMAGE_FIGURES}(${JSON.stringify(shot.data)})`);
    check(figures.colours >= 16 && figures.differing > 0.03, `screenshot ${screenshotPath} is not blank`,
          `${figures.width}x${figures.height}, ${figures.colours} colours, ${(100 * figures.differing).toFixed(1)} % drawn`);

    const sweep = await checkSingleTriggerAndCursors(cdp, sessionId);
    checkMeasurements(sweep);
    await checkSpectrum(cdp, sessionId);
    await checkNormalAndAuto(cdp, sessionId);

    await checkRateFromPage(cdp, sessionId);
    await checkTokensStayWithTheirScope(cdp, extra);
  } finally {
    if (cdp) cdp.close();
    if (browser) { browser.kill('SIGTERM'); await withTimeout(once(browser, 'exit'), 10000, 'browser exit').catch(() => browser.kill('SIGKILL')); }
    for (const child of [scope, sim, ...extra]) {
      if (!child) continue;
      child.kill('SIGTERM');
      await withTimeout(once(child, 'exit'), 10000, 'exit').catch(() => child.kill('SIGKILL'));
    }
    rmSync(profile, { recursive: true, force: true });
  }
}

const overall = setTimeout(() => { console.log('FAIL overall deadline'); process.exit(1); }, DEADLINE_MS);
main().catch((error) => { failures++; console.log(`FAIL ${error.message}`); }).finally(() => {
  clearTimeout(overall);
  console.log(`${passes} passed, ${failures} failed`);
  process.exit(failures === 0 && passes > 0 ? 0 : 1);
});
