#!/usr/bin/env bash
# Stabilise a shaky clip from scratch: install what the placidor command line
# needs (Debian packages), build it, generate a shaky demo clip with a known
# camera shake and a tone, stabilise it, and report how much shake was removed.
#
#   ./run-demo.sh [OUTPUT_DIR]      (default: demo-output)
#
# PLACIDOR_BUILD_DIR chooses the build directory (default: build/host).
set -euo pipefail
cd "$(dirname "$0")"

packages=(build-essential cmake pkg-config
          libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
          libzimg-dev ffmpeg)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "== installing: ${missing[*]}"
  if [[ $(id -u) -eq 0 ]]; then sudo=(); else sudo=(sudo); fi
  # A mirror in the middle of a sync can fail one index: try again, then go
  # on with the indexes that did download.
  for attempt in 1 2 3; do
    "${sudo[@]}" apt-get update -qq && break
    if ((attempt == 3)); then echo "== some package indexes failed to download; going on" >&2; else sleep 10; fi
  done
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build=${PLACIDOR_BUILD_DIR:-build/host}
echo "== building the placidor command line in $build"
cmake --preset host -B "$build" -DPLACIDOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target placidor_cli -j "$(nproc)" >/dev/null
placidor=$build/host/placidor

out=${1:-demo-output}
mkdir -p "$out"
echo "== generating a shaky demo clip"
"$placidor" --make-demo "$out/shaky.mp4" -y --demo-size 640x360 --demo-seconds 6 --demo-shake 8 \
  --demo-path "$out/shaky-camera.csv"

echo "== stabilising it"
"$placidor" "$out/shaky.mp4" "$out/steady.mp4" -y --compare "$out/side-by-side.mp4" \
  --plot "$out/camera-path.svg" --rects "$out/rects.csv"

shake() { "$placidor" --measure "$1" -q | sed -n 's/.* shake \([0-9.]*\) px RMS.*/\1/p'; }
before=$(shake "$out/shaky.mp4")
after=$(shake "$out/steady.mp4")
echo
echo "Wrote:"
echo "  $out/shaky.mp4          the generated clip (camera path: $out/shaky-camera.csv)"
echo "  $out/steady.mp4         the stabilised clip, same frames, duration and audio"
echo "  $out/side-by-side.mp4   original left, stabilised right"
echo "  $out/camera-path.svg    measured and smoothed camera path"
echo "  $out/rects.csv          every frame's shift, correction and crop rectangle"
awk -v b="$before" -v a="$after" 'BEGIN {
  removed = (b > 0) ? 100 * (b - a) / b : 0
  printf "Shake (jitter around the smooth path, RMS): %.2f px before, %.2f px after: %.0f%% removed\n",
         b, a, removed }'
