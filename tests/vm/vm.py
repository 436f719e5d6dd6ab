# SPDX-License-Identifier: GPL-3.0-or-later
"""A QEMU guest for the tests of a whole server: the guest image (image.sh), the tavik
package (deb.sh), and a runner that boots one guest per case group.

The guest boots this machine's Debian kernel with systemd as PID 1 on a copy-on-write
view of the image (-snapshot). Its KCS system interface reaches a simulated BMC on the host
(tavik-bmcsim --vm-port) through QEMU's ipmi-bmc-extern device, so /dev/ipmi0 in the guest
is that BMC. A virtio-9p share carries the package, the case script and its files in
(share/in) and the results, the case's output and the journal out (share/out); the serial
console is kept as serial.log. Everything of one run stays in build/vm/run/GROUP for a look
afterwards, until the next run of that group.

The case script (tests/vm/cases) runs once per boot inside the guest; its ask_host marks a
point at which the host's handler for that name checks what only the host sees (the
peers' view) and answers PASS or FAIL. Not thread-safe: one Guest per test.
"""

import glob
import os
import shutil
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("TAVIK_SOURCE", os.path.join(HERE, "../.."))
VM_DIR = os.path.join(SOURCE, "build", "vm")
QEMU = shutil.which("qemu-system-x86_64")


def can_run():
    """Why no guest can run here, or None when one can."""
    if os.geteuid() != 0:
        return "needs root (the guest image is built as root)"
    if QEMU is None:
        return "qemu-system-x86_64 missing (package qemu-system-x86)"
    if not glob.glob("/boot/vmlinuz-*"):
        return "no kernel in /boot for the guest (package linux-image-amd64)"
    for tool, package in (("mmdebstrap", "mmdebstrap"), ("mkinitramfs", "initramfs-tools"),
                          ("dpkg-buildpackage", "dpkg-dev")):
        if shutil.which(tool) is None:
            return "%s missing (package %s)" % (tool, package)
    return None


def _script(name, *args):
    p = subprocess.run([os.path.join(HERE, name), *args], capture_output=True, text=True)
    if p.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (name, p.stderr[-4000:]))
    return p.stdout.strip().splitlines()[-1]


def image():
    """The folder with vmlinuz, initrd.img and root.img (built when its inputs changed)."""
    return _script("image.sh", os.path.join(VM_DIR, "image"))


def package():
    """The tavik .deb of the tree as it is now (built when the sources changed)."""
    return _script("deb.sh", os.path.join(VM_DIR, "deb"))


def last_release():
    """The tag of the last release before the tree (git describe), or None."""
    p = subprocess.run(["git", "-C", SOURCE, "describe", "--tags", "--abbrev=0", "--match", "v[0-9]*"],
                       capture_output=True, text=True)
    return p.stdout.strip() or None


def release_package():
    """The tavik .deb of the last tagged release, built from its tag once and cached
    under build/vm/release/COMMIT: what an upgrade starts from."""
    tag = last_release()
    if tag is None:
        raise RuntimeError("no release tag (v*) in the history: nothing to upgrade from")
    return _script("deb.sh", os.path.join(VM_DIR, "release"), tag)


def accelerator():
    """kvm where it works, else tcg. A KVM guest has been seen to hang at once on machines
    like ours, so KVM is taken only when a probe boot prints the kernel's banner within 10 s."""
    if os.environ.get("TAVIK_VM_ACCEL") in ("tcg", "kvm"):
        return os.environ["TAVIK_VM_ACCEL"]
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return "tcg"
    kernel = sorted(glob.glob("/boot/vmlinuz-*"))[-1]
    try:
        p = subprocess.run([QEMU, "-machine", "pc,accel=kvm", "-m", "256", "-display", "none", "-monitor", "none",
                            "-nic", "none", "-no-reboot", "-serial", "stdio", "-kernel", kernel,
                            "-append", "console=ttyS0 panic=-1"], capture_output=True, timeout=10)
        out = p.stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout or b""
    return "kvm" if b"Linux version" in out else "tcg"


class Guest:
    """One boot (or a few, when the case reboots) of the guest for the case group `name`."""

    def __init__(self, name, case, files, hostname="node1", bmc=None, reboot=False, cmdline=()):
        """case: the script in tests/vm/cases; files: {name in share/in: path or bytes};
        bmc: (address, port) of the simulated BMC's VM interface, or None; reboot: whether a
        reboot boots again (else QEMU ends at the guest's reset or power-off); cmdline: more
        kernel parameters."""
        self.name = name
        self.dir = os.path.join(VM_DIR, "run", name)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.share_in = os.path.join(self.dir, "share", "in")
        self.out = os.path.join(self.dir, "share", "out")
        os.makedirs(self.share_in)
        os.makedirs(os.path.join(self.out, "marks"))
        os.makedirs(os.path.join(self.out, "answers"))
        shutil.copy(os.path.join(HERE, "cases", "lib.sh"), os.path.join(self.share_in, "lib.sh"))
        shutil.copy(os.path.join(HERE, "cases", case), os.path.join(self.share_in, "case.sh"))
        for dest, src in files.items():
            if isinstance(src, bytes):
                with open(os.path.join(self.share_in, dest), "wb") as f:
                    f.write(src)
            else:
                shutil.copy(src, os.path.join(self.share_in, dest))
        self.serial = os.path.join(self.dir, "serial.log")
        img = image()
        self.accel = accelerator()
        args = [QEMU, "-machine", "pc,accel=%s" % self.accel, "-cpu", "max" if self.accel == "tcg" else "host",
                "-m", "768", "-smp", "1", "-display", "none", "-monitor", "none", "-nic", "none", "-snapshot",
                "-kernel", os.path.join(img, "vmlinuz"), "-initrd", os.path.join(img, "initrd.img"),
                "-append", " ".join(["console=ttyS0", "root=/dev/vda", "rw", "panic=-1",
                                     "systemd.hostname=" + hostname, *cmdline]),
                "-drive", "file=%s,if=virtio,format=raw" % os.path.join(img, "root.img"),
                "-virtfs", "local,path=%s,mount_tag=share,security_model=none,id=share" % os.path.join(self.dir, "share"),
                "-serial", "file:" + self.serial]
        if bmc is not None:
            args += ["-chardev", "socket,id=ipmi0,host=%s,port=%d,reconnect=10" % bmc,
                     "-device", "ipmi-bmc-extern,id=bmc0,chardev=ipmi0", "-device", "isa-ipmi-kcs,bmc=bmc0"]
        if not reboot:
            args.append("-no-reboot")
        self.log = open(os.path.join(self.dir, "qemu.out"), "wb")
        self.started = time.monotonic()
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def serial_text(self):
        try:
            with open(self.serial, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def boots(self):
        """How many times a kernel started, from the serial console."""
        return self.serial_text().count("Linux version ")

    def run(self, handlers, timeout, stop_when=None):
        """Answers the guest's marks with handlers[name]() -> (ok, detail) until QEMU ends,
        or stop_when() is true (QEMU is then ended), or timeout seconds passed (a failure)."""
        answered = set()
        deadline = self.started + timeout
        while self.proc.poll() is None:
            for name in sorted(os.listdir(os.path.join(self.out, "marks"))):
                if name in answered:
                    continue
                answered.add(name)
                handler = handlers.get(name)
                try:
                    ok, detail = handler() if handler else (False, "no host check for this mark")
                except Exception as e:  # a broken check is a failed check, and the guest goes on
                    ok, detail = False, "%s: %s" % (type(e).__name__, e)
                with open(os.path.join(self.out, "answers", name + ".tmp"), "w") as f:
                    f.write("%s %s\n" % ("PASS" if ok else "FAIL", detail))
                os.rename(os.path.join(self.out, "answers", name + ".tmp"), os.path.join(self.out, "answers", name))
            if stop_when is not None and stop_when():
                self.close()
                break
            if time.monotonic() > deadline:
                self.close()
                raise AssertionError("guest %s still running after %d s (log: %s)" % (self.name, timeout, self.dir))
            time.sleep(0.2)
        self.seconds = time.monotonic() - self.started

    def results(self):
        """The checks of the run: [(status, name, detail)] in the order they were made."""
        rows = []
        try:
            with open(os.path.join(self.out, "results"), errors="replace") as f:
                for line in f:
                    status, _, rest = line.rstrip("\n").partition(" ")
                    name, _, detail = rest.partition(": ")
                    rows.append((status, name, detail))
        except OSError:
            pass
        return rows

    def journal(self):
        try:
            with open(os.path.join(self.out, "journal.txt"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


if __name__ == "__main__":
    # vm.py image|deb|release: builds (or finds) one of them, for CTest's set-up steps;
    # status 77 with the reason where no guest can run.
    import sys
    what = {"image": image, "deb": package, "release": release_package}.get(sys.argv[1] if len(sys.argv) == 2 else "")
    if what is None:
        sys.exit("usage: vm.py image|deb|release")
    reason = can_run()
    if sys.argv[1] == "release" and os.environ.get("TAVIK_VM_UPGRADE") != "1":
        reason = "the upgrade group runs only with TAVIK_VM_UPGRADE=1"
    if reason:
        print("vm: skipped: " + reason)
        sys.exit(77)
    t0 = time.monotonic()
    print("%s (%.0f s)" % (what(), time.monotonic() - t0))
