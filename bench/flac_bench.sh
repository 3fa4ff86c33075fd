#!/usr/bin/env bash
# FLAC decoding speed: pipd-decode (Release build) against the reference
# decoder, as whole processes, on 60-second generated music-like files.
# Prints the median of several runs of each and their ratio (pipd / flac);
# below 1.0 means pipd-decode is faster.
# usage: bench/flac_bench.sh [RUNS]     (default 7)
# Other processes on the machine disturb the figures: run it when quiet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${1:-7}
. bench/common.sh
bench_setup flac flac sox

make_file() { # name rate bits level
    local f=$work/$1.flac
    if [ ! -s "$f" ]; then
        music_wav "$2" "$3" "$work/$1.wav"
        flac -s -f "$4" -o "$f" "$work/$1.wav" 2>/dev/null
        rm -f "$work/$1.wav"
    fi
    echo "$f"
}

printf "%-36s %11s %11s %7s\n" file pipd-decode "flac -d" ratio
for case_ in "cd16_l5 44100 16 -5" "cd16_l8 44100 16 -8" "hires24_l8 96000 24 -8"; do
    set -- $case_
    f=$(make_file "$1" "$2" "$3" "$4")
    # Both decoders once first, to warm the page cache.
    "$decoder" "$f" /dev/null 2>/dev/null
    flac -d -c -s --force-raw-format --endian=little --sign=signed "$f" >/dev/null
    tp=$(median_time "$decoder" "$f" /dev/null)
    tf=$(median_time flac -d -c -s --force-raw-format --endian=little --sign=signed "$f")
    printf "%-36s %10.3fs %10.3fs %7.2f\n" "$1 ($2 Hz, $3 bit, $4)" "$tp" "$tf" \
        "$(awk -v a="$tp" -v b="$tf" 'BEGIN { printf "%.3f", a / b }')"
done
