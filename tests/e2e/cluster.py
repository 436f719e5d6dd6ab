# SPDX-License-Identifier: GPL-3.0-or-later
# Kept whole past 500 lines: one class owns every process and file of the cluster, so
# that close() can stop and remove all of them.
"""A tavik cluster on one machine, for end-to-end tests, the demo and benchmarks.

Each node has a simulated BMC (tavik-bmcsim on its own loopback address), its own IPC
namespace (made by `tavikctl init`), and a daemon run by `tavikctl run` in its own UTS
namespace, so that the daemon's host name is the node's name. Everything the cluster
starts is stopped and removed again by close(), also after a failure.

Against a sanitizer build (TAVIK_BUILD=build/asan or build/tsan) every program the
cluster starts writes its sanitizer reports into the cluster's folder instead of its
standard error, and close() fails with their text when there is any: a report of a
daemon that tavikctl run restarted, or of a leak at a clean exit, is never lost.

Every BMC and every daemon (with its tavikctl run) gets a session of its own. Tests freeze
BMCs and daemons with SIGSTOP; were they in the caller's process group, and that group
orphaned meanwhile (a run in the background whose shell ended), the kernel would send the
whole group SIGHUP, on which every simulated BMC stops.

Not thread-safe: one Cluster is driven by one thread.
"""

import ctypes
import datetime
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

BUILD = os.environ.get("TAVIK_BUILD", os.path.join(os.path.dirname(__file__), "../../build/release"))
SOURCE = os.environ.get("TAVIK_SOURCE", os.path.join(os.path.dirname(__file__), "../.."))
TAVIKCTL = os.path.join(BUILD, "tools/tavikctl/tavikctl")
DAEMON = os.path.join(BUILD, "src/tavik")
BMCSIM = os.path.join(BUILD, "bmcsim/tavik-bmcsim")
IPMI_RAW = shutil.which("ipmi-raw") or "/usr/sbin/ipmi-raw"
SANITIZED = os.path.basename(os.path.normpath(BUILD)) in ("asan", "tsan")
LIBC = ctypes.CDLL(None, use_errno=True)
CLONE_NEWUTS = 0x04000000
CLONE_NEWNET = 0x40000000

STATES = {1: "online", 2: "offline", 9: "unknown", 15: "unused"}
SANITIZER_VARIABLES = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")


def with_sanitizer_logs(env, prefix):
    """env with every sanitizer's reports sent to files prefix.PID (the runtimes add the
    process id); programs built without a sanitizer ignore these variables."""
    for var in SANITIZER_VARIABLES:
        base = env.get(var, "")
        env[var] = (base + ":" if base else "") + "log_path=" + prefix
    return env


class SanitizerReport(AssertionError):
    """A sanitizer reported something in a program of the cluster."""


def can_run():
    """Why a cluster cannot run here, or None when it can."""
    if os.geteuid() != 0:
        return "needs root (each daemon runs in its own UTS namespace)"
    for path in (TAVIKCTL, DAEMON, BMCSIM):
        if not os.access(path, os.X_OK):
            return "not built: " + path
    if shutil.which("unshare") is None or shutil.which("ipmi_sim") is None:
        return "unshare or ipmi_sim missing"
    return None


_private_net = None  # the network namespace private_network() made


def private_network():
    """Moves this process into a network namespace of its own, with loopback up and the
    local routing table looked up after the rules a test adds (so that a rule can cut
    traffic between two loopback addresses); every process it starts later is in there
    too, and the machine's network stays untouched. Returns why it cannot, or None."""
    if os.geteuid() != 0:
        return "needs root (a network namespace of its own)"
    if shutil.which("ip") is None:
        return "ip (iproute2) missing"
    before = os.stat("/proc/thread-self/ns/net").st_ino
    if LIBC.unshare(CLONE_NEWNET) != 0:
        return "no network namespace allowed here: " + os.strerror(ctypes.get_errno())
    if os.stat("/proc/thread-self/ns/net").st_ino == before:
        raise RuntimeError("unshare reported a new network namespace but this is still the old one")
    global _private_net
    _private_net = os.stat("/proc/thread-self/ns/net").st_ino
    for rule in (["link", "set", "lo", "up"], ["rule", "add", "pref", "100", "lookup", "local"],
                 ["rule", "del", "pref", "0", "lookup", "local"]):
        p = subprocess.run(["ip", *rule], capture_output=True, text=True)
        if p.returncode != 0:
            return "ip %s in the private network: %s" % (" ".join(rule), p.stderr.strip())
    return None


def wait_until(predicate, timeout, step=0.05):
    """Polls predicate until it returns a true value or timeout seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


class Node:
    def __init__(self, cluster, index):
        self.cluster = cluster
        self.index = index
        self.name = "node%d" % index
        self.addr = cluster.addr(index)
        self.dir = os.path.join(cluster.dir, self.name)
        self.namespace = "%s-%s" % (cluster.tag, self.name)
        self.bmc = None
        self.run = None
        self.log = None
        self.extra_env = {}  # overrides of the daemon's environment, e.g. TAVIK_BMC_CONF
        self.direct = None  # a DirectDaemon, when started by start_daemon_direct

    # ---- the simulated BMC ----
    def start_bmc(self, *extra):
        bmcdir = os.path.join(self.dir, "bmc")
        os.makedirs(bmcdir, exist_ok=True)
        self.bmc_log = open(os.path.join(self.dir, "bmcsim.out"), "ab")
        env = with_sanitizer_logs(dict(os.environ), os.path.join(self.cluster.reports, self.name + "-bmcsim"))
        self.bmc = subprocess.Popen(
            [BMCSIM, "--addr", self.addr, "--port", str(self.cluster.lan_port), "--dir", bmcdir,
             "--hb-port", str(self.cluster.hb_port), "--period-ms", str(self.cluster.period_ms),
             "--timeout-ms", str(self.cluster.bmc_timeout_ms), *self.cluster.bmc_args, *extra],
            stdout=subprocess.PIPE, stderr=self.bmc_log, stdin=subprocess.DEVNULL, env=env,
            start_new_session=True)
        line = self.bmc.stdout.readline().decode(errors="replace")
        if "ready" not in line:
            raise RuntimeError("%s: simulated BMC did not start: %r" % (self.name, line))

    def bmc_pid(self):
        """The ipmi_sim process of this node's BMC."""
        with open(os.path.join(self.dir, "bmc", "ipmi_sim.pid")) as f:
            return int(f.read().strip())

    def kill_bmc(self):
        os.kill(self.bmc_pid(), signal.SIGKILL)
        self.bmc.wait(timeout=10)
        self._forget_bmc()

    def _forget_bmc(self):
        self.bmc.stdout.close()
        self.bmc_log.close()
        self.bmc = None

    def drop_from(self, other, drop=True):
        """Makes this node's BMC ignore (or hear again) the datagrams of other's BMC: a
        link cut in one direction."""
        cc, _ = self.bmc_raw(0x3E, 0x02, *(int(x) for x in other.addr.split(".")), 0x01 if drop else 0x00)
        if cc != 0:
            raise RuntimeError("%s: drop hook refused (cc %#x)" % (self.name, cc))

    def cut_bmc_link(self, cut=True):
        """Cuts (or heals) this node's BMC network port: nothing reaches its LAN channel,
        while its host keeps its own access. Only inside private_network()."""
        if os.stat("/proc/thread-self/ns/net").st_ino != _private_net:
            raise RuntimeError("refusing to change routing rules outside a private_network()")
        rule = ["pref", "10", "to", self.addr, "ipproto", "udp", "dport", str(self.cluster.lan_port),
                "unreachable"]
        subprocess.run(["ip", "rule", "add" if cut else "del", *rule], check=True, capture_output=True)

    def freeze_bmc(self):
        os.kill(self.bmc_pid(), signal.SIGSTOP)

    def thaw_bmc(self):
        os.kill(self.bmc_pid(), signal.SIGCONT)

    def bmc_raw(self, cmd, *data):
        """One OEM request (netfn 0x30) to this node's BMC through FreeIPMI's ipmi-raw;
        returns (completion code, response data bytes)."""
        with open(os.path.join(self.dir, "bmc", "password")) as f:
            password = f.read().strip()
        p = subprocess.run(
            [IPMI_RAW, "-h", "%s:%d" % (self.addr, self.cluster.lan_port), "-u", "ipmiusr", "-p", password,
             "-l", "admin", "--driver-type=LAN_2_0", "-W", "opensesspriv", "0", "0x30",
             "0x%02x" % cmd, *("0x%02x" % b for b in data)],
            capture_output=True, text=True, timeout=30)
        words = p.stdout.split()
        if p.returncode != 0 or "rcvd:" not in words:
            raise RuntimeError("ipmi-raw to %s: %s%s" % (self.name, p.stdout, p.stderr))
        reply = [int(w, 16) for w in words[words.index("rcvd:") + 1:]]
        return reply[1], reply[2:]

    def bmc_counters(self):
        """The simulated BMC's state report: host alive, access time-out, seconds since the
        last status (None: never), datagrams sent, received and dropped by hooks."""
        cc, d = self.bmc_raw(0x3E, 0x04)
        if cc != 0 or len(d) != 17:
            raise RuntimeError("%s: state report refused (cc %#x, %d bytes)" % (self.name, cc, len(d)))

        def le(i, n):
            return int.from_bytes(bytes(d[i:i + n]), "little")
        since = le(3, 2)
        return {"alive": d[0] == 1, "access_timeout": le(1, 2), "since_status": None if since == 0xFFFF else since,
                "sent": le(5, 4), "received": le(9, 4), "dropped": le(13, 4)}

    def stop_bmc(self):
        if self.bmc is not None:
            try:
                os.kill(self.bmc_pid(), signal.SIGCONT)
            except (OSError, ValueError):
                pass
            self.bmc.terminate()
            try:
                self.bmc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.bmc.kill()
                self.bmc.wait()
            self._forget_bmc()

    # ---- the daemon under tavikctl run ----
    def env(self):
        e = dict(os.environ)
        e.update({
            "TAVIK_CONFIG": self.cluster.config,
            "TAVIK_POLICY_DIR": os.path.join(SOURCE, "policy"),
            "TAVIK_LOG_DIR": os.path.join(self.dir, "log"),
            "TAVIK_IPC_NAME": self.namespace,
            "TAVIK_BMC_CONF": os.path.join(self.dir, "bmc", "bmc.conf"),
            "TAVIK_DAEMON": DAEMON,
        })
        e.update(self.extra_env)
        return with_sanitizer_logs(e, os.path.join(self.cluster.reports, self.name))

    def ctl(self, *args, check=True):
        """Runs tavikctl for this node's namespace; returns its standard output."""
        p = subprocess.run([TAVIKCTL, *args], env=self.env(), capture_output=True, text=True, timeout=30)
        if check and p.returncode != 0:
            raise RuntimeError("tavikctl %s: %s%s" % (" ".join(args), p.stdout, p.stderr))
        return p.stdout

    def bmc_targets(self, *extra):
        """`tavikctl bmc targets` for this node's BMC: (exit status, output)."""
        p = subprocess.run([TAVIKCTL, "bmc", "targets", "--node", self.name, *extra], env=self.env(),
                           capture_output=True, text=True, timeout=30)
        return p.returncode, p.stdout + p.stderr

    def init_namespace(self):
        self.ctl("init", "--config", self.cluster.config, "--name", self.namespace, "--force")

    def start_daemon(self, *run_args):
        self.log = open(os.path.join(self.dir, "run.out"), "ab")
        script = 'hostname "$1" && shift && exec "$@"'
        self.run = subprocess.Popen(
            ["unshare", "--uts", "sh", "-c", script, "sh", self.name, TAVIKCTL, "run", *run_args],
            env=self.env(), stdout=self.log, stderr=self.log, stdin=subprocess.DEVNULL, start_new_session=True)

    def start_daemon_direct(self, **env):
        """Starts the daemon itself, without tavikctl run, with this process as its parent
        (see DirectDaemon); keyword arguments override the node's environment. stop_daemon
        and Cluster.close stop it as they stop one under tavikctl run."""
        self.direct = DirectDaemon(self, env)
        return self.direct

    def daemon_pid(self):
        """The daemon process: the child of tavikctl run (or of this process), or None."""
        if self.direct is not None:
            return self.direct.pid if self.direct.proc.poll() is None else None
        if self.run is None:
            return None
        try:
            with open("/proc/%d/task/%d/children" % (self.run.pid, self.run.pid)) as f:
                kids = f.read().split()
        except OSError:
            return None
        return int(kids[0]) if kids else None

    def stop_daemon(self, timeout=20):
        """Orderly stop through SIGTERM to tavikctl run (SIGUSR1 to a daemon started
        directly); returns its exit status."""
        if self.direct is not None:
            return self._stop_direct(timeout)
        if self.run is None:
            return None
        pid = self.daemon_pid()
        if pid:
            try:
                os.kill(pid, signal.SIGCONT)
            except OSError:
                pass
        self.run.send_signal(signal.SIGTERM)
        try:
            status = self.run.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.run.kill()
            status = self.run.wait()
        self.run = None
        self.log.close()
        return status

    def _stop_direct(self, timeout):
        d, self.direct = self.direct, None
        try:
            d.send(signal.SIGCONT)
            d.send(signal.SIGUSR1)
        except OSError:
            pass
        try:
            return d.wait(timeout)
        finally:
            d.close()

    def status(self):
        """This node's view: {(rsc, node): state name}, {rsc: status}, and the raw JSON."""
        # Its exit status says how healthy the node is (0 to 2); only 3 means it read nothing.
        p = subprocess.run([TAVIKCTL, "status", "--json", "--name", self.namespace], env=self.env(),
                           capture_output=True, text=True, timeout=30)
        if p.returncode not in (0, 1, 2):
            raise RuntimeError("tavikctl status: %s%s" % (p.stdout, p.stderr))
        raw = json.loads(p.stdout)
        states = {}
        statuses = {}
        for r in raw["resources"]:
            statuses[r["name"]] = r["status"]
            for n in r["nodes"]:
                states[(r["name"], n["name"])] = n["state"]
        return states, statuses, raw

    def log_text(self, name="tavik.log"):
        path = os.path.join(self.dir, "log", name)
        try:
            with open(path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def published_at(self, rsc, who, state, after):
        """Unix time of the first record at or after `after` in which this node's daemon
        published (rsc, who) as state ("ONLINE", "OFFLINE"), or None. The records carry the
        time the state was published, free of the delay of polling tavikctl, which on a loaded
        machine (a sanitizer build most of all) takes up to seconds per call."""
        wanted = re.compile(r"rsc\(%s\)/node\(%s\(-?\d+\)\) -> %s$" % (re.escape(rsc), re.escape(who.name), state))
        for line in self.log_text().splitlines():
            stamp, _, rest = line.partition(" ")
            if wanted.search(rest):
                try:
                    t = datetime.datetime.fromisoformat(stamp).timestamp()
                except ValueError:
                    continue
                if t >= after:
                    return t
        return None

    def run_text(self):
        """What tavikctl run said about this node's daemon: starts, ends, restarts."""
        try:
            with open(os.path.join(self.dir, "run.out"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def events(self, number):
        """The records of event `number` in this node's event log (all generations)."""
        tag = "EVENT "
        mark = ": [%d] " % number
        lines = []
        for name in ["event.log.%d" % g for g in range(5, 0, -1)] + ["event.log"]:
            lines += [ln for ln in self.log_text(name).splitlines() if tag in ln and mark in ln]
        return lines


class DirectDaemon:
    """A daemon started by this process itself, as its parent, in the node's UTS namespace.

    Its readiness signal (SIGUSR1) comes to this process, so SIGUSR1 is blocked in the
    calling thread while any DirectDaemon is open and taken with sigtimedwait. The daemon
    inherits the block: a SIGUSR1 sent to it at any moment of its start-up, even before its
    first instruction, waits in its pending set until it takes it, as it does any stop
    request. Several may be open at once (the benchmarks start a cluster of them); all are
    driven from the main thread.
    """

    _open = 0
    _old_mask = None

    def __init__(self, node, env):
        self.node = node
        if DirectDaemon._open == 0:
            DirectDaemon._old_mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
            while signal.sigtimedwait({signal.SIGUSR1}, 0) is not None:
                pass  # left over from an earlier daemon
        DirectDaemon._open += 1
        self.closed = False
        e = node.env()
        e.update(env)
        os.makedirs(node.dir, exist_ok=True)
        self.out = open(os.path.join(node.dir, "daemon.out"), "ab")
        # Not through unshare(1) and sh: sh clears the signal mask. The child makes its own
        # UTS namespace between fork and exec instead.
        name = node.name.encode()

        def own_host_name():
            if LIBC.unshare(CLONE_NEWUTS) != 0 or LIBC.sethostname(name, len(name)) != 0:
                raise OSError(ctypes.get_errno(), "cannot give the daemon its own host name")

        self.started = time.monotonic()
        try:
            self.proc = subprocess.Popen([DAEMON], env=e, stdout=self.out, stderr=self.out,
                                         stdin=subprocess.DEVNULL, preexec_fn=own_host_name,
                                         start_new_session=True)
        except BaseException:
            self.proc = None
            self.close()
            raise
        self.pid = self.proc.pid
        self.ready_at = None

    def await_ready(self, timeout):
        """Waits for the daemon's SIGUSR1; whether it came within timeout seconds."""
        deadline = time.monotonic() + timeout
        while self.ready_at is None:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            info = signal.sigtimedwait({signal.SIGUSR1}, left)
            if info is not None and info.si_pid == self.pid:
                self.ready_at = time.monotonic()
        return True

    def send(self, signo):
        # Never to a pid that was reaped already: it may belong to another process by now.
        if self.proc.poll() is None:
            os.kill(self.pid, signo)

    def wait(self, timeout):
        """The exit status (negative: killed by that signal), or None when the daemon is
        still running after timeout seconds; it is then killed."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def close(self):
        if self.closed:
            return
        self.closed = True
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        DirectDaemon._open -= 1
        if DirectDaemon._open == 0:
            # A readiness signal that came after the last wait must not reach the unblocked mask.
            while signal.sigtimedwait({signal.SIGUSR1}, 0) is not None:
                pass
            signal.pthread_sigmask(signal.SIG_SETMASK, DirectDaemon._old_mask)


class Cluster:
    """Nodes node1..nodeN on 127.<a>.<b>.1..N, with heartbeat time-out and interval in ms."""

    def __init__(self, nodes=3, hbto=4000, hbint=1000, resources=("hb1",), watchth=1, period_ms=200,
                 slot=0, tavik_xml="", log_size=None, bmc_args=(), log_level=15, mlock=None, stacksize=None,
                 bmc_timeout_ms=1000, standard=False, own_port=None):
        """tavik_xml: more elements inside <tavik>; log_size: the channel's rotation size
        (None: the default); bmc_args: options for every BMC; log_level, mlock, stacksize:
        daemon settings (None leaves a key out); bmc_timeout_ms: the BMC library's
        timeout_ms in each access file; standard: every BMC a stock ipmi_sim with the IPMI 2.0
        watchdog module (tavik-bmcsim --standard) and every library on driver = standard, with
        one peer password for the whole cluster; own_port: with standard, the port of a second
        LAN channel on which each host reaches its own BMC, as in-band access would (so that a
        BMC's network port can be cut alone)."""
        self.dir = tempfile.mkdtemp(prefix="tavik-e2e-")
        self.reports = os.path.join(self.dir, "sanitizer")
        os.makedirs(self.reports)
        self.bmc_args = tuple(bmc_args)
        self.standard = standard
        if standard:
            own = ("--local-port", str(own_port)) if own_port else ()
            self.bmc_args = ("--standard", "--peer-password-file", os.path.join(self.dir, "peer-password"),
                             *own, *self.bmc_args)
        pid = os.getpid()
        self.tag = "e2e%d" % pid
        # Distinct addresses and ports per process, so tests may run side by side.
        self.net = (20 + pid % 200, (pid // 200 + slot) % 250 + 1)
        self.lan_port = 9001
        self.hb_port = 6230
        self.period_ms = period_ms
        self.bmc_timeout_ms = bmc_timeout_ms  # the BMC library's timeout_ms in each access file
        self.hbto = hbto
        self.hbint = hbint
        self.nodes = [Node(self, i) for i in range(1, nodes + 1)]
        self.config = os.path.join(self.dir, "cluster.xml")
        self.log_level = log_level
        self.mlock = mlock
        self.stacksize = stacksize
        self.write_config(resources, watchth, tavik_xml, log_size)

    def addr(self, index):
        return "127.%d.%d.%d" % (self.net[0], self.net[1], index)

    def write_config(self, resources, watchth, tavik_xml="", log_size=None):
        servers = "".join(
            '  <server name="%s"><priority>%d</priority>'
            '<device name="0"><info>%s</info></device></server>\n' % (n.name, n.index, n.addr)
            for n in self.nodes)
        rscs = "".join('    <tavik name="%s"><priority>%d</priority><device>0</device></tavik>\n' % (r, i + 1)
                       for i, r in enumerate(resources))
        size = "" if log_size is None else "<size>%d</size>" % log_size
        tavik = "<watchth>%d</watchth><log><level>%d</level>%s</log>" % (watchth, self.log_level, size)
        if self.mlock is not None:
            tavik += "<mlock>%s</mlock>" % ("yes" if self.mlock else "no")
        if self.stacksize is not None:
            tavik += "<thread><stacksize>%d</stacksize></thread>" % self.stacksize
        tavik += tavik_xml
        text = ('<?xml version="1.0"?>\n<root>\n'
                '  <tavik>%s</tavik>\n'
                '  <all><num><server>%d</server><hbr>%d</hbr></num></all>\n'
                '  <cluster><heartbeat><timeout>%d</timeout><interval>%d</interval></heartbeat></cluster>\n'
                '%s  <heartbeat>\n%s  </heartbeat>\n</root>\n'
                % (tavik, len(self.nodes), len(resources), self.hbto, self.hbint, servers, rscs))
        with open(self.config, "w") as f:
            f.write(text)

    def start(self, start_after=0):
        for n in self.nodes:
            n.start_bmc()
        for n in self.nodes:
            n.init_namespace()
        for n in self.nodes:
            n.start_daemon("--start-after", str(start_after))

    def all_online(self, viewers=None, among=None):
        """Whether every viewer sees every pair (of nodes `among`) online and every resource normal."""
        viewers = viewers or self.nodes
        names = {n.name for n in (among or self.nodes)}
        for v in viewers:
            states, statuses, _ = v.status()
            pairs = [s for (r, node), s in states.items() if node in names]
            if not pairs or any(s != "online" for s in pairs):
                return False
            if among is None and any(s != "normal" for s in statuses.values()):
                return False
        return True

    def sanitizer_reports(self):
        """The text of every sanitizer report written so far, one string per file."""
        found = []
        for name in sorted(os.listdir(self.reports)):
            path = os.path.join(self.reports, name)
            with open(path, errors="replace") as f:
                text = f.read()
            if text.strip():
                found.append("---- %s\n%s" % (name, text))
        return found

    def check_sanitizer_reports(self, reports=None):
        reports = self.sanitizer_reports() if reports is None else reports
        if reports:
            raise SanitizerReport("sanitizer reports in the cluster:\n" + "\n".join(reports))

    def close(self):
        """Stops and removes everything; then fails with any sanitizer report."""
        for n in self.nodes:
            n.stop_daemon()
        for n in self.nodes:
            n.stop_bmc()
            try:
                n.ctl("destroy", "--name", n.namespace, check=False)
            except Exception:
                pass
        try:
            reports = self.sanitizer_reports()
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)
        self.check_sanitizer_reports(reports)
