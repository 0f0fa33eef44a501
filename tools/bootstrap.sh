#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine:
#   tools/bootstrap.sh demo   install what is missing, build, render the built-in demo programme
#   tools/bootstrap.sh test   install what is missing, build, run every test
# Environment: BUILD_DIR (default build), JOBS (default: number of cores),
#              ORVEX_EXTRA_PACKAGES (more Debian packages to install), CMAKE_ARGS (extra cmake args).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-demo}
build=${BUILD_DIR:-$here/build}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

packages=(cmake make g++ pkg-config libgtest-dev libbenchmark-dev libsndfile1-dev libebur128-dev lv2-dev
          nlohmann-json3-dev libjack-jackd2-dev liblo-dev libcairo2-dev)
# The tests load the LV2 plug-in in real hosts (lilv's tools and library, the schema check, ffmpeg,
# GStreamer) and start JACK servers of their own for orvex-live.
if [ "$mode" = test ]; then
  packages+=(lilv-utils liblilv-dev sordi ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
             gstreamer1.0-plugins-bad jackd2)
fi
# shellcheck disable=SC2206
packages+=(${ORVEX_EXTRA_PACKAGES:-})

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "bootstrap: all build dependencies present"
fi

# shellcheck disable=SC2086
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$jobs"

case "$mode" in
  demo)
    mkdir -p "$here/out"
    "$build/tools/orvex-render" --demo "$here/out"
    ;;
  test)
    ctest --test-dir "$build" --output-on-failure -j"$jobs"
    ;;
  build) ;;
  *)
    echo "usage: $0 [demo|test|build]" >&2
    exit 2
    ;;
esac
