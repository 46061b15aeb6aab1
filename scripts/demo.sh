#!/usr/bin/env bash
# Installs what is missing, builds the demonstration and drives the simulated vehicle
# through the whole driver for a few seconds.
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DRP1210CORE_WERROR=ON >/dev/null
cmake --build "$build" --target rp1210_demo -j"$(nproc)"
"$build/tools/rp1210_demo" "$@"
