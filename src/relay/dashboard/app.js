// The dashboard: sign in, approve a computer, see the devices and operate one.
import { api, ApiError } from './api.js';
import { el, show, when } from './dom.js';
import { devicePage } from './device.js';

const fragment = new URLSearchParams(location.hash.slice(1));
// A code from a link is never approved, nor even typed in, without the person asking to see
// which computer it belongs to: anyone can send such a link.
let linkCode = fragment.get('pair') || '';

function form(title, fields, submitLabel, action) {
  const message = el('p', { class: 'message', role: 'status' });
  const inputs = fields.map((f) => el('input', { ...f, required: true }));
  const node = el(
    'form',
    {
      class: 'card',
      onsubmit: async (event) => {
        event.preventDefault();
        message.textContent = '';
        try {
          await action(...inputs.map((i) => i.value));
        } catch (error) {
          message.textContent = error instanceof ApiError ? error.message : String(error);
        }
      },
    },
    el('h1', {}, title),
    inputs.map((input, i) => el('label', {}, fields[i]['aria-label'], input)),
    el('button', { type: 'submit' }, submitLabel),
    message,
  );
  return node;
}

function setupPage(token) {
  show(
    form(
      'Create the owner account',
      [
        { name: 'name', 'aria-label': 'Name', autocomplete: 'username' },
        { name: 'password', type: 'password', minlength: 10, 'aria-label': 'Password (10 characters or more)', autocomplete: 'new-password' },
      ],
      'Create account',
      async (name, password) => {
        await api.setUp(token, name, password);
        // The link is spent: without this, home() would draw the set-up form again.
        fragment.delete('setup');
        history.replaceState(null, '', '/');
        home();
      },
    ),
  );
}

function signInPage() {
  show(
    form(
      'Sign in to Velto',
      [
        { name: 'name', 'aria-label': 'Name', autocomplete: 'username' },
        { name: 'password', type: 'password', 'aria-label': 'Password', autocomplete: 'current-password' },
      ],
      'Sign in',
      async (name, password) => {
        await api.signIn(name, password);
        home();
      },
    ),
  );
}

function approveCard(refresh) {
  const card = el('section', { class: 'card' });
  const message = el('p', { class: 'message', role: 'status' });

  const entry = () => {
    const input = el('input', { 'aria-label': 'Pairing code', placeholder: 'ABCD-EFGH', autocomplete: 'off' });
    card.replaceChildren(
      el('h2', {}, 'Add a Mac'),
      linkCode
        ? el('div', { class: 'notice' },
            el('p', {}, 'A link asks you to approve a Mac. Go on only if you are connecting your own Mac right now.'),
            el('button', { type: 'button', class: 'quiet', onclick: () => look(linkCode) }, 'Show the Mac from the link'))
        : null,
      el('form', { onsubmit: (event) => { event.preventDefault(); look(input.value); } },
        el('label', {}, 'Code shown by Velto on the Mac', input),
        el('button', { type: 'submit' }, 'Continue')),
      message,
    );
  };

  const look = async (code) => {
    message.textContent = '';
    try {
      confirmation(await api.lookUp(code));
    } catch (error) {
      message.textContent = error.message;
    }
  };

  const forgetLink = () => {
    linkCode = '';
    history.replaceState(null, '', '/');
  };

  const confirmation = (pairing) => {
    card.replaceChildren(
      el('h2', {}, 'Approve this Mac?'),
      el('dl', { class: 'state pairing' },
        el('dt', {}, 'Name'), el('dd', {}, pairing.device_name),
        el('dt', {}, 'Model'), el('dd', {}, `Mac with Velto ${pairing.agent_version}`),
        el('dt', {}, 'Asked'), el('dd', {}, when(pairing.requested_at)),
        el('dt', {}, 'Code'), el('dd', {}, pairing.code)),
      el('p', {}, 'Approve only if this is your Mac and it shows this code now.'),
      el('button', {
        type: 'button',
        onclick: async () => {
          try {
            await api.approve(pairing.code);
            forgetLink();
            entry();
            message.textContent = 'Approved. The Mac connects in a moment.';
            setTimeout(refresh, 1500);
          } catch (error) {
            message.textContent = error.message;
          }
        },
      }, 'Approve'),
      el('button', { type: 'button', class: 'quiet', onclick: () => { forgetLink(); entry(); } }, 'Not this Mac'),
      message,
    );
  };

  entry();
  return card;
}

async function devicesPage() {
  const list = el('ul', { class: 'devices' });
  const refresh = async () => {
    const devices = await api.devices();
    list.replaceChildren(
      ...(devices.length === 0
        ? [el('li', { class: 'empty' }, 'No Mac yet. Click Connect in Velto on the Mac.')]
        : devices.map((d) =>
            el(
              'li',
              {},
              el(
                'button',
                { class: 'device', onclick: () => devicePage(d.device_id, devicesPage) },
                el('span', { class: d.online ? 'dot online' : 'dot' }, d.online ? 'Online' : 'Offline'),
                el('strong', {}, d.name),
                el('small', {}, d.capabilities ? `Screen ${d.capabilities.screen_state}` : ''),
              ),
            ),
          )),
    );
  };
  show(
    el('header', {}, el('h1', {}, 'Your Macs'),
      el('button', { class: 'quiet', onclick: async () => { await api.signOut(); signInPage(); } }, 'Sign out')),
    approveCard(refresh),
    el('section', { class: 'card' }, list),
  );
  await refresh();
}

async function home() {
  const token = fragment.get('setup');
  if (token) {
    setupPage(token);
    return;
  }
  try {
    await api.account();
  } catch {
    signInPage();
    return;
  }
  await devicesPage();
}

home();
