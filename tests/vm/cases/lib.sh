# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by every case script inside the guest. Each check writes one line to
# /share/out/results, "PASS name: detail" or "FAIL name: detail" (or "SKIP"), which the
# host's test reads after the guest ended; ask_host lets the host check what only it can
# see (the peers' view) at that moment.
OUT=/share/out
IN=/share/in
mkdir -p "$OUT/marks" "$OUT/answers"

result() { printf '%s %s: %s\n' "$1" "$2" "$(printf '%s' "$3" | tr '\n\r' '  ' | cut -c1-400)" >> "$OUT/results"; }

# check NAME CMD...: passes when CMD succeeds; the end of its output is the detail.
check() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then result PASS "$name" "$(tail -n 4 <<<"$out")"; else result FAIL "$name" "$(tail -n 6 <<<"$out")"; return 1; fi
}

# within SECONDS CMD...: runs CMD every half second until it succeeds or SECONDS passed.
within() {
  local until=$(( $(date +%s) + $1 ))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$until" ] || return 1
    sleep 0.5
  done
}

# ask_host NAME: tells the host the guest reached NAME and records the host's check of it.
ask_host() {
  date +%s.%N > "$OUT/marks/$1"
  if ! within 120 test -s "$OUT/answers/$1"; then
    result FAIL "$1" "no answer from the host"
    return 1
  fi
  local a
  a=$(cat "$OUT/answers/$1")
  result "${a%% *}" "$1" "${a#* }"
  [ "${a%% *}" = PASS ]
}

# journal UNIT PATTERN: this boot's journal lines of UNIT matching PATTERN (grep -E).
journal() { journalctl -b -u "$1" --no-pager -o short-precise | grep -E -- "$2"; }

prop() { systemctl show -P "$2" "$1"; }

# The daemon: the child of `tavikctl run`, the service's main process.
daemon_pid() { local main; main=$(prop tavik MainPID); cut -d' ' -f1 "/proc/$main/task/$main/children" 2>/dev/null; }

# install_package: the package from the share, with apt as an operator would.
install_package() {
  cp "$IN/tavik.deb" /tmp/
  check install sh -c 'apt-get install -y -q /tmp/tavik.deb >/tmp/apt.log 2>&1 || { tail /tmp/apt.log; exit 1; }
    grep -E "^(Setting up|Unpacking)" /tmp/apt.log' 
  # The package makes no /etc/tavik: the operator does, as here.
  install -D -m 0644 "$IN/cluster.xml" /etc/tavik/cluster.xml
  install -m 0600 "$IN/bmc.conf" /etc/tavik/bmc.conf
  # A fault on purpose (TAVIK_VM_BREAK on the host), to show that the checks catch it: the
  # device rule closed, or no restart after a failure.
  case $(cat "$IN/break" 2>/dev/null) in
    device) mkdir -p /etc/systemd/system/tavik.service.d
            printf '[Service]\nDeviceAllow=\n' > /etc/systemd/system/tavik.service.d/break.conf ;;
    restart) mkdir -p /etc/systemd/system/tavik.service.d
             printf '[Service]\nRestart=no\n' > /etc/systemd/system/tavik.service.d/break.conf ;;
  esac
  systemctl daemon-reload
}
