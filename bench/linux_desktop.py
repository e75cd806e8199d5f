#!/usr/bin/env python3
"""What the agent costs on a Linux desktop, against the simulated Mac in the same run.

    bench/linux_desktop.py [build/release/velto] [--idle SECONDS]

Starts a desktop of its own in a temporary folder, as the Linux desktop tests do: a system bus
with logind and UPower mocked (python3-dbusmock), a session bus with a keyring, PulseAudio with a
null sink. Then, for the headless agent on `--platform linux` and on `--platform sim`:

- get_state through the loopback API (p50, p99);
- the agent's idle CPU (percent of one core) and resident memory;
- on the desktop only: the loopback API's slowest answer while a lock waits on a logind that takes
  2 s to answer (a main thread held by the call would answer no request meanwhile), next to the
  slowest answer of 2 quiet seconds.

Every service is stopped by process id at the end. Needs the packages scripts/setup installs.
"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import velto_bench  # noqa: E402  (the loopback client and percentiles are shared)

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:path={folder}/{name}.socket</listen>
<auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>
"""


class Desktop:
    def __init__(self, folder):
        self.folder = folder
        self.children = []
        for sub in ("home", "data", "config", "cache", "run"):
            os.makedirs(self.path(sub), mode=0o700)
        self.env = dict(os.environ, HOME=self.path("home"), XDG_DATA_HOME=self.path("data"),
                        XDG_CONFIG_HOME=self.path("config"), XDG_CACHE_HOME=self.path("cache"),
                        XDG_RUNTIME_DIR=self.path("run"), XDG_SESSION_ID="c7",
                        PULSE_SERVER="unix:" + self.path("run") + "/native",
                        QT_QPA_PLATFORM="offscreen")
        self.system = self.bus("system")
        self.session = self.bus("session")
        self.env.update(DBUS_SYSTEM_BUS_ADDRESS=self.system, DBUS_SESSION_BUS_ADDRESS=self.session)

    def path(self, name):
        return os.path.join(self.folder, name)

    def start(self, arguments, **options):
        child = subprocess.Popen(arguments, env=self.env, **options)
        self.children.append(child)
        return child

    def bus(self, name):
        config = self.path(name + ".conf")
        with open(config, "w") as file:
            file.write(BUS_CONFIG.format(folder=self.folder, name=name))
        daemon = self.start(["dbus-daemon", f"--config-file={config}", "--nofork",
                             "--print-address=1"], stdout=subprocess.PIPE, text=True)
        return daemon.stdout.readline().strip()

    def gdbus(self, address, destination, path, method, *arguments):
        return subprocess.run(["gdbus", "call", "--address", address, "--dest", destination,
                               "--object-path", path, "--method", method, *arguments],
                              env=self.env, check=True, capture_output=True, text=True).stdout

    def wait_for_name(self, address, name):
        for _ in range(200):
            owned = self.gdbus(address, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus.NameHasOwner", name)
            if "true" in owned:
                return
            time.sleep(0.05)
        raise RuntimeError(f"{name} never appeared")

    def mock(self, template, name, parameters=None):
        arguments = ["/usr/bin/python3", "-m", "dbusmock", "--template", template]
        if parameters:
            arguments += ["--parameters", parameters]
        self.start(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wait_for_name(self.system, name)

    def populate(self):
        login1 = "org.freedesktop.login1"
        self.mock("logind", login1)
        self.gdbus(self.system, login1, "/org/freedesktop/login1",
                   "org.freedesktop.DBus.Mock.AddSession", "c7", "seat0",
                   f"uint32 {os.getuid()}", "person", "true")
        # A logind that takes 2 s to lock, and then says so.
        self.gdbus(self.system, login1, "/org/freedesktop/login1/session/c7",
                   "org.freedesktop.DBus.Mock.AddMethod", "org.freedesktop.login1.Session",
                   "Lock", "", "",
                   "import time; time.sleep(2); self.UpdateProperties("
                   "'org.freedesktop.login1.Session', {'LockedHint': dbus.Boolean(True)})")
        upower = "org.freedesktop.UPower"
        self.mock("upower", upower, '{"OnBattery": true}')
        self.gdbus(self.system, upower, "/org/freedesktop/UPower",
                   "org.freedesktop.DBus.Mock.SetupDisplayDevice", "uint32 2", "uint32 2",
                   "42.0", "20.0", "48.0", "10.0", "int64 3600", "int64 0", "true", "''",
                   "uint32 1")
        keyring = self.start(["gnome-keyring-daemon", "--foreground", "--unlock",
                              "--components=secrets"], stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        keyring.stdin.write(b"\n")
        keyring.stdin.close()
        self.wait_for_name(self.session, "org.freedesktop.secrets")
        self.start(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                    "--use-pid-file=no", "-L",
                    f"module-native-protocol-unix socket={self.path('run')}/native "
                    "auth-anonymous=1", "-L", "module-null-sink sink_name=bench"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=self.env,
                              capture_output=True).returncode == 0:
                return
            time.sleep(0.1)
        raise RuntimeError("the sound server never answered")

    def stop(self):
        for child in reversed(self.children):
            if child.poll() is None:
                child.terminate()
        for child in self.children:
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                child.kill()


class Agent:
    def __init__(self, velto, desktop, platform):
        self.velto, self.desktop, self.platform = velto, desktop, platform

    def start(self):
        self.process = self.desktop.start([self.velto, "--headless", "--platform", self.platform],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                          text=True)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            line = self.process.stderr.readline()
            if not line:
                break
            found = re.match(r"listening: 127\.0\.0\.1:(\d+)", line)
            if found:
                self.port = int(found.group(1))
                threading.Thread(target=self.process.stderr.read, daemon=True).start()
                api = json.loads(subprocess.check_output(
                    [self.velto, "local-api", "--platform", self.platform, "--json"],
                    env=self.desktop.env))
                self.token = api["token"]
                return
        raise RuntimeError(f"the agent on {self.platform} did not start listening")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=30)

    def call(self, action, params=None):
        return velto_bench.Agent.call(self, {"action": action, "params": params or {}})

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_mib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1)) / 1024


def percentile(values, fraction):
    return velto_bench.percentile(sorted(values), fraction)


def get_state_times(agent, count=200):
    for _ in range(10):
        agent.call("get_state")
    times = []
    for _ in range(count):
        before = time.perf_counter()
        if agent.call("get_state") != 200:
            raise RuntimeError("get_state failed")
        times.append((time.perf_counter() - before) * 1000)
    return {"p50_ms": round(percentile(times, 0.5), 2), "p99_ms": round(percentile(times, 0.99), 2)}


def idle(agent, seconds):
    time.sleep(3)
    before, started = agent.cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    used, wall = agent.cpu_seconds() - before, time.monotonic() - started
    return {"cpu_percent_of_one_core": round(100 * used / wall, 3),
            "rss_mib": round(agent.rss_mib(), 1)}


def slowest_answer(agent, seconds):
    """The slowest of the loopback answers in `seconds` with nothing else going on."""
    slowest, answered, end = 0.0, 0, time.monotonic() + seconds
    while time.monotonic() < end:
        before = time.perf_counter()
        agent.call("list_apps")
        slowest = max(slowest, (time.perf_counter() - before) * 1000)
        answered += 1
    return {"answers": answered, "slowest_ms": round(slowest, 1)}


def answers_while_logind_is_slow(agent):
    """The slowest loopback answer while lock_screen waits 2 s on logind."""
    locking = threading.Thread(target=agent.call, args=("lock_screen",))
    locking.start()
    time.sleep(0.1)
    slowest, answered = 0.0, 0
    while locking.is_alive():
        before = time.perf_counter()
        agent.call("list_apps")  # answers from the agent, even while the lock runs
        slowest = max(slowest, (time.perf_counter() - before) * 1000)
        answered += 1
    locking.join()
    return {"answers_during_the_2_s_lock": answered, "slowest_ms": round(slowest, 1)}


def main():
    velto = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("--")
                            else "build/release/velto")
    seconds = int(sys.argv[sys.argv.index("--idle") + 1]) if "--idle" in sys.argv else 30
    results = {}
    with tempfile.TemporaryDirectory(prefix="velto-desktop-bench-") as folder:
        desktop = Desktop(folder)
        try:
            desktop.populate()
            for platform in ("linux", "sim"):
                agent = Agent(velto, desktop, platform)
                agent.start()
                try:
                    result = {"get_state": get_state_times(agent), "idle": idle(agent, seconds)}
                    if platform == "linux":
                        result["quiet_2_s"] = slowest_answer(agent, 2)
                        result["slow_logind"] = answers_while_logind_is_slow(agent)
                    results[platform] = result
                finally:
                    agent.stop()
        finally:
            desktop.stop()
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
