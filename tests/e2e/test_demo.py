# SPDX-License-Identifier: GPL-3.0-or-later
"""`tavikctl demo` as a user runs it, under both drivers: it ends with status 0, every peer
reports the killed BMC within the bound the demo prints, every pair comes back, every
daemon stops with status 0, and nothing is left behind (its folder, its IPC namespaces).

The demo's addresses are fixed (127.0.1.1-3:9001), so each run gets a network namespace of
its own: runs side by side, or beside a demo somebody started by hand, never meet."""

import glob
import os
import re
import shutil
import signal
import subprocess
import unittest

import cluster

SKIP = cluster.can_run() or (None if shutil.which("ip") else "ip (iproute2) missing")
SLACK = 6.0 if cluster.SANITIZED else 2.0


@unittest.skipIf(SKIP, SKIP or "")
class Demo(unittest.TestCase):
    def test_each_driver_detects_the_killed_bmc_and_cleans_up(self):
        # driver, the detection bound it prints, in seconds
        for driver, bound, seconds in (("oem", "1 s + one poll cycle 2 s", 3.0),
                                       ("standard", "1 s + check period 0.33 s + one poll cycle 2 s", 3.33)):
            with self.subTest(driver):
                p = subprocess.Popen(["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                                      cluster.TAVIKCTL, "demo", "--driver", driver],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                try:
                    out = p.communicate(timeout=180)[0]
                except subprocess.TimeoutExpired:
                    p.send_signal(signal.SIGINT)  # it then stops and removes everything it started
                    out = p.communicate(timeout=60)[0]
                self.assertEqual(p.returncode, 0, out)
                self.assertEqual("driver standard: stock IPMI 2.0 BMCs" in out, driver == "standard", out)
                seen = re.findall(r"(node\d) saw node3 offline after ([\d.]+) s \(bound: per-target time-out "
                                  + re.escape(bound) + r"\)", out)
                self.assertEqual(sorted(n for n, _ in seen), ["node1", "node2"], out)
                for viewer, took in seen:
                    print("\ndemo --driver %s: %s saw node3 offline after %s s" % (driver, viewer, took))
                    self.assertLess(float(took), seconds + SLACK, out)
                for step in ("all pairs online after", "all pairs online again after",
                             "everything stopped and removed"):
                    self.assertIn(step, out)
                self.assertEqual(len(re.findall(r"daemon of node\d stopped with status 0\n", out)), 3, out)
                folder = re.search(r"on loopback, in (\S+)", out).group(1)
                self.assertFalse(os.path.exists(folder), "the demo left " + folder)
                self.assertEqual(glob.glob("/dev/shm/*tavik-demo-%d-*" % p.pid), [], "IPC namespaces left")


if __name__ == "__main__":
    unittest.main()
