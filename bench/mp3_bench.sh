#!/usr/bin/env bash
# MP3 decoding speed: pipd-decode (Release build) against madplay (libmad's
# own player, undithered 24-bit output thrown away), as whole processes, on
# a 60-second 320 kbit/s file made by lame from a music-like source. Prints
# the median of several runs of each and their ratio (pipd / madplay);
# the goal is at most 1.0: the glue adds nothing measurable to libmad.
# usage: bench/mp3_bench.sh [RUNS]     (default 7)
# Other processes on the machine disturb the figures: run it when quiet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${1:-7}
build=build/bench
work=$build/mp3-bench
for tool in lame madplay sox cmake; do
    command -v "$tool" >/dev/null || { echo "mp3_bench: $tool is needed" >&2; exit 1; }
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_TESTS=OFF >/dev/null
cmake --build "$build" --target pipd-decode >/dev/null
decoder=$build/pipd-decode
mkdir -p "$work"

f=$work/music-320.mp3
if [ ! -s "$f" ]; then
    # Chords of sines that come and go, a little pink noise.
    sox -R -n -r 44100 -b 16 -c 2 "$work/src.wav" \
        synth 60 sine 220 sine 277 \
        synth 60 sine mix 330 sine mix 415 \
        synth 60 sine amod 0.25 sine amod 0.31 \
        synth 60 sine mix 1318 sine mix 1661 \
        synth 60 pinknoise mix \
        tremolo 3 30 vol 0.45
    lame --quiet -b 320 "$work/src.wav" "$f"
    rm -f "$work/src.wav"
fi

now() { date +%s%N; }

# Median wall time in seconds of a command, run $runs times.
median_time() {
    local times=() t0 t1
    for ((i = 0; i < runs; i++)); do
        t0=$(now)
        "$@" >/dev/null 2>&1
        t1=$(now)
        times+=($(( (t1 - t0) / 1000 )))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { printf "%.4f", a[int((NR + 1) / 2)] / 1e6 }'
}

# Both once first, to warm the page cache.
"$decoder" "$f" /dev/null 2>/dev/null
madplay -q -d -b 24 -o raw:/dev/null "$f"
tp=$(median_time "$decoder" "$f" /dev/null)
tm=$(median_time madplay -q -d -b 24 -o raw:/dev/null "$f")
printf "%-36s %11s %11s %7s\n" file pipd-decode madplay ratio
printf "%-36s %10.3fs %10.3fs %7.2f\n" "60 s, 320 kbit/s, 44100 Hz stereo" "$tp" "$tm" \
    "$(awk -v a="$tp" -v b="$tm" 'BEGIN { printf "%.3f", a / b }')"
