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
build=build/bench
work=$build/flac-bench
for tool in flac sox cmake; do
    command -v "$tool" >/dev/null || { echo "flac_bench: $tool is needed" >&2; exit 1; }
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_TESTS=OFF >/dev/null
cmake --build "$build" --target pipd-decode >/dev/null
decoder=$build/pipd-decode
mkdir -p "$work"

# Music-like source: chords of sines that come and go, a little pink noise.
source_wav() { # rate bits output
    sox -R -n -r "$1" -b "$2" -c 2 "$3" \
        synth 60 sine 220 sine 277 \
        synth 60 sine mix 330 sine mix 415 \
        synth 60 sine amod 0.25 sine amod 0.31 \
        synth 60 sine mix 1318 sine mix 1661 \
        synth 60 pinknoise mix \
        tremolo 3 30 vol 0.45
}

make_file() { # name rate bits level
    local f=$work/$1.flac
    if [ ! -s "$f" ]; then
        source_wav "$2" "$3" "$work/$1.wav"
        flac -s -f "$4" -o "$f" "$work/$1.wav" 2>/dev/null
        rm -f "$work/$1.wav"
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
