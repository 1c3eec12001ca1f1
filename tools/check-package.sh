#!/usr/bin/env bash
# check-package.sh - installs a configured build into a scratch prefix and
# builds examples/demo.c against the installed files twice: with the flags
# from pkg-config (zub32.pc) and through the CMake package
# (examples/consumer, find_package(zub32)). Runs both programs, which need
# no server, and checks the installed files and SONAME links, and that the
# installed zubftp runs from the prefix without LD_LIBRARY_PATH.
#
# Usage: tools/check-package.sh BUILD_DIR
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)

fail() {
    echo "check-package: $*" >&2
    exit 1
}

command -v pkg-config >/dev/null || bash "$repo/tools/deps.sh" pkg-config

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --build "$build" --target zub32 zubftp
cmake --install "$build" --prefix "$prefix" >/dev/null

# GNUInstallDirs may pick lib or lib/<multiarch>: find where it went.
pc=$(find "$prefix" -name zub32.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pc" ] || fail "no zub32.pc under $prefix"
libdir=$(dirname "$(dirname "$pc")")

[ -f "$prefix/include/zub32.h" ] || fail "zub32.h not installed"
[ -f "$libdir/cmake/zub32/zub32Config.cmake" ] || fail "zub32Config.cmake not installed"
[ -f "$libdir/cmake/zub32/zub32ConfigVersion.cmake" ] || fail "zub32ConfigVersion.cmake not installed"
for name in libzub32.so libzub32.so.2 libzub32.so.2.3.0; do
    [ -e "$libdir/$name" ] || fail "$name not installed"
done
[ -L "$libdir/libzub32.so" ] && [ -L "$libdir/libzub32.so.2" ] || fail "the SONAME links are not links"
soname=$(objdump -p "$libdir/libzub32.so.2.3.0" | sed -n 's/^ *SONAME *//p')
[ "$soname" = libzub32.so.2 ] || fail "SONAME is '$soname'"
echo "check-package: installed into $prefix (library in ${libdir#"$prefix"/})"

# zubftp: installed with its manual page, and it finds the installed
# library through its run path (nothing in the environment points there).
[ -x "$prefix/bin/zubftp" ] || fail "zubftp not installed"
man=$(find "$prefix" -path '*/man1/zubftp.1' | head -n 1)
[ -n "$man" ] || fail "zubftp.1 not installed"
found=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/zubftp" | sed -n 's/.*libzub32\.so\.2 => \([^ ]*\).*/\1/p')
[ "$(readlink -f "$found")" = "$(readlink -f "$libdir/libzub32.so.2")" ] \
    || fail "the installed zubftp loads '$found', not the installed library"
env -u LD_LIBRARY_PATH "$prefix/bin/zubftp" --help | grep -q '^usage: zubftp' || fail "the installed zubftp does not run"
echo "check-package: zubftp and its manual page installed, zubftp runs from the prefix"

# 1. pkg-config
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion zub32)" = 2.3.0 ] || fail "pkg-config reports version $(pkg-config --modversion zub32)"
# shellcheck disable=SC2046
cc -o "$work/demo-pc" "$repo/examples/demo.c" $(pkg-config --cflags --libs zub32)
(cd "$work" && LD_LIBRARY_PATH=$libdir ./demo-pc "$work/demo-pc.log" >"$work/demo-pc.out") \
    || fail "the pkg-config build of demo.c failed when run"
grep -q 'zubRelease' "$work/demo-pc.out" || fail "the pkg-config build printed no release line"
echo "check-package: pkg-config build runs"

# 2. find_package(zub32) through the consumer project
cmake -S "$repo/examples/consumer" -B "$work/consumer" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
(cd "$work" && LD_LIBRARY_PATH=$libdir ./consumer/zub_consumer_demo "$work/demo-cmake.log" >"$work/demo-cmake.out") \
    || fail "the CMake package build of demo.c failed when run"
grep -q 'zubRelease' "$work/demo-cmake.out" || fail "the CMake package build printed no release line"
echo "check-package: find_package(zub32) build runs"
echo "check-package: package checked"
