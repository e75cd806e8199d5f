// What an assistant waits for a tool: the round trip of a tools/call get_state through `velto mcp`
// (one long-running process, as a desktop assistant keeps it) beside the same command sent
// straight to the loopback API (one HTTP request, as a script holding the port and token sends
// it) and through `velto call` (a process per command), in the same run against one headless agent
// on the simulated Mac, rounds interleaved so that all three share the machine's conditions.
//
//   node bench/mcp_latency.mjs build/release/velto [rounds]
//
// Prints p50 and p95 of each in milliseconds. Needs no npm package.
//
// Measured on the 2-core build machine with the release build while other builds ran (load
// about 10), 300 rounds, twice: through `velto mcp` p50 24-26 ms, p95 40-46 ms; straight to the
// loopback API p50 24-26 ms, p95 40-44 ms; `velto call` p50 63-71 ms, p95 99-111 ms. The agent's
// own work (the private log's durable writes) dominates; `velto mcp` adds less than the noise.
import { spawn, execFileSync } from 'node:child_process';
import { request } from 'node:http';
import { makeHome, startAgent, stop } from '../tests/mcp/agent.mjs';

const [velto, roundsText] = process.argv.slice(2);
const rounds = Number(roundsText || 200);
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

let agent;
let mcp;
try {
  agent = await startAgent(velto, home.environment);
  const { port, token } = JSON.parse(execFileSync(velto, ['local-api', '--json', '--platform', 'sim'], { env: home.environment }));
  mcp = mcpProcess();
  await mcp.send('initialize', { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'bench', version: '1' } });
  const times = { mcp: [], loopback: [], call: [] };
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
  if (mcp) mcp.child.stdin.end();
  await stop(agent);
  home.remove();
}
