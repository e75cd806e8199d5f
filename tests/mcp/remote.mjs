// The relay's /mcp driven by the official TypeScript MCP SDK's Streamable HTTP client against a
// real velto-relay and a paired agent on the simulated Mac, with a token obtained through the
// relay's OAuth flow: get_state, set_volume and a refused action come back as the protocol says,
// each lands in the relay's audit with the assistant's name and in the agent's private log under
// the same command id; no token, a revoked token, and a token whose device left the account are
// refused with 401 and the metadata's address, before any command leaves.
//
// Without the SDK installed (scripts/setup does it) the test exits 77 and counts as skipped, except
// under CI=true, where that fails the run.
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import assert from 'node:assert/strict';
import { makeHome } from './agent.mjs';
import { authorise, startRelayAndAgent, stopAll } from './relay.mjs';

const [relayProgram, velto] = process.argv.slice(2);
const SKIP = 77;

let Client, StreamableHTTPClientTransport;
try {
  ({ Client } = await import('@modelcontextprotocol/sdk/client/index.js'));
  ({ StreamableHTTPClientTransport } = await import('@modelcontextprotocol/sdk/client/streamableHttp.js'));
} catch (error) {
  const message = `@modelcontextprotocol/sdk is not installed in tests/mcp (scripts/setup installs it): ${error.message}`;
  if (process.env.CI === 'true') {
    console.error(message);
    process.exit(1);
  }
  console.log(`skipped: ${message}`);
  process.exit(SKIP);
}

const home = makeHome('velto-mcp-remote-');
let started;
const clients = [];

async function connect(origin, token) {
  const client = new Client({ name: 'velto-remote-test', version: '1.0.0' });
  const transport = new StreamableHTTPClientTransport(new URL(`${origin}/mcp`), {
    requestInit: { headers: token ? { Authorization: `Bearer ${token}` } : {} },
  });
  await client.connect(transport);
  clients.push(client);
  return client;
}

// One raw POST to /mcp: the status, the challenge and the body.
async function post(origin, token, message, extra = {}) {
  const reply = await fetch(`${origin}/mcp`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream', ...(token ? { Authorization: `Bearer ${token}` } : {}), ...extra },
    body: JSON.stringify(message),
  });
  return { status: reply.status, challenge: reply.headers.get('www-authenticate'), text: await reply.text() };
}

function logRecords() {
  const file = join(home.data, 'commands.jsonl');
  return existsSync(file) ? readFileSync(file, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l)) : [];
}

const list = { jsonrpc: '2.0', id: 1, method: 'tools/list', params: { _meta: { 'io.modelcontextprotocol/protocolVersion': '2026-07-28', 'io.modelcontextprotocol/clientCapabilities': {} } } };

try {
  started = await startRelayAndAgent(relayProgram, velto, home);
  const { origin, deviceId, call } = started;
  const { tokens } = await authorise(started, 'Remote Test Assistant');
  const token = tokens.access_token;

  // ---- The handshake revision through the SDK ------------------------------------------------
  const client = await connect(origin, token);
  assert.equal(client.getServerVersion().name, 'velto');
  const { tools } = await client.listTools();
  assert.ok(tools.some((t) => t.name === 'set_volume'), 'the tools follow the capability report');
  const state = await client.callTool({ name: 'get_state', arguments: {} });
  assert.equal(state.isError, false, JSON.stringify(state));
  assert.equal(state.structuredContent.screen_locked, false);
  const volume = await client.callTool({ name: 'set_volume', arguments: { level: 30 } });
  assert.equal(volume.isError, false, JSON.stringify(volume));
  assert.equal((await client.callTool({ name: 'get_state', arguments: {} })).structuredContent.audio.volume, 30);
  const refused = await client.callTool({ name: 'desktop_observe', arguments: { include_image: true } });
  assert.equal(refused.isError, true);
  assert.match(refused.content[0].text, /^desktop_permission_required: /);
  const activity = JSON.parse((await client.readResource({ uri: 'velto://device/activity' })).contents[0].text);
  assert.equal(activity.records[0].action, 'desktop_observe');
  assert.equal(activity.records[0].assistant, 'Remote Test Assistant');

  // ---- The stateless revision, its headers checked against the body --------------------------
  const stateless = await post(origin, token, list, { 'Mcp-Method': 'tools/list' });
  assert.equal(stateless.status, 200, stateless.text);
  assert.equal(JSON.parse(stateless.text).result.resultType, 'complete');
  const mismatch = await post(origin, token, list, { 'Mcp-Method': 'tools/call' });
  assert.equal(mismatch.status, 400);
  assert.equal(JSON.parse(mismatch.text).error.code, -32020);

  // ---- Each call in the relay's audit with the assistant's name, and in the agent's log --------
  const { audit } = await call('GET', `/v1/devices/${deviceId}/audit`);
  const records = logRecords();
  for (const [action, outcome] of [['get_state', 'succeeded'], ['set_volume', 'succeeded'], ['desktop_observe', 'desktop_permission_required']]) {
    const row = audit.find((r) => r.action === action && r.outcome === outcome);
    assert.ok(row, `${action} is in the relay's audit`);
    assert.equal(row.assistant, 'Remote Test Assistant');
    assert.ok(records.some((r) => r.command_id === row.command_id && r.outcome === outcome), `${action} is in the agent's log`);
  }

  // ---- Refused before anything is read --------------------------------------------------------
  const none = await post(origin, null, list);
  assert.equal(none.status, 401);
  assert.match(none.challenge, new RegExp(`resource_metadata="${origin}/.well-known/oauth-protected-resource/mcp"`));
  const before = (await call('GET', `/v1/devices/${deviceId}/audit`)).audit.length;
  // Disconnected under Account: its tokens and its session end.
  const second = await authorise(started, 'Second Assistant');
  await call('DELETE', `/v1/assistants/${second.grantId}`);
  const revoked = await post(origin, second.tokens.access_token, list);
  assert.equal(revoked.status, 401);
  assert.match(revoked.challenge, /error="invalid_token"/);
  // The device removed from the account: the token it was given no longer operates anything.
  await call('POST', `/v1/devices/${deviceId}/revoke`);
  const removed = await post(origin, token, { jsonrpc: '2.0', id: 2, method: 'tools/call', params: { name: 'get_state', arguments: {}, _meta: list.params._meta } }, { 'Mcp-Method': 'tools/call', 'Mcp-Name': 'get_state' });
  assert.equal(removed.status, 401);
  assert.equal((await call('GET', `/v1/devices/${deviceId}/audit`)).audit.length, before, 'nothing was sent after the refusals');
  console.log(`passed: ${tools.length} tools through the relay`);
} catch (error) {
  console.error(error.stack || String(error), error.cause ?? "");
  process.exitCode = 1;
} finally {
  for (const client of clients) await client.close().catch(() => {});
  if (started) await stopAll(started.children);
  home.remove();
}
