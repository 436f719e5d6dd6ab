# SPDX-License-Identifier: GPL-3.0-or-later
"""Soak: a three-node cluster runs for a while with heartbeat datagrams lost at random on
every BMC, in stretches always shorter than the per-target time-out, so that no pair may
ever go offline. Every second every node's published states are read; at the end the
logs are counted. The run fails when any sample was not online (a state lost), a pair went
offline, a daemon was restarted or did not stop with status 0, or a sanitizer reported.

    python3 soak.py [--minutes M] [--seed S]     (scripts/soak.sh runs it from a build)

The loss on each BMC changes every PHASE_S seconds: PCT percent of the datagrams from each
peer, never for MAX ms or more in a row (the simulated BMC's loss hook); with a 200 ms
heartbeat period the longest silence is MAX + 200 ms, below the 1 s per-target time-out.
Single-threaded.
"""

import argparse
import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cluster  # noqa: E402
from cluster import Cluster, wait_until  # noqa: E402

PHASE_S = 20
LOSS_PCT = (10, 60)     # percent, chosen per phase and BMC
LOSS_MAX_MS = (200, 500)  # longest stretch of loss


def proc_status(pid):
    """(resident KiB, open descriptors, threads) of a process."""
    rss = threads = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, len(os.listdir("/proc/%d/fd" % pid)), threads


def log_lines(node, base):
    """Every line of a log of the node, over all its generations, oldest first."""
    text = ""
    for name in ["%s.%d" % (base, g) for g in range(5, 0, -1)] + [base]:
        text += node.log_text(name)
    return text.splitlines()


class Soak:
    def __init__(self, minutes, seed, out=print):
        self.minutes = minutes
        self.seed = seed
        self.random = random.Random(seed)
        self.say = out
        self.problems = []
        # The channel never rotates, so every line of the run stays countable.
        self.cluster = Cluster(nodes=3, hbto=4000, hbint=1000, period_ms=200, log_size=0,
                               slot=seed % 97)

    def set_loss(self, node):
        pct = self.random.randint(*LOSS_PCT)
        max_ms = self.random.randint(*LOSS_MAX_MS)
        cc, _ = node.bmc_raw(0x3E, 0x05, pct, max_ms & 0xFF, max_ms >> 8)
        if cc != 0:
            raise RuntimeError("%s: loss hook refused (cc %#x)" % (node.name, cc))
        return "%s %d%%/%dms" % (node.name, pct, max_ms)

    def run(self):
        c = self.cluster
        for n in c.nodes:
            n.start_bmc("--seed", str(self.seed * 10 + n.index))
            n.init_namespace()
        for n in c.nodes:
            n.start_daemon()
        if not wait_until(c.all_online, 60):
            raise RuntimeError("the cluster did not come online")
        pids = {n.name: n.daemon_pid() for n in c.nodes}
        first = {n.name: proc_status(pids[n.name]) for n in c.nodes}
        settled_lines = {n.name: len(log_lines(n, "tavik.log")) for n in c.nodes}
        self.say("soak: %d min, seed %d, cluster online; daemons %s" % (self.minutes, self.seed, pids))

        samples = lost = 0
        phases = 0
        start = time.monotonic()
        end = start + self.minutes * 60
        next_phase = start
        next_report = start + 60
        while time.monotonic() < end:
            now = time.monotonic()
            if now >= next_phase:
                self.say("soak: phase %d: %s" % (phases, ", ".join(self.set_loss(n) for n in c.nodes)))
                phases += 1
                next_phase = now + PHASE_S
            for v in c.nodes:
                for (rsc, node), state in v.status()[0].items():
                    samples += 1
                    if state != "online":
                        lost += 1
                        self.problems.append("%.1f s: %s sees %s/%s %s" % (now - start, v.name, rsc, node, state))
            if now >= next_report:
                self.say("soak: %.0f s, %d samples, %d not online" % (now - start, samples, lost))
                next_report += 60
            time.sleep(max(0.0, 1 - (time.monotonic() - now)))
        minutes = (time.monotonic() - start) / 60

        counters = {n.name: n.bmc_counters() for n in c.nodes}
        last = {}
        for n in c.nodes:
            if n.daemon_pid() != pids[n.name]:
                self.problems.append("%s: daemon restarted" % n.name)
            last[n.name] = proc_status(pids[n.name])
        statuses = {n.name: n.stop_daemon() for n in c.nodes}
        for name, status in statuses.items():
            if status != 0:
                self.problems.append("%s: stopped with status %s" % (name, status))

        figures = {"minutes": round(minutes, 2), "seed": self.seed, "phases": phases, "samples": samples,
                   "states_lost": lost, "nodes": {}}
        for n in c.nodes:
            lines = log_lines(n, "tavik.log")
            after = lines[settled_lines[n.name]:]
            events71 = len(n.events(71))
            online = sum("-> ONLINE" in ln for ln in lines)
            offline = sum("-> OFFLINE" in ln for ln in lines)
            if any("-> OFFLINE" in ln or "-> ONLINE" in ln for ln in after):
                self.problems.append("%s: a state changed during the soak" % n.name)
            figures["nodes"][n.name] = {
                "state_changes": online + offline, "online": online, "offline": offline,
                "status_changes": sum("status change to" in ln for ln in lines),
                "events_71": events71, "failed_calls": sum("failed" in ln for ln in after),
                "bmc": counters[n.name],
                "rss_kib": [first[n.name][0], last[n.name][0]], "fds": [first[n.name][1], last[n.name][1]],
                "threads": [first[n.name][2], last[n.name][2]], "exit": statuses[n.name]}
            if last[n.name][1] != first[n.name][1]:
                self.problems.append("%s: descriptors %d -> %d" % (n.name, first[n.name][1], last[n.name][1]))
        return figures

    def close(self):
        try:
            self.cluster.close()
        except cluster.SanitizerReport as e:
            self.problems.append(str(e))


def summary(f):
    lines = ["soak: %.1f min, %d loss phases, %d state samples, %d states lost"
             % (f["minutes"], f["phases"], f["samples"], f["states_lost"])]
    for name, n in f["nodes"].items():
        b = n["bmc"]
        lines.append("  %s: %d state changes (%d online, %d offline), %d events 71, %d failed calls; "
                     "BMC sent %d, received %d, dropped %d (%.1f%%); RSS %d->%d KiB, fds %d->%d"
                     % (name, n["state_changes"], n["online"], n["offline"], n["events_71"], n["failed_calls"],
                        b["sent"], b["received"], b["dropped"],
                        100.0 * b["dropped"] / max(1, b["received"] + b["dropped"]),
                        *n["rss_kib"], *n["fds"]))
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Soak a three-node cluster with datagram loss.")
    ap.add_argument("--minutes", type=float, default=10)
    ap.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args(argv)
    why = cluster.can_run()
    if why:
        print("soak: cannot run: " + why, file=sys.stderr)
        return 2
    soak = Soak(args.minutes, args.seed)
    figures = None
    try:
        figures = soak.run()
    except Exception as e:  # the cluster is closed below; the failure is the finding
        soak.problems.append("soak aborted: %r" % e)
    finally:
        soak.close()
    if figures:
        print(summary(figures))
        if args.json:
            with open(args.json, "w") as f:
                json.dump(figures, f, indent=2)
    for p in soak.problems[:50]:
        print("soak: PROBLEM: " + p)
    print("soak: %s (seed %d)" % ("FAILED" if soak.problems else "passed", args.seed))
    return 1 if soak.problems else 0


if __name__ == "__main__":
    sys.exit(main())
