#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every benchmark and regenerates docs/performance.md and docs/performance-timeline.png:
# builds the release preset, runs the micro-benchmarks (Google Benchmark JSON), bench_bmc,
# and the system benchmark on a simulated cluster, then writes the report. The two BMC
# drivers side by side (bench/driver_bench.py) go into bench-results/drivers.json;
# docs/bmc-protocol.md quotes them.
#   sudo scripts/bench.sh [--quick]
# --quick (2 trials, a 20-s steady run, for trying it out) writes the report into the
# results directory instead of docs/.
# Needs root (each daemon of the cluster runs in its own UTS namespace). Raw results stay
# in build/release/bench-results/.
set -euo pipefail
cd "$(dirname "$0")/.."

trials=5
steady=60
docs=docs
case "${1:-}" in
  "") ;;
  --quick) trials=2; steady=20; docs=build/release/bench-results ;;
  *) echo "usage: scripts/bench.sh [--quick]" >&2; exit 2 ;;
esac
if [ "$(id -u)" -ne 0 ]; then
  echo "bench.sh: needs root (the cluster's daemons run in their own UTS namespaces)" >&2
  exit 1
fi

scripts/install-deps.sh
# The plot uses Debian's matplotlib, which belongs to the system's interpreter.
py=/usr/bin/python3
[ -x "$py" ] || py=python3
if ! "$py" -c 'import matplotlib' 2>/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3-matplotlib
fi

cmake --preset release >/dev/null
cmake --build --preset release -j 2

out=build/release/bench-results
rm -rf "$out"
mkdir -p "$out"
for b in bench_daemon bench_table bench_log bench_config; do
  echo "bench.sh: $b"
  "build/release/bench/$b" --benchmark_format=json >"$out/$b.json"
done
echo "bench.sh: bench_bmc"
build/release/bench/bench_bmc --json 2000 >"$out/bench_bmc.json"
echo "bench.sh: system benchmark"
"$py" bench/system_bench.py --out "$out/system.json" --trials "$trials" --steady-seconds "$steady"
echo "bench.sh: the two BMC drivers"
"$py" bench/driver_bench.py --out "$out/drivers.json" --trials "$(( trials < 3 ? trials : 3 ))" --seconds "$(( steady / 2 ))"
"$py" bench/report.py --results "$out" --md "$docs/performance.md" --png "$docs/performance-timeline.png"
