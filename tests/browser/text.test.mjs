// The dashboard's pure helpers, in Node without a browser: what a typed website becomes, how the
// computer's state reads, and how the live stream's blocks are taken apart.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { parseBlock } from '../../src/relay/dashboard/live.js';
import { ago, bytes, deviceStatus, duration, stateRows, websiteAddress } from '../../src/relay/dashboard/text.js';

test('a typed website is read as a person means it, and anything else is refused', () => {
  const rows = [
    ['example.com', 'https://example.com/'],
    ['  example.com/path?q=1 ', 'https://example.com/path?q=1'],
    ['http://example.com', 'http://example.com/'],
    ['HTTPS://Example.COM', 'https://example.com/'],
    ['example.com:8443/x', 'https://example.com:8443/x'], // a port, not a scheme
    ['localhost:8080', 'https://localhost:8080/'],
    ['data:text/html,hi', null],
    ['', null],
    ['exa mple.com', null],
    ['javascript:alert(1)', null],
    ['file:///etc/passwd', null],
    ['ftp://example.com', null],
    ['example', null], // no dot: a word, not an address
  ];
  for (const [typed, sent] of rows) {
    assert.equal(websiteAddress(typed), sent, typed);
  }
});

test('the state report reads in words, leaving out what the Mac did not say', () => {
  const report = {
    screen_locked: false,
    frontmost_app: null,
    now_playing: { title: 'Song', artist: 'Band', source_app: 'Music', playing: false },
    battery: { percent: 81, charging: true },
    running_apps: [],
    audio: { volume: 40, muted: true },
    system: { macos_version: '14.5.0', uptime_seconds: 90061, low_power_mode: false, thermal_state: 'normal', memory: null, storage: { total_bytes: 494e9, available_bytes: 202.4e9 } },
  };
  assert.deepEqual(Object.fromEntries(stateRows(report)), {
    Battery: '81 %, charging',
    Sound: 'Volume 40 %, muted',
    'Now playing': 'Song — Band (Music, paused)',
    'Active app': 'None',
    Storage: '202 GB free of 494 GB',
    'Up for': '1 day 1 h',
    macOS: '14.5.0',
  });
  const bare = stateRows({ ...report, battery: null, audio: null, now_playing: null, system: { uptime_seconds: null, memory: null, storage: null } });
  assert.deepEqual(bare.map(([k]) => k), ['Battery', 'Now playing', 'Active app']);
});

test('sizes, durations and ages round as a person reads them', () => {
  assert.equal(bytes(999), '999 bytes');
  assert.equal(bytes(1500), '1.5 KB');
  assert.equal(bytes(17.2e9), '17.2 GB');
  assert.equal(bytes(494e9), '494 GB');
  assert.equal(duration(59), '0 min');
  assert.equal(duration(3 * 3600 + 120), '3 h 2 min');
  const now = Date.parse('2026-01-01T12:00:00Z');
  assert.equal(ago('2026-01-01T11:59:30Z', now), 'just now');
  assert.equal(ago('2026-01-01T11:55:00Z', now), '5 min ago');
  assert.equal(ago(undefined, now), 'never');
  assert.equal(deviceStatus({ online: false }), 'Asleep or offline');
  assert.equal(deviceStatus({ online: true, capabilities: { screen_state: 'locked' } }), 'Online · locked');
  assert.equal(deviceStatus({ online: true }), 'Online · not known');
});

test('a stream block gives its event, and keep-alives or broken data give nothing', () => {
  assert.deepEqual(parseBlock('event: device\ndata: {"online":true}'), { type: 'device', data: { online: true } });
  assert.deepEqual(parseBlock('data: [1]'), { type: 'message', data: [1] });
  assert.equal(parseBlock(': still here'), null);
  assert.equal(parseBlock('event: device\ndata: {broken'), null);
});
