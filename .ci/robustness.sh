#!/usr/bin/env bash
# Robustness checks of the plug-in as hosts and hostile input see it:
#   1. the validator (orvex-render --validate --quick) on Orvex, which must pass, and on one
#      third-party plug-in for the record (its result does not count);
#   2. valgrind memcheck of create, set-up, processing and close: no error, no leak;
#   3. the concurrent parameter test under ThreadSanitizer;
#   4. both libFuzzer harnesses for a bounded time (skipped without clang).
# Environment: JOBS (default 2), FUZZ_SECONDS (default 30 per harness).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-30}
start=$(date +%s)
stamp() { echo "=== robustness: $1 ($(( $(date +%s) - start )) s)"; }

stamp "build"
cmake -S . -B build-robust -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_BENCH=OFF >/dev/null
cmake --build build-robust -j"$jobs" --target orvex orvex-render tools_validate
render=build-robust/tools/orvex-render
plugin=build-robust/plugin/Orvex.so

stamp "validator tests"
build-robust/tests/tools/validate/tools_validate --gtest_brief=1

stamp "validator on Orvex"
"$render" --validate --quick --max-peak 0.8912509 --plugin "$plugin"

third_party=/usr/lib/vst/ZamComp-vst.so
if [ -f "$third_party" ]; then
  stamp "validator on $third_party (for the record)"
  "$render" --validate --quick --plugin "$third_party" | tail -n 1 || true
fi

if command -v valgrind >/dev/null; then
  stamp "valgrind memcheck"
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --keep-debuginfo=yes \
    --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
    --suppressions=tools/common/valgrind.supp \
    "$render" --validate --quick --no-fork --groups identity,edges --plugin "$plugin" >/dev/null
fi

stamp "thread sanitizer: setParameter and parameter texts from other threads while processing"
cmake -S . -B build-robust-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEX_SANITIZE=thread \
  -DORVEX_BUILD_BENCH=OFF -DORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build-robust-tsan -j"$jobs" --target orvex orvex-render
TSAN_OPTIONS=halt_on_error=1:exitcode=66 build-robust-tsan/tools/orvex-render --validate --quick --no-fork \
  --groups threads --plugin build-robust-tsan/plugin/Orvex.so

for harness in control effect; do
  stamp "fuzzing ($harness, ${fuzz_seconds} s)"
  log=$(mktemp)
  status=0
  tools/fuzz/run.sh --harness "$harness" --build build-fuzz --seconds "$fuzz_seconds" >"$log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|Done|SUMMARY)' "$log" || true
  if [ "$status" -eq 77 ]; then echo "clang or libFuzzer missing: fuzzing skipped"; rm -f "$log"; break; fi
  if [ "$status" -ne 0 ]; then tail -n 60 "$log"; rm -f "$log"; echo "fuzzing found a fault; see build-fuzz/crash-*"; exit 1; fi
  rm -f "$log"
done
stamp "done"
