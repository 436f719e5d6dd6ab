#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Kept whole past 500 lines: its measurements share the cluster set-up, the address-slot
# counter and the log parsers, and run as one script whose results go into one JSON.
"""System benchmark of tavik on a simulated cluster on this machine.

Measures, with the release build's daemon, tavikctl and simulated BMCs (through
tests/e2e/cluster.py, so it needs root):

  detection   how long after a failure of node3 its peers publish it offline, for each
              way a failure is seen (BMC killed, BMC frozen, host frozen, graceful stop),
              over repeated trials, beside the bound the time-outs and the interval give;
  steady      the daemon's CPU time over a minute of steady running at the default
              interval (3000 ms) with 32 BMC targets (8 nodes x 4 resources), and its
              resident memory, with and without the memory lock;
  start-up    the time from the daemon's start to its SIGUSR1, and from SIGUSR2 to all
              pairs online.

Times come from the daemons' own log records (microsecond time stamps, the same clock as
this script's), taken right where a state is published; the time at which `tavikctl
status` first showed it from outside is kept beside them. Writes one JSON document (the
figures, the machine, and the log events of one detection for the timeline plot) to
--out. Standard library only. Single-threaded.

  sudo bench/system_bench.py [--out FILE] [--trials 5] [--steady-seconds 60]
"""
import argparse
import datetime
import json
import os
import random
import re
import signal
import socket
import statistics
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
os.environ.setdefault("TAVIK_BUILD", os.path.join(HERE, "..", "build", "release"))
os.environ.setdefault("TAVIK_SOURCE", os.path.join(HERE, ".."))

import cluster  # noqa: E402  (after the path and the environment are set)
from cluster import Cluster, wait_until  # noqa: E402

RECORD = re.compile(r"^(\S+) (\S+) (\S+)\[(\d+)/(\d+)\] (\S+):(\d+) (\S+): (.*)$")
STATE = re.compile(r"^rsc\((\S+)\)/node\((\S+)\((-?\d+)\)\) -> (ONLINE|OFFLINE)$")
STATUS = re.compile(r"^rsc\((\S+)\) status change to (\S+)$")
DUMP = re.compile(r"^blk:\[(\d+)\] tavikinfoget\[(\d+)\]\.ip:(\S+), stat\[0\]:(\S+), stat\[1\]:(\S+),")

_slot = [100]


def next_slot():
    """A fresh address block for every cluster, so no trial meets the last one's sockets."""
    _slot[0] += 1
    return _slot[0]


# ---- the daemons' logs ----

def log_records(node):
    """Every record of a node's channel, oldest first: (unix time, level, func, text)."""
    base = os.path.join(node.dir, "log", "tavik.log")
    out = []
    for path in ["%s.%d" % (base, i) for i in range(5, 0, -1)] + [base]:
        try:
            with open(path, errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        for line in lines:
            m = RECORD.match(line)
            if m:
                t = datetime.datetime.fromisoformat(m.group(1)).timestamp()
                out.append((t, m.group(2), m.group(8), m.group(9)))
    return out


def first_change(node, who, state, after):
    """Unix time of the first record in which node published (rsc, who) as state."""
    for t, _, _, text in log_records(node):
        m = STATE.match(text)
        if t >= after and m and m.group(2) == who and m.group(4) == state:
            return t
    return None


def ip_word(addr):
    """The address as the daemon's dump prints BMC_INFO_GET.ip (%#x of the 32-bit word)."""
    return "%#x" % struct.unpack("=I", socket.inet_aton(addr))[0]


def timeline(c, t0, before, after):
    """The events of every node's log within [t0 - before, t0 + after], relative to t0."""
    names = {ip_word(n.addr): n.name for n in c.nodes}
    out = {}
    for n in c.nodes:
        ev = {"polls": [], "bmc_failed": [], "states": [], "statuses": [], "timeouts": []}
        initial = {}
        for t, _, func, text in log_records(n):
            rel = t - t0
            if rel < -before:
                m = STATE.match(text)
                if m:
                    initial[m.group(2)] = m.group(4).lower()
                m = STATUS.match(text)
                if m:
                    initial["status"] = m.group(2).lower()
                continue
            if rel > after:
                break
            m = DUMP.match(text)
            if m and m.group(3) in names:
                ev["polls"].append([rel, names[m.group(3)], int(m.group(4), 16), int(m.group(5), 16)])
                continue
            if text.startswith("bmc_") and " failed" in text:
                ev["bmc_failed"].append(rel)  # a request the BMC did not answer
                continue
            m = STATE.match(text)
            if m:
                ev["states"].append([rel, m.group(2), m.group(4).lower()])
                continue
            m = STATUS.match(text)
            if m:
                ev["statuses"].append([rel, m.group(2).lower()])
                continue
            if text.startswith("**TIMEOUT"):
                ev["timeouts"].append(rel)
        ev["initial"] = initial
        out[n.name] = ev
    return out


# ---- detection ----

def bounds(hbto, hbint, period_ms):
    """The detection bounds of one configuration, with how each follows from the cycle."""
    tavikto = hbto // 10 if hbto > 9999 else 1000
    t = tavikto // 1000                 # per-target time-out programmed into the BMC, s
    poll = 1 + hbint / 1000             # one cycle: 1 s before the poll, then the pause
    access = hbto // 1000               # BMC access time-out, s
    p = period_ms / 1000                # simulated BMC's heartbeat period, s
    eff = (hbto + 999) // 1000          # effective time-out of the watch thread (ratio 1), s
    return {
        "per_target_timeout_s": t, "cycle_s": poll, "access_timeout_s": access, "heartbeat_period_s": p,
        "effective_timeout_s": eff,
        "bmc_killed": {"bound_s": t + poll,
                       "derivation": "per-target time-out %d s (the peers' BMCs clear bit 0 at most that long after "
                                     "the last datagram) + one cycle %.0f s (1 s before the poll, %d ms pause) "
                                     "until the next poll" % (t, poll, hbint)},
        "bmc_frozen": {"bound_s": t + poll,
                       "derivation": "as for a killed BMC: a frozen BMC sends no datagram; %d s + %.0f s" % (t, poll)},
        "host_frozen": {"bound_s": access + p + poll,
                        "derivation": "access time-out %d s after the frozen daemon's last status (sent at the start "
                                      "of a cycle, so at most that long after the freeze) + up to one heartbeat "
                                      "period %.1f s until the BMC notices the lapse and announces the host dead + "
                                      "one cycle %.0f s until the peers' next poll" % (access, p, poll)},
        "graceful_stop": {"bound_s": poll,
                          "derivation": "the stopping daemon's check thread sends status 0x82 at once (it ends at "
                                        "its sleep), its BMC announces the host dead at once; the peers see it at "
                                        "their next poll, at most one cycle %.0f s later" % poll},
    }


def inject(mode, victim):
    if mode == "bmc_killed":
        victim.kill_bmc()
    elif mode == "bmc_frozen":
        victim.freeze_bmc()
    elif mode == "host_frozen":
        os.kill(victim.daemon_pid(), signal.SIGSTOP)
    elif mode == "graceful_stop":
        if victim.stop_daemon() != 0:
            raise RuntimeError("the daemon did not stop with status 0")


def recover(mode, victim):
    if mode == "bmc_frozen":
        victim.thaw_bmc()
    elif mode == "host_frozen":
        pid = victim.daemon_pid()
        if pid:
            os.kill(pid, signal.SIGCONT)


def detection_trial(mode, hbto, hbint, bound, keep_timeline):
    c = Cluster(nodes=3, hbto=hbto, hbint=hbint, slot=next_slot())
    try:
        c.start()
        if not wait_until(c.all_online, 30):
            raise RuntimeError("cluster did not come online")
        # A random phase against the victim's and the viewers' cycles; the trial that is
        # plotted first lets a few cycles of steady heartbeats pass.
        time.sleep(random.uniform(0, 1 + hbint / 1000) + (5 if keep_timeline else 0))
        n1, n2, n3 = c.nodes
        t0 = time.time()
        inject(mode, n3)
        try:
            seen = wait_until(lambda: all(v.status()[0][("hb1", n3.name)] == "offline" for v in (n1, n2)),
                              bound * 2 + 10, step=0.02)
            observed = time.time() - t0
        finally:
            recover(mode, n3)
        if not seen:
            raise RuntimeError("%s: node3 not seen offline within %.0f s" % (mode, bound * 2 + 10))
        viewers = {}
        for v in (n1, n2):
            t = first_change(v, n3.name, "OFFLINE", t0)
            viewers[v.name] = None if t is None else t - t0
        trial = {"viewers": viewers, "observed_s": observed,
                 "latency_s": max(x for x in viewers.values() if x is not None)}
        if keep_timeline:
            # Let the plotted window end before the logs are read, so the victim's own
            # view (its watch thread timing its peers out) is in it too.
            time.sleep(max(0.0, t0 + bound + 4 - time.time()))
            trial["timeline"] = {"t0": t0, "nodes": timeline(c, t0, 6, bound + 4)}
        return trial
    finally:
        c.close()


def detection(trials, hbto, hbint, period_ms):
    b = bounds(hbto, hbint, period_ms)
    out = {"settings": {"nodes": 3, "hbto_ms": hbto, "hbint_ms": hbint, "heartbeat_period_ms": period_ms},
           "derived": {k: v for k, v in b.items() if not isinstance(v, dict)}, "modes": {}}
    for mode in ("bmc_killed", "bmc_frozen", "host_frozen", "graceful_stop"):
        runs = []
        for i in range(trials):
            r = detection_trial(mode, hbto, hbint, b[mode]["bound_s"], keep_timeline=(mode == "bmc_killed" and i == 0))
            print("  %-13s trial %d: %.2f s (observed from outside %.2f s; bound %.1f s)"
                  % (mode, i + 1, r["latency_s"], r["observed_s"], b[mode]["bound_s"]), flush=True)
            runs.append(r)
        lat = [r["latency_s"] for r in runs]
        out["modes"][mode] = dict(b[mode], trials=runs, median_s=statistics.median(lat), max_s=max(lat),
                                  min_s=min(lat))
    return out


# ---- the daemon's cost ----

def cpu_ns(pid):
    """CPU time of every thread of pid, from the scheduler's nanosecond accounting."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
            total += int(f.read().split()[0])
    return total


def cpu_ticks(pid):
    """utime + stime of the process (exited threads included), in clock ticks."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def memory_kib(pid):
    """VmRSS, VmHWM, VmLck and VmSize, and how the resident pages divide: Pss (shared
    pages counted by their share), Private_Dirty (the daemon's own), Shared_Clean
    (library code that other processes map too)."""
    out = {}
    for name, keys in (("status", ("VmRSS", "VmHWM", "VmLck", "VmSize")),
                       ("smaps_rollup", ("Pss", "Private_Dirty", "Shared_Clean"))):
        with open("/proc/%d/%s" % (pid, name)) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in keys:
                    out[key] = int(value.split()[0])
    return out


def thirty_two_target_cluster(**options):
    """8 nodes x 4 resources: each daemon programs 32 targets (every node once per
    resource, its own included), at the default time-out, interval, log level and BMC
    library time-out."""
    c = Cluster(nodes=8, hbto=90000, hbint=3000, resources=("hb1", "hb2", "hb3", "hb4"), log_level=4,
                bmc_timeout_ms=2000, slot=next_slot(), **options)
    c.start()
    if not wait_until(c.all_online, 90, step=0.5):
        c.close()
        raise RuntimeError("the 32-target cluster did not come online")
    return c


def targets_of(node):
    for _, _, _, text in log_records(node):
        m = re.match(r"current target ip:(\d+), current block:(\d+)", text)
        if m:
            return int(m.group(1)), int(m.group(2))
    return None, None


def steady(seconds):
    c = thirty_two_target_cluster(mlock=False)
    try:
        time.sleep(8)  # two cycles past the start, so nothing of it is counted
        pids = [n.daemon_pid() for n in c.nodes]
        w0 = time.monotonic()
        ns0 = [cpu_ns(p) for p in pids]
        tk0 = [cpu_ticks(p) for p in pids]
        time.sleep(seconds)
        wall = time.monotonic() - w0
        ns1 = [cpu_ns(p) for p in pids]
        tk1 = [cpu_ticks(p) for p in pids]
        hz = os.sysconf("SC_CLK_TCK")
        daemons = []
        for n, p, a, b, ta, tb in zip(c.nodes, pids, ns0, ns1, tk0, tk1):
            cpu = (b - a) / 1e9
            targets, blocks = targets_of(n)
            daemons.append({"node": n.name, "cpu_s": cpu, "cpu_percent": 100 * cpu / wall,
                            "cpu_ticks_percent": 100 * (tb - ta) / hz / wall, "targets": targets, "blocks": blocks,
                            "memory_kib": memory_kib(p)})
        if not c.all_online():
            raise RuntimeError("a pair left online during the steady minute")
        cpus = [d["cpu_percent"] for d in daemons]
        return {"wall_s": wall, "hbto_ms": 90000, "hbint_ms": 3000, "log_level": 4, "bmc_timeout_ms": 2000,
                "nodes": 8, "resources": 4, "daemons": daemons,
                "cpu_percent_median": statistics.median(cpus), "cpu_percent_max": max(cpus),
                "cycle_s": 4.0}
    finally:
        c.close()


# ---- steady CPU, split by thread and into the BMC library ----

# The BMC library's usage counters (platform/bmc/usage.h): CPU ns inside its entry points,
# sessions opened, then requests by command, App netfn (0x06) and OEM netfn (0x30).
USAGE_SYMBOL = "zvrbmc_usage"
METER_VARIABLE = "TAVIK_BMC_CPU_METER"  # the BMC library meters its CPU time only when set
USAGE_LEN = 8 * (2 + 2 * 256)


def usage_offset(library):
    """Offset of the library's usage counters from its load address (its symbol table)."""
    out = subprocess.run(["nm", library], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2] == USAGE_SYMBOL:
            return int(parts[0], 16)
    raise RuntimeError("%s has no symbol %s" % (library, USAGE_SYMBOL))


def bmc_usage(pid):
    """The BMC library's counters in process pid, read from its memory: (cpu ns, sessions,
    {"0x06/0x01": n, "0x30/0x33": n, ...})."""
    base, path = None, None
    with open("/proc/%d/maps" % pid) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 6 and os.path.basename(fields[5]).startswith("libzvrbmc.so") and fields[2] == "00000000":
                base, path = int(fields[0].split("-")[0], 16), fields[5]
                break
    if base is None:
        raise RuntimeError("process %d has no libzvrbmc mapped" % pid)
    with open("/proc/%d/mem" % pid, "rb") as f:
        f.seek(base + usage_offset(path))
        raw = f.read(USAGE_LEN)
    words = struct.unpack("=%dQ" % (USAGE_LEN // 8), raw)
    requests = {}
    for i, netfn in enumerate((0x06, 0x30)):
        for cmd in range(256):
            n = words[2 + i * 256 + cmd]
            if n:
                requests["%#04x/%#04x" % (netfn, cmd)] = n
    return words[0], words[1], requests


def wakeups(pid):
    """Context switches of every thread of pid: how often its threads went to sleep or were
    put off the CPU, so (nearly) how often they woke up."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
            for line in f:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
    return total


def idle_wakeup_us(count=20, period=0.25):
    """CPU time this machine charges one thread for a timed wake-up that does nothing else
    (bench_wakeup, a C++ loop of sleeps: the interpreter's own wake-ups cost several times
    more); takes count x period seconds."""
    tool = os.path.join(os.environ["TAVIK_BUILD"], "bench", "bench_wakeup")
    out = subprocess.run([tool, str(count), str(int(period * 1000))], check=True, capture_output=True,
                         text=True).stdout
    return float(out)


def syscalls(pid, seconds):
    """System calls of every thread of pid over seconds, by name (strace -c -f), or None
    without strace. strace slows the calls it counts, so it runs after the CPU window."""
    if not shutil.which("strace"):
        return None
    p = subprocess.run(["timeout", "-s", "INT", str(seconds), "strace", "-c", "-f", "-q", "-p", str(pid)],
                       capture_output=True, text=True)
    counts = {}
    for line in p.stderr.splitlines():
        f = line.split()
        # % time, seconds, usecs/call, calls, [errors,] syscall
        if len(f) >= 5 and f[3].isdigit() and not line.lstrip().startswith(("%", "-")) and f[-1] != "total":
            counts[f[-1]] = int(f[3])
    return counts


def thread_cpu_ns(pid):
    """CPU ns of each thread of pid by role: main, signal, and the worker threads in the
    order they were created (the check thread first, then the watch thread)."""
    tids = sorted(int(t) for t in os.listdir("/proc/%d/task" % pid))
    out, workers = {}, []
    for tid in tids:
        with open("/proc/%d/task/%d/schedstat" % (pid, tid)) as f:
            ns = int(f.read().split()[0])
        with open("/proc/%d/task/%d/comm" % (pid, tid)) as f:
            comm = f.read().strip()
        if tid == pid:
            out["main"] = ns
        elif comm == "tavik-signal":
            out["signal"] = ns
        else:
            workers.append(ns)
    for name, ns in zip(("check", "watch"), workers):
        out[name] = ns
    for i, ns in enumerate(workers[2:]):
        out["thread%d" % (i + 3)] = ns
    return out


def bmc_driver(node):
    with open(node.env()["TAVIK_BMC_CONF"]) as f:
        for line in f:
            key, _, value = line.partition("=")
            if key.strip() == "driver":
                return value.strip()
    return "unknown"


STEADY_SETTINGS = (
    ("end-to-end settings", {"hbto": 4000, "hbint": 1000, "bmc_timeout_ms": 1000, "log_level": 4}),
    ("defaults", {"hbto": 90000, "hbint": 3000, "bmc_timeout_ms": 2000, "log_level": 4}),
)


def steady_cpu(label, seconds, nodes=3, **settings):
    """Steady CPU of each daemon of a cluster of `nodes` (one resource), per thread and
    inside the BMC library, with the BMC requests it sent, its system calls and its memory.
    Only node1's BMC library meters its own CPU time (two system calls per call into it), so
    the others show what a daemon costs without the meter."""
    c = Cluster(nodes=nodes, slot=next_slot(), **settings)
    try:
        c.nodes[0].extra_env[METER_VARIABLE] = "1"
        c.start()
        if not wait_until(c.all_online, 60, step=0.5):
            raise RuntimeError("%s: the cluster did not come online" % label)
        cycle_s = 1 + settings["hbint"] / 1000
        time.sleep(2 * cycle_s + 1)  # past the start-up and the first cycles
        pids = [n.daemon_pid() for n in c.nodes]
        w0 = time.monotonic()
        t0 = [thread_cpu_ns(p) for p in pids]
        u0 = [bmc_usage(p) for p in pids]
        k0 = [wakeups(p) for p in pids]
        idle_us = idle_wakeup_us(count=max(1, int(seconds * 2)), period=0.5)  # as long as the run
        wall = time.monotonic() - w0
        t1 = [thread_cpu_ns(p) for p in pids]
        u1 = [bmc_usage(p) for p in pids]
        k1 = [wakeups(p) for p in pids]
        traced_s = 5 * cycle_s
        calls = syscalls(pids[-1], traced_s)
        if not c.all_online():
            raise RuntimeError("%s: a pair left online during the steady run" % label)
        daemons = []
        for i, (n, p, a, b, ua, ub, ka, kb) in enumerate(zip(c.nodes, pids, t0, t1, u0, u1, k0, k1)):
            threads = {k: (b[k] - a.get(k, 0)) / 1e9 for k in b}
            total = sum(threads.values())
            metered = i == 0
            lib = (ub[0] - ua[0]) / 1e9
            cycles = wall / cycle_s
            req = {k: (v - ua[2].get(k, 0)) / cycles for k, v in ub[2].items() if v - ua[2].get(k, 0)}
            daemons.append({"node": n.name, "metered": metered, "cpu_s": total, "cpu_percent": 100 * total / wall,
                            "threads_percent": {k: 100 * v / wall for k, v in threads.items()},
                            "bmc_library_percent": 100 * lib / wall if metered else None,
                            "own_percent": 100 * (total - lib) / wall if metered else None,
                            "sessions_per_cycle": (ub[1] - ua[1]) / cycles, "requests_per_cycle": req,
                            "wakeups_per_s": (kb - ka) / wall,
                            "memory_kib": memory_kib(p)})
        plain = [d for d in daemons if not d["metered"]]
        split = [d for d in daemons if d["metered"]]
        cpus = [d["cpu_percent"] for d in plain]
        med = lambda key, ds: statistics.median(d[key] for d in ds)  # noqa: E731
        out = dict(settings, label=label, nodes=nodes, resources=1, wall_s=wall, cycle_s=cycle_s,
                   driver=bmc_driver(c.nodes[0]), daemons=daemons, cpu_percent_median=statistics.median(cpus),
                   cpu_percent_max=max(cpus), metered_cpu_percent=med("cpu_percent", split),
                   bmc_library_percent_median=med("bmc_library_percent", split),
                   own_percent_median=med("own_percent", split), wakeups_per_s_median=med("wakeups_per_s", plain),
                   idle_wakeup_us=idle_us,
                   pss_kib_median=statistics.median(d["memory_kib"]["Pss"] for d in daemons),
                   rss_kib_median=statistics.median(d["memory_kib"]["VmRSS"] for d in daemons))
        if calls is not None:
            out["syscalls_per_cycle"] = {k: v * cycle_s / traced_s for k, v in calls.items()}
            out["syscalls_node"] = c.nodes[-1].name
        return out
    finally:
        c.close()


def steady_cpu_all(seconds):
    out = []
    for label, settings in STEADY_SETTINGS:
        r = steady_cpu(label, seconds, **settings)
        print("  %-20s CPU %.4f %% of one core (median of %d unmetered daemons), max %.4f %%; metered daemon "
              "%.4f %% (own %.4f %%, BMC library %.4f %%); PSS %d KiB, VmRSS %d KiB; %.1f wake-ups/s at %.0f us "
              "each when idle"
              % (label, r["cpu_percent_median"], r["nodes"] - 1, r["cpu_percent_max"], r["metered_cpu_percent"],
                 r["own_percent_median"], r["bmc_library_percent_median"], r["pss_kib_median"], r["rss_kib_median"],
                 r["wakeups_per_s_median"], r["idle_wakeup_us"]),
              flush=True)
        print("  %-20s requests per cycle: %s; sessions per cycle %.2f; system calls per cycle: %s"
              % ("", ", ".join("%s %.2f" % kv for kv in sorted(r["daemons"][0]["requests_per_cycle"].items())),
                 r["daemons"][0]["sessions_per_cycle"],
                 ", ".join("%s %.1f" % kv for kv in sorted(r.get("syscalls_per_cycle", {}).items(),
                                                          key=lambda kv: -kv[1]))), flush=True)
        out.append(r)
    return out


def memory(label, **options):
    c = thirty_two_target_cluster(**options)
    try:
        time.sleep(8)
        mems = [memory_kib(n.daemon_pid()) for n in c.nodes]
        locked = sum(1 for n in c.nodes if "mlockall() failed" in n.log_text())
        rss = [m["VmRSS"] for m in mems]
        hwm = [m["VmHWM"] for m in mems]
        out = {"label": label, "options": options, "daemons": mems, "mlock_failures": locked,
               "rss_kib_median": statistics.median(rss), "rss_kib_max": max(rss),
               "hwm_kib_median": statistics.median(hwm), "hwm_kib_max": max(hwm)}
        for key in ("VmLck", "Pss", "Private_Dirty", "Shared_Clean"):
            out[key + "_kib_median"] = statistics.median(m.get(key, 0) for m in mems)
        return out
    finally:
        c.close()


# ---- start-up ----

def startup_trial():
    c = Cluster(nodes=3, hbto=4000, hbint=1000, slot=next_slot())
    try:
        for n in c.nodes:
            n.start_bmc()
        for n in c.nodes:
            n.init_namespace()
        to_usr1 = []
        for n in c.nodes:
            t = time.monotonic()
            if not n.start_daemon_direct().await_ready(10):
                raise RuntimeError("%s: no SIGUSR1 from the daemon" % n.name)
            to_usr1.append((time.monotonic() - t) * 1000)
        # Start-up done (the watch thread is the last step) before the start signal goes.
        if not wait_until(lambda: all("bwatchth:" in n.log_text() for n in c.nodes), 10):
            raise RuntimeError("daemons did not finish their start-up")
        time.sleep(0.5)
        t2 = time.time()
        for n in c.nodes:
            os.kill(n.daemon_pid(), signal.SIGUSR2)
        if not wait_until(c.all_online, 30, step=0.02):
            raise RuntimeError("pairs not online after SIGUSR2")
        observed = time.time() - t2
        last = 0.0
        for v in c.nodes:
            for who in c.nodes:
                t = first_change(v, who.name, "ONLINE", t2)
                if t is None:
                    raise RuntimeError("%s never logged %s online" % (v.name, who.name))
                last = max(last, t - t2)
        return {"sigusr1_ms": to_usr1, "online_s": last, "observed_s": observed}
    finally:
        c.close()


def startup(trials):
    runs = []
    for i in range(trials):
        r = startup_trial()
        print("  start-up trial %d: SIGUSR1 after %s ms; SIGUSR2 to all online %.2f s"
              % (i + 1, ", ".join("%.1f" % x for x in r["sigusr1_ms"]), r["online_s"]), flush=True)
        runs.append(r)
    usr1 = [x for r in runs for x in r["sigusr1_ms"]]
    online = [r["online_s"] for r in runs]
    return {"nodes": 3, "hbto_ms": 4000, "hbint_ms": 1000, "trials": runs,
            "sigusr1_ms_median": statistics.median(usr1), "sigusr1_ms_max": max(usr1),
            "online_s_median": statistics.median(online), "online_s_max": max(online)}


# ---- the machine ----

def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/loadavg") as f:
        load = f.read().split()[:3]
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": os.uname().release, "machine": os.uname().machine,
            "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"), "loadavg": load}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="system_bench.json")
    parser.add_argument("--trials", type=int, default=5, help="trials per way of failing, and of start-up")
    parser.add_argument("--steady-seconds", type=float, default=60)
    parser.add_argument("--hbto", type=int, default=4000, help="time-out of the detection cluster, ms")
    parser.add_argument("--hbint", type=int, default=1000, help="interval of the detection cluster, ms")
    parser.add_argument("--steady-cpu-only", action="store_true",
                        help="only the steady CPU of 3 daemons at the end-to-end settings and the defaults")
    args = parser.parse_args()
    why = cluster.can_run()
    if why:
        sys.exit("system_bench: cannot run a cluster here: " + why)
    if args.trials < 1 or args.steady_seconds <= 0:
        sys.exit("system_bench: --trials must be at least 1 and --steady-seconds positive")
    result = {"machine": machine()}
    if args.steady_cpu_only:
        print("steady CPU, 3 daemons, %.0f s each:" % args.steady_seconds, flush=True)
        result["steady_cpu"] = steady_cpu_all(args.steady_seconds)
        return write_result(result, args.out)
    print("detection (%d trials each, hbto %d ms, hbint %d ms):" % (args.trials, args.hbto, args.hbint), flush=True)
    result["detection"] = detection(args.trials, args.hbto, args.hbint, 200)
    print("steady running, %.0f s:" % args.steady_seconds, flush=True)
    result["steady"] = steady(args.steady_seconds)
    print("  CPU %.4f %% of one core (median of 8 daemons), max %.4f %%"
          % (result["steady"]["cpu_percent_median"], result["steady"]["cpu_percent_max"]), flush=True)
    print("memory:", flush=True)
    result["memory"] = [
        dict(memory("memory not locked", mlock=False)),
        dict(memory("memory locked (mlock yes)", mlock=True)),
        dict(memory("memory locked, worker stacks 256 KiB", mlock=True, stacksize=262144)),
    ]
    for m in result["memory"]:
        print("  %-40s VmRSS %d KiB, VmHWM %d KiB (medians)" % (m["label"], m["rss_kib_median"], m["hwm_kib_median"]),
              flush=True)
    print("steady CPU, 3 daemons, %.0f s each:" % args.steady_seconds, flush=True)
    result["steady_cpu"] = steady_cpu_all(args.steady_seconds)
    print("start-up (%d trials):" % args.trials, flush=True)
    result["startup"] = startup(args.trials)
    write_result(result, args.out)


def write_result(result, path):
    with open("/proc/loadavg") as f:
        result["machine"]["loadavg_after"] = f.read().split()[:3]
    with open(path, "w") as f:
        json.dump(result, f, indent=1)
    print("system_bench: wrote %s" % path)


if __name__ == "__main__":
    main()
