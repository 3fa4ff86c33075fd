#!/usr/bin/env bash
# Writes the seed corpus of the FLAC fuzz target into DIR: small files made by
# the reference encoder from generated sources, each behind the control
# byte of the fuzz input (0: play, odd: play with a pending seek).
# usage: fuzz/make_flac_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_flac_seeds.sh DIR}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A deterministic music-like source: frames, channels, bytes per sample.
gen() {
    python3 - "$1" "$2" "$3" "$4" <<'PY'
import math, struct, sys
frames, ch, width, path = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
full = (1 << (8 * width - 1)) - 1
seed = 12345
out = bytearray()
for i in range(frames):
    for c in range(ch):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        noise = (seed / 0x7FFFFFFF - 0.5) * 0.02
        v = 0.4 * math.sin(i * (0.031 + 0.007 * c)) + 0.2 * math.sin(i * 0.173) + noise
        if (i // 700) % 3 == 2:
            v = 0.0
        s = max(-full - 1, min(full, int(v * full)))
        out += (s & ((1 << (8 * width)) - 1)).to_bytes(width, 'little')
open(path, 'wb').write(out)
PY
}

enc() { # name frames channels bytes rate control options...
    local name=$1 frames=$2 ch=$3 bytes=$4 rate=$5 control=$6
    shift 6
    gen "$frames" "$ch" "$bytes" "$work/src.raw"
    flac -s -f --force-raw-format --endian=little --sign=signed --channels="$ch" \
         --bps=$((8 * bytes)) --sample-rate="$rate" "$@" -o "$work/t.flac" "$work/src.raw"
    printf "\\x$(printf %02x "$control")" > "$out/$name"
    cat "$work/t.flac" >> "$out/$name"
}

enc stereo16_l5    3000 2 2 44100 0   -5
enc stereo16_l8    3000 2 2 48000 0   -8 -b 1152 --no-padding
enc stereo16_l0    2000 2 2 44100 0   -0 -b 192 --no-padding
enc stereo16_seek  6000 2 2 44100 7   -5 -b 576 -S 10x
enc stereo16_noseek 6000 2 2 44100 9  -5 -b 576 --no-seektable
enc mono8          3000 1 1 8000  0   -5 -b 1001 --no-padding
enc stereo24       2000 2 3 96000 0   -8
enc stereo24_lax   2000 2 3 96000 0   --lax -l 32 -q 15 -b 4608
enc six16          1500 6 2 48000 0   -5 -b 576 --no-padding
enc three24        1500 3 3 44100 0   -3 -b 1152
enc odd_rate       2000 2 2 37800 0   -5 -b 1024
enc khz_rate       2000 2 2 44000 0   -5 -b 1024

# An ID3v2 tag in front of a stream.
{ printf '\x00ID3\x04\x00\x00\x00\x00\x00\x20'; head -c 32 /dev/zero; tail -c +2 "$out/stereo16_l5"; } > "$out/id3_stereo16"
