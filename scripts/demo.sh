#!/usr/bin/env bash
# Installs what is missing, builds the driver and the rp1210 tool, and shows the
# simulated vehicle through them: a few seconds of J1939 traffic with engine and vehicle
# speed decoded, then the VIN through a J1939 request and through UDS.
#   bash scripts/demo.sh [SECONDS]    how long to monitor (default 3)
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

seconds=${1:-3}
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DRP1210CORE_WERROR=ON >/dev/null
cmake --build "$build" --target rp1210_tool -j"$(nproc)"

# The tool finds the driver built beside it through the INI files in $build/driver.
run() {
    printf '\n$ rp1210 %s\n' "$*"
    "$build/tools/rp1210" "$@"
}
run monitor J1939 --duration "$seconds"
run request 65260
run uds 22F190
