// One Mac: its state, the controls of the agent's own window, the results and the audit.
import { api, run } from './api.js';
import { el, show, when } from './dom.js';

export async function devicePage(device, back) {
  const result = el('p', { class: 'result', role: 'status', 'aria-live': 'polite' });
  const state = el('dl', { class: 'state' });
  const apps = el('ul', { class: 'apps' });
  const audit = el('ol', { class: 'audit' });
  let nextOffset = 0;

  const refreshAudit = async () => {
    const rows = await api.audit(device);
    audit.replaceChildren(
      ...rows.map((r) =>
        el('li', {}, el('strong', {}, r.action_name), ' · ', r.message || 'Waiting for the Mac', el('small', {}, when(r.sent_at))),
      ),
    );
  };

  const send = async (action, params) => {
    result.textContent = 'Sending…';
    result.className = 'result';
    try {
      const view = await run(device, action, params);
      result.textContent = view.message;
      result.className = view.ok ? 'result ok' : 'result failed';
      if (view.ok && action === 'get_state') {
        showState(view.data);
      }
      if (view.ok && action === 'list_apps') {
        showApps(view.data);
      }
    } catch (error) {
      result.textContent = error.message;
      result.className = 'result failed';
    }
    refreshAudit();
  };

  const showState = (data) => {
    const rows = Object.entries(data).filter(([, v]) => v !== null && typeof v !== 'object');
    state.replaceChildren(...rows.flatMap(([k, v]) => [el('dt', {}, k.replaceAll('_', ' ')), el('dd', {}, String(v))]));
  };

  const showApps = (data) => {
    if (nextOffset === 0) {
      apps.replaceChildren();
    }
    apps.append(...data.apps.map((a) =>
      el('li', {}, el('button', { class: 'quiet', onclick: () => send('open_app', { bundle_id: a.bundle_id }) }, a.name), a.running ? ' · running' : '')));
    nextOffset = data.next_offset;
    more.hidden = data.next_offset === null;
  };

  const button = (label, action, params) => el('button', { onclick: () => send(action, params) }, label);
  const volume = el('input', { type: 'range', min: 0, max: 100, step: 1, value: 50, 'aria-label': 'Volume' });
  const url = el('input', { type: 'url', placeholder: 'https://example.com', 'aria-label': 'Website' });
  const appName = el('input', { placeholder: 'App name', 'aria-label': 'App name' });
  const shortcut = el('input', { placeholder: 'Shortcut name', 'aria-label': 'Shortcut name' });
  const more = el('button', { hidden: true, onclick: () => send('list_apps', { offset: nextOffset }) }, 'More apps');

  show(
    el('header', {}, el('button', { class: 'quiet', onclick: back }, '‹ Macs'), el('h1', {}, 'Mac')),
    result,
    el('section', { class: 'card' }, el('h2', {}, 'Status'), button('Check status', 'get_state'), state),
    el('section', { class: 'card controls' }, el('h2', {}, 'Sound and playback'),
      button('Mute', 'mute'), button('Unmute', 'unmute'),
      el('label', {}, 'Volume', volume),
      el('button', { onclick: () => send('set_volume', { level: Number(volume.value) }) }, 'Set volume'),
      button('Play or pause', 'media_play_pause'), button('Previous', 'media_previous'), button('Next', 'media_next')),
    el('section', { class: 'card controls' }, el('h2', {}, 'Open'),
      el('label', {}, 'Website', url), el('button', { onclick: () => send('open_url', { url: url.value }) }, 'Open website'),
      el('label', {}, 'App', appName),
      el('button', { onclick: () => send('open_app', { app_name: appName.value }) }, 'Open app'),
      el('button', { onclick: () => send('quit_app', { app_name: appName.value }) }, 'Close app'),
      el('label', {}, 'Shortcut', shortcut),
      el('button', { onclick: () => send('run_shortcut', { name: shortcut.value }) }, 'Run Shortcut')),
    el('section', { class: 'card controls' }, el('h2', {}, 'Mac'),
      button('Lock', 'lock_screen'), button('Sleep', 'sleep_mac'),
      button('Focus on', 'toggle_do_not_disturb', { enabled: true }), button('Focus off', 'toggle_do_not_disturb', { enabled: false }),
      button('Close Safari tabs', 'close_browser_tabs', { browser: 'safari' }),
      button('Close Chrome tabs', 'close_browser_tabs', { browser: 'chrome' })),
    el('section', { class: 'card' }, el('h2', {}, 'Apps'),
      el('button', { onclick: () => { nextOffset = 0; send('list_apps', { offset: 0 }); } }, 'List apps'), apps, more),
    el('section', { class: 'card' }, el('h2', {}, 'Activity'), audit),
    el('section', { class: 'card' },
      el('button', { class: 'danger', onclick: async () => {
        if (confirm('Disconnect this Mac? It must be paired again to be used from here.')) {
          await api.revoke(device);
          back();
        }
      } }, 'Disconnect this Mac')),
  );
  refreshAudit();
}
