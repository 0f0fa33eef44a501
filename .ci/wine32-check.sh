#!/usr/bin/env bash
# Loads the 32-bit Windows DLL (build-cross/i686/plugin/Orvex.dll) in 32-bit Windows programs
# under wine: .ci/platforms.sh win32 checks it with the probe, prints nothing but failures and
# the probe's summary, and compares its parameter texts and renders with the Linux x86-64
# module's; then runs the i686 host-level test programs, and the i686 build of the renderer
# (orvex-render.exe) over the 30-second demo programme, comparing its output, loudness report
# and parameter list with the Linux renderer's. The parameter list is printed at the end.
# Under qemu every wine start takes minutes and the whole run about an hour.
#
# NOT part of the CI run: it changes the machine. As root it adds the i386 architecture to dpkg,
# installs wine32:i386 (about 170 packages; some amd64 libraries are brought to the same
# version) and, in qemu mode, registers qemu-i386 with binfmt_misc for the duration of the run.
#
#   .ci/wine32-check.sh [auto|native|qemu]      (default auto: native, then qemu if that fails)
#
#   native  the kernel runs wine's 32-bit loader itself (needs IA-32 emulation and modify_ldt);
#   qemu    every 32-bit x86 Linux program, the wine loader and wineserver among them, runs in
#           qemu-i386 through a binfmt_misc entry (flag F: the interpreter is opened at
#           registration), with QEMU_RESERVED_VA=0xf7000000 so that the guest address space fits.
#
# Environment: ORVEX_CROSS_BUILD_ROOT (default <project>/build-cross), ORVEX_CROSS_JOBS (2).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_root="${ORVEX_CROSS_BUILD_ROOT:-$root/build-cross}"
mode="${1:-auto}"
binfmt=/proc/sys/fs/binfmt_misc
binfmt_name=orvex-qemu-i386
wine=/usr/lib/wine/wine

start=$(date +%s)
stamp() { echo "=== wine32: $1 ($(( $(date +%s) - start )) s)"; }
fail() {
    echo "error: $*" >&2
    exit 1
}
case "$mode" in auto | native | qemu) ;; *) fail "usage: $0 [auto|native|qemu]" ;; esac
[ "$(id -u)" -eq 0 ] || fail "run as root (installs packages, may register a binfmt handler)"

stamp "packages"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    apt-get update -qq
fi
need=()
for p in wine32:i386 wine wine64 qemu-user g++-mingw-w64-i686 g++-mingw-w64-x86-64; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    echo "installing ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
[ -x "$wine" ] || fail "no 32-bit wine loader at $wine"

unregister() {
    if [ -e "$binfmt/$binfmt_name" ]; then echo -1 >"$binfmt/$binfmt_name"; fi
}
register_qemu() {
    command -v qemu-i386 >/dev/null || fail "no qemu-i386 (qemu-user)"
    if [ ! -e "$binfmt/register" ]; then
        mount -t binfmt_misc binfmt_misc "$binfmt" || fail "cannot mount binfmt_misc on $binfmt"
    fi
    unregister
    # 32-bit little-endian ELF executables and shared objects for machine 3 (i386).
    printf '%s' ":$binfmt_name:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$(command -v qemu-i386):F" \
        >"$binfmt/register" || fail "cannot register qemu-i386 with binfmt_misc"
    trap unregister EXIT
    export QEMU_RESERVED_VA=0xf7000000 ORVEX_WINE_SLOW=1 ORVEX_EMULATED=1
    echo "   qemu-i386 registered for i386 ELF programs (QEMU_RESERVED_VA=$QEMU_RESERVED_VA)"
}

run_checks() {
    ORVEX_CROSS_BUILD_ROOT="$build_root" WINE32="$wine" bash "$root/.ci/platforms.sh" win32
}

ran=""
if [ "$mode" != qemu ]; then
    stamp "32-bit wine run natively"
    if run_checks; then
        ran=native
    elif [ "$mode" = native ]; then
        fail "the checks failed under the native 32-bit wine"
    else
        echo "   not natively; trying qemu-i386"
    fi
fi
if [ -z "$ran" ]; then
    register_qemu
    # A prefix made by a failed native start may be broken.
    [ "$mode" = qemu ] || rm -rf "$build_root/win32-prefix" "$build_root/i686/wine-prefix" "$build_root/i686/wine-prefix.ready"
    stamp "32-bit wine through qemu-i386"
    run_checks || fail "the checks failed under 32-bit wine through qemu-i386"
    ran=qemu
fi
echo "--- parameters of the i686 DLL (index, name, label, default bits, display, displays at 0 .137 .5 .731 1)"
cat "$build_root/compare/win32.params"
stamp "done ($ran)"
