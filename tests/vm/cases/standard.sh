# SPDX-License-Identifier: GPL-3.0-or-later
# driver = standard with the lease taken in-band on a stock BMC (IPMI 2.0 watchdog only)
# while the peers on the host watch it over LAN; a frozen daemon lets the lease lapse,
# which takes the node offline and, its action being none, never resets the guest; the
# co-tenants of the watchdog (bmc-watchdog -d as Debian configures it, systemd's
# RuntimeWatchdogSec through ipmi_watchdog) are left alone; with lease = observe the node
# is alive for its peers while systemd pets the timer; last, a panicked kernel stops the
# pets: the peers see the node offline, and systemd's hard-reset timer resets the guest.
source /share/in/lib.sh
set -u

# In-band Get Watchdog Timer: "use actions pre-timeout flags initial(2) present(2)" in hex.
wdt() { ipmi-raw -D OPENIPMI 0 06 25 | sed -n 's/^rcvd: 25 00 //p'; }
wdt_is() { wdt | tee /dev/stderr | grep -Eiq "^$1"; }
export -f wdt wdt_is
# The daemon logs a refused status call in its log; `tavikctl bmc targets` says why.
clash() {
  tail -n "+$1" /var/log/tavik/tavik.log | grep -m 1 'bmc_SetZelvarinStatus() failed.*CompletionCode:0x7e' &&
    { tavikctl bmc targets 2>&1 | grep 'in use as SMS/OS'; }
}
loglines() { echo $(( $(wc -l < /var/log/tavik/tavik.log) + 1 )); }

check ipmi-device ls -l /dev/ipmi0
install_package
install -m 0600 "$IN/peer-password" /etc/tavik/peer-password
check start-standard sh -c 'systemctl start tavik && systemctl show -p ActiveState tavik'
check lease-taken within 40 wdt_is '45 00'   # OEM use, running, action none
ask_host lease-online

daemon=$(daemon_pid)
kill -STOP "$daemon"
ask_host frozen-offline
check lease-lapsed within 30 wdt_is '05 00 00 20'   # stopped, OEM expiration flag
sleep 3
ask_host lapse-no-reset
kill -CONT "$daemon"
ask_host thawed-online

systemctl stop tavik
check lease-given-back within 10 bash -c 'wdt | grep -Eiq "^05 " && wdt'

# bmc-watchdog as the package configures it.
check bmc-watchdog-config cat /etc/default/bmc-watchdog
systemctl start bmc-watchdog
check bmc-watchdog-armed within 30 wdt_is '44 01'   # SMS/OS, running, hard reset
before=$(wdt | cut -d' ' -f1-6)
from=$(loglines)
systemctl start tavik
check clash-bmc-watchdog within 40 clash "$from"
check bmc-watchdog-untouched bash -c "systemctl is-active bmc-watchdog && wdt | grep -q '^$before'"
ask_host clash-offline
systemctl stop tavik bmc-watchdog

# systemd's own watchdog through the kernel's ipmi_watchdog (/dev/watchdog), as a server
# configured with RuntimeWatchdogSec has it.
mkdir -p /etc/systemd/system.conf.d
printf '[Manager]\nRuntimeWatchdogSec=30s\n' > /etc/systemd/system.conf.d/watchdog.conf
systemctl daemon-reexec
check systemd-watchdog-armed within 30 bash -c 'journalctl -b --no-pager | grep -E "systemd\[1\]: Watchdog running" && wdt_is 44'
from=$(loglines)
systemctl start tavik
check clash-systemd within 40 clash "$from"
check systemd-watchdog-untouched wdt_is '44 01 00 00 2c 01'   # 30 s, hard reset, still running
systemctl stop tavik
rm /etc/systemd/system.conf.d/watchdog.conf
systemctl daemon-reexec
check systemd-watchdog-stopped within 30 bash -c 'wdt | grep -Eiq "^04 " && wdt'

# lease = observe: systemd owns the watchdog again and tavik only reads it; the node is
# alive for its peers (told so in their own access file) while PID 1 pets the timer.
printf '[Manager]\nRuntimeWatchdogSec=30s\n' > /etc/systemd/system.conf.d/watchdog.conf
systemctl daemon-reexec
check systemd-watchdog-rearmed within 30 wdt_is '44 01'
sed -i '/^lease/d' /etc/tavik/bmc.conf
echo 'lease = observe' >> /etc/tavik/bmc.conf
systemctl start tavik
check observe-targets bash -c 'tavikctl bmc targets 2>&1 | grep -E "lease source: observe; local watchdog.s owner: another program \(SMS/OS, hard reset\)"'
ask_host observe-online
check observe-untouched wdt_is '44 01 00 00 2c 01'   # systemd's 30 s, hard reset, running

# A hung kernel: a panic that halts (no reboot), so nothing pets the timer any more.
# ipmi_watchdog's panic handler sets the timer once more (panic_wdt_timeout, 50 s here
# instead of its 255) and it then runs out: the BMC resets the guest, which ends the run.
# The peers must see the node offline before that, from the pets having stopped.
journalctl --no-pager -o short-precise > "$OUT/journal.txt"
echo 0 > /proc/sys/kernel/panic
check panic-timeout bash -c 'echo 50 > /sys/module/ipmi_watchdog/parameters/panic_wdt_timeout && cat /sys/module/ipmi_watchdog/parameters/panic_wdt_timeout'
result PASS kernel-hung "echo c > /proc/sysrq-trigger with systemd's timer at $(wdt)"
date +%s.%N > "$OUT/marks/hung-offline"   # the host's check; the guest cannot wait for it
sync
echo stay > "$OUT/next"
sync
echo c > /proc/sysrq-trigger
sleep 120
result FAIL kernel-hung "the guest still runs 120 s after the panic"
