#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How long the daemon takes from SIGUSR1 to its exit while both worker threads sleep.

Runs the daemon linked with the fake platform libraries (tavik-fake) the way its parent
would: starts it, waits for its SIGUSR1, lets start-up reach the joins and settle, sends
SIGUSR1 and times until the process has been reaped. Prints every run and the median.
Single-threaded; uses a private temporary directory per run.

  bench/stop_latency.py [--daemon build/release/tests/process/tavik-fake] [--runs 20]
"""
import argparse
import json
import os
import random
import shutil
import signal
import socket
import statistics
import sys
import tempfile
import time


def scenario():
    host = socket.gethostname().split(".")[0]
    return {
        "config": {
            "/root/heartbeat/tavik@hb1/device": 0,
            f"/root/server@{host}/device@0/info": "127.0.1.1",
            "/root/server@peer/device@0/info": "127.0.1.2",
        },
        "nodes": [[host, 1], ["peer", 2]],
        "resources": [["hb1", 1]],
    }


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return False


def one_run(daemon, settle):
    work = tempfile.mkdtemp(prefix="tavik-stop-")
    try:
        path = os.path.join(work, "scenario.json")
        trace = os.path.join(work, "trace")
        with open(path, "w") as f:
            json.dump(scenario(), f)
        env = dict(os.environ, TAVIK_FAKE_SCENARIO=path, TAVIK_FAKE_TRACE=trace)
        pid = os.fork()
        if pid == 0:
            signal.pthread_sigmask(signal.SIG_SETMASK, [])
            os.execve(daemon, ["tavik"], env)
        try:
            info = signal.sigtimedwait([signal.SIGUSR1], 5)
            if info is None or info.si_pid != pid:
                raise RuntimeError("no SIGUSR1 from the daemon")

            def up():
                try:
                    with open(trace) as t:
                        return "bwatchth:" in t.read()
                except FileNotFoundError:
                    return False

            if not wait_for(up, 5):
                raise RuntimeError("daemon did not reach its joins")
            # Both workers are in their sleeps by now; the jitter spreads SIGUSR1 over
            # the phase of their cycles.
            time.sleep(settle + random.uniform(0, 0.1))
            start = time.monotonic_ns()
            os.kill(pid, signal.SIGUSR1)
            _, status = os.waitpid(pid, 0)
            elapsed_ms = (time.monotonic_ns() - start) / 1e6
            pid = 0
            if os.waitstatus_to_exitcode(status) != 0:
                raise RuntimeError(f"daemon ended with {os.waitstatus_to_exitcode(status)}")
            return elapsed_ms
        finally:
            if pid:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--daemon", default=os.path.join(here, "..", "build", "release", "tests", "process",
                                                         "tavik-fake"))
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--settle", type=float, default=0.35, help="least seconds between start-up and SIGUSR1 (0.1 s of jitter is added)")
    args = parser.parse_args()
    if not os.access(args.daemon, os.X_OK):
        sys.exit(f"stop_latency: no daemon binary at {args.daemon} (build the release preset first)")
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR1])
    times = []
    for i in range(args.runs):
        ms = one_run(args.daemon, args.settle)
        times.append(ms)
        print(f"run {i + 1:2d}: {ms:7.2f} ms")
    print(f"median {statistics.median(times):.2f} ms, min {min(times):.2f} ms, max {max(times):.2f} ms "
          f"over {len(times)} runs")


if __name__ == "__main__":
    main()
