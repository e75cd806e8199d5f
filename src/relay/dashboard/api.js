// The relay's JSON API as the dashboard uses it. The session cookie travels by itself; every
// state-changing call carries the CSRF token the relay gave at sign-in.
let csrf = '';

export class ApiError extends Error {
  constructor(code, message, status) {
    super(message || code);
    this.code = code;
    this.status = status;
  }
}

async function call(method, path, body) {
  const headers = {};
  if (method !== 'GET') {
    headers['Content-Type'] = 'application/json';
    headers['X-CSRF-Token'] = csrf;
  }
  const reply = await fetch(path, {
    method,
    headers,
    body: body === undefined ? undefined : JSON.stringify(body),
    credentials: 'same-origin',
    cache: 'no-store',
  });
  let data = null;
  try {
    data = await reply.json();
  } catch {
    data = null;
  }
  if (!reply.ok) {
    const error = (data && data.error) || {};
    throw new ApiError(error.code || 'relay_request_failed', error.message, reply.status);
  }
  return data;
}

function remember(session) {
  csrf = session.csrf;
  return session;
}

export const api = {
  account: async () => remember(await call('GET', '/v1/account')),
  setUp: async (token, name, password) =>
    remember(await call('POST', '/v1/account/setup', { token, name, password })),
  signIn: async (name, password) =>
    remember(await call('POST', '/v1/account/sign-in', { name, password })),
  signOut: () => call('POST', '/v1/account/sign-out', {}),
  lookUp: (code) => call('POST', '/v1/pairings/lookup', { code }),
  approve: (code) => call('POST', '/v1/pairings/approve', { code }),
  devices: async () => (await call('GET', '/v1/devices')).devices,
  send: (device, action, params) =>
    call('POST', `/v1/devices/${device}/commands`, { action, params: params || {} }),
  command: (id) => call('GET', `/v1/commands/${id}`),
  audit: async (device) => (await call('GET', `/v1/devices/${device}/audit`)).audit,
  revoke: (device) => call('POST', `/v1/devices/${device}/revoke`, {}),
};

// Sends a command and waits for its end (the relay gives up on it within a minute).
export async function run(device, action, params) {
  const { command_id: id } = await api.send(device, action, params);
  for (let delay = 50; ; delay = Math.min(delay * 1.5, 500)) {
    const view = await api.command(id);
    if (view.state === 'finished') {
      return view;
    }
    await new Promise((resolve) => setTimeout(resolve, delay));
  }
}
