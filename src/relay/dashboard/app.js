// The dashboard: sign in, approve a computer, see the devices and operate one. Each view has its
// own address (/, /devices/ID, /account), so Back, reload and shared links land where expected.
import { api, ApiError, commandEvent, whenSignedOut } from './api.js';
import { el, show } from './dom.js';
import { listen, onLiveStatus, startLive, stopLive } from './live.js';
import { deviceStatus, when } from './text.js';
import { go, link, setRoute } from './nav.js';
import { devicePage } from './device.js';
import { accountPage } from './account.js';

const fragment = new URLSearchParams(location.hash.slice(1));
// A code from a link is never approved, nor even typed in, without the person asking to see
// which computer it belongs to: anyone can send such a link.
let linkCode = fragment.get('pair') || '';
let leavePage = () => {};
let signInNotice = '';

// The banner that says the page is not live (after a short grace, so a quick reconnect is quiet).
let staleTimer = 0;
onLiveStatus((status, reason) => {
  const banner = document.getElementById('connection');
  clearTimeout(staleTimer);
  if (status === 'live') {
    banner.textContent = '';
    banner.className = 'connection';
    document.body.classList.remove('stale');
    return;
  }
  if (status === 'stale') {
    staleTimer = setTimeout(() => {
      banner.textContent = `Not live: what you see may be out of date. ${reason || 'Reconnecting…'}`;
      banner.className = 'connection shown';
      document.body.classList.add('stale');
    }, 1000);
  }
});
listen((type, data) => {
  if (type === 'command') commandEvent(data);
});

function signedOut() {
  stopLive();
  signInNotice = 'You were signed out. Sign in again to go on.';
  go('/', true);
}
whenSignedOut(signedOut);

function form(title, fields, submitLabel, action, notice, intro) {
  const message = el('p', { class: 'message failed', role: 'alert' }, notice || '');
  const inputs = fields.map((f) => el('input', { ...f, id: `field-${f.name}`, required: true }));
  const submit = el('button', { type: 'submit' }, submitLabel);
  return el(
    'form',
    {
      class: 'card narrow',
      onsubmit: async (event) => {
        event.preventDefault();
        message.textContent = '';
        submit.disabled = true;
        try {
          await action(...inputs.map((i) => i.value));
        } catch (error) {
          message.textContent = error instanceof ApiError ? error.message : String(error);
        } finally {
          submit.disabled = false;
        }
      },
    },
    el('h1', {}, title),
    intro ? el('p', {}, intro) : null,
    inputs.map((input, i) => el('label', { for: input.id }, fields[i].label, input)),
    submit,
    message,
  );
}

function setupPage(token) {
  show(
    form(
      'Create the owner account',
      [
        { name: 'name', label: 'Name', autocomplete: 'username' },
        { name: 'password', type: 'password', minlength: 10, label: 'Password (10 characters or more)', autocomplete: 'new-password' },
      ],
      'Create account',
      async (name, password) => {
        try {
          await api.setUp(token, name, password);
        } catch (error) {
          if (error.code === 'setup_not_available') {
            // The link is spent: the sign-in form, with the reason.
            fragment.delete('setup');
            signInNotice = error.message;
            go('/', true);
            return;
          }
          throw error;
        }
        fragment.delete('setup');
        go('/', true);
      },
    ),
  );
}

function joinPage(token) {
  show(
    form(
      'Join a Velto account',
      [
        { name: 'name', label: 'Your name', autocomplete: 'username' },
        { name: 'password', type: 'password', minlength: 10, label: 'Password (10 characters or more)', autocomplete: 'new-password' },
      ],
      'Join',
      async (name, password) => {
        try {
          await api.join(token, name, password);
        } catch (error) {
          if (error.code === 'invite_not_available') {
            fragment.delete('invite');
            signInNotice = error.message;
            go('/', true);
            return;
          }
          throw error;
        }
        fragment.delete('invite');
        go('/', true);
      },
      '',
      'Someone invited you to use their Macs from here. Choose your name and password.',
    ),
  );
}

function signInPage() {
  const notice = signInNotice;
  signInNotice = '';
  show(
    form(
      'Sign in to Velto',
      [
        { name: 'name', label: 'Name', autocomplete: 'username' },
        { name: 'password', type: 'password', label: 'Password', autocomplete: 'current-password' },
      ],
      'Sign in',
      async (name, password) => {
        await api.signIn(name, password);
        route();
      },
      notice,
    ),
  );
}

function approveCard() {
  const card = el('section', { class: 'card', 'aria-labelledby': 'add-title' });
  const message = el('p', { class: 'message', role: 'status', 'aria-live': 'polite' });
  const say = (tone, text) => {
    message.className = `message ${tone}`;
    message.textContent = text;
  };

  const entry = () => {
    const input = el('input', { id: 'pairing-code', placeholder: 'ABCD-EFGH', autocomplete: 'off', autocapitalize: 'characters', spellcheck: 'false' });
    card.replaceChildren(...[
      el('h2', { id: 'add-title' }, 'Add a Mac'),
      linkCode
        ? el('div', { class: 'notice' },
            el('p', {}, 'A link asks you to approve a Mac. Go on only if you are connecting your own Mac right now.'),
            el('button', { type: 'button', class: 'secondary', onclick: () => look(linkCode) }, 'Show the Mac from the link'))
        : null,
      el('form', {
        onsubmit: (event) => {
          event.preventDefault();
          if (!input.value.trim()) {
            say('failed', 'Enter the code Velto shows on the Mac.');
            input.focus();
            return;
          }
          look(input.value.trim());
        },
      },
      el('label', { for: 'pairing-code' }, 'Pairing code', el('span', { class: 'hint' }, 'Shown by Velto on the Mac'), input),
      el('button', { type: 'submit' }, 'Continue')),
      message,
    ].filter(Boolean));
  };

  const look = async (code) => {
    say('', '');
    try {
      confirmation(await api.lookUp(code));
    } catch (error) {
      say('failed', error.message);
    }
  };

  const forgetLink = () => {
    linkCode = '';
    history.replaceState(null, '', '/');
  };

  const confirmation = (pairing) => {
    const approve = el('button', {
      type: 'button',
      onclick: async () => {
        approve.disabled = true;
        try {
          await api.approve(pairing.code);
          forgetLink();
          entry();
          say('ok', 'Approved. The Mac connects in a moment.');
        } catch (error) {
          approve.disabled = false;
          say('failed', error.message);
        }
      },
    }, 'Approve');
    card.replaceChildren(
      el('h2', { id: 'add-title' }, 'Approve this Mac?'),
      el('dl', { class: 'state pairing' },
        el('dt', {}, 'Name'), el('dd', {}, pairing.device_name),
        el('dt', {}, 'Model'), el('dd', {}, `Mac with Velto ${pairing.agent_version}`),
        el('dt', {}, 'Asked'), el('dd', {}, when(pairing.requested_at)),
        el('dt', {}, 'Code'), el('dd', {}, pairing.code)),
      el('p', {}, 'Approve only if this is your Mac and it shows this code now.'),
      el('div', { class: 'row' },
        approve,
        el('button', { type: 'button', class: 'secondary', onclick: () => { forgetLink(); entry(); } }, 'Not this Mac')),
      message,
    );
  };

  entry();
  return card;
}

async function devicesPage() {
  const list = el('ul', { class: 'devices', 'aria-label': 'Your Macs' });
  let devices = [];
  const draw = () => {
    list.replaceChildren(
      ...(devices.length === 0
        ? [el('li', { class: 'empty' }, 'No Mac yet. Click Connect in Velto on the Mac, then enter its code above.')]
        : devices.map((d) =>
            el('li', {},
              link(`/devices/${d.device_id}`, { class: 'device' },
                el('span', { class: d.online ? 'dot online' : 'dot', 'aria-hidden': 'true' }),
                el('span', { class: 'what' },
                  el('strong', {}, d.name),
                  el('small', {}, [
                    d.reported_name && d.reported_name !== d.name ? `Calls itself “${d.reported_name}”` : null,
                    d.os_version ? `macOS ${d.os_version.replace(/^Version /, '')}` : null,
                    `paired ${new Date(d.paired_at).toLocaleDateString()}`,
                  ].filter(Boolean).join(' · '))),
                el('span', { class: 'status' }, deviceStatus(d)),
                el('span', { class: 'chevron', 'aria-hidden': 'true' }, '›'))))),
    );
  };
  const refresh = async () => {
    devices = await api.devices();
    draw();
  };
  const stop = listen((type, data) => {
    if (type === 'ready' || type === 'devices') refresh().catch(() => {});
    if (type === 'device') {
      const known = devices.find((d) => d.device_id === data.device_id);
      if (known) {
        Object.assign(known, { ...data, name: known.name });
        draw();
      } else {
        refresh().catch(() => {});
      }
    }
  });
  const ticker = setInterval(draw, 30_000);
  leavePage = () => {
    stop();
    clearInterval(ticker);
  };
  show(
    el('header', {},
      el('h1', {}, 'Your Macs'),
      el('nav', { 'aria-label': 'Account' }, link('/account', { class: 'quiet' }, 'Account'))),
    el('section', { class: 'card', 'aria-label': 'Devices' }, list),
    approveCard(),
  );
  await refresh();
}

async function route() {
  leavePage();
  leavePage = () => {};
  const token = fragment.get('setup');
  if (token) {
    setupPage(token);
    return;
  }
  const invitation = fragment.get('invite');
  if (invitation) {
    joinPage(invitation);
    return;
  }
  try {
    await api.account();
  } catch (error) {
    stopLive();
    if (error.code === 'relay_unreachable') signInNotice = error.message;
    signInPage();
    return;
  }
  startLive(signedOut);
  const device = location.pathname.match(/^\/devices\/([0-9a-fA-F-]{36})$/);
  try {
    if (device) {
      leavePage = await devicePage(device[1]);
    } else if (location.pathname === '/account') {
      leavePage = await accountPage();
    } else {
      await devicesPage();
    }
  } catch (error) {
    show(el('section', { class: 'card' },
      el('h1', {}, 'Something went wrong'),
      el('p', { class: 'message failed', role: 'alert' }, error.message || String(error)),
      el('button', { type: 'button', onclick: () => route() }, 'Try again')));
  }
}

setRoute(route);
window.addEventListener('popstate', () => route());
route();
