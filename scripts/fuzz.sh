#!/usr/bin/env bash
# Builds the fuzz targets (clang, RP1210CORE_FUZZ) and runs each for a while on a scratch
# copy of its seeds in fuzz/corpus; a crash, a sanitizer report or a hung input fails.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   (default: 20 seconds, every target)
#   BUILD_DIR   build folder (default: build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-dev

seconds=${1:-20}
shift || true
build=${BUILD_DIR:-build-fuzz}
targets=("$@")
((${#targets[@]})) || targets=(fuzz_dispatch fuzz_connect_string fuzz_send_command fuzz_ioctl fuzz_messages
                               fuzz_adapter_frames fuzz_ini)

CXX=clang++ cmake -S . -B "$build" -G Ninja -DRP1210CORE_WERROR=ON -DRP1210CORE_FUZZ=ON \
    -DRP1210CORE_BUILD_TESTS=OFF -DRP1210CORE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
passed=0 failed=0
for t in "${targets[@]}"; do
    work=$(mktemp -d)
    if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$work/" \
        "$work" "fuzz/corpus/$t" >"$work/log" 2>&1; then
        passed=$((passed + 1))
        echo "$t: $(grep -h 'DONE' "$work/log" | tail -1)"
        rm -rf "$work"
    else
        failed=$((failed + 1))
        tail -60 "$work/log"
        echo "$t FAILED; the input that failed is in $work"
    fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
