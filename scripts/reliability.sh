#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Everything that shows the daemon does not crash, hang, lie or lose a state, from one
# command: the unit, process, platform and end-to-end tests (fault injection and signal
# storms among them) under AddressSanitizer+UBSan and ThreadSanitizer, a run of every
# fuzz target and, on demand, a soak with datagram loss. Every step runs even when an
# earlier one failed; the end is a summary of each step and of the figures it measured.
#
#   scripts/reliability.sh [--fuzz SECONDS] [--soak MINUTES] [--presets "asan tsan"]
#
#   --fuzz SECONDS    per fuzz target (default 10, as in CI; 0 skips fuzzing)
#   --soak MINUTES    also soak a three-node cluster this long (default: no soak)
#   --seed S          the soak's random seed (default: from the clock; printed)
#   --presets LIST    the test presets to run (default "asan tsan"; release and debug too)
#
# CI runs it with its defaults; `scripts/reliability.sh --fuzz 600 --soak 60` is the long
# run. Exit status 0 when every step passed, 1 when one failed, 2 on a usage error.
# Needs root for the end-to-end tests and the soak (each daemon gets its own UTS
# namespace); without root they are skipped, and the summary says so.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat >&2 <<'EOF_USAGE'
usage: scripts/reliability.sh [--fuzz SECONDS] [--soak MINUTES] [--seed S] [--presets "asan tsan"]
  --fuzz SECONDS    per fuzz target (default 10, as in CI; 0 skips fuzzing)
  --soak MINUTES    also soak a three-node cluster this long (default: no soak)
  --seed S          the soak's random seed (default: from the clock; printed)
  --presets LIST    the test presets to run (default "asan tsan"; release and debug too)
EOF_USAGE
  exit 2
}

fuzz_seconds=10
soak_minutes=
soak_seed=
presets="asan tsan"
while [ $# -gt 0 ]; do
  case "$1" in
    --fuzz) [ $# -ge 2 ] || usage; fuzz_seconds=$2; shift 2 ;;
    --soak) [ $# -ge 2 ] || usage; soak_minutes=$2; shift 2 ;;
    --seed) [ $# -ge 2 ] || usage; soak_seed=$2; shift 2 ;;
    --presets) [ $# -ge 2 ] || usage; presets=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "reliability.sh: unknown argument '$1'" >&2; usage ;;
  esac
done
if ! [[ $fuzz_seconds =~ ^[0-9]+$ ]]; then
  echo "reliability.sh: --fuzz takes whole seconds, not '$fuzz_seconds'" >&2
  exit 2
fi
if [ -n "$soak_minutes" ] && ! { [[ $soak_minutes =~ ^[0-9]+([.][0-9]+)?$ ]] &&
                                  awk "BEGIN { exit !($soak_minutes > 0) }"; }; then
  echo "reliability.sh: --soak takes minutes above 0, not '$soak_minutes'" >&2
  exit 2
fi
if [ -n "$soak_seed" ] && ! [[ $soak_seed =~ ^[0-9]+$ ]]; then
  echo "reliability.sh: --seed takes a whole number, not '$soak_seed'" >&2
  exit 2
fi
for p in $presets; do
  case "$p" in
    release|debug|asan|tsan) ;;
    *) echo "reliability.sh: unknown preset '$p' (use release, debug, asan or tsan)" >&2; exit 2 ;;
  esac
done

results=build/reliability
rm -rf "$results"
mkdir -p "$results"
results=$PWD/$results
steps=()
failed=0

# run_step NAME COMMAND...: runs one step with its output to the terminal and to
# $results/NAME.log, and records its status and duration for the summary.
run_step() {
  local name=$1 start rc=0
  shift
  echo "== reliability: $name: $*"
  start=$(date +%s)
  "$@" 2>&1 | tee "$results/$name.log" || rc=${PIPESTATUS[0]}
  steps+=("$name $rc $(( $(date +%s) - start ))")
  [ "$rc" -eq 0 ] || failed=1
}

for p in $presets; do
  run_step "tests-$p" scripts/test.sh "$p" --output-junit "$results/tests-$p.xml"
done
if [ "$fuzz_seconds" -gt 0 ]; then
  run_step fuzz scripts/fuzz.sh "$fuzz_seconds"
fi
if [ -n "$soak_minutes" ]; then
  soak_args=("$soak_minutes" --json "$results/soak.json")
  [ -z "$soak_seed" ] || soak_args+=(--seed "$soak_seed")
  run_step soak scripts/soak.sh "${soak_args[@]}"
fi

echo
python3 scripts/reliability_summary.py "$results" "${steps[@]}" | tee "$results/summary.txt"
echo "(logs and the summary: $results)"
exit "$failed"
