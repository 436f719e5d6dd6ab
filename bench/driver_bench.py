#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The two BMC drivers side by side on a simulated cluster on this machine.

For the OEM driver (BMCs with tavik's heartbeat firmware) and the standard driver (stock
ipmi_sim with the IPMI 2.0 watchdog module, driver = standard), measures:

  detection   how long after a failure of node3 its peers publish it offline (BMC killed,
              BMC frozen, host frozen, graceful stop), beside each driver's bound;
  cost        at 32 targets (8 nodes x 4 resources, default time-out and interval), the
              daemon's CPU time per check cycle (the library's watcher threads included,
              since they run inside the daemon) and each simulated BMC's CPU time;
  sessions    the sessions each BMC holds, from Get Session Info (App 0x3D) on that BMC,
              less the probe's own.

Reuses system_bench.py's log reading. Needs root, like every cluster. Writes one JSON
document to --out. Standard library only. Single-threaded.

  sudo bench/driver_bench.py [--out FILE] [--trials 3] [--seconds 30]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import system_bench as sb  # noqa: E402  (sets the path and environment for cluster.py)
from cluster import Cluster, wait_until  # noqa: E402

DRIVERS = ("oem", "standard")


def bounds(driver, hbto=4000, hbint=1000):
    """The bounds the docs derive; for the OEM driver system_bench.py's."""
    if driver == "oem":
        b = sb.bounds(hbto, hbint, 200)
        return {m: b[m]["bound_s"] for m in ("bmc_killed", "bmc_frozen", "host_frozen", "graceful_stop")}
    t = 1.0 if hbto <= 9999 else hbto // 10000
    p = min(1.0, t / 3)
    cycle = 1 + hbint / 1000
    access = hbto // 1000
    return {"bmc_killed": t + p + cycle, "bmc_frozen": t + p + cycle, "host_frozen": access + p + cycle,
            "graceful_stop": p + cycle}


def trial(driver, mode, bound):
    c = Cluster(nodes=3, hbto=4000, hbint=1000, slot=sb.next_slot(), standard=driver == "standard")
    try:
        c.start()
        if not wait_until(c.all_online, 30):
            raise RuntimeError("cluster did not come online")
        time.sleep(sb.random.uniform(0, 2))
        n1, n2, n3 = c.nodes
        t0 = time.time()
        sb.inject(mode, n3)
        try:
            seen = wait_until(lambda: all(v.status()[0][("hb1", n3.name)] == "offline" for v in (n1, n2)),
                              bound * 2 + 10, step=0.02)
        finally:
            sb.recover(mode, n3)
        if not seen:
            raise RuntimeError("%s/%s: node3 not seen offline" % (driver, mode))
        times = [sb.first_change(v, n3.name, "OFFLINE", t0) for v in (n1, n2)]
        return max(t - t0 for t in times if t is not None)
    finally:
        c.close()


def detection(trials):
    out = {}
    for driver in DRIVERS:
        out[driver] = {}
        for mode, bound in bounds(driver).items():
            lat = [trial(driver, mode, bound) for _ in range(trials)]
            out[driver][mode] = {"bound_s": bound, "trials_s": lat, "median_s": statistics.median(lat),
                                 "max_s": max(lat)}
            print("  %-8s %-13s median %.2f s, max %.2f s (bound %.2f s)"
                  % (driver, mode, statistics.median(lat), max(lat), bound), flush=True)
    return out


def sessions_on(node):
    """Active sessions on node's BMC, less the probe's own (Get Session Info, index 0)."""
    with open(os.path.join(node.dir, "bmc", "password")) as f:
        password = f.read().strip()
    p = subprocess.run([sb.cluster.IPMI_RAW, "-h", "%s:%d" % (node.addr, node.cluster.lan_port), "-u", "ipmiusr",
                        "-p", password, "-l", "admin", "--driver-type=LAN_2_0", "-W", "opensesspriv", "0", "0x06",
                        "0x3d", "0x00"], capture_output=True, text=True, timeout=30)
    words = p.stdout.split()
    if "rcvd:" not in words:
        raise RuntimeError("Get Session Info: " + p.stdout + p.stderr)
    # cmd, completion code, session handle, possible sessions, active sessions
    data = [int(w, 16) for w in words[words.index("rcvd:") + 1:]]
    return (data[4] & 0x3F) - 1


def cost(driver, seconds):
    c = Cluster(nodes=8, hbto=90000, hbint=3000, resources=("hb1", "hb2", "hb3", "hb4"), log_level=4,
                bmc_timeout_ms=2000, slot=sb.next_slot(), standard=driver == "standard")
    try:
        c.start()
        if not wait_until(c.all_online, 90, step=0.5):
            raise RuntimeError("%s: the 32-target cluster did not come online" % driver)
        time.sleep(8)
        daemons = [n.daemon_pid() for n in c.nodes]
        bmcs = [n.bmc_pid() for n in c.nodes]
        w0 = time.monotonic()
        d0, b0 = [sb.cpu_ns(p) for p in daemons], [sb.cpu_ns(p) for p in bmcs]
        time.sleep(seconds)
        wall = time.monotonic() - w0
        d1, b1 = [sb.cpu_ns(p) for p in daemons], [sb.cpu_ns(p) for p in bmcs]
        cycles = wall / 4.0  # 1 s before the poll + the 3 s interval
        per_cycle = [(b - a) / 1e6 / cycles for a, b in zip(d0, d1)]
        bmc_percent = [100 * (b - a) / 1e9 / wall for a, b in zip(b0, b1)]
        sessions = [sessions_on(n) for n in c.nodes]
        if not c.all_online():
            raise RuntimeError("%s: a pair left online during the measurement" % driver)
        return {"wall_s": wall, "targets": 32, "distinct_bmcs": 8,
                "daemon_cpu_ms_per_cycle_median": statistics.median(per_cycle),
                "daemon_cpu_ms_per_cycle_max": max(per_cycle),
                "bmc_cpu_percent_median": statistics.median(bmc_percent),
                "sessions_per_bmc": sessions}
    finally:
        c.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="driver_bench.json")
    parser.add_argument("--trials", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--no-detection", action="store_true", help="measure the cost only")
    args = parser.parse_args()
    why = sb.cluster.can_run()
    if why:
        sys.exit("driver_bench: cannot run a cluster here: " + why)
    if args.trials < 1 or args.seconds <= 0:
        sys.exit("driver_bench: --trials must be at least 1 and --seconds positive")
    result = {"machine": sb.machine()}
    if not args.no_detection:
        print("detection (%d trials each):" % args.trials, flush=True)
        result["detection"] = detection(args.trials)
    result["cost"] = {}
    for driver in DRIVERS:
        r = cost(driver, args.seconds)
        result["cost"][driver] = r
        print("  %-8s 32 targets: daemon CPU %.2f ms per cycle (median), BMC CPU %.3f %%, sessions per BMC %s"
              % (driver, r["daemon_cpu_ms_per_cycle_median"], r["bmc_cpu_percent_median"], r["sessions_per_bmc"]),
              flush=True)
    with open("/proc/loadavg") as f:
        result["machine"]["loadavg_after"] = f.read().split()[:3]
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    print("driver_bench: wrote %s" % args.out)


if __name__ == "__main__":
    main()
