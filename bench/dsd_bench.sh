#!/usr/bin/env bash
# DSD decoding speed: pipd-decode (Release build) as a whole process on
# generated 60-second stereo files, a DSF and a DSDIFF one for each of DSD64,
# DSD128 and DSD256, written to /dev/null. Prints the median wall and CPU
# times of several runs and the speed in times real time by each (goals on
# one core: DSD64 at least 250, DSD128 150, DSD256 75).
# usage: bench/dsd_bench.sh [RUNS [RATES]]   (default 7 runs; RATES: "64 128 256")
# The DSD bytes are noise-like, so the converter's table reads spread over
# all its tables. Other processes on the machine disturb the figures: run it
# when quiet. The files take about 600 MB in build/bench/dsd-bench.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source bench/common.sh # median_times
runs=${1:-7}
rates=${2:-64 128 256}
build=build/bench
work=$build/dsd-bench
seconds=60
for tool in python3 cmake; do
    command -v "$tool" >/dev/null || { echo "dsd_bench: $tool is needed" >&2; exit 1; }
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_TESTS=OFF >/dev/null
cmake --build "$build" --target pipd-decode >/dev/null
decoder=$build/pipd-decode
mkdir -p "$work"

for r in $rates; do
    [ -s "$work/dsd$r.dsf" ] && [ -s "$work/dsd$r.dff" ] && continue
    python3 - "$work" "$seconds" "$r" <<'PY'
import random, struct, sys
work, seconds, r = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rate = 44100 * r
rng = random.Random(2024)
per_channel = rate // 8 * seconds               # bytes of one channel
groups = -(-per_channel // 4096)                # DSF: blocks of 4096 bytes per channel
data = rng.randbytes(groups * 8192)

h = b"DSD " + struct.pack("<QQQ", 28, 92 + len(data), 0)
h += b"fmt " + struct.pack("<QIIIIII", 52, 1, 0, 2, 2, rate, 1)
h += struct.pack("<QII", per_channel * 8, 4096, 0)
h += b"data" + struct.pack("<Q", len(data) + 12)
with open(f"{work}/dsd{r}.dsf", "wb") as f:
    f.write(h + data)

def chunk(cid, body):
    return cid + struct.pack(">Q", len(body)) + body + (b"\0" if len(body) % 2 else b"")
prop = chunk(b"PROP", b"SND " + chunk(b"FS  ", struct.pack(">I", rate)) +
             chunk(b"CHNL", struct.pack(">H", 2) + b"SLFTSRGT") +
             chunk(b"CMPR", b"DSD \x0enot compressed"))
sound = data[:2 * per_channel]                  # 75 frames a second
form = b"DSD " + chunk(b"FVER", struct.pack(">I", 0x01050000)) + prop
with open(f"{work}/dsd{r}.dff", "wb") as f:
    f.write(b"FRM8" + struct.pack(">Q", len(form) + 12 + len(sound)) + form)
    f.write(b"DSD " + struct.pack(">Q", len(sound)))
    f.write(sound)
PY
done

printf "%-30s %9s %9s %12s %12s\n" file wall cpu "x real time" "(by cpu)"
for r in $rates; do
    for f in "dsd$r.dsf" "dsd$r.dff"; do
        "$decoder" "$work/$f" /dev/null 2>/dev/null # warm the page cache
        read -r wall cpu < <(median_times "$decoder" "$work/$f" /dev/null)
        printf "%-30s %8.3fs %8.3fs %12.1f %12.1f\n" "$f (${seconds} s stereo)" "$wall" "$cpu" \
            "$(awk -v s="$seconds" -v t="$wall" 'BEGIN { printf "%.1f", s / t }')" \
            "$(awk -v s="$seconds" -v t="$cpu" 'BEGIN { printf "%.1f", s / t }')"
    done
done
