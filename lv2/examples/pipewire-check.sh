#!/usr/bin/env bash
# Runs orvex-filter-chain.conf on a private, headless PipeWire: a daemon with a null sink as the
# "machine's output", WirePlumber (in a D-Bus session of its own) to link the nodes, and the
# filter chain started as `pipewire -c filter-chain.conf` with the example in filter-chain.conf.d.
# It plays a generated programme into the "Orvex" sink, records the null sink's monitor and
# reports peak and level. Nothing outside a temporary folder is touched; every process it
# starts is stopped by its process id.
#
#   lv2/examples/pipewire-check.sh [BUNDLE_PARENT_DIR]     (default: build/lib/lv2)
#
# Needs pipewire, pipewire-bin, wireplumber, dbus and ffmpeg (Debian packages).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bundles=$(cd "${1:-$here/../../build/lib/lv2}" && pwd)
for tool in pipewire wireplumber dbus-run-session pw-play pw-record pw-link ffmpeg; do
  command -v "$tool" >/dev/null || { echo "pipewire-check: $tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
session=
cleanup() {
  # WirePlumber first: dbus-run-session then ends its own bus daemon.
  [ -n "$session" ] && pkill -P "$session" 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config LV2_PATH=$bundles:/usr/lib/lv2
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/pipewire/filter-chain.conf.d"
chmod 700 "$XDG_RUNTIME_DIR"

cat >"$work/daemon.conf" <<'EOF'
context.properties = { core.daemon = true core.name = pipewire-0 default.clock.rate = 48000 }
context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert support.* = support/libspa-support }
context.modules = [
    { name = libpipewire-module-protocol-native } { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory } { name = libpipewire-module-client-node }
    { name = libpipewire-module-access args = { } } { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
]
context.objects = [
    { factory = metadata args = { metadata.name = default } }
    { factory = spa-node-factory args = { factory.name = support.node.driver node.name = Dummy-Driver
        node.group = pipewire.dummy priority.driver = 20000 } }
    { factory = adapter args = { factory.name = support.null-audio-sink node.name = null-sink
        media.class = Audio/Sink audio.position = [ FL FR ] node.driver = true } }
]
EOF
# What newer PipeWire versions ship as filter-chain.conf: a client that loads its conf.d.
cat >"$XDG_CONFIG_HOME/pipewire/filter-chain.conf" <<'EOF'
context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert support.* = support/libspa-support }
context.modules = [
    { name = libpipewire-module-rt args = { } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native } { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
]
EOF
cp "$here/orvex-filter-chain.conf" "$XDG_CONFIG_HOME/pipewire/filter-chain.conf.d/"

pipewire -c "$work/daemon.conf" >"$work/daemon.log" 2>&1 & pids+=($!)
sleep 1
dbus-run-session -- wireplumber >"$work/wireplumber.log" 2>&1 & session=$!
pipewire -c filter-chain.conf >"$work/filter-chain.log" 2>&1 & pids+=($!)
for _ in $(seq 50); do pw-link -o 2>/dev/null | grep -q effect_output.orvex && break; sleep 0.2; done
echo "== nodes and links"
pw-link -l | grep -E "orvex|null-sink" || { echo "pipewire-check: the filter chain did not come up" >&2;
  cat "$work/filter-chain.log" >&2; exit 1; }

ffmpeg -nostdin -loglevel error -f lavfi -i \
  "aevalsrc='0.3*sin(2*PI*220*t)*exp(-4*mod(t\,0.25))+0.1*sin(2*PI*55*t)':s=48000:d=5" \
  -ac 2 -c:a pcm_f32le "$work/in.wav"
pw-record --target null-sink -P '{ stream.capture.sink=true }' --format f32 --rate 48000 --channels 2 \
  "$work/out.wav" >"$work/record.log" 2>&1 & recorder=$!; pids+=($recorder)
sleep 1
echo "== playing 5 s into the Orvex sink"
timeout 30 pw-play --format f32 --rate 48000 --channels 2 --target effect_input.orvex "$work/in.wav"
sleep 1
kill "$recorder"; wait "$recorder" 2>/dev/null || true
echo "== recorded from the output (null sink monitor)"
ffmpeg -nostdin -hide_banner -i "$work/out.wav" -af volumedetect -f null - 2>&1 |
  grep -E "n_samples|mean_volume|max_volume"
