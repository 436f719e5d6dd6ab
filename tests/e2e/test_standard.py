# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end on stock BMCs: three nodes whose BMCs are OpenIPMI's ipmi_sim with only the
IPMI 2.0 watchdog module (no heartbeat firmware), every library on driver = standard.

Bounds (docs/bmc-protocol.md, "Detection bounds of the standard driver"), with the
per-target time-out T = 1 s, the check period P = min(1 s, T/3), the access time-out
A = 4 s and one check cycle C = 2 s (1 s before each poll, then the 1 s interval):
  BMC killed, frozen or reset, or its network port cut: T + P + C; graceful stop: P + C;
  host hung: at least A - C (the last renewal may be a cycle old), at most A + P + C.
The machine is shared and loaded, so each measured figure may exceed its bound by SLACK.
The cut is a routing rule in a network namespace of the test's own; each host reaches its
own BMC on a LAN channel of its own (as in-band access would), which stays up."""

import json
import os
import shutil
import signal
import subprocess
import threading
import time
import unittest

import cluster
from cluster import Cluster, wait_until

SKIP = cluster.can_run()
HBTO, HBINT = 4000, 1000
T, P, A, C = 1.0, 1.0 / 3, 4.0, 2.0
# Under a sanitizer every FreeIPMI exchange of the per-peer threads runs several times
# slower, so there the bounds only catch a detection that does not happen; the release
# run holds the figures to them.
SLACK = 6.0 if cluster.SANITIZED else 2.0


def report(name, seconds, bound):
    print("\n%s: %.2f s (bound %.2f s)" % (name, seconds, bound), flush=True)


def app_raw(node, cmd, *data):
    """One App (netfn 0x06) request to node's BMC as its administrator: (cc, data)."""
    with open(os.path.join(node.dir, "bmc", "password")) as f:
        password = f.read().strip()
    p = subprocess.run(
        [cluster.IPMI_RAW, "-h", "%s:%d" % (node.addr, node.cluster.lan_port), "-u", "ipmiusr", "-p", password,
         "-l", "admin", "--driver-type=LAN_2_0", "-W", "opensesspriv", "0", "0x06", "0x%02x" % cmd,
         *("0x%02x" % b for b in data)], capture_output=True, text=True, timeout=30)
    words = p.stdout.split()
    if p.returncode != 0 or "rcvd:" not in words:
        raise RuntimeError("ipmi-raw to %s: %s%s" % (node.name, p.stdout, p.stderr))
    reply = [int(w, 16) for w in words[words.index("rcvd:") + 1:]]
    return reply[1], reply[2:]


def ipmitool(node, *words):
    """ipmitool as an operator runs it against node's BMC (its administrator)."""
    with open(os.path.join(node.dir, "bmc", "password")) as f:
        password = f.read().strip()
    subprocess.run(["ipmitool", "-I", "lanplus", "-H", node.addr, "-p", str(node.cluster.lan_port), "-U", "ipmiusr",
                    "-P", password, "-L", "ADMINISTRATOR", "-C", "3", *words],
                   check=True, capture_output=True, text=True, timeout=30)


@unittest.skipIf(SKIP, SKIP or "")
class StandardTest(unittest.TestCase):
    slot = 100

    def setUp(self):
        StandardTest.slot += 1
        self.cluster = Cluster(nodes=3, hbto=HBTO, hbint=HBINT, slot=StandardTest.slot, standard=True,
                               own_port=9002)
        self.addCleanup(self.cluster.close)

    def views(self):
        return "\n".join("%s sees %s" % (n.name, n.status()[0]) for n in self.cluster.nodes)

    def state_of(self, who, viewers):
        return {v.status()[0][("hb1", who.name)] for v in viewers}

    def time_until(self, who, state, viewers, timeout):
        t0 = time.monotonic()
        ok = wait_until(lambda: self.state_of(who, viewers) == {state}, timeout)
        self.assertTrue(ok, "%s not %s after %.0f s\n%s" % (who.name, state, timeout, self.views()))
        return time.monotonic() - t0


class StandardDetection(StandardTest):
    @classmethod
    def setUpClass(cls):
        # The cut link is a routing rule, so the cluster runs in a network of its own.
        why = cluster.private_network()
        if why:
            raise unittest.SkipTest(why)

    def test_every_pair_online_then_each_failure_within_its_bound(self):
        t0 = time.monotonic()
        self.cluster.start()
        self.assertTrue(wait_until(self.cluster.all_online, 30), self.views())
        report("standard: start to all pairs online", time.monotonic() - t0, 30)
        n1, n2, n3 = self.cluster.nodes

        def hang_host():
            self.hung = n3.daemon_pid()
            os.kill(self.hung, signal.SIGSTOP)

        def resume_host():
            os.kill(self.hung, signal.SIGCONT)

        def reset_bmc():
            # Down for longer than T (a shorter blip goes unnoticed, as it should), then back
            # without the lease, which the watchdog forgot; detection is timed from the kill.
            n3.kill_bmc()
            self.restart = threading.Timer(T + 1, n3.start_bmc)
            self.restart.start()

        def reset_done():
            self.restart.join()

        def cut_seen_both_ways():
            # node3's host still reaches the BMC network and renews its lease in-band: the
            # two sides disagree until the link is back.
            self.assertEqual(self.state_of(n1, [n3]) | self.state_of(n2, [n3]), {"online"}, self.views())
            self.assertIn("hb1/node3: no session as 'tavikpeer'", n1.bmc_targets()[1])

        # name, fault, repair, upper bound, lower bound, whether node3 comes back by itself,
        # what else holds while it is offline
        cases = [
            ("peer BMC killed", n3.kill_bmc, n3.start_bmc, T + P + C, 0, False, None),
            ("peer BMC frozen", n3.freeze_bmc, n3.thaw_bmc, T + P + C, 0, False, None),
            ("host hung", hang_host, resume_host, A + P + C, A - C, False, None),
            ("peer BMC reset", reset_bmc, reset_done, T + P + C, 0, True, None),
            ("BMC link cut", n3.cut_bmc_link, lambda: n3.cut_bmc_link(False), T + P + C, 0, False,
             cut_seen_both_ways),
        ]
        for name, fault, repair, bound, lower, comes_back, meanwhile in cases:
            with self.subTest(name):
                t0 = time.monotonic()
                fault()
                try:
                    self.time_until(n3, "offline", [n1, n2], bound + 15)
                    took = time.monotonic() - t0
                    if meanwhile:
                        meanwhile()
                finally:
                    repair()
                report("standard: " + name + " to offline", took, bound)
                self.assertLess(took, bound + SLACK)
                self.assertGreaterEqual(took, lower)
                self.assertEqual(self.state_of(n1, [n2]), {"online"}, "the healthy pair stays online")
                t0 = time.monotonic()
                self.assertTrue(wait_until(self.cluster.all_online, 30), self.views())
                report("standard: after " + name + " to all pairs online", time.monotonic() - t0,
                       30 if not comes_back else 10)

        # The lease behind a restarted BMC is the access time-out again, not the default.
        cc, d = app_raw(n3, 0x25)
        self.assertEqual((cc, d[0] & 0x47, d[1] & 0x07), (0, 0x45, 0), "OEM use, running, action none")
        self.assertEqual(d[4] | d[5] << 8, int(A * 10))

        t0 = time.monotonic()
        self.assertEqual(n3.stop_daemon(), 0)
        took = self.time_until(n3, "offline", [n1, n2], 15)
        report("standard: graceful stop to offline", took, P + C)
        self.assertLess(took, P + C + SLACK)
        cc, d = app_raw(n3, 0x25)
        self.assertEqual((cc, d[0] & 0x40), (0, 0), "the lease was given back: the timer stopped")


class StandardRefusals(StandardTest):
    """Failures that must end as a clear reason and a peer kept offline, never as a false
    online: a watchdog already run by somebody else, and a BMC that refuses our user."""

    def clash_sms_os(self, n3):
        # Another program runs the watchdog as SMS/OS (a hard reset after 600 s).
        self.assertEqual(app_raw(n3, 0x24, 0x44, 0x01, 0x00, 0x00, 0x70, 0x17)[0], 0)
        self.assertEqual(app_raw(n3, 0x22)[0], 0)
        return "CompletionCode:0x7e", n3, "the BMC watchdog is in use as SMS/OS"

    def refuse_user(self, n3):
        # node3's BMC knows another peer user than the cluster's: its peers' logins fail.
        n3.stop_bmc()
        n3.start_bmc("--peer-user", "otherpeer")
        return None, self.cluster.nodes[0], "hb1/node3: no session as 'tavikpeer': username invalid"

    def test_node3_stays_offline_with_a_reason(self):
        n1, n2, n3 = self.cluster.nodes
        for n in self.cluster.nodes:
            n.start_bmc()
        for name, setup in (("watchdog in use as SMS/OS", self.clash_sms_os),
                            ("peer user refused", self.refuse_user)):
            with self.subTest(name):
                logged, teller, told = setup(n3)
                for n in self.cluster.nodes:
                    n.init_namespace()
                    n.start_daemon("--start-after", "0")
                self.assertTrue(wait_until(lambda: self.cluster.all_online(viewers=[n1, n2], among=[n1, n2]), 30),
                                self.views())
                deadline = time.monotonic() + A + C + 2
                while time.monotonic() < deadline:
                    self.assertEqual(self.state_of(n3, [n1, n2]), {"offline"}, self.views())
                    time.sleep(0.2)
                status, text = teller.bmc_targets()
                self.assertEqual(status, 2, text)
                self.assertIn(told, text)
                if logged:
                    self.assertTrue(any(logged in line for line in n3.log_text().splitlines()
                                        if "bmc_SetZelvarinStatus() failed" in line), n3.log_text()[-2000:])
                    cc, d = app_raw(n3, 0x25)
                    self.assertEqual((cc, d[0] & 0x47, d[1] & 0x07), (0, 0x44, 1), "the SMS/OS timer is untouched")
                for n in self.cluster.nodes:
                    n.stop_daemon()
                n3.stop_bmc()
                n3.start_bmc()


class StandardForeignTimer(StandardTest):
    """Another program's Set in the middle of node3's lease, replayed on its BMC: node3 reads
    offline everywhere, and its daemon never changes that timer's use, action, countdown or
    running state afterwards; only a daemon started anew takes a stopped timer again."""

    def off(self, n3):
        if not shutil.which("ipmitool"):
            self.skipTest("ipmitool is not installed")
        ipmitool(n3, "mc", "watchdog", "off")
        return 0x04, 0, False

    def takeover(self, n3):
        # bmc-watchdog's Set (SMS/OS, hard reset, 900 s) and its first Reset.
        self.assertEqual(app_raw(n3, 0x24, 0x44, 0x01, 0x00, 0x00, 0x28, 0x23)[0], 0)
        self.assertEqual(app_raw(n3, 0x22)[0], 0)
        return 0x04, 1, True

    def test_the_lease_ends_and_that_timer_stays_untouched(self):
        n1, n2, n3 = self.cluster.nodes
        self.cluster.start()
        self.assertTrue(wait_until(self.cluster.all_online, 30), self.views())
        for name, replay in (("ipmitool mc watchdog off", self.off), ("SMS/OS hard-reset takeover", self.takeover)):
            with self.subTest(name):
                use, action, running = replay(n3)
                _, before = app_raw(n3, 0x25)
                t0 = time.monotonic()
                took = self.time_until(n3, "offline", [n1, n2], 15)
                report("standard: %s to offline" % name, took, P + C)
                self.assertLess(took, P + C + SLACK)
                # Several renewals later (the lease is A long, renewed every C): untouched.
                while time.monotonic() < t0 + A + C:
                    cc, d = app_raw(n3, 0x25)
                    self.assertEqual((cc, d[0] & 0x07, bool(d[0] & 0x40), d[1] & 0x07), (0, use, running, action))
                    self.assertEqual(d[4:6], before[4:6], "the countdown it was set to")
                    self.assertLessEqual(d[6] | d[7] << 8, before[6] | before[7] << 8, "never pushed back")
                    time.sleep(0.3)
                self.assertEqual(self.state_of(n3, [n1, n2]), {"offline"}, self.views())
                self.assertIn("CompletionCode:0x7e ctrl:0x2", n3.log_text())
                if not running:
                    # The operator switched it off: a daemon started anew takes it again.
                    n3.stop_daemon()
                    n3.start_daemon("--start-after", "0")
                    self.assertTrue(wait_until(self.cluster.all_online, 30), self.views())


class Petter(threading.Thread):
    """A co-tenant of a node's watchdog replayed with ipmi-raw: its Set, then every
    `every` seconds its pet (Reset, after a Get for bmc-watchdog). `gap` is the longest
    time seen between two pets."""

    def __init__(self, node, set_data, every, get_first):
        super().__init__(daemon=True)
        self.node, self.set_data, self.every, self.get_first = node, set_data, every, get_first
        self.halt = threading.Event()
        self.gap = 0.0
        self.error = None

    def run(self):
        try:
            if app_raw(self.node, 0x24, *self.set_data)[0] != 0:
                raise RuntimeError("the co-tenant's Set was refused")
            last = time.monotonic()
            while not self.halt.wait(self.every):
                if self.get_first:
                    app_raw(self.node, 0x25)
                app_raw(self.node, 0x22)
                now = time.monotonic()
                self.gap, last = max(self.gap, now - last), now
        except Exception as e:  # noqa: BLE001 - reported by the test
            self.error = e


class StandardLeaseSources(StandardTest):
    """lease = observe and none on node3, its peers told so in a [peer] section of their own
    access files (with a peer user that only node3's BMC knows, so the section's settings
    are the ones used). The co-tenants of node3's watchdog are replayed against its stock
    BMC: bmc-watchdog -d (Set SMS/OS hard reset, then Get and Reset periodically) and
    systemd's RuntimeWatchdogSec through ipmi_watchdog (Set, then Reset every half
    countdown). tavik never writes that timer; the node is online while it is petted and
    offline within min(2 x the longest interval between pets, the countdown) + P + C once
    the pets stop."""

    def configure(self, lease):
        n1, n2, n3 = self.cluster.nodes
        for n in self.cluster.nodes:
            n.stop_daemon()
            n.stop_bmc()
            n.start_bmc(*(("--peer-user", "n3peer") if n is n3 else ()))
        with open(os.path.join(n3.dir, "bmc", "bmc.conf"), "a") as f:
            f.write("lease = %s\n" % lease)
        for n in (n1, n2):
            with open(os.path.join(n.dir, "bmc", "bmc.conf"), "a") as f:
                f.write("[peer %s]\nlease = %s\nuser = n3peer\nworkarounds = opensesspriv\n" % (n3.addr, lease))
        for n in self.cluster.nodes:
            n.init_namespace()
            n.start_daemon("--start-after", "0")

    def untouched(self, n3, before):
        """The co-tenant's timer as it left it: use, action, countdown set, running (until
        it runs out), and a countdown never pushed back."""
        cc, d = app_raw(n3, 0x25)
        present = d[6] | d[7] << 8
        running = bool(d[0] & 0x40) or present == 0
        self.assertEqual((cc, d[0] & 0x07, running, d[1], d[4:6]), (0, before[0] & 0x07, True, before[1], before[4:6]),
                         "tavik wrote the timer")
        self.assertLessEqual(present, before[6] | before[7] << 8, "the countdown was pushed back")

    def test_observed_cotenants_and_presence_only(self):
        n1, n2, n3 = self.cluster.nodes
        cotenants = [
            # name, Set data (use, action, pre-timeout, flags to clear, countdown), pet period, Get first
            ("bmc-watchdog -d", (0x44, 0x01, 0x00, 0x3e, 200, 0), 1.0, True),
            ("systemd through ipmi_watchdog", (0x44, 0x01, 0x00, 0x00, 40, 0), 2.0, False),
        ]
        for name, set_data, every, get_first in cotenants:
            with self.subTest(name):
                self.configure("observe")
                if get_first:
                    # The timer is free: nobody pets it, so the node is not alive (not "no lease").
                    self.assertFalse(wait_until(lambda: self.state_of(n3, [n1, n2]) & {"online"}, A + C),
                                     self.views())
                petter = Petter(n3, set_data, every, get_first)
                petter.start()
                self.time_until(n3, "online", [n1, n2], 30)
                # tavikctl's own watch is new: it may not have seen a pet yet.
                _, text = n1.bmc_targets()
                row = [line for line in text.splitlines() if n3.addr in line]
                self.assertTrue(row and "observe" in row[0] and "another program (SMS/OS, hard reset)" in row[0],
                                text)
                time.sleep(every + C)  # more pets, each read by the peers
                self.assertEqual(self.state_of(n3, [n1, n2]), {"online"}, self.views())
                petter.halt.set()
                petter.join()
                self.assertIsNone(petter.error)
                t0 = time.monotonic()
                _, before = app_raw(n3, 0x25)
                countdown = set_data[4] / 10.0
                bound = min(2 * (petter.gap + P), countdown) + P + C
                took = self.time_until(n3, "offline", [n1, n2], countdown + 15)
                report("observe, %s: pets stopped to offline" % name, took, bound)
                self.assertLess(took, bound + SLACK)
                while time.monotonic() < t0 + took + C:
                    self.untouched(n3, before)
                    time.sleep(0.3)

        with self.subTest("lease = none: the BMC's presence only"):
            self.configure("none")
            self.time_until(n3, "online", [n1, n2], 30)
            cc, d = app_raw(n3, 0x25)
            self.assertEqual((cc, d[0] & 0x47), (0, 0), "the timer was never set")
            t0 = time.monotonic()
            n3.freeze_bmc()
            try:
                took = self.time_until(n3, "offline", [n1, n2], 15)
            finally:
                n3.thaw_bmc()
            report("lease none: BMC frozen to offline", took, T + P + C)
            self.assertLess(took, T + P + C + SLACK)


class StandardPreflight(StandardTest):
    """`tavikctl bmc check` before the nodes join: one line and one verdict per BMC, and the
    exit status of the worst; it only reads, so another program's timer stays as it was."""

    def check(self, viewer):
        """(exit status, text, JSON) of `bmc check` run as viewer's host would run it."""
        runs = [subprocess.run([cluster.TAVIKCTL, "bmc", "check", "--node", viewer.name, *extra], env=viewer.env(),
                               capture_output=True, text=True, timeout=60) for extra in ((), ("--json",))]
        self.assertEqual(runs[0].returncode, runs[1].returncode, runs[0].stdout + runs[0].stderr)
        return runs[0].returncode, runs[0].stdout + runs[0].stderr, json.loads(runs[1].stdout)

    def ready(self, n1, n2, n3):
        return n1, 0, {}

    def refused(self, n1, n2, n3):
        n3.stop_bmc()
        n3.start_bmc("--peer-user", "otherpeer")
        return n1, 2, {"node3": "no session as 'tavikpeer': username invalid"}

    def foreign_timer(self, n1, n2, n3):
        # bmc-watchdog's Set (SMS/OS, hard reset, 900 s) and its first Reset, checked on node3.
        self.assertEqual(app_raw(n3, 0x24, 0x44, 0x01, 0x00, 0x00, 0x28, 0x23)[0], 0)
        self.assertEqual(app_raw(n3, 0x22)[0], 0)
        return n3, 2, {"node3": "in use as SMS/OS: lease = watchdog cannot work there, observe would"}

    def running(self, n1, n2, n3):
        for n in self.cluster.nodes:
            n.init_namespace()
            n.start_daemon("--start-after", "0")
        self.assertTrue(wait_until(self.cluster.all_online, 30), self.views())
        return n2, 0, {}

    def test_each_bmc_gets_its_verdict(self):
        n1, n2, n3 = self.cluster.nodes
        for n in self.cluster.nodes:
            n.start_bmc()
        for name, setup in (("three ready BMCs", self.ready), ("node3's BMC refuses our user", self.refused),
                            ("another program runs node3's watchdog", self.foreign_timer),
                            ("the cluster running", self.running)):
            with self.subTest(name):
                try:
                    self.check_case(name, setup)
                finally:
                    for n in self.cluster.nodes:
                        n.stop_daemon()
                    n3.stop_bmc()
                    n3.start_bmc()

    def check_case(self, name, setup):
        n1, n2, n3 = self.cluster.nodes
        viewer, status, errors = setup(n1, n2, n3)
        _, before = app_raw(n3, 0x25)
        t0 = time.monotonic()
        got, text, doc = self.check(viewer)
        print("\nbmc check, %s: exit %d in %.2f s" % (name, got, (time.monotonic() - t0) / 2), flush=True)
        self.assertEqual(got, status, text)
        self.assertEqual(doc["exit_status"], status)
        for n, bmc in zip(self.cluster.nodes, doc["bmcs"]):
            self.assertEqual((bmc["node"], bmc["address"], bmc["own"]), (n.name, n.addr, n is viewer))
            line = [x for x in text.splitlines() if x.startswith(n.name)]
            self.assertEqual(len(line), 1, text)
            if n.name in errors:
                self.assertEqual(bmc["verdict"], "cannot join", bmc)
                self.assertIn(errors[n.name], bmc["findings"][0])
                self.assertIn("cannot join", line[0])
                continue
            self.assertEqual((bmc["verdict"], bmc["findings"]), ("ok", []), bmc)
            self.assertEqual((bmc["login"], bmc["privilege"], bmc["sessions_max"], bmc["suite"]),
                             (True, "user", 63, 3), bmc)
            self.assertEqual(bmc["lease_workable"], "watchdog")
            self.assertEqual(bmc["watchdog_owner"], "tavik" if setup == self.running else "free")
        self.assertEqual(app_raw(n3, 0x25)[1][:6], before[:6], "the check wrote no timer")

if __name__ == "__main__":
    unittest.main()
