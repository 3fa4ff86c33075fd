#!/usr/bin/env bash
# Times pipd-decode (Release, build/bench) against sox on two 60-second WAV
# files made by sox: 16-bit/44.1 kHz stereo and 24-bit/96 kHz stereo. Each
# program runs as a whole process, RUNS times per file (default 7); the
# medians and their ratio (pipd-decode / sox, lower is better) are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-7}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_TESTS=OFF >/dev/null
cmake --build "$build" --target pipd-decode >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -D -n -r 44100 -b 16 -c 2 "$work/cd.wav" synth 60 sine 440 sine 660 gain -1
sox -D -n -r 96000 -b 24 -c 2 "$work/hires.wav" synth 60 sine 440 sine 660 gain -1

python3 - "$runs" "$build/pipd-decode" "$work/cd.wav" "$work/hires.wav" <<'PY'
import statistics, subprocess, sys, time

runs, decoder, files = int(sys.argv[1]), sys.argv[2], sys.argv[3:]

def median_seconds(argv):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)

print(f"median of {runs} runs, whole processes, output to /dev/null")
for f in files:
    name = f.rsplit("/", 1)[-1]
    ours = median_seconds([decoder, f, "/dev/null"])
    theirs = median_seconds(["sox", f, "-t", "s32", "/dev/null"])
    print(f"  {name:<10} pipd-decode {ours * 1000:8.1f} ms   sox {theirs * 1000:8.1f} ms"
          f"   ratio {ours / theirs:5.2f}")
PY
