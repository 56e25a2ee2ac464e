#!/usr/bin/env bash
# Builds quillon-sim and starts it against the built-in virtual instrument.
# Set DUCTRA_SIM_SCENARIO to a scenario file to start it on another instrument.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}"
cmake --preset linux >/dev/null
cmake --build --preset linux --target quillon-sim -j2
exec build/linux/bin/quillon-sim
