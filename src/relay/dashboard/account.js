// The account: who is signed in, where else it is signed in, its password, and signing out.
import { api, currentRole } from './api.js';
import { ask, el, feedback, show } from './dom.js';
import { stopLive } from './live.js';
import { go, link } from './nav.js';
import { when } from './text.js';

export async function accountPage() {
  const account = await api.account();
  const sessionsSay = feedback();
  const list = el('ul', { class: 'sessions', 'aria-label': 'Signed-in browsers' });
  const others = el('button', { type: 'button', class: 'secondary' }, 'Sign out everywhere else');

  const refresh = async () => {
    const sessions = await api.sessions();
    list.replaceChildren(...sessions.map((s) =>
      el('li', {},
        el('strong', {}, s.browser || 'A browser'),
        s.current ? el('span', { class: 'badge' }, 'This browser') : null,
        el('small', {}, `Signed in ${when(s.started_at)}`))));
    others.disabled = sessions.length < 2;
  };
  others.addEventListener('click', async () => {
    if (!(await ask('Sign out everywhere else?', 'Every other browser signed in to this account must sign in again.', 'Sign out others'))) return;
    others.disabled = true;
    try {
      const { ended } = await api.signOutOthers();
      sessionsSay.say('ok', ended === 1 ? 'One other browser was signed out.' : `${ended} other browsers were signed out.`);
    } catch (error) {
      sessionsSay.say('failed', error.message);
    }
    refresh().catch(() => {});
  });

  // ---- People: the owner invites and removes; members see who is there --------------------
  const owner = currentRole() === 'owner';
  const peopleSay = feedback();
  const people = el('ul', { class: 'sessions', 'aria-label': 'People' });
  const inviteLink = el('div', { class: 'invite' });
  const drawPeople = async () => {
    const list = await api.people();
    people.replaceChildren(...list.map((p) => {
      const remove = owner && p.role === 'member'
        ? el('button', {
          type: 'button',
          class: 'quiet',
          'aria-label': `Remove ${p.name}`,
          onclick: async () => {
            if (!(await ask(`Remove ${p.name}?`, 'They are signed out at once and can no longer use these Macs.', 'Remove'))) return;
            try {
              await api.removePerson(p.id);
              peopleSay.say('ok', `${p.name} was removed.`);
            } catch (error) {
              peopleSay.say('failed', error.message);
            }
            drawPeople().catch(() => {});
          },
        }, 'Remove')
        : null;
      return el('li', {},
        el('strong', {}, p.name),
        el('span', { class: 'badge' }, p.you ? `${p.role === 'owner' ? 'Owner' : 'Member'} · you` : p.role === 'owner' ? 'Owner' : 'Member'),
        remove);
    }));
  };
  const invite = el('button', {
    type: 'button',
    class: 'secondary',
    onclick: async () => {
      try {
        const { token, expires_at: expires } = await api.invite();
        const address = `${location.origin}/#invite=${token}`;
        const field = el('input', { id: 'invite-link', readonly: true, value: address });
        const copy = el('button', {
          type: 'button',
          class: 'secondary',
          onclick: async () => {
            try {
              await navigator.clipboard.writeText(address);
              peopleSay.say('ok', 'Link copied.');
            } catch {
              field.select();
              peopleSay.say('info', 'Select the link and copy it.');
            }
          },
        }, 'Copy link');
        inviteLink.replaceChildren(
          el('label', { for: 'invite-link' }, 'Invitation link', el('span', { class: 'hint' }, `Works once, until ${when(expires)}. A new link replaces this one.`), field),
          copy);
        peopleSay.say('ok', 'Send this link to the person you invite.');
      } catch (error) {
        peopleSay.say('failed', error.message);
      }
    },
  }, 'Invite someone');

  // ---- Assistants: those connected through the relay, each to one Mac ----------------------
  const assistantsSay = feedback();
  const assistants = el('ul', { class: 'sessions', 'aria-label': 'Connected assistants' });
  const drawAssistants = async () => {
    const list = await api.assistants();
    if (!list.length) {
      assistants.replaceChildren(el('li', { class: 'empty' }, 'No assistant is connected.'));
      return;
    }
    assistants.replaceChildren(...list.map((a) =>
      el('li', {},
        el('strong', {}, a.client_name),
        el('button', {
          type: 'button',
          class: 'quiet',
          'aria-label': `Disconnect ${a.client_name}`,
          onclick: async () => {
            if (!(await ask(`Disconnect ${a.client_name}?`, 'It can no longer use this Mac until someone allows it again.', 'Disconnect'))) return;
            try {
              await api.disconnect(a.id);
              assistantsSay.say('ok', `${a.client_name} was disconnected.`);
            } catch (error) {
              assistantsSay.say('failed', error.message);
            }
            drawAssistants().catch(() => {});
          },
        }, 'Disconnect'),
        el('small', {}, `Uses ${a.device_name || 'a Mac'} · ${a.last_used_at ? `last used ${when(a.last_used_at)}` : `allowed ${when(a.granted_at)}`}`))));
  };

  const passwordSay = feedback();
  const current = el('input', { id: 'current-password', type: 'password', autocomplete: 'current-password', required: true });
  const fresh = el('input', { id: 'new-password', type: 'password', autocomplete: 'new-password', minlength: 10, required: true });
  const change = el('button', { type: 'submit' }, 'Change password');
  const passwordForm = el('form', {
    onsubmit: async (event) => {
      event.preventDefault();
      if (fresh.value.length < 10) {
        passwordSay.say('failed', 'Choose a new password of 10 characters or more.');
        fresh.focus();
        return;
      }
      change.disabled = true;
      try {
        await api.changePassword(current.value, fresh.value);
        current.value = '';
        fresh.value = '';
        passwordSay.say('ok', 'Password changed. Other browsers were signed out.');
        refresh().catch(() => {});
      } catch (error) {
        passwordSay.say('failed', error.message);
      } finally {
        change.disabled = false;
      }
    },
  },
  el('label', { for: 'current-password' }, 'Current password', current),
  el('label', { for: 'new-password' }, 'New password (10 characters or more)', fresh),
  change, passwordSay);

  const signOut = el('button', {
    type: 'button',
    class: 'secondary',
    onclick: async () => {
      try {
        await api.signOut();
      } catch {
        // Signed out already, or the relay is away: the page forgets the session either way.
      }
      stopLive();
      go('/', true);
    },
  }, 'Sign out');

  show(
    el('header', { class: 'device-header' },
      link('/', { class: 'quiet back' }, '‹ All Macs'),
      el('div', {}, el('h1', {}, 'Account'), el('p', { class: 'subtitle' }, `Signed in as ${account.name}`))),
    el('section', { class: 'card', 'aria-labelledby': 'people-title' },
      el('h2', { id: 'people-title' }, 'People'),
      el('p', { class: 'hint' }, owner
        ? 'People you invite can use your Macs; only you can remove Macs or people.'
        : 'You can use these Macs; only the owner can remove Macs or people.'),
      people,
      owner ? el('div', { class: 'row' }, invite) : null,
      inviteLink, peopleSay),
    el('section', { class: 'card', 'aria-labelledby': 'sessions-title' },
      el('h2', { id: 'sessions-title' }, 'Signed-in browsers'), list,
      el('div', { class: 'row' }, others), sessionsSay),
    el('section', { class: 'card', 'aria-labelledby': 'assistants-title' },
      el('h2', { id: 'assistants-title' }, 'Assistants'),
      el('p', { class: 'hint' }, 'AI assistants you allowed to use a Mac through this relay.'),
      assistants, assistantsSay),
    el('section', { class: 'card', 'aria-labelledby': 'password-title' },
      el('h2', { id: 'password-title' }, 'Password'), passwordForm),
    el('section', { class: 'card' }, signOut),
  );
  await Promise.all([refresh(), drawPeople(), drawAssistants()]);
  return () => {};
}
