// One Mac: its state first, in words, then controls that show and change it. Each control sends
// one command at a time and answers beside itself; steps that cannot be taken back ask first.
// While the Mac is locked or away, its controls are off and say why.
import { api, currentRole, run } from './api.js';
import { ask, el, feedback, show } from './dom.js';
import { listen } from './live.js';
import { go, link } from './nav.js';
import { deviceStatus, screenWords, stateRows, websiteAddress, when } from './text.js';

// Actions after which the Mac's state is read again, since they change what it shows.
const changesState = new Set(['mute', 'unmute', 'set_volume', 'media_play_pause', 'media_next', 'media_previous', 'open_app', 'quit_app']);

export async function devicePage(deviceId) {
  let device = (await api.devices()).find((d) => d.device_id === deviceId);
  if (!device) {
    show(
      el('header', {}, link('/', { class: 'quiet back' }, '‹ All Macs')),
      el('section', { class: 'card' },
        el('h1', {}, 'Mac not found'),
        el('p', {}, 'This Mac is no longer connected to your account.')),
    );
    return () => {};
  }

  let report = null; // the last get_state answer of an unlocked Mac
  let reportAt = null;
  let lockedByReport = false;
  let focus = null; // only known once changed from here: the Mac does not report it
  let readingState = false;
  let nextOffset = 0;
  const controls = [];

  // ---- Availability ---------------------------------------------------------------------------
  const screen = () => (device.capabilities && device.capabilities.screen_state) || 'unknown';
  const isLocked = () => screen() === 'locked' || (lockedByReport && screen() !== 'unlocked');
  const reason = () => {
    if (!device.online) return 'The Mac is asleep or offline. Its controls come back when it connects.';
    if (isLocked()) return 'The Mac is locked. Unlock it at the Mac to use these controls.';
    if (screen() === 'inactive') return 'Someone else is using the Mac, or it shows the login window.';
    return '';
  };
  const reasons = [];
  const reasonLine = () => {
    const node = el('p', { class: 'reason' });
    reasons.push(node);
    return node;
  };
  const control = (node, needs = 'unlocked') => {
    const entry = { node, needs, busy: false };
    controls.push(entry);
    return entry;
  };
  const update = () => {
    const why = reason();
    for (const entry of controls) {
      const allowed = entry.needs === 'online' ? device.online : why === '';
      entry.node.disabled = entry.busy || !allowed || (entry.enabled ? !entry.enabled() : false);
    }
    for (const node of reasons) node.textContent = why;
  };

  // ---- Sending ----------------------------------------------------------------------------------
  const act = async (entry, say, action, params, options = {}) => {
    if (entry.busy || entry.node.disabled) return null; // one command at a time per control
    if (options.confirm && !(await ask(...options.confirm))) return null;
    if (entry.busy) return null;
    entry.busy = true;
    entry.node.setAttribute('aria-busy', 'true');
    update();
    say.say('pending', 'Sending to the Mac…');
    try {
      const view = await run(deviceId, action, params, () => say.say('pending', 'The Mac is on it…'));
      say.say(view.ok ? options.tone || 'ok' : 'failed', view.message);
      if (view.ok && options.after) options.after(view.data);
      if (view.ok && changesState.has(action)) readState();
      return view;
    } catch (error) {
      say.say('failed', error.message);
      return null;
    } finally {
      entry.busy = false;
      entry.node.removeAttribute('aria-busy');
      update();
      refreshAudit();
    }
  };

  const readState = async (say) => {
    if (readingState || !device.online) return;
    readingState = true;
    refreshButton.setAttribute('aria-busy', 'true');
    if (say) say.say('pending', 'Asking the Mac…');
    try {
      const view = await run(deviceId, 'get_state', {});
      if (view.ok && view.data.screen_locked === true) {
        lockedByReport = true;
        if (say) say.say('info', 'The Mac is locked: its details show once it is unlocked.');
      } else if (view.ok) {
        lockedByReport = false;
        report = view.data;
        reportAt = new Date().toISOString();
        if (say) say.say('ok', view.message);
      } else if (say) {
        say.say('failed', view.message);
      }
    } catch (error) {
      if (say) say.say('failed', error.message);
    } finally {
      readingState = false;
      refreshButton.removeAttribute('aria-busy');
      draw();
    }
  };

  // ---- Status -----------------------------------------------------------------------------------
  const title = el('h1', {}, device.name);
  const statusLine = el('p', { class: 'subtitle', role: 'status', 'aria-live': 'polite' });
  const stateList = el('dl', { class: 'state' });
  const stateNote = el('p', { class: 'hint' });
  const stateSay = feedback();
  const refreshButton = el('button', { type: 'button', class: 'secondary', onclick: () => readState(stateSay) }, 'Refresh');
  control(refreshButton, 'online');

  const drawState = () => {
    const rows = [['Screen', device.online ? screenWords[screen()] || 'Not known' : 'Not known while away']];
    if (report && !isLocked()) {
      rows.push(...stateRows(report));
    }
    rows.push(['Focus', focus === null ? 'Not reported by the Mac' : focus ? 'On' : 'Off']);
    stateList.replaceChildren(...rows.flatMap(([k, v]) => [el('dt', {}, k), el('dd', {}, v)]));
    if (isLocked() && device.online) stateNote.textContent = 'Locked: the Mac shares its details once it is unlocked.';
    else if (report && !device.online) stateNote.textContent = `As of ${when(reportAt)}, before it went away.`;
    else if (reportAt) stateNote.textContent = `Updated ${when(reportAt)}`;
    else stateNote.textContent = device.online ? 'Reading the Mac’s state…' : '';
  };

  // ---- Sound and playback ---------------------------------------------------------------------
  const soundSay = feedback();
  const volumeValue = el('output', { for: 'volume', id: 'volume-value' });
  const volume = el('input', { type: 'range', id: 'volume', min: 0, max: 100, step: 1, value: 0, 'aria-describedby': 'volume-value' });
  const volumeControl = control(volume);
  volumeControl.enabled = () => Boolean(report && report.audio);
  let wantedLevel = null;
  const sendVolume = async () => {
    // The slider sends when let go; a change made meanwhile goes once this one has ended.
    while (wantedLevel !== null && !volumeControl.busy) {
      const level = wantedLevel;
      wantedLevel = null;
      await act(volumeControl, soundSay, 'set_volume', { level }, { after: () => { if (report && report.audio) report.audio.volume = level; } });
    }
  };
  volume.addEventListener('input', () => { volumeValue.textContent = `${volume.value} %`; });
  volume.addEventListener('change', () => {
    wantedLevel = Number(volume.value);
    sendVolume();
  });
  const mute = el('button', { type: 'button', role: 'switch', class: 'switch', 'aria-checked': 'false' }, 'Mute');
  const muteControl = control(mute);
  muteControl.enabled = () => Boolean(report && report.audio);
  mute.addEventListener('click', () => {
    const muted = report && report.audio && report.audio.muted;
    act(muteControl, soundSay, muted ? 'unmute' : 'mute', {});
  });
  const playPause = el('button', { type: 'button' }, 'Play or pause');
  const playControl = control(playPause);
  playPause.addEventListener('click', () => act(playControl, soundSay, 'media_play_pause', {}));
  const previous = el('button', { type: 'button', class: 'secondary' }, 'Previous');
  const previousControl = control(previous);
  previous.addEventListener('click', () => act(previousControl, soundSay, 'media_previous', {}));
  const next = el('button', { type: 'button', class: 'secondary' }, 'Next');
  const nextControl = control(next);
  next.addEventListener('click', () => act(nextControl, soundSay, 'media_next', {}));

  const drawSound = () => {
    const audio = report && report.audio;
    if (audio && !volumeControl.busy && document.activeElement !== volume) {
      volume.value = String(audio.volume);
    }
    volumeValue.textContent = audio ? `${volume.value} %` : 'not known yet';
    mute.setAttribute('aria-checked', audio && audio.muted ? 'true' : 'false');
    const playing = report && report.now_playing;
    playPause.textContent = playing ? (playing.playing ? 'Pause' : 'Play') : 'Play or pause';
  };

  // ---- Open -------------------------------------------------------------------------------------
  const textForm = (id, label, hint, buttons) => {
    const input = el('input', { id, autocomplete: 'off', ...hint });
    const say = feedback();
    const inputControl = control(input);
    const node = el('form', { class: 'inline', onsubmit: (event) => { event.preventDefault(); buttons[0].press(); } },
      el('label', { for: id }, label, input),
      el('div', { class: 'row' }, buttons.map((b) => b.node)),
      say);
    for (const b of buttons) b.bind(input, say);
    return { node, input, inputControl };
  };
  const formButton = (label, klass, handler) => {
    const node = el('button', { type: 'button', class: klass }, label);
    const entry = control(node);
    const button = { node, entry };
    button.bind = (input, say) => {
      button.press = () => handler(entry, input, say);
      node.addEventListener('click', button.press);
    };
    return button;
  };
  const website = textForm('website', 'Website', { inputmode: 'url', placeholder: 'example.com', autocapitalize: 'off', spellcheck: 'false' }, [
    formButton('Open website', '', (entry, input, say) => {
      const address = websiteAddress(input.value);
      if (!address) {
        say.say('failed', 'Enter a website address, like example.com.');
        input.focus();
        return;
      }
      act(entry, say, 'open_url', { url: address });
    }),
  ]);
  const needName = (input, say, what) => {
    const name = input.value.trim();
    if (!name) {
      say.say('failed', what);
      input.focus();
      return null;
    }
    return name;
  };
  const app = textForm('app-name', 'App', { placeholder: 'App name, like Safari' }, [
    formButton('Open app', '', (entry, input, say) => {
      const name = needName(input, say, 'Enter the app’s name first.');
      if (name) act(entry, say, 'open_app', { app_name: name });
    }),
    formButton('Close app', 'secondary', (entry, input, say) => {
      const name = needName(input, say, 'Enter the app’s name first.');
      if (name) {
        act(entry, say, 'quit_app', { app_name: name }, {
          confirm: [`Close ${name}?`, 'If it has unsaved work, it asks on the Mac before closing.', 'Close app'],
        });
      }
    }),
  ]);
  const shortcut = textForm('shortcut-name', 'Shortcut', { placeholder: 'Its exact name' }, [
    formButton('Run Shortcut', '', (entry, input, say) => {
      const name = needName(input, say, 'Enter the Shortcut’s exact name first.');
      if (name) act(entry, say, 'run_shortcut', { name });
    }),
  ]);

  // ---- The Mac ----------------------------------------------------------------------------------
  const macSay = feedback();
  const macButton = (label, klass, action, params, confirm, options = {}) => {
    const node = el('button', { type: 'button', class: klass }, label);
    const entry = control(node);
    node.addEventListener('click', () => act(entry, macSay, action, params, { confirm, ...options }));
    return node;
  };
  const lock = macButton('Lock', '', 'lock_screen', {},
    ['Lock the Mac?', 'Whoever is at the Mac will need its password to go on.', 'Lock'],
    { tone: 'info', after: () => { lockedByReport = true; draw(); } });
  const sleep = macButton('Sleep', 'secondary', 'sleep_mac', {},
    ['Put the Mac to sleep?', 'It goes offline here until someone wakes it at the Mac.', 'Sleep']);
  const focusSwitch = el('button', { type: 'button', role: 'switch', class: 'switch', 'aria-checked': 'false' }, 'Focus');
  const focusControl = control(focusSwitch);
  focusSwitch.addEventListener('click', () => {
    const enabled = focus !== true;
    act(focusControl, macSay, 'toggle_do_not_disturb', { enabled }, { after: () => { focus = enabled; draw(); } });
  });
  const tabs = (browser, label) => macButton(`Close ${label} tabs`, 'secondary', 'close_browser_tabs', { browser },
    [`Close all ${label} tabs?`, 'Tabs closed this way cannot be reopened from here.', 'Close tabs']);

  // ---- Apps -------------------------------------------------------------------------------------
  const appsSay = feedback();
  const running = el('ul', { class: 'apps', 'aria-label': 'Open apps' });
  const catalog = el('ul', { class: 'apps', 'aria-label': 'All apps' });
  const listButton = el('button', { type: 'button', class: 'secondary' }, 'Show all apps');
  const listControl = control(listButton);
  const more = el('button', { type: 'button', class: 'secondary', hidden: true }, 'More apps');
  const moreControl = control(more);
  const showApps = (data, fresh) => {
    if (fresh) catalog.replaceChildren();
    catalog.append(...data.apps.map((a) => {
      const open = el('button', { type: 'button', class: 'quiet' }, `Open ${a.name}`);
      const entry = control(open);
      open.addEventListener('click', () => act(entry, appsSay, 'open_app', { bundle_id: a.bundle_id }));
      return el('li', {}, open, a.running ? el('small', {}, ' running') : null);
    }));
    nextOffset = data.next_offset;
    more.hidden = data.next_offset === null;
    update();
  };
  listButton.addEventListener('click', () => act(listControl, appsSay, 'list_apps', { offset: 0 }, { tone: 'info', after: (d) => showApps(d, true) }));
  more.addEventListener('click', () => act(moreControl, appsSay, 'list_apps', { offset: nextOffset }, { tone: 'info', after: (d) => showApps(d, false) }));
  const drawRunning = () => {
    const names = report && !isLocked() ? report.running_apps : [];
    // Controls of apps no longer listed go with their rows.
    for (let i = controls.length - 1; i >= 0; i -= 1) {
      if (controls[i].runningApp && !controls[i].busy) controls.splice(i, 1);
    }
    running.replaceChildren(...names.map((name) => {
      const close = el('button', { type: 'button', class: 'quiet' }, 'Close');
      close.setAttribute('aria-label', `Close ${name}`);
      const entry = control(close);
      entry.runningApp = true;
      close.addEventListener('click', () => act(entry, appsSay, 'quit_app', { app_name: name }, {
        confirm: [`Close ${name}?`, 'If it has unsaved work, it asks on the Mac before closing.', 'Close app'],
      }));
      return el('li', {}, el('span', {}, name), close);
    }));
    if (names.length === 0) running.replaceChildren(el('li', { class: 'empty' }, report ? 'No open apps reported.' : 'Shown once the Mac’s state is read.'));
  };

  // ---- Activity and settings ----------------------------------------------------------------
  const audit = el('ol', { class: 'audit' });
  let auditTimer = 0;
  const refreshAudit = () => {
    clearTimeout(auditTimer);
    auditTimer = setTimeout(async () => {
      try {
        const rows = await api.audit(deviceId);
        audit.replaceChildren(...rows.slice(0, 20).map((r) =>
          el('li', {}, el('strong', {}, r.action_name), ' · ', r.message || 'On its way',
            r.assistant ? ` · via ${r.assistant}` : '', el('small', {}, when(r.sent_at)))));
        if (rows.length === 0) audit.replaceChildren(el('li', { class: 'empty' }, 'Nothing sent from here yet.'));
      } catch {
        // The next change tries again.
      }
    }, 250);
  };

  const settingsSay = feedback();
  const nameInput = el('input', { id: 'device-name', value: device.name, maxlength: 64, autocomplete: 'off' });
  const renameButton = el('button', { type: 'submit', class: 'secondary' }, 'Rename');
  const renameForm = el('form', {
    onsubmit: async (event) => {
      event.preventDefault();
      const name = nameInput.value.trim();
      if (!name) {
        settingsSay.say('failed', 'Enter a name for this Mac.');
        return;
      }
      renameButton.disabled = true;
      try {
        const answer = await api.rename(deviceId, name);
        device.name = answer.name;
        settingsSay.say('ok', 'Renamed.');
        draw();
      } catch (error) {
        settingsSay.say('failed', error.message);
      } finally {
        renameButton.disabled = false;
      }
    },
  }, el('label', { for: 'device-name' }, 'Name on this dashboard', nameInput), renameButton);
  const disconnect = el('button', {
    type: 'button',
    class: 'danger',
    onclick: async () => {
      if (!(await ask('Disconnect this Mac?', 'It must be paired again to be used from here.', 'Disconnect'))) return;
      try {
        await api.revoke(deviceId);
        go('/');
      } catch (error) {
        settingsSay.say('failed', error.message);
      }
    },
  }, 'Disconnect this Mac');
  const memberNote = currentRole() === 'owner' ? null : el('p', { class: 'hint' }, 'Only the account’s owner can disconnect this Mac.');
  disconnect.disabled = memberNote !== null;

  // ---- Drawing ----------------------------------------------------------------------------------
  const draw = () => {
    title.textContent = device.name;
    document.title = `${device.name} · Velto`;
    statusLine.textContent = deviceStatus(device);
    statusLine.className = `subtitle ${device.online ? (isLocked() ? 'locked' : 'online') : 'away'}`;
    drawState();
    drawSound();
    drawRunning();
    focusSwitch.setAttribute('aria-checked', focus === true ? 'true' : 'false');
    lock.textContent = isLocked() && device.online ? 'Locked' : 'Lock';
    update();
  };

  const card = (id, heading, ...children) =>
    el('section', { class: 'card', 'aria-labelledby': id }, el('h2', { id }, heading), ...children);

  show(
    el('header', { class: 'device-header' },
      link('/', { class: 'quiet back' }, '‹ All Macs'),
      el('div', {}, title, statusLine)),
    card('status-title', 'Status',
      stateList, stateNote,
      el('div', { class: 'row' }, refreshButton),
      stateSay),
    card('sound-title', 'Sound and playback',
      reasonLine(),
      el('label', { for: 'volume' }, 'Volume ', volumeValue),
      volume,
      el('div', { class: 'row' }, mute, playPause, previous, next),
      soundSay),
    card('mac-title', 'Mac',
      reasonLine(),
      el('div', { class: 'row' }, lock, sleep, focusSwitch),
      el('div', { class: 'row' }, tabs('safari', 'Safari'), tabs('chrome', 'Chrome')),
      macSay),
    card('open-title', 'Open',
      reasonLine(),
      website.node, app.node, shortcut.node),
    card('apps-title', 'Apps',
      reasonLine(),
      el('h3', {}, 'Open now'), running,
      el('div', { class: 'row' }, listButton, more),
      catalog, appsSay),
    card('activity-title', 'Activity', audit),
    card('settings-title', 'This Mac', renameForm, el('div', { class: 'row' }, disconnect), memberNote, settingsSay),
  );
  draw();
  refreshAudit();
  if (device.online && screen() !== 'locked') readState();

  // ---- Live -------------------------------------------------------------------------------------
  // A live change that arrives while the list is on its way is newer than the list: it wins.
  let liveChanges = 0;
  let lastLive = {};
  const reload = async () => {
    const seen = liveChanges;
    const fresh = (await api.devices()).find((d) => d.device_id === deviceId);
    if (!fresh) {
      go('/', true);
      return;
    }
    const wasReady = device.online && !isLocked();
    device = liveChanges === seen ? fresh : { ...fresh, ...lastLive, name: fresh.name };
    draw();
    if (!wasReady && device.online && !isLocked()) readState();
  };
  const stop = listen((type, data) => {
    if (type === 'ready' || type === 'devices') {
      reload().catch(() => {});
      refreshAudit();
    } else if (type === 'device' && data.device_id === deviceId) {
      liveChanges += 1;
      lastLive = data;
      const wasReady = device.online && !isLocked();
      const name = device.name;
      device = { ...device, ...data, name };
      if (screen() === 'unlocked') lockedByReport = false;
      draw();
      if (!wasReady && device.online && !isLocked()) readState();
    } else if (type === 'command' && data.device_id === deviceId) {
      refreshAudit();
    }
  });
  const ticker = setInterval(() => { statusLine.textContent = deviceStatus(device); }, 30_000);
  return () => {
    stop();
    clearInterval(ticker);
    clearTimeout(auditTimer);
    document.title = 'Velto';
  };
}
