#!/usr/bin/env python3
"""What hostile or broken clients cost a running velto-relay, with real TLS clients.

Starts the relay (--relay, default build/release/velto-relay) on a fresh data folder and runs:
  handshakes  CLIENTS clients that reject the certificate, then CLIENTS connections that send
              the first bytes of a handshake and close, each lot at once; the time of one page
              load after each lot;
  silent      300 connections that never send a byte (from 127.0.0.2), then one page load;
  frame       a WebSocket upgrade that declares a 1.9 GiB frame and sends up to 256 MiB of it:
              the relay's resident memory before, at the peak and after, and the close code;
  trickle     a 16 KB head announcing a 64 KiB body, then one byte per TLS record every
              millisecond for SECONDS: the relay's CPU seconds meanwhile, and one page load
              during it.
Prints the figures as JSON.

Usage: bench/relay_abuse.py [--relay PATH] [--clients 35] [--seconds 10] [--only NAME]
"""

import argparse
import json
import os
import re
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Relay:
    def __init__(self, program):
        self.home = tempfile.TemporaryDirectory()
        self.process = subprocess.Popen(
            [program, "--data", os.path.join(self.home.name, "relay"), "--port", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        lines = []
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("relay ended: " + "".join(lines))
            lines.append(line)
            if "certificate SHA-256" in line:
                break
        text = "".join(lines)
        self.port = int(re.search(r"listening on https://[^ ]+:(\d+)", text).group(1))
        self.certificate = re.search(r"certificate (/\S+)", text).group(1)
        threading.Thread(target=self.process.stdout.read, daemon=True).start()

    def trusting(self):
        context = ssl.create_default_context(cafile=self.certificate)
        context.check_hostname = False
        return context

    def page_load_seconds(self, limit=30):
        """Seconds until GET / answered, None when it did not within `limit`."""
        started = time.monotonic()
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=limit) as raw:
                with self.trusting().wrap_socket(raw) as tls:
                    tls.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                    answer = b""
                    while True:
                        chunk = tls.recv(65536)
                        if not chunk:
                            break
                        answer += chunk
            if not answer.startswith(b"HTTP/1.1 200"):
                return None
        except (OSError, ssl.SSLError):
            return None
        return round(time.monotonic() - started, 3)

    def stop(self):
        self.process.kill()
        self.process.wait()


def handshakes(relay, clients):
    def doubt():
        try:
            with socket.create_connection(("127.0.0.1", relay.port), timeout=5) as raw:
                ssl.create_default_context().wrap_socket(raw, server_hostname="127.0.0.1")
        except (OSError, ssl.SSLError):
            pass

    threads = [threading.Thread(target=doubt) for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    time.sleep(1)
    after_doubters = relay.page_load_seconds()
    leavers = []
    for _ in range(clients):
        connection = socket.create_connection(("127.0.0.1", relay.port))
        connection.sendall(b"\x16\x03\x01")
        leavers.append(connection)
    time.sleep(0.5)
    for connection in leavers:
        connection.close()
    time.sleep(1)
    return {"clients": clients, "page_load_after_rejecting_clients_s": after_doubters,
            "page_load_after_leavers_s": relay.page_load_seconds()}


def silent(relay):
    held = []
    for _ in range(300):
        connection = socket.socket()
        connection.bind(("127.0.0.2", 0))
        connection.connect(("127.0.0.1", relay.port))
        held.append(connection)
    result = {"held": len(held), "page_load_s": relay.page_load_seconds()}
    for connection in held:
        connection.close()
    return result


def frame(relay):
    before = resident_kib(relay.process.pid)
    raw = socket.create_connection(("127.0.0.1", relay.port), timeout=30)
    tls = relay.trusting().wrap_socket(raw)
    tls.sendall(b"GET /v1/ws/device HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                b"Sec-WebSocket-Version: 13\r\n"
                b"X-Velto-Device-ID: 6F1C8E43-33D5-4A59-9C0B-3C4E2F0A1B2C\r\n\r\n")
    head = b""
    while b"\r\n\r\n" not in head:
        head += tls.recv(4096)
    declared = 0x79000000
    tls.sendall(b"\x82\xff" + struct.pack(">Q", declared) + b"\x00\x00\x00\x00")
    sent, peak, refused = 0, before, False
    chunk = b"\x00" * (1 << 20)
    try:
        while sent < (256 << 20):
            tls.sendall(chunk)
            sent += len(chunk)
            if sent % (16 << 20) == 0:
                peak = max(peak, resident_kib(relay.process.pid))
    except (OSError, ssl.SSLError):
        refused = True
    peak = max(peak, resident_kib(relay.process.pid))
    code = None
    try:
        tls.settimeout(2)
        rest = head.split(b"\r\n\r\n", 1)[1] + tls.recv(64)
        if len(rest) >= 4 and rest[0] == 0x88:
            code = struct.unpack(">H", rest[2:4])[0]
    except (OSError, ssl.SSLError):
        pass
    tls.close()
    time.sleep(2)
    return {"declared_bytes": declared, "sent_mib": sent >> 20, "refused_while_sending": refused,
            "close_code": code, "rss_before_kib": before, "rss_peak_kib": peak,
            "rss_after_kib": resident_kib(relay.process.pid)}


def trickle(relay, seconds):
    raw = socket.create_connection(("127.0.0.1", relay.port), timeout=30)
    tls = relay.trusting().wrap_socket(raw)
    head = (b"POST /v1/pairing/code HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: application/json\r\nContent-Length: 65536\r\nX-Fill: "
            + b"a" * 16000 + b"\r\n\r\n")
    tls.sendall(head)
    cpu_before = cpu_seconds(relay.process.pid)
    records = 0
    page = {}
    loader = threading.Thread(target=lambda: page.update(s=relay.page_load_seconds()))
    started = time.monotonic()
    try:
        while time.monotonic() - started < seconds:
            tls.sendall(b"x")
            records += 1
            time.sleep(0.001)
            if records == 1000:
                loader.start()
    except (OSError, ssl.SSLError):
        pass
    elapsed = time.monotonic() - started
    cpu = cpu_seconds(relay.process.pid) - cpu_before
    if loader.is_alive() or records >= 1000:
        loader.join()
    tls.close()
    return {"records": records, "seconds": round(elapsed, 2), "relay_cpu_s": round(cpu, 2),
            "page_load_s": page.get("s")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relay", default="build/release/velto-relay")
    parser.add_argument("--clients", type=int, default=35)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--only")
    options = parser.parse_args()
    results = {}
    for name, run in (("handshakes", lambda r: handshakes(r, options.clients)),
                      ("silent", silent), ("frame", frame),
                      ("trickle", lambda r: trickle(r, options.seconds))):
        if options.only and options.only != name:
            continue
        relay = Relay(options.relay)
        try:
            results[name] = run(relay)
        finally:
            relay.stop()
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
