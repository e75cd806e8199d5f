// A relay with a simulated agent paired to it and an assistant authorised on that agent, for the
// remote MCP test and the MCP benchmark: the relay and the agent start in a temporary home of
// their own and stop by their process ids; the account, the pairing and the OAuth flow (dynamic
// registration, consent with the session cookie and CSRF token, the code traded with PKCE) go
// through the relay's own HTTP API, as the dashboard and an assistant use it.
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { join } from 'node:path';

// The relay's certificate is made at its start, for 127.0.0.1: this process trusts it as any.
process.env.NODE_TLS_REJECT_UNAUTHORIZED = '0';

function start(program, args, environment, stream) {
  const child = spawn(program, args, { env: environment, stdio: ['ignore', 'pipe', 'pipe'] });
  child.lines = [];
  let partial = '';
  const take = (chunk) => {
    const lines = (partial + chunk).split('\n');
    partial = lines.pop();
    child.lines.push(...lines);
  };
  child.stdout.setEncoding('utf8').on('data', stream === 'stdout' ? take : () => {});
  // VELTO_TEST_VERBOSE=1 shows what the relay says on its standard error.
  child.stderr.setEncoding('utf8').on('data', stream === 'stderr' ? take : (c) => process.env.VELTO_TEST_VERBOSE && process.stderr.write(c));
  return child;
}

async function line(child, pattern, what, seconds = 60) {
  for (let waited = 0; waited < seconds * 1000; waited += 50) {
    const found = child.lines.find((l) => pattern.test(l));
    if (found) return found.match(pattern);
    if (child.exitCode !== null) break;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`no ${what}; saw:\n${child.lines.join('\n')}`);
}

// A signed-in dashboard session: JSON calls with its cookie and CSRF token.
function dashboard(origin, cookie, csrf) {
  return async (method, path, body) => {
    const reply = await fetch(origin + path, {
      method,
      headers: { Cookie: cookie, 'X-CSRF-Token': csrf, Origin: origin, ...(body ? { 'Content-Type': 'application/json' } : {}) },
      body: body ? JSON.stringify(body) : undefined,
    });
    const text = await reply.text();
    if (!reply.ok) throw new Error(`${method} ${path}: ${reply.status} ${text}`);
    return text ? JSON.parse(text) : {};
  };
}

// Starts the relay and a paired agent on the simulated Mac (its home from makeHome); resolves
// with the relay's origin, the device id, the owner's dashboard calls and the children.
export async function startRelayAndAgent(relayProgram, velto, home) {
  const children = [];
  const relay = start(relayProgram, ['--data', join(home.home, 'relay'), '--listen', '127.0.0.1', '--port', '0'], home.environment, 'stdout');
  children.push(relay);
  const [, origin] = await line(relay, /^relay: listening on (\S+)/, 'relay address');
  const [, certificate] = await line(relay, /^relay: certificate (\/\S+)/, 'relay certificate');
  const [, setupLink] = await line(relay, /^relay: create the owner account at (\S+)/, 'setup link');
  const agent = start(velto, ['--headless', '--platform', 'sim', '--relay', origin, '--relay-ca', certificate], home.environment, 'stderr');
  children.push(agent);
  const [, pairingLink] = await line(agent, /^open in browser: (\S+)/, 'pairing link');
  const code = new URL(pairingLink).hash.match(/pair=([^&]+)/)[1];

  const setUp = await fetch(`${origin}/v1/account/setup`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', Origin: origin },
    body: JSON.stringify({ token: new URL(setupLink).hash.match(/setup=([^&]+)/)[1], name: 'owner', password: 'correct horse battery' }),
  });
  if (!setUp.ok) throw new Error(`set-up: ${setUp.status} ${await setUp.text()}`);
  const cookie = setUp.headers.get('set-cookie').split(';')[0];
  const call = dashboard(origin, cookie, (await setUp.json()).csrf);
  const { device_id: deviceId } = await call('POST', '/v1/pairings/approve', { code });
  for (let waited = 0; ; waited += 100) {
    const { devices } = await call('GET', '/v1/devices');
    if (devices.some((d) => d.device_id === deviceId && d.online)) break;
    if (waited > 60_000) throw new Error(`the agent did not come online:\n${agent.lines.join('\n')}`);
    await new Promise((r) => setTimeout(r, 100));
  }
  return { origin, deviceId, call, cookie, children, agent };
}

// An assistant named `name` registers, the owner allows it on `deviceId`, and it trades the code
// for tokens with its PKCE verifier; resolves with the token answer and the grant's id.
export async function authorise({ origin, deviceId, call }, name) {
  const redirectUri = 'http://127.0.0.1:9/callback';
  const registered = await (await fetch(`${origin}/oauth/register`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ client_name: name, redirect_uris: [redirectUri] }),
  })).json();
  const verifier = randomBytes(32).toString('base64url');
  const query = new URLSearchParams({
    response_type: 'code',
    client_id: registered.client_id,
    redirect_uri: redirectUri,
    code_challenge: createHash('sha256').update(verifier).digest('base64url'),
    code_challenge_method: 'S256',
    resource: `${origin}/mcp`,
    state: 's',
  }).toString();
  const { redirect_to: back } = await call('POST', '/oauth/authorize', { query, approve: true, device_id: deviceId });
  const reply = await fetch(`${origin}/oauth/token`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: new URLSearchParams({
      grant_type: 'authorization_code',
      code: new URL(back).searchParams.get('code'),
      code_verifier: verifier,
      client_id: registered.client_id,
      redirect_uri: redirectUri,
      resource: `${origin}/mcp`,
    }),
  });
  const tokens = await reply.json();
  if (reply.status !== 200) throw new Error(`token: ${reply.status} ${JSON.stringify(tokens)}`);
  const { assistants } = await call('GET', '/v1/assistants');
  return { tokens, grantId: assistants.find((a) => a.client_name === name).id };
}

// SIGTERM to each child's own id, then their ends.
export async function stopAll(children) {
  await Promise.all(children.map((child) => {
    if (child.exitCode !== null || child.signalCode !== null) return null;
    const ended = new Promise((resolve) => child.once('exit', resolve));
    process.kill(child.pid, 'SIGTERM');
    return ended;
  }));
}
