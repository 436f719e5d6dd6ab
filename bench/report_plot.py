# SPDX-License-Identifier: GPL-3.0-or-later
"""The timeline plot of docs/performance.md: one detection, with the heartbeats, the pair
states and the resource status of each node against time. Needs matplotlib (Debian:
python3-matplotlib), imported only when a plot is drawn."""

STATE_COLOURS = {"online": "#2ca02c", "offline": "#d62728"}
STATUS_COLOURS = {"normal": "#2ca02c", "caution": "#ff7f0e", "error": "#d62728", "unknown": "#7f7f7f",
                  "unused": "#c7c7c7"}


def segments(initial, changes, lo, hi):
    """[(start, end, value)] covering [lo, hi] from an initial value and (time, value)."""
    out = []
    t, v = lo, initial
    for when, value in changes:
        if when < lo:
            v = value
            continue
        if value != v:
            out.append((t, when, v))
            t, v = when, value
    out.append((t, hi, v))
    return [s for s in out if s[2] is not None and s[1] > s[0]]


def plot(system, png):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    det = system["detection"]
    mode = det["modes"]["bmc_killed"]
    trial = next(t for t in mode["trials"] if "timeline" in t)
    nodes = trial["timeline"]["nodes"]
    names = sorted(nodes)
    victim = names[-1]
    bound = mode["bound_s"]
    lo, hi = -6.0, bound + 4.0
    fig, axes = plt.subplots(len(names), 1, figsize=(11, 2.3 * len(names) + 1.2), sharex=True)
    for ax, viewer in zip(axes, names):
        ev = nodes[viewer]
        lanes = {n: i for i, n in enumerate(reversed(names))}
        status_y = len(names)
        # Published state of each pair: a band per lane.
        for who in names:
            changes = [(t, s) for t, n, s in ev["states"] if n == who]
            y = lanes[who]
            for a, b, v in segments(ev["initial"].get(who), changes, lo, hi):
                ax.add_patch(plt.Rectangle((a, y - 0.32), b - a, 0.64, color=STATE_COLOURS.get(v, "#cccccc"),
                                           alpha=0.22, linewidth=0))
        # Every poll's result per target: heartbeat seen, missed, or still collecting.
        for t, who, stat0, stat1 in ev["polls"]:
            if not lo <= t <= hi:
                continue
            y = lanes[who]
            if (stat0 >> 4) & 7 == 1:
                ax.plot(t, y, marker=".", color="#7f7f7f", markersize=7)
            elif (stat0 >> 4) & 7 != 0:
                continue
            elif stat1 & 3 == 3:
                ax.plot(t, y, marker="o", color="#2ca02c", markersize=6)
            else:
                ax.plot(t, y, marker="x", color="#d62728", markersize=8, markeredgewidth=2)
        for t in ev["bmc_failed"]:
            if lo <= t <= hi:
                for y in lanes.values():
                    ax.plot(t, y, marker="x", color="black", markersize=6, markeredgewidth=1.2)
        # The resource's status, as the viewer published it.
        changes = [(t, s) for t, s in ev["statuses"]]
        for a, b, v in segments(ev["initial"].get("status"), changes, lo, hi):
            ax.add_patch(plt.Rectangle((a, status_y - 0.32), b - a, 0.64, color=STATUS_COLOURS.get(v, "#cccccc"),
                                       alpha=0.55, linewidth=0))
            if b - a > 0.6:
                ax.text(a + 0.05, status_y, v, va="center", ha="left", fontsize=8)
        for t in ev["timeouts"]:
            ax.plot(t, status_y - 0.45, marker="v", color="#9467bd", markersize=8)
        for t, who, s in ev["states"]:
            if s == "offline" and 0 <= t <= hi and (who == victim or viewer == victim):
                what = "%s offline" % who if viewer != victim else "watch thread: pairs offline"
                ax.axvline(t, color="#d62728", linewidth=1, linestyle=":")
                ax.text(t + 0.05, -0.75, "%s +%.2f s" % (what, t), fontsize=8, color="#d62728")
                break
        ax.axvspan(0, bound, color="#ffdd57", alpha=0.18, linewidth=0)
        ax.axvline(0, color="black", linewidth=1.2, linestyle="--")
        ax.set_yticks(list(lanes.values()) + [status_y])
        ax.set_yticklabels(["pair (hb1, %s)" % n for n in lanes] + ["hb1 status"], fontsize=8)
        ax.set_ylim(-1.0, status_y + 0.6)
        ax.set_title("as %s sees it" % viewer + (" (its own BMC was killed)" if viewer == victim else ""),
                     fontsize=9, loc="left")
        ax.grid(axis="x", alpha=0.3)
    axes[-1].set_xlim(lo, hi)
    axes[-1].set_xlabel("seconds after %s's BMC was killed (dashed line); shaded: the bound of %.1f s" % (victim, bound))
    s = det["settings"]
    fig.suptitle("One detection: %s's BMC killed (hbto %d ms, hbint %d ms, heartbeat period %d ms)"
                 % (victim, s["hbto_ms"], s["hbint_ms"], s["heartbeat_period_ms"]), fontsize=11)
    legend = [Line2D([], [], marker="o", color="#2ca02c", linestyle="", label="poll: heartbeat seen"),
              Line2D([], [], marker="x", color="#d62728", linestyle="", markeredgewidth=2,
                     label="poll: heartbeat missed"),
              Line2D([], [], marker=".", color="#7f7f7f", linestyle="", label="poll: still collecting"),
              Line2D([], [], marker="x", color="black", linestyle="", label="BMC request failed"),
              Line2D([], [], marker="v", color="#9467bd", linestyle="", label="watch thread time-out"),
              Patch(color=STATE_COLOURS["online"], alpha=0.3, label="pair online"),
              Patch(color=STATE_COLOURS["offline"], alpha=0.3, label="pair offline"),
              Patch(color="#ffdd57", alpha=0.3, label="within the bound")]
    fig.legend(handles=legend, loc="lower center", ncol=4, fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0.07, 1, 0.96))
    fig.savefig(png, dpi=110)
    plt.close(fig)
