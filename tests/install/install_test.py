#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Kept whole past 500 lines: its checks run in order on one installed tree and share
# its expected layout.
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
   In the same namespace it runs the unit's start sequence from its own Exec lines
   (unit_start.py) and systemd-analyze on the unit.
3. When scripts/package.sh has built the packages, checks their control fields,
   dependencies, conffiles and file lists, and runs their tavikctl.

Usage: install_test.py CONFIG.json (written by tests/install/CMakeLists.txt), or
install_test.py --system SOURCE_DIR (as root, after scripts/package.sh): installs both
packages on this machine, runs them from their installed paths, removes and purges them.
Single-threaded; every file it makes is under one temporary folder, removed at the end.
"""

import ctypes
import glob
import gzip
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

from common import clean_env, fail, failures, note, run
from unit_start import check_analyze, start_sequence


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
        p(cfg["unitdir"], "tavik.service"): "file",
        p(cfg["datadir"], "bash-completion", "completions", "tavikctl"): "file",
        os.path.join(sysconfdir, "default", "tavik"): "file",
        p(cfg["docdir"], "README.md"): "file",
        p(cfg["docdir"], "copyright"): "file",
        p(cfg["docdir"], "examples", "cluster.xml"): "file",
        p(cfg["docdir"], "examples", "bmc.conf"): "file",
        # The Pacemaker integrations, where Pacemaker and fence-agents look for them.
        p(cfg["ocfdir"], "tavik", "health"): "exec",
        p(cfg["sbindir"], "fence_heuristics_tavik"): "exec",
        p(cfg["datadir"], "tavik", "alerts", "alert_tavik"): "exec",
    }
    if cfg["daemon"]:
        files[p(cfg["sbindir"], "tavik")] = "exec"
    # Private libraries: no development link, no header.
    for lib in cfg["libraries"]:
        files[p(cfg["libdir"], "tavik", f"lib{lib}.so.1.0")] = "lib"
        files[p(cfg["libdir"], "tavik", f"lib{lib}.so.1")] = ("link", f"lib{lib}.so.1.0")
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


def check_elves(what, root, cfg, prefix):
    """The programs find the private libraries through a run path relative to themselves,
    the libraries find each other in their own folder."""
    libdir = os.path.join(root + prefix, cfg["libdir"], "tavik")
    rpath_expected = f"$ORIGIN/../{cfg['libdir']}/tavik"
    for lib in cfg["libraries"]:
        real = os.path.join(libdir, f"lib{lib}.so.1.0")
        if not os.path.exists(real):
            continue
        dyn = dynamic_section(real)
        if dyn["SONAME"] != [f"lib{lib}.so.1"]:
            fail(f"{what}: SONAME of lib{lib}.so.1.0 is {dyn['SONAME']}, expected lib{lib}.so.1")
        if dyn["RUNPATH"] + dyn["RPATH"] != ["$ORIGIN"]:
            fail(f"{what}: run path of lib{lib}.so.1.0 is {dyn['RUNPATH'] + dyn['RPATH']}, expected ['$ORIGIN']")
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
        if runpath != [rpath_expected]:
            fail(f"{what}: run path of {program} is {runpath}, expected {[rpath_expected]}")
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
        option = word.split("=")[0].rstrip(":.)")
        if option.startswith("--") and option != "--help":
            opts.add(option)
    return opts


def synopsis_blocks(page):
    """The SYNOPSIS of tavikctl(8): each ".B tavikctl COMMAND..." line with what follows
    up to the next .br, as (command words, block text)."""
    synopsis = page.split(".SH SYNOPSIS", 1)[-1].split(".SH ", 1)[0]
    blocks = []
    for chunk in synopsis.split(".br"):
        lines = chunk.strip().splitlines()
        if lines and lines[0].startswith(".B tavikctl"):
            blocks.append((lines[0].split()[2:], chunk))
    return blocks


def check_tavikctl_page(tavikctl, page, env):
    """Every command --help lists, at every level, has a synopsis that lists every option
    its --help shows."""
    blocks = synopsis_blocks(page)
    pending = [[]]
    while pending:
        path = pending.pop()
        help_text = run([tavikctl] + path + ["--help"], env=env).stdout
        subs = subcommands(help_text)
        pending += [path + [sub] for sub in subs]
        if path:
            text = "".join(b for words, b in blocks if words[: len(path)] == path)
            if not text:
                fail(f"man page tavikctl.8 has no synopsis for tavikctl {' '.join(path)}")
            for option in sorted(long_options(help_text)):
                if option.replace("-", "\\-") not in text:
                    fail(f"man page tavikctl.8: the synopsis of tavikctl {' '.join(path)} lacks {option}")


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
    env = clean_env()
    page = texts.get("tavikctl.8", "")
    for command in subcommands(run([os.path.join(bindir, "tavikctl"), "--help"], env=env).stdout):
        if f".B {command}" not in page and f".B tavikctl {command}" not in page:
            fail(f"man page tavikctl.8 does not document the command {command}")
    check_tavikctl_page(os.path.join(bindir, "tavikctl"), page, env)
    page = texts.get("tavik-bmcsim.1", "")
    for option in long_options(run([os.path.join(bindir, "tavik-bmcsim"), "--help"], env=env).stdout):
        if option.replace("-", "\\-") not in page:
            fail(f"man page tavik-bmcsim.1 does not document the option {option}")


def check_completion(root, cfg, prefix):
    """The installed bash completion offers the commands and options tavikctl has."""
    framework = "/usr/share/bash-completion/bash_completion"
    if not shutil.which("bash") or not os.path.exists(framework):
        note("note: bash-completion missing: the completion of tavikctl was not tried")
        return
    script = os.path.join(root + prefix, cfg["datadir"], "bash-completion", "completions", "tavikctl")
    bindir = os.path.join(root + prefix, cfg["bindir"])
    for words, want in [(["tavikctl", "in"], "init"), (["tavikctl", "init", "--if"], "--if-missing"),
                        (["tavikctl", "set", "st"], "state"), (["tavikctl", "run", "--ready"], "--ready-timeout")]:
        probe = (f"source {framework}; source {script}; COMP_WORDS=({' '.join(words)}); "
                 f"COMP_CWORD={len(words) - 1}; COMP_LINE='{' '.join(words)}'; COMP_POINT=${{#COMP_LINE}}; "
                 f"_tavikctl tavikctl {words[-1]} {words[-2]}; echo \"${{COMPREPLY[*]}}\"")
        r = run(["bash", "-c", probe], env=clean_env(PATH=f"{bindir}:{os.environ['PATH']}"))
        if r.stdout.split() != [want]:
            fail(f"bash completion of {' '.join(words)!r} offers {r.stdout.split()}, expected [{want!r}]")


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
        "Type=notify",
        "LogsDirectory=tavik",
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
        lib = bmc_library(os.path.join(prefix, cfg["libdir"], "tavik", "libzvrbmc.so.1"))
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


def node_env(cfg, prefix, work, bmc):
    """The environment of node1 of the installed example, moved to this test's own
    loopback addresses, so that its heartbeats reach no other test's BMC. Sets the host
    name: needs the private UTS namespace this runs in."""
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
    socket.sethostname("node1")
    return clean_env(TAVIK_CONFIG=config, TAVIK_IPC_NAME=f"tavik-install-{os.getpid()}", TAVIK_LOG_DIR=log_dir,
                     TAVIK_BMC_CONF=bmc.conf)


def installed_daemon(cfg, prefix, env):
    """Starts the installed daemon as its parent would, with the installed policies its
    compiled-in path names, and stops it in order."""
    tavikctl = os.path.join(prefix, cfg["bindir"], "tavikctl")
    log_dir = env["TAVIK_LOG_DIR"]
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
    return run_installed(cfg, prefix, work)


def run_installed(cfg, prefix, work):
    """The installed programs at their own paths (in a private UTS namespace)."""
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
                env = node_env(cfg, prefix, work, bmc)
                installed_daemon(cfg, prefix, env)
                unit = os.path.join(prefix, cfg["unitdir"], "tavik.service")
                check_analyze(unit)
                try:
                    start_sequence(unit, env, os.path.join(prefix, cfg["sbindir"], "tavik"), work)
                finally:
                    run([os.path.join(prefix, cfg["bindir"], "tavikctl"), "destroy"], env=env)
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
                       timeout=120)
    if r.returncode != 0:
        fail("the installed programs failed at their prefix (see above)")


# ---------------------------------------------------------------------------------
# The Debian package.


def package_debs(cfg):
    """The newest tavik and tavik-bmcsim .deb that scripts/package.sh built, by package."""
    debs = {}
    for name in ("tavik", "tavik-bmcsim"):
        found = []
        for folder in cfg["deb_dirs"]:
            found += glob.glob(os.path.join(folder, f"{name}_*.deb"))
        if found:
            debs[name] = max(found, key=os.path.getmtime)
    return debs


def deb_field(deb, name):
    return run(["dpkg-deb", "--field", deb, name]).stdout.strip()


def deb_depends(deb):
    return [d.strip().split(" ")[0] for d in deb_field(deb, "Depends").split(",") if d.strip()]


def dependency_closure(names):
    """Every package that installing `names` pulls through Depends and Pre-Depends."""
    r = run(["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
             "--no-breaks", "--no-replaces", "--no-enhances"] + names, timeout=60)
    pulled = set()
    for line in r.stdout.splitlines():
        words = line.replace("|", " ").split()
        if line and not line.startswith(" "):
            pulled.add(words[0])
        elif words and words[0] in ("Depends:", "PreDepends:") and len(words) > 1:
            pulled.add(words[1].strip("<>"))
    return pulled


def deb_cfg_of(cfg):
    """The installation a package is: prefix /usr, Debian's library folder for /usr
    (GNUInstallDirs' choice), the unit in /lib/systemd/system."""
    return dict(cfg, prefix="/usr", libdir=cfg["deb_libdir"], unitdir="/lib/systemd/system",
                ocfdir="lib/ocf/resource.d")


# The simulator's files: package tavik-bmcsim; every other file is package tavik's.
def simulator_file(path, cfg):
    return (path.endswith(("/tavik-bmcsim", "/tavik_bmcsim.so", "/tavik_watchdog.so", "/tavik-bmcsim.1.gz"))
            or path.startswith("/usr/share/doc/tavik-bmcsim/"))


def check_deb(cfg, work):
    if not shutil.which("dpkg-deb"):
        note("note: dpkg-deb missing: the Debian packages were not checked")
        return None
    debs = package_debs(cfg)
    if len(debs) != 2:
        note("note: tavik and tavik-bmcsim .debs not both built (scripts/package.sh): packages not checked")
        return None
    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    for name, deb in debs.items():
        note(f"checking {deb}: Depends: {deb_field(deb, 'Depends')}")
        for field, want in [("Package", name), ("Version", cfg["version"]), ("Architecture", arch),
                            ("Section", "admin"), ("Priority", "optional")]:
            got = deb_field(deb, field)
            if got != want:
                fail(f"{deb}: {field} is {got!r}, expected {want!r} (rebuild it with scripts/package.sh)")
        for field in ("Maintainer", "Description", "Installed-Size"):
            if not deb_field(deb, field):
                fail(f"{deb}: no {field} field")
    # What the libraries link (libzvrxml pugixml, libzvrbmc FreeIPMI, tavikctl libsystemd);
    # nothing Essential, nothing of the simulator.
    runtime = deb_depends(debs["tavik"])
    for want in ("libc6", "libstdc++6", "libpugixml", "libfreeipmi", "libsystemd0"):
        if not any(d.startswith(want) for d in runtime):
            fail(f"{debs['tavik']}: Depends does not name {want}: {runtime}")
    for unwanted in ("openipmi", "util-linux", "tavik-bmcsim"):
        if unwanted in runtime:
            fail(f"{debs['tavik']}: depends on {unwanted}: {runtime}")
    if any(d.startswith("libzvr") or d == "tavik" for d in runtime):
        fail(f"{debs['tavik']}: depends on its own libraries: {runtime}")
    if shutil.which("apt-cache"):
        pulled = dependency_closure(runtime)
        if "openipmi" in pulled or not pulled:
            fail(f"installing tavik pulls openipmi (or apt-cache knows none of {runtime})")
    if "openipmi" not in deb_depends(debs["tavik-bmcsim"]):
        fail(f"{debs['tavik-bmcsim']}: does not depend on openipmi")

    root = os.path.join(work, "deb")
    for deb in debs.values():
        r = run(["dpkg-deb", "--extract", deb, root])
        if r.returncode != 0:
            fail(f"{deb}: cannot extract: {r.stderr.strip()}")
            return None
    control = os.path.join(work, "control")
    run(["dpkg-deb", "--control", debs["tavik"], control])
    with open(os.path.join(control, "conffiles"), encoding="utf-8") as f:
        if f.read().split() != ["/etc/default/tavik"]:
            fail(f"{debs['tavik']}: conffiles should list /etc/default/tavik alone")

    deb_cfg = deb_cfg_of(cfg)
    expected = expected_layout(deb_cfg, "/usr", "/etc")
    for name in debs:
        expected[f"/usr/share/doc/{name}/changelog"] = "file"
    expected["/usr/share/doc/tavik-bmcsim/copyright"] = "file"
    for name in debs:
        expected[f"/usr/share/lintian/overrides/{name}"] = "file"
    # Large documents are compressed by the package build.
    actual = {re.sub(r"(/usr/share/doc/.*)\.gz$", r"\1", k): v for k, v in actual_layout(root).items()}
    kind = kind_on_disk(root)
    before = len(failures)
    compare_layout("packages", expected, actual,
                   lambda path: kind(path if os.path.lexists(root + path) else path + ".gz"))
    for name, deb in debs.items():
        listing = run(["dpkg-deb", "--contents", deb]).stdout.splitlines()
        for entry in listing:
            path = entry.split()[5].lstrip(".")
            if entry.startswith("-") and simulator_file(path, cfg) != (name == "tavik-bmcsim"):
                fail(f"{deb} holds {path}, which belongs in the other package")
    if len(failures) > before:
        note("note: the packages may be older than this tree: rebuild them with scripts/package.sh")
    check_elves("packages", root, deb_cfg, "/usr")
    check_unit(os.path.join(root, "lib/systemd/system/tavik.service"), deb_cfg, "/usr", "/etc")
    env = clean_env(TAVIK_POLICY_DIR=os.path.join(root, "usr/share/tavik/policy"))
    check_config_ok("the package's tavikctl", os.path.join(root, "usr/bin/tavikctl"),
                    os.path.join(root, "usr/share/doc/tavik/examples/cluster.xml"), env)
    return debs


# ---------------------------------------------------------------------------------
# The packages installed on this machine (install_test.py --system, as root).


def package_files(name):
    return [p for p in run(["dpkg-query", "-L", name]).stdout.splitlines() if p.startswith("/")]


def installed(name):
    return "install ok installed" in run(["dpkg-query", "-W", "-f=${Status}", name]).stdout


def system_install(cfg_path, cfg, work):
    """Installs both packages, runs what they installed, removes and purges them."""
    debs = check_deb(cfg, work)
    if debs is None:
        fail("--system needs both packages: run scripts/package.sh")
        return
    if os.geteuid() != 0:
        fail("--system installs the packages: run it as root")
        return
    if installed("tavik") or installed("tavik-bmcsim"):
        fail("tavik or tavik-bmcsim is installed already; this test installs and purges them itself")
        return
    r = run(["dpkg", "-i", debs["tavik"], debs["tavik-bmcsim"]], timeout=120)
    if r.returncode != 0:
        fail(f"dpkg -i failed: {r.stdout.strip()} {r.stderr.strip()}")
    files = {name: package_files(name) for name in debs}
    try:
        for path in files["tavik"] + files["tavik-bmcsim"]:
            if not os.path.lexists(path):
                fail(f"installed package lists {path}, which is missing")
        if "libzvr" in run(["ldconfig", "-p"]).stdout:
            fail("the private libraries are in the dynamic linker's cache")
        deb_cfg = deb_cfg_of(cfg)
        check_elves("installed packages", "", deb_cfg, "/usr")
        check_analyze("/lib/systemd/system/tavik.service")
        r = subprocess.run(["unshare", "--uts", sys.executable, os.path.abspath(__file__), "--inside-system",
                            cfg_path, work], timeout=120)
        if r.returncode != 0:
            fail("the installed programs failed at their installed paths (see above)")
    finally:
        remove_and_purge(files)


def remove_and_purge(files):
    r = run(["dpkg", "-r", "tavik-bmcsim", "tavik"], timeout=120)
    if r.returncode != 0:
        fail(f"dpkg -r failed: {r.stdout.strip()} {r.stderr.strip()}")
    for path in files["tavik"] + files["tavik-bmcsim"]:
        if os.path.isfile(path) and path != "/etc/default/tavik":
            fail(f"{path} is left after dpkg -r")
    if not os.path.exists("/etc/default/tavik"):
        fail("dpkg -r removed the configuration file /etc/default/tavik")
    r = run(["dpkg", "-P", "tavik-bmcsim", "tavik"], timeout=120)
    if r.returncode != 0:
        fail(f"dpkg -P failed: {r.stdout.strip()} {r.stderr.strip()}")
    left = [p for p in ["/etc/default/tavik", "/var/log/tavik"] + glob.glob("/etc/systemd/system/*/tavik.service")
            if os.path.lexists(p)]
    if left or installed("tavik") or run(["dpkg-query", "-W", "tavik"]).returncode == 0:
        fail(f"dpkg -P left {left} (or the package's record)")
    else:
        note("packages removed and purged cleanly")


def inside_system(cfg_path, work):
    """In a private UTS namespace: the installed programs at their installed paths."""
    cfg = deb_cfg_of(load_config(cfg_path))
    return run_installed(cfg, "/usr", work)


# ---------------------------------------------------------------------------------


def system_config(source_dir):
    """What --system needs to know without a build tree: the packages' own layout."""
    arch = run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"]).stdout.strip()
    version = run(["dpkg-parsechangelog", "-l", os.path.join(source_dir, "debian/changelog"), "-S", "Version"])
    return {"source_dir": source_dir, "version": version.stdout.strip(), "prefix": "/usr", "bindir": "bin",
            "sbindir": "sbin", "libdir": f"lib/{arch}", "deb_libdir": f"lib/{arch}", "datadir": "share",
            "docdir": "share/doc/tavik", "mandir": "share/man", "sysconfdir": "/etc",
            "unitdir": "/lib/systemd/system", "ocfdir": "lib/ocf/resource.d",
            "libraries": ["zvrxml", "zvrlog", "zvripc", "zvrbmc"],
            "daemon": True, "deb_dirs": [os.path.join(source_dir, "build", "package")]}


def load_config(path):
    if os.path.isdir(path):
        return system_config(os.path.abspath(path))
    with open(path, encoding="utf-8") as f:
        cfg = json.load(f)
    cfg["libraries"] = [l for l in cfg["libraries"].split(";") if l]
    cfg["deb_dirs"] = [d for d in cfg["deb_dirs"].split(";") if d]
    cfg["daemon"] = cfg["daemon"] == "1"
    return cfg


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--inside":
        return inside_prefix(sys.argv[2], sys.argv[3], sys.argv[4])
    if len(sys.argv) == 4 and sys.argv[1] == "--inside-system":
        inside_system(sys.argv[2], sys.argv[3])
        return 1 if failures else 0
    system = len(sys.argv) == 3 and sys.argv[1] == "--system"
    if len(sys.argv) != 2 and not system:
        print("usage: install_test.py CONFIG.json | --system SOURCE_DIR", file=sys.stderr)
        return 2
    cfg = load_config(sys.argv[-1])
    prefix, sysconfdir = cfg["prefix"], cfg["sysconfdir"]
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix=f"tavik-install-{os.getpid()}-")
    if system:
        try:
            system_install(sys.argv[-1], cfg, work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        note(f"{len(failures)} failure(s) in {time.monotonic() - started:.1f} s")
        return 1 if failures else 0
    try:
        root = os.path.join(work, "root")
        r = run(["cmake", "--install", cfg["build_dir"]], env=dict(os.environ, DESTDIR=root), timeout=60)
        if r.returncode != 0:
            fail(f"cmake --install failed: {r.stderr.strip()}")
            return 1
        compare_layout("DESTDIR install", expected_layout(cfg, prefix, sysconfdir), actual_layout(root),
                       kind_on_disk(root))
        check_elves("DESTDIR install", root, cfg, prefix)
        check_man_pages(root, cfg, prefix)
        check_completion(root, cfg, prefix)
        check_unit(root + os.path.join(prefix, cfg["unitdir"], "tavik.service"), cfg, prefix, sysconfdir)

        inst = root + prefix
        env = clean_env(TAVIK_POLICY_DIR=os.path.join(inst, cfg["datadir"], "tavik", "policy"))
        tavikctl = os.path.join(inst, cfg["bindir"], "tavikctl")
        check_config_ok("DESTDIR install", tavikctl, os.path.join(inst, cfg["docdir"], "examples", "cluster.xml"),
                        env)
        version = run([tavikctl, "version"], env=env).stdout.strip()
        if version != f"tavikctl {cfg['version']}":
            fail(f"installed tavikctl says {version!r}, the project is {cfg['version']}")
        if "zvrbmc" in cfg["libraries"]:
            check_bmc_conf_example(os.path.join(inst, cfg["libdir"], "tavik", "libzvrbmc.so.1"),
                                   os.path.join(inst, cfg["docdir"], "examples", "bmc.conf"))

        run_at_prefix(sys.argv[1], cfg, root, work)
        check_deb(cfg, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    note(f"{len(failures)} failure(s) in {time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
