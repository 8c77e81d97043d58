// The host's web page in Chromium: a demo server over a real patch, a real peer sending
// levels over loopback UDP, and the page driven as a person would.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';
import { writeFileSync, mkdirSync } from 'node:fs';
import { dirname } from 'node:path';
import dgram from 'node:dgram';
import { chromium } from 'playwright-core';

const WAIT = 15000; // generous: a bound on a hang, not a timing assertion

let demo, peer, browser, page, url, udpPort, skipReason;
const demoLines = [];

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

function waitForLine(pred) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no such line: ' + demoLines.join(' | '))), WAIT);
    const check = () => {
      const hit = demoLines.find(pred);
      if (hit) { clearTimeout(timer); resolve(hit); } else setTimeout(check, 20);
    };
    check();
  });
}

before(async () => {
  udpPort = await freeUdpPort();
  demo = spawn(process.env.KN_DEMO_SERVER, ['--udp-port', String(udpPort)],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  demo.once('error', (e) => demoLines.push('cannot start the demo server: ' + e.message));
  createInterface({ input: demo.stdout }).on('line', (l) => demoLines.push(l));
  url = JSON.parse(await waitForLine((l) => l.startsWith('{'))).url;
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
  if (peer) peer.kill('SIGTERM');
  if (demo && demo.pid && demo.exitCode === null) {
    const ended = new Promise((r) => demo.once('exit', r));
    demo.kill('SIGTERM');
    await ended;
  }
});

const cell = (grid, k) => page.locator(`.${grid}-grid div[data-slot="${k}"]`);
const field = (key) => page.locator(`.fields input[name="${key}"]`);

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
  assert.ok(await page.locator('.patch').evaluate((n) => n.classList.contains('stale')));
  assert.ok(await page.locator('.patch .nodata').isVisible());
  assert.equal(await page.locator('.out-grid div').count(), 512);
  assert.equal(await page.locator('.in-grid div').count(), 512);
});

test('levels the peer sends appear in the Out grid, in each format', async (t) => {
  if (skipReason) return t.skip(skipReason);
  peer = spawn(process.env.KN_PEER, ['connect', `127.0.0.1:${udpPort}`, '-l', '0'],
    { stdio: ['pipe', 'ignore', 'inherit'] });
  peer.stdin.write('10,20,30,255\n');
  await page.waitForFunction(() =>
    document.querySelector('.out-grid div[data-slot="4"]').textContent === '255', null,
  { timeout: WAIT });
  assert.equal(await cell('out', 1).textContent(), '10');
  assert.equal(await page.locator('.patch .state').textContent(), 'connected');
  assert.match(await page.locator('.patch .partner').textContent(), /^127\.0\.0\.1:\d+$/);
  assert.ok(!(await page.locator('.patch .nodata').isVisible()));

  peer.stdin.write('10,20,77,255\n');
  await page.waitForFunction(() =>
    document.querySelector('.out-grid div[data-slot="3"]').textContent === '77', null,
  { timeout: WAIT });

  await page.selectOption('#format', 'hex');
  assert.equal(await cell('out', 1).textContent(), '0A');
  await page.selectOption('#format', 'pct');
  assert.equal(await cell('out', 3).textContent(), '30');
  assert.equal(await cell('out', 4).textContent(), 'FL');
  await page.selectOption('#format', 'dec');
  assert.equal(await cell('out', 3).textContent(), '77');
});

test('moving the slider and setting a range change the inputs sent', async (t) => {
  if (skipReason) return t.skip(skipReason);
  await cell('in', 2).click();
  assert.equal(await page.locator('.channel').inputValue(), '2');
  await page.locator('.slider').fill('200');
  await page.waitForFunction(() =>
    document.querySelector('.in-grid div[data-slot="2"]').textContent === '200', null,
  { timeout: WAIT });
  // The server's own state agrees: slot 2 of the turn sent is 200.
  const state = await (await fetch(url + 'api/state')).json();
  assert.equal(state.patches[0].in.substr(2, 2), 'c8');

  await page.locator('.range-first').fill('5');
  await page.locator('.range-last').fill('8');
  await page.locator('.range-level').fill('7');
  await page.locator('.range-set').click();
  await page.waitForFunction(() =>
    [5, 6, 7, 8].every((k) =>
      document.querySelector(`.in-grid div[data-slot="${k}"]`).textContent === '7'), null,
  { timeout: WAIT });
  assert.equal(await cell('in', 9).textContent(), '0');

  // A picture of the page at work for the documentation.
  if (process.env.KN_SCREENSHOT) {
    mkdirSync(dirname(process.env.KN_SCREENSHOT), { recursive: true });
    await page.screenshot({ path: process.env.KN_SCREENSHOT, fullPage: true });
  }
});

test('a setting out of bounds shows the correction the validation made', async (t) => {
  if (skipReason) return t.skip(skipReason);
  await setField('inChannels', 600);
  await page.locator('.setting-result', { hasText: 'inChannels 600 is out of bounds; using 512' }).waitFor();
  assert.equal(await field('inChannels').inputValue(), '512');
  await setField('inChannels', 12);
  await page.locator('.setting-result', { hasText: 'inChannels = 12' }).waitFor();
});

test('changing udpPort shows the new status', async (t) => {
  if (skipReason) return t.skip(skipReason);
  const taken = await holdUdpPort();
  try {
    await setField('udpPort', taken.address().port);
    await page.locator('.patch .status', { hasText: 'Cannot use the port.' }).waitFor();
  } finally {
    await new Promise((r) => taken.close(r));
  }
  await setField('udpPort', await freeUdpPort());
  await page.locator('.patch .status', { hasText: 'Port is open.' }).waitFor();
});

test('Save asks the host to save and shows its answer', async (t) => {
  if (skipReason) return t.skip(skipReason);
  await page.locator('#save').click();
  await page.locator('#save-result', { hasText: 'saved demo.json' }).waitFor();
  await waitForLine((l) => l === 'save 1');
});
