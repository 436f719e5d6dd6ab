# SPDX-License-Identifier: GPL-3.0-or-later
"""A one-node Pacemaker cluster on loopback for the end-to-end tests of tavik's
integrations with the Linux HA stack (ha/).

enter_private_machine() moves this process into mount, network and UTS namespaces of its
own before anything starts: the state folders of Corosync and Pacemaker, /run and /dev/shm
become private, and ha/'s agents are laid over the folders where Pacemaker and fence-agents
look for them (an overlay, so the machine's own folders are untouched). Corosync and
Pacemaker then run in the foreground as this process's children, on 127.0.0.1 of the
private network; close() stops them.

Not thread-safe: one Pacemaker is driven by one thread.
"""

import ctypes
import grp
import os
import pwd
import shutil
import subprocess
import xml.etree.ElementTree as ET

import cluster

CLONE_NEWNS = 0x00020000
QDEVICE = ("corosync-qnetd", "corosync-qdevice", "corosync-qdevice-tool")
PROGRAMS = ("corosync", "corosync-cfgtool", "pacemakerd", "attrd_updater", "crm_mon", "cibadmin", "crm_attribute",
            "crm_simulate", "stonith_admin", "fence_dummy", "xmllint", "mount")
# Where the stack looks for agents, and where ha/'s go in there.
AGENTS = {"/usr/lib/ocf/resource.d": {"tavik/health": "ha/health"},
          "/usr/sbin": {"fence_heuristics_tavik": "ha/fence_heuristics_tavik"}}
PRIVATE_STATE = ("/var/lib/pacemaker", "/var/lib/corosync", "/etc/corosync", "/run", "/dev/shm")
SCHEMAS = {"ocf": "/usr/share/resource-agents/metadata.rng", "fence": "/usr/share/cluster/relaxng/metadata.rng"}


def missing(programs=PROGRAMS, need_root=True):
    """Why the stack (or, without need_root, the schemas and these programs) cannot be
    used here, or None."""
    gone = [p for p in programs if shutil.which(p) is None and not os.access("/usr/sbin/" + p, os.X_OK)]
    gone += [path for path in SCHEMAS.values() if not os.path.exists(path)]
    if gone:
        return "missing (scripts/install-deps.sh installs them): " + ", ".join(gone)
    if not need_root:
        return None
    try:
        pwd.getpwnam("hacluster")
        grp.getgrnam("haclient")
    except KeyError:
        return "no hacluster user or haclient group (the pacemaker package makes them)"
    return cluster.can_run()


def _mount(*args):
    subprocess.run(["mount", *args], check=True, capture_output=True)


def enter_private_machine(workdir, hostname):
    """Mount, network and UTS namespaces of this process's own (see the module's text);
    returns why it cannot, or None."""
    why = cluster.private_network()
    if why:
        return why
    if cluster.LIBC.unshare(CLONE_NEWNS | cluster.CLONE_NEWUTS) != 0:
        return "no mount namespace allowed here: " + os.strerror(ctypes.get_errno())
    name = hostname.encode()
    cluster.LIBC.sethostname(name, len(name))
    _mount("--make-rprivate", "/")
    for path in PRIVATE_STATE:
        _mount("-t", "tmpfs", "-o", "mode=1777" if path == "/dev/shm" else "mode=0755", "tmpfs", path)
    if os.path.exists("/dev/log"):
        # The agents' syslog lines stay in here.
        quiet = os.path.join(workdir, "no-syslog")
        open(quiet, "w").close()
        _mount("--bind", quiet, "/dev/log")
    hacluster = pwd.getpwnam("hacluster").pw_uid
    haclient = grp.getgrnam("haclient").gr_gid
    for sub in ("cib", "pengine", "blackbox", "cores"):
        path = "/var/lib/pacemaker/" + sub
        os.makedirs(path, mode=0o750)
        os.chown(path, hacluster, haclient)
    for target, files in AGENTS.items():
        layers = os.path.join("/run", "overlay" + target.replace("/", "-"))
        os.makedirs(layers + "/upper")
        os.makedirs(layers + "/work")
        _mount("-t", "overlay", "overlay", "-o",
               "lowerdir=%s,upperdir=%s/upper,workdir=%s/work" % (target, layers, layers), target)
        for rel, source in files.items():
            path = os.path.join(target, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copy(os.path.join(cluster.SOURCE, source), path)
    return None


COROSYNC_CONF = """totem {
    version: 2
    cluster_name: tavik-e2e
    crypto_cipher: none
    crypto_hash: none
    transport: knet
}
logging {
    to_stderr: yes
    to_syslog: no
    to_logfile: no
}
quorum {
    provider: corosync_votequorum
%s}
nodelist {
    node {
        name: %s
        nodeid: 1
        ring0_addr: 127.0.0.1
    }
}
"""

# A quorum device on 127.0.0.1 whose heuristic runs every second.
QUORUM_DEVICE = """    device {
        model: net
        votes: 1
        net {
            host: 127.0.0.1
            port: %d
            tls: off
            algorithm: lms
        }
        heuristics {
            mode: on
            interval: 1000
            timeout: 5000
            sync_timeout: 5000
            exec_tavik: %s
        }
    }
"""
QNETD_PORT = 5403

CIB = """<cib crm_feature_set="3.16.1" validate-with="pacemaker-3.9" epoch="1" num_updates="0" admin_epoch="0">
  <configuration>
    <crm_config>
      <cluster_property_set id="cib-bootstrap-options">
        <nvpair id="opt-dc-deadtime" name="dc-deadtime" value="2s"/>
        <nvpair id="opt-stonith-enabled" name="stonith-enabled" value="false"/>
        <nvpair id="opt-startup-fencing" name="startup-fencing" value="false"/>
%s
      </cluster_property_set>
    </crm_config>
    <nodes>
%s
    </nodes>
    <resources>
%s
    </resources>
    <constraints>
%s
    </constraints>
%s
  </configuration>
  <status/>
</cib>
"""


class Pacemaker:
    """Corosync and Pacemaker of one node, `node`, with the CIB given in parts: options
    (nvpairs of the cluster options), nodes, resources, constraints and the rest of the
    configuration (fencing topology, alerts)."""

    def __init__(self, workdir, node, env, options="", nodes="", resources="", constraints="", more="",
                 heuristic=None):
        """heuristic: the command of a corosync-qdevice heuristic; with it, corosync.conf
        has a quorum device that start_quorum_device() starts."""
        self.dir = workdir
        self.node = node
        self.env = dict(env, PCMK_logfile=os.path.join(workdir, "pacemaker.log"), PCMK_logfacility="none")
        self.procs = []
        self.logs = []
        nodes = '<node id="1" uname="%s"/>\n' % node + nodes
        cib = CIB % (options, nodes, resources, constraints, more)
        path = "/var/lib/pacemaker/cib/cib.xml"
        with open(path, "w") as f:
            f.write(cib)
        os.chown(path, pwd.getpwnam("hacluster").pw_uid, grp.getgrnam("haclient").gr_gid)
        os.chmod(path, 0o600)
        with open("/etc/corosync/corosync.conf", "w") as f:
            f.write(COROSYNC_CONF % (QUORUM_DEVICE % (QNETD_PORT, heuristic) if heuristic else "", node))

    def _start(self, name, *command):
        log = open(os.path.join(self.dir, name + ".out"), "ab")
        self.logs.append(log)
        self.procs.append(subprocess.Popen(command, stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                                           env=self.env))

    def start_corosync(self):
        self._start("corosync", "corosync", "-f")
        if not cluster.wait_until(lambda: self.run("corosync-cfgtool", "-s").returncode == 0, 20):
            raise RuntimeError("corosync did not come up: " + self.log_tail("corosync.out"))

    def start_quorum_device(self):
        """corosync-qnetd on 127.0.0.1 without TLS, and this node's corosync-qdevice."""
        for folder in ("/run/corosync-qnetd", "/run/corosync-qdevice"):
            os.makedirs(folder, exist_ok=True)
        self._start("qnetd", "corosync-qnetd", "-f", "-s", "off", "-l", "127.0.0.1", "-p", str(QNETD_PORT))
        self._start("qdevice", "corosync-qdevice", "-f", "-d")

    def heuristics_result(self):
        """What `corosync-qdevice-tool -sv` says of the heuristics, or None."""
        for line in self.run("corosync-qdevice-tool", "-sv").stdout.splitlines():
            if line.startswith("Heuristics result:"):
                return line.split(":", 1)[1].strip()
        return None

    def start(self, timeout=60):
        self.start_corosync()
        self._start("pacemakerd", "pacemakerd", "-f")
        if not cluster.wait_until(self.ready, timeout, step=0.2):
            raise RuntimeError("pacemaker did not come up: " + self.log_tail("pacemaker.log"))

    def run(self, *command, check=False, stdin=None):
        p = subprocess.run(command, capture_output=True, text=True, timeout=120, env=self.env, input=stdin)
        if check and p.returncode != 0:
            raise RuntimeError("%s: %s%s" % (" ".join(command), p.stdout, p.stderr))
        return p

    def status(self):
        """crm_mon's XML, or None while it cannot be had."""
        p = self.run("crm_mon", "-1", "--output-as=xml")
        return ET.fromstring(p.stdout) if p.returncode == 0 else None

    def ready(self):
        doc = self.status()
        if doc is None:
            return False
        node = doc.find("nodes/node[@name='%s']" % self.node)
        return doc.find("summary/current_dc[@present='true']") is not None and node is not None and \
            node.get("online") == "true"

    def running_on(self, rsc):
        """The nodes a resource (a primitive, or each instance of a clone) runs on."""
        doc = self.status()
        if doc is None:
            return None
        return sorted(n.get("name") for r in doc.iter("resource")
                      if r.get("id") == rsc or r.get("id", "").startswith(rsc + ":") for n in r.findall("node"))

    def attribute(self, name):
        p = self.run("attrd_updater", "-Q", "-n", name)
        for word in p.stdout.split():
            if word.startswith("value="):
                return word[len("value="):].strip('"')
        return None

    def option(self, name, value):
        self.run("crm_attribute", "--type", "crm_config", "--name", name, "--update", value, check=True)

    def log_tail(self, name, lines=30):
        try:
            with open(os.path.join(self.dir, name), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError as e:
            return str(e)

    def close(self):
        for p in reversed(self.procs):  # the last started first, corosync last
            p.terminate()
            try:
                p.wait(timeout=60)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.procs = []
        for log in self.logs:
            log.close()
        self.logs = []
