#!/bin/sh
# Builds the fuzzing harness with clang and runs it for a while on a working copy of the seed
# corpus. Exit status: 0 when the run ended without a finding, 1 on a finding (the crashing
# input is left in the build directory as crash-*), 77 when clang or libFuzzer is missing.
#
#   tools/fuzz/run.sh [--build DIR] [--seconds N] [--jobs N] [--harness effect|control]
#                     [-- libFuzzer options]
# effect (the default) drives everything; control leaves out processing and runs far more
# inputs per second.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build="$here/../../build-fuzz"
seconds=60
jobs=1
harness=effect
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --harness) harness=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

if ! command -v clang++ >/dev/null 2>&1; then
  echo "run.sh: clang++ not found; skipping the fuzzing run" >&2
  exit 77
fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
     clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  echo "run.sh: clang++ cannot link libFuzzer (install libclang-rt-14-dev); skipping" >&2
  exit 77
fi

mkdir -p "$build"
build=$(cd "$build" && pwd)  # the run below happens inside it
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 >/dev/null

corpus="$build/corpus-$harness"
mkdir -p "$corpus"
cp -n "$here"/seeds/* "$corpus"/ 2>/dev/null || true
cd "$build"
# -timeout: a single input taking this long counts as a hang; -rss_limit_mb guards leaks;
# -close_fd_mask=2 silences the plug-in's diagnostic lines (libFuzzer keeps its own output).
set -- -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 -close_fd_mask=2 "$@"
[ "$jobs" -gt 1 ] && set -- -jobs="$jobs" -workers="$jobs" "$@"
status=0
./orvex_fuzz_$harness "$@" "$corpus" || status=$?
[ "$status" -eq 0 ] || exit 1
