#!/usr/bin/env bash
# APE decoding speed: pipd-decode (Release build, not sanitized) as a whole
# process on 60-second 16-bit/44.1 kHz stereo music-like files made by jmac
# at c2000, c3000 and c4000. Prints the median wall time of several runs and
# the speed in times real time, against the goals (250x at c2000 and c3000,
# 150x at c4000).
# usage: bench/ape_bench.sh [RUNS]     (default 9)
# Other processes on the machine disturb the figures: run it when quiet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${1:-9}
. bench/common.sh
bench_setup ape jmac sox

if [ ! -s "$work/source.wav" ]; then
    music_wav 44100 16 "$work/source.wav"
fi

make_file() { # level
    local f=$work/$1.ape
    if [ ! -s "$f" ]; then
        # jmac exits 0 also when it fails: the output is checked.
        jmac "$1" "$work/source.wav" "$f" >/dev/null 2>&1 || true
        [ "$(head -c 4 "$f" 2>/dev/null)" = "MAC " ] || { echo "ape_bench: jmac $1 failed" >&2; exit 1; }
    fi
    echo "$f"
}

printf "%-8s %11s %14s %6s\n" level pipd-decode "x real time" goal
for case_ in "c2000 250" "c3000 250" "c4000 150"; do
    set -- $case_
    f=$(make_file "$1")
    "$decoder" "$f" /dev/null 2>/dev/null # warm the page cache
    t=$(median_time "$decoder" "$f" /dev/null)
    printf "%-8s %10.3fs %13.0fx %5sx\n" "$1" "$t" "$(awk -v t="$t" 'BEGIN { print 60 / t }')" "$2"
done
