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
. bench/common.sh
bench_setup mp3 lame madplay sox

f=$work/music-320.mp3
if [ ! -s "$f" ]; then
    music_wav 44100 16 "$work/src.wav"
    lame --quiet -b 320 "$work/src.wav" "$f"
    rm -f "$work/src.wav"
fi

# Both once first, to warm the page cache.
"$decoder" "$f" /dev/null 2>/dev/null
madplay -q -d -b 24 -o raw:/dev/null "$f"
tp=$(median_time "$decoder" "$f" /dev/null)
tm=$(median_time madplay -q -d -b 24 -o raw:/dev/null "$f")
printf "%-36s %11s %11s %7s\n" file pipd-decode madplay ratio
printf "%-36s %10.3fs %10.3fs %7.2f\n" "60 s, 320 kbit/s, 44100 Hz stereo" "$tp" "$tm" \
    "$(awk -v a="$tp" -v b="$tm" 'BEGIN { printf "%.3f", a / b }')"
