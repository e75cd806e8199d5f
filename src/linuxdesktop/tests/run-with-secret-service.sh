#!/bin/sh
# Runs a test program against a Secret Service of its own: a private session bus and a fresh,
# unlocked keyring in a temporary home, so that no test ever touches the keyring of whoever runs
# it. Where the bus or the keyring daemon cannot start, the program still runs and its Secret
# Service tests skip, saying why.
set -u

program=$1
shift

scratch=$(mktemp -d "${TMPDIR:-/tmp}/corvane-secret-service.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -m 700 "$scratch/home" "$scratch/data" "$scratch/config" "$scratch/cache" "$scratch/run"
export HOME="$scratch/home"
export XDG_DATA_HOME="$scratch/data"
export XDG_CONFIG_HOME="$scratch/config"
export XDG_CACHE_HOME="$scratch/cache"
export XDG_RUNTIME_DIR="$scratch/run"
# Never reach the caller's own bus, whatever happens below.
unset DBUS_SESSION_BUS_ADDRESS
export DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/run/no-bus"

if ! command -v dbus-run-session >/dev/null 2>&1; then
  CORVANE_SECRET_SERVICE_UNAVAILABLE="dbus-run-session is not installed (Debian package dbus)" \
    "$program" "$@"
  exit $?
fi
if ! command -v gnome-keyring-daemon >/dev/null 2>&1; then
  CORVANE_SECRET_SERVICE_UNAVAILABLE="gnome-keyring-daemon is not installed (Debian package gnome-keyring)" \
    "$program" "$@"
  exit $?
fi

if ! dbus-run-session -- true >/dev/null 2>&1; then
  CORVANE_SECRET_SERVICE_UNAVAILABLE="a private session bus could not start" "$program" "$@"
  exit $?
fi

# Inside the session: a blank password line creates and unlocks the default ("login") keyring
# without a prompt. The test starts once the daemon owns the service name; otherwise its first call
# would have the bus start a second daemon. The daemon leaves with the bus when the session ends.
dbus-run-session -- sh -c '
  program=$1
  shift
  if printf "\n" | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1; then
    tries=0
    while [ $tries -lt 50 ]; do
      if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
          org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
          grep -q "boolean true"; then
        CORVANE_SECRET_SERVICE_BUS=private exec "$program" "$@"
      fi
      sleep 0.1
      tries=$((tries + 1))
    done
  fi
  CORVANE_SECRET_SERVICE_UNAVAILABLE="gnome-keyring-daemon did not start" exec "$program" "$@"
' sh "$program" "$@" &
# Waited for in the background, so that the trap still removes the scratch directory on a signal.
session=$!
wait "$session"
