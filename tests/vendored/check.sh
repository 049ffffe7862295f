#!/bin/bash
# Builds a parent project that takes the library from the repository at
# SOURCE, once with FetchContent and once with add_subdirectory, with
# GoogleTest out of sight.  Each must build the library alone, run the
# parent's program, run only the parent's test, and install only the
# parent's program.
#
# usage: tests/vendored/check.sh SOURCE
set -euo pipefail
source=$(realpath "${1:?usage: tests/vendored/check.sh SOURCE}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for way in FetchContent add_subdirectory; do
    build=$work/$way
    cmake --no-warn-unused-cli -S "$here" -B "$build" -DESCAPE_SPECIAL_VENDORED_BY="$way" \
        -DESCAPE_SPECIAL_SOURCE="$source" -DESCAPE_SPECIAL_COMMIT="$(git -C "$source" rev-parse HEAD)" \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" >/dev/null
    "$build/parent"
    echo "  <- parent program, vendored with $way"
    # Only the library and the parent's program are built: no tool, no
    # tests, no model of a kernel.
    built=$(find "$build" -type f \( -name 'escape-special' -o -name '*_test' -o -name '*model*.a' \))
    test -z "$built" || { echo "also built: $built"; exit 1; }
    tests=$(ctest --test-dir "$build" -N | sed -n 's/^ *Test *#[0-9]*: //p')
    test "$tests" = parent_escapes || { echo "tests: $tests"; exit 1; }
    cmake --install "$build" --prefix "$work/prefix-$way" >/dev/null
    installed=$(cd "$work/prefix-$way" && find . -type f)
    test "$installed" = ./bin/parent || { echo "installed: $installed"; exit 1; }
    echo "  built and installed only the parent's program and the library it links"
done
