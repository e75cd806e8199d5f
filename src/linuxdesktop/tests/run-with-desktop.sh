#!/bin/sh
# Runs a test program inside a desktop of its own: a temporary home and XDG folders, a private
# session bus (where the settings service starts on demand), and a virtual display with a window
# manager. Everything started here is stopped by its process id. Where a program is missing, the
# program still runs and the tests that need it skip, naming the package.
set -u

program=$1
shift

scratch=$(mktemp -d "${TMPDIR:-/tmp}/corvane-desktop.XXXXXX") || exit 1
started=""
cleanup() {
  for pid in $started; do
    kill "$pid" 2>/dev/null
  done
  for pid in $started; do
    wait "$pid" 2>/dev/null
  done
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
mkdir -m 700 "$scratch/home" "$scratch/data" "$scratch/config" "$scratch/cache" "$scratch/run"
export HOME="$scratch/home"
export XDG_DATA_HOME="$scratch/data"
export XDG_CONFIG_HOME="$scratch/config"
export XDG_CACHE_HOME="$scratch/cache"
export XDG_RUNTIME_DIR="$scratch/run"
# The system's folders stay readable (settings schemas, the window manager's theme); the tests name
# their own application folders.
export XDG_DATA_DIRS="/usr/local/share:/usr/share"
unset XDG_CURRENT_DESKTOP XDG_SESSION_TYPE DESKTOP_STARTUP_ID WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
export GSETTINGS_BACKEND=dconf
export DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/run/no-bus"
unset DISPLAY

# Waits up to five seconds for a file to be non-empty.
await_file() {
  tries=0
  while [ ! -s "$1" ] && [ $tries -lt 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  [ -s "$1" ]
}

if ! command -v dbus-daemon >/dev/null 2>&1; then
  export CORVANE_SETTINGS_UNAVAILABLE="dbus-daemon is not installed (Debian package dbus)"
elif [ ! -x /usr/libexec/dconf-service ] || ! command -v dconf >/dev/null 2>&1; then
  export CORVANE_SETTINGS_UNAVAILABLE="dconf is not installed (Debian packages dconf-service, dconf-cli)"
else
  dbus-daemon --session --nofork --nopidfile --print-address=1 >"$scratch/bus" 2>/dev/null &
  started="$started $!"
  if await_file "$scratch/bus"; then
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$scratch/bus")
    export DBUS_SESSION_BUS_ADDRESS
  else
    export CORVANE_SETTINGS_UNAVAILABLE="a private session bus did not start"
  fi
fi

if ! command -v Xvfb >/dev/null 2>&1; then
  export CORVANE_DISPLAY_UNAVAILABLE="Xvfb is not installed (Debian package xvfb)"
elif ! command -v openbox >/dev/null 2>&1; then
  export CORVANE_DISPLAY_UNAVAILABLE="openbox is not installed (Debian package openbox)"
else
  Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 >"$scratch/display" 2>/dev/null &
  started="$started $!"
  if await_file "$scratch/display"; then
    DISPLAY=":$(head -n 1 "$scratch/display")"
    export DISPLAY
    openbox --sm-disable >/dev/null 2>&1 &
    started="$started $!"
    # The window manager is ready once it names itself on the root window.
    tries=0
    if ! command -v xprop >/dev/null 2>&1; then
      sleep 1
      tries=50
    fi
    until [ $tries -ge 50 ] || xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; do
      sleep 0.1
      tries=$((tries + 1))
    done
  else
    export CORVANE_DISPLAY_UNAVAILABLE="Xvfb did not start"
  fi
fi

# The accessibility bus starts on demand on the session bus (at-spi2-core's bus launcher).
if [ ! -x /usr/libexec/at-spi-bus-launcher ]; then
  export CORVANE_ACCESSIBILITY_UNAVAILABLE="at-spi2-core is not installed (Debian package at-spi2-core)"
fi

"$program" "$@" &
test_pid=$!
wait "$test_pid"
