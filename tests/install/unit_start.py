# SPDX-License-Identifier: GPL-3.0-or-later
"""The service unit as systemd would use it: its settings, `systemd-analyze verify` and
`security`, and its start sequence (check, create the namespace when missing, run, ready,
stop) run from its own ExecStartPre and ExecStart lines, with NOTIFY_SOCKET on a socket
this test reads and the daemon held at its start, so that a READY=1 sent before the
daemon's SIGUSR1 is caught."""

import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import time

from common import fail, note, run

# The exposure systemd-analyze may give the unit: below 7.0, "MEDIUM" or better.
SECURITY_THRESHOLD = 69


def unit_settings(path):
    """(key, value) of every setting of the unit, in order."""
    settings = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith(("#", ";", "[")) and "=" in line:
                key, value = line.split("=", 1)
                settings.append((key.strip(), value.strip()))
    return settings


def environment_file(path):
    """The variables an EnvironmentFile= sets (comments and blank lines skipped)."""
    env = {}
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#") and "=" in line:
                    key, value = line.split("=", 1)
                    env[key.strip()] = value.strip().strip('"')
    return env


def exec_argv(line, env):
    """An Exec line as systemd runs it: a word that is a lone $NAME becomes the variable's
    words (none when it is unset or empty), ${NAME} inside a word its value."""
    if line[:1] in "-@:+!":
        raise ValueError(f"Exec prefix {line[0]!r} is not handled by this test: {line}")
    argv = []
    for word in shlex.split(line):
        if re.fullmatch(r"\$[A-Za-z_][A-Za-z0-9_]*", word):
            argv += env.get(word[1:], "").split()
        else:
            argv.append(re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}", lambda m: env.get(m.group(1), ""), word))
    return argv


def check_analyze(path, verify=True):
    """systemd-analyze verify (when the unit's programs are in place) and security."""
    if not shutil.which("systemd-analyze"):
        note("note: systemd-analyze missing: the unit was not analysed")
        return
    if verify:
        r = run(["systemd-analyze", "verify", path], timeout=60)
        if r.returncode != 0 or r.stderr.strip():
            fail(f"systemd-analyze verify {path} ({r.returncode}): {r.stderr.strip()}")
    r = run(["systemd-analyze", "security", "--offline=true", f"--threshold={SECURITY_THRESHOLD}", path],
            timeout=60)
    level = re.search(r"Overall exposure level for \S+: ([0-9.]+) (\w+)", r.stdout)
    if r.returncode != 0 or level is None:
        fail(f"systemd-analyze security rates {path} above {SECURITY_THRESHOLD / 10}: "
             f"{level.group(0) if level else r.stdout.strip()[-200:]} {r.stderr.strip()}")
    else:
        note(f"systemd-analyze security: {level.group(1)} {level.group(2)}")


def receive(sock, want, seconds):
    """Notify messages until one holds the line `want`, or the time is up; all read."""
    got = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            message = sock.recv(4096).decode()
        except socket.timeout:
            break
        got.append(message)
        if want in message.splitlines():
            break
    return got


def release(fifo, seconds):
    """Lets the held daemon go on: opens the FIFO its wrapper waits on."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:  # no reader yet
            time.sleep(0.05)
            continue
        os.write(fd, b"go\n")
        os.close(fd)
        return True
    return False


def run_steps(lines, env, what):
    outputs = []
    for line in lines:
        r = run(exec_argv(line, env), env=env)
        if r.returncode != 0:
            fail(f"{what}: ExecStartPre={line} exited {r.returncode}: {r.stdout.strip()} {r.stderr.strip()}")
            return None
        outputs.append(r.stdout)
    return outputs


def start_sequence(unit, env, daemon, work):
    """Runs the unit's start sequence on a node whose namespace is missing, then again on
    the one it made, then with a configuration that no longer matches it. env holds the
    node's TAVIK_* variables; daemon is the installed daemon."""
    settings = unit_settings(unit)
    pre = [v for k, v in settings if k == "ExecStartPre"]
    start = next((v for k, v in settings if k == "ExecStart"), None)
    env_files = [v.lstrip("-") for k, v in settings if k == "EnvironmentFile"]
    if not pre or start is None:
        fail(f"{unit}: no ExecStartPre or ExecStart")
        return
    full = dict(env)
    for path in env_files:
        full = dict(environment_file(path), **full)

    if run_steps(pre, full, "first start") is None:
        return
    outputs = run_steps(pre, full, "start with the namespace in place")
    if outputs is not None and not any("exists and matches" in o for o in outputs):
        fail(f"a second start did not keep the matching namespace: {outputs}")

    notify = os.path.join(work, "notify")
    fifo = os.path.join(work, "hold")
    os.mkfifo(fifo)
    wrapper = os.path.join(work, "held-daemon")
    with open(wrapper, "w", encoding="utf-8") as f:
        f.write(f"#!/bin/sh\nread go < {shlex.quote(fifo)}\nexec {shlex.quote(daemon)}\n")
    os.chmod(wrapper, 0o755)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(notify)
    full.update(NOTIFY_SOCKET=notify, TAVIK_DAEMON=wrapper)
    log = os.path.join(full["TAVIK_LOG_DIR"], "tavik.log")
    with open(os.path.join(work, "run.err"), "w+", encoding="utf-8") as err:
        proc = subprocess.Popen(exec_argv(start, full), env=full, stdout=err, stderr=err)
        try:
            early = receive(sock, "READY=1", 1.5)
            if early:
                fail(f"notified before the daemon was even released: {early}")
            if not release(fifo, 10):
                fail("the held daemon never waited for its release")
                return
            got = receive(sock, "READY=1", 20)
            if not any("READY=1" in m.splitlines() for m in got):
                fail(f"no READY=1 within 20 s of the daemon's release: {got}")
                return
            with open(log, encoding="utf-8", errors="replace") as f:
                if "MAKE:" not in f.read():
                    fail("READY=1 came before the daemon had logged its start, so before its SIGUSR1")
            note("unit start sequence: READY=1 after the daemon's start-up")
            proc.send_signal(signal.SIGTERM)
            got = receive(sock, "STOPPING=1", 20)
            if not any("STOPPING=1" in m.splitlines() for m in got):
                fail(f"no STOPPING=1 after SIGTERM: {got}")
            status = proc.wait(timeout=30)
            if status != 0:
                err.seek(0)
                fail(f"ExecStart ended with {status} after SIGTERM: {err.read().strip()[-500:]}")
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            sock.close()

    # The configuration changed under a namespace that holds states: refuse, keep it.
    with open(full["TAVIK_CONFIG"], encoding="utf-8") as f:
        text = f.read()
    changed = os.path.join(work, "changed.xml")
    with open(changed, "w", encoding="utf-8") as f:
        f.write(text.replace("<priority>1</priority>", "<priority>7</priority>", 1))
    r = run(exec_argv(pre[-1], full), env=dict(full, TAVIK_CONFIG=changed))
    if r.returncode == 0 or "does not match" not in r.stderr:
        fail(f"init step with a configuration that does not match the namespace: {r.returncode}: "
             f"{r.stdout.strip()} {r.stderr.strip()}")
    if run_steps(pre[-1:], full, "start after a refused one") is None:
        fail("the refused start changed the namespace")
