// The page an assistant sends a person to: it names the assistant and where the person goes
// afterwards, and lets them pick the one Mac it may operate, or say no.
import { api, csrfToken, errorOf, unreachable } from './api.js';
import { el, feedback, show } from './dom.js';

// The assistant's request as it came; the relay checks it again on every call.
const request = location.search.slice(1);

async function send(method, path, body) {
  let reply;
  try {
    reply = await fetch(path, {
      method,
      headers: method === 'GET' ? {} : { 'Content-Type': 'application/json', 'X-CSRF-Token': csrfToken() },
      body: body === undefined ? undefined : JSON.stringify(body),
      credentials: 'same-origin',
      cache: 'no-store',
    });
  } catch {
    throw unreachable();
  }
  if (!reply.ok) throw await errorOf(reply);
  return reply.json();
}

function failed(error) {
  show(el('section', { class: 'card narrow' },
    el('h1', {}, 'This request can’t go on'),
    el('p', {}, error.message),
    el('p', { class: 'hint' }, 'Go back to the assistant and connect it again.')));
}

function signIn() {
  const say = feedback();
  const name = el('input', { id: 'name', autocomplete: 'username', required: true });
  const password = el('input', { id: 'password', type: 'password', autocomplete: 'current-password', required: true });
  const go = el('button', { type: 'submit' }, 'Sign in');
  show(el('section', { class: 'card narrow' },
    el('h1', {}, 'Sign in to Velto'),
    el('p', { class: 'hint' }, 'An assistant asks to use one of your Macs. Sign in to decide.'),
    el('form', {
      onsubmit: async (event) => {
        event.preventDefault();
        go.disabled = true;
        try {
          await api.signIn(name.value, password.value);
          start();
        } catch (error) {
          say.say('failed', error.message);
          go.disabled = false;
        }
      },
    },
    el('label', { for: 'name' }, 'Name', name),
    el('label', { for: 'password' }, 'Password', password),
    go, say)));
}

function consent(details) {
  const say = feedback();
  const who = details.client_name;
  const choices = details.devices.map((device, index) =>
    el('label', { class: 'choice' },
      el('input', { type: 'radio', name: 'device', value: device.device_id, checked: index === 0 }),
      device.name || 'A Mac'));
  const allow = el('button', { type: 'submit', disabled: choices.length === 0 }, 'Allow');
  const deny = el('button', { type: 'button', class: 'secondary' }, 'Don’t allow');
  const decide = async (approve) => {
    allow.disabled = true;
    deny.disabled = true;
    say.say('pending', approve ? 'Allowing…' : 'Saying no…');
    const picked = document.querySelector('input[name=device]:checked');
    try {
      const { redirect_to: next } = await send('POST', '/oauth/authorize', {
        query: request,
        approve,
        device_id: picked ? picked.value : undefined,
      });
      say.say('ok', `Going back to ${details.redirect_host}…`);
      location.assign(next);
    } catch (error) {
      say.say('failed', error.message);
      allow.disabled = choices.length === 0;
      deny.disabled = false;
    }
  };
  deny.addEventListener('click', () => decide(false));
  show(el('section', { class: 'card narrow', 'aria-labelledby': 'consent-title' },
    el('h1', { id: 'consent-title' }, `Allow ${who} to use a Mac?`),
    el('p', {}, `${who} is an AI assistant. If you allow it, it can send commands to the Mac you pick, `
      + 'as you can from this dashboard. Controlling the desktop still needs your consent on that Mac.'),
    el('p', { class: 'hint' }, `Afterwards you go back to ${details.redirect_host}. `
      + 'You can disconnect it any time under Account.'),
    el('form', {
      onsubmit: (event) => {
        event.preventDefault();
        decide(true);
      },
    },
    choices.length
      ? el('fieldset', { class: 'choices' }, el('legend', {}, 'Which Mac may it use?'), choices)
      : el('p', { class: 'empty' }, 'There is no Mac in this account yet. Add one first, then connect the assistant again.'),
    el('div', { class: 'row' }, allow, deny),
    say),
    el('p', { class: 'hint' }, `Signed in as ${details.signed_in_as}`)));
}

async function start() {
  try {
    await api.account();
  } catch (error) {
    if (error.code === 'unauthorized') {
      signIn();
      return;
    }
    failed(error);
    return;
  }
  try {
    consent(await send('GET', `/v1/assistants/consent?${request}`));
  } catch (error) {
    failed(error);
  }
}

start();
