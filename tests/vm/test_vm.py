# SPDX-License-Identifier: GPL-3.0-or-later
"""A real server in a QEMU guest: the tavik package under systemd as PID 1, its BMC
reached in-band through the kernel's IPMI driver (/dev/ipmi0), its peers on the host
watching it as in the other end-to-end tests. Each class is one boot of one guest
(vm.py); the checks inside the guest come from tests/vm/cases, the peers' view from the
handlers here. Every check must be there and pass; the run's files stay in build/vm/run."""

import os
import shutil
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import cluster  # noqa: E402
import vm  # noqa: E402
from cluster import Cluster, wait_until  # noqa: E402

SKIP = vm.can_run() or cluster.can_run()
HBTO, HBINT = 6000, 1000
VM_PORT = 9003


def seen(viewer, who, state):
    states, _, _ = viewer.status()
    return states.get(("hb1", who.name)) == state


class GuestTest(unittest.TestCase):
    slot = 150
    group = None  # the case script and the run's folder name
    expected = ()  # every check the run must report, in any order

    def start_cluster(self, **kw):
        GuestTest.slot += 1
        self.cluster = Cluster(nodes=2, hbto=HBTO, hbint=HBINT, slot=GuestTest.slot, **kw)
        self.addCleanup(self.cluster.close)
        self.guest_node, self.peer = self.cluster.nodes
        self.guest_node.start_bmc("--vm-port", str(VM_PORT))
        self.addCleanup(self.keep_bmc_log)
        self.peer.start_bmc()
        self.peer.init_namespace()
        self.peer.start_daemon("--start-after", "0")

    def keep_bmc_log(self):
        """The guest's BMC's output, kept with the run (the cluster's folder goes away)."""
        if getattr(self, "guest", None) is not None:
            shutil.copy(os.path.join(self.guest_node.dir, "bmcsim.out"), os.path.join(self.guest.dir, "bmcsim.out"))

    def state_within(self, state, seconds):
        """(ok, detail): the peer sees the guest's node in state within seconds."""
        t0 = time.monotonic()
        ok = wait_until(lambda: seen(self.peer, self.guest_node, state), seconds, step=0.2)
        return bool(ok), "%s sees %s %s after %.1f s (bound %d s)" % (
            self.peer.name, self.guest_node.name, state if ok else "not " + state, time.monotonic() - t0, seconds)

    def boot(self, files, timeout, **kw):
        files = dict(files, **{"tavik.deb": vm.package(), "cluster.xml": self.cluster.config})
        name = self.group
        if os.environ.get("TAVIK_VM_BREAK"):  # device or restart: a fault the checks must catch
            files["break"] = os.environ["TAVIK_VM_BREAK"].encode()
            name += "-broken-" + os.environ["TAVIK_VM_BREAK"]
        self.guest = vm.Guest(name, self.group + ".sh", files, bmc=(self.guest_node.addr, VM_PORT), **kw)
        self.addCleanup(self.guest.close)
        return self.guest

    def assert_results(self, extra=()):
        rows = self.guest.results() + list(extra)
        print("\n%s: guest ran %.0f s (%s, %d boot(s))" % (self.group, self.guest.seconds, self.guest.accel,
                                                            self.guest.boots()))
        for status, name, detail in rows:
            print("  %s %s: %s" % (status, name, detail))
        names = {name for _, name, _ in rows}
        missing = [n for n in self.expected if n not in names]
        failed = ["%s: %s" % (n, d) for s, n, d in rows if s == "FAIL"]
        self.assertEqual((missing, failed), ([], []), "see %s" % self.guest.dir)


@unittest.skipIf(SKIP, SKIP or "")
class Package(GuestTest):
    """The package with the OEM firmware in-band (driver = inband), then a reboot."""
    group = "package"
    expected = ("ipmi-device", "install", "start-notify", "daemon-live", "in-band-driver", "online-to-peers",
                "stop-orderly", "stop-journal", "offline-to-peers", "daemon-kill-resumed", "daemon-kill-journal",
                "run-kill-restarted", "start-limit", "start-limit-reason", "logs-sandboxed", "enable",
                "shm-emptied", "started-at-boot", "namespace-recreated", "online-after-reboot")

    def test_package_under_systemd(self):
        self.start_cluster()
        bmc = self.guest_node

        def online():
            ok, detail = self.state_within("online", 60)
            since = bmc.bmc_counters()["since_status"]
            # The guest has no network: a recent host status came through /dev/ipmi0.
            return ok and since is not None and since <= 3, "%s; BMC heard its host %s s ago" % (detail, since)

        guest = self.boot({"bmc.conf": b"driver = inband\n"}, timeout=900, reboot=True)
        guest.run({"online-to-peers": online,
                   "offline-to-peers": lambda: self.state_within("offline", 2 * HBTO // 1000 + 4),
                   "online-after-reboot": online}, timeout=900)
        self.assert_results()


@unittest.skipIf(SKIP, SKIP or "")
class Standard(GuestTest):
    """driver = standard: the lease in-band on a stock BMC, its lapse, the watchdog's
    co-tenants, and a co-tenant's hard reset carried out by the BMC."""
    group = "standard"
    expected = ("ipmi-device", "install", "start-standard", "lease-taken", "lease-online", "frozen-offline",
                "lease-lapsed", "lapse-no-reset", "thawed-online", "lease-given-back", "bmc-watchdog-config",
                "bmc-watchdog-armed", "clash-bmc-watchdog", "bmc-watchdog-untouched", "clash-offline",
                "systemd-watchdog-armed", "clash-systemd", "systemd-watchdog-untouched", "systemd-watchdog-stopped",
                "systemd-watchdog-rearmed", "observe-targets", "observe-online", "observe-untouched",
                "panic-timeout", "kernel-hung", "hung-offline", "cotenant-reset")
    # The lease's access time-out A is the heartbeat time-out; a frozen host is offline
    # within A, a check period and a cycle, with room for a guest under emulation.
    FROZEN_BOUND = HBTO // 1000 + 1 + 2 + 6
    # lease = observe, the kernel hung: systemd pets its 30 s timer every 7.5 to 15 s, so
    # the pets are missed for good at most 2 x 15 s after the last one; a check period and a
    # cycle, and room for emulation. Below the 50 s after which the panic's own timer
    # resets the guest.
    HUNG_BOUND = 2 * 15 + 1 + 2 + 9

    def bmc_said(self, text):
        with open(os.path.join(self.guest_node.dir, "bmcsim.out"), errors="replace") as f:
            return text in f.read()

    def test_standard_lease_in_band(self):
        self.start_cluster(standard=True)
        files = {"bmc.conf": b"driver = standard\npeer_user = tavikpeer\npeer_password_file = peer-password\n"
                             b"peer_port = %d\n" % self.cluster.lan_port,
                 "peer-password": os.path.join(self.cluster.dir, "peer-password")}

        def stays_offline():
            ok = not wait_until(lambda: seen(self.peer, self.guest_node, "online"), 8)
            return ok, "%s %s node1 online within 8 s" % (self.peer.name, "never saw" if ok else "saw")

        def no_reset():
            fired = self.bmc_said("timer expired")
            return not fired, "the lease ran out with action none; BMC log: %s" % (
                "a timer action was carried out" if fired else "no timer action")

        def observe_online():
            # The peer is told what to expect of node1, as an operator would: a section of its
            # own access file, read when its daemon starts anew.
            with open(os.path.join(self.peer.dir, "bmc", "bmc.conf"), "a") as f:
                f.write("[peer %s]\nlease = observe\n" % self.guest_node.addr)
            self.peer.stop_daemon()
            self.peer.start_daemon("--start-after", "0")
            return self.state_within("online", 60)

        host_rows = []

        def read_timer(stop):
            """The guest's BMC's watchdog over LAN once a second, kept with the run: what the
            peers read after the panic, and when the timer ran out."""
            with open(os.path.join(self.guest_node.dir, "bmc", "password")) as f:
                password = f.read().strip()
            t0 = time.monotonic()
            with open(os.path.join(self.guest.dir, "timer-after-panic.txt"), "w") as out:
                while not stop.wait(1.0):
                    p = subprocess.run([cluster.IPMI_RAW, "-h", "%s:%d" % (self.guest_node.addr, self.cluster.lan_port),
                                        "-u", "ipmiusr", "-p", password, "-l", "admin", "--driver-type=LAN_2_0",
                                        "-W", "opensesspriv", "0", "0x06", "0x25"], capture_output=True, text=True)
                    out.write("%6.1f s %s\n" % (time.monotonic() - t0, (p.stdout + p.stderr).strip()))
                    out.flush()

        def hung_offline():
            stop = threading.Event()
            reader = threading.Thread(target=read_timer, args=(stop,), daemon=True)
            reader.start()
            self.addCleanup(stop.set)
            ok, detail = self.state_within("offline", self.HUNG_BOUND)
            host_rows.append(("PASS" if ok else "FAIL", "hung-offline", detail))
            return ok, detail

        # A reset boots the guest again: the second kernel start ends the run.
        guest = self.boot(files, timeout=900, reboot=True)
        guest.run({"lease-online": lambda: self.state_within("online", 60),
                   "frozen-offline": lambda: self.state_within("offline", self.FROZEN_BOUND),
                   "lapse-no-reset": no_reset,
                   "thawed-online": lambda: self.state_within("online", 30),
                   "clash-offline": stays_offline,
                   "observe-online": observe_online,
                   "hung-offline": hung_offline},
                  timeout=900, stop_when=lambda: guest.boots() >= 2)
        serial = guest.serial_text()
        second = serial.rfind("Linux version ")
        reset = (guest.boots() >= 2 and self.bmc_said("timer expired, hard reset of the host") and
                 "reboot: Restarting system" not in serial[:second])
        self.assert_results(host_rows + [("PASS" if reset else "FAIL", "cotenant-reset",
                                           "the BMC reset the guest: %d kernel starts, no orderly restart "
                                           "between them" % guest.boots())])


# Until a whole run of it has passed here, the upgrade runs only when asked for (it also
# costs the build of the release's package, some six minutes on two cores, once per tag).
UPGRADE_SKIP = SKIP or (None if os.environ.get("TAVIK_VM_UPGRADE") == "1" else "TAVIK_VM_UPGRADE=1 not set")


@unittest.skipIf(UPGRADE_SKIP, UPGRADE_SKIP or "")
class Upgrade(GuestTest):
    """The last tagged release's package, settled, then the tree's package over it while
    it runs, a restart later, and the downgrade."""
    group = "upgrade"
    expected = ("ipmi-device", "install-old", "old-live", "online-before", "upgrade-installed", "upgrade-no-restart",
                "new-reads-old", "online-during", "restart", "new-live", "none-published-offline", "history-kept",
                "online-after", "downgrade")

    def test_upgrade_keeps_the_state(self):
        self.start_cluster()
        guest = self.boot({"bmc.conf": b"driver = inband\n", "old.deb": vm.release_package()}, timeout=900)
        guest.run({"online-before": lambda: self.state_within("online", 60),
                   "online-during": lambda: self.state_within("online", 10),
                   "online-after": lambda: self.state_within("online", 60)}, timeout=900)
        self.assert_results()
