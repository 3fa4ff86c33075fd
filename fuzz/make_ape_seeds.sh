#!/usr/bin/env bash
# Writes the seed corpus of the APE fuzz target into DIR: small files made by
# the reference encoder (jmac) at every level from generated sources, each
# behind the control byte of the fuzz input (0: play, odd: play with a
# pending seek of (control >> 1) * 97 ms).
# usage: fuzz/make_ape_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_ape_seeds.sh DIR}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

enc() { # name control level sox-format-options... -- sox-effects...
    local name=$1 control=$2 level=$3
    shift 3
    local fmt=()
    while [ "$1" != -- ]; do fmt+=("$1"); shift; done
    shift
    sox -R -D -n "${fmt[@]}" -t wavpcm "$work/t.wav" "$@"
    # jmac exits 0 also when it fails: its output is checked.
    jmac "$level" "$work/t.wav" "$work/t.ape" >"$work/log" 2>&1 || true
    if [ "$(head -c 4 "$work/t.ape" 2>/dev/null)" != "MAC " ]; then
        echo "make_ape_seeds: jmac failed for $name" >&2
        cat "$work/log" >&2
        return 1
    fi
    printf "\\x$(printf %02x "$control")" > "$out/$name"
    cat "$work/t.ape" >> "$out/$name"
    rm -f "$work/t.ape"
}

# Short sources (a few hundred samples, one frame each): an input costs what
# it decodes, and the fuzz target stops every input after 10 chunks of at
# most 1024 samples (ape_fuzz.cpp). Every seed decodes at least one whole
# frame within that.
for level in c1000 c2000 c3000 c4000; do
    enc "s16-$level" 0 "$level" -r 44100 -b 16 -c 2 -- synth 0.02 sine 220 sine 330 gain -6
done
enc s24-c4000 0 c4000 -r 48000 -b 24 -c 2 -- synth 0.02 pinknoise gain -10
enc u8-mono-c3000 0 c3000 -r 22050 -b 8 -c 1 -- synth 0.04 sine 440 gain -3
# Two frames (73728 samples each at these levels), a seek by the seek table
# to 1746 ms, into the second (decoded from its start: 3006 samples
# skipped, 2646 played).
enc u8-two-frames-seek 37 c2000 -r 44100 -b 8 -c 1 -- synth 1.8 sine 100 gain -30
enc silence-two-frames 37 c2000 -r 44100 -b 16 -c 2 -- trim 0 1.8
# An ID3v2 tag of 23 bytes (not a whole number of words) in front.
{ printf '\x00ID3\x03\x00\x00\x00\x00\x00\x0d'; head -c 13 /dev/zero; tail -c +2 "$out/s16-c2000"; } > "$out/id3-s16-c2000"
