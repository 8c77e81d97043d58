// The host's web page in Chromium: kelmar-host serving its page, real kelmar-peer
// processes talking to its patch over loopback UDP, and the page driven as a person would.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';
import { writeFileSync, readFileSync, mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import dgram from 'node:dgram';
import { chromium } from 'playwright-core';

const WAIT = 15000; // generous: a bound on a hang, not a timing assertion

let host, peer, browser, page, url, udpPort, skipReason, folder, compositionFile;

// The lines a child prints, and promises of the first line that passes a test: each
// new line is tried against the waiting ones; the child's end or WAIT fails them.
class Lines {
  constructor(child, stream, name) {
    this.name = name;
    this.all = [];
    this.waiting = new Set();
    createInterface({ input: stream }).on('line', (line) => {
      this.all.push(line);
      for (const w of [...this.waiting]) if (w.pred(line)) w.done(null, line);
    });
    const fail = (why) => { for (const w of [...this.waiting]) w.done(new Error(`${name} ${why}`)); };
    child.once('exit', (code, signal) => fail(`ended (${code ?? signal})`));
    child.once('error', (e) => fail('cannot start: ' + e.message));
  }

  // The first line from now on (or already printed, with `past`) that passes `pred`.
  wait(pred, past = false) {
    const hit = past && this.all.find(pred);
    if (hit) return Promise.resolve(hit);
    return new Promise((resolve, reject) => {
      const w = {
        pred,
        done: (error, line) => {
          clearTimeout(w.timer);
          this.waiting.delete(w);
          if (error) reject(error); else resolve(line);
        },
      };
      w.timer = setTimeout(() => w.done(new Error(`no such line from ${this.name}: ` +
        this.all.slice(-8).join(' | '))), WAIT);
      this.waiting.add(w);
    });
  }
}

// A JSON line's object, or nothing for any other line.
function json(line) {
  try { return JSON.parse(line); } catch { return undefined; }
}

// A UDP port held open on all addresses; close() frees it.
function holdUdpPort() {
  return new Promise((resolve, reject) => {
    const s = dgram.createSocket('udp4');
    s.once('error', reject);
    s.bind(0, () => resolve(s));
  });
}

async function freeUdpPort() {
  const s = await holdUdpPort();
  const port = s.address().port;
  await new Promise((r) => s.close(r));
  return port;
}

// A kelmar-peer connected to the host's patch, sending `levels`; its JSON lines say what
// it receives.
function startPeer(port, levels) {
  const child = spawn(process.env.KN_PEER,
    ['connect', `127.0.0.1:${port}`, '-d', levels.join(','), '--json', '-l', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  child.lines = new Lines(child, child.stdout, 'kelmar-peer');
  return child;
}

function stop(child, signal = 'SIGTERM') {
  if (!child || !child.pid || child.exitCode !== null || child.signalCode !== null) {
    return Promise.resolve();
  }
  const ended = new Promise((r) => child.once('exit', r));
  child.kill(signal);
  return ended;
}

// The next levels the peer shows that pass `pred` (levels[k - 1] is slot k).
const peerGets = (pred, past = false) => peer.lines.wait((l) => {
  const o = json(l);
  return o?.event === 'levels' && pred(o.levels);
}, past);

before(async () => {
  folder = mkdtempSync(join(tmpdir(), 'kelmar-page-'));
  compositionFile = join(folder, 'composition.json');
  udpPort = await freeUdpPort();
  host = spawn(process.env.KN_HOST,
    ['-c', compositionFile, '--http', '127.0.0.1:0', '-p', String(udpPort), '--json'],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  host.lines = new Lines(host, host.stdout, 'kelmar-host');
  host.log = new Lines(host, host.stderr, 'kelmar-host (stderr)');
  url = (await host.log.wait((l) => /the page is at http:/.test(l), true)).match(/http:\S+/)[0];
  try {
    browser = await chromium.launch({
      executablePath: process.env.KN_CHROMIUM || '/usr/bin/chromium',
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        '--disable-dev-shm-usage'],
      timeout: 60000,
    });
  } catch (e) {
    skipReason = 'Chromium cannot start: ' + e.message.split('\n')[0];
    writeFileSync('skipped', 'SKIPPED: ' + skipReason + '\n');
    return;
  }
  page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  page.setDefaultTimeout(WAIT);
});

after(async () => {
  if (browser) await browser.close();
  await stop(peer);
  await stop(host);
  if (folder) rmSync(folder, { recursive: true, force: true });
});

const cell = (grid, k) => page.locator(`.${grid}-grid div[data-slot="${k}"]`);
const field = (key) => page.locator(`.fields input[name="${key}"]`);
const noData = () => page.locator('.patch .nodata');
const cellIs = (grid, k, text) => page.waitForFunction(([g, slot, t]) =>
  document.querySelector(`.${g}-grid div[data-slot="${slot}"]`).textContent === t,
[grid, k, text], { timeout: WAIT });

async function setField(key, value) {
  await field(key).fill(String(value));
  await field(key).press('Tab'); // leaving the field commits it, as a person would
}

test('the page shows the settings with their bounds, the status and the no-data marker', async (t) => {
  if (skipReason) return t.skip(skipReason);
  await page.goto(url);
  await page.locator('#live', { hasText: 'live' }).waitFor();
  await page.locator('.patch .status', { hasText: 'Port is open.' }).waitFor();
  assert.equal(await page.locator('.fields input').count(), 5);
  assert.equal(await field('udpPort').inputValue(), String(udpPort));
  const bounds = await page.locator('.fields .bounds').allTextContents();
  assert.deepEqual(bounds, ['(1024..65535)', '(1..512)', '(1..512)', '(1..512)', '(1..512)']);
  assert.equal(await page.locator('.patch .state').textContent(), 'idle');
  await noData().waitFor({ state: 'visible' });
  assert.equal(await page.locator('.out-grid div').count(), 512);
  assert.equal(await page.locator('.in-grid div').count(), 512);
});

test('levels a peer sends appear in the Out grid, in each format', async (t) => {
  if (skipReason) return t.skip(skipReason);
  peer = startPeer(udpPort, [10, 20, 30, 255]);
  await cellIs('out', 4, '255');
  assert.equal(await cell('out', 1).textContent(), '10');
  assert.equal(await page.locator('.patch .state').textContent(), 'connected');
  assert.match(await page.locator('.patch .partner').textContent(), /^127\.0\.0\.1:\d+$/);
  await noData().waitFor({ state: 'hidden' });

  await page.selectOption('#format', 'hex');
  assert.equal(await cell('out', 1).textContent(), '0A');
  await page.selectOption('#format', 'pct');
  assert.equal(await cell('out', 3).textContent(), '12');
  assert.equal(await cell('out', 4).textContent(), 'FL');
  await page.selectOption('#format', 'dec');
  assert.equal(await cell('out', 3).textContent(), '30');
});

test('the slider, the number entry and a range reach the peer', async (t) => {
  if (skipReason) return t.skip(skipReason);
  await cell('in', 2).click();
  assert.equal(await page.locator('.channel').inputValue(), '2');
  const slid = peerGets((v) => v[1] === 200);
  await page.locator('.slider').fill('200');
  await slid;
  await cellIs('in', 2, '200');

  await page.locator('.channel').fill('3');
  const typed = peerGets((v) => v[2] === 99);
  await page.locator('.level').fill('99');
  await page.locator('.level').press('Tab');
  await typed;

  await page.locator('.range-first').fill('5');
  await page.locator('.range-last').fill('8');
  await page.locator('.range-level').fill('7');
  const ranged = peerGets((v) => v.slice(4, 8).every((x) => x === 7));
  await page.locator('.range-set').click();
  const levels = json(await ranged).levels;
  assert.deepEqual(levels.slice(0, 9), [0, 200, 99, 0, 7, 7, 7, 7, 0]);
  await cellIs('in', 8, '7');
});

test('a setting out of bounds shows the correction the validation made', async (t) => {
  if (skipReason) return t.skip(skipReason);
  await setField('inChannels', 600);
  await page.locator('.setting-result', { hasText: 'inChannels 600 is out of bounds; using 512' }).waitFor();
  assert.equal(await field('inChannels').inputValue(), '512');
  await setField('inChannels', 12);
  await page.locator('.setting-result', { hasText: 'inChannels = 12' }).waitFor();
});

test('the no-data marker shows once turns stop: the peer killed', async (t) => {
  if (skipReason) return t.skip(skipReason);
  await noData().waitFor({ state: 'hidden' });
  // No goodbye: the host learns of it only from the silence that ends the link.
  await stop(peer, 'SIGKILL');
  peer = undefined;
  await noData().waitFor({ state: 'visible' });
  assert.notEqual(await page.locator('.patch .state').textContent(), 'connected');
  assert.equal(await page.locator('.patch .partner').textContent(), '');
  assert.equal(await cell('out', 4).textContent(), '255'); // the last levels stay, dimmed
});

test('changing udpPort re-opens the port and shows the new status', async (t) => {
  if (skipReason) return t.skip(skipReason);
  const taken = await holdUdpPort();
  try {
    await setField('udpPort', taken.address().port);
    await page.locator('.patch .status', { hasText: 'Cannot use the port.' }).waitFor();
  } finally {
    await new Promise((r) => taken.close(r));
  }
  udpPort = await freeUdpPort();
  await setField('udpPort', udpPort);
  await page.locator('.patch .status', { hasText: 'Port is open.' }).waitFor();
  // The new port answers: a peer connects there and its levels show.
  peer = startPeer(udpPort, [255, 128, 64, 32, 16, 8]);
  await cellIs('out', 6, '8');
  await noData().waitFor({ state: 'hidden' });
  await peerGets((v) => v[1] === 200, true);
});

test('Save writes the composition file the host reads back', async (t) => {
  if (skipReason) return t.skip(skipReason);
  await page.locator('#save').click();
  await page.locator('#save-result', { hasText: 'saved ' + compositionFile }).waitFor();
  const saved = JSON.parse(readFileSync(compositionFile, 'utf8'));
  assert.equal(saved.patches.length, 1);
  const { settings, inputs } = saved.patches[0];
  assert.equal(settings.udpPort, udpPort);
  assert.equal(settings.inChannels, 12);
  assert.equal(Math.round(inputs.In2 * 255), 200);
  assert.equal(Math.round(inputs.In3 * 255), 99);
  assert.equal(Math.round(inputs.In5 * 255), 7);
  assert.equal(inputs.In4, 0);

  // A picture of the page at work for the documentation.
  if (process.env.KN_SCREENSHOT) {
    mkdirSync(dirname(process.env.KN_SCREENSHOT), { recursive: true });
    await page.screenshot({ path: process.env.KN_SCREENSHOT, fullPage: true });
  }
});
