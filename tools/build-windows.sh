#!/usr/bin/env bash
# build-windows.sh - cross-builds ZUB32.dll for 32- and 64-bit Windows with
# MinGW-w64 and checks what each DLL exports and imports.
#
# Usage: tools/build-windows.sh [BUILD_DIR_32 [BUILD_DIR_64]]
#   defaults: <repo>/build-win32 and <repo>/build-win64
#
# Checks per DLL: machine type; exactly the exports named in src/zub32.def,
# all undecorated; no MinGW runtime DLL among the imports. On 32-bit also
# that the import library maps the __stdcall names (zubAttach@8) to them.
# Exits non-zero on the first failure.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir32=${1:-$repo/build-win32}
dir64=${2:-$repo/build-win64}
def_file=$repo/src/zub32.def

fail() {
    echo "build-windows: $*" >&2
    exit 1
}

# The export names listed in the .def, sorted.
expected_exports() {
    sed -n 's/^[[:space:]]\{1,\}\(zub[A-Za-z0-9]*\).*/\1/p' "$def_file" | sort
}

configure_and_build() {  # toolchain build_dir
    cmake -S "$repo" -B "$2" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$1" \
        -DCMAKE_BUILD_TYPE=Release || fail "configure failed in $2"
    cmake --build "$2" || fail "build failed in $2"
}

# Names from the "[Ordinal/Name Pointer] Table" of objdump -p: the last
# word of each line up to the blank line that ends the table. awk reads to
# the end so that objdump never meets a closed pipe.
dll_exports() {  # objdump dll
    local dump
    dump=$("$1" -p "$2") || fail "cannot read $2"
    echo "$dump" | awk '
        /\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
        on && NF == 0 { on = 0; done = 1 }
        on && !done { print $NF }' | sort
}

check_exports() {  # objdump dll
    local want got
    want=$(expected_exports)
    got=$(dll_exports "$1" "$2")
    [ "$(echo "$want" | wc -l)" -eq 28 ] || fail "$def_file does not list 28 exports"
    if [[ $got == *@* ]]; then
        fail "decorated exports in $2: $(echo "$got" | grep '@' | tr '\n' ' ')"
    fi
    if [ "$want" != "$got" ]; then
        diff <(echo "$want") <(echo "$got") >&2 || true
        fail "exports of $2 differ from the .def (< missing, > extra)"
    fi
    echo "  exports: $(echo "$got" | wc -l) names, none decorated"
}

check_imports() {  # objdump dll
    local dlls
    dlls=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p')
    echo "  imports: $(echo "$dlls" | tr '\n' ' ')"
    # MinGW runtime DLLs are all named lib*.dll (libgcc_s, libstdc++,
    # libwinpthread); system DLLs never are.
    if echo "$dlls" | grep -i '^lib' >&2; then
        fail "$2 depends on the MinGW runtime DLLs above"
    fi
}

check_machine() {  # objdump dll format
    local header
    header=$("$1" -f "$2") || fail "cannot read $2"
    [[ $header == *"file format $3"* ]] || fail "$2 is not $3"
}

# The 32-bit import library must carry the decorated __stdcall names, which
# is what C callers compiled with zub32.h reference.
check_implib32() {  # nm implib
    local n
    n=$("$1" "$2" | grep -c ' I __imp__zub[A-Za-z0-9]*@[0-9]*$' || true)
    [ "$n" -eq 28 ] || fail "$2 maps $n decorated names, expected 28"
    echo "  import library: 28 __stdcall names"
}

check_dll() {  # triple build_dir format bits
    local objdump=$1-objdump dll=$2/ZUB32.dll
    [ -f "$dll" ] || fail "$dll was not built"
    echo "$dll ($4-bit):"
    check_machine "$objdump" "$dll" "$3"
    check_exports "$objdump" "$dll"
    check_imports "$objdump" "$dll"
    if [ "$4" = 32 ]; then
        check_implib32 "$1-nm" "$2/libZUB32.dll.a"
    fi
}

configure_and_build mingw-i686.cmake "$dir32"
configure_and_build mingw-x86_64.cmake "$dir64"
check_dll i686-w64-mingw32 "$dir32" pei-i386 32
check_dll x86_64-w64-mingw32 "$dir64" pei-x86-64 64
echo "build-windows: both DLLs built and checked"
