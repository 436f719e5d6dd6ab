# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end: three nodes with real libraries, simulated BMCs and tavikctl run; every
check reads the published states from outside through `tavikctl status --json`."""

import os
import signal
import time
import unittest

import cluster
from cluster import Cluster, wait_until

SKIP = cluster.can_run()
HBTO = 4000  # ms: per-target time-out 1 s, access time-out 4 s, effective time-out 4 s
HBINT = 1000


def report(name, seconds, bound):
    print("\n%s: %.2f s (bound %.1f s)" % (name, seconds, bound), flush=True)


@unittest.skipIf(SKIP, SKIP or "")
class ClusterTest(unittest.TestCase):
    slot = 0

    def setUp(self):
        ClusterTest.slot += 1
        self.cluster = Cluster(nodes=3, hbto=HBTO, hbint=HBINT, slot=ClusterTest.slot, **self.options())
        self.addCleanup(self.cluster.close)

    def options(self):
        return {}

    def start_and_settle(self):
        t0 = time.monotonic()
        self.cluster.start()
        self.assertTrue(wait_until(self.cluster.all_online, 30), self.views())
        return time.monotonic() - t0

    def views(self):
        lines = []
        for n in self.cluster.nodes:
            try:
                states, statuses, _ = n.status()
                lines.append("%s sees %s %s" % (n.name, states, statuses))
            except Exception as e:  # a view that cannot be read is part of the story
                lines.append("%s: %s" % (n.name, e))
        return "\n".join(lines)

    def peers_see(self, who, state, viewers, rsc="hb1"):
        return all(v.status()[0][(rsc, who.name)] == state for v in viewers)

    def time_until_peers_see(self, who, state, viewers, timeout):
        t0 = time.monotonic()
        ok = wait_until(lambda: self.peers_see(who, state, viewers), timeout)
        self.assertTrue(ok, "%s not %s after %.0f s\n%s" % (who.name, state, timeout, self.views()))
        return time.monotonic() - t0


class Detection(ClusterTest):
    def test_all_pairs_online_and_resources_normal_after_start(self):
        took = self.start_and_settle()
        report("start to all pairs online", took, 30)
        for n in self.cluster.nodes:
            self.assertIn("START: hbcheckbmc", n.log_text())

    def test_killed_bmc_is_seen_offline_and_resources_in_caution(self):
        self.start_and_settle()
        n1, n2, n3 = self.cluster.nodes
        n3.kill_bmc()
        took = self.time_until_peers_see(n3, "offline", [n1, n2], 15)
        # Bound: the per-target time-out (1 s), then at most one cycle (1 s sleep + poll + 1 s pause).
        report("BMC killed to offline", took, 1 + 3)
        self.assertLess(took, 8)
        for v in (n1, n2):
            self.assertEqual(v.status()[1]["hb1"], "caution")

    def test_frozen_bmc_is_seen_offline(self):
        self.start_and_settle()
        n1, n2, n3 = self.cluster.nodes
        n3.freeze_bmc()
        took = self.time_until_peers_see(n3, "offline", [n1, n2], 15)
        report("BMC frozen to offline", took, 1 + 3)
        n3.thaw_bmc()

    def test_frozen_host_is_seen_offline_after_the_access_time_out(self):
        self.start_and_settle()
        n1, n2, n3 = self.cluster.nodes
        pid = n3.daemon_pid()
        os.kill(pid, signal.SIGSTOP)
        try:
            took = self.time_until_peers_see(n3, "offline", [n1, n2], 20)
        finally:
            os.kill(pid, signal.SIGCONT)
        # Bound: the access time-out (4 s), then one cycle.
        report("host frozen to offline", took, 4 + 3)
        self.assertGreater(took, 2, "a frozen host must not be seen before its access time-out")

    def test_graceful_stop_reaches_the_peers_at_once(self):
        self.start_and_settle()
        n1, n2, n3 = self.cluster.nodes
        t0 = time.monotonic()
        self.assertEqual(n3.stop_daemon(), 0)
        took = self.time_until_peers_see(n3, "offline", [n1, n2], 10)
        report("graceful stop to offline", time.monotonic() - t0, 3)
        self.assertLess(took, 6)


class Restart(ClusterTest):
    def test_killed_daemon_is_restarted_in_resume_mode_without_a_flap(self):
        self.start_and_settle()
        n1, n2, n3 = self.cluster.nodes
        first = n2.daemon_pid()
        os.kill(first, signal.SIGKILL)
        seen = set()

        def restarted():
            states, _, _ = n2.status()
            seen.update(states.values())
            pid = n2.daemon_pid()
            return pid not in (None, first) and "change mode to resume" in n2.log_text()

        self.assertTrue(wait_until(restarted, 20, step=0.02), self.views())
        # Keep watching through the restarted daemon's start-up and first cycles.
        deadline = time.monotonic() + 4
        while time.monotonic() < deadline:
            seen.update(n2.status()[0].values())
            time.sleep(0.02)
        self.assertEqual(seen, {"online"}, "node2's view flapped during its restart")
        self.assertTrue(self.cluster.all_online())


class Ratio(ClusterTest):
    def watch_timeout(self, ratio):
        self.start_and_settle()
        n1 = self.cluster.nodes[0]
        n1.ctl("set", "ratio", str(ratio), "--name", n1.namespace)
        n1.freeze_bmc()  # polls fail: only the watch thread can take pairs offline
        t0 = time.monotonic()
        try:
            ok = wait_until(lambda: all(s == "offline" for (r, node), s in n1.status()[0].items()
                                        if node != n1.name), 10 * ratio + 10)
            took = time.monotonic() - t0
        finally:
            n1.thaw_bmc()
        self.assertTrue(ok, self.views())
        return took

    def test_watch_thread_times_out_after_the_effective_time_out(self):
        took = self.watch_timeout(1)
        report("local BMC frozen to offline (ratio 1)", took, 4 + 1)
        self.assertGreater(took, 2)

    def test_ratio_scales_the_time_out(self):
        took = self.watch_timeout(3)
        report("local BMC frozen to offline (ratio 3)", took, 12 + 1)
        self.assertGreater(took, 9)


class NoWatch(ClusterTest):
    def options(self):
        return {"watchth": 0}

    def test_without_the_watch_thread_nothing_times_out(self):
        self.start_and_settle()
        n1 = self.cluster.nodes[0]
        n1.freeze_bmc()
        try:
            time.sleep(HBTO / 1000 * 2 + 2)
            states = n1.status()[0]
        finally:
            n1.thaw_bmc()
        self.assertEqual(set(states.values()), {"online"})
        self.assertIn("bwatchth: 0", n1.log_text())


if __name__ == "__main__":
    unittest.main()
