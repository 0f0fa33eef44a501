#!/usr/bin/env bash
# The 64-bit ARM Linux build (Raspberry Pi 4 and 5, ARM servers), cross-compiled with Debian's
# g++-aarch64-linux-gnu (cmake/toolchain-aarch64-linux-gnu.cmake) and run under qemu-aarch64
# (Debian's qemu-user) with the target's C library from /usr/aarch64-linux-gnu:
#
#   1. the build: the VST module, the LV2 bundle (its description written by the generator run
#      through qemu) and orvex-render; each module is checked to be an aarch64 object that
#      needs nothing beyond the C library, libm and the loader (the C++ runtime is linked in),
#      exporting its entry alone, and compiled without contraction into fused multiply-add;
#   2. the tests: CTest runs the build's tests through qemu: the unit tests of the processor, the
#      plug-in and the LV2 module, the host-level tests and the probe (tests with a time budget
#      skip it under emulation, ORVEX_EMULATED);
#   3. the renders: orvex_probe renders its test material (programme at 44.1 and 48 kHz, a steady
#      tone) through the ARM module and orvex-render renders the demo programme; both are compared
#      with the x86-64 Linux build's renders of the same input (largest and rms difference,
#      the loudness reports, the parameter lists), with the limits .ci/platforms.sh uses for
#      the other platforms.
#
#   .ci/arm64.sh            everything above (some 15 min on an idle 2-core machine; the tests
#                           take 14 min of processor time under qemu)
#   .ci/arm64.sh --quick    the CI subset: the module, the LV2 bundle, the renderer and the
#                           module test only; CTest runs the module test and the probe; one
#                           render of the 48 kHz programme is compared and the renderer's
#                           parameter list checked (3.5 min of processor time, about 3 min)
#
# The cross compiler is installed when missing (ORVEX_ARM64_INSTALL=no: fail instead); on Debian 12
# it cannot sit beside g++-multilib, which apt then removes.
# Environment: ORVEX_CROSS_BUILD_ROOT (default <project>/build-cross; the ARM build goes to
# <root>/aarch64), ORVEX_CROSS_JOBS (2), ORVEX_NATIVE_BUILD (a configured native Release build
# to take the x86-64 reference module and renderer from; default: one of its own,
# <root>/linux64, as .ci/platforms.sh makes it), ORVEX_AARCH64_EMULATOR (the command that runs
# an aarch64 program, ;-separated; default "qemu-aarch64;-L;/usr/aarch64-linux-gnu"),
# ORVEX_ARM64_TESTS (a ctest -R filter replacing the default choice of tests).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_root="${ORVEX_CROSS_BUILD_ROOT:-$root/build-cross}"
jobs="${ORVEX_CROSS_JOBS:-2}"
quick=no
for arg in "$@"; do
    case "$arg" in
        --quick) quick=yes ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
    esac
done

start=$(date +%s)
stamp() { echo "=== arm64: $1 ($(( $(date +%s) - start )) s)"; }
fail() {
    echo "error: $*" >&2
    exit 1
}

# Limits of the comparisons with the x86-64 build and the report check, as for the other platforms.
# shellcheck source=.ci/render-compare.sh
. "$(dirname "${BASH_SOURCE[0]}")/render-compare.sh"

dir="$build_root/aarch64"
work="$build_root/compare"
native_build="${ORVEX_NATIVE_BUILD:-$build_root/linux64}"
linux_probe="$build_root/probe-linux64/orvex_probe"
toolchain="$root/cmake/toolchain-aarch64-linux-gnu.cmake"
settings=(--set 5=0.2 --set 0=0.9 --set 10=1 --set 16=1 --set 17=0.8 --set 19=1 --set 9=0.1)
mkdir -p "$work"

if ! command -v aarch64-linux-gnu-g++ >/dev/null && [ "${ORVEX_ARM64_INSTALL:-yes}" = yes ] && command -v apt-get >/dev/null; then
    # Debian 12's aarch64 cross compiler conflicts with gcc-multilib (the 32-bit x86 build of
    # .ci/platforms.sh), so it is not in the bootstrap's package list: it is installed here,
    # after the 32-bit build has run, and apt takes gcc-multilib away for it.
    stamp "installing g++-aarch64-linux-gnu (replaces g++-multilib where present)"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        g++-aarch64-linux-gnu qemu-user >/dev/null
fi
command -v aarch64-linux-gnu-g++ >/dev/null || fail "no aarch64-linux-gnu-g++ (Debian package g++-aarch64-linux-gnu)"
IFS=';' read -r -a runner <<<"${ORVEX_AARCH64_EMULATOR-qemu-aarch64;-L;/usr/aarch64-linux-gnu}"
if [ ${#runner[@]} -gt 0 ]; then
    command -v "${runner[0]}" >/dev/null || fail "no ${runner[0]} to run aarch64 programs (Debian package qemu-user)"
fi
# The toolchain file takes the same command for CTest and the LV2 description generator.
ORVEX_AARCH64_EMULATOR="$(IFS=';'; echo "${runner[*]}")"
export ORVEX_AARCH64_EMULATOR
export ORVEX_EMULATED=1

configure_build() {
    # configure_build SOURCE DIR [cmake args...]: configures (quietly); TARGETS (if set) or all.
    local source="$1" build="$2"
    shift 2
    cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=Release "$@" >"$build.configure.log" 2>&1 ||
        { cat "$build.configure.log"; fail "configuring $build"; }
    cmake --build "$build" -j "$jobs" ${TARGETS:+--target $TARGETS} >"$build.build.log" 2>&1 ||
        { grep -E 'error|Error' "$build.build.log" | head -40; fail "building $build (log: $build.build.log)"; }
}

# ---- 1. the build -------------------------------------------------------------------------
targets=""
if [ $quick = yes ]; then targets="orvex orvex_lv2 orvex-render orvex_probe plugin_module"; fi
stamp "aarch64 cross build (${targets:-all targets}) in $dir"
TARGETS="$targets" configure_build "$root" "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DORVEX_WERROR=ON \
    -DORVEX_CROSS_TESTS=ON
grep -E 'orvex-render:|orvex-live:|LV2' "$dir.configure.log" | sed 's/^-- /   /'

module="$dir/plugin/Orvex.so"
lv2_module="$dir/lib/lv2/Orvex.lv2/orvex.so"
render="$dir/tools/orvex-render"
check_elf() {
    # check_elf FILE EXPORT: an aarch64 object (ELF class 2, machine 183) whose needed libraries
    # are the C library, libm and the loader, and which defines EXPORT alone.
    local file="$1" export="$2" needed bad exports
    [ -f "$file" ] || fail "no $file"
    [ "$(od -An -tx1 -j4 -N1 "$file" | tr -d ' ')" = 02 ] &&
        [ "$(od -An -tu2 -j18 -N2 "$file" | tr -d ' ')" = 183 ] || fail "$file is not a 64-bit ARM object"
    needed="$(aarch64-linux-gnu-readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')"
    bad="$(echo "$needed" | grep -Evx 'libc\.so\.6|libm\.so\.6|ld-linux-aarch64\.so\.1' || true)"
    [ -z "$bad" ] || fail "$file needs $(echo $bad), which a machine without this build's toolchain lacks"
    exports="$(aarch64-linux-gnu-nm -D --defined-only "$file" | awk '{print $NF}')"
    [ "$exports" = "$export" ] || fail "$file must export $export alone, exports: $(echo $exports)"
    echo "   ${file#"$dir"/}: aarch64; needs $(echo $needed); exports $export"
}
check_elf "$module" VSTPluginMain
check_elf "$lv2_module" lv2_descriptor
for ttl in manifest.ttl orvex.ttl; do
    [ -s "$dir/lib/lv2/Orvex.lv2/$ttl" ] || fail "the LV2 bundle has no $ttl"
done
for target in orvex_dsp orvex_plugin orvex_host orvex orvex_lv2_adapter orvex_lv2; do
    flags="$(find "$dir" -path "*/CMakeFiles/$target.dir/flags.make" | head -1)"
    [ -n "$flags" ] || fail "no compile flags recorded for $target"
    for option in -march=armv8-a -ffp-contract=off; do
        grep -q -- "CXX_FLAGS.*$option" "$flags" || fail "$target is not compiled with $option ($flags)"
    done
done
echo "   compiled for ARMv8-A (NEON) with -ffp-contract=off"

# ---- 2. the tests under qemu --------------------------------------------------------------
filter="${ORVEX_ARM64_TESTS:-}"
if [ -z "$filter" ] && [ $quick = yes ]; then filter='^(Module|platform_probe_check|plugin_module_exports|lv2_module_exports)'; fi
stamp "tests under ${runner[*]:-the native loader}${filter:+ (-R $filter)}"
ctest_log="$build_root/aarch64.ctest.log"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 1500 ${filter:+-R "$filter"} >"$ctest_log" 2>&1 ||
    { tail -80 "$ctest_log"; fail "tests of the aarch64 build (log: $ctest_log)"; }
grep -E 'tests passed|tests failed|Total Test time' "$ctest_log" | sed 's/^/   /'

# ---- 3. renders against the x86-64 build --------------------------------------------------
stamp "x86-64 reference: module, renderer and probe"
if [ -z "${ORVEX_NATIVE_BUILD:-}" ] && [ ! -f "$native_build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$native_build" -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_TESTS=OFF \
        -DORVEX_BUILD_BENCH=OFF -DORVEX_WERROR=ON >/dev/null
fi
grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$native_build/CMakeCache.txt" &&
    ! grep -q '^ORVEX_SANITIZE:STRING=.' "$native_build/CMakeCache.txt" ||
    fail "$native_build is not a plain Release build"
cmake --build "$native_build" -j "$jobs" --target orvex orvex-render >"$build_root/linux64-render.build.log" 2>&1 ||
    { tail -40 "$build_root/linux64-render.build.log"; fail "building the x86-64 module and renderer"; }
TARGETS="" configure_build "$root/tests/platform" "$build_root/probe-linux64" -DORVEX_WERROR=ON
linux_module="$native_build/plugin/Orvex.so"
linux_render="$native_build/tools/orvex-render"

# compare NAME A B TOLERANCE [probe compare options]: one line of figures; fails above a limit.
compare() {
    local name="$1" a="$2" b="$3" tolerance="$4"
    shift 4
    echo -n "   aarch64 vs x86-64, $name: "
    "$linux_probe" compare "$a" "$b" "$tolerance" "$@" || fail "the aarch64 $name differs from the x86-64 one"
}

# The probe's renders (raw float): the x86-64 module natively, the ARM module under qemu.
probe_renders=(programme48)
if [ $quick = no ]; then probe_renders=(programme44 programme48 tone44); fi
"$linux_probe" signal "$work/programme44.f32" 6 44100 programme
"$linux_probe" signal "$work/programme48.f32" 6 48000 programme
"$linux_probe" signal "$work/tone44.f32" 3 44100 tone
stamp "probe renders through the aarch64 module: ${probe_renders[*]}"
probe="$dir/tests/platform/orvex_probe"
for r in "${probe_renders[@]}"; do
    rate=(); [ "$r" = programme48 ] && rate=(--rate 48000 "${settings[@]}")
    "$linux_probe" render "$linux_module" "$work/$r.f32" "$work/linux64-$r.out.f32" "${rate[@]}"
    "${runner[@]}" "$probe" render "$module" "$work/$r.f32" "$work/aarch64-$r.out.f32" "${rate[@]}" ||
        fail "the aarch64 probe's $r render"
    compare "$r" "$work/linux64-$r.out.f32" "$work/aarch64-$r.out.f32" "$programme_tolerance" --rms "$rms_tolerance"
done
if [ $quick = no ]; then
    compare "tone44 settled" "$work/linux64-tone44.out.f32" "$work/aarch64-tone44.out.f32" "$settled_tolerance" \
        --from $((2 * 44100))
    "$linux_probe" params "$linux_module" "$work/linux64.params" >/dev/null
    "${runner[@]}" "$probe" params "$module" "$work/aarch64.params" >/dev/null
    diff -u "$work/linux64.params" "$work/aarch64.params" || fail "parameter names or displays differ from x86-64"
    echo "   parameter names, labels, values and displays identical to x86-64"
fi

out="$work/render-aarch64"
rm -rf "$out"
mkdir -p "$out"
# The parameter list through the renderer, with the plug-in found where the build put it.
"$linux_render" --list-params >"$out/linux64.list"
"${runner[@]}" "$render" --list-params >"$out/aarch64.list" || fail "orvex-render --list-params under ${runner[*]}"
diff -u "$out/linux64.list" "$out/aarch64.list" || fail "the renderers' parameter lists differ"
echo "   orvex-render --list-params identical to x86-64"

if [ $quick = no ]; then
    stamp "demo programme through orvex-render (30 s at 48 kHz) on both builds"
    "$linux_render" --quiet --demo "$out" >/dev/null || fail "the x86-64 renderer's demo"
    input="$out/demo-in.wav"
    set=(--set "Lowpass Filter=12000" --set "Disable KVLN EQ=on" --set 9=3)
    "$linux_render" --quiet --json --format float "${set[@]}" "$input" "$out/linux64.wav" >"$out/linux64.json" ||
        fail "the x86-64 render"
    "${runner[@]}" "$render" --quiet --json --format float "${set[@]}" "$input" "$out/aarch64.wav" >"$out/aarch64.json" ||
        fail "orvex-render under ${runner[*]}"
    compare "demo render" "$out/linux64.wav" "$out/aarch64.wav" "$render_tolerance" --rms "$rms_tolerance"

    # The loudness reports: the x86-64 renderer measures with libebur128 where it has it, the
    # ARM one with its own meter.
    compare_reports "$out/linux64.json" "x86-64" "$out/aarch64.json" "aarch64" ||
        fail "the loudness reports of the two renderers differ"
fi
stamp "done"
