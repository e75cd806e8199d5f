// The whole product in a real browser: the relay with its dashboard, a headless agent on the
// simulated Mac, and headless Chromium. Sign in, approve the pairing, see the Mac online, mute it,
// meet the locked screen, disconnect it. A screenshot of each step (phone and desktop sizes) goes
// into SCREENSHOTS. Exits 77 (skipped) when Chromium or playwright-core is not installed.
import { spawn, execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [relayProgram, agentProgram, screenshots] = process.argv.slice(2);
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
const SKIP = 77;

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  console.log('skipped: playwright-core is not installed (scripts/setup installs it)');
  process.exit(SKIP);
}
if (!existsSync(chromiumPath)) {
  console.log(`skipped: no Chromium at ${chromiumPath}`);
  process.exit(SKIP);
}

const home = mkdtempSync(join(tmpdir(), 'velto-browser-'));
const environment = { ...process.env, XDG_DATA_HOME: join(home, 'data'), XDG_CONFIG_HOME: join(home, 'config') };
mkdirSync(screenshots, { recursive: true });
const children = [];

// A child whose output lines are kept and can be waited for.
function start(program, args, stream) {
  const child = spawn(program, args, { env: environment, stdio: ['ignore', 'pipe', 'pipe'] });
  children.push(child);
  child.lines = [];
  child.waiters = [];
  let partial = '';
  const take = (chunk) => {
    partial += chunk;
    const lines = partial.split('\n');
    partial = lines.pop();
    for (const line of lines) {
      child.lines.push(line);
      child.waiters = child.waiters.filter((w) => !w(line));
    }
  };
  child.stdout.setEncoding('utf8').on('data', stream === 'stdout' ? take : () => {});
  child.stderr.setEncoding('utf8').on('data', stream === 'stderr' ? take : (c) => process.stderr.write(c));
  return child;
}

function line(child, pattern, what, seconds = 60) {
  const found = child.lines.find((l) => pattern.test(l));
  if (found) return Promise.resolve(found.match(pattern));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no ${what} within ${seconds} s; saw:\n${child.lines.join('\n')}`)), seconds * 1000);
    child.waiters.push((l) => {
      const match = l.match(pattern);
      if (!match) return false;
      clearTimeout(timer);
      resolve(match);
      return true;
    });
  });
}

const sizes = { phone: { width: 390, height: 844 }, desktop: { width: 1280, height: 900 } };
async function snap(page, step) {
  for (const [name, size] of Object.entries(sizes)) {
    await page.setViewportSize(size);
    await page.screenshot({ path: join(screenshots, `${step}-${name}.png`), fullPage: true });
  }
  await page.setViewportSize(sizes.phone);
}

function simulated(...args) {
  return execFileSync(agentProgram, args, { env: environment, encoding: 'utf8' });
}

let browser;
let page;
try {
  const relay = start(relayProgram, ['--data', join(home, 'relay'), '--listen', '127.0.0.1', '--port', '0'], 'stdout');
  const [, origin] = await line(relay, /^relay: listening on (\S+)/, 'relay address');
  const [, certificate] = await line(relay, /^relay: certificate (\/\S+)/, 'relay certificate');
  const [, setupLink] = await line(relay, /^relay: create the owner account at (\S+)/, 'setup link');

  const agent = start(agentProgram, ['--headless', '--platform', 'sim', '--relay', origin, '--relay-ca', certificate], 'stderr');
  const [, pairingLink] = await line(agent, /^open in browser: (\S+)/, 'pairing link');
  const code = new URL(pairingLink).hash.match(/pair=([^&]+)/)[1];

  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--no-sandbox'] });
  const context = await browser.newContext({ ignoreHTTPSErrors: true, viewport: sizes.phone });
  page = await context.newPage();
  page.setDefaultTimeout(30_000);
  page.on('pageerror', (e) => console.error('page error:', e.message));
  page.on('requestfailed', (r) => console.error('failed:', r.url(), r.failure()?.errorText));

  // The owner account from the one-time link, then the pairing code the agent showed.
  await page.goto(setupLink);
  await page.getByLabel('Name').fill('owner');
  await page.getByLabel('Password (10 characters or more)').fill('correct horse battery');
  await snap(page, '1-create-account');
  await page.getByRole('button', { name: 'Create account' }).click();
  await page.getByRole('heading', { name: 'Your Macs' }).waitFor();
  // The agent's link: its code is not filled in, and nothing is approved before the person has
  // seen which computer asks.
  await page.goto(`${origin}/#pair=${code}`);
  await page.reload(); // a change of fragment alone does not load the page again
  if ((await page.getByLabel('Pairing code').inputValue()) !== '') {
    throw new Error('the code from the link was filled in');
  }
  await page.getByRole('button', { name: 'Show the Mac from the link' }).click();
  await page.getByRole('heading', { name: 'Approve this Mac?' }).waitFor();
  await page.getByText(/^Mac with Velto /).waitFor();
  await page.getByText(code, { exact: true }).waitFor();
  await page.getByRole('button', { name: 'Approve', exact: true }).click();
  await page.getByText('Approved. The Mac connects in a moment.').waitFor();
  await line(agent, /^status: Mac connected$/, 'connection after approval');

  // The device list is drawn once on load: reload until the Mac shows online.
  for (let attempt = 0; ; ++attempt) {
    await page.reload();
    if (await page.getByText('Online').isVisible().catch(() => false)) break;
    if (attempt === 30) throw new Error('the Mac never showed online');
    await page.waitForTimeout(500);
  }
  await snap(page, '2-online');

  await page.getByRole('button', { name: /Online/ }).click();
  await page.getByRole('button', { name: 'Mute', exact: true }).click();
  await page.getByRole('status').filter({ hasText: 'Audio muted' }).waitFor();
  const state = JSON.parse(simulated('call', 'get_state'));
  if (state.audio?.muted !== true) {
    throw new Error(`the simulated Mac is not muted: ${JSON.stringify(state)}`);
  }
  await snap(page, '3-muted');

  simulated('sim', 'screen', 'locked');
  await page.getByRole('button', { name: 'Unmute', exact: true }).click();
  await page.getByRole('status').filter({ hasText: 'Unlock this Mac before running this action.' }).waitFor();
  await snap(page, '4-locked');

  page.once('dialog', (dialog) => dialog.accept());
  await page.getByRole('button', { name: 'Disconnect this Mac' }).click();
  await line(agent, /^status: Unpaired — revoked$/, 'the agent ending revoked');
  await page.getByRole('heading', { name: 'Your Macs' }).waitFor();
  await snap(page, '5-disconnected');
  console.log(`passed; screenshots in ${screenshots}`);
} catch (error) {
  console.error(error.stack || String(error));
  if (page) {
    console.error(`the page said: ${await page.locator('body').innerText().catch(() => '?')}`);
    await page.screenshot({ path: join(screenshots, 'failure.png'), fullPage: true }).catch(() => {});
  }
  process.exitCode = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  for (const child of children) child.kill('SIGTERM');
  await Promise.all(children.map((c) => (c.exitCode !== null ? null : new Promise((r) => c.once('exit', r)))));
  rmSync(home, { recursive: true, force: true });
}
