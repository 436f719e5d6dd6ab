# SPDX-License-Identifier: GPL-3.0-or-later
"""The steady CPU part of docs/performance.md: three daemons at each of the settings of
STEADY_CPU_TARGETS, their targets, why a missed one was missed (from the run's own
breakdown of threads, library, wake-ups and system calls), and the tables."""

# Steady CPU of one daemon of a three-node cluster, by the settings it runs with.
STEADY_CPU_TARGETS = {"end-to-end settings": 0.02, "defaults": 0.01}

def steady_cpu_targets(runs, rows, misses):
    for r in runs:
        target = STEADY_CPU_TARGETS.get(r["label"])
        if target is None:
            continue
        ok = r["cpu_percent_max"] <= target
        plain = sum(1 for d in r["daemons"] if not d.get("metered"))
        rows.append(("steady CPU, 3 nodes, %s" % r["label"], "at most %.2f%% of one core" % target,
                     "%.4f%% (median of %d daemons), max %.4f%%" % (r["cpu_percent_median"], plain,
                                                                   r["cpu_percent_max"]), ok))
        if not ok:
            misses.append(steady_cpu_miss(r))


def steady_cpu_miss(r):
    """Why a steady CPU target was missed, from the run's own breakdown."""
    wake = r["wakeups_per_s_median"]
    floor = wake * r["idle_wakeup_us"] / 1e4  # percent of one core
    per_cycle = r["cpu_percent_median"] * 1e4 * r["cycle_s"]  # us
    calls = r.get("syscalls_per_cycle", {})
    text = ("- **Steady CPU, %s**: %.4f%% of one core at most, %.0f us of CPU time per %.0f-s cycle. The "
            "metered daemon (%.4f%% in all) spent %.4f%% in its own threads and %.4f%% in the BMC library. %.1f thread "
            "wake-ups a second, each of which costs this machine %.0f us even for a thread that does nothing "
            "else (bench_wakeup beside the run), make %.4f%% by themselves; the daemon's cycle fixes their "
            "number: the check thread's 1-s sleep and its pause, the watch thread's pause once per interval, "
            "and one wait for each of the 3 BMC answers a cycle needs."
            % (r["label"], r["cpu_percent_max"], per_cycle, r["cycle_s"], r["metered_cpu_percent"],
               r["own_percent_median"], r["bmc_library_percent_median"], wake, r["idle_wakeup_us"], floor))
    target = STEADY_CPU_TARGETS.get(r["label"])
    if target is not None and floor >= target:
        text += (" Those wake-ups alone are over the target of %.2f%%: on this machine no work done at them "
                 "could meet it." % target)
    if calls:
        top = sorted(calls.items(), key=lambda kv: -kv[1])
        text += (" %.0f system calls a cycle (%s; counted with strace on %s): each request is FreeIPMI's "
                 "open, read and close of /dev/urandom for the packet's IV, its sendto, poll and recvfrom; "
                 "each sleep a futex wait and wake." % (sum(calls.values()),
                                                       ", ".join("%s %.0f" % kv for kv in top if kv[1] >= 0.5),
                                                       r.get("syscalls_node", "one daemon")))
    return text + (" The rest of the library's share is FreeIPMI's work per request: building and checking "
                   "the packet's fields, AES-CBC-128 and HMAC-SHA1 of cipher suite 3.")


def steady_cpu_section(runs, w):
    if not runs:
        return
    first = runs[0]
    w("### Three nodes, by settings")
    w("")
    w("%d nodes, one resource (each daemon programs 3 targets in one block), driver `%s`, each setting on a"
      % (first["nodes"], first["driver"]))
    w("fresh cluster; after two settling cycles, %.0f s of every thread's CPU time (`/proc/PID/task/TID/"
      % first["wall_s"])
    w("schedstat`). The BMC library's share is its own count: started with `TAVIK_BMC_CPU_METER` set, it")
    w("adds the calling thread's CPU time (`CLOCK_THREAD_CPUTIME_ID`) spent inside each of its entry points")
    w("to a counter, which the benchmark reads from the daemon's memory (`/proc/PID/mem` at the address of")
    w("the library's `zvrbmc_usage` symbol); the daemon's own is the rest. Reading the clock takes two system")
    w("calls per entry point, so only node1 is metered (marked *) and the targets are judged on the others.")
    w("Requests by command and sessions opened come from the same counters (always kept). PSS")
    w("(`/proc/PID/smaps_rollup`) counts each shared page by its share, so it is what one more daemon costs")
    w("the node; VmRSS counts the shared libraries whole.")
    w("")
    w("| settings | daemon | CPU, of one core | own threads | BMC library | check / watch thread | "
      "requests per cycle | sessions per cycle | wake-ups per s | PSS | VmRSS |")
    w("|---|---|---|---|---|---|---|---|---|---|---|")
    pct = lambda v: "" if v is None else "%.4f%%" % v  # noqa: E731
    for r in runs:
        settings = "%s: time-out %d ms, interval %d ms, `timeout_ms` %d, log level %d" % (
            r["label"], r["hbto"], r["hbint"], r["bmc_timeout_ms"], r["log_level"])
        for i, d in enumerate(r["daemons"]):
            th = d["threads_percent"]
            req = d["requests_per_cycle"]
            w("| %s | %s%s | %.4f%% | %s | %s | %.4f%% / %.4f%% | %.1f (%s) | %.2f | %.1f | %d KiB | %d KiB |" % (
                settings if i == 0 else "", d["node"], " *" if d.get("metered") else "", d["cpu_percent"],
                pct(d["own_percent"]), pct(d["bmc_library_percent"]), th.get("check", 0), th.get("watch", 0),
                sum(req.values()), ", ".join("%s %.1f" % (k.split("/")[1], v) for k, v in sorted(req.items())),
                d["sessions_per_cycle"], d["wakeups_per_s"], d["memory_kib"]["Pss"], d["memory_kib"]["VmRSS"]))
    w("")
    w("A cycle of these daemons: status (0x33), one target block (0x31), one status page (0x32), all")
    w("on the session the library keeps; the check thread's share includes the BMC library's.")
    w("docs/bmc-protocol.md says why each request remains and what the session keeping rests on.")
    if any("syscalls_per_cycle" in r for r in runs):
        w("")
        w("System calls per cycle of one unmetered daemon, every thread (strace -c -f over five cycles after")
        w("the CPU window; strace slows the calls it counts, so it does not overlap the CPU figures):")
        w("")
        w("| settings | per cycle | by call |")
        w("|---|---|---|")
        for r in runs:
            calls = r.get("syscalls_per_cycle")
            if calls:
                w("| %s | %.1f | %s |" % (r["label"], sum(calls.values()), ", ".join(
                    "%s %.1f" % kv for kv in sorted(calls.items(), key=lambda kv: -kv[1]))))
    w("")
