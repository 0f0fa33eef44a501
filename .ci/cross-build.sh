#!/usr/bin/env bash
# Cross-compiles the project for 32-bit and 64-bit Windows with MinGW-w64 and checks the DLLs.
#
#   .ci/cross-build.sh [target...]
#
# Without arguments every target the cross configuration defines is built. For the architectures
# in ORVEX_CROSS_FULL_ARCHS (x86_64) that is the plug-in, the renderer tools/orvex-render.exe and
# the host-level tests (GoogleTest built from /usr/src/googletest; `ctest --test-dir
# <build>/x86_64` runs them under wine, see .ci/platforms.sh win64-tests); for the others the
# plug-in alone. Benchmarks are never part of a cross build. With arguments only those targets
# are built, e.g. `.ci/cross-build.sh orvex_host`. The host library is always built first, so the
# layout checks of the binary interface run under a real 32-bit and 64-bit Windows compiler even
# when a later target fails.
#
# Each plug-in DLL is then checked with objdump, and the script fails on any mismatch:
#   - the machine type matches the architecture (pei-i386 / pei-x86-64);
#   - the export table holds exactly one name, VSTPluginMain, undecorated;
#   - the import table names system DLLs only (no libstdc++, libgcc or winpthread DLL, which a
#     host's machine does not have);
#   - on i686 the code was compiled for SSE2 maths with stack realignment.
#
# Environment: ORVEX_CROSS_BUILD_ROOT (default: <project>/build-cross), ORVEX_CROSS_JOBS (2),
# ORVEX_CROSS_BUILD_TYPE (Release), ORVEX_CROSS_ARCHS ("i686 x86_64"), ORVEX_CROSS_FULL_ARCHS
# ("x86_64"), ORVEX_CROSS_CMAKE_ARGS (more configure arguments for every architecture, e.g.
# -DORVEX_WINE=/usr/lib/wine/wine).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_root="${ORVEX_CROSS_BUILD_ROOT:-$root/build-cross}"
jobs="${ORVEX_CROSS_JOBS:-2}"
build_type="${ORVEX_CROSS_BUILD_TYPE:-Release}"
archs="${ORVEX_CROSS_ARCHS:-i686 x86_64}"
full_archs="${ORVEX_CROSS_FULL_ARCHS-x86_64}"
# shellcheck disable=SC2206
extra_args=(${ORVEX_CROSS_CMAKE_ARGS:-})
targets=("$@")

fail() {
    echo "error: $*" >&2
    exit 1
}

# DLLs every Windows installation has. Anything else the plug-in imports would have to be
# shipped beside it.
system_dll='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|msvcrt|ucrtbase|ntdll|ws2_32|winmm|api-ms-win-[a-z0-9-]+)\.dll$'

check_dll() {
    local arch="$1" dll="$2"
    local objdump="$arch-w64-mingw32-objdump" name
    name="$arch/$(basename "$dll")"
    local dump
    dump="$("$objdump" -p "$dll")" || fail "objdump cannot read $dll"

    local format expected
    format="$("$objdump" -f "$dll" | sed -n 's/.*file format //p')"
    case "$arch" in
        i686) expected=pei-i386 ;;
        x86_64) expected=pei-x86-64 ;;
        *) expected=unknown ;;
    esac
    [ "$format" = "$expected" ] || fail "$name is $format, expected $expected"

    local exports
    exports="$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')"
    echo "   exports of $name: $(echo $exports)"
    [ "$exports" = "VSTPluginMain" ] || fail "$name must export exactly VSTPluginMain, exports: $(echo $exports)"

    local imports dll_name bad=()
    imports="$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')"
    echo "   imports of $name: $(echo $imports)"
    [ -n "$imports" ] || fail "$name: no import table found"
    while read -r dll_name; do
        echo "$dll_name" | tr 'A-Z' 'a-z' | grep -Eq "$system_dll" || bad+=("$dll_name")
    done <<<"$imports"
    [ ${#bad[@]} -eq 0 ] || fail "$name imports non-system DLLs: ${bad[*]}"
}

check_i686_flags() {
    # The host may enter with a 4-byte aligned stack, and x87 maths would round differently
    # from every other build: both are compile options, checked where the build recorded them.
    local dir="$1" flags
    for target in orvex_dsp orvex_plugin orvex_host orvex; do
        flags="$(find "$dir" -path "*/CMakeFiles/$target.dir/flags.make" | head -1)"
        [ -n "$flags" ] || continue
        for option in -msse2 -mfpmath=sse -mstackrealign; do
            grep -q -- "CXX_FLAGS.* $option" "$flags" || fail "$target is not compiled with $option ($flags)"
        done
    done
    echo "   i686 code compiled with -msse2 -mfpmath=sse -mstackrealign"
}

for arch in $archs; do
    triple="$arch-w64-mingw32"
    toolchain="$root/cmake/toolchain-$triple.cmake"
    dir="$build_root/$arch"
    if ! command -v "$triple-g++-posix" >/dev/null && ! command -v "$triple-g++" >/dev/null; then
        fail "no $triple compiler found"
    fi
    full=OFF
    if printf '%s\n' $full_archs | grep -qx "$arch"; then full=ON; fi
    echo "== $triple: configure ($dir; renderer and host-level tests: $full)"
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE="$build_type" \
        -DORVEX_WERROR=ON -DORVEX_BUILD_TOOLS=$full -DORVEX_CROSS_TESTS=$full "${extra_args[@]}" >/dev/null
    echo "== $triple: orvex_host"
    cmake --build "$dir" -j "$jobs" --target orvex_host
    if [ ${#targets[@]} -gt 0 ]; then
        echo "== $triple: ${targets[*]}"
        cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
    else
        echo "== $triple: all"
        cmake --build "$dir" -j "$jobs"
    fi
    found=0
    for dll in "$dir"/plugin/*.dll; do
        [ -e "$dll" ] || continue
        found=1
        check_dll "$arch" "$dll"
    done
    if [ "$arch" = i686 ]; then check_i686_flags "$dir"; fi
    # The plug-in is part of a full build; a build of other targets need not have made it.
    if [ $found -eq 0 ] && { [ ${#targets[@]} -eq 0 ] || printf '%s\n' "${targets[@]}" | grep -qx orvex; }; then
        fail "no plug-in DLL in $dir/plugin"
    fi
done
echo "== cross builds done"
