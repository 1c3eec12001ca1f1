#!/usr/bin/env bash
# build-windows.sh - cross-builds ZUB32.dll for 32- and 64-bit Windows with
# MinGW-w64 and checks what each DLL exports and imports.
#
# Usage: tools/build-windows.sh [BUILD_DIR_32 [BUILD_DIR_64]]
#   defaults: <repo>/build-win32 and <repo>/build-win64
#
# Checks per DLL: machine type; exactly the exports named in src/zub32.def,
# all undecorated; only system DLLs among the imports; stripped (no
# symbol table, no debug sections); a version resource saying the project
# version and build number. On 32-bit also that the import library maps the
# __stdcall names (zubAttach@8) to them. Then both import libraries, the
# MinGW one (libZUB32.dll.a) and Microsoft's (ZUB32.lib), link a program
# that takes every export, and that program imports exactly the DLL's names.
# Last, that cmake --install ships the DLL, both import libraries and the
# header. Exits non-zero on the first failure.
#
# Needs, besides MinGW-w64: python3, clang, llvm-readobj and lld-link (llvm-14
# and lld-14 on Debian).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir32=${1:-$repo/build-win32}
dir64=${2:-$repo/build-win64}
def_file=$repo/src/zub32.def

# The first of the given programs found on PATH or in LLVM 14's directory.
find_tool() {
    local name
    for name in "$@"; do
        if command -v "$name" >/dev/null; then command -v "$name"; return; fi
        if [ -x "/usr/lib/llvm-14/bin/$name" ]; then echo "/usr/lib/llvm-14/bin/$name"; return; fi
    done
    fail "none of $* found"
}

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

# The DLLs ZUB32.dll may import: all part of Windows. SECUR32 and CRYPT32
# carry SChannel and the certificate check of the TLS backend.
system_dlls='KERNEL32.dll msvcrt.dll USER32.dll WSOCK32.dll SECUR32.dll CRYPT32.dll'

check_imports() {  # objdump dll
    local dlls dll
    dlls=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p')
    echo "  imports: $(echo "$dlls" | tr '\n' ' ')"
    # MinGW runtime DLLs are all named lib*.dll (libgcc_s, libstdc++,
    # libwinpthread); system DLLs never are.
    if echo "$dlls" | grep -i '^lib' >&2; then
        fail "$2 depends on the MinGW runtime DLLs above"
    fi
    for dll in $dlls; do
        grep -qiw -- "$dll" <<<"$system_dlls" || fail "$2 imports $dll, which is not among: $system_dlls"
    done
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

# The version the resource must carry: project() in CMakeLists.txt and the
# build number (four hex digits after BLD) in the marker that
# zubGetInteger(ch, 21) reads.
expected_version() {
    local ver bld
    ver=$(sed -n 's/^project(zub32 VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
    bld=$(sed -n 's/.*\$VER [0-9A-Fa-f]\{4\} BLD \([0-9A-Fa-f]\{4\}\) .*/\1/p' \
          "$repo/src/frame/settings.cpp")
    [ -n "$ver" ] && [ -n "$bld" ] || fail "cannot read the version or build number"
    echo "$ver.$((16#$bld))"
}

check_stripped() {  # objdump dll
    local debug
    debug=$("$1" -h "$2" | awk '$2 ~ /^\.debug/ { print $2 }')
    [ -z "$debug" ] || fail "$2 has debug sections: $(echo $debug)"
    grep -qx 'symbols=0' <<<"$3" || fail "$2 has a symbol table"
    echo "  stripped: no symbol table, no debug sections"
}

check_version() {  # dll resource-dump
    local want line
    want=$(expected_version)
    for line in "FileVersion.fixed=$want" "ProductVersion.fixed=$want" \
                "FileVersion=$want" "ProductVersion=$want" "FileType.fixed=2" \
                "InternalName=ZUB32" "OriginalFilename=ZUB32.dll" \
                "CompanyName=zub32" "ProductName=zub32"; do
        grep -qxF "$line" <<<"$2" || fail "$1: version resource lacks $line"
    done
    for line in FileDescription LegalCopyright; do
        grep -q "^$line=." <<<"$2" || fail "$1: version resource lacks $line"
    done
    echo "  version resource: $want"
}

# A program that takes the address of every export through zub32.h, so
# each of the header's prototypes must find its name in the import library.
write_probe() {  # file
    {
        echo '#include "zub32.h"'
        echo 'static const void *const probe_table[] = {'
        expected_exports | sed 's/.*/    (const void *)\&&,/'
        echo '};'
        echo 'int main(void) {'
        echo '    unsigned i, n = 0;'
        echo '    for (i = 0; i < sizeof probe_table / sizeof probe_table[0]; ++i)'
        echo '        n += probe_table[i] != 0;'
        echo '    return (int)n;'
        echo '}'
    } >"$1"
}

# The names a program imports from ZUB32.dll, sorted: the hint/name lines
# that follow "DLL Name: ZUB32.dll" in objdump -p, up to the blank line.
exe_imports() {  # objdump exe
    local dump
    dump=$("$1" -p "$2") || fail "cannot read $2"
    echo "$dump" | awk '
        /DLL Name:/ { on = ($NF == "ZUB32.dll"); next }
        on && NF == 0 { on = 0 }
        on && /^\t[0-9a-f]+\t/ { print $NF }' | sort
}

check_probe_imports() {  # objdump exe what
    local got
    got=$(exe_imports "$1" "$2")
    if [ "$got" != "$(expected_exports)" ]; then
        diff <(expected_exports) <(echo "$got") >&2 || true
        fail "$3: the program's imports from ZUB32.dll differ from the exports"
    fi
}

# Both import libraries link the probe; the programs import the 28 plain
# names. Microsoft's linker is stood in for by lld-link, with no C runtime.
check_implibs() {  # triple build_dir bits
    local objdump=$1-objdump dir=$2 work=$2/link-probe
    local target machine entry=main
    rm -rf "$work" && mkdir -p "$work"
    write_probe "$work/probe.c"
    [ -f "$dir/libZUB32.dll.a" ] || fail "$dir/libZUB32.dll.a was not built"
    [ -f "$dir/ZUB32.lib" ] || fail "$dir/ZUB32.lib was not built (llvm-dlltool missing?)"

    "$1-gcc" -std=c99 -Wall -Werror -I"$repo/include" "$work/probe.c" \
        "$dir/libZUB32.dll.a" -o "$work/probe-mingw.exe" || fail "MinGW link against libZUB32.dll.a failed"
    check_probe_imports "$objdump" "$work/probe-mingw.exe" "MinGW link ($3-bit)"

    if [ "$3" = 32 ]; then
        target=i686-pc-windows-msvc machine=x86
    else
        target=x86_64-pc-windows-msvc machine=x64
    fi
    "$clang" --target=$target -ffreestanding -std=c99 -Wall -Werror -I"$repo/include" \
        -c "$work/probe.c" -o "$work/probe.obj" || fail "clang ($target) failed on the probe"
    "$lld_link" -nologo -machine:$machine -subsystem:console -nodefaultlib -entry:$entry \
        -out:"$work/probe-msvc.exe" "$work/probe.obj" "$dir/ZUB32.lib" \
        || fail "lld-link against ZUB32.lib failed"
    check_probe_imports "$objdump" "$work/probe-msvc.exe" "Microsoft-style link ($3-bit)"
    echo "  import libraries: libZUB32.dll.a (MinGW) and ZUB32.lib (lld-link) link all 28"
}

# ZUB32.lib's 32-bit members: each decorated C name (_zubAttach@8, imported
# through __imp__zubAttach@8) is imported by its plain name.
check_msvc_lib32() {  # lib
    local dump n
    dump=$("$llvm_readobj" "$1") || fail "cannot read $1"
    n=$(grep -c '^Symbol: __imp__zub[A-Za-z0-9]*@[0-9]*$' <<<"$dump" || true)
    [ "$n" -eq 28 ] || fail "$1 maps $n decorated names, expected 28"
    n=$(grep -c '^Name type: undecorate$' <<<"$dump" || true)
    [ "$n" -eq 28 ] || fail "$1: $n of 28 names are imported undecorated"
    echo "  ZUB32.lib: 28 __stdcall names, imported undecorated"
}

# cmake --install puts the DLL, both import libraries and the header in
# place, byte for byte what the build made.
check_install() {  # build_dir
    local prefix=$1/install-check file
    rm -rf "$prefix"
    cmake --install "$1" --prefix "$prefix" >/dev/null || fail "cmake --install $1 failed"
    for file in bin/ZUB32.dll lib/libZUB32.dll.a lib/ZUB32.lib; do
        cmp -s "$1/${file#*/}" "$prefix/$file" || fail "install of $1 lacks $file or it differs"
    done
    cmp -s "$repo/include/zub32.h" "$prefix/include/zub32.h" || fail "install of $1 lacks include/zub32.h"
    echo "  install: bin/ZUB32.dll, lib/libZUB32.dll.a, lib/ZUB32.lib, include/zub32.h"
}

check_dll() {  # triple build_dir format bits
    local objdump=$1-objdump dll=$2/ZUB32.dll resource
    [ -f "$dll" ] || fail "$dll was not built"
    echo "$dll ($4-bit):"
    check_machine "$objdump" "$dll" "$3"
    check_exports "$objdump" "$dll"
    check_imports "$objdump" "$dll"
    resource=$(python3 "$repo/tools/pe-version.py" "$dll") || fail "cannot read the version resource of $dll"
    check_stripped "$objdump" "$dll" "$resource"
    check_version "$dll" "$resource"
    if [ "$4" = 32 ]; then
        check_implib32 "$1-nm" "$2/libZUB32.dll.a"
        check_msvc_lib32 "$2/ZUB32.lib"
    fi
    check_implibs "$1" "$2" "$4"
    check_install "$2"
}

clang=$(find_tool clang clang-14)
lld_link=$(find_tool lld-link lld-link-14)
llvm_readobj=$(find_tool llvm-readobj llvm-readobj-14)

configure_and_build mingw-i686.cmake "$dir32"
configure_and_build mingw-x86_64.cmake "$dir64"
check_dll i686-w64-mingw32 "$dir32" pei-i386 32
check_dll x86_64-w64-mingw32 "$dir64" pei-x86-64 64
echo "build-windows: both DLLs built and checked"
