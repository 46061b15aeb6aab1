#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a C application against it twice,
# with pkg-config and with find_package, then runs both on the simulated vehicle, and
# the installed rp1210 tool.
#   install_test.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
pc=$(dirname "$(find "$work/prefix" -name rp1210.pc)")
libdir=$(dirname "$(find "$work/prefix" -name 'librp1210.so' | head -1)")
export RP1210_INI
RP1210_INI=$(dirname "$(find "$work/prefix" -name RP121032.ini)")
test -f "$RP1210_INI/TRAVONE.ini"
test -e "$libdir/TRAVONE.so"

# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$here/install/main.c" $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs rp1210) \
   -o "$work/with-pkg-config"
cmake -S "$here/install" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null

LD_LIBRARY_PATH="$libdir" "$work/with-pkg-config"
LD_LIBRARY_PATH="$libdir" "$work/consumer/consumer"
# The installed tool finds the installed INI files and library by itself.
env -u RP1210_INI "$work/prefix/bin/rp1210" request 65260 | grep -q 1SVTR5EX7PS000042
