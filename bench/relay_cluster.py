#!/usr/bin/env python3
"""Two relays on one PostgreSQL behind HAProxy: failover time and cross-relay round trips.

Runs the relay tests' cluster case (a PostgreSQL of its own, two velto-relay processes, HAProxy
in TCP mode, the headless agent on the simulated Mac) several times and reports, at p50 over
the runs:
  - failover: from the kill -9 of the relay holding the device's socket to the result of the
    device's next successful command (the lost command's lease running out, the agent's
    reconnection through the balancer to the other relay, one command there);
  - how long the command the dead relay held takes to end as "relay_lost" (its lease);
  - the same after a clean stop (SIGTERM) of that relay, which gives its lease up: how long its
    held command takes to end, and the failover to the next successful command;
  - how long a command whose *sending* relay was killed stays open in the audit before the
    relay left ends it as "relay_lost" (the sender's lease);
  - the dashboard's command round trip (sent, then polled until finished) across two relays
    and within one, each the p50 of 15 commands in one run.
Nothing is asserted; the figures are printed.

Usage: bench/relay_cluster.py [--tests build/dev/src/relay/VeltoRelayTests] [--runs 5]
"""

import argparse
import re
import statistics
import subprocess
import sys

FAILOVER = re.compile(r"failover: (\d+) ms")
LOST = re.compile(r"lost command ended (\d+) ms")
CLEAN_STOP = re.compile(r"clean stop: held command ended (\d+) ms, failover: (\d+) ms")
DEAD_SENDER = re.compile(r"dead sender's command ended (\d+) ms")
ROUND_TRIP = re.compile(r"round trip p50: (-?\d+) ms across two relays, (-?\d+) ms within one")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tests", default="build/dev/src/relay/VeltoRelayTests")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    failovers, lost, across, within = [], [], [], []
    clean_lost, clean_failovers, orphans = [], [], []
    for run in range(args.runs):
        done = subprocess.run([args.tests, "--gtest_filter=RelayCluster.*"],
                              capture_output=True, text=True, timeout=600)
        output = done.stdout + done.stderr
        if done.returncode != 0 or "[  SKIPPED ]" in output:
            print(f"run {run + 1}: the cluster case did not pass\n{output[-3000:]}",
                  file=sys.stderr)
            return 1
        failover = FAILOVER.search(output)
        trip = ROUND_TRIP.search(output)
        ended = LOST.search(output)
        clean = CLEAN_STOP.search(output)
        orphan = DEAD_SENDER.search(output)
        if failover is None or trip is None or ended is None or clean is None or orphan is None:
            print(f"run {run + 1}: no figures in the output", file=sys.stderr)
            return 1
        failovers.append(int(failover.group(1)))
        lost.append(int(ended.group(1)))
        across.append(int(trip.group(1)))
        within.append(int(trip.group(2)))
        clean_lost.append(int(clean.group(1)))
        clean_failovers.append(int(clean.group(2)))
        orphans.append(int(orphan.group(1)))
        print(f"run {run + 1}: failover {failovers[-1]} ms, lost command ended after "
              f"{lost[-1]} ms, round trip {across[-1]} ms across "
              f"two relays, {within[-1]} ms within one; clean stop: held command ended "
              f"{clean_lost[-1]} ms, failover {clean_failovers[-1]} ms; dead sender's command "
              f"ended {orphans[-1]} ms", flush=True)

    print(f"failover p50 over {args.runs} runs: {statistics.median(failovers):.0f} ms "
          f"(min {min(failovers)}, max {max(failovers)})")
    print(f"lost command ended p50: {statistics.median(lost):.0f} ms after the holder's death")
    print(f"after a clean stop: held command ended p50 {statistics.median(clean_lost):.0f} ms, "
          f"failover p50 {statistics.median(clean_failovers):.0f} ms "
          f"(min {min(clean_failovers)}, max {max(clean_failovers)})")
    print(f"dead sender's open command ended p50: {statistics.median(orphans):.0f} ms after "
          f"its death")
    print(f"command round trip p50: {statistics.median(across):.0f} ms across two relays, "
          f"{statistics.median(within):.0f} ms within one")
    return 0


if __name__ == "__main__":
    sys.exit(main())
