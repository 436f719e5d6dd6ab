# SPDX-License-Identifier: GPL-3.0-or-later
# The package under systemd with the OEM firmware reached in-band (/dev/ipmi0), then a
# reboot. Boot 1: install, start (Type=notify), a live daemon, an orderly stop, a killed
# daemon resumed by `tavikctl run`, a killed `tavikctl run` restarted by systemd, a broken
# configuration given up after the start limit, the logs; then enabled, and a reboot.
# Boot 2: the namespace made again by ExecStartPre, the node online without an operator.
source /share/in/lib.sh
set -u

ready() { [ "$(prop tavik ActiveState)" = active ] && tavikctl status --check; }

# Milliseconds from the main process's death by a signal to the restart systemd scheduled.
restart_gap_ms() {
  local ts rest killed="" sched=""
  while read -r ts rest; do
    case $rest in
      *"Main process exited, code=killed"*) killed=${ts/./} sched="" ;;
      *"Scheduled restart job"*) [ -n "$killed" ] && [ -z "$sched" ] && sched=${ts/./} ;;
    esac
  done < <(journalctl -b -u tavik -o short-unix --no-pager)
  [ -n "$killed" ] && [ -n "$sched" ] && echo $(( (sched - killed) / 1000 ))
}

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

  # Restart=on-failure: systemd schedules the restart RestartSec after the kill (taken from
  # its own journal stamps: polling from inside a guest under emulation is too coarse); the
  # start itself (two ExecStartPre and the daemon) takes seconds more there.
  local restarts t0 gap
  restarts=$(prop tavik NRestarts)
  t0=$(date +%s)
  kill -9 "$run"
  if within 60 sh -c "[ \$(systemctl show -P NRestarts tavik) -gt $restarts ]" && within 60 ready; then
    gap=$(restart_gap_ms)
    check run-kill-restarted sh -c "echo 'restart scheduled ${gap:-?} ms after the kill (RestartSec $(prop tavik RestartUSec)),
      active again after $(( $(date +%s) - t0 )) s'; [ -n '$gap' ] && [ '${gap:-99999}' -lt 7000 ]"
  else
    result FAIL run-kill-restarted "not restarted and ready within 60 s: $(systemctl status tavik --no-pager 2>&1 | tail -n 5)"
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
