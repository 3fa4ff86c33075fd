#!/usr/bin/env bash
# SACD image playing speed: pipd-decode (Release build), whole process, on a
# generated 60-second two-track DSD64 disc image, in times real time.
# Prints the median of several runs: wall time, CPU time (user + system) and
# both as multiples of real time. Goal: 250x real time or more on one core.
# usage: bench/sacd_bench.sh [RUNS]     (default 7)
# Other processes on the machine disturb the figures: run it when quiet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${1:-7}
seconds=60
build=build/bench
work=$build/sacd-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_TESTS=OFF >/dev/null
cmake --build "$build" --target pipd-decode >/dev/null
decoder=$build/pipd-decode
mkdir -p "$work"
image=$work/disc-${seconds}s.iso
if [ ! -s "$image" ]; then
    "${CXX:-c++}" -std=c++20 -O2 -I"$root" bench/gen/make_sacd_image.cpp -o "$work/make_sacd_image"
    "$work/make_sacd_image" "$image" "$seconds" 2
fi

"$decoder" "$image" /dev/null 2>/dev/null # warm the page cache
results=()
for ((i = 0; i < runs; i++)); do
    results+=("$(taskset -c 0 /usr/bin/time -f '%e %U %S' "$decoder" "$image" /dev/null 2>&1 >/dev/null | tail -n 1)")
done
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
wall=$(printf '%s\n' "${results[@]}" | awk '{ print $1 }' | median)
cpu=$(printf '%s\n' "${results[@]}" | awk '{ print $2 + $3 }' | median)
awk -v s="$seconds" -v n="$runs" -v w="$wall" -v c="$cpu" 'BEGIN {
    printf "pipd-decode, %d s two-track DSD64 image, median of %d runs, one core:\n", s, n
    printf "  wall %.3f s = %.0fx real time\n", w, s / w
    printf "  cpu  %.3f s = %.0fx real time\n", c, s / c
}'
