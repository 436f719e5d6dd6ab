# SPDX-License-Identifier: GPL-3.0-or-later
"""An unprivileged local user (`nobody`, through setpriv) against a real daemon and
tavikctl run as root: objects planted before `tavikctl init`, a namespace made
world-writable, a log directory of nobody's with a link planted as the log file, a
configuration and a policy others may write. Each attack must be refused with its
reason, nothing may be written through the link, and no state nobody wrote may ever be
published. Root only (the attacks need a second user)."""

import json
import os
import shutil
import subprocess
import unittest

import cluster
from cluster import Cluster, TAVIKCTL

SKIP = cluster.can_run() or (None if shutil.which("setpriv") else "setpriv (util-linux) missing")
NOBODY = 65534
EXIT_BOUND = 20


def as_nobody(*argv, env=None):
    """Runs argv as nobody with no groups; (exit status, output)."""
    p = subprocess.run(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", "--", *argv],
                       env=env, capture_output=True, text=True, timeout=30)
    return p.returncode, p.stdout + p.stderr


@unittest.skipIf(SKIP, SKIP or "")
class Attacks(unittest.TestCase):
    slot = 200

    def setUp(self):
        Attacks.slot += 1
        self.cluster = Cluster(nodes=1, slot=Attacks.slot)
        self.addCleanup(self.cluster.close)
        self.node = self.cluster.nodes[0]
        self.ns = self.node.namespace
        self.objects = ["/dev/shm/%s.nm" % self.ns, "/dev/shm/%s.cm" % self.ns,
                        "/dev/shm/sem.%s.statchange" % self.ns, "/dev/shm/sem.%s.downnotify" % self.ns]

    def ctl(self, *args):
        p = subprocess.run([TAVIKCTL, *args], env=self.node.env(), capture_output=True, text=True, timeout=30)
        return p.returncode, p.stdout + p.stderr

    def run_daemon(self, **env):
        """Runs the daemon to its end: (exit status, its log or standard error)."""
        d = self.node.start_daemon_direct(**env)
        try:
            status = d.wait(EXIT_BOUND)
        finally:
            d.close()
        self.assertIsNotNone(status, "the daemon did not end")
        logdir = env.get("TAVIK_LOG_DIR", os.path.join(self.node.dir, "log"))
        text = ""
        for path in (os.path.join(logdir, "tavik.log"), os.path.join(self.node.dir, "daemon.out")):
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, errors="replace") as f:
                    text += f.read()
        return status, text

    def state(self):
        code, out = self.ctl("status", "--name", self.ns, "--json")
        self.assertIn(code, (0, 1, 2), out)  # 2: no daemon attached, which is the case here
        return json.loads(out)["resources"][0]["nodes"][0]["state"]

    def test_objects_planted_before_init_are_refused_by_init_status_and_daemon(self):
        code, out = as_nobody("python3", "-c", (
            "import os\nfor p in %r:\n"
            "    fd = os.open(p, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o666)\n"
            "    os.fchmod(fd, 0o666); os.ftruncate(fd, 4096); os.close(fd)\n") % self.objects)
        self.assertEqual(code, 0, out)
        code, out = self.ctl("init", "--config", self.cluster.config, "--name", self.ns)
        self.assertNotEqual(code, 0, out)
        self.assertRegex(out, r"exists already \(owner nobody \(65534\), group \S+ \(65534\), mode 0666\)")
        print("\ninit: " + out.strip())
        code, out = self.ctl("status", "--name", self.ns)
        self.assertNotEqual(code, 0, out)
        self.assertIn("is refused: its owner is neither root nor this process's user (root)", out)
        print("status: " + out.strip())
        status, log = self.run_daemon()
        self.assertEqual(status, 1, log)
        self.assertIn("sem_attach() failed(ret:13)", log)
        # --force removes what nobody made and creates the namespace afresh, root's own.
        code, out = self.ctl("init", "--config", self.cluster.config, "--name", self.ns, "--force")
        self.assertEqual(code, 0, out)
        for path in self.objects:
            st = os.stat(path)
            self.assertEqual((st.st_uid, st.st_mode & 0o777), (0, 0o600), path)

    def test_a_world_writable_namespace_is_refused_and_nobody_publishes_nothing(self):
        self.node.init_namespace()
        for path in self.objects:
            os.chown(path, NOBODY, NOBODY)
            os.chmod(path, 0o666)
        code, out = as_nobody(TAVIKCTL, "set", "state", "hb1", "node1", "online", "--name", self.ns)
        self.assertNotEqual(code, 0, out)
        self.assertIn("is refused", out)
        self.assertIn("others may write it", out)
        print("\nnobody's set state: " + out.strip())
        code, out = self.ctl("status", "--name", self.ns)
        self.assertNotEqual(code, 0, out)
        self.assertIn("mode 0666) is refused", out)
        status, log = self.run_daemon()
        self.assertEqual(status, 1, log)
        # Given back to root as it was made, the namespace shows that nothing got in.
        for path in self.objects:
            os.chown(path, 0, 0)
            os.chmod(path, 0o600)
        self.assertEqual(self.state(), "unknown")

    def test_a_log_directory_of_nobody_and_a_planted_link_write_nothing(self):
        # No namespace: the daemon ends with status 1 right after its log is open.
        victim = os.path.join(self.cluster.dir, "victim")
        with open(victim, "w") as f:
            f.write("root's file\n")
        cases = [  # (directory owner, mode, expected reason)
            (NOBODY, 0o755, "owned by another user"),
            (0, 0o777, "writable by others"),
            (0, 0o755, "tavik.log: a symbolic link; refused"),
        ]
        for i, (owner, mode, reason) in enumerate(cases):
            with self.subTest(reason=reason):
                logdir = os.path.join(self.cluster.dir, "log%d" % i)
                os.makedirs(logdir)
                os.symlink(victim, os.path.join(logdir, "tavik.log"))
                os.symlink(victim, os.path.join(logdir, "event.log"))
                os.chown(logdir, owner, owner)
                os.chmod(logdir, mode)
                status, out = self.run_daemon(TAVIK_LOG_DIR=logdir)
                self.assertEqual(status, 1, out)
                self.assertIn("channel tavik writes to standard error: " + logdir, out)
                self.assertIn(reason, out)
                with open(victim) as f:
                    self.assertEqual(f.read(), "root's file\n", "written through the link")
        print("\nlog refusals:\n" + "\n".join(l for l in out.splitlines() if "writes to standard error" in l))

    def test_a_configuration_or_policy_others_may_write_fails_the_start(self):
        policy = os.path.join(self.cluster.dir, "policy")
        shutil.copytree(os.path.join(cluster.SOURCE, "policy"), policy)
        cases = [(self.cluster.config, "others may write it"), (os.path.join(policy, "nm.xml"), "others may write it")]
        for path, reason in cases:
            with self.subTest(path=path):
                os.chmod(path, 0o666)
                status, log = self.run_daemon(TAVIK_POLICY_DIR=policy)
                self.assertEqual(status, 9, log)
                code, out = self.ctl("check-config", "--policy-dir", policy, self.cluster.config)
                self.assertNotEqual(code, 0, out)
                self.assertIn(path, out)
                self.assertIn(reason, out)
                print("\ncheck-config: " + out.strip())
                os.chmod(path, 0o644)


if __name__ == "__main__":
    unittest.main()
