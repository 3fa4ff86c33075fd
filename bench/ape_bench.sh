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
build=build/bench
work=$build/ape-bench
for tool in jmac sox cmake; do
    command -v "$tool" >/dev/null || { echo "ape_bench: $tool is needed" >&2; exit 1; }
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_TESTS=OFF >/dev/null
cmake --build "$build" --target pipd-decode >/dev/null
decoder=$build/pipd-decode
mkdir -p "$work"

# Music-like source: chords of sines that come and go, a little pink noise.
if [ ! -s "$work/source.wav" ]; then
    sox -R -n -r 44100 -b 16 -c 2 -t wavpcm "$work/source.wav" \
        synth 60 sine 220 sine 277 \
        synth 60 sine mix 330 sine mix 415 \
        synth 60 sine amod 0.25 sine amod 0.31 \
        synth 60 sine mix 1318 sine mix 1661 \
        synth 60 pinknoise mix \
        tremolo 3 30 vol 0.45
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

printf "%-8s %11s %14s %6s\n" level pipd-decode "x real time" goal
for case_ in "c2000 250" "c3000 250" "c4000 150"; do
    set -- $case_
    f=$(make_file "$1")
    "$decoder" "$f" /dev/null 2>/dev/null # warm the page cache
    t=$(median_time "$decoder" "$f" /dev/null)
    printf "%-8s %10.3fs %13.0fx %5sx\n" "$1" "$t" "$(awk -v t="$t" 'BEGIN { print 60 / t }')" "$2"
done
