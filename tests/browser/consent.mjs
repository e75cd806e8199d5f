// An assistant connected through the relay, in a real browser: it registers, sends the person to
// the consent page, which signs them in first, names the assistant and where they go back to, and
// lets them pick the Mac; approving sends the browser back with a code that buys tokens (asked
// from the assistant's own page, across origins, as a browser-based assistant does). The account
// page then lists the assistant and disconnects it. Exits 77 (skipped) when Chromium,
// playwright-core or axe-core is not installed.
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { existsSync, mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [relayProgram, agentProgram, screenshots] = process.argv.slice(2);
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
const SKIP = 77;

let chromium;
let axePath;
try {
  ({ chromium } = await import('playwright-core'));
  axePath = createRequire(import.meta.url).resolve('axe-core/axe.min.js');
} catch {
  console.log('skipped: playwright-core or axe-core is not installed (scripts/setup installs them)');
  process.exit(SKIP);
}
if (!existsSync(chromiumPath)) {
  console.log(`skipped: no Chromium at ${chromiumPath}`);
  process.exit(SKIP);
}

const home = mkdtempSync(join(tmpdir(), 'velto-consent-'));
const environment = { ...process.env, XDG_DATA_HOME: join(home, 'data'), XDG_CONFIG_HOME: join(home, 'config') };
mkdirSync(screenshots, { recursive: true });
const children = [];

function start(program, args, stream) {
  const child = spawn(program, args, { env: environment, stdio: ['ignore', 'pipe', 'pipe'] });
  children.push(child);
  child.lines = [];
  let partial = '';
  const take = (chunk) => {
    partial += chunk;
    const lines = partial.split('\n');
    partial = lines.pop();
    child.lines.push(...lines);
  };
  child.stdout.setEncoding('utf8').on('data', stream === 'stdout' ? take : () => {});
  child.stderr.setEncoding('utf8').on('data', stream === 'stderr' ? take : (c) => process.stderr.write(c));
  return child;
}

async function line(child, pattern, what) {
  for (let waited = 0; waited < 60_000; waited += 100) {
    const found = child.lines.find((l) => pattern.test(l));
    if (found) return found.match(pattern);
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`no ${what} within 60 s; saw:\n${child.lines.join('\n')}`);
}

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// Serious and critical findings of axe-core, in both colour schemes, fail the test.
async function scan(page, what) {
  for (const scheme of ['light', 'dark']) {
    await page.emulateMedia({ colorScheme: scheme });
    await page.addScriptTag({ path: axePath });
    const found = await page.evaluate(async () => {
      const result = await window.axe.run(document, { resultTypes: ['violations'] });
      return result.violations
        .filter((v) => v.impact === 'serious' || v.impact === 'critical')
        .map((v) => `${v.id} (${v.impact}): ${v.help} at ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
    });
    if (found.length > 0) throw new Error(`accessibility of ${what}, ${scheme}:\n${found.join('\n')}`);
  }
  await page.emulateMedia({ colorScheme: 'light' });
}

// The assistant's loopback redirect target: it keeps what the relay sent back.
const returned = [];
const callback = createServer((request, response) => {
  returned.push(new URL(request.url, 'http://127.0.0.1'));
  response.writeHead(200, { 'Content-Type': 'text/html' });
  response.end('<!doctype html><title>Assistant</title><h1>Connected</h1>');
});
await new Promise((resolve) => callback.listen(0, '127.0.0.1', resolve));
const redirectUri = `http://127.0.0.1:${callback.address().port}/callback`;

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
  // The owner and their Mac, in one browser.
  const owner = await (await browser.newContext({ ignoreHTTPSErrors: true })).newPage();
  await owner.goto(setupLink);
  await owner.getByLabel('Name').fill('owner');
  await owner.getByLabel('Password (10 characters or more)').fill('correct horse battery');
  await owner.getByRole('button', { name: 'Create account' }).click();
  await owner.getByRole('heading', { name: 'Your Macs' }).waitFor();
  await owner.goto(`${origin}/#pair=${code}`);
  await owner.reload();
  await owner.getByRole('button', { name: 'Show the Mac from the link' }).click();
  await owner.getByRole('button', { name: 'Approve', exact: true }).click();
  await owner.getByRole('link', { name: /Robins-MacBook-Air/ }).waitFor({ timeout: 30_000 });

  // The assistant registers and sends the person, in another browser, to the relay.
  const registered = await owner.evaluate(async (uri) => {
    const reply = await fetch('/oauth/register', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ client_name: 'Test Assistant', redirect_uris: [uri] }),
    });
    return reply.json();
  }, redirectUri);
  const verifier = randomBytes(32).toString('base64url');
  const query = new URLSearchParams({
    response_type: 'code',
    client_id: registered.client_id,
    redirect_uri: redirectUri,
    code_challenge: createHash('sha256').update(verifier).digest('base64url'),
    code_challenge_method: 'S256',
    resource: `${origin}/mcp`,
    state: 'opaque state+/=',
  });
  const context = await browser.newContext({ ignoreHTTPSErrors: true, viewport: { width: 390, height: 844 }, bypassCSP: true });
  page = await context.newPage();
  page.setDefaultTimeout(20_000);
  page.on('pageerror', (e) => console.error('page error:', e.message));
  await page.goto(`${origin}/oauth/authorize?${query}`);
  await page.getByRole('heading', { name: 'Sign in to Velto' }).waitFor();
  await page.getByLabel('Name').fill('owner');
  await page.getByLabel('Password').fill('correct horse battery');
  await page.getByRole('button', { name: 'Sign in' }).click();

  await page.getByRole('heading', { name: 'Allow Test Assistant to use a Mac?' }).waitFor();
  await page.getByText('Afterwards you go back to 127.0.0.1.').waitFor();
  check(await page.getByRole('radio', { name: 'Robins-MacBook-Air' }).isChecked(), 'the only Mac is not picked');
  await scan(page, 'the consent page');
  await page.screenshot({ path: join(screenshots, 'consent-phone.png'), fullPage: true });
  await page.getByRole('button', { name: 'Allow', exact: true }).click();
  await page.getByRole('heading', { name: 'Connected' }).waitFor();
  const back = returned.find((url) => url.pathname === '/callback').searchParams;
  check(back.get('state') === 'opaque state+/=', `the state came back as ${back.get('state')}`);
  check(back.get('iss') === origin, `the issuer came back as ${back.get('iss')}`);

  // The assistant's page trades the code for tokens across origins.
  const tokens = await page.evaluate(async ({ relayOrigin, form }) => {
    const reply = await fetch(`${relayOrigin}/oauth/token`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: new URLSearchParams(form),
    });
    return { status: reply.status, body: await reply.json() };
  }, {
    relayOrigin: origin,
    form: { grant_type: 'authorization_code', code: back.get('code'), code_verifier: verifier, client_id: registered.client_id, redirect_uri: redirectUri, resource: `${origin}/mcp` },
  });
  check(tokens.status === 200 && tokens.body.token_type === 'Bearer', `the token answer was ${JSON.stringify(tokens)}`);

  // A call with the token lands in the Mac's activity, which names the assistant.
  process.env.NODE_TLS_REJECT_UNAUTHORIZED = '0'; // the relay's certificate, made at its start
  const meta = { 'io.modelcontextprotocol/protocolVersion': '2026-07-28', 'io.modelcontextprotocol/clientCapabilities': {} };
  const called = await fetch(`${origin}/mcp`, {
    method: 'POST',
    headers: { Authorization: `Bearer ${tokens.body.access_token}`, 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream', 'Mcp-Method': 'tools/call', 'Mcp-Name': 'get_state' },
    body: JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'tools/call', params: { name: 'get_state', arguments: {}, _meta: meta } }),
  });
  check(/"isError":false/.test(await called.text()), 'the assistant\'s call did not succeed');
  await owner.getByRole('link', { name: /Robins-MacBook-Air/ }).click();
  await owner.locator('.audit li', { hasText: 'via Test Assistant' }).waitFor();

  // The owner sees it under Account and disconnects it.
  await owner.goto(`${origin}/account`);
  const listed = owner.getByRole('list', { name: 'Connected assistants' });
  await listed.getByText('Test Assistant').waitFor();
  await listed.getByText(/Uses Robins-MacBook-Air/).waitFor();
  await owner.getByRole('button', { name: 'Disconnect Test Assistant' }).click();
  await owner.getByRole('dialog', { name: 'Disconnect Test Assistant?' }).getByRole('button', { name: 'Disconnect' }).click();
  await listed.getByText('No assistant is connected.').waitFor();
  console.log(`passed; screenshot in ${screenshots}`);
} catch (error) {
  console.error(error.stack || String(error));
  if (page) {
    console.error(`the page said: ${await page.locator('body').innerText().catch(() => '?')}`);
    await page.screenshot({ path: join(screenshots, 'consent-failure.png'), fullPage: true }).catch(() => {});
  }
  process.exitCode = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  callback.close();
  for (const child of children) child.kill('SIGTERM');
  await Promise.all(children.map((c) => (c.exitCode !== null || c.signalCode !== null ? null : new Promise((r) => c.once('exit', r)))));
  rmSync(home, { recursive: true, force: true });
}
