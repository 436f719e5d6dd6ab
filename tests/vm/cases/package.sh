# SPDX-License-Identifier: GPL-3.0-or-later
# The package under systemd with the OEM firmware reached in-band (/dev/ipmi0), then a
# reboot. Boot 1: install, start (Type=notify), a live daemon, an orderly stop, a killed
# daemon resumed by `tavikctl run`, a killed `tavikctl run` restarted by systemd, a broken
# configuration given up after the start limit, the logs; then enabled, and a reboot.
# Boot 2: the namespace made again by ExecStartPre, the node online without an operator.
source /share/in/lib.sh
set -u

ready() { [ "$(prop tavik ActiveState)" = active ] && tavikctl status --check; }
stopped() { [ "$(prop tavik ActiveState)" = inactive ]; }

boot1() {
  check ipmi-device ls -l /dev/ipmi0
  install_package
  check start-notify sh -c 'systemctl start tavik && systemctl show -p Type,ActiveState,SubState tavik'
  check daemon-live within 30 ready
  check in-band-driver sh -c 'grep -E "^driver" /etc/tavik/bmc.conf && tavikctl bmc targets'
  ask_host online-to-peers

  check stop-orderly sh -c 'systemctl stop tavik && systemctl show -p Result,ExecMainStatus tavik |
    tee /dev/stderr | grep -qx ExecMainStatus=0'
  check stop-journal journal tavik 'SIGTERM received: stopping daemon|exited with status 0'
  ask_host offline-to-peers

  systemctl start tavik
  within 30 ready
  local run before after
  run=$(prop tavik MainPID)
  before=$(daemon_pid)
  kill -9 "$before"
  check daemon-kill-resumed within 30 sh -c "p=\$(cut -d' ' -f1 /proc/$run/task/$run/children) &&
    [ -n \"\$p\" ] && [ \"\$p\" != $before ] && tavikctl status --check"
  check daemon-kill-journal journal tavik 'killed by signal 9|restarting in resume mode'

  # Restart=on-failure: the restart is scheduled RestartSec after the kill; the start itself
  # (two ExecStartPre and the daemon) takes seconds more in a guest under emulation.
  local restarts t0 sched
  restarts=$(prop tavik NRestarts)
  t0=$(date +%s%3N)
  kill -9 "$run"
  if within 30 sh -c "[ \$(systemctl show -P NRestarts tavik) -gt $restarts ]"; then
    sched=$(( $(date +%s%3N) - t0 ))
    within 60 ready
    check run-kill-restarted sh -c "echo 'restart scheduled $sched ms after the kill (RestartSec $(prop tavik RestartUSec)),
      active again after $(( $(date +%s%3N) - t0 )) ms'; [ $sched -lt 8000 ] && [ \$(systemctl show -P MainPID tavik) != $run ]"
  else
    result FAIL run-kill-restarted "no restart within 30 s: $(systemctl status tavik --no-pager 2>&1 | tail -n 5)"
  fi

  cp /etc/tavik/cluster.xml /tmp/cluster.xml
  echo '<root><broken>' > /etc/tavik/cluster.xml
  systemctl stop tavik
  systemctl reset-failed tavik   # the start limit counts from here
  systemctl start tavik
  check start-limit within 120 sh -c 'journalctl -b -u tavik --no-pager | grep -E "Start request repeated too quickly" &&
    systemctl show -p ActiveState,Result,NRestarts tavik | tee /dev/stderr | grep -qx ActiveState=failed'
  check start-limit-reason journal tavik 'cluster.xml:.*error'
  systemctl reset-failed tavik
  cp /tmp/cluster.xml /etc/tavik/cluster.xml

  check logs-sandboxed sh -c 'ls -l /var/log/tavik && test -s /var/log/tavik/tavik.log &&
    systemctl show -p LogsDirectory,ProtectSystem tavik'

  check enable sh -c 'systemctl enable tavik 2>&1 && systemctl start tavik'
  within 30 ready
  touch /dev/shm/vm-boot1-marker
  echo reboot > "$OUT/next"
}

boot2() {
  check shm-emptied sh -c '! test -e /dev/shm/vm-boot1-marker && ls /dev/shm'
  check started-at-boot within 60 ready
  check namespace-recreated journal tavik 'namespace .*: created from'
  ask_host online-after-reboot
}

case $TAVIK_VM_BOOT in
  1) boot1 ;;
  2) boot2 ;;
esac
