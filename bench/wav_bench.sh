#!/usr/bin/env bash
# Times pipd-decode (Release, build/bench) against sox on two 60-second WAV
# files made by sox: 16-bit/44.1 kHz stereo and 24-bit/96 kHz stereo. Each
# program runs as a whole process, RUNS times per file (default 7), the two
# alternating so that load from elsewhere hits both alike; the medians of
# wall-clock and CPU time and their ratios (pipd-decode / sox, lower is
# better) are printed.
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
import os, statistics, subprocess, sys, time

runs, decoder, files = int(sys.argv[1]), sys.argv[2], sys.argv[3:]

def timed(argv):
    """Wall-clock and CPU (user + system) seconds of one whole process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{argv[0]} failed")
    return wall, usage.ru_utime + usage.ru_stime

print(f"median of {runs} runs (the two programs alternate), whole processes, output to /dev/null")
for f in files:
    name = f.rsplit("/", 1)[-1]
    ours, theirs = [], []
    for _ in range(runs):
        ours.append(timed([decoder, f, "/dev/null"]))
        theirs.append(timed(["sox", f, "-t", "s32", "/dev/null"]))
    ow, oc = (statistics.median(t[i] for t in ours) for i in (0, 1))
    tw, tc = (statistics.median(t[i] for t in theirs) for i in (0, 1))
    print(f"  {name:<10} wall: pipd-decode {ow * 1000:7.1f} ms  sox {tw * 1000:7.1f} ms"
          f"  ratio {ow / tw:5.2f}   cpu: {oc * 1000:7.1f} ms / {tc * 1000:7.1f} ms"
          f"  ratio {oc / tc:5.2f}")
PY
