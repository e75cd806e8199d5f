// A headless agent on the simulated Mac in a temporary home of its own, for the MCP test and the
// MCP benchmark: started with its data and settings apart, stopped by its process id.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export function makeHome(prefix) {
  const home = mkdtempSync(join(tmpdir(), prefix));
  return {
    home,
    data: join(home, 'data', 'Corvane'),
    environment: { ...process.env, XDG_DATA_HOME: join(home, 'data'), XDG_CONFIG_HOME: join(home, 'config') },
    remove: () => rmSync(home, { recursive: true, force: true }),
  };
}

// Starts `velto --headless --platform sim` and resolves once its loopback API listens.
export function startAgent(velto, environment, seconds = 60) {
  const child = spawn(velto, ['--headless', '--platform', 'sim'], { env: environment, stdio: ['ignore', 'ignore', 'pipe'] });
  let seen = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`the agent did not listen within ${seconds} s:\n${seen}`)), seconds * 1000);
    child.stderr.setEncoding('utf8').on('data', (chunk) => {
      seen += chunk;
      if (/^listening: 127\.0\.0\.1:\d+$/m.test(seen)) {
        clearTimeout(timer);
        resolve(child);
      }
    });
    child.once('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`the agent ended (${code}):\n${seen}`));
    });
  });
}

// SIGTERM to the child's own id, then its end.
export async function stop(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const ended = new Promise((resolve) => child.once('exit', resolve));
  process.kill(child.pid, 'SIGTERM');
  await ended;
}
