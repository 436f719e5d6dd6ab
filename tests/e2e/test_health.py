# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end: whether `tavikctl status` can tell a live daemon from a dead or frozen one,
the change hooks of `tavikctl run --notify`, and the metrics served over HTTP."""

import json
import os
import signal
import socket
import stat
import subprocess
import time
import unittest
import urllib.request

import cluster
from cluster import Cluster, wait_until

SKIP = cluster.can_run()
HBTO = 4000
HBINT = 1000
# The check thread polls every 1 s + interval and waits up to the 1 s target time-out;
# status allows two such cycles.
CHECK_LIMIT_S = 2 * (1 + HBINT / 1000 + 1)
# The parser of a client we did not write: Debian's python3-prometheus-client.
DEBIAN_PYTHON = "/usr/bin/python3"

HOOK = """#!/bin/sh
echo "$(date +%s.%N) $TAVIK_SEQUENCE $TAVIK_EVENT $TAVIK_RESOURCE/$TAVIK_NODE/$TAVIK_NODE_ID $TAVIK_OLD $TAVIK_NEW $TAVIK_CHANGES $TAVIK_TIME" >> "$HOOK_DIR/hooks.log"
if [ -e "$HOOK_DIR/hang" ]; then
    rm -f "$HOOK_DIR/hang"
    echo "$(date +%s.%N) hang $TAVIK_SEQUENCE" >> "$HOOK_DIR/hooks.log"
    sleep 1000
fi
"""


def status(node, *args):
    p = subprocess.run([cluster.TAVIKCTL, "status", "--name", node.namespace, *args], env=node.env(),
                       capture_output=True, text=True, timeout=30)
    return p.returncode, p.stdout + p.stderr


def report(name, seconds, bound):
    print("\n%s: %.2f s (bound %.1f s)" % (name, seconds, bound), flush=True)


@unittest.skipIf(SKIP, SKIP or "")
class HealthTest(unittest.TestCase):
    slot = 40

    def setUp(self):
        HealthTest.slot += 1
        self.cluster = Cluster(nodes=3, hbto=HBTO, hbint=HBINT, slot=HealthTest.slot)
        self.addCleanup(self.cluster.close)

    def start(self, node1_args=()):
        for n in self.cluster.nodes:
            n.start_bmc()
        for n in self.cluster.nodes:
            n.init_namespace()
        for n in self.cluster.nodes:
            n.start_daemon("--start-after", "0", *(node1_args if n.index == 1 else ()))
        self.assertTrue(wait_until(self.cluster.all_online, 30))
        n1 = self.cluster.nodes[0]
        # Both threads seen: the check thread at a receipt, the watch thread at a scan.
        self.assertTrue(wait_until(lambda: status(n1)[0] == 0, 15), status(n1)[1])


class Liveness(HealthTest):
    def test_killed_and_frozen_daemons_are_not_shown_as_healthy(self):
        self.start()
        n1 = self.cluster.nodes[0]
        code, text = status(n1)
        pid = n1.daemon_pid()
        self.assertIn("daemon %d up" % pid, text.splitlines()[0])
        self.assertIn("check cycle", text.splitlines()[0])
        doc = json.loads(status(n1, "--json")[1])
        self.assertEqual(doc["daemon"]["state"], "up")
        self.assertTrue(doc["daemon"]["threads"]["check"]["seen"] and doc["daemon"]["threads"]["watch"]["seen"])
        self.assertEqual(doc["daemon"]["supervisor"]["child_pid"], pid)
        code, line = status(n1, "--check")
        self.assertEqual(code, 0, line)
        self.assertTrue(line.startswith("TAVIK OK - daemon %d up" % pid), line)

        # Frozen: the process is there but cycles no more.
        os.kill(pid, signal.SIGSTOP)
        try:
            self.assertTrue(wait_until(lambda: status(n1)[0] == 2, 5), status(n1)[1])
            code, text = status(n1)
            self.assertIn("not cycling", text.splitlines()[0])
            self.assertEqual(json.loads(status(n1, "--json")[1])["daemon"]["state"], "stopped")
        finally:
            os.kill(pid, signal.SIGCONT)
        self.assertTrue(wait_until(lambda: status(n1)[0] == 0, 15), status(n1)[1])

        # Killed with its supervisor, as an operator might: gone within two of its cycles.
        os.kill(n1.run.pid, signal.SIGKILL)
        os.kill(pid, signal.SIGKILL)
        t0 = time.monotonic()
        gone = wait_until(lambda: status(n1)[0] == 2, 2 * CHECK_LIMIT_S)
        elapsed = time.monotonic() - t0
        report("killed daemon shown as gone", elapsed, 2 * CHECK_LIMIT_S)
        self.assertTrue(gone, status(n1)[1])
        code, text = status(n1)
        self.assertTrue(text.startswith("NO DAEMON: states below are from "), text)
        code, line = status(n1, "--check")
        self.assertEqual(code, 2)
        self.assertTrue(line.startswith("TAVIK ERROR - NO DAEMON"), line)
        doc = json.loads(status(n1, "--json")[1])
        self.assertEqual((doc["health"], doc["daemon"]["state"]), (2, "gone"))
        self.assertFalse(doc["daemon"]["supervisor"]["alive"])
        n1.run.wait()
        n1.run = None
        n1.log.close()

    def test_status_json_follows_its_documented_schema(self):
        self.start()
        doc = json.loads(status(self.cluster.nodes[0], "--json")[1])
        with open(os.path.join(cluster.SOURCE, "docs/status-json.md")) as f:
            documented = f.read()
        self.assertIn("`schema`: %d" % doc["schema"], documented)
        # Every key the real output has is documented, in the section of its object.
        def keys(obj, prefix):
            for k, v in obj.items():
                yield prefix + k
                if isinstance(v, dict) and k not in ("detection",):
                    yield from keys(v, prefix + k + ".")
        for key in keys(doc, ""):
            self.assertIn("`%s`" % key, documented, key)
        for key in keys(doc["resources"][0], "resources[]."):
            self.assertIn("`%s`" % key, documented, key)
        for key in keys(doc["resources"][0]["nodes"][0], "resources[].nodes[]."):
            self.assertIn("`%s`" % key, documented, key)


class Supervisor(HealthTest):
    def test_a_daemon_that_cannot_load_its_configuration_is_not_restarted(self):
        n1 = self.cluster.nodes[0]
        os.makedirs(n1.dir, exist_ok=True)
        n1.init_namespace()
        bad = os.path.join(self.cluster.dir, "broken.xml")
        with open(bad, "w") as f:
            f.write("<root><tavik>\n")
        n1.extra_env["TAVIK_CONFIG"] = bad
        n1.start_daemon("--max-restarts", "3")
        status_code = n1.run.wait(timeout=30)
        n1.run = None
        n1.log.close()
        text = n1.run_text()
        self.assertIn(status_code, (4, 9, 10), text)
        self.assertIn("not restarting: status %d" % status_code, text)
        self.assertIn("tavikctl check-config", text)
        self.assertNotIn("restarting in resume mode", text)
        doc = json.loads(status(n1, "--json")[1])
        sup = doc["daemon"]["supervisor"]
        self.assertEqual((sup["phase"], sup["last_exit"], sup["restarts"], sup["alive"]),
                         ("stopped", status_code, 0, False))


class Hooks(HealthTest):
    def test_every_change_of_a_bmc_kill_and_recovery_in_order_and_a_hung_hook_is_killed(self):
        hook_dir = os.path.join(self.cluster.dir, "hooks")
        os.makedirs(hook_dir)
        hook = os.path.join(hook_dir, "hook.sh")
        with open(hook, "w") as f:
            f.write(HOOK)
        os.chmod(hook, stat.S_IRWXU)
        n1, _, n3 = self.cluster.nodes
        n1.extra_env["HOOK_DIR"] = hook_dir
        self.start(("--notify", hook, "--notify-timeout", "1"))
        log = os.path.join(hook_dir, "hooks.log")
        def logged():
            if not os.path.exists(log):
                return ""
            with open(log) as f:
                return f.read()
        self.assertTrue(wait_until(lambda: " daemon-start " in logged(), 10))

        open(os.path.join(hook_dir, "hang"), "w").close()  # the next hook hangs
        n3.kill_bmc()
        self.assertTrue(wait_until(lambda: n1.status()[0][("hb1", "node3")] == "offline", 30))
        n3.start_bmc()
        self.assertTrue(wait_until(self.cluster.all_online, 40))
        time.sleep(1.5)  # the poll of the namespace and the last hook

        _, _, after = n1.status()
        with open(log) as f:
            lines = [l.split() for l in f if l.strip()]
        hung = [l for l in lines if l[1] == "hang"]
        self.assertEqual(len(hung), 1, lines)
        runs = [l for l in lines if l[1] != "hang"]
        sequences = [int(l[1]) for l in runs]
        self.assertEqual(sequences, sorted(sequences), lines)
        # Every change of every pair since the namespace was made (the supervisor looked at
        # it before its daemon started), in order: each old value is the previous new one.
        for r in after["resources"]:
            for n in r["nodes"]:
                key = (r["name"], n["name"])
                seen = [l for l in runs if l[2] == "state" and l[3].split("/")[:2] == list(key)]
                changes = sum(int(l[6]) for l in seen)
                self.assertEqual(changes, n["changes"], (key, seen))
                for a, b in zip(seen, seen[1:]):
                    self.assertEqual(a[5], b[4], seen)
                if seen:
                    self.assertEqual(seen[-1][5], n["state"], seen)
        node3 = [(l[4], l[5]) for l in runs if l[2] == "state" and l[3].startswith("hb1/node3/")]
        self.assertIn(("online", "offline"), node3)
        self.assertEqual(node3[-1], ("offline", "online"))
        # The hung hook did not hold up the next: it ran at most the time-out and a poll late.
        hung_at = float(hung[0][0])
        nxt = [l for l in runs if float(l[0]) > hung_at]
        self.assertTrue(nxt, lines)
        self.assertLess(float(nxt[0][0]) - hung_at, 1 + 1.5, lines)
        self.assertIn("did not end within 1000 ms: killed", n1.run_text())


class Metrics(HealthTest):
    def test_scraped_over_http_and_parsed_by_prometheus_client(self):
        self.start()
        n1 = self.cluster.nodes[0]
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        server = subprocess.Popen([cluster.TAVIKCTL, "metrics", "--name", n1.namespace, "--listen", str(port)],
                                  env=n1.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(server.wait, 10)
        self.addCleanup(server.send_signal, signal.SIGTERM)
        self.assertIn("metrics at http://127.0.0.1:%d/metrics" % port, server.stdout.readline())
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10) as r:
            self.assertTrue(r.headers["Content-Type"].startswith("text/plain; version=0.0.4"))
            body = r.read().decode()
        parse = ("import json, sys\n"
                 "from prometheus_client.parser import text_string_to_metric_families as f\n"
                 "print(json.dumps([[s.name, s.labels, s.value] for m in f(sys.stdin.read()) for s in m.samples]))")
        p = subprocess.run([DEBIAN_PYTHON, "-c", parse], input=body, capture_output=True, text=True, timeout=30)
        self.assertEqual(p.returncode, 0, p.stderr)
        samples = json.loads(p.stdout)
        value = {(n, tuple(sorted(l.items()))): v for n, l, v in samples}
        ns = ("namespace", n1.namespace)
        self.assertEqual(value[("tavik_daemon_up", (ns,))], 1)
        for node in ("node1", "node2", "node3"):
            labels = (ns, ("node", node), ("node_id", node[-1]), ("resource", "hb1"), ("state", "online"),
                      ("type", "tavik"))
            self.assertEqual(value[("tavik_pair_state", labels)], 1)
        self.assertEqual(value[("tavik_detection_window_seconds", (ns, ("path", "bmc")))], 3)
        self.assertIn(("tavik_thread_cycle_age_seconds", (ns, ("thread", "check"))), value)


if __name__ == "__main__":
    unittest.main()
