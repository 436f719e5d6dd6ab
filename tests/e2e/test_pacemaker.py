# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end: tavik's integrations (ha/) against the real Corosync, Pacemaker and
fence-agents of this machine. One Pacemaker node, node1, runs beside a two-node tavik
cluster (node1 and node2, simulated BMCs); node2 is a phantom to Pacemaker, a node it knows
but never sees, so that it can be fenced with fence_dummy."""

import os
import re
import signal
import subprocess
import time
import unittest

import cluster
import pcmk
from cluster import Cluster, wait_until

SKIP = pcmk.missing()
HA = os.path.join(cluster.SOURCE, "ha")
RECORD = "/run/tavik-alerts/record"


def report(name, seconds):
    print("\n%s: %.1f s" % (name, seconds), flush=True)


class Metadata(unittest.TestCase):
    """Each agent's metadata validates against the schema of its interface."""

    @unittest.skipIf(pcmk.missing(("xmllint",), need_root=False), pcmk.missing(("xmllint",), need_root=False) or "")
    def test_metadata_validates(self):
        for agent, args, schema in (("health", ["meta-data"], "ocf"),
                                    ("fence_heuristics_tavik", ["-o", "metadata"], "fence")):
            out = subprocess.run([os.path.join(HA, agent), *args], capture_output=True, check=True).stdout
            p = subprocess.run(["xmllint", "--noout", "--relaxng", pcmk.SCHEMAS[schema], "-"], input=out,
                               capture_output=True)
            self.assertEqual(p.returncode, 0, "%s: %s" % (agent, p.stderr.decode()))


def cib(c, n1):
    """The configuration docs/operations.md shows, with the test's paths and short times."""
    tavik = ('<nvpair id="{id}-tavikctl" name="tavikctl" value="%s"/>'
             '<nvpair id="{id}-ns" name="namespace" value="%s"/>'
             '<nvpair id="{id}-config" name="config" value="%s"/>') % (cluster.TAVIKCTL, n1.namespace, c.config)
    options = "\n".join('<nvpair id="opt-%s" name="%s" value="%s"/>' % (k, k, v) for k, v in (
        ("node-health-strategy", "progressive"), ("node-health-base", "100"), ("node-health-green", "0"),
        ("node-health-yellow", "0"), ("node-health-red", "-100")))
    resources = """
<clone id="tavik-health-clone"><meta_attributes id="thc-meta"/>
  <primitive id="tavik-health" class="ocf" provider="tavik" type="health">
    <instance_attributes id="th-ia">%s<nvpair id="th-dampen" name="dampen" value="1s"/></instance_attributes>
    <meta_attributes id="th-meta"><nvpair id="th-unhealthy" name="allow-unhealthy-nodes" value="true"/></meta_attributes>
    <operations><op id="th-mon" name="monitor" interval="1s" timeout="20s"/></operations>
  </primitive>
</clone>
<primitive id="service" class="ocf" provider="pacemaker" type="Dummy">
  <operations><op id="service-mon" name="monitor" interval="10s"/></operations></primitive>
<primitive id="guarded" class="ocf" provider="pacemaker" type="Dummy">
  <operations><op id="guarded-mon" name="monitor" interval="10s"/></operations></primitive>
<primitive id="tavik-fit" class="stonith" type="fence_heuristics_tavik">
  <instance_attributes id="tf-ia">%s<nvpair id="tf-bmc" name="bmc_conf" value="%s"/>
    <nvpair id="tf-hosts" name="pcmk_host_list" value="node2"/>
    <nvpair id="tf-delay" name="race_delay" value="2"/></instance_attributes></primitive>
<primitive id="dummy-fence" class="stonith" type="fence_dummy">
  <instance_attributes id="df-ia"><nvpair id="df-file" name="status_file" value="%s"/>
    <nvpair id="df-hosts" name="pcmk_host_list" value="node2"/></instance_attributes></primitive>
""" % (tavik.format(id="th"), tavik.format(id="tf"), n1.env()["TAVIK_BMC_CONF"], os.path.join(c.dir, "fence_dummy"))
    constraints = """
<rsc_location id="guarded-where-fencing-works" rsc="guarded">
  <rule id="guarded-not-red" score="-INFINITY"><expression id="guarded-red" attribute="#health-tavik"
    operation="eq" value="red"/></rule></rsc_location>"""
    more = """
<fencing-topology><fencing-level id="fl-node2" target="node2" index="1" devices="tavik-fit,dummy-fence"/></fencing-topology>
<alerts><alert id="tavik-view" path="%s/alert_tavik"><instance_attributes id="tv-ia">
  <nvpair id="tv-ctl" name="tavikctl" value="%s"/><nvpair id="tv-ns" name="tavik_namespace" value="%s"/>
  <nvpair id="tv-bmc" name="tavik_bmc" value="no"/></instance_attributes>
  <recipient id="tv-file" value="%s"/></alert></alerts>""" % (HA, cluster.TAVIKCTL, n1.namespace, RECORD)
    return dict(options=options, nodes='<node id="2" uname="node2"/>', resources=resources,
                constraints=constraints, more=more)


@unittest.skipIf(SKIP, SKIP or "")
class Pacemaker(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        c = cls.cluster = Cluster(nodes=2, slot=60)
        try:
            why = pcmk.enter_private_machine(c.dir, "node1")
            if why:
                raise unittest.SkipTest(why)
            n1, n2 = c.nodes
            for n in c.nodes:
                n.start_bmc()
            # The alert agent runs as hacluster: the namespace is readable to its group.
            n1.ctl("init", "--config", c.config, "--name", n1.namespace, "--force", "--group", "haclient")
            n2.init_namespace()
            for n in c.nodes:
                n.start_daemon("--start-after", "0")
            os.makedirs(os.path.dirname(RECORD))
            os.chown(os.path.dirname(RECORD), pcmk.pwd.getpwnam("hacluster").pw_uid, -1)
            cls.pcmk = pcmk.Pacemaker(c.dir, "node1", n1.env(), **cib(c, n1))
            if not wait_until(c.all_online, 30):
                raise RuntimeError("the tavik cluster did not come up")
            t0 = time.monotonic()
            cls.pcmk.start()
            report("Pacemaker up", time.monotonic() - t0)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "pcmk", None) is not None:
            cls.pcmk.close()
        cls.cluster.close()

    def setUp(self):
        self.n1, self.n2 = self.cluster.nodes
        self.assertTrue(wait_until(self.cluster.all_online, 30), "tavik not all online at the start")

    def self_check(self):
        p = subprocess.run([cluster.TAVIKCTL, "status", "--check", "--self"], env=self.n1.env(),
                           capture_output=True, text=True, timeout=30)
        return p.returncode, p.stdout.strip()

    def agent(self, name, stdin="", args=(), env=None):
        e = dict(self.n1.env(), **(env or {}))
        t0 = time.monotonic()
        p = subprocess.run([os.path.join(HA, name), *args], input=stdin, env=e, capture_output=True, text=True,
                           timeout=60)
        return p.returncode, p.stdout, p.stderr, time.monotonic() - t0

    def restart_bmc(self, node):
        node.start_bmc()
        self.assertTrue(wait_until(self.cluster.all_online, 30), "tavik not all online after the BMC restart")

    def test_agents_alone(self):
        """The fencing heuristic's standard-input cases and the local check, with no
        cluster manager in between."""
        base = "tavikctl=%s\nnamespace=%s\n" % (cluster.TAVIKCTL, self.n1.namespace)
        cases = [  # (standard input, exit status, in standard output)
            ("action=on\nport=node2\n", 0, ""),
            ("action=status\nport=node2\n", 0, "Status: ON"),
            ("action=status\nport=nowhere\n", 1, ""),
            ("action=list\n", 0, "node1,\nnode2,\n"),
            ("action=monitor\n", 0, ""),
            ("action=reboot\n", 1, ""),  # no target
            ("action=off\nport=node2\n", 0, ""),
            ("action=off\nport=node2\nrace_delay=soon\n", 1, ""),
            ("action=explode\nport=node2\n", 1, ""),
            ("action=on\nport=node2\nnamespace=none-such\n", 0, ""),  # unfencing never depends on tavik
            ("action=off\nport=node2\nnamespace=none-such\n", 1, ""),
        ]
        for stdin, code, out in cases:
            got = self.agent("fence_heuristics_tavik", base + stdin)
            self.assertEqual(got[0], code, "%r: %s%s" % (stdin, got[1], got[2]))
            self.assertIn(out, got[1], stdin)
        self.assertEqual(self.agent("health", args=["monitor"], env={"OCF_RESKEY_state": "/run/none"})[0], 7)
        # The alert agent with the BMC's view (as root here), and without a recipient.
        alert = {"CRM_alert_kind": "node", "CRM_alert_desc": "lost", "CRM_alert_node": "node2",
                 "CRM_alert_recipient": os.path.join(self.cluster.dir, "alert"), "tavikctl": cluster.TAVIKCTL}
        self.assertEqual(self.agent("alert_tavik", env=alert)[0], 0)
        with open(alert["CRM_alert_recipient"]) as f:
            self.assertRegex(f.read(), r"at node lost: this node TAVIK OK .*; hb1 online for .*; BMC 127\.\S+ "
                                       r"status 0x03 \(datagram, host alive\)\n$")
        self.assertEqual(self.agent("alert_tavik", env=dict(alert, CRM_alert_recipient=""))[0], 0)

        # A dead peer: `--check` says caution, the local check still says fit; a silent
        # peer BMC keeps the race delay.
        self.n2.kill_bmc()
        try:
            self.assertTrue(wait_until(lambda: self.n1.status()[0][("hb1", "node2")] == "offline", 20))
            code, line = self.self_check()
            self.assertEqual(code, 0, line)
            self.assertTrue(line.startswith("TAVIK OK - own pair online on hb1; daemon "), line)
            check = subprocess.run([cluster.TAVIKCTL, "status", "--check"], env=self.n1.env(), capture_output=True)
            self.assertEqual(check.returncode, 1)
            got = self.agent("fence_heuristics_tavik", base + "action=off\nport=node2\nrace_delay=1\n")
            self.assertEqual(got[0], 0, got[2])
            self.assertIn("node2's BMC is silent", got[2])
            self.assertGreaterEqual(got[3], 1.0)
        finally:
            self.restart_bmc(self.n2)

    def records(self, what):
        try:
            with open(RECORD) as f:
                return sum(1 for line in f if line.endswith("\n") and what in line)
        except FileNotFoundError:
            return 0

    def fence_node2(self):
        t0 = time.monotonic()
        p = self.pcmk.run("stonith_admin", "--reboot", "node2", "--timeout", "60")
        return p.returncode, time.monotonic() - t0

    def history(self):
        return self.pcmk.run("stonith_admin", "--history", "node2", "--verbose").stdout

    def agent_log(self):
        """What fenced logged of the heuristic's standard error."""
        with open(os.path.join(self.cluster.dir, "pacemaker.log"), errors="replace") as f:
            return [ln for ln in f if "fence_heuristics_tavik:" in ln]

    def test_fencing_heuristic_and_alert(self):
        self.pcmk.option("stonith-enabled", "true")
        self.addCleanup(self.pcmk.option, "stonith-enabled", "false")
        # node2 seen online: fenced after the race delay of 2 s.
        code, took = self.fence_node2()
        self.assertEqual(code, 0, self.history())
        self.assertGreaterEqual(took, 2)
        report("node2, seen online, fenced through the heuristic with race_delay=2", took)
        self.assertTrue(wait_until(lambda: self.records("at fencing") == 1, 20), "no alert record")
        with open(RECORD) as f:
            record = f.read()
        self.assertRegex(record, r"tavik view of node2 at fencing .*: OK .*: this node TAVIK OK - own pair online on "
                                 r"hb1; daemon \d+ up .*; hb1 online for \d")

        # This node's own BMC dead: it may not fence anyone.
        self.n1.kill_bmc()
        try:
            self.assertTrue(wait_until(lambda: self.self_check()[0] == 2, 30), self.self_check()[1])
            code, _ = self.fence_node2()
            self.assertNotEqual(code, 0)
            self.assertTrue(any("refusing to let node2 be fenced: this node is not fit" in ln
                                for ln in self.agent_log()), self.agent_log())
            self.assertIn("failed", self.history())
        finally:
            self.restart_bmc(self.n1)

        # No race delay once node2's host lease lapsed behind a BMC that still answers.
        os.kill(self.n2.daemon_pid(), signal.SIGSTOP)
        try:
            self.assertTrue(wait_until(lambda: self.n1.status()[0][("hb1", "node2")] == "offline", 20))
            code, took = self.fence_node2()
            self.assertEqual(code, 0)
            report("hung node2 fenced with race_delay=2", took)
            self.assertTrue(any("node2's BMC answers and shows its host's lease lapsed" in ln
                                for ln in self.agent_log()), self.agent_log())
            # Alerts run after the event: the record must see node2 still hung.
            self.assertTrue(wait_until(lambda: self.records("at fencing") == 3, 20), self.records("at fencing"))
        finally:
            os.kill(self.n2.daemon_pid(), signal.SIGCONT)
        with open(RECORD) as f:
            record = f.read()
        self.assertRegex(record, r"tavik view of node2 at fencing .*: Error .*: this node TAVIK ERROR - own pair not "
                                 r"online: hb1 error; .*; hb1 offline for")
        hung = [line for line in record.splitlines() if "at fencing" in line][-1]
        self.assertRegex(hung, r"at fencing .*: OK .*: this node TAVIK OK .*; hb1 offline for")
        print("\nalert record:\n%s\nfence history:\n%s" % (record, self.history()), flush=True)

    def test_health_attribute_follows_own_bmc(self):
        p = self.pcmk
        self.assertTrue(wait_until(lambda: (p.attribute("#health-tavik"), p.attribute("tavik-peers")) ==
                                   ("green", "1"), 30), (p.attribute("#health-tavik"), p.attribute("tavik-peers")))
        self.assertTrue(wait_until(lambda: p.running_on("guarded") == ["node1"], 30), p.log_tail("pacemaker.log"))
        self.assertEqual(self.score("service"), 100)

        self.n1.kill_bmc()
        t0 = time.monotonic()
        try:
            self.assertTrue(wait_until(lambda: p.attribute("#health-tavik") == "red", 30), p.attribute("#health-tavik"))
            report("own BMC killed to #health-tavik red", time.monotonic() - t0)
            self.assertTrue(wait_until(lambda: p.running_on("guarded") == [], 30))
            report("own BMC killed to the guarded resource stopped", time.monotonic() - t0)
            # Red on every node there is: the finite red score keeps the rest running.
            self.assertEqual(p.running_on("service"), ["node1"])
            self.assertEqual(self.score("service"), 0)
            self.assertEqual(p.attribute("tavik-peers"), "0")
            print("attrd_updater -Q -n '#health-tavik': %s" % p.run("attrd_updater", "-Q", "-n", "#health-tavik")
                  .stdout.strip(), flush=True)
        finally:
            t0 = time.monotonic()
            self.restart_bmc(self.n1)
        self.assertTrue(wait_until(lambda: p.attribute("#health-tavik") == "green", 30))
        self.assertTrue(wait_until(lambda: p.running_on("guarded") == ["node1"], 30))
        report("own BMC back to the guarded resource started", time.monotonic() - t0)

    def score(self, rsc):
        out = self.pcmk.run("crm_simulate", "--live-check", "--show-scores", check=True).stdout
        m = re.search(r"%s allocation score on node1: (-?\w+)" % rsc, out)
        return int(m.group(1)) if m else out


SKIP_QDEVICE = pcmk.missing(pcmk.QDEVICE + ("corosync", "corosync-cfgtool", "mount"))


@unittest.skipIf(SKIP_QDEVICE, SKIP_QDEVICE or "")
class QuorumDevice(unittest.TestCase):
    """`tavikctl status --check --self` as corosync-qdevice's exec_tavik heuristic, with
    corosync-qnetd on loopback: a dead peer leaves it passing, this node's own dead BMC
    fails it."""

    def test_heuristic_follows_own_bmc(self):
        c = Cluster(nodes=2, slot=62)
        self.addCleanup(c.close)
        why = pcmk.enter_private_machine(c.dir, "node1")
        if why:
            self.skipTest(why)
        c.start()
        self.assertTrue(wait_until(c.all_online, 30))
        n1, n2 = c.nodes
        check = "%s status --check --self --name %s --config %s" % (cluster.TAVIKCTL, n1.namespace, c.config)
        quorum = pcmk.Pacemaker(c.dir, "node1", n1.env(), heuristic=check)
        self.addCleanup(quorum.close)
        quorum.start_corosync()
        quorum.start_quorum_device()

        def regular(result):
            return wait_until(lambda: (quorum.heuristics_result() or "").startswith(result), 30, step=0.2)

        self.assertTrue(regular("Pass (regular: Pass"), quorum.heuristics_result())
        n2.kill_bmc()
        self.assertTrue(wait_until(lambda: n1.status()[0][("hb1", "node2")] == "offline", 20))
        time.sleep(2)  # two more runs of the heuristic
        self.assertTrue(regular("Pass (regular: Pass"), quorum.heuristics_result())
        t0 = time.monotonic()
        n1.kill_bmc()
        self.assertTrue(regular("Fail (regular: Fail"), quorum.heuristics_result())
        report("own BMC killed to the qdevice heuristic failing", time.monotonic() - t0)
        print("corosync-qdevice-tool -sv: Heuristics result: %s" % quorum.heuristics_result())
        n1.start_bmc()
        n2.start_bmc()
        self.assertTrue(regular("Pass (regular: Pass"), quorum.heuristics_result())
