// `velto mcp` driven by the official TypeScript MCP SDK's client, an implementation of its own,
// over standard input and output against a headless agent on the simulated Mac: every tool schema
// compiles, get_state, set_volume and a refused action come back as the protocol says (the SDK
// checks each structured result against its tool's output schema), each call is in the agent's
// private log, and the program answers the stateless revision, ends when its input closes and
// answers a tool error, not a hang, once the agent is gone.
//
// Without the SDK installed (scripts/setup does it) the test exits 77 and counts as skipped, except
// under CI=true, where that fails the run.
import { spawn } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import assert from 'node:assert/strict';
import { makeHome, startAgent, stop } from './agent.mjs';

const [velto] = process.argv.slice(2);
const SKIP = 77;

let Client, StdioClientTransport, Ajv2020, addFormats;
try {
  ({ Client } = await import('@modelcontextprotocol/sdk/client/index.js'));
  ({ StdioClientTransport } = await import('@modelcontextprotocol/sdk/client/stdio.js'));
  Ajv2020 = (await import('ajv/dist/2020.js')).default;
  addFormats = (await import('ajv-formats')).default;
} catch (error) {
  const message = `@modelcontextprotocol/sdk is not installed in tests/mcp (scripts/setup installs it): ${error.message}`;
  if (process.env.CI === 'true') {
    console.error(message);
    process.exit(1);
  }
  console.log(`skipped: ${message}`);
  process.exit(SKIP);
}

const home = makeHome('velto-mcp-');
let agent;
let client;

// The log's records, oldest first.
function logRecords() {
  const file = join(home.data, 'commands.jsonl');
  return existsSync(file) ? readFileSync(file, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l)) : [];
}

// Lines to `velto mcp` and its answers, without a client library in between.
async function raw(messages, seconds = 20) {
  const child = spawn(velto, ['mcp', '--platform', 'sim'], { env: home.environment, stdio: ['pipe', 'pipe', 'pipe'] });
  let out = '';
  child.stdout.setEncoding('utf8').on('data', (c) => (out += c));
  const ended = new Promise((resolve) => child.once('exit', (code) => resolve(code)));
  child.stdin.end(messages.map((m) => (typeof m === 'string' ? m : JSON.stringify(m)) + '\n').join(''));
  const timer = setTimeout(() => process.kill(child.pid, 'SIGKILL'), seconds * 1000);
  const code = await ended;
  clearTimeout(timer);
  return { code, answers: out.split('\n').filter(Boolean).map((l) => JSON.parse(l)) };
}

const meta = { 'io.modelcontextprotocol/protocolVersion': '2026-07-28', 'io.modelcontextprotocol/clientCapabilities': {} };

try {
  agent = await startAgent(velto, home.environment);
  client = new Client({ name: 'velto-mcp-test', version: '1.0.0' });
  await client.connect(new StdioClientTransport({ command: velto, args: ['mcp', '--platform', 'sim'], env: home.environment, stderr: 'pipe' }));
  assert.equal(client.getServerVersion().name, 'velto');

  // ---- Every schema compiles under the draft the protocol defaults to ------------------------
  const { tools } = await client.listTools();
  // Strict about keywords and formats it does not know; "required" inside an anyOf branch names
  // properties declared beside it, which strictRequired and strictTypes would flag.
  const ajv = new Ajv2020({ strict: true, strictRequired: false, strictTypes: false, allErrors: true });
  addFormats(ajv);
  for (const tool of tools) {
    assert.equal(tool.inputSchema.type, 'object', tool.name);
    assert.equal(tool.outputSchema.type, 'object', tool.name);
    ajv.compile(tool.inputSchema);
    ajv.compile(tool.outputSchema);
    assert.ok(tool.description.length > 40, `${tool.name} says what it does`);
  }
  const names = tools.map((t) => t.name);
  for (const name of ['get_state', 'set_volume', 'desktop_observe', 'desktop_act', 'desktop_stop']) {
    assert.ok(names.includes(name), `${name} is listed`);
  }
  assert.match(tools.find((t) => t.name === 'desktop_act').description, /consent/);
  // Arguments the input schema refuses are refused by it, as an assistant's client would check.
  assert.equal(ajv.compile(tools.find((t) => t.name === 'set_volume').inputSchema)({ level: 101 }), false);

  // ---- get_state, set_volume and a refused action -------------------------------------------
  const state = await client.callTool({ name: 'get_state', arguments: {} });
  assert.equal(state.isError, false);
  assert.equal(state.structuredContent.screen_locked, false);
  assert.deepEqual(JSON.parse(state.content[0].text), state.structuredContent);

  const volume = await client.callTool({ name: 'set_volume', arguments: { level: 30 } });
  assert.equal(volume.isError, false, JSON.stringify(volume));
  const after = await client.callTool({ name: 'get_state', arguments: {} });
  assert.equal(after.structuredContent.audio.volume, 30);

  // Desktop control is the person's decision in Velto: without it, a tool error with the code.
  const refused = await client.callTool({ name: 'desktop_observe', arguments: { include_image: true } });
  assert.equal(refused.isError, true);
  assert.match(refused.content[0].text, /^desktop_permission_required: /);
  const invalid = await client.callTool({ name: 'set_volume', arguments: { level: 'loud' } });
  assert.equal(invalid.isError, true);
  assert.match(invalid.content[0].text, /^invalid_params: /);

  // ---- Resources -----------------------------------------------------------------------------
  const { resources } = await client.listResources();
  assert.deepEqual(resources.map((r) => r.uri).sort(), ['velto://device/activity', 'velto://device/state']);
  const activity = JSON.parse((await client.readResource({ uri: 'velto://device/activity' })).contents[0].text);
  assert.equal(activity.records[0].action, 'set_volume');
  assert.equal(activity.records[0].outcome, 'invalid_params');
  assert.equal(activity.records[0].params, undefined, 'parameters stay in the private log');
  const current = JSON.parse((await client.readResource({ uri: 'velto://device/state' })).contents[0].text);
  assert.equal(current.audio.volume, 30);

  // ---- Each call is in the agent's private log -----------------------------------------------
  const records = logRecords();
  const ended = (action, outcome, params) =>
    records.some((r) => r.action === action && r.outcome === outcome && (!params || JSON.stringify(r.params) === JSON.stringify(params)));
  assert.ok(ended('get_state', 'succeeded'), 'get_state logged');
  assert.ok(ended('set_volume', 'succeeded', { level: 30 }), 'set_volume logged');
  assert.ok(ended('desktop_observe', 'desktop_permission_required'), 'the refusal logged');

  await client.close();
  client = undefined;

  // ---- The stateless revision through the real program; the input closing ends it ----------
  const stateless = await raw([
    { jsonrpc: '2.0', id: 1, method: 'server/discover', params: { _meta: meta } },
    { jsonrpc: '2.0', id: 2, method: 'tools/call', params: { name: 'get_state', arguments: {}, _meta: meta } },
    { jsonrpc: '2.0', id: 3, method: 'tools/list', params: { _meta: { ...meta, 'io.modelcontextprotocol/protocolVersion': '2031-01-01' } } },
    '{"jsonrpc":"2.0","id":4,"method":"tools/list"',
    { jsonrpc: '2.0', id: 5, method: 'tools/list', params: { cursor: 'x'.repeat(2 * 1024 * 1024), _meta: meta } },
    { jsonrpc: '2.0', id: 6, method: 'subscriptions/listen', params: { notifications: { toolsListChanged: true }, _meta: meta } },
  ]);
  assert.equal(stateless.code, 0);
  const byId = (id) => stateless.answers.find((a) => a.id === id && !a.method);
  assert.ok(byId(1).result.supportedVersions.includes('2026-07-28'));
  assert.equal(byId(1).result.resultType, 'complete');
  assert.equal(byId(2).result.resultType, 'complete');
  assert.equal(byId(2).result.structuredContent.audio.volume, 30);
  assert.equal(byId(3).error.code, -32022);
  // The subscription is acknowledged (with nothing offered) and closed when the input ends.
  const acknowledged = stateless.answers.find((a) => a.method === 'notifications/subscriptions/acknowledged');
  assert.equal(acknowledged.params._meta['io.modelcontextprotocol/subscriptionId'], 6);
  assert.equal(byId(6).result._meta['io.modelcontextprotocol/subscriptionId'], 6);
  const nullIds = stateless.answers.filter((a) => a.id === null).map((a) => a.error.code).sort();
  assert.deepEqual(nullIds, [-32700, -32600].sort(), 'the unreadable and the oversized line');

  // ---- The agent gone: a tool error within a bounded time, not a hang ------------------------
  await stop(agent);
  const started = Date.now();
  const gone = await raw([
    { jsonrpc: '2.0', id: 1, method: 'initialize', params: { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 't', version: '1' } } },
    { jsonrpc: '2.0', id: 2, method: 'tools/call', params: { name: 'get_state', arguments: {} } },
  ]);
  const tookMs = Date.now() - started;
  const call = gone.answers.find((a) => a.id === 2).result;
  assert.equal(call.isError, true);
  assert.match(call.content[0].text, /^agent_not_running: /);
  assert.ok(tookMs < 15000, `answered in ${tookMs} ms`);
  console.log(`passed: ${tools.length} tools; with the agent gone, answered in ${tookMs} ms`);
} catch (error) {
  console.error(error.stack || String(error));
  process.exitCode = 1;
} finally {
  if (client) await client.close().catch(() => {});
  await stop(agent);
  home.remove();
}
