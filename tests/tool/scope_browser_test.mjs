// kr2270 scope in headless Chromium against a simulated module (kr2270 sim):
// the traces appear, move, and follow the module's signal model; a reset
// data connection shows as a gap on the traces; the rate is changed from the
// page; a screenshot of the page is not blank; and two scopes with tokens on
// two ports of one host work side by side in one browser while another
// server on that host receives neither token.
// Usage: node --experimental-websocket scope_browser_test.mjs KR2270 CHROMIUM SCREENSHOT.png
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { once } from 'node:events';
import { createServer } from 'node:http';

const [tool, chromium, screenshotPath] = process.argv.slice(2);
const DEADLINE_MS = 120000;
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
                         '--reconnect', '--rate', '24', '--seconds', '80', '--window', '2'],
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
                `last drawing ${second.drawMs.toFixed(0)} ms for ${second.columns} columns`);
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
