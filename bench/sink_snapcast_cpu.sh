#!/bin/bash
# pipd-sink's Snapcast output: the processor time it takes over SECONDS of
# playback (default 60) of DSD converted to 176.4 kHz, resampled to
# 48000:24:2, with no ALSA device (the sink paces itself). A reader stands
# in for snapserver and takes the pipe as it fills. Also the sink's largest
# resident size, and the same at 48 kHz (no resampler) for comparison.
# usage: bench/sink_snapcast_cpu.sh [SECONDS]   (from the source root)
set -euo pipefail
seconds=${1:-60}
for tool in cmake sox; do
    command -v "$tool" >/dev/null || { echo "sink_snapcast_cpu: $tool is needed" >&2; exit 1; }
done

# A build of its own, optimised and without sanitizers, in a private tree.
build=build/bench-sink
root=$PWD/$build/root
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_TESTS=OFF -DPIPD_MAN=OFF \
      -DPIPD_ROOT="$root" >/dev/null
cmake --build "$build" --target pipd-sink pipd-decode >/dev/null
mkdir -p "$root/tmp"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
rm -f "$root/tmp/outputfifo" && mkfifo "$root/tmp/outputfifo"
mkfifo "$work/snapfifo"

# The streams as the daemon sends them: music-like noise at 176.4 kHz (what
# every DSD file becomes) and at 48 kHz.
for rate in 176400 48000; do
    sox -n -r $rate -b 24 -c 2 "$work/$rate.wav" synth "$seconds" pinknoise gain -3
    "$build/pipd-decode" --packets "$work/$rate.wav" "$work/$rate.pkts" 2>/dev/null
done

for rate in 176400 48000; do
    "$build/pipd-sink" --device none --snapcast "$work/snapfifo" 2>"$work/sink.err" &
    sink=$!
    cat "$work/snapfifo" >/dev/null &
    reader=$!
    start=$(date +%s.%N)
    cat "$work/$rate.pkts" >"$root/tmp/outputfifo"
    sleep 0.5 # the idle drain
    ticks=$(awk '{print $14 + $15}' /proc/$sink/stat)
    hwm=$(awk '/VmHWM/ {print $2}' /proc/$sink/status)
    end=$(date +%s.%N)
    kill $sink $reader
    wait $sink $reader 2>/dev/null || true
    hz=$(getconf CLK_TCK)
    awk -v t="$ticks" -v hz="$hz" -v s="$start" -v e="$end" -v r=$rate -v m="$hwm" 'BEGIN {
        cpu = t / hz; wall = e - s
        printf "%6d Hz -> 48000:24:2: %.2f s of processor time in %.1f s: %.2f%% of one core; VmHWM %d KiB\n",
               r, cpu, wall, 100 * cpu / wall, m }'
done
