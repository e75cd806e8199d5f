// The relay's live events for this account: read from one long response, handed to whichever
// page listens, and started again after a cut. While it is down the page says so, since what it
// shows may be out of date.
import { csrfToken, errorOf } from './api.js';

// The relay sends a keep-alive every 15 s: this much silence means the connection is gone.
const silenceLimit = 40_000;
const listeners = new Set();
let statusListener = () => {};
let controller = null;
let running = false;
// Each start has its own number, so a loop left sleeping from before a sign-out never runs on.
let generation = 0;

export function onLiveStatus(listener) {
  statusListener = listener;
}

// Calls `listener(type, data)` for each event until the returned function is called.
export function listen(listener) {
  listeners.add(listener);
  return () => listeners.delete(listener);
}

function dispatch(type, data) {
  for (const listener of [...listeners]) {
    try {
      listener(type, data);
    } catch (error) {
      console.error(error);
    }
  }
}

// One event block: "event: TYPE" and "data: JSON" lines; comments (":") are keep-alives.
export function parseBlock(block) {
  let type = 'message';
  const data = [];
  for (const line of block.split('\n')) {
    if (line.startsWith('event:')) type = line.slice(6).trim();
    else if (line.startsWith('data:')) data.push(line.slice(5).trimStart());
  }
  if (data.length === 0) return null;
  try {
    return { type, data: JSON.parse(data.join('\n')) };
  } catch {
    return null;
  }
}

async function readOnce(signal, kick) {
  const reply = await fetch('/v1/events', {
    headers: { 'X-CSRF-Token': csrfToken(), Accept: 'text/event-stream' },
    credentials: 'same-origin',
    cache: 'no-store',
    signal,
  });
  if (!reply.ok) {
    throw await errorOf(reply);
  }
  const reader = reply.body.pipeThrough(new TextDecoderStream()).getReader();
  let buffer = '';
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    kick();
    buffer += value;
    for (let end = buffer.indexOf('\n\n'); end >= 0; end = buffer.indexOf('\n\n')) {
      const event = parseBlock(buffer.slice(0, end));
      buffer = buffer.slice(end + 2);
      if (event && event.type === 'ready') statusListener('live');
      if (event) dispatch(event.type, event.data);
    }
  }
}

export async function startLive(onSignedOut) {
  if (running) return;
  running = true;
  generation += 1;
  const mine = generation;
  const current = () => running && generation === mine;
  statusListener('connecting');
  for (let delay = 1000; current(); delay = Math.min(delay * 2, 30_000)) {
    controller = new AbortController();
    const connection = controller;
    let watchdog = 0;
    const kick = () => {
      clearTimeout(watchdog);
      watchdog = setTimeout(() => connection.abort(), silenceLimit);
    };
    let reason = null;
    kick();
    try {
      await readOnce(connection.signal, () => {
        kick();
        delay = 1000;
      });
    } catch (error) {
      reason = error;
    } finally {
      clearTimeout(watchdog);
    }
    if (!current()) return;
    if (reason && reason.code === 'unauthorized') {
      running = false;
      onSignedOut(reason);
      return;
    }
    if (reason && reason.code === 'too_many_streams') {
      delay = 30_000;
    }
    statusListener('stale', reason && reason.code ? reason.message : '');
    await new Promise((resolve) => setTimeout(resolve, delay * (0.75 + Math.random() / 2)));
  }
}

export function stopLive() {
  running = false;
  if (controller) controller.abort();
}
