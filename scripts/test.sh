#!/usr/bin/env bash
# Installs what is missing, builds the library and its tests, and runs every test.
#   BUILD_DIR      build folder (default: build)
#   SANITIZE       e.g. "address,undefined" or "thread" for an instrumented build
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

build=${BUILD_DIR:-build}
if [[ "${SANITIZE:-}" == *thread* ]]; then
    export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} suppressions=$PWD/tests/tsan.supp"
fi
cmake -S . -B "$build" -G Ninja -DRP1210CORE_WERROR=ON -DRP1210CORE_SANITIZE="${SANITIZE:-}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
