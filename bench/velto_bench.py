#!/usr/bin/env python3
"""Cost of the headless agent as a local client sees it.

A load client of its own (raw HTTP over a socket, not the agent's code) measures the loopback
round trip of "get_state" (p50, p99, requests per second, one request at a time as the API
allows) with an empty command log and with a log at its 10 MiB limit, next to the durability
floor measured in the same run and folder (three small atomic replaces: write, fsync, rename,
fsync of the folder, which is what a command's durable records cost at the least), then the
agent's resident memory and CPU time while idle (its lock-state poll runs every 0.25 s), once
with an empty log and once after the log reached its limit.

Usage: bench/velto_bench.py [--velto build/release/velto] [--requests 300] [--idle 60]
Each phase runs in its own temporary XDG home; nothing of the user's own state is touched.
"""

import argparse
import datetime
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

LOG_LIMIT = 10485760


class Agent:
    def __init__(self, velto, home):
        self.velto = velto
        self.env = dict(os.environ,
                        XDG_DATA_HOME=os.path.join(home, "data"),
                        XDG_CONFIG_HOME=os.path.join(home, "config"),
                        QT_QPA_PLATFORM="offscreen")
        self.data = os.path.join(home, "data", "Corvane")

    def start(self):
        self.process = subprocess.Popen([self.velto, "--headless", "--platform", "sim"],
                                        env=self.env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            line = self.process.stderr.readline()
            if not line:
                break
            found = re.match(r"listening: 127\.0\.0\.1:(\d+)", line)
            if found:
                self.port = int(found.group(1))
                # Keep draining the agent's status lines so it never blocks on a full pipe.
                self.drain = subprocess.Popen(["cat"], stdin=self.process.stderr,
                                              stdout=subprocess.DEVNULL)
                api = json.loads(subprocess.check_output([self.velto, "local-api"], env=self.env))
                self.token = api["token"]
                return
        raise RuntimeError("the agent did not start listening")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=30)
        self.drain.wait(timeout=5)
        if status != 0:
            raise RuntimeError(f"the agent exited with {status}")

    def call(self, body):
        payload = json.dumps(body).encode()
        request = (f"POST /v1/commands HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n"
                   f"Content-Type: application/json\r\nContent-Length: {len(payload)}\r\n"
                   f"Authorization: Bearer {self.token}\r\n\r\n").encode() + payload
        with socket.create_connection(("127.0.0.1", self.port)) as connection:
            connection.sendall(request)
            answer = b""
            while chunk := connection.recv(65536):
                answer += chunk
        return int(answer.split(b" ", 2)[1])


def percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, max(0, round(fraction * (len(sorted_values) - 1))))
    return sorted_values[index]


def round_trips(agent, count):
    for _ in range(10):  # warm-up
        agent.call({"action": "get_state", "params": {}})
    latencies = []
    started = time.perf_counter()
    for _ in range(count):
        before = time.perf_counter()
        status = agent.call({"action": "get_state", "params": {}})
        latencies.append(time.perf_counter() - before)
        if status != 200:
            raise RuntimeError(f"get_state answered {status}")
    elapsed = time.perf_counter() - started
    latencies.sort()
    return {"requests": count,
            "p50_ms": round(percentile(latencies, 0.50) * 1000, 2),
            "p99_ms": round(percentile(latencies, 0.99) * 1000, 2),
            "requests_per_second": round(count / elapsed, 1)}


def timed_replaces(folder, count, replaces, fill):
    """p50 of `replaces` atomic replaces (write through `fill`, fsync, rename, fsync the folder)."""
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, "floor")
    times = []
    directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(count):
            before = time.perf_counter()
            for _ in range(replaces):
                temporary = target + ".tmp"
                fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
                fill(fd)
                os.fsync(fd)
                os.close(fd)
                os.rename(temporary, target)
                os.fsync(directory)
            times.append(time.perf_counter() - before)
    finally:
        os.close(directory)
        os.unlink(target)
    times.sort()
    return {"p50_ms": round(percentile(times, 0.50) * 1000, 2)}


def durability_floor(folder, count):
    """Three small atomic replaces: the floor under a command's records."""
    payload = b'{"command_id":"6f1c1b2e-8a5d-4a4e-9a51-3f7c2d9e0b11","outcome":"succeeded"}\n' * 2
    return timed_replaces(folder, count, 3, lambda fd: os.write(fd, payload))


def full_log_floor(folder, log, count):
    """What a command with a full log cannot avoid: two rewrites of the log (the "received" and the
    final record), each a copy of the file plus a record."""
    size = os.path.getsize(log)

    def copy_log(fd):
        source = os.open(log, os.O_RDONLY)
        try:
            copied = 0
            while copied < size:
                copied += os.copy_file_range(source, fd, size - copied)
        finally:
            os.close(source)
        os.write(fd, b'{"outcome":"succeeded"}\n')

    return timed_replaces(folder, count, 2, copy_log)


def fill_log(path, size):
    """A log just under the limit, of records the agent accepts (recent, valid wire time)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    stamp = now.strftime("%Y-%m-%dT%H:%M:%S.") + f"{now.microsecond // 1000:03d}Z"
    written = 0
    with open(path, "w") as log:
        while True:
            line = json.dumps({"action": "get_state", "command_id": str(uuid.uuid4()),
                               "created_at": stamp, "outcome": "succeeded", "params": {}},
                              separators=(",", ":")) + "\n"
            if written + len(line) > size:
                break
            log.write(line)
            written += len(line)
    os.chmod(path, 0o600)
    return written


def idle_cost(agent, seconds):
    ticks = os.sysconf("SC_CLK_TCK")

    def cpu():
        with open(f"/proc/{agent.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / ticks

    def rss_kib():
        with open(f"/proc/{agent.process.pid}/status") as status:
            return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))

    time.sleep(3)  # let start-up work settle
    before, started = cpu(), time.monotonic()
    time.sleep(seconds)
    used, wall = cpu() - before, time.monotonic() - started
    return {"seconds": round(wall, 1), "cpu_seconds": round(used, 3),
            "cpu_percent_of_one_core": round(100 * used / wall, 3), "rss_mib": round(rss_kib() / 1024, 1)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--velto", default=os.path.join(root, "build", "release", "velto"))
    parser.add_argument("--requests", type=int, default=300)
    parser.add_argument("--idle", type=float, default=60)
    options = parser.parse_args()

    results = {}
    home = tempfile.mkdtemp(prefix="velto-bench-")
    try:
        agent = Agent(options.velto, home)
        agent.start()
        results["durability_floor"] = durability_floor(os.path.join(agent.data, "floor"),
                                                       options.requests)
        results["get_state_empty_log"] = round_trips(agent, options.requests)
        results["empty_log_p50_over_floor"] = round(
            results["get_state_empty_log"]["p50_ms"] / results["durability_floor"]["p50_ms"], 2)
        agent.stop()

        # The same agent state with the log at its limit: every append rewrites the whole file.
        results["log_bytes"] = fill_log(os.path.join(agent.data, "commands.jsonl"), LOG_LIMIT - 4096)
        agent.start()
        results["get_state_10MiB_log"] = round_trips(agent, max(20, options.requests // 5))
        results["full_log_floor"] = full_log_floor(os.path.join(agent.data, "floor"),
                                                   os.path.join(agent.data, "commands.jsonl"),
                                                   max(20, options.requests // 5))
        results["full_log_p50_over_floor"] = round(
            results["get_state_10MiB_log"]["p50_ms"] / results["full_log_floor"]["p50_ms"], 2)
        # What the agent holds once the log is full: the log's lines must not stay in memory.
        results["idle_after_full_log"] = idle_cost(agent, min(options.idle, 20))
        agent.stop()

        idle_home = tempfile.mkdtemp(prefix="velto-bench-idle-")
        try:
            idle = Agent(options.velto, idle_home)
            idle.start()
            results["idle"] = idle_cost(idle, options.idle)
            idle.stop()
        finally:
            shutil.rmtree(idle_home, ignore_errors=True)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    json.dump(results, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
