# SPDX-License-Identifier: GPL-3.0-or-later
# driver = standard with the lease taken in-band on a stock BMC (IPMI 2.0 watchdog only)
# while the peers on the host watch it over LAN; a frozen daemon lets the lease lapse,
# which takes the node offline and, its action being none, never resets the guest; the
# co-tenants of the watchdog (bmc-watchdog -d as Debian configures it, systemd's
# RuntimeWatchdogSec through ipmi_watchdog) are left alone; last, a co-tenant's hard-reset
# timer that runs out resets the guest.
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
if [ -e "$IN/lease-observe" ]; then
  systemctl stop tavik
  sed -i '/^lease/d' /etc/tavik/bmc.conf
  echo 'lease = observe' >> /etc/tavik/bmc.conf
  systemctl start tavik
  ask_host observe-online
else
  result SKIP observe-online "lease = observe is not in this tavik yet (TAVIK_VM_LEASE_OBSERVE=1 turns it on)"
fi
systemctl stop tavik
rm /etc/systemd/system.conf.d/watchdog.conf
systemctl daemon-reexec
check systemd-watchdog-stopped within 30 bash -c 'wdt | grep -Eiq "^04 " && wdt'

# A co-tenant's timer (SMS/OS, hard reset, 5 s) that nobody pets: the BMC resets the guest.
# What the guest knows goes out first; the host checks the reset.
journalctl --no-pager -o short-precise > "$OUT/journal.txt"
sync
ipmi-raw -D OPENIPMI 0 06 24 44 01 00 3e 32 00 && ipmi-raw -D OPENIPMI 0 06 22 &&
  result PASS cotenant-armed "SMS/OS hard reset in 5 s: $(wdt)"
sync
echo stay > "$OUT/next"
sleep 60
result FAIL cotenant-reset "the guest still runs 60 s after its timer ran out"
