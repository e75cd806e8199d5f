// The relay's JSON API as the dashboard uses it. The session cookie travels by itself; every
// state-changing call (and the event stream) carries the CSRF token the relay gave at sign-in.
let csrf = '';
let role = 'owner';

export class ApiError extends Error {
  constructor(code, message, status) {
    super(message || code);
    this.code = code;
    this.status = status;
  }
}

// The page's own sentences for what the relay cannot say: it was never reached.
export const unreachable = () =>
  new ApiError('relay_unreachable', 'Can’t reach the relay. Check this device’s internet connection, then try again.', 0);

// Called when the relay says the session is gone (set by the app).
let onSignedOut = () => {};
export function whenSignedOut(handler) {
  onSignedOut = handler;
}

export function csrfToken() {
  return csrf;
}

// "owner" or "member": members operate the Macs but cannot remove them or people.
export function currentRole() {
  return role;
}

export async function errorOf(reply) {
  let data = null;
  try {
    data = await reply.json();
  } catch {
    data = null;
  }
  const error = (data && data.error) || {};
  return new ApiError(error.code || 'relay_failed', error.message || 'The relay couldn’t finish this request. Try again in a moment.', reply.status);
}

async function call(method, path, body) {
  const headers = {};
  if (method !== 'GET') {
    headers['Content-Type'] = 'application/json';
    headers['X-CSRF-Token'] = csrf;
  }
  let reply;
  try {
    reply = await fetch(path, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      credentials: 'same-origin',
      cache: 'no-store',
    });
  } catch {
    throw unreachable();
  }
  if (!reply.ok) {
    const error = await errorOf(reply);
    if (error.code === 'unauthorized' && path !== '/v1/account') {
      onSignedOut(error);
    }
    throw error;
  }
  try {
    return await reply.json();
  } catch {
    throw unreachable();
  }
}

function remember(session) {
  csrf = session.csrf;
  role = session.role || 'owner';
  return session;
}

export const api = {
  account: async () => remember(await call('GET', '/v1/account')),
  setUp: async (token, name, password) =>
    remember(await call('POST', '/v1/account/setup', { token, name, password })),
  signIn: async (name, password) =>
    remember(await call('POST', '/v1/account/sign-in', { name, password })),
  join: async (token, name, password) =>
    remember(await call('POST', '/v1/account/join', { token, name, password })),
  signOut: () => call('POST', '/v1/account/sign-out', {}),
  people: async () => (await call('GET', '/v1/account/people')).people,
  invite: () => call('POST', '/v1/account/invite', {}),
  removePerson: (id) => call('POST', '/v1/account/people/remove', { id }),
  sessions: async () => (await call('GET', '/v1/account/sessions')).sessions,
  signOutOthers: () => call('POST', '/v1/account/sign-out-others', {}),
  changePassword: (current, password) => call('POST', '/v1/account/password', { current, password }),
  lookUp: (code) => call('POST', '/v1/pairings/lookup', { code }),
  approve: (code) => call('POST', '/v1/pairings/approve', { code }),
  devices: async () => (await call('GET', '/v1/devices')).devices,
  send: (device, action, params) =>
    call('POST', `/v1/devices/${device}/commands`, { action, params: params || {} }),
  command: (id) => call('GET', `/v1/commands/${id}`),
  audit: async (device) => (await call('GET', `/v1/devices/${device}/audit`)).audit,
  revoke: (device) => call('POST', `/v1/devices/${device}/revoke`, {}),
  rename: (device, name) => call('POST', `/v1/devices/${device}/rename`, { name }),
  assistants: async () => (await call('GET', '/v1/assistants')).assistants,
  disconnect: (id) => call('DELETE', `/v1/assistants/${id}`),
};

// Finished commands as the live stream told them, so that a result that arrives before the
// answer to its own request is not missed.
const finished = new Map();
const waiting = new Map();
const progress = new Map();

export function commandEvent(view) {
  if (view.state === 'delivered') {
    const told = progress.get(view.command_id);
    if (told) told(view.state);
    return;
  }
  if (view.state !== 'finished') return;
  const resolve = waiting.get(view.command_id);
  if (resolve) {
    waiting.delete(view.command_id);
    resolve(view);
    return;
  }
  finished.set(view.command_id, view);
  if (finished.size > 100) finished.delete(finished.keys().next().value);
}

// Sends a command and waits for its end: told by the live stream, or asked every few seconds
// (the relay gives up on a command within a minute). `onProgress("delivered")` is called once the
// computer has the command, when the stream says so.
export async function run(device, action, params, onProgress) {
  const { command_id: id } = await api.send(device, action, params);
  if (onProgress) progress.set(id, onProgress);
  if (finished.has(id)) {
    const view = finished.get(id);
    finished.delete(id);
    progress.delete(id);
    return view;
  }
  return new Promise((resolve, reject) => {
    let done = false;
    const finish = (view) => {
      if (done) return;
      done = true;
      waiting.delete(id);
      progress.delete(id);
      resolve(view);
    };
    waiting.set(id, finish);
    const poll = async (delay) => {
      await new Promise((r) => setTimeout(r, delay));
      if (done) return;
      try {
        const view = await api.command(id);
        if (view.state === 'finished') {
          finish(view);
          return;
        }
      } catch (error) {
        if (error.code !== 'relay_unreachable') {
          done = true;
          waiting.delete(id);
          progress.delete(id);
          reject(error);
          return;
        }
      }
      poll(Math.min(delay * 2, 4000));
    };
    poll(1000);
  });
}
