#!/usr/bin/env python3
"""The headless agent against a relay that misbehaves while it pairs.

A relay of its own (Python, TLS with the tests' certificate) answers the agent's pairing requests
in one of three ways, each phase in its own temporary XDG home:

- huge: the code request is answered 200 with a 256 MiB body (declared and sent). Reports the
  agent's peak resident memory (VmHWM) and its resident memory at the end of the phase.
- expired: every code's "expires_at" is an hour past. Reports the code requests, the keychain
  operations (the simulated Mac's event record) and the agent's CPU time within the phase.
- unavailable: every request is answered 503. Reports when the agent asked for a code again (the
  retry schedule).

Usage: bench/hostile_relay.py [--velto build/release/velto] [--phase huge|expired|unavailable]
                              [--seconds 10] [--retry-seconds 100]
HOSTILE_RELAY_LOG=FILE keeps the agent's standard error in FILE.
"""

import argparse
import datetime
import http.server
import json
import os
import socket
import ssl
import subprocess
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUPPORT = os.path.join(ROOT, "tests", "support")
HUGE = 256 * 1024 * 1024


class Relay:
    def __init__(self, mode):
        self.mode = mode
        self.codes = []  # monotonic times of the code requests
        relay = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                self.rfile.read(length)
                if self.path == "/v1/pairing/code":
                    relay.codes.append(time.monotonic())
                relay.answer(self)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(SUPPORT, "relay-server.pem"),
                                os.path.join(SUPPORT, "relay-server-key.pem"))
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.thread = threading.Thread(target=self.server.serve_forever)
        self.thread.start()

    @property
    def origin(self):
        return f"https://127.0.0.1:{self.server.server_address[1]}"

    def answer(self, handler):
        if self.mode == "unavailable":
            self.send(handler, 503, b'{"error":{"code":"unavailable"}}')
        elif self.mode == "expired" and handler.path == "/v1/pairing/code":
            past = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(hours=1)
            self.send(handler, 200, json.dumps({
                "bootstrap_token": "bootstrap-token-of-the-bench",
                "device_id": "3f2504e0-4f89-41d3-9a0c-0305e82c3301",
                "code": "BENCH-0001",
                "expires_at": past.strftime("%Y-%m-%dT%H:%M:%S.000Z")}).encode())
        elif self.mode == "huge":
            handler.send_response(200)
            handler.send_header("Content-Type", "application/json")
            handler.send_header("Content-Length", str(HUGE))
            handler.send_header("Connection", "close")
            handler.end_headers()
            chunk = b" " * (1024 * 1024)
            try:
                for _ in range(HUGE // len(chunk)):
                    handler.wfile.write(chunk)
            except OSError:
                pass  # the agent hung up
        else:
            self.send(handler, 409, b'{"error":{"code":"pairing_pending"}}')

    @staticmethod
    def send(handler, status, body):
        handler.send_response(status)
        handler.send_header("Content-Type", "application/json")
        handler.send_header("Content-Length", str(len(body)))
        handler.send_header("Connection", "close")
        handler.end_headers()
        handler.wfile.write(body)

    def stop(self):
        self.server.shutdown()
        self.thread.join()


class Agent:
    def __init__(self, velto, home, relay):
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(home, "data"),
                   XDG_CONFIG_HOME=os.path.join(home, "config"), QT_QPA_PLATFORM="offscreen")
        self.control = os.path.join(home, "data", "Corvane", "sim", "control.sock")
        self.log = open(os.environ.get("HOSTILE_RELAY_LOG") or os.path.join(home, "stderr.txt"), "w")
        self.process = subprocess.Popen(
            [velto, "--headless", "--platform", "sim", "--relay", relay.origin,
             "--relay-ca", os.path.join(SUPPORT, "relay-ca.pem")],
            env=env, stdout=subprocess.DEVNULL, stderr=self.log)

    def status(self, field):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        return 0

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def keychain_operations(self):
        with socket.socket(socket.AF_UNIX) as connection:
            connection.connect(self.control)
            connection.sendall(b'{"cmd": "events"}\n')
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = connection.recv(1 << 20)
                if not chunk:
                    break
                answer += chunk
        return sum(1 for event in json.loads(answer)["events"] if event.get("kind") == "keychain")

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            print("  (the agent did not end within 30 s of SIGTERM; killed)")
            self.process.kill()
            self.process.wait()
        self.log.close()


def wait_for(condition, limit=60):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("the agent never asked the relay for a code")
        time.sleep(0.01)


def phase(velto, mode, seconds):
    relay = Relay(mode)
    with tempfile.TemporaryDirectory() as home:
        agent = Agent(velto, home, relay)
        try:
            wait_for(lambda: relay.codes)
            if mode == "huge":
                time.sleep(seconds)
                print(f"huge: peak resident {agent.status('VmHWM') / 2**20:.0f} MiB, "
                      f"resident after {seconds} s {agent.status('VmRSS') / 2**20:.0f} MiB, "
                      f"{len(relay.codes)} code requests")
            elif mode == "expired":
                keychain = agent.keychain_operations()
                cpu = agent.cpu_seconds()
                first = relay.codes[0]
                time.sleep(seconds)
                codes = sum(1 for t in relay.codes if t < first + seconds)
                print(f"expired: {codes} code requests and "
                      f"{agent.keychain_operations() - keychain} keychain operations in "
                      f"{seconds} s, {100 * (agent.cpu_seconds() - cpu) / seconds:.0f} % of a core")
            else:
                time.sleep(seconds)
                times = relay.codes
                gaps = ", ".join(f"{b - a:.1f}" for a, b in zip(times, times[1:]))
                print(f"unavailable: {len(times)} code requests in {seconds} s, "
                      f"seconds between them: {gaps or 'none'}; "
                      f"resident {agent.status('VmRSS') / 2**20:.0f} MiB")
        finally:
            agent.stop()
            relay.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--velto", default=os.path.join(ROOT, "build", "release", "velto"))
    parser.add_argument("--phase", choices=["huge", "expired", "unavailable"], action="append")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--retry-seconds", type=float, default=100)
    arguments = parser.parse_args()
    for mode in arguments.phase or ["huge", "expired", "unavailable"]:
        seconds = {"huge": 30, "expired": arguments.seconds,
                   "unavailable": arguments.retry_seconds}[mode]
        phase(arguments.velto, mode, seconds)


if __name__ == "__main__":
    main()
