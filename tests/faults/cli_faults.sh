#!/usr/bin/env bash
# The placidor command line against damaged inputs, full and read-only
# disks, and interrupts. Every run must end in one of two ways:
#   - exit 0 and a complete, playable output file, or
#   - a non-zero exit, one "placidor: ..." line on stderr and no file under
#     the output name (nor a temporary file beside it);
# never a crash, a hang or a partial file.
#
#   cli_faults.sh PLACIDOR GROUP
#
# GROUP is damaged, full-disk, read-only or interrupt. Inputs are generated
# with the placidor demo maker and the ffmpeg command line. Groups that need
# root (mounting a small tmpfs) exit 77, counted as skipped, without it.
set -uo pipefail

placidor=$1
group=$2
work=$(mktemp -d)
mounts=()
failures=0

cleanup() {
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Frames that ffmpeg decodes from a file, or nothing when it cannot.
frame_count() {
    ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames \
        -of default=nw=1:nk=1 "$1" 2>/dev/null | head -n1
}

video_size() {
    ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$1" \
        2>/dev/null | head -n1
}

# A file whose video decodes from start to end without a single error.
# Only the video is placidor's: audio and subtitles are copied as they came,
# damage included, so the video bitstream is decoded on its own.
playable() {
    local errors
    errors=$(ffmpeg -nostdin -v error -i "$1" -map 0:v:0 -c copy -f nut - 2>/dev/null |
        ffmpeg -nostdin -v error -f nut -i - -fps_mode passthrough -f null - 2>&1) || return 1
    [ -z "$errors" ] || { echo "$errors" | head -n3 | sed 's/^/    /'; return 1; }
}

no_temporaries() {
    local dir base
    dir=$(dirname "$1")
    base=$(basename "$1")
    ! compgen -G "$dir/.$base.*.part" >/dev/null
}

# A report of the address, leak or undefined-behaviour sanitizer (in the
# sanitizer build) on STDERR-FILE is a failure, whatever the exit status.
sanitizer_clean() {
    local name=$1 errfile=$2
    if grep -qE 'ERROR: (Address|Leak)Sanitizer|: runtime error: ' "$errfile" 2>/dev/null; then
        fail "$name: sanitizer report:"
        sed 's/^/    /' "$errfile" | head -n 40
    fi
}

# check NAME EXPECT OUTPUT STATUS STDERR-FILE [FRAMES SIZE]
# EXPECT: ok (must succeed), error (must fail), either.
check() {
    local name=$1 expect=$2 out=$3 status=$4 errfile=$5 frames=${6:-} size=${7:-}
    sanitizer_clean "$name" "$errfile"
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        fail "$name: hung (killed after the time limit)"
        return
    fi
    if [ "$status" -gt 128 ] && [ "$status" -ne 130 ] && [ "$status" -ne 143 ]; then
        fail "$name: died with status $status: $(tail -n3 "$errfile")"
        return
    fi
    no_temporaries "$out" || fail "$name: a temporary file was left beside $out"
    if [ "$status" -eq 0 ]; then
        [ "$expect" = error ] && fail "$name: succeeded, but must fail"
        if [ ! -s "$out" ]; then
            fail "$name: exit 0 without an output file"
            return
        fi
        playable "$out" || fail "$name: the output does not decode cleanly"
        local got
        got=$(frame_count "$out")
        if [ -n "$frames" ] && [ "$got" != "$frames" ]; then
            fail "$name: $got frames written, $frames expected"
        fi
        if [ -n "$size" ] && [ "$(video_size "$out")" != "$size" ]; then
            fail "$name: output is $(video_size "$out"), $size expected"
        fi
        echo "ok   $name: stabilised ($got frames)"
    else
        [ "$expect" = ok ] && fail "$name: failed with status $status, must succeed: $(cat "$errfile")"
        [ -e "$out" ] && fail "$name: failed, yet left '$out'"
        local lines ours
        lines=$(grep -c '' "$errfile")
        ours=$(grep -c '^placidor: ' "$errfile")
        if [ "$ours" -ne 1 ] || [ "$lines" -ne 1 ]; then
            fail "$name: expected one 'placidor:' line on stderr, got $lines lines:"
            sed 's/^/    /' "$errfile"
        fi
        echo "ok   $name: status $status, $(head -n1 "$errfile")"
    fi
}

# run NAME EXPECT INPUT OUTPUT [FRAMES SIZE] -- stabilises INPUT into OUTPUT.
run() {
    local name=$1 expect=$2 in=$3 out=$4 frames=${5:-} size=${6:-}
    local errfile="$work/$name.stderr"
    rm -f "$out"
    timeout -s KILL 120 "$placidor" -q --preset ultrafast "$in" "$out" 2>"$errfile"
    check "$name" "$expect" "$out" $? "$errfile" "$frames" "$size"
}

ffmpeg_make() {
    ffmpeg -nostdin -v error -y "$@" || { echo "cannot generate an input: ffmpeg $*"; exit 1; }
}

# Overwrites COUNT bytes of FILE from OFFSET with a fixed pattern.
flip_bytes() {
    local file=$1 offset=$2 count=$3
    head -c "$count" /dev/zero | tr '\0' '\245' |
        dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

# Keeps FRACTION percent of FILE.
truncate_to() {
    local file=$1 percent=$2 size
    size=$(stat -c %s "$file")
    truncate -s $((size * percent / 100)) "$file"
}

make_base() {
    "$placidor" --make-demo "$work/base.mp4" -q --demo-size 160x120 --demo-seconds 2 ||
        { echo "cannot make the demo clip"; exit 1; }
    ffmpeg_make -i "$work/base.mp4" -c copy "$work/base.mkv"
    ffmpeg_make -i "$work/base.mp4" -c copy -f mpegts "$work/base.ts"
}

damaged() {
    make_base
    local frames
    frames=$(frame_count "$work/base.mp4")
    run intact ok "$work/base.mp4" "$work/intact.mp4" "$frames" 160x120

    : >"$work/empty.mp4"
    run zero-length error "$work/empty.mp4" "$work/out.mp4"
    echo "this is not a video" >"$work/text.mp4"
    run not-a-video error "$work/text.mp4" "$work/out.mp4"
    ffmpeg_make -f lavfi -i sine=frequency=440:duration=1 -c:a aac "$work/audio.m4a"
    run no-video-stream error "$work/audio.m4a" "$work/out.mp4"
    run missing-input error "$work/does-not-exist.mp4" "$work/out.mp4"

    for percent in 1 30 60 95; do
        for ext in mp4 mkv ts; do
            cp "$work/base.$ext" "$work/cut.$ext"
            truncate_to "$work/cut.$ext" $percent
            run "truncated-$ext-$percent%" either "$work/cut.$ext" "$work/out.mp4"
        done
    done

    local size
    for ext in mp4 mkv ts; do
        for at in 0 4 16 40 100 400; do
            cp "$work/base.$ext" "$work/hdr.$ext"
            flip_bytes "$work/hdr.$ext" $at 8
            run "flipped-header-$ext-at-$at" either "$work/hdr.$ext" "$work/out.mp4"
        done
        size=$(stat -c %s "$work/base.$ext")
        for percent in 25 50 75; do
            cp "$work/base.$ext" "$work/mid.$ext"
            flip_bytes "$work/mid.$ext" $((size * percent / 100)) 64
            run "flipped-middle-$ext-at-$percent%" either "$work/mid.$ext" "$work/out.mp4"
        done
    done

    # Missing frames: a stretch of the transport stream cut out.
    size=$(stat -c %s "$work/base.ts")
    { head -c $((size * 2 / 5)) "$work/base.ts"; tail -c $((size * 2 / 5)) "$work/base.ts"; } \
        >"$work/gap.ts"
    run missing-frames-cut either "$work/gap.ts" "$work/out.mp4"

    # Formats the renderer must convert; these must work.
    local src=(-f lavfi -i testsrc2=size=161x121:rate=25:duration=2)
    ffmpeg_make "${src[@]}" -c:v ffv1 -pix_fmt yuv420p "$work/odd.mkv"
    run odd-dimensions ok "$work/odd.mkv" "$work/odd-out.mp4" 50 160x120
    src=(-f lavfi -i testsrc2=size=160x120:rate=25:duration=2)
    ffmpeg_make "${src[@]}" -c:v libx264 -preset ultrafast -pix_fmt yuv420p10le "$work/ten-bit.mkv"
    run 10-bit ok "$work/ten-bit.mkv" "$work/ten-bit-out.mp4" 50 160x120
    ffmpeg_make "${src[@]}" -c:v libx264 -preset ultrafast -pix_fmt yuv422p "$work/422.mp4"
    run 4:2:2 ok "$work/422.mp4" "$work/422-out.mp4" 50 160x120
    ffmpeg_make "${src[@]}" -c:v ffv1 -pix_fmt yuv444p "$work/444.mkv"
    run 4:4:4 ok "$work/444.mkv" "$work/444-out.mp4" 50 160x120
    # Variable frame rate: three frames in every ten dropped, timestamps kept.
    ffmpeg_make "${src[@]}" -vf "select='not(between(mod(n\,10)\,3\,5))'" -fps_mode vfr \
        -c:v libx264 -preset ultrafast "$work/vfr.mkv"
    run variable-frame-rate ok "$work/vfr.mkv" "$work/vfr-out.mp4" "$(frame_count "$work/vfr.mkv")" 160x120
}

need_root() {
    if [ "$(id -u)" -ne 0 ] || ! mkdir -p "$work/probe" ||
        ! mount -t tmpfs -o size=64k tmpfs "$work/probe" 2>/dev/null; then
        echo "skipped: mounting a tmpfs needs root"
        exit 77
    fi
    umount "$work/probe"
}

full_disk() {
    need_root
    "$placidor" --make-demo "$work/big.mp4" -q --demo-size 320x240 --demo-seconds 4 ||
        { echo "cannot make the demo clip"; exit 1; }
    mkdir "$work/small"
    mount -t tmpfs -o size=96k tmpfs "$work/small" && mounts+=("$work/small")
    run out-of-space error "$work/big.mp4" "$work/small/out.mp4"
    [ -z "$(ls -A "$work/small")" ] || fail "out-of-space: files left on the full disk: $(ls -A "$work/small")"
    # Full before the first byte.
    head -c 200000 /dev/zero >"$work/small/filler" 2>/dev/null
    run already-full error "$work/big.mp4" "$work/small/out.mp4"
    rm -f "$work/small/filler"
}

read_only() {
    make_base
    mkdir "$work/locked"
    if [ "$(id -u)" -eq 0 ]; then
        # Root writes through permissions: a read-only mount it is.
        need_root
        mount -t tmpfs -o ro,size=64k tmpfs "$work/locked" && mounts+=("$work/locked")
    else
        chmod 555 "$work/locked"
    fi
    run unwritable-folder error "$work/base.mp4" "$work/locked/out.mp4"
    run missing-folder error "$work/base.mp4" "$work/no/such/dir/out.mp4"
    chmod 755 "$work/locked" 2>/dev/null
}

# Waits until the progress file reports PASS, up to 60 s.
wait_for_pass() {
    local file=$1 pass=$2
    for _ in $(seq 600); do
        grep -q "^pass=$pass" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Kills PID after 120 s; ends as soon as PID does.
watchdog() {
    local pid=$1
    for _ in $(seq 1200); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
}

# interrupt_at NAME WHEN SIGNALS... : starts a run, waits for WHEN (a pass
# name, or a delay in seconds), then sends the signals 0.2 s apart.
interrupt_at() {
    local name=$1 when=$2
    shift 2
    local out="$work/int-out.mp4" progress="$work/progress.txt" errfile="$work/$name.stderr"
    rm -f "$out" "$progress"
    # Signals go straight to placidor: timeout(1) would pass each one on
    # twice (to the child and to its process group).
    # Job control on: a script's background jobs would otherwise start with
    # SIGINT ignored, and placidor keeps an ignored SIGINT ignored.
    set -m
    "$placidor" --preset ultrafast --progress "$progress" "$work/long.mp4" "$out" 2>"$errfile" &
    local pid=$!
    set +m
    watchdog $pid &
    case $when in
    analyse | render) wait_for_pass "$progress" "$when" || fail "$name: never reached $when" ;;
    *) sleep "$when" ;;
    esac
    for sig in "$@"; do
        kill -s "$sig" $pid 2>/dev/null
        sleep 0.2
    done
    wait $pid
    local status=$?
    # The progress lines on stderr are not what is checked here.
    if [ $status -eq 0 ]; then
        check "$name" ok "$out" 0 "$errfile" "$long_frames" 480x270
    elif [ $status -eq 130 ] || [ $status -eq 143 ]; then
        sanitizer_clean "$name" "$errfile"
        [ -e "$out" ] && fail "$name: interrupted, yet left '$out'"
        no_temporaries "$out" || fail "$name: interrupted, yet left a temporary file"
        echo "ok   $name: interrupted, no file"
    else
        check "$name" either "$out" $status "$errfile"
    fi
    # Interrupted: 128 + the signal, 130 for SIGINT, 143 for SIGTERM.
    local expected=$((128 + $(kill -l "${*: -1}")))
    [ $status -eq 0 ] || [ $status -eq $expected ] || fail "$name: status $status, expected 0 or $expected"
    last_status=$status
}

interrupt() {
    "$placidor" --make-demo "$work/long.mp4" -q --demo-size 480x270 --demo-seconds 30 ||
        { echo "cannot make the demo clip"; exit 1; }
    long_frames=$(frame_count "$work/long.mp4")
    # Ctrl-C during the analysis: the analysed part frames the whole clip.
    interrupt_at ctrl-c-analysing analyse INT
    [ "$last_status" -eq 0 ] || fail "ctrl-c-analysing: must render, got status $last_status"
    grep -q 'analysis stopped' "$work/ctrl-c-analysing.stderr" ||
        echo "note ctrl-c-analysing: the analysis had ended before the signal"
    # Twice: abort.
    interrupt_at ctrl-c-twice analyse INT INT
    [ "$last_status" -eq 130 ] || fail "ctrl-c-twice: must abort, got status $last_status"
    interrupt_at ctrl-c-rendering render INT
    interrupt_at terminate-rendering render TERM
    interrupt_at terminate-analysing analyse TERM
    # At arbitrary moments, including before the input is open.
    for delay in 0.01 0.05 0.3 0.7 1.5 2.5 3.5; do
        interrupt_at "ctrl-c-at-${delay}s" "$delay" INT
        interrupt_at "ctrl-c-twice-at-${delay}s" "$delay" INT INT
    done
}

case $group in
damaged) damaged ;;
full-disk) full_disk ;;
read-only) read_only ;;
interrupt) interrupt ;;
*)
    echo "unknown group '$group'"
    exit 2
    ;;
esac

if [ $failures -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all passed"
