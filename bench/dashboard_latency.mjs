// How long a person at the dashboard waits to see the Mac: the time from a change at the computer
// (the simulated Mac's screen locked or unlocked) to the open device page showing it, and from a
// tap (Mute, Unmute) to its answer beside the control. Runs the relay, a headless agent on the
// simulated Mac and headless Chromium, like the browser test.
//
//   node bench/dashboard_latency.mjs build/release/velto-relay build/release/velto [rounds]
//
// Needs tests/browser's node_modules (scripts/setup). Times are taken in the page (a mutation
// observer) against the moment the `velto sim` command returned, on one machine's clock.
//
// Measured on the 2-core build machine with the dev (sanitizer) build: a change at the Mac showed
// after p50 1.1 s, p99 1.9 s (60 rounds) while the agent told the relay at its 2-second look, and
// after p50 91 ms, p99 1.9 s (30 rounds) once it told each lock change at once; a tap's answer
// showed after p50 90-107 ms, p99 131-247 ms.
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const [relayProgram, agentProgram, roundsText] = process.argv.slice(2);
const rounds = Number(roundsText || 60);
const require = createRequire(join(dirname(fileURLToPath(import.meta.url)), '../tests/browser/package.json'));
const { chromium } = require('playwright-core');
const home = mkdtempSync(join(tmpdir(), 'velto-latency-'));
const environment = { ...process.env, XDG_DATA_HOME: join(home, 'data'), XDG_CONFIG_HOME: join(home, 'config') };
const children = [];

function start(program, args, stream) {
  const child = spawn(program, args, { env: environment, stdio: ['ignore', 'pipe', 'pipe'] });
  children.push(child);
  child.lines = [];
  child.waiters = [];
  let partial = '';
  child[stream].setEncoding('utf8').on('data', (chunk) => {
    partial += chunk;
    const lines = partial.split('\n');
    partial = lines.pop();
    for (const l of lines) {
      child.lines.push(l);
      child.waiters = child.waiters.filter((w) => !w(l));
    }
  });
  return child;
}

function line(child, pattern) {
  const found = child.lines.find((l) => pattern.test(l));
  if (found) return Promise.resolve(found.match(pattern));
  return new Promise((resolve) => child.waiters.push((l) => {
    const match = l.match(pattern);
    if (match) resolve(match);
    return Boolean(match);
  }));
}

const simulated = (...args) => execFileSync(agentProgram, args, { env: environment, encoding: 'utf8' });

function summary(name, samples) {
  const sorted = [...samples].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  console.log(`${name}: n=${sorted.length} p50=${at(0.5).toFixed(0)} ms p99=${at(0.99).toFixed(0)} ms max=${sorted[sorted.length - 1].toFixed(0)} ms`);
}

let browser;
try {
  const relay = start(relayProgram, ['--data', join(home, 'relay'), '--listen', '127.0.0.1', '--port', '0'], 'stdout');
  const [, origin] = await line(relay, /^relay: listening on (\S+)/);
  const [, certificate] = await line(relay, /^relay: certificate (\/\S+)/);
  const [, setupLink] = await line(relay, /^relay: create the owner account at (\S+)/);
  const agent = start(agentProgram, ['--headless', '--platform', 'sim', '--relay', origin, '--relay-ca', certificate], 'stderr');
  const [, pairingLink] = await line(agent, /^open in browser: (\S+)/);
  const code = new URL(pairingLink).hash.match(/pair=([^&]+)/)[1];

  browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
  const page = await (await browser.newContext({ ignoreHTTPSErrors: true, viewport: { width: 390, height: 844 } })).newPage();
  await page.goto(setupLink);
  await page.getByLabel('Name').fill('owner');
  await page.getByLabel('Password (10 characters or more)').fill('correct horse battery');
  await page.getByRole('button', { name: 'Create account' }).click();
  await page.getByLabel('Pairing code').fill(code);
  await page.getByRole('button', { name: 'Continue' }).click();
  await page.getByRole('button', { name: 'Approve', exact: true }).click();
  await page.getByRole('link', { name: /Online/ }).click();
  await page.locator('.state dt', { hasText: 'Battery' }).waitFor({ timeout: 30_000 });

  // Each change of the status line, stamped in the page.
  await page.evaluate(() => {
    window.seen = [];
    const note = (node) => new MutationObserver(() => window.seen.push({ at: Date.now(), text: node.textContent }))
      .observe(node, { childList: true, characterData: true, subtree: true });
    note(document.querySelector('.subtitle'));
    note(document.querySelector('section[aria-labelledby=sound-title] .feedback'));
  });
  const waitFor = async (pattern, after) => {
    const handle = await page.waitForFunction(([source, since]) => {
      const hit = window.seen.find((s) => s.at >= since && new RegExp(source).test(s.text));
      return hit ? hit.at : false;
    }, [pattern.source, after], { timeout: 15_000, polling: 20 });
    return handle.jsonValue();
  };

  const screen = [];
  for (let i = 0; i < rounds; i += 1) {
    const state = i % 2 === 0 ? 'locked' : 'unlocked';
    simulated('sim', 'screen', state);
    const changed = Date.now();
    const shown = await waitFor(state === 'locked' ? /locked/ : /ready/, changed - 5);
    screen.push(shown - changed);
    // A random pause, so rounds do not fall in step with the agent's reads; at least 400 ms, as
    // the simulated Mac's console is read every 250 ms and a state held for less may never be seen.
    await page.waitForTimeout(400 + Math.random() * 2000);
  }
  summary('screen change at the Mac → device page', screen);

  const taps = [];
  for (let i = 0; i < rounds; i += 1) {
    const name = i % 2 === 0 ? 'Audio muted' : 'Audio unmuted';
    const tapped = Date.now();
    await page.getByRole('switch', { name: 'Mute' }).click();
    const answered = await waitFor(new RegExp(name), tapped);
    taps.push(answered - tapped);
    await page.waitForFunction(() => !document.querySelector('[role=switch]').disabled);
    await page.waitForTimeout(300);
  }
  summary('tap Mute/Unmute → its answer beside it', taps);
} finally {
  if (browser) await browser.close().catch(() => {});
  for (const child of children) child.kill('SIGTERM');
  await Promise.all(children.map((c) => (c.exitCode !== null || c.signalCode !== null ? null : new Promise((r) => c.once('exit', r)))));
  rmSync(home, { recursive: true, force: true });
}
