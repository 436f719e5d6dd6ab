#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each one on a copy of its
# seed corpus for a fixed time, one after the other.
#   scripts/fuzz.sh [SECONDS_PER_TARGET (default 20)] [TARGET...]
# Targets: msz xml_value xml_file bmc_conf check_match ipc_segment (default: all).
# Prints executions, speed and findings per target; a finding's input is kept in
# build/fuzz/findings/TARGET/ and the line to reproduce it is printed. Exit status 0
# when nothing was found, 1 on a finding, 2 on a usage or build error. The repository's
# corpus is never written: new inputs go to a scratch copy that is removed at the end
# (set TAVIK_FUZZ_KEEP=DIR to keep the grown corpora in DIR/TARGET instead, e.g. after a
# long run, to pick inputs worth adding).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

all_targets=(msz xml_value xml_file bmc_conf check_match ipc_segment)
seconds=${1:-20}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (targets: ${all_targets[*]})" >&2
  exit 2
fi
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  if [[ ! " ${all_targets[*]} " =~ " $t " ]]; then
    echo "fuzz.sh: unknown target '$t' (targets: ${all_targets[*]})" >&2
    exit 2
  fi
done

jobs=${TAVIK_FUZZ_BUILD_JOBS:-2}
if ! cmake --preset fuzz >/dev/null || ! cmake --build --preset fuzz -j "$jobs" >/dev/null; then
  echo "fuzz.sh: configuring or building the fuzz preset failed (needs clang and libclang-rt-14-dev)" >&2
  exit 2
fi

bin=$root/build/fuzz/tests/fuzz
findings_root=$root/build/fuzz/findings
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavik-fuzz-run.XXXXXX")
# The files a target writes for every input go to memory when /dev/shm is there: on a
# disk the xml_file target spends most of its time in the kernel.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  files=$(mktemp -d /dev/shm/tavik-fuzz-files.XXXXXX)
else
  files=$scratch/files
fi
# A target that creates an IPC namespace names it after its scratch directory
# (tavik-fuzz.XXXXXX gives tavik-fuzz-ipc.XXXXXX). A run that stopped on a finding leaves
# both behind; remove its shared-memory objects and semaphores with the directory.
remove_files() {
  local dir
  for dir in "$files"/tavik-fuzz.*; do
    [ -d "$dir" ] || continue
    rm -f /dev/shm/tavik-fuzz-ipc."${dir##*.}".* /dev/shm/sem.tavik-fuzz-ipc."${dir##*.}".*
  done
  rm -rf "${files:?}/"*
}
trap 'remove_files; rm -rf "$scratch" "$files"' EXIT

stat_of() { sed -n "s/^stat::$1: *//p" "$2" | tail -1; }

status=0
printf '%-12s %12s %10s %8s %9s\n' target executions exec/s "new" findings
for t in "${targets[@]}"; do
  corpus=$scratch/corpus/$t
  findings=$findings_root/$t
  mkdir -p "$corpus" "$findings" "$files"
  cp "$root/tests/fuzz/corpus/$t/"* "$corpus/"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$findings/")
  [ -f "$root/tests/fuzz/dict/$t.dict" ] && args+=(-dict="$root/tests/fuzz/dict/$t.dict")
  log=$scratch/$t.log
  before=$(find "$findings" -type f | wc -l)
  rc=0
  TMPDIR=$files "$bin/fuzz_$t" "${args[@]}" "$corpus" >"$log" 2>&1 || rc=$?
  after=$(find "$findings" -type f | wc -l)
  found=$((after - before))
  if [ "$rc" -ne 0 ] && [ "$found" -eq 0 ]; then
    found=1  # it stopped without leaving an input (e.g. killed): still a finding
  fi
  printf '%-12s %12s %10s %8s %9s\n' "$t" "$(stat_of number_of_executed_units "$log")" \
    "$(stat_of average_exec_per_sec "$log")" "$(stat_of new_units_added "$log")" "$found"
  if [ "$found" -gt 0 ]; then
    status=1
    cp "$log" "$findings/last-run.log"
    echo "  fuzz_$t stopped (exit $rc); its log: $findings/last-run.log"
    grep -E 'ERROR: |fuzz check failed|SUMMARY: ' "$log" | head -5 | sed 's/^/  /' || true
    newest=$(ls -t "$findings" | grep -v '^last-run.log$' | head -1 || true)
    if [ -n "$newest" ]; then
      echo "  reproduce: $bin/fuzz_$t $findings/$newest"
    fi
  fi
  if [ -n "${TAVIK_FUZZ_KEEP:-}" ]; then
    mkdir -p "$TAVIK_FUZZ_KEEP/$t"
    cp "$corpus/"* "$TAVIK_FUZZ_KEEP/$t/"
  fi
  remove_files
done
exit "$status"
