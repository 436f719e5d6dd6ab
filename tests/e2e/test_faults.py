# SPDX-License-Identifier: GPL-3.0-or-later
"""Fault injection with the real parts: the real libraries, simulated BMCs, real shared
memory and real files, each fault made the way it happens on a machine (a file removed, a
segment overwritten, a BMC killed), and the daemon judged only from outside, by its exit
status, its log and event log, and the states it publishes.

Each class is one CTest test. Not thread-safe: one cluster per test, driven by the test.
"""

import os
import re
import shutil
import signal
import time
import unittest

import cluster
from cluster import Cluster, wait_until

SKIP = cluster.can_run()
EXIT_BOUND = 20  # s: a failing start-up ends at once, also under a sanitizer
HBTO = 4000  # ms, the cluster's heartbeat time-out: the BMCs' access time-out is 4 s


def report(name, value):
    print("\n%s: %s" % (name, value), flush=True)


@unittest.skipIf(SKIP, SKIP or "")
class FaultTest(unittest.TestCase):
    nodes = 3
    slot = 0

    def setUp(self):
        FaultTest.slot += 1
        self.cluster = Cluster(nodes=self.nodes, slot=FaultTest.slot, **self.options())
        self.addCleanup(self.cluster.close)

    def options(self):
        return {}

    def views(self):
        lines = []
        for n in self.cluster.nodes:
            try:
                lines.append("%s sees %s %s" % (n.name, *n.status()[:2]))
            except Exception as e:  # a view that cannot be read is part of the story
                lines.append("%s: %s" % (n.name, e))
        return "\n".join(lines)

    def settle(self, timeout=30):
        self.assertTrue(wait_until(self.cluster.all_online, timeout), self.views())


class StartFailures(FaultTest):
    """Start-up faults that end the daemon, each with its own status. The daemon runs
    directly under this test, which is its parent and sees its readiness signal."""
    nodes = 1

    def setUp(self):
        super().setUp()
        self.node = self.cluster.nodes[0]
        self.runs = 0

    def run_daemon(self, **env):
        """Runs the daemon to its end in a log folder of its own: (status, ready, log)."""
        self.runs += 1
        logdir = os.path.join(self.cluster.dir, "run%d" % self.runs)
        d = self.node.start_daemon_direct(TAVIK_LOG_DIR=logdir, **env)
        try:
            status = d.wait(EXIT_BOUND)
            ready = d.await_ready(0.5)
        finally:
            d.close()
        self.assertIsNotNone(status, "the daemon did not end within %d s" % EXIT_BOUND)
        try:
            with open(os.path.join(logdir, "tavik.log"), errors="replace") as f:
                log = f.read()
        except FileNotFoundError:
            log = None
        return status, ready, log

    def expect_ended(self, status, want, log, *lines):
        self.assertEqual(status, want, log)
        self.assertIsNotNone(log, "the log channel was open, so the log must exist")
        for line in (*lines, "tavik shutting down"):
            self.assertIn(line, log)

    def shm(self, suffix):
        return "/dev/shm/%s.%s" % (self.node.namespace, suffix)

    def test_missing_ipc_objects_end_with_status_1(self):
        cases = [  # (what is removed, the attach that fails, attachipc's result)
            (None, "sem_attach() failed(ret:5)", 1),
            ("sem.%s.statchange", "sem_attach() failed(ret:5)", 1),
            ("%s.cm", "shmcm_attach() failed(ret:5)", 2),
            ("%s.nm", "shmnm_attach() failed(ret:5)", 3),
        ]
        for removed, attach_line, ret in cases:
            with self.subTest(removed=removed or "the whole namespace"):
                if removed is None:
                    self.node.ctl("destroy", "--name", self.node.namespace, check=False)
                else:
                    self.node.init_namespace()
                    os.unlink("/dev/shm/" + removed % self.node.namespace)
                status, ready, log = self.run_daemon()
                self.expect_ended(status, 1, log, attach_line, "attachipc() failed(ret:%d)" % ret)
                self.assertTrue(ready, "the parent hears from the daemon before it attaches")
        report("IPC faults injected", len(cases))

    def test_corrupt_segment_is_refused_at_attach(self):
        cases = [("nm", "shmnm_attach() failed(ret:6)", 3), ("cm", "shmcm_attach() failed(ret:6)", 2)]
        for suffix, attach_line, ret in cases:
            with self.subTest(segment=suffix):
                self.node.init_namespace()
                with open(self.shm(suffix), "r+b") as f:
                    magic = f.read(4)
                    f.seek(0)
                    f.write(bytes(b ^ 0xFF for b in magic))
                status, ready, log = self.run_daemon()
                self.expect_ended(status, 1, log, attach_line, "attachipc() failed(ret:%d)" % ret)
                # Nothing of the segment was used: its states were never touched.
                self.assertNotIn("-> OFFLINE", log)
        report("segment corruptions injected", len(cases))

    def test_missing_policy_ends_with_status_10(self):
        source = os.path.join(cluster.SOURCE, "policy")
        self.node.init_namespace()
        for policy in ("all", "nm", "tavik"):
            with self.subTest(policy=policy):
                policies = os.path.join(self.cluster.dir, "policy-without-" + policy)
                shutil.copytree(source, policies)
                os.unlink(os.path.join(policies, policy + ".xml"))
                status, ready, log = self.run_daemon(TAVIK_POLICY_DIR=policies)
                # loadinfo reads the three policies in turn and stops at the missing one (6).
                self.expect_ended(status, 10, log, "xmllib_load_policy(%s) failed" % policy,
                                  "loadinfo() failed(ret:6)")
                self.assertTrue(ready)
                if policy == "tavik":
                    # The scheduling set-up and the log channel miss it first; both only say so.
                    self.assertIn("setsched() failed(ret:6)", log)
                self.assertNotIn("libzvrbmc_init", log, "no BMC work after a failed table")
        report("policy files removed", 3)

    def test_malformed_configuration_ends_with_status_9(self):
        self.node.init_namespace()
        with open(self.cluster.config) as f:
            good = f.read()
        cases = {
            "unclosed element": good.replace("</root>", ""),
            "not XML": "heartbeat: 4000\n",
            "another document element": good.replace("<root>", "<cluster>").replace("</root>", "</cluster>"),
            "empty file": "",
            "binary": "\x00\x01\x02<root>\xff",
        }
        for what, text in cases.items():
            with self.subTest(config=what):
                path = os.path.join(self.cluster.dir, "bad.xml")
                with open(path, "w", errors="surrogateescape") as f:
                    f.write(text)
                status, ready, log = self.run_daemon(TAVIK_CONFIG=path)
                self.assertEqual(status, 9, log)
                self.assertFalse(ready, "no readiness signal without a configuration")
                self.assertIsNone(log, "nothing is logged before the configuration is loaded")
        with self.subTest(config="missing file"):
            status, ready, log = self.run_daemon(TAVIK_CONFIG=os.path.join(self.cluster.dir, "none.xml"))
            self.assertEqual((status, ready, log), (9, False, None))
        report("malformed configurations", len(cases) + 1)

    def test_no_policy_directory_ends_with_status_4(self):
        self.node.init_namespace()
        not_a_dir = os.path.join(self.cluster.dir, "policy-file")
        open(not_a_dir, "w").close()
        for what, path in (("missing", os.path.join(self.cluster.dir, "no-policy")), ("a file", not_a_dir)):
            with self.subTest(policy_dir=what):
                status, ready, log = self.run_daemon(TAVIK_POLICY_DIR=path)
                self.assertEqual((status, ready, log), (4, False, None))
        report("policy directories removed", 2)


class NoBmcAtStart(FaultTest):
    """node3's daemon starts without a usable BMC: it says so with event 10, runs on,
    and never calls the BMC again; its peers carry on without it."""

    BMC_CALLS = ("bmc_SetZelvarinStatus", "bmc_SetZelvarinAccessTime", "bmc_SetBmcIpAddressAll",
                 "bmc_GetBmcStatusAll")

    def run_without_bmc(self, events, prepare=None, after_init_failed=None):
        n1, n2, n3 = self.cluster.nodes
        for n in self.cluster.nodes:
            n.start_bmc()
            n.init_namespace()
        if prepare:
            prepare(n3)
        for n in self.cluster.nodes:
            n.start_daemon()
        self.assertTrue(wait_until(lambda: "bmc_init() failed" in n3.log_text(), 30), n3.log_text())
        if after_init_failed:
            after_init_failed(n3)
        self.assertTrue(wait_until(lambda: self.cluster.all_online(viewers=[n1, n2], among=[n1, n2]), 30),
                        self.views())
        pid = n3.daemon_pid()
        # Several cycles of the daemon without its BMC.
        self.assertTrue(wait_until(lambda: all(n.status()[0][("hb1", n3.name)] == "offline" for n in (n1, n2)), 15),
                        self.views())
        time.sleep(5)
        self.assertEqual(n3.daemon_pid(), pid, "the daemon must run on, not be restarted")
        self.assertEqual(len(n3.events(10)), events, n3.log_text("event.log"))
        log = n3.log_text()
        for call in self.BMC_CALLS:
            self.assertNotIn(call, log, "no BMC call once the BMC is not usable")
        # The BMC itself never heard the daemon: no host status, no targets, no heartbeats.
        c = n3.bmc_counters()
        self.assertEqual((c["since_status"], c["sent"]), (None, 0), c)
        self.assertEqual(set(n3.status()[0].values()), {"offline"}, "nothing can come online without a BMC")
        self.assertTrue(self.cluster.all_online(viewers=[n1, n2], among=[n1, n2]), self.views())
        self.assertEqual(n3.stop_daemon(), 0)

    def test_missing_access_file(self):
        # libzvrbmc_init cannot read it, and bmc_init then cannot open a session: two events.
        self.cluster.nodes[2].extra_env["TAVIK_BMC_CONF"] = os.path.join(self.cluster.dir, "no-bmc.conf")
        self.run_without_bmc(events=2)
        self.assertIn("libzvrbmc_init() failed", self.cluster.nodes[2].log_text())

    def test_bmc_that_does_not_answer(self):
        # A frozen BMC: the session cannot be opened within its time-out. It answers again
        # later, and still hears nothing from the daemon.
        self.run_without_bmc(events=1, prepare=lambda n: n.freeze_bmc(), after_init_failed=lambda n: n.thaw_bmc())
        self.assertIn("libzvrbmc_init() succeed", self.cluster.nodes[2].log_text())


class BmcRestart(FaultTest):
    """A BMC killed while its daemon runs, then started again: heartbeats resume through
    the same daemon process, which reopens its session by itself."""

    def test_heartbeats_resume_after_each_bmc_restart(self):
        self.cluster.start()
        self.settle()
        pids = [n.daemon_pid() for n in self.cluster.nodes]
        for victim in (self.cluster.nodes[1], self.cluster.nodes[0]):
            others = [n for n in self.cluster.nodes if n is not victim]
            victim.kill_bmc()
            self.assertTrue(wait_until(lambda: all(o.status()[0][("hb1", victim.name)] == "offline" for o in others),
                                       20), self.views())
            # The victim's own daemon loses every peer too: its watch thread times them out.
            self.assertTrue(wait_until(lambda: set(victim.status()[0].values()) == {"offline"}, 20), self.views())
            t0 = time.monotonic()
            victim.start_bmc()
            self.settle()
            report("%s's BMC restarted to all pairs online" % victim.name, "%.1f s" % (time.monotonic() - t0))
        self.assertEqual([n.daemon_pid() for n in self.cluster.nodes], pids, "no daemon was restarted")
        for n in self.cluster.nodes:
            self.assertNotIn("change mode to resume", n.log_text())
            self.assertEqual(n.run_text().count("started daemon"), 1)
        report("BMC kills survived", 2)

        # The restarted BMC still lets a hung host lapse: it was given the access time-out
        # again, and a frozen daemon behind it goes offline on its peers.
        n1, n2, n3 = self.cluster.nodes
        self.assertEqual(n1.bmc_counters()["access_timeout"], HBTO // 1000)
        os.kill(pids[0], signal.SIGSTOP)
        try:
            t0 = time.monotonic()
            self.assertTrue(wait_until(lambda: all(o.status()[0][("hb1", n1.name)] == "offline" for o in (n2, n3)),
                                       20), self.views())
            report("host frozen behind a restarted BMC to offline", "%.1f s" % (time.monotonic() - t0))
        finally:
            os.kill(pids[0], signal.SIGCONT)
        self.settle()


class SmallStacks(FaultTest):
    """Worker threads at the smallest stack the daemon accepts, on the real BMC path: the
    check thread's FreeIPMI session is opened anew on that stack after a BMC restart. The
    configuration asks for 16384 bytes, on which FreeIPMI overruns the stack at the
    thread's first BMC call; the daemon raises it to its minimum (src/table/stackmin.h:
    262144, or 1 MiB in a ThreadSanitizer build) and says so."""

    def options(self):
        return {"tavik_xml": "<thread><stacksize>16384</stacksize></thread>"}

    def test_real_bmc_path_on_minimum_stacks(self):
        self.cluster.start()
        self.settle()
        minimum = None
        for n in self.cluster.nodes:
            log = n.log_text()
            m = re.search(r"under minimum STACKSIZE\(16384\)\. set to (\d+)\.", log)
            self.assertIsNotNone(m, log)
            minimum = int(m.group(1))
            self.assertIn(minimum, (262144, 1048576))
            self.assertEqual(log.count("pthread_attr_setstacksize(%d)" % minimum), 2, log)
        pids = [n.daemon_pid() for n in self.cluster.nodes]
        n1 = self.cluster.nodes[0]
        n1.kill_bmc()
        self.assertTrue(wait_until(lambda: set(n1.status()[0].values()) == {"offline"}, 20), self.views())
        n1.start_bmc()
        self.settle()
        self.assertEqual([n.daemon_pid() for n in self.cluster.nodes], pids, "a daemon crashed and was restarted")
        for n in self.cluster.nodes:
            self.assertNotIn("killed by signal", n.run_text())
            self.assertEqual(n.stop_daemon(), 0)
        report("worker stack", "%d bytes" % minimum)


class BadServerAddress(FaultTest):
    """A fourth server whose BMC address is not IPv4 (a typo that check-config reports): its
    target goes to every BMC as a started address 0 in the same block as the real peers.
    The real peers must still be heartbeated; the fourth node, which nobody can hear,
    stays offline."""

    def test_peers_in_the_block_of_a_bad_address_still_come_online(self):
        c = self.cluster
        with open(c.config) as f:
            text = f.read()
        text = text.replace("<server>3</server>", "<server>4</server>").replace(
            "  <heartbeat>\n",
            '  <server name="node4"><priority>4</priority><device name="0"><info>bmc-of-node4</info>'
            "</device></server>\n  <heartbeat>\n")
        with open(c.config, "w") as f:
            f.write(text)
        c.start()
        self.assertTrue(wait_until(lambda: c.all_online(among=c.nodes), 30), self.views())
        for n in c.nodes:
            self.assertEqual(n.status()[0][("hb1", "node4")], "offline", self.views())
            self.assertIn("IP address is invalid(rsc:hb1,node:node4)", n.log_text())
        time.sleep(3)  # a few cycles more: the unused slot never turns into a result
        self.assertTrue(c.all_online(among=c.nodes), self.views())
        for n in c.nodes:
            self.assertEqual(n.status()[0][("hb1", "node4")], "offline", self.views())
        # The read-back names the bad address as the one difference between BMC and configuration.
        status, out = c.nodes[0].bmc_targets()
        self.assertEqual(status, 2, out)
        self.assertIn("the configuration gives hb1/node4 no IPv4 address; the BMC keeps the slot unused", out)
        self.assertIn("\n1 difference between the BMC and the configuration", out)
        report("servers with an address that is not IPv4", 1)


if __name__ == "__main__":
    unittest.main()
