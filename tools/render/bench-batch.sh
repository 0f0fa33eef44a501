#!/usr/bin/env bash
# Wall time of a batch of programme files rendered through Orvex with --jobs 1 and with --jobs 2
# (or the job counts given), and the speed-up. The files are 60 s each at 48 kHz, cut from the
# built-in demo programme at different offsets so that no two are alike.
#
#   tools/render/bench-batch.sh [--build DIR] [--files N] [--seconds S] [--jobs "1 2"] [--format TYPE]
#                               [--rounds R]
#
# Each round runs every job count once, in turn; the medians over the rounds give the speed-up.
# CPU time (user + system) is printed beside the wall time: on a machine shared with other work
# the wall time shows how much of the cores the batch got, the CPU time what it cost.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build="$here/build"
files=8
seconds=60
jobs_list="1 2"
format=wav
rounds=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs_list=$2; shift 2 ;;
    --format) format=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "bench-batch.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
render="$build/tools/orvex-render"
[ -x "$render" ] || { echo "bench-batch.sh: no $render; build first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$render" --demo "$work" >/dev/null

# The demo is a 24-bit mono WAV with the plain 44-byte header: its samples start at byte 44.
le32() { printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $(($1 >> 8 & 255)))\\$(printf %03o $(($1 >> 16 & 255)))\\$(printf %03o $(($1 >> 24 & 255)))"; }
tail -c +45 "$work/demo-in.wav" >"$work/one.pcm"
cat "$work/one.pcm" "$work/one.pcm" "$work/one.pcm" "$work/one.pcm" >"$work/all.pcm"
bytes=$((seconds * 48000 * 3))
mkdir -p "$work/in"
for k in $(seq 0 $((files - 1))); do
  offset=$((k * 180000 * 3))  # 3.75 s apart, on a sample boundary
  {
    printf 'RIFF'; le32 $((36 + bytes)); printf 'WAVEfmt '; le32 16
    printf '\001\000\001\000'; le32 48000; le32 $((48000 * 3)); printf '\003\000\030\000'
    printf 'data'; le32 "$bytes"
    dd if="$work/all.pcm" iflag=skip_bytes,count_bytes skip="$offset" count="$bytes" bs=64K status=none
  } >"$work/in/programme-$k.wav"
done

echo "batch of $files programme files of $seconds s (48 kHz mono, 24-bit) through the Orvex module of $build, output $format, $(nproc) cores"
declare -A walls
TIMEFORMAT='%R %U %S'
for round in $(seq 1 "$rounds"); do
  for jobs in $jobs_list; do
    rm -rf "$work/out"
    { time "$render" --quiet --jobs "$jobs" --format "$format" "$work/in" --out-dir "$work/out" >"$work/table.txt"; } 2>"$work/time.txt"
    read -r wall user sys <"$work/time.txt"
    grep -q "^total: $files files, $files done" "$work/table.txt" || { cat "$work/table.txt"; exit 1; }
    walls[$jobs]="${walls[$jobs]:-} $wall"
    awk -v r="$round" -v j="$jobs" -v w="$wall" -v u="$user" -v s="$sys" -v audio=$((files * seconds)) \
      'BEGIN { printf "round %d  --jobs %-3s wall %7.2f s  (%6.1fx real time)  CPU %7.2f s\n", r, j, w, audio / w, u + s }'
  done
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
first=${jobs_list%% *}
base=$(echo "${walls[$first]}" | median)
for jobs in $jobs_list; do
  m=$(echo "${walls[$jobs]}" | median)
  awk -v j="$jobs" -v m="$m" -v b="$base" -v f="$first" -v audio=$((files * seconds)) \
    'BEGIN { printf "median --jobs %-3s wall %7.2f s  (%6.1fx real time)  speed-up over --jobs %s: %.2fx\n", j, m, audio / m, f, b / m }'
done
