#!/usr/bin/env python3
"""desktop_observe of a real window over AT-SPI, against the simulated Mac in the same run.

    bench/atspi_desktop.py [build/release/velto] [--rows N] [--runs N]

Starts a desktop of its own in a temporary folder: a virtual display with a window manager, a
session bus with the accessibility bus on it (at-spi2-core), a system bus with logind mocked. Then,
with desktop control consented to:

- on `--platform linux`: desktop_observe of the tests' GTK form with N rows (about 600 elements
  by default; the element count is reported), p50 and worst of the runs;
- on `--platform sim`: desktop_observe of the default scenario's front window, the same way;
- on both, the same again with the window's image (include_image);
- on both: the slowest get_state answered while the observations run, next to the slowest of a
  quiet second. The pipeline runs on the agent's main thread, so a main thread held by the walk
  shows as a slow answer; the quiet figure is the loopback round trip itself;
- on the desktop, the agent's main thread itself: bench/atspi_observe_bench (built with the
  release preset) runs the Linux backend and desktop control in its own process against the same
  form and reports the longest gap between ticks of a 1 ms timer on the main thread during each
  observation, and the longest stretch of main-thread CPU between two returns to its event loop.

Every process is stopped by process id at the end. Needs the packages scripts/setup installs and
a build with its test helpers (VeltoAtspiFormGtk beside the program's build tree).
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import linux_desktop  # noqa: E402  (the desktop of its own, the agent and percentiles)


def argument(name, default):
    return int(sys.argv[sys.argv.index(name) + 1]) if name in sys.argv else default


class Display:
    """Xvfb with openbox, and the accessibility bus on the desktop's session bus."""

    def __init__(self, desktop):
        xvfb = desktop.start(["Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                              "1024x768x24"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True)
        desktop.env["DISPLAY"] = ":" + xvfb.stdout.readline().strip()
        desktop.start(["openbox", "--sm-disable"], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
        desktop.start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        desktop.wait_for_name(desktop.session, "org.a11y.Bus")
        time.sleep(1)


def consent(desktop):
    folder = os.path.join(desktop.path("config"), "Corvane")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "defaults.ini"), "a") as file:
        file.write("[General]\ndesktop-control-consent-v1=b:true\n")


def form_entry(desktop, program):
    folder = os.path.join(desktop.path("data"), "applications")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "org.velto.FormGtk.desktop"), "w") as file:
        file.write(f"[Desktop Entry]\nType=Application\nName=Form\nExec={program}\n"
                   "StartupWMClass=VeltoAtspiFormGtk\n")


def observe_runs(agent, params, runs, patience=60):
    """Times of `runs` observations, the element count, and the slowest get_state meanwhile."""
    times, elements, done, refusals = [], 0, threading.Event(), {}
    slowest = [0.0]

    def poll():
        while not done.is_set():
            before = time.perf_counter()
            agent.call("get_state")
            slowest[0] = max(slowest[0], (time.perf_counter() - before) * 1000)

    # The first observation also waits for the window to come up and its tree to be made.
    deadline = time.monotonic() + patience
    while True:
        status, body = agent_call(agent, "desktop_observe", params)
        if status == 200 or time.monotonic() > deadline:
            break
        time.sleep(0.5)
    if status != 200:
        # Reported rather than timed (a window image this desktop cannot take, for one).
        return {"unavailable": body.get("error", {}).get("code", str(status))}
    poller = threading.Thread(target=poll)
    poller.start()
    try:
        for _ in range(runs):
            before = time.perf_counter()
            status, body = agent_call(agent, "desktop_observe", params)
            if status != 200:
                # A read past its time-out refuses the observation; counted, not timed.
                refusals[body.get("error", {}).get("code", "?")] = refusals.get(
                    body.get("error", {}).get("code", "?"), 0) + 1
                continue
            times.append((time.perf_counter() - before) * 1000)
            elements = len(body["result"]["elements"]) if "result" in body else len(
                body.get("elements", []))
    finally:
        done.set()
        poller.join()
    return {"elements": elements,
            "p50_ms": round(linux_desktop.percentile(times, 0.5), 1),
            "max_ms": round(max(times), 1),
            "refused": refusals,
            "slowest_get_state_meanwhile_ms": round(slowest[0], 1)}


def main_thread(desktop, program, params, runs):
    """The in-process figures of atspi_observe_bench, or why there are none."""
    if not os.path.exists(program):
        return {"skipped": f"{program} is missing (build the release preset's benchmarks)"}
    done = subprocess.run([program, params["bundle_id"], str(runs)], env=desktop.env,
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        return {"failed": done.stderr[-400:]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def agent_call(agent, action, params):
    """One command through the loopback API: its status and its JSON answer."""
    payload = json.dumps({"action": action, "params": params}).encode()
    request = (f"POST /v1/commands HTTP/1.1\r\nHost: 127.0.0.1:{agent.port}\r\n"
               f"Content-Type: application/json\r\nContent-Length: {len(payload)}\r\n"
               f"Authorization: Bearer {agent.token}\r\n\r\n").encode() + payload
    with socket.create_connection(("127.0.0.1", agent.port)) as connection:
        connection.sendall(request)
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), json.loads(body or b"{}")


def main():
    velto = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("--")
                            else "build/release/velto")
    form = os.path.join(os.path.dirname(velto), "src", "linuxdesktop", "VeltoAtspiFormGtk")
    in_process = os.path.join(os.path.dirname(velto), "bench", "atspi_observe_bench")
    rows, runs = argument("--rows", 560), argument("--runs", 20)
    results = {}
    with tempfile.TemporaryDirectory(prefix="velto-atspi-bench-") as folder:
        desktop = linux_desktop.Desktop(folder)
        try:
            desktop.populate()
            Display(desktop)
            consent(desktop)
            form_entry(desktop, form)
            for platform in ("linux", "sim"):
                agent = linux_desktop.Agent(velto, desktop, platform)
                agent.start()
                try:
                    if platform == "linux":
                        app = desktop.start([form, "--rows", str(rows)],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                        time.sleep(2)
                        params = {"bundle_id": "org.velto.FormGtk.desktop"}
                    else:
                        params = {}
                    quiet = linux_desktop.slowest_answer(agent, 1)
                    result = observe_runs(agent, params, runs)
                    result["slowest_get_state_quiet_ms"] = quiet["slowest_ms"]
                    results[platform] = result
                    results[platform + "_with_image"] = observe_runs(
                        agent, dict(params, include_image=True), runs, patience=10)
                    if platform == "linux":
                        results["linux_main_thread"] = main_thread(desktop, in_process, params,
                                                                   runs)
                        app.terminate()
                        app.wait(timeout=10)
                finally:
                    agent.stop()
        finally:
            desktop.stop()
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
