// What an assistant waits for a tool: the round trip of a tools/call get_state through `velto mcp`
// (one long-running process, as a desktop assistant keeps it) beside the same command sent
// straight to the loopback API (one HTTP request, as a script holding the port and token sends
// it) and through `velto call` (a process per command); and, through the relay, a tools/call
// get_state at its /mcp (a session of the handshake revision, with an OAuth token) beside the same
// command through the dashboard's command API (the POST, then its end on the live event stream,
// as the page waits for it). One run against one agent on the simulated Mac, paired to a relay on
// this machine, rounds interleaved so that all share the machine's conditions.
//
//   node bench/mcp_latency.mjs build/release/velto [rounds] [velto-relay]
//
// The relay program defaults to velto-relay beside velto. Prints p50 and p95 of each in
// milliseconds. Needs no npm package.
//
// Measured on the 2-core build machine, release build, 150 rounds, all paths in one run (load
// about 3): through `velto mcp` p50 2.2 ms, p95 5.8 ms; straight to the loopback API p50 2.2 ms,
// p95 3.6 ms; `velto call` p50 26.6 ms, p95 33.4 ms; the relay's /mcp p50 5.4 ms, p95 11.4 ms;
// the dashboard's command API p50 4.5 ms, p95 10.5 ms. Before the agent's relay socket turned
// Nagle's algorithm off, both relay paths cost about 40 ms more (a dev build: 54 and 65 ms p50
// before, 27 and 21 ms after).
import { spawn, execFileSync } from 'node:child_process';
import { request } from 'node:http';
import { dirname, join } from 'node:path';
import { makeHome } from '../tests/mcp/agent.mjs';
import { authorise, startRelayAndAgent, stopAll } from '../tests/mcp/relay.mjs';

const [velto, roundsText, relayText] = process.argv.slice(2);
const rounds = Number(roundsText || 200);
const relayProgram = relayText || join(dirname(velto), 'velto-relay');
const home = makeHome('velto-mcp-latency-');

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.ceil((p / 100) * sorted.length) - 1)];
}

// `velto mcp` with a line reader: send(message) resolves with the answer carrying its id.
function mcpProcess() {
  const child = spawn(velto, ['mcp', '--platform', 'sim'], { env: home.environment, stdio: ['pipe', 'pipe', 'inherit'] });
  const waiting = new Map();
  let partial = '';
  child.stdout.setEncoding('utf8').on('data', (chunk) => {
    const lines = (partial + chunk).split('\n');
    partial = lines.pop();
    for (const line of lines) {
      const answer = JSON.parse(line);
      waiting.get(answer.id)?.(answer);
      waiting.delete(answer.id);
    }
  });
  let next = 1;
  return {
    child,
    send(method, params) {
      const id = next++;
      return new Promise((resolve) => {
        waiting.set(id, resolve);
        child.stdin.write(JSON.stringify({ jsonrpc: '2.0', id, method, params }) + '\n');
      });
    },
  };
}

function post(port, token, body) {
  return new Promise((resolve, reject) => {
    const req = request({ host: '127.0.0.1', port, path: '/v1/commands', method: 'POST', headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body), Authorization: `Bearer ${token}` } }, (res) => {
      let text = '';
      res.setEncoding('utf8').on('data', (c) => (text += c)).on('end', () => resolve({ status: res.statusCode, text }));
    });
    req.on('error', reject);
    req.end(body);
  });
}

// The relay's /mcp as a remote assistant uses it: a session, then one POST per message; an answer
// comes as JSON or as an event stream carrying it.
async function relayMcp(origin, token) {
  let session;
  let next = 1;
  const send = async (method, params, notification = false) => {
    const message = { jsonrpc: '2.0', method, params, ...(notification ? {} : { id: next++ }) };
    const reply = await fetch(`${origin}/mcp`, {
      method: 'POST',
      headers: { Authorization: `Bearer ${token}`, 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream', 'MCP-Protocol-Version': '2025-11-25', ...(session ? { 'Mcp-Session-Id': session } : {}) },
      body: JSON.stringify(message),
    });
    session = session || reply.headers.get('mcp-session-id');
    const text = await reply.text();
    if (notification) return null;
    const data = reply.headers.get('content-type').startsWith('text/event-stream') ? text.match(/^data: (.*)$/m)[1] : text;
    return JSON.parse(data);
  };
  await send('initialize', { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'bench', version: '1' } });
  await send('notifications/initialized', {}, true);
  return send;
}

// The dashboard's live events: resolves each finished command by id.
async function commandEnds(origin, call, cookie) {
  const { csrf } = await call('GET', '/v1/account');
  const reply = await fetch(`${origin}/v1/events`, { headers: { Cookie: cookie, 'X-CSRF-Token': csrf, Origin: origin } });
  const waiting = new Map();
  const reader = reply.body.pipeThrough(new TextDecoderStream()).getReader();
  (async () => {
    let partial = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) return;
      const blocks = (partial + value).split('\n\n');
      partial = blocks.pop();
      for (const block of blocks) {
        const data = block.match(/^event: command\ndata: (.*)$/m);
        const command = data && JSON.parse(data[1]);
        if (command?.state === 'finished') {
          waiting.get(command.command_id)?.(command);
          waiting.delete(command.command_id);
        }
      }
    }
  })().catch(() => {});
  return {
    reader,
    end: (id) => new Promise((resolve) => waiting.set(id, resolve)),
  };
}

let started;
let mcp;
let events;
try {
  started = await startRelayAndAgent(relayProgram, velto, home);
  const { origin, deviceId, call, cookie } = started;
  for (let waited = 0; !started.agent.lines.some((l) => /^listening: 127\.0\.0\.1:\d+$/.test(l)); waited += 50) {
    if (waited > 60_000) throw new Error('the agent did not listen on its loopback API');
    await new Promise((r) => setTimeout(r, 50));
  }
  const { port, token } = JSON.parse(execFileSync(velto, ['local-api', '--json', '--platform', 'sim'], { env: home.environment }));
  mcp = mcpProcess();
  await mcp.send('initialize', { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'bench', version: '1' } });
  const { tokens } = await authorise(started, 'Benchmark');
  const remote = await relayMcp(origin, tokens.access_token);
  events = await commandEnds(origin, call, cookie);
  const times = { mcp: [], loopback: [], call: [], relay_mcp: [], relay_api: [] };
  const callEvery = 5;
  for (let i = 0; i < rounds; ++i) {
    let start = performance.now();
    const answer = await mcp.send('tools/call', { name: 'get_state', arguments: {} });
    times.mcp.push(performance.now() - start);
    if (answer.result?.isError !== false) throw new Error(`velto mcp: ${JSON.stringify(answer)}`);

    start = performance.now();
    const reply = await post(port, token, '{"action":"get_state","params":{}}');
    times.loopback.push(performance.now() - start);
    if (reply.status !== 200) throw new Error(`loopback: ${reply.status} ${reply.text}`);

    start = performance.now();
    const remoteAnswer = await remote('tools/call', { name: 'get_state', arguments: {} });
    times.relay_mcp.push(performance.now() - start);
    if (remoteAnswer.result?.isError !== false) throw new Error(`relay /mcp: ${JSON.stringify(remoteAnswer)}`);

    start = performance.now();
    const { command_id: id } = await call('POST', `/v1/devices/${deviceId}/commands`, { action: 'get_state', params: {} });
    const ended = await events.end(id);
    times.relay_api.push(performance.now() - start);
    if (!ended.ok) throw new Error(`relay API: ${JSON.stringify(ended)}`);

    if (i % callEvery === 0) {
      start = performance.now();
      execFileSync(velto, ['call', '--json', '--platform', 'sim', 'get_state'], { env: home.environment });
      times.call.push(performance.now() - start);
    }
  }
  for (const [name, values] of Object.entries(times)) {
    console.log(`${name.padEnd(9)} n=${String(values.length).padStart(4)}  p50 ${percentile(values, 50).toFixed(1)} ms  p95 ${percentile(values, 95).toFixed(1)} ms`);
  }
} finally {
  if (events) await events.reader.cancel().catch(() => {});
  if (mcp) mcp.child.stdin.end();
  if (started) await stopAll(started.children);
  home.remove();
}
