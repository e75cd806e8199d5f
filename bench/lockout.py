#!/usr/bin/env python3
"""Whether idle connections can lock callers out of the loopback API.

Another process holds many idle connections to the agent's port (no byte sent; with --partial,
the first byte of a head and nothing more) and opens a new one as soon as the agent closes one. Meanwhile `velto call get_state` runs again and again; each
call must answer within the bound. A raw client of our own (connect, send, read to the end) is
timed alongside, without the program's start-up.

Usage: bench/lockout.py [--velto build/release/velto] [--idle 300] [--partial] [--calls 20]
                        [--bound 1.5]
The agent runs headless on the simulated Mac in a temporary XDG home. Prints the figures as JSON
and exits 1 when a call failed or took longer than the bound.
"""

import argparse
import json
import os
import selectors
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from velto_bench import Agent


def hold(port, count, first_bytes):
    """Keeps `count` idle connections open, replacing each one the server closes, until standard
    input ends; then prints how many it replaced."""
    selector = selectors.DefaultSelector()
    selector.register(sys.stdin, selectors.EVENT_READ)

    def open_one():
        connection = socket.create_connection(("127.0.0.1", port))
        connection.sendall(first_bytes)
        connection.setblocking(False)
        selector.register(connection, selectors.EVENT_READ)

    for _ in range(count):
        open_one()
    reopened = 0
    while True:
        for key, _ in selector.select():
            connection = key.fileobj
            if connection is sys.stdin:
                json.dump({"held": count, "reopened": reopened}, sys.stdout)
                return
            try:
                if connection.recv(4096):
                    continue  # an answer to nothing: keep waiting for the close
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                pass
            selector.unregister(connection)
            connection.close()
            open_one()
            reopened += 1


def raw_call(agent):
    started = time.perf_counter()
    try:
        status = agent.call({"action": "get_state", "params": {}})
    except (OSError, IndexError, ValueError):
        status = None  # reset, or closed without an answer
    return time.perf_counter() - started, status


def velto_call(agent):
    started = time.perf_counter()
    finished = subprocess.run([agent.velto, "call", "get_state"], env=agent.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return time.perf_counter() - started, finished.returncode, finished.stderr.strip()


def summary(seconds):
    return {"median_ms": round(statistics.median(seconds) * 1000, 1),
            "max_ms": round(max(seconds) * 1000, 1)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--velto", default=os.path.join(root, "build", "release", "velto"))
    parser.add_argument("--idle", type=int, default=300)
    parser.add_argument("--partial", action="store_true")
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--bound", type=float, default=1.5)
    parser.add_argument("--hold", type=int, help=argparse.SUPPRESS)  # the holder's port
    options = parser.parse_args()
    if options.hold:
        hold(options.hold, options.idle, b"P" if options.partial else b"")
        return

    home = tempfile.mkdtemp(prefix="velto-lockout-")
    failures = []
    try:
        agent = Agent(options.velto, home)
        agent.start()
        quiet_velto = [velto_call(agent)[0] for _ in range(3)]
        holder = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--hold",
                                   str(agent.port), "--idle", str(options.idle)]
                                  + (["--partial"] if options.partial else []),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        time.sleep(1)  # let every idle connection open
        velto_seconds, raw_seconds = [], []
        for attempt in range(options.calls):
            seconds, code, error = velto_call(agent)
            velto_seconds.append(seconds)
            if code != 0 or seconds >= options.bound:
                failures.append({"attempt": attempt, "exit": code, "ms": round(seconds * 1000),
                                 "error": error})
            seconds, status = raw_call(agent)
            raw_seconds.append(seconds)
            if status != 200 or seconds >= options.bound:
                failures.append({"attempt": attempt, "raw_status": status,
                                 "ms": round(seconds * 1000)})
        held = holder.communicate(timeout=30)[0]
        agent.stop()
    finally:
        shutil.rmtree(home, ignore_errors=True)
    results = {"velto": options.velto,
               "idle_connections": options.idle,
               "each_sends": "P" if options.partial else "nothing",
               "velto_call_without_idle_connections": summary(quiet_velto),
               "velto_call": summary(velto_seconds),
               "raw_call": summary(raw_seconds),
               "holder": json.loads(held) if held else None,
               "failures": failures}
    json.dump(results, sys.stdout, indent=2)
    print()
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
