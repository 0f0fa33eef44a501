#!/usr/bin/env bash
# Runs the plug-in on the platforms beyond the native x86-64 Linux build:
#
#   win64  the 64-bit Windows DLL under wine: a Windows build of orvex_probe (tests/platform)
#          loads Orvex.dll with LoadLibrary, checks the record, the identity texts, the
#          parameters and the audio, and renders test material that is compared with the
#          renders of the Linux x86-64 module;
#   win32  the 32-bit Windows DLL the same way, under wine's 32-bit loader, where it is
#          installed (see .ci/wine32-check.sh), then its host-level tests and the i686 build of
#          the renderer as for win64-tests and win64-render; skipped with a notice otherwise;
#   m32    a 32-bit x86 Linux build (-m32 -msse2 -mfpmath=sse): the whole test suite runs
#          against it, then orvex_probe checks the 32-bit module and compares its renders;
#   win64-tests   the host-level tests of the x86-64 cross build (the module test, the effect
#          base test and the probe as GoogleTest programs for Windows) run by CTest under wine;
#          with a 32-bit wine loader the win32 stage does the same for the i686 build;
#   win64-render  tools/orvex-render.exe with the x86-64 DLL under wine renders the demo
#          programme as the Linux renderer does; the outputs, the loudness reports (the
#          program's own meter against libebur128) and the parameter lists are compared.
#
#   .ci/platforms.sh [win64] [win64-tests] [win64-render] [win32] [m32]   (default: all)
#   .ci/platforms.sh reference            only the Linux x86-64 module, its probe and renders
#
# The Windows DLLs come from .ci/cross-build.sh (run here for the architecture at hand; its
# export and import checks run again). Every step fails loudly; the script exits non-zero on the first
# failure and prints the time each stage took.
#
# Renders differ across platforms by the rounding of the maths libraries (expf, tanf, powf and
# the like differ by an ulp for a few inputs per hundred between glibc, i386 glibc and
# MinGW-w64). On a steady tone the outputs then agree to about 1e-5 once the dynamics have
# settled; in programme material and while the gates and levellers settle, an ulp shifts a
# decision by a sample and the difference rises to a few 1e-2 for a moment (moving one
# parameter by one ulp on the same machine does the same). The limits below allow that and
# nothing gross: a wrong filter, a lost channel or a different gain shows in the rms and in the
# settled tone.
#
# Environment: ORVEX_CROSS_BUILD_ROOT (default <project>/build-cross), ORVEX_CROSS_JOBS (2),
# ORVEX_NATIVE_BUILD (a configured native Release build to take the reference module from;
# default: one of its own, <root>/linux64),
# WINE (the 64-bit wine loader; default /usr/lib/wine/wine64, else wine64 on PATH), WINE32
# (the 32-bit one; default /usr/lib/wine/wine),
# ORVEX_M32_EMULATOR (e.g. "qemu-i386;-L;/": run the 32-bit programs through it; chosen by
# itself when the kernel cannot run 32-bit programs), ORVEX_M32_TESTS (a ctest -R filter for
# the 32-bit suite; default all, or the host-level tests under an emulator), ORVEX_WINE_SLOW
# (set: wine runs under an emulator, so each Windows test program runs once with all its cases
# rather than once per case under CTest).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_root="${ORVEX_CROSS_BUILD_ROOT:-$root/build-cross}"
jobs="${ORVEX_CROSS_JOBS:-2}"
stages=("$@")
explicit=yes
if [ ${#stages[@]} -eq 0 ]; then
    stages=(win64 win64-tests win64-render win32 m32)
    explicit=no
fi

start=$(date +%s)
stamp() { echo "=== platforms: $1 ($(( $(date +%s) - start )) s)"; }
fail() {
    echo "error: $*" >&2
    exit 1
}

# Limits of the render comparisons and the report check.
# shellcheck source=.ci/render-compare.sh
. "$(dirname "${BASH_SOURCE[0]}")/render-compare.sh"

work="$build_root/compare"
mkdir -p "$work"
# A native Release build that already made the module (e.g. the CI's main build) can serve as
# the reference: ORVEX_NATIVE_BUILD=<its build dir>.
native_build="${ORVEX_NATIVE_BUILD:-$build_root/linux64}"
linux_module="$native_build/plugin/Orvex.so"
linux_probe="$build_root/probe-linux64/orvex_probe"
settings=(--set 5=0.2 --set 0=0.9 --set 10=1 --set 16=1 --set 17=0.8 --set 19=1 --set 9=0.1)

configure_build() {
    # configure_build SOURCE DIR [cmake args...]: configures (quietly) and builds everything.
    local source="$1" dir="$2"
    shift 2
    cmake -S "$source" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; fail "configuring $dir"; }
    cmake --build "$dir" -j "$jobs" >"$dir.build.log" 2>&1 ||
        { grep -E 'error|Error' "$dir.build.log" | head -40; fail "building $dir (log: $dir.build.log)"; }
}

# ---- the Linux x86-64 reference -----------------------------------------------------------
reference() {
    stamp "Linux x86-64 reference module and probe"
    mkdir -p "$build_root"
    if [ -z "${ORVEX_NATIVE_BUILD:-}" ]; then
        cmake -S "$root" -B "$native_build" -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_TESTS=OFF \
            -DORVEX_BUILD_BENCH=OFF -DORVEX_WERROR=ON >/dev/null
    fi
    cmake --build "$native_build" -j "$jobs" --target orvex >"$build_root/linux64.build.log" 2>&1 ||
        { tail -40 "$build_root/linux64.build.log"; fail "building the Linux module"; }
    grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$native_build/CMakeCache.txt" &&
        ! grep -q '^ORVEX_SANITIZE:STRING=.' "$native_build/CMakeCache.txt" ||
        fail "$native_build is not a plain Release build"
    configure_build "$root/tests/platform" "$build_root/probe-linux64" -DORVEX_WERROR=ON
    "$linux_probe" check "$linux_module"
    "$linux_probe" signal "$work/programme44.f32" 6 44100 programme
    "$linux_probe" signal "$work/programme48.f32" 6 48000 programme
    "$linux_probe" signal "$work/tone44.f32" 3 44100 tone
    "$linux_probe" params "$linux_module" "$work/linux64.params" >/dev/null
    render_all "linux64" "$linux_probe" "$linux_module"
}

# render_all NAME PROBE MODULE [runner...]: the three renders of one platform.
render_all() {
    local name="$1" probe="$2" module="$3"
    shift 3
    "$@" "$probe" render "$module" "$work/programme44.f32" "$work/$name-programme44.out.f32"
    "$@" "$probe" render "$module" "$work/programme48.f32" "$work/$name-programme48.out.f32" --rate 48000 "${settings[@]}"
    "$@" "$probe" render "$module" "$work/tone44.f32" "$work/$name-tone44.out.f32"
}

# compare_all NAME: parameter texts identical, renders within the limits.
compare_all() {
    local name="$1" r
    if ! diff -u "$work/linux64.params" "$work/$name.params"; then
        fail "$name: parameter names or displays differ from Linux x86-64"
    fi
    echo "   $name: parameter names, labels, values and displays identical to Linux x86-64"
    for r in programme44 programme48 tone44; do
        echo -n "   $name vs linux64, $r: "
        "$linux_probe" compare "$work/linux64-$r.out.f32" "$work/$name-$r.out.f32" "$programme_tolerance" \
            --rms "$rms_tolerance" || fail "$name: $r render differs from Linux x86-64"
    done
    echo -n "   $name vs linux64, tone44 settled: "
    "$linux_probe" compare "$work/linux64-tone44.out.f32" "$work/$name-tone44.out.f32" "$settled_tolerance" \
        --from $((2 * 44100)) || fail "$name: settled tone differs from Linux x86-64"
}

# ---- Windows under wine ------------------------------------------------------------------
# windows NAME ARCH LOADER PREFIX: cross-builds the DLL and the probe for ARCH, runs the probe
# under the wine LOADER in a wine prefix of its own, compares with the Linux reference.
windows() {
    local name="$1" arch="$2" wine="$3" winearch="$4"
    local wineserver
    wineserver="$(dirname "$wine")/wineserver"
    [ -x "$wineserver" ] || wineserver="$(command -v wineserver || true)"

    stamp "$name: the $arch DLL"
    ORVEX_CROSS_BUILD_ROOT="$build_root" ORVEX_CROSS_ARCHS="$arch" ORVEX_CROSS_JOBS="$jobs" \
        bash "$root/.ci/cross-build.sh" orvex | grep -E '^(==|   )' || fail "cross build of the $arch DLL"
    local dll="$build_root/$arch/plugin/Orvex.dll"
    [ -f "$dll" ] || fail "no $dll"
    configure_build "$root/tests/platform" "$build_root/probe-$name" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-w64-mingw32.cmake" -DORVEX_WERROR=ON
    local probe="$build_root/probe-$name/orvex_probe.exe"

    export WINEPREFIX="$build_root/$name-prefix" WINEARCH="$winearch" WINEDEBUG=-all
    # No Mono or Gecko installers: the prefix needs neither.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        stamp "$name: creating the wine prefix $WINEPREFIX"
        "$wine" wineboot -i >"$build_root/$name-wineboot.log" 2>&1 ||
            { cat "$build_root/$name-wineboot.log"; fail "wineboot"; }
    fi
    stamp "$name: orvex_probe.exe under $wine"
    "$wine" "$probe" check "$dll" | tr -d '\r' | tee "$work/$name.check"
    grep -q ' 0 failed$' "$work/$name.check" || fail "the $arch DLL failed its checks under wine"
    "$wine" "$probe" params "$dll" "$work/$name.params" >/dev/null || fail "parameter list under wine"
    render_all "$name" "$probe" "$dll" "$wine"
    compare_all "$name"
    [ -z "$wineserver" ] || "$wineserver" -k 2>/dev/null || true
}

wine64_loader() {
    local wine="${WINE:-}"
    if [ -z "$wine" ]; then
        for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
            if [ -n "$candidate" ] && [ -x "$candidate" ]; then
                wine="$candidate"
                break
            fi
        done
    fi
    [ -n "$wine" ] || fail "no 64-bit wine loader found (Debian packages wine and wine64)"
    echo "$wine"
}

win64() {
    local wine
    wine="$(wine64_loader)" || exit 1
    windows win64 x86_64 "$wine" win64
}

# Wine starts its services with the first program in a prefix and stops them a moment after the
# last one ends; starting them again costs some 2 s a program. A program kept waiting meanwhile
# (cmd's pause, reading a pipe this script holds open) keeps them up through a test run.
keep_wine_up() {
    local runner="$1"
    keeper_fifo="$build_root/wine-keeper.fifo"
    "$runner" cmd /c exit >/dev/null || fail "wine does not start ($runner)"
    rm -f "$keeper_fifo"
    mkfifo "$keeper_fifo"
    "$runner" cmd /c pause <"$keeper_fifo" >/dev/null 2>&1 &
    keeper_pid=$!
    exec {keeper_fd}>"$keeper_fifo"
}
let_wine_go() {
    exec {keeper_fd}>&-
    wait "$keeper_pid" 2>/dev/null || true
    rm -f "$keeper_fifo"
}

# windows_tests NAME ARCH LOADER: the cross build of ARCH with its host-level tests, run by CTest
# through the build's wine emulator (cmake/WineEmulator.cmake; its own prefix in the build tree).
windows_tests() {
    local name="$1" arch="$2" wine="$3"
    local dir="$build_root/$arch" log="$build_root/$name-tests.ctest.log"
    stamp "$name-tests: the $arch build with the host-level tests"
    ORVEX_CROSS_BUILD_ROOT="$build_root" ORVEX_CROSS_ARCHS="$arch" ORVEX_CROSS_FULL_ARCHS="$arch" \
        ORVEX_CROSS_JOBS="$jobs" ORVEX_CROSS_CMAKE_ARGS="-DORVEX_WINE=$wine" \
        bash "$root/.ci/cross-build.sh" | grep -E '^(==|   )' || fail "cross build of $arch with its tests"
    [ -x "$dir/wine-run.sh" ] || fail "$dir has no wine emulator (wine-run.sh)"
    keep_wine_up "$dir/wine-run.sh"
    local status=0
    if [ -n "${ORVEX_WINE_SLOW:-}" ]; then
        # Every wine start takes minutes under an emulator: each test program runs once with all
        # its cases, instead of once per case under CTest. The probe is left out: the win32
        # stage has just run its checks.
        stamp "$name-tests: each test program once under $wine"
        local program passed=0 failed=0
        : >"$log"
        while IFS= read -r program; do
            if "$dir/wine-run.sh" "$program" --gtest_brief=1 >>"$log" 2>&1; then
                passed=$((passed + 1))
                echo "   passed: ${program#"$dir"/}"
            else
                failed=$((failed + 1))
                echo "   FAILED: ${program#"$dir"/}"
            fi
        done < <(find "$dir/tests" -name '*.exe' ! -name orvex_probe.exe | sort)
        echo "   $passed test programs passed, $failed failed"
        [ $((passed + failed)) -gt 0 ] || status=1
        [ $failed -eq 0 ] || status=1
    else
        stamp "$name-tests: ctest in $dir under $wine"
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600 >"$log" 2>&1 || status=$?
    fi
    let_wine_go
    [ $status -eq 0 ] || { tail -80 "$log"; fail "host-level tests of the $arch build under wine (log: $log)"; }
    [ -n "${ORVEX_WINE_SLOW:-}" ] || grep -E 'tests passed|tests failed' "$log"
}

win64_tests() {
    local wine
    wine="$(wine64_loader)" || exit 1
    windows_tests win64 x86_64 "$wine"
}

# The renderer for Windows against the Linux one: the same input file, the same settings.
# windows_render NAME ARCH LOADER
windows_render() {
    local name="$1" arch="$2" wine="$3"
    local dir="$build_root/$arch" out="$work/render-$name"
    stamp "$name-render: orvex-render.exe and the Linux renderer"
    ORVEX_CROSS_BUILD_ROOT="$build_root" ORVEX_CROSS_ARCHS="$arch" ORVEX_CROSS_FULL_ARCHS="$arch" \
        ORVEX_CROSS_JOBS="$jobs" ORVEX_CROSS_CMAKE_ARGS="-DORVEX_WINE=$wine" \
        bash "$root/.ci/cross-build.sh" orvex orvex-render | grep -E '^(==|   )' || fail "cross build of the renderer"
    cmake --build "$native_build" -j "$jobs" --target orvex-render >"$build_root/linux64-render.build.log" 2>&1 ||
        { tail -40 "$build_root/linux64-render.build.log"; fail "building the Linux renderer"; }
    local linux_render="$native_build/tools/orvex-render" windows_render="$dir/tools/orvex-render.exe"
    local dll="$dir/plugin/Orvex.dll" runner="$dir/wine-run.sh"
    [ -x "$runner" ] || fail "$dir has no wine emulator (wine-run.sh)"
    keep_wine_up "$runner"
    rm -rf "$out"
    mkdir -p "$out"
    # The input is the demo programme (30 s, 48 kHz, 24-bit) as the Linux renderer writes it.
    "$linux_render" --quiet --demo "$out" >/dev/null || fail "the Linux renderer's demo"
    local input="$out/demo-in.wav" set=(--set "Lowpass Filter=12000" --set "Disable KVLN EQ=on" --set 9=3)
    "$linux_render" --quiet --json --format float "${set[@]}" "$input" "$out/linux64.wav" >"$out/linux64.json" ||
        fail "the Linux render"
    "$runner" "$windows_render" --quiet --json --format float --plugin "$dll" "${set[@]}" "$input" "$out/$name.wav" \
        >"$out/$name.json" || fail "orvex-render.exe under wine"
    echo -n "   $name vs linux64, demo render: "
    "$linux_probe" compare "$out/linux64.wav" "$out/$name.wav" "$render_tolerance" --rms "$rms_tolerance" ||
        fail "the Windows render differs from the Linux one"

    compare_reports "$out/linux64.json" "linux64 (libebur128)" "$out/$name.json" "$name (own meter)" ||
        fail "the loudness reports of the two renderers differ"

    # The parameter list, with the plug-in found where the build put it.
    "$linux_render" --list-params >"$out/linux64.list"
    "$runner" "$windows_render" --list-params >"$out/$name.list" || fail "orvex-render.exe --list-params"
    diff -u "$out/linux64.list" "$out/$name.list" || fail "the parameter lists differ"
    echo "   parameter lists identical"
    # What the Windows build leaves out says so in one line.
    local message status
    status=0
    message="$("$runner" "$windows_render" --quiet --plugin "$dll" "$input" "$out/out.flac" 2>&1 | tr -d '\r')" || status=$?
    [ $status -eq 1 ] && [ "$(echo "$message" | wc -l)" -eq 1 ] && [ ! -e "$out/out.flac" ] &&
        echo "$message" | grep -q 'writes .wav files only' || fail "FLAC output: status $status, \"$message\""
    echo "   FLAC output refused: $message"
    let_wine_go
}

win64_render() {
    local wine
    wine="$(wine64_loader)" || exit 1
    windows_render win64 x86_64 "$wine"
}

# The 32-bit DLL needs wine's 32-bit loader (wine32:i386, which needs the i386 architecture in
# dpkg: .ci/wine32-check.sh sets that up) and a kernel that runs it, natively or through
# qemu-i386. Skipped, visibly, where either is missing, unless asked for by name.
win32() {
    local wine="${WINE32:-/usr/lib/wine/wine}" requested="$1"
    if [ ! -x "$wine" ] || ! file_is_elf32 "$wine"; then
        [ "$requested" = yes ] && fail "no 32-bit wine loader at $wine (run .ci/wine32-check.sh as root)"
        stamp "win32: SKIPPED (the i686 DLL checks, its host-level tests and renderer), no 32-bit wine loader at $wine (.ci/wine32-check.sh installs one)"
        return 0
    fi
    # Installed is not runnable: a kernel without IA-32 emulation refuses the loader itself
    # ("Exec format error") unless qemu-i386 is registered for 32-bit programs.
    local version
    if ! version="$("$wine" --version 2>&1)"; then
        [ "$requested" = yes ] && fail "the 32-bit wine loader $wine does not run here: $version (.ci/wine32-check.sh qemu runs it through qemu-i386)"
        stamp "win32: SKIPPED (the i686 DLL checks, its host-level tests and renderer), the 32-bit wine loader $wine does not run on this kernel: $version (.ci/wine32-check.sh qemu runs it through qemu-i386)"
        return 0
    fi
    echo "   32-bit wine loader: $wine, $version"
    windows win32 i686 "$wine" win32
    windows_tests win32 i686 "$wine"
    windows_render win32 i686 "$wine"
}

file_is_elf32() {
    [ "$(od -An -tx1 -j4 -N1 "$1" | tr -d ' ')" = 01 ]
}

# ---- 32-bit x86 Linux ---------------------------------------------------------------------
m32() {
    local toolchain="$root/cmake/toolchain-linux-i686.cmake"
    local deps="$build_root/m32-deps" runner=()
    stamp "32-bit x86 Linux build"
    # Can this kernel run 32-bit programs itself?
    local hello="$build_root/m32-hello"
    echo 'int main(void) { return 0; }' >"$hello.c"
    gcc -m32 "$hello.c" -o "$hello" || fail "gcc -m32 cannot link (g++-multilib)"
    if [ -z "${ORVEX_M32_EMULATOR:-}" ] && ! "$hello" 2>/dev/null; then
        command -v qemu-i386 >/dev/null || fail "32-bit programs do not run here and qemu-i386 is missing (qemu-user)"
        export ORVEX_M32_EMULATOR="qemu-i386;-L;/"
    fi
    if [ -n "${ORVEX_M32_EMULATOR:-}" ]; then
        IFS=';' read -r -a runner <<<"$ORVEX_M32_EMULATOR"
        echo "   running 32-bit programs through: ${runner[*]}"
        "${runner[@]}" "$hello" || fail "${runner[*]} cannot run a 32-bit program"
    fi

    # GoogleTest for i386, from the sources Debian ships (package googletest).
    if [ ! -f "$deps/lib/cmake/GTest/GTestConfig.cmake" ]; then
        stamp "GoogleTest for i386 from /usr/src/googletest"
        [ -f /usr/src/googletest/CMakeLists.txt ] || fail "no /usr/src/googletest (Debian package googletest)"
        configure_build /usr/src/googletest "$build_root/m32-gtest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$deps"
        cmake --install "$build_root/m32-gtest" >/dev/null
    fi

    stamp "32-bit project build"
    configure_build "$root" "$build_root/m32" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DORVEX_BUILD_BENCH=OFF -DORVEX_BUILD_TOOLS=OFF -DGTest_DIR="$deps/lib/cmake/GTest"
    # ELF class 1 (32-bit), machine 3 (i386).
    file_is_elf32 "$build_root/m32/plugin/Orvex.so" &&
        [ "$(od -An -tx1 -j18 -N1 "$build_root/m32/plugin/Orvex.so" | tr -d ' ')" = 03 ] ||
        fail "the m32 module is not a 32-bit x86 object"

    local filter="${ORVEX_M32_TESTS:-}"
    if [ -z "$filter" ] && [ ${#runner[@]} -gt 0 ]; then filter='^(Module|Dispatcher|plugin_)'; fi
    stamp "32-bit test suite${filter:+ (-R $filter)}"
    # Tests with a time budget skip it under emulation.
    if [ ${#runner[@]} -gt 0 ]; then export ORVEX_EMULATED=1; fi
    ctest --test-dir "$build_root/m32" -j "$jobs" --output-on-failure --timeout 900 ${filter:+-R "$filter"} \
        >"$build_root/m32.ctest.log" 2>&1 || { tail -60 "$build_root/m32.ctest.log"; fail "32-bit tests"; }
    grep -E 'tests passed|tests failed' "$build_root/m32.ctest.log"

    stamp "orvex_probe on the 32-bit module"
    configure_build "$root/tests/platform" "$build_root/probe-m32" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DORVEX_WERROR=ON
    local probe="$build_root/probe-m32/orvex_probe" module="$build_root/m32/plugin/Orvex.so"
    "${runner[@]}" "$probe" check "$module"
    "${runner[@]}" "$probe" params "$module" "$work/m32.params" >/dev/null
    render_all m32 "$probe" "$module" "${runner[@]}"
    compare_all m32
}

reference
for stage in "${stages[@]}"; do
    case "$stage" in
        win64) win64 ;;
        win64-tests) win64_tests ;;
        win64-render) win64_render ;;
        win32) win32 "$explicit" ;;
        m32) m32 ;;
        reference) ;; # built and rendered above; for .ci/wine32-check.sh
        *) fail "unknown stage $stage (win64, win64-tests, win64-render, win32, m32, reference)" ;;
    esac
done
stamp "done"
