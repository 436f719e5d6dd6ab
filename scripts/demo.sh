#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up, builds and runs the main job: a three-node cluster on loopback that detects
# a failed BMC while you watch (tavikctl demo). Run as root for three daemons; without
# root it runs one daemon and two peer BMCs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
# Only what the demo runs: the daemon, tavikctl, the simulated BMC (with its module) and
# the libraries they link; the tests and benchmarks wait for scripts/test.sh.
cmake --build --preset release -j "$(nproc)" --target tavik tavikctl tavik-bmcsim
exec build/release/tools/tavikctl/tavikctl demo
