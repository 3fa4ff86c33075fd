#!/usr/bin/env bash
# Writes the seed corpus of the DSF fuzz target into DIR: small DSF files of
# the shapes the codec meets (both bit orders, a partial last group,
# metadata after the data, DSD128, mono), each behind the control byte of
# the fuzz input (0: play, odd: play with a pending seek).
# usage: fuzz/make_dsf_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_dsf_seeds.sh DIR}
mkdir -p "$out"
python3 - "$out" <<'PY'
import random, struct, sys
out = sys.argv[1]
rng = random.Random(7)

def dsf(data, rate=2822400, channels=2, bits=1, length=None, after=b""):
    length = len(data) if length is None else length
    h = b"DSD " + struct.pack("<QQQ", 28, 92 + len(data) + len(after), 0)
    h += b"fmt " + struct.pack("<QIIIIII", 52, 1, 0, channels, channels, rate, bits)
    h += struct.pack("<QII", length * 8 // channels, 4096, 0)
    h += b"data" + struct.pack("<Q", length + 12)
    return h + data + after

def seed(name, control, content):
    with open(f"{out}/{name}", "wb") as f:
        f.write(bytes([control]) + content)

noise = rng.randbytes(3 * 8192)
seed("lsb-3-groups", 0, dsf(noise))
seed("msb-3-groups-seek", 9, dsf(noise, bits=8))
seed("partial-last-group", 0, dsf(noise[:2 * 8192 + 4096]))
seed("metadata-after", 0, dsf(noise[:8192], after=b"ID3\x03" + rng.randbytes(300)))
seed("long-length", 0, dsf(noise, length=1 << 31))
seed("dsd128", 0, dsf(noise[:8192], rate=5644800))
seed("mono", 0, dsf(noise[:8192], channels=1))
PY
