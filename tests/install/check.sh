#!/bin/bash
# Builds the consumer against an installed prefix with find_package and
# with pkg-config, as C++11, 14, 17 and 20, runs each, and checks that each
# links the library as installed: the shared library where the prefix has one, which
# it then needs at run time, and the static archive otherwise.  Also runs
# the installed tool and reads both man pages.
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
pc_dir=$(dirname "$(find "$prefix" -name escape_special.pc | head -n 1)")
libdir=$(dirname "$pc_dir")
shared=$(test -e "$libdir/libescape_special.so.1" && echo yes || echo no)

# Which library the program needs at run time, and, where that is the
# shared one, that it is the installed copy.
check_link() {
    local needed
    needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(libescape_special[^]]*\)\]/\1/p')
    if [ "$shared" = yes ]; then
        test "$needed" = libescape_special.so.1
        grep -q "libescape_special.so.1 => $libdir/" <<<"$(LD_LIBRARY_PATH=$libdir ldd "$1")"
        echo "  needs libescape_special.so.1 from $libdir"
    else
        test -z "$needed"
        echo "  linked statically"
    fi
}

# The header asks nothing newer than C++11 of its callers; each standard
# from there is built, and the consumer checks that it was compiled as that
# one.
for std in 11 14 17 20; do
    cmake -S "$here" -B "$work/cmake$std" -DCMAKE_PREFIX_PATH="$prefix" "${hint[@]}" \
        -DCMAKE_CXX_STANDARD="$std" >/dev/null
    cmake --build "$work/cmake$std" >/dev/null
    LD_LIBRARY_PATH=$libdir "$work/cmake$std/consumer"
    echo "  <- find_package consumer, C++$std"
    check_link "$work/cmake$std/consumer"

    g++ -std=c++$std -DEXPECTED_STANDARD="$std" \
        -o "$work/pkgconfig_consumer$std" "$here/consumer.cpp" \
        $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs escape_special)
    LD_LIBRARY_PATH=$libdir "$work/pkgconfig_consumer$std"
    echo "  <- pkg-config consumer, C++$std"
    check_link "$work/pkgconfig_consumer$std"
done

test "$("$prefix/bin/escape-special" 'a.b')" = 'a\.b'
man -l "$prefix/share/man/man1/escape-special.1.gz" >/dev/null
man -l "$prefix/share/man/man3/escape_special.3.gz" >/dev/null
echo "installed tool and man pages: ok"
