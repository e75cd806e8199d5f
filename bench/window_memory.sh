#!/usr/bin/env bash
# Idle resident memory of the agent with its window hidden (the tray only, as after a later
# launch) next to the headless agent, each on a fresh data folder of the simulated Mac, under Xvfb.
# Usage: bench/window_memory.sh [PROGRAM] (default build/release/velto)
set -euo pipefail
program=${1:-build/release/velto}
settle=${SETTLE_SECONDS:-8}

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

measure() { # mode...
    local home; home=$(mktemp -d)
    export XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_RUNTIME_DIR=$home/run
    mkdir -p "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
    if [ "$1" = window ]; then
        # The first launch shows the window; the second starts hidden in the tray.
        "$program" --platform sim 2>/dev/null & local first=$!
        sleep "$settle"; kill "$first"; wait "$first" || true
        "$program" --platform sim 2>/dev/null & local pid=$!
    else
        "$program" --headless --platform sim 2>/dev/null & local pid=$!
    fi
    sleep "$settle"
    echo "$1 $(rss_kib "$pid")"
    kill "$pid"; wait "$pid" || true
    rm -rf "$home"
}

if [ -z "${DISPLAY:-}" ] && [ -z "${INSIDE_XVFB:-}" ]; then
    exec env INSIDE_XVFB=1 xvfb-run -a "$0" "$@"
fi
headless=$(measure headless | awk '{print $2}')
window=$(measure window | awk '{print $2}')
echo "idle RSS: headless ${headless} KiB, window hidden ${window} KiB, difference $((window - headless)) KiB"
