# SPDX-License-Identifier: GPL-3.0-or-later
"""An unprivileged local user (`nobody`, through setpriv) against a real daemon and
tavikctl run as root: objects planted before `tavikctl init`, a namespace made
world-writable, a log directory of nobody's with a link planted as the log file, a
configuration and a policy others may write. Each attack must be refused with its
reason, nothing may be written through the link, and no state nobody wrote may ever be
published. AttackTable adds what nobody, or a member of the namespace's group, can plant
or do beyond that: programs run as root, a segment truncated under the daemon, FIFOs
and hard links under the names tavik opens, slow HTTP clients. Root only (the attacks
need a second user)."""

import json
import os
import shutil
import socket
import subprocess
import time
import unittest

import cluster
from cluster import Cluster, TAVIKCTL

SKIP = cluster.can_run() or (None if shutil.which("setpriv") else "setpriv (util-linux) missing")
NOBODY = 65534
EXIT_BOUND = 20


def as_nobody(*argv, env=None, timeout=30):
    """Runs argv as nobody with no groups (its own group nogroup, 65534, is the one the
    namespaces of AttackTable are made for); (exit status, output)."""
    p = subprocess.run(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", "--", *argv],
                       env=env, capture_output=True, text=True, timeout=timeout)
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
        # The library's reason, in a second record.
        self.assertIn("sem_attach(): semaphore /%s.statchange (owner nobody (65534)" % self.ns, log)
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


def wait_for(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


@unittest.skipIf(SKIP, SKIP or "")
class AttackTable(unittest.TestCase):
    """Each attack with who makes it, what tavik must answer and with which exit status.
    A case returns (exit status, text); `expect` must be in the text."""
    slot = 230

    def setUp(self):
        AttackTable.slot += 1
        self.cluster = Cluster(nodes=1, slot=AttackTable.slot)
        self.addCleanup(self.cluster.close)
        self.node = self.cluster.nodes[0]
        self.ns = self.node.namespace
        self.dir = os.path.join(self.cluster.dir, "planted")
        os.makedirs(self.dir)

    def ctl(self, *args, env=None, timeout=30):
        e = self.node.env()
        e.update(env or {})
        p = subprocess.run([TAVIKCTL, *args], env=e, capture_output=True, text=True, timeout=timeout)
        return p.returncode, p.stdout + p.stderr

    def init(self, *extra):
        code, out = self.ctl("init", "--config", self.cluster.config, "--name", self.ns, "--force",
                             "--group", str(NOBODY), *extra)
        self.assertEqual(code, 0, out)

    def hook(self, body, folder_mode=0o755, owner=0, mode=0o755):
        folder = os.path.join(self.dir, "hooks")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "hook")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, mode)
        os.chown(path, owner, owner)
        os.chown(folder, owner, owner)
        os.chmod(folder, folder_mode)
        return path

    def start_daemon(self, *args):
        """tavikctl run with what earlier cases of the table left of its output and log removed,
        so that what the test waits for is this daemon's."""
        shutil.rmtree(os.path.join(self.node.dir, "log"), ignore_errors=True)
        if os.path.exists(os.path.join(self.node.dir, "run.out")):
            os.remove(os.path.join(self.node.dir, "run.out"))
        self.node.start_daemon(*args)

    def run_once(self, *args, env=None):
        """tavikctl run on a namespace of its own that must end by itself (a refusal):
        (exit status, output)."""
        self.init()
        return self.ctl("run", "--max-restarts", "0", *args, env=env, timeout=20)

    # ---- programs run as root ----
    def hook_of_nobody(self):
        return self.run_once("--notify", self.hook("exit 0", owner=NOBODY))

    def hook_others_may_write(self):
        return self.run_once("--notify", self.hook("exit 0", mode=0o777))

    def hook_in_open_folder(self):
        return self.run_once("--notify", self.hook("exit 0", folder_mode=0o777))

    def daemon_of_nobody(self):
        daemon = os.path.join(self.dir, "tavik")
        shutil.copy(cluster.DAEMON, daemon)
        os.chown(daemon, NOBODY, NOBODY)
        return self.run_once(env={"TAVIK_DAEMON": daemon})

    def hook_leaves_a_session(self):
        marker = "%d.25" % (300 + AttackTable.slot)
        self.node.start_bmc()
        self.init()
        hook = self.hook("setsid sleep %s </dev/null >/dev/null 2>&1 &\nexit 0" % marker)
        self.start_daemon("--notify", hook)
        self.assertTrue(wait_for(lambda: "is up" in self.node.run_text(), 20), self.node.run_text())
        self.assertTrue(wait_for(lambda: "killed 1 process" in self.node.run_text(), 10), self.node.run_text())
        status = self.node.stop_daemon()

        def left():
            found = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        if marker.encode() in f.read():
                            found.append(pid)
                except OSError:
                    pass
            return found
        self.assertEqual(left(), [], "a hook's process outlived it")
        return status, self.node.run_text()

    # ---- the namespace ----
    def truncated_under_the_daemon(self):
        self.node.start_bmc()
        self.init()
        self.start_daemon()
        self.assertTrue(wait_for(lambda: "started heartbeat checking" in self.node.run_text(), 20),
                        self.node.run_text())
        watch = subprocess.Popen([TAVIKCTL, "status", "--watch", "--json", "--name", self.ns], env=self.node.env(),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertIn('"namespace"', watch.stdout.readline())  # it has the segment mapped
        code, out = as_nobody("truncate", "-s", "0", "/dev/shm/%s.nm" % self.ns)
        self.assertEqual(code, 0, out)
        try:
            watch_text = watch.communicate(timeout=20)[1]
        except subprocess.TimeoutExpired:
            watch.kill()
            watch.communicate()
            raise
        watch_status = watch.returncode
        self.assertEqual(watch_status, 3, watch_text)
        self.assertIn("changed under this process: it shrank", watch_text)
        run_status = self.node.run.wait(timeout=30)
        self.node.run = None
        self.node.log.close()
        log = self.node.log_text()
        self.assertIn("IPC namespace changed under the daemon: segment /%s.nm changed under this process" % self.ns,
                      log)
        self.assertIn("tavik shutting down", log)
        self.assertIn("bmc_SetZelvarinStatus() executed.(ctrl:0x81)", log, "the BMC was not told of the stop")
        for command in (["status"], ["metrics"]):
            code, out = self.ctl(*command, "--name", self.ns)
            self.assertEqual(code, 3, out)
            self.assertIn("fewer than its header needs", out)
        return run_status, self.node.run_text() + log

    def fifo_after_destroy(self):
        self.init()
        self.ctl("destroy", "--name", self.ns)
        code, out = as_nobody("mkfifo", "-m", "0666", "/dev/shm/%s.nm" % self.ns)
        self.assertEqual(code, 0, out)
        code, watch = self.ctl("status", "--watch", "--name", self.ns, timeout=20)
        self.assertEqual(code, 3, watch)
        code, out = self.ctl("run", "--max-restarts", "0", timeout=20)
        return code, out + watch

    def planted_before_the_start(self, suffix):
        path = ("/dev/shm/sem.%s%s" if suffix.startswith(".s") or suffix.startswith(".d") else "/dev/shm/%s%s") % (
            self.ns, suffix)
        code, out = as_nobody("python3", "-c", "import os; os.close(os.open(%r, os.O_CREAT | os.O_RDWR, 0o666))" % path)
        self.assertEqual(code, 0, out)
        code, out = self.ctl("init", "--config", self.cluster.config, "--name", self.ns, "--if-missing")
        self.assertEqual(os.stat(path).st_uid, 0, out)
        status, view = self.ctl("status", "--name", self.ns)
        self.assertEqual(status, 2, view)  # readable; no daemon attached
        return code, out

    # ---- files the daemon writes and reads ----
    def log_dir_with(self, plant):
        victim = os.path.join(self.cluster.dir, "victim")
        with open(victim, "w") as f:
            f.write("root's file\n")
        logdir = os.path.join(self.dir, "log")
        os.makedirs(logdir)
        plant(victim, os.path.join(logdir, "tavik.log"))
        d = self.node.start_daemon_direct(TAVIK_LOG_DIR=logdir)
        try:
            status = d.wait(EXIT_BOUND)
        finally:
            d.close()
        with open(victim) as f:
            self.assertEqual(f.read(), "root's file\n", "written through the link")
        with open(os.path.join(self.node.dir, "daemon.out"), errors="replace") as f:
            return status, f.read()

    def bmc_conf_link(self):
        real = os.path.join(self.dir, "bmc.conf")
        with open(real, "w") as f:
            f.write("")
        link = os.path.join(self.dir, "bmc.link")
        os.symlink(real, link)
        return self.ctl("bmc", "targets", "--node", self.node.name, "--bmc-conf", link)

    # ---- the metrics port ----
    def exporter_without_write_access(self):
        self.init()
        for suffix in (".nm", ".cm"):
            os.chmod("/dev/shm/%s%s" % (self.ns, suffix), 0o640)
        return as_nobody(TAVIKCTL, "metrics", "--name", self.ns, env=self.node.env())

    def slow_clients(self):
        self.init()
        port = 19000 + os.getpid() % 1000 + AttackTable.slot
        server = subprocess.Popen([TAVIKCTL, "metrics", "--name", self.ns, "--listen", str(port),
                                   "--client-timeout", "3"], env=self.node.env(), stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        slow = []
        try:
            self.assertIn("metrics at", server.stdout.readline())
            server.stdout.close()
            for _ in range(200):
                s = socket.socket()
                s.bind(("127.0.0.1", 0))
                try:
                    s.connect(("127.0.0.1", port))
                    s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")  # and never the end
                except OSError:
                    pass
                slow.append(s)
            started = time.monotonic()
            with socket.socket() as s:
                s.settimeout(3)
                s.bind(("127.0.0.2", 0))
                s.connect(("127.0.0.1", port))
                s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
                answer = b""
                while chunk := s.recv(65536):
                    answer += chunk
            took = time.monotonic() - started
            self.assertLess(took, 2, "the scrape waited for the slow clients")
            return 0 if answer.startswith(b"HTTP/1.0 200") or answer.startswith(b"HTTP/1.1 200") else 1, \
                answer.decode(errors="replace")
        finally:
            for s in slow:
                s.close()
            server.terminate()
            server.wait(timeout=10)

    def test_attacks(self):
        link = lambda victim, path: os.link(victim, path)
        fifo = lambda victim, path: os.mkfifo(path)
        table = [  # (attack, case, expected exit status, expected text)
            ("hook owned by nobody", self.hook_of_nobody, 1, "another user owns it; refused"),
            ("root's hook that others may write", self.hook_others_may_write, 1,
             "its group or others may write it; refused"),
            ("root's hook in a folder others may write", self.hook_in_open_folder, 1,
             "may write it and it has no sticky bit; refused"),
            ("daemon binary owned by nobody", self.daemon_of_nobody, 1, "another user owns it; refused"),
            ("a hook that starts a session of its own", self.hook_leaves_a_session, 0,
             "killed 1 process a hook left running"),
            ("group member truncates NAME.nm under the daemon", self.truncated_under_the_daemon, 11,
             "not restarting: status 11"),
            ("FIFO planted under NAME.nm after destroy", self.fifo_after_destroy, 1, "not a regular file"),
            ("NAME.nm planted before the start", lambda: self.planted_before_the_start(".nm"), 0,
             "neither root nor this user owns it, so it could never be attached"),
            ("NAME.cm planted before the start", lambda: self.planted_before_the_start(".cm"), 0, "created from"),
            ("semaphore planted before the start", lambda: self.planted_before_the_start(".statchange"), 0,
             "removed /dev/shm/sem.%s.statchange (owner uid 65534" % self.ns),
            ("hard link to root's file as tavik.log", lambda: self.log_dir_with(link), 1,
             "tavik.log: a hard link (2 names); refused"),
            ("FIFO as tavik.log", lambda: self.log_dir_with(fifo), 1, "tavik.log: not a regular file; refused"),
            ("symbolic link as bmc.conf", self.bmc_conf_link, 1, "a symbolic link; refused"),
            ("exporter without write access (group member)", self.exporter_without_write_access, 0,
             'tavik_namespace_readable{namespace="%s"} 1' % self.ns),
            ("200 slow clients from one address", self.slow_clients, 0, "tavik_"),
        ]
        results = []
        for attack, case, status, expect in table:
            with self.subTest(attack=attack):
                started = time.monotonic()
                outcome = "failed"
                try:
                    code, text = case()
                    outcome = "exit %s" % code
                    self.assertEqual(code, status, text)
                    self.assertIn(expect, text)
                    outcome += ", refused as expected"
                finally:
                    results.append("%-50s %-30s %5.1f s" % (attack, outcome, time.monotonic() - started))
            for n in self.cluster.nodes:
                n.stop_daemon()
                n.stop_bmc()
            self.ctl("destroy", "--name", self.ns)
            shutil.rmtree(self.dir, ignore_errors=True)
            os.makedirs(self.dir)
        print("\n" + "\n".join(results))


if __name__ == "__main__":
    unittest.main()
