#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks what `cmake --install` and the Debian package put on a machine.

1. Installs the build tree into a fresh DESTDIR and compares the files there with the
   layout an installation must have (nothing missing, nothing extra), then checks the
   libraries' SONAMEs and links, that the installed programs find their libraries, that
   the manual pages render without warnings and document every command, and that the
   installed tavikctl checks the installed example.
2. Where the installation's prefix can be mounted over (a private mount namespace, not
   /usr), runs the installed programs at the prefix with no TAVIK_* variable, so that
   only their compiled-in defaults lead them: tavikctl to the policies, tavik-bmcsim to
   the module (a simulated BMC that the installed BMC library then talks to).
3. When dpkg-deb and a built tavik_*.deb exist (scripts/package.sh), checks its control
   fields, maintainer scripts and file list, and runs its tavikctl.

Usage: install_test.py CONFIG.json (written by tests/install/CMakeLists.txt).
Single-threaded; every file it makes is under one temporary folder, removed at the end.
"""

import ctypes
import glob
import gzip
import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

failures = []


def fail(message):
    failures.append(message)
    print(f"FAIL: {message}", flush=True)


def note(message):
    print(message, flush=True)


def run(argv, env=None, timeout=20, input_text=None):
    return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout, input=input_text)


def clean_env(**extra):
    """The environment without any TAVIK_* variable, so defaults decide."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAVIK_")}
    env.update(extra)
    return env


# ---------------------------------------------------------------------------------
# The layout an installation must have.


def expected_layout(cfg, prefix, sysconfdir):
    """Maps each installed path to "exec" (an executable), "file" (a regular file that is
    not executable), "lib" (a shared object, any mode) or ("link", target)."""
    src = cfg["source_dir"]
    p = lambda *parts: os.path.normpath(os.path.join(prefix, *parts))
    files = {
        p(cfg["bindir"], "tavikctl"): "exec",
        p(cfg["bindir"], "tavik-bmcsim"): "exec",
        p(cfg["libdir"], "tavik", "tavik_bmcsim.so"): "lib",
        p(cfg["libdir"], "tavik", "tavik_watchdog.so"): "lib",
        p("lib/systemd/system/tavik.service"): "file",
        os.path.join(sysconfdir, "default", "tavik"): "file",
        p(cfg["docdir"], "README.md"): "file",
        p(cfg["docdir"], "copyright"): "file",
        p(cfg["docdir"], "examples", "cluster.xml"): "file",
        p(cfg["docdir"], "examples", "bmc.conf"): "file",
    }
    if cfg["daemon"]:
        files[p(cfg["sbindir"], "tavik")] = "exec"
    for lib in cfg["libraries"]:
        files[p(cfg["libdir"], f"lib{lib}.so.1.0")] = "lib"
        files[p(cfg["libdir"], f"lib{lib}.so.1")] = ("link", f"lib{lib}.so.1.0")
        files[p(cfg["libdir"], f"lib{lib}.so")] = ("link", f"lib{lib}.so.1")
        for header in glob.glob(os.path.join(src, "platform", "include", f"{lib}*.h")):
            files[p(cfg["includedir"], "tavik", os.path.basename(header))] = "file"
    for policy in glob.glob(os.path.join(src, "policy", "*.xml")):
        files[p(cfg["datadir"], "tavik", "policy", os.path.basename(policy))] = "file"
    for doc in glob.glob(os.path.join(src, "docs", "*.md")):
        files[p(cfg["docdir"], os.path.basename(doc))] = "file"
    for page in glob.glob(os.path.join(src, "docs", "man", "*.[0-9]")):
        section = page[-1]
        files[p(cfg["mandir"], f"man{section}", os.path.basename(page) + ".gz")] = "file"
    return files


def actual_layout(root):
    """Every file and symbolic link below root, as absolute paths of the target system."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in filenames + [d for d in dirnames if os.path.islink(os.path.join(dirpath, d))]:
            full = os.path.join(dirpath, name)
            found["/" + os.path.relpath(full, root)] = full
    return found


def compare_layout(what, expected, actual_paths, kind_of):
    missing = sorted(set(expected) - set(actual_paths))
    extra = sorted(set(actual_paths) - set(expected))
    for path in missing:
        fail(f"{what}: {path} is missing")
    for path in extra:
        fail(f"{what}: {path} is installed but not part of the layout")
    for path in sorted(set(expected) & set(actual_paths)):
        want, got = expected[path], kind_of(path)
        if want != got and not (want == "lib" and got in ("file", "exec")):
            fail(f"{what}: {path} is {got}, expected {want}")


def kind_on_disk(root):
    def kind(path):
        full = root + path
        if os.path.islink(full):
            return ("link", os.readlink(full))
        mode = os.stat(full).st_mode
        return "exec" if mode & stat.S_IXUSR else "file"

    return kind


# ---------------------------------------------------------------------------------
# ELF checks.


def dynamic_section(path):
    out = run(["readelf", "-d", path]).stdout
    entries = {"NEEDED": [], "SONAME": [], "RUNPATH": [], "RPATH": []}
    for line in out.splitlines():
        for key in entries:
            if f"({key})" in line and "[" in line:
                entries[key].append(line[line.index("[") + 1 : line.rindex("]")])
    return entries


def check_elves(what, root, cfg, prefix, rpath_expected):
    libdir = os.path.join(root + prefix, cfg["libdir"])
    for lib in cfg["libraries"]:
        real = os.path.join(libdir, f"lib{lib}.so.1.0")
        if not os.path.exists(real):
            continue
        soname = dynamic_section(real)["SONAME"]
        if soname != [f"lib{lib}.so.1"]:
            fail(f"{what}: SONAME of lib{lib}.so.1.0 is {soname}, expected lib{lib}.so.1")
    programs = [os.path.join(root + prefix, cfg["bindir"], "tavikctl")]
    if cfg["daemon"]:
        programs.append(os.path.join(root + prefix, cfg["sbindir"], "tavik"))
    for program in programs:
        if not os.path.exists(program):
            continue
        dyn = dynamic_section(program)
        ours = [n for n in dyn["NEEDED"] if n.startswith("libzvr")]
        if not ours:
            fail(f"{what}: {program} links none of the platform libraries")
        runpath = dyn["RUNPATH"] + dyn["RPATH"]
        want = [rpath_expected] if rpath_expected else []
        if runpath != want:
            fail(f"{what}: run path of {program} is {runpath}, expected {want}")
        if rpath_expected:
            # The installed program must load the installed libraries, not the build's.
            resolved = run(["ldd", program], env=clean_env()).stdout
            for name in ours:
                line = next((l for l in resolved.splitlines() if l.strip().startswith(name)), "")
                where = line.split("=>")[-1].strip().split(" (")[0] if "=>" in line else "not found"
                if os.path.realpath(where) != os.path.realpath(os.path.join(libdir, name)):
                    fail(f"{what}: {program} loads {name} from {where}, not from {libdir}")


# ---------------------------------------------------------------------------------
# Manual pages.


def subcommands(help_text):
    names, in_list = [], False
    for line in help_text.splitlines():
        if line.startswith("Subcommands:"):
            in_list = True
        elif in_list and line.startswith("  ") and line.split():
            names.append(line.split()[0])
        elif in_list and line.strip() == "":
            in_list = False
    return names


def long_options(help_text):
    opts = set()
    for word in help_text.replace(",", " ").split():
        if word.startswith("--") and word != "--help":
            opts.add(word.split("=")[0])
    return opts


def check_man_pages(root, cfg, prefix):
    mandir = os.path.join(root + prefix, cfg["mandir"])
    groff = shutil.which("groff")
    man = shutil.which("man")
    texts = {}
    for path in sorted(glob.glob(os.path.join(mandir, "man*", "*.gz"))):
        name = os.path.basename(path)[: -len(".gz")]
        with gzip.open(path, "rt", encoding="utf-8") as f:
            text = f.read()
        texts[name] = text
        title = name.rsplit(".", 1)
        if f".TH {title[0].upper()} {title[1]} " not in text:
            fail(f"man page {name}: its .TH line does not name {title[0].upper()} {title[1]}")
        if groff:
            r = run([groff, "-man", "-Tutf8", "-ww", "-z"], input_text=text)
            if r.returncode != 0 or r.stderr.strip():
                fail(f"man page {name}: groff warns: {r.stderr.strip()}")
        if man:
            r = run([man, "-l", path], env=clean_env(MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
            if r.returncode != 0 or "NAME" not in r.stdout or r.stderr.strip():
                fail(f"man page {name}: man -l failed ({r.returncode}): {r.stderr.strip()}")
    if not groff or not man:
        note("note: groff or man missing, manual pages only read, not rendered")
    bindir = os.path.join(root + prefix, cfg["bindir"])
    env = clean_env(LD_LIBRARY_PATH=os.path.join(root + prefix, cfg["libdir"]))
    page = texts.get("tavikctl.8", "")
    for command in subcommands(run([os.path.join(bindir, "tavikctl"), "--help"], env=env).stdout):
        if f".B {command}" not in page and f".B tavikctl {command}" not in page:
            fail(f"man page tavikctl.8 does not document the command {command}")
    page = texts.get("tavik-bmcsim.1", "")
    for option in long_options(run([os.path.join(bindir, "tavik-bmcsim"), "--help"], env=env).stdout):
        if option.replace("-", "\\-") not in page:
            fail(f"man page tavik-bmcsim.1 does not document the option {option}")


# ---------------------------------------------------------------------------------
# Running the installed programs.


def check_config_ok(what, tavikctl, config, env):
    r = run([tavikctl, "check-config", config], env=env)
    if r.returncode != 0 or "0 errors" not in r.stdout:
        fail(f"{what}: tavikctl check-config {config} exited {r.returncode}: {r.stdout.strip()} {r.stderr.strip()}")
    else:
        note(f"{what}: {r.stdout.strip().splitlines()[-1]}")


def check_unit(path, cfg, prefix, sysconfdir):
    with open(path, encoding="utf-8") as f:
        lines = [l.strip() for l in f]
    tavikctl = os.path.join(prefix, cfg["bindir"], "tavikctl")
    want = [
        f"ExecStart={tavikctl} run $TAVIK_RUN_OPTIONS",
        "KillMode=mixed",
        "KillSignal=SIGTERM",
        "Restart=on-failure",
        f"EnvironmentFile=-{os.path.join(sysconfdir, 'default', 'tavik')}",
    ]
    for line in want:
        if line not in lines:
            fail(f"tavik.service has no line {line!r}")


def free_loopback(count):
    """A loopback address and `count` UDP ports free on it, chosen from the process id."""
    base = os.getpid()
    for attempt in range(64):
        addr = f"127.0.{90 + (base + attempt) % 100}.{1 + (base // 100 + attempt) % 250}"
        ports = [20000 + (base * 7 + attempt * 13 + i) % 40000 for i in range(count)]
        socks = []
        try:
            for port in ports:
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                socks.append(s)
                s.bind((addr, port))
            return addr, ports
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no free loopback address and ports")


def bmc_library(path):
    lib = ctypes.CDLL(path)
    lib.libzvrbmc_last_error.restype = ctypes.c_char_p
    lib.bmc_SetZelvarinStatus.argtypes = [ctypes.c_int, ctypes.c_uint8, ctypes.POINTER(ctypes.c_uint8)]
    return lib


def check_bmc_conf_example(libpath, example):
    """The installed BMC library must accept the installed sample access file."""
    os.environ["TAVIK_BMC_CONF"] = example
    try:
        lib = bmc_library(libpath)
        rc = lib.libzvrbmc_init()
        if rc != 0:
            fail(f"libzvrbmc_init() refuses the sample {example}: {rc}: {lib.libzvrbmc_last_error().decode()}")
        else:
            lib.libzvrbmc_term()
    finally:
        del os.environ["TAVIK_BMC_CONF"]


class SimulatedBmc:
    """The installed tavik-bmcsim, started with no TAVIK_* variable, so that it loads
    the module its compiled-in path names; stopped with SIGTERM, which must end it with
    status 0."""

    def __init__(self, cfg, prefix, work):
        self.addr, (self.port, self.hb_port) = free_loopback(2)
        self.folder = os.path.join(work, "bmc")
        self.conf = os.path.join(self.folder, "bmc.conf")
        launcher = os.path.join(prefix, cfg["bindir"], "tavik-bmcsim")
        self.argv = [launcher, "--addr", self.addr, "--port", str(self.port), "--hb-port", str(self.hb_port),
                     "--dir", self.folder]
        self.proc = None

    def __enter__(self):
        self.proc = subprocess.Popen(self.argv, env=clean_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        line = self.proc.stdout.readline()
        if "ready" not in line:
            status = self.proc.wait(timeout=10)
            fail(f"installed tavik-bmcsim did not start (status {status}): {self.proc.stderr.read().strip()}")
            return None
        note(f"installed tavik-bmcsim, default module: {line.strip()}")
        return self

    def __exit__(self, *exc):
        running = self.proc.poll() is None
        if running:
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        if running and status != 0:
            fail(f"installed tavik-bmcsim ended with {status} after SIGTERM: {self.proc.stderr.read().strip()}")


def drive_bmc(cfg, prefix, bmc):
    """The installed BMC library reaches the simulated BMC and its module."""
    os.environ["TAVIK_BMC_CONF"] = bmc.conf
    try:
        lib = bmc_library(os.path.join(prefix, cfg["libdir"], "libzvrbmc.so.1"))
        cc = ctypes.c_uint8(0xFF)
        rc = lib.libzvrbmc_init()
        rc = rc or lib.bmc_init()
        # Status 0x01 is the heartbeat firmware's own command: only the module answers it.
        rc = rc or lib.bmc_SetZelvarinStatus(1, 1, ctypes.byref(cc))
        if rc != 0 or cc.value != 0:
            fail(f"the installed BMC library cannot drive the installed module: rc {rc}, "
                 f"completion code {cc.value}: {lib.libzvrbmc_last_error().decode()}")
        lib.bmc_term()
        lib.libzvrbmc_term()
    finally:
        del os.environ["TAVIK_BMC_CONF"]


def installed_daemon(cfg, prefix, work, bmc):
    """Starts the installed daemon as its parent would, on node1 of the installed example
    (moved to this test's own loopback addresses, so that its heartbeats reach no other
    test's BMC), with the installed policies its compiled-in path names, and stops it in
    order. Needs the private UTS namespace this runs in, for the host name."""
    tavikctl = os.path.join(prefix, cfg["bindir"], "tavikctl")
    example = os.path.join(prefix, cfg["docdir"], "examples", "cluster.xml")
    first, second, third, host = bmc.addr.split(".")
    peers = [bmc.addr] + [f"{first}.{second}.{third}.{(int(host) + i - 1) % 250 + 1}" for i in (1, 2)]
    with open(example, encoding="utf-8") as f:
        text = f.read()
    for i, addr in enumerate(peers, start=1):
        text = text.replace(f"<info>127.0.1.{i}</info>", f"<info>{addr}</info>")
    config = os.path.join(work, "cluster.xml")
    with open(config, "w", encoding="utf-8") as f:
        f.write(text)
    log_dir = os.path.join(work, "log")
    env = clean_env(TAVIK_CONFIG=config, TAVIK_IPC_NAME=f"tavik-install-{os.getpid()}", TAVIK_LOG_DIR=log_dir,
                    TAVIK_BMC_CONF=bmc.conf)
    socket.sethostname("node1")
    r = run([tavikctl, "init"], env=env)
    if r.returncode != 0:
        fail(f"installed tavikctl init failed ({r.returncode}): {r.stderr.strip()}")
        return
    daemon = os.path.join(prefix, cfg["sbindir"], "tavik")
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
    proc = subprocess.Popen([daemon], env=env,
                            preexec_fn=lambda: signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGUSR1}))
    try:
        info = signal.sigtimedwait({signal.SIGUSR1}, 10)
        if info is None or info.si_pid != proc.pid:
            fail(f"installed daemon sent no SIGUSR1 within 10 s (exit status {proc.poll()})")
            return
        proc.send_signal(signal.SIGUSR2)
        time.sleep(0.5)
        proc.send_signal(signal.SIGUSR1)
        status = proc.wait(timeout=15)
        if status != 0:
            fail(f"installed daemon ended with {status} after SIGUSR1, expected 0")
        with open(os.path.join(log_dir, "tavik.log"), encoding="utf-8", errors="replace") as f:
            log = f.read()
        for line in ("tavik starting", "libzvrbmc_init() succeed", "tavik shutting down"):
            if line not in log:
                fail(f"installed daemon's log lacks {line!r}")
        note(f"installed daemon: started with its default policies, stopped with status {status}")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        run([tavikctl, "destroy"], env=env)


def inside_prefix(cfg_path, root, work):
    """Runs in a private mount namespace: the installation is mounted at its prefix."""
    cfg = load_config(cfg_path)
    prefix = cfg["prefix"]
    r = run(["mount", "--bind", root + prefix, prefix])
    if r.returncode != 0:
        note(f"note: cannot mount the installation at {prefix}: {r.stderr.strip()}; defaults not run")
        return 0
    tavikctl = os.path.join(prefix, cfg["bindir"], "tavikctl")
    example = os.path.join(prefix, cfg["docdir"], "examples", "cluster.xml")
    check_config_ok("installed tavikctl with its default policy folder", tavikctl, example, clean_env())
    if "zvrbmc" not in cfg["libraries"]:
        return 1 if failures else 0
    if not shutil.which("ipmi_sim"):
        note("note: ipmi_sim missing (package openipmi): no simulated BMC, no daemon started")
        return 1 if failures else 0
    with SimulatedBmc(cfg, prefix, work) as bmc:
        if bmc is not None:
            drive_bmc(cfg, prefix, bmc)
            if cfg["daemon"] and "zvripc" in cfg["libraries"]:
                installed_daemon(cfg, prefix, work, bmc)
            else:
                note("note: no daemon in this build: the installed daemon was not started")
    return 1 if failures else 0


def run_at_prefix(cfg_path, cfg, root, work):
    prefix = cfg["prefix"]
    if prefix in ("/", "/usr") or not os.path.isdir(prefix):
        note(f"note: prefix {prefix} cannot be mounted over here; compiled-in defaults not run")
        return
    unshare = ["unshare", "--mount", "--uts", "--propagation", "private"]
    if os.geteuid() != 0:
        unshare.append("--map-root-user")
    probe = run(unshare + ["true"])
    if probe.returncode != 0:
        note(f"note: no private mount namespace ({probe.stderr.strip()}); compiled-in defaults not run")
        return
    r = subprocess.run(unshare + [sys.executable, os.path.abspath(__file__), "--inside", cfg_path, root, work],
                       timeout=40)
    if r.returncode != 0:
        fail("the installed programs failed at their prefix (see above)")


# ---------------------------------------------------------------------------------
# The Debian package.


def newest_deb(cfg):
    debs = []
    for folder in cfg["deb_dirs"]:
        debs += glob.glob(os.path.join(folder, "tavik_*.deb"))
    return max(debs, key=os.path.getmtime) if debs else None


def deb_field(deb, name):
    return run(["dpkg-deb", "--field", deb, name]).stdout.strip()


def check_deb(cfg, work):
    if not shutil.which("dpkg-deb"):
        note("note: dpkg-deb missing: the Debian package was not checked")
        return
    deb = newest_deb(cfg)
    if deb is None:
        note("note: no tavik_*.deb built (scripts/package.sh): the Debian package was not checked")
        return
    note(f"checking {deb}")
    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    for name, want in [("Package", "tavik"), ("Version", cfg["version"]), ("Architecture", arch),
                       ("Section", "admin"), ("Priority", "optional")]:
        got = deb_field(deb, name)
        if got != want:
            fail(f"{deb}: {name} is {got!r}, expected {want!r} (rebuild it with scripts/package.sh)")
    for name in ("Maintainer", "Description", "Installed-Size"):
        if not deb_field(deb, name):
            fail(f"{deb}: no {name} field")
    depends = [d.strip().split(" ")[0] for d in deb_field(deb, "Depends").split(",")]
    note(f"Depends: {deb_field(deb, 'Depends')}")
    # What the programs start, and what the libraries link (libzvrxml pugixml,
    # libzvrbmc FreeIPMI).
    for want in ("openipmi", "util-linux", "libc6", "libstdc++6", "libpugixml", "libfreeipmi"):
        if not any(d == want or (want.startswith("lib") and d.startswith(want)) for d in depends):
            fail(f"{deb}: Depends does not name {want}: {depends}")
    if any(d.startswith("libzvr") or d == "tavik" for d in depends):
        fail(f"{deb}: depends on its own libraries: {depends}")

    root = os.path.join(work, "deb")
    r = run(["dpkg-deb", "--extract", deb, root])
    if r.returncode != 0:
        fail(f"{deb}: cannot extract: {r.stderr.strip()}")
        return
    control = os.path.join(work, "control")
    run(["dpkg-deb", "--control", deb, control])
    with open(os.path.join(control, "conffiles"), encoding="utf-8") as f:
        if f.read().split() != ["/etc/default/tavik"]:
            fail(f"{deb}: conffiles should list /etc/default/tavik alone")
    for script in ("postinst", "prerm", "postrm"):
        path = os.path.join(control, script)
        if not os.path.exists(path) or not os.stat(path).st_mode & stat.S_IXUSR:
            fail(f"{deb}: no executable {script}")
    with open(os.path.join(control, "postinst"), encoding="utf-8") as f:
        if "ldconfig" not in f.read():
            fail(f"{deb}: postinst does not run ldconfig for the libraries in {cfg['deb_libdir']}")

    # The package is an installation for /usr: the same layout, there, with Debian's
    # library folder for /usr (GNUInstallDirs' choice).
    deb_cfg = dict(cfg, prefix="/usr", libdir=cfg["deb_libdir"])
    expected = expected_layout(deb_cfg, "/usr", "/etc")
    before = len(failures)
    compare_layout(deb, expected, actual_layout(root), kind_on_disk(root))
    if len(failures) > before:
        note(f"note: {deb} may be older than this tree: rebuild it with scripts/package.sh")
    check_elves(deb, root, deb_cfg, "/usr", None)
    check_unit(os.path.join(root, "usr/lib/systemd/system/tavik.service"), deb_cfg, "/usr", "/etc")
    libdir = os.path.join(root, "usr", deb_cfg["libdir"])
    env = clean_env(LD_LIBRARY_PATH=libdir, TAVIK_POLICY_DIR=os.path.join(root, "usr/share/tavik/policy"))
    check_config_ok(f"{deb}: its tavikctl", os.path.join(root, "usr/bin/tavikctl"),
                    os.path.join(root, "usr/share/doc/tavik/examples/cluster.xml"), env)


# ---------------------------------------------------------------------------------


def load_config(path):
    with open(path, encoding="utf-8") as f:
        cfg = json.load(f)
    cfg["libraries"] = [l for l in cfg["libraries"].split(";") if l]
    cfg["deb_dirs"] = [d for d in cfg["deb_dirs"].split(";") if d]
    cfg["daemon"] = cfg["daemon"] == "1"
    return cfg


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--inside":
        return inside_prefix(sys.argv[2], sys.argv[3], sys.argv[4])
    if len(sys.argv) != 2:
        print("usage: install_test.py CONFIG.json", file=sys.stderr)
        return 2
    cfg = load_config(sys.argv[1])
    prefix, sysconfdir = cfg["prefix"], cfg["sysconfdir"]
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix=f"tavik-install-{os.getpid()}-")
    try:
        root = os.path.join(work, "root")
        r = run(["cmake", "--install", cfg["build_dir"]], env=dict(os.environ, DESTDIR=root), timeout=60)
        if r.returncode != 0:
            fail(f"cmake --install failed: {r.stderr.strip()}")
            return 1
        compare_layout("DESTDIR install", expected_layout(cfg, prefix, sysconfdir), actual_layout(root),
                       kind_on_disk(root))
        check_elves("DESTDIR install", root, cfg, prefix, cfg["install_rpath"])
        check_man_pages(root, cfg, prefix)
        check_unit(root + os.path.join(prefix, "lib/systemd/system/tavik.service"), cfg, prefix, sysconfdir)

        inst = root + prefix
        env = clean_env(TAVIK_POLICY_DIR=os.path.join(inst, cfg["datadir"], "tavik", "policy"))
        if not cfg["install_rpath"]:
            env["LD_LIBRARY_PATH"] = os.path.join(inst, cfg["libdir"])
        tavikctl = os.path.join(inst, cfg["bindir"], "tavikctl")
        check_config_ok("DESTDIR install", tavikctl, os.path.join(inst, cfg["docdir"], "examples", "cluster.xml"),
                        env)
        version = run([tavikctl, "version"], env=env).stdout.strip()
        if version != f"tavikctl {cfg['version']}":
            fail(f"installed tavikctl says {version!r}, the project is {cfg['version']}")
        if "zvrbmc" in cfg["libraries"]:
            check_bmc_conf_example(os.path.join(inst, cfg["libdir"], "libzvrbmc.so.1"),
                                   os.path.join(inst, cfg["docdir"], "examples", "bmc.conf"))

        run_at_prefix(sys.argv[1], cfg, root, work)
        check_deb(cfg, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    note(f"{len(failures)} failure(s) in {time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
