// The computer's state in words, as a person reads it.
export function when(iso) {
  return iso ? new Date(iso).toLocaleString() : '';
}

export function ago(iso, now = Date.now()) {
  if (!iso) return 'never';
  const seconds = Math.max(0, Math.round((now - new Date(iso).getTime()) / 1000));
  if (seconds < 45) return 'just now';
  const minutes = Math.round(seconds / 60);
  if (minutes < 60) return `${minutes} min ago`;
  const hours = Math.round(minutes / 60);
  if (hours < 24) return `${hours} h ago`;
  return when(iso);
}

export function bytes(count) {
  const units = ['bytes', 'KB', 'MB', 'GB', 'TB'];
  let value = count;
  let unit = 0;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit += 1;
  }
  return `${value >= 100 || unit === 0 ? Math.round(value) : value.toFixed(1)} ${units[unit]}`;
}

export function duration(seconds) {
  const days = Math.floor(seconds / 86400);
  const hours = Math.floor((seconds % 86400) / 3600);
  const minutes = Math.floor((seconds % 3600) / 60);
  if (days > 0) return `${days} ${days === 1 ? 'day' : 'days'} ${hours} h`;
  if (hours > 0) return `${hours} h ${minutes} min`;
  return `${minutes} min`;
}

export const screenWords = {
  unlocked: 'Unlocked',
  locked: 'Locked',
  inactive: 'Another user or the login window',
  unknown: 'Not known',
};

// The rows of the status card, from a get_state report (null rows are left out).
export function stateRows(report) {
  const rows = [];
  if (report.battery) {
    rows.push(['Battery', `${report.battery.percent} %${report.battery.charging ? ', charging' : ''}`]);
  } else {
    rows.push(['Battery', 'No battery (on power)']);
  }
  if (report.audio) {
    rows.push(['Sound', `Volume ${report.audio.volume} %${report.audio.muted ? ', muted' : ''}`]);
  }
  const playing = report.now_playing;
  rows.push(['Now playing', playing
    ? `${playing.title} — ${playing.artist} (${playing.source_app}, ${playing.playing ? 'playing' : 'paused'})`
    : 'Nothing']);
  rows.push(['Active app', report.frontmost_app || 'None']);
  const system = report.system || {};
  if (system.storage) {
    rows.push(['Storage', `${bytes(system.storage.available_bytes)} free of ${bytes(system.storage.total_bytes)}`]);
  }
  if (system.memory) {
    rows.push(['Memory', `${bytes(system.memory.used_bytes)} of ${bytes(system.memory.total_bytes)} in use`]);
  }
  if (typeof system.uptime_seconds === 'number') {
    rows.push(['Up for', duration(system.uptime_seconds)]);
  }
  if (system.macos_version) {
    rows.push(['macOS', system.macos_version]);
  }
  return rows;
}

// What a person types as a website: "example.com" means https://example.com. Returns the address
// to send, or null when it cannot be one.
export function websiteAddress(text) {
  const trimmed = text.trim();
  if (!trimmed || /\s/.test(trimmed)) return null;
  // A scheme is "name://" or one of the few without slashes; "example.com:8443" is a host and port.
  const hasScheme = /^[a-z][a-z0-9+.-]*:\/\//i.test(trimmed) || /^(javascript|data|file|mailto|about|blob|vbscript):/i.test(trimmed);
  const withScheme = hasScheme ? trimmed : `https://${trimmed}`;
  try {
    const url = new URL(withScheme);
    if ((url.protocol !== 'https:' && url.protocol !== 'http:') || !url.hostname.includes('.') && url.hostname !== 'localhost') {
      return null;
    }
    return url.href;
  } catch {
    return null;
  }
}

// One line for a device in the list and atop its page.
export function deviceStatus(d) {
  if (!d.online) {
    return d.last_seen ? `Asleep or offline · last seen ${ago(d.last_seen)}` : 'Asleep or offline';
  }
  const screen = d.capabilities && d.capabilities.screen_state;
  return `Online · ${screen === 'unlocked' ? 'ready' : (screenWords[screen] || 'Not known').toLowerCase()}`;
}
