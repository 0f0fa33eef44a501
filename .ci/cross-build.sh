#!/usr/bin/env bash
# Cross-compiles the project for 32-bit and 64-bit Windows with MinGW-w64.
#
#   .ci/cross-build.sh [target...]
#
# Without arguments every target the cross configuration defines is built (tests, benchmarks
# and the command-line tools are not part of a Windows cross build). With arguments only those
# targets are built, e.g. `.ci/cross-build.sh orvex_host`. The host library is always built
# first, so the layout checks of the binary interface run under a real 32-bit and 64-bit
# Windows compiler even when a later target fails.
#
# Environment: ORVEX_CROSS_BUILD_ROOT (default: <project>/build-cross), ORVEX_CROSS_JOBS (2),
# ORVEX_CROSS_BUILD_TYPE (Release), ORVEX_CROSS_ARCHS ("i686 x86_64").
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_root="${ORVEX_CROSS_BUILD_ROOT:-$root/build-cross}"
jobs="${ORVEX_CROSS_JOBS:-2}"
build_type="${ORVEX_CROSS_BUILD_TYPE:-Release}"
archs="${ORVEX_CROSS_ARCHS:-i686 x86_64}"
targets=("$@")

check_imports() {
    # The plug-in must load on a bare Windows: no MinGW runtime DLLs among its imports.
    local objdump="$1" dll="$2"
    local imports
    imports="$("$objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p')"
    echo "   imports of $(basename "$dll"): $(echo $imports)"
    if echo "$imports" | grep -Eiq 'libstdc\+\+|libgcc|libwinpthread'; then
        echo "error: $dll depends on a MinGW runtime DLL" >&2
        return 1
    fi
}

for arch in $archs; do
    triple="$arch-w64-mingw32"
    toolchain="$root/cmake/toolchain-$triple.cmake"
    dir="$build_root/$arch"
    if ! command -v "$triple-g++-posix" >/dev/null && ! command -v "$triple-g++" >/dev/null; then
        echo "error: no $triple compiler found" >&2
        exit 1
    fi
    echo "== $triple: configure ($dir)"
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE="$build_type" \
        -DORVEX_WERROR=ON
    echo "== $triple: orvex_host"
    cmake --build "$dir" -j "$jobs" --target orvex_host
    if [ ${#targets[@]} -gt 0 ]; then
        echo "== $triple: ${targets[*]}"
        cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
    else
        echo "== $triple: all"
        cmake --build "$dir" -j "$jobs"
    fi
    for dll in "$dir"/plugin/*.dll; do
        [ -e "$dll" ] || continue
        check_imports "$triple-objdump" "$dll"
    done
done
echo "== cross builds done"
# The plug-in DLLs export exactly the entry point, undecorated.
for arch in $archs; do
    for dll in "$build_root/$arch"/plugin/*.dll; do
        [ -e "$dll" ] || continue
        exports="$("$arch-w64-mingw32-objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')"
        echo "   exports of $arch/$(basename "$dll"): $(echo $exports)"
        if [ "$exports" != "VSTPluginMain" ]; then
            echo "error: $dll must export exactly VSTPluginMain" >&2
            exit 1
        fi
    done
done
