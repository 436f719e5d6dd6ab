#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up, builds and runs the main job. Until the simulated cluster demo exists this
# runs the daemon's start-up and orderly stop as its parent would see them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
ctest --preset release -L process --output-on-failure
