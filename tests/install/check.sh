#!/bin/bash
# Builds the consumer against an installed prefix, once with find_package
# and once with pkg-config, and runs both.
#
# usage: tests/install/check.sh PREFIX
set -euo pipefail
prefix=$(realpath "${1:?usage: tests/install/check.sh PREFIX}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A prefix with an absolute, unusual libdir (lib64 on Debian, say) is not
# searched by find_package, so an absolute libdir is named directly.
config_dir=$(dirname "$(find "$prefix" -name escape_specialConfig.cmake | head -n 1)")
case $config_dir in
"$prefix"/lib/cmake/*) hint=() ;;
*) hint=(-Descape_special_DIR="$config_dir") ;;
esac
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" "${hint[@]}" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"
echo "  <- find_package consumer"

pc_dir=$(dirname "$(find "$prefix" -name escape_special.pc | head -n 1)")
g++ -std=c++20 -o "$work/pkgconfig_consumer" "$here/consumer.cpp" \
    $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs escape_special)
"$work/pkgconfig_consumer"
echo "  <- pkg-config consumer"

test "$("$prefix/bin/escape-special" 'a.b')" = 'a\.b'
echo "installed tool: ok"
