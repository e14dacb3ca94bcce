#!/usr/bin/env bash
# End-to-end speed of the placidor command line against what any two-pass
# stabiliser must pay at least: one decode (the analysis) plus one decode
# and encode (the render), on the same file, in the same run, with the same
# x264 settings (crf 20, preset medium). vid.stab's two passes
# (vidstabdetect, then vidstabtransform and the same encode) are timed too
# where this FFmpeg has them.
#
#   bench/end_to_end.sh [FILE ...]
#
# Without files it generates a 1920x1080 and a 720x576 clip (testsrc2 over
# a fixed texture, sub-pixel camera shake, a little sensor noise, a tone)
# and keeps them in the work folder for the next run. Each command runs
# RUNS times (default 3), the tools taking turns; the table gives the
# median wall seconds (and the minimum), and the ratio of placidor's
# median to the floor's (decode + decode and encode). "analysis" is the
# time placidor's analysis passes took (from its --progress report: each
# pass's frames over its frames a second), and "an/dec" the analysis's
# frames a second over the decode's: 1 would be an analysis as quick as
# decoding alone.
#
# PLACIDOR (default build/host/host/placidor), BENCH_DIR (default
# build/bench), RUNS and BENCH_SECONDS (length of the generated 1080p clip,
# default 10; the SD clip is twice as long) choose the rest.
set -euo pipefail
cd "$(dirname "$0")/.."

placidor=${PLACIDOR:-build/host/host/placidor}
dir=${BENCH_DIR:-build/bench}
runs=${RUNS:-3}
seconds=${BENCH_SECONDS:-10}
if [[ ! -x $placidor ]]; then
  echo "no placidor at $placidor: cmake --preset host && cmake --build --preset host" >&2
  exit 1
fi
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed" >&2; exit 1; }
mkdir -p "$dir"
x264=(-c:v libx264 -crf 20 -preset medium)
have_vidstab=0
# The list is read whole first: grep -q stopping early would kill ffmpeg with
# SIGPIPE, and pipefail would then report vid.stab missing.
filters=$(ffmpeg -hide_banner -filters 2>/dev/null || true)
[[ $filters == *vidstabdetect* ]] && have_vidstab=1

# generate WIDTH HEIGHT SECONDS FILE
generate() {
  local w=$1 h=$2 s=$3 out=$4 m=48
  local sw=$((w + 2 * m)) sh=$((h + 2 * m))
  # A shake of a few pixels at several frequencies plus a slow pan, at
  # sub-pixel positions (bicubic), as a hand-held camera gives.
  local dx='(7*sin(in*2.3)+4*sin(in*5.1+1)+20*sin(in*0.04))'
  local dy='(5*sin(in*1.7+2)+3*sin(in*4.3)+9*sin(in*0.03+1))'
  echo "generating $out (${w}x${h}, $s s)" >&2
  ffmpeg -nostdin -v error -y \
    -f lavfi -i "testsrc2=size=${sw}x${sh}:rate=25:duration=$s" \
    -f lavfi -i "color=c=gray:size=${sw}x${sh}:rate=25:duration=1,trim=end_frame=1,noise=alls=100:allf=u,gblur=sigma=1.2,loop=loop=-1:size=1,setpts=N/25/TB" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$s" \
    -filter_complex "[0:v][1:v]blend=all_mode=overlay:shortest=1,perspective=x0=$dx:y0=$dy:x1=W+$dx:y1=$dy:x2=$dx:y2=H+$dy:x3=W+$dx:y3=H+$dy:sense=source:eval=frame:interpolation=cubic,crop=$w:$h,noise=alls=2:allf=t+u,format=yuv420p[v]" \
    -map '[v]' -map 2:a -c:v libx264 -preset veryfast -crf 16 -c:a aac -b:a 96k -shortest "$out.part.mp4"
  mv "$out.part.mp4" "$out"
}

clips=("$@")
if ((${#clips[@]} == 0)); then
  hd=$dir/shaky_1920x1080_${seconds}s.mp4
  sd=$dir/shaky_720x576_$((2 * seconds))s.mp4
  [[ -f $hd ]] || generate 1920 1080 "$seconds" "$hd"
  [[ -f $sd ]] || generate 720 576 $((2 * seconds)) "$sd"
  clips=("$hd" "$sd")
fi

# seconds COMMAND...: wall seconds of one run; output thrown away
seconds_of() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$dir/last.err" || { echo "failed: $*" >&2; cat "$dir/last.err" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f\n", b - a}'
}

# sum and ratio without bc
add() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f\n", a + b}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f\n", a / b}'; }

# median and minimum of the numbers on standard input: "MEDIAN MIN"
stats() { sort -g | awk '{v[NR]=$1} END {m = NR % 2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2; printf "%.2f %.2f\n", m, v[1]}'; }

printf '%s\n' "placidor $("$placidor" --version | head -1 | awk '{print $2}'), $(ffmpeg -version | head -1 | awk '{print $1, $2, $3}'), $(nproc) processors, $runs runs each; wall seconds, median (min)"
printf '%-28s %6s %13s %13s %13s %13s %7s %13s %6s %13s %7s\n' clip frames decode dec+encode floor placidor ratio analysis an/dec \
  vid.stab ratio
for clip in "${clips[@]}"; do
  frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$clip")
  out=$dir/out.mp4 trf=$dir/transforms.trf
  : >"$dir/dec" >"$dir/enc" >"$dir/floor" >"$dir/plac" >"$dir/vs" >"$dir/an"
  for ((r = 0; r < runs; ++r)); do
    d=$(seconds_of ffmpeg -nostdin -v error -i "$clip" -f null -)
    e=$(seconds_of ffmpeg -nostdin -v error -y -i "$clip" "${x264[@]}" -c:a copy -f mp4 "$out")
    p=$(seconds_of "$placidor" -q -y --progress "$dir/progress" "$clip" "$out")
    # the analysis passes' seconds: each pass's last report
    awk -F= '/^pass=/ {p = $2} /^frame=/ {n[p] = $2} /^fps=/ {f[p] = $2}
      END {s = 0; for (k in f) if (k ~ /^analyse/ && f[k] > 0) s += n[k] / f[k]; printf "%.3f\n", s}' \
      "$dir/progress" >>"$dir/an"
    echo "$d" >>"$dir/dec"
    echo "$e" >>"$dir/enc"
    add "$d" "$e" >>"$dir/floor"
    echo "$p" >>"$dir/plac"
    if ((have_vidstab)); then
      v1=$(seconds_of ffmpeg -nostdin -v error -i "$clip" -vf "vidstabdetect=result=$trf" -f null -)
      v2=$(seconds_of ffmpeg -nostdin -v error -y -i "$clip" -vf "vidstabtransform=input=$trf" "${x264[@]}" \
        -c:a copy -f mp4 "$out")
      add "$v1" "$v2" >>"$dir/vs"
    fi
  done
  read -r dm dn < <(stats <"$dir/dec")
  read -r em en < <(stats <"$dir/enc")
  read -r fm fn < <(stats <"$dir/floor")
  read -r pm pn < <(stats <"$dir/plac")
  read -r am an < <(stats <"$dir/an")
  vs="-" vr="-"
  if ((have_vidstab)); then
    read -r vm vn < <(stats <"$dir/vs")
    vs="$vm ($vn)"
    vr=$(ratio "$vm" "$fm")
  fi
  # frames a second: the analysis's over the decode's is the decode's
  # seconds over the analysis's
  printf '%-28s %6s %13s %13s %13s %13s %7s %13s %6s %13s %7s\n' "$(basename "$clip")" "$frames" "$dm ($dn)" \
    "$em ($en)" "$fm ($fn)" "$pm ($pn)" "$(ratio "$pm" "$fm")" "$am ($an)" "$(ratio "$dm" "$am")" "$vs" "$vr"
done
rm -f "$dir/out.mp4" "$dir/transforms.trf" "$dir/last.err" "$dir/dec" "$dir/enc" "$dir/floor" "$dir/plac" "$dir/vs" \
  "$dir/an" "$dir/progress"
