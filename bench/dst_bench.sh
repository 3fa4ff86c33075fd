#!/usr/bin/env bash
# DST decoding speed: pipd-decode (Release build) as a whole process on
# 60-second DST-compressed DSDIFF files (DSD64 and DSD128 stereo) to 176.4 kHz
# PCM, written to /dev/null. Prints the median wall and CPU times of several
# runs and the speed in times real time by each (goals: at least 40 for
# DSD64, 20 for DSD128, on one core).
# usage: bench/dst_bench.sh [RUNS]     (default 5)
# No DST encoder is at hand, so the files repeat the coded frames of the
# shared sample files (../shared/media) for 60 seconds; every frame is still
# decoded in full. Other processes on the machine disturb the figures: run
# it when quiet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source bench/common.sh
runs=${1:-5}
seconds=60
media=$root/../shared/media
bench_setup dst python3

for rate in 64 128; do
    case $rate in
        64) src=$media/dst-stereo-dsd64-tone.dff ;;
        128) src=$media/dst-stereo-dsd128.dff ;;
    esac
    [ -s "$work/dsd$rate.dff" ] && continue
    python3 - "$src" "$work/dsd$rate.dff" "$seconds" <<'PY'
import struct, sys
src, dst, seconds = sys.argv[1], sys.argv[2], int(sys.argv[3])
b = open(src, "rb").read()

def chunks(pos, end):
    while pos + 12 <= end:
        cid, size = b[pos:pos + 4], struct.unpack(">Q", b[pos + 4:pos + 12])[0]
        yield cid, pos, size
        pos += 12 + size + (size & 1)

head, frames = b"", []
for cid, pos, size in chunks(16, len(b)):
    if cid == b"DST ":
        frames = [b[p:p + 12 + s + (s & 1)] for c, p, s in chunks(pos + 12, pos + 12 + size)
                  if c == b"DSTF"]
    else:
        head += b[pos:pos + 12 + size + (size & 1)]
count = 75 * seconds
body = b"FRTE" + struct.pack(">QIH", 6, count, 75)
body += b"".join(frames[k % len(frames)] for k in range(count))
form = b"DSD " + head + b"DST " + struct.pack(">Q", len(body)) + body
open(dst, "wb").write(b"FRM8" + struct.pack(">Q", len(form)) + form)
PY
done

printf "%-36s %9s %9s %12s %12s\n" file wall cpu "x real time" "(by cpu)"
for rate in 64 128; do
    f=$work/dsd$rate.dff
    "$decoder" "$f" /dev/null >/dev/null 2>&1 || true # warm the page cache
    read -r wall cpu < <(median_times "$decoder" "$f" /dev/null)
    printf "%-36s %8.3fs %8.3fs %12.1f %12.1f\n" "dsd$rate.dff (${seconds} s DST stereo)" "$wall" \
        "$cpu" "$(awk -v s="$seconds" -v t="$wall" 'BEGIN { printf "%.1f", s / t }')" \
        "$(awk -v s="$seconds" -v t="$cpu" 'BEGIN { printf "%.1f", s / t }')"
done
