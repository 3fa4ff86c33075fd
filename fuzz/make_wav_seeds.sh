#!/usr/bin/env bash
# Writes the seed corpus of the WAV fuzz target into DIR: small WAV files of
# the layouts the codec knows (made by sox), each behind the control byte of
# the fuzz input (0: play, odd: play with a pending seek).
# usage: fuzz/make_wav_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_wav_seeds.sh DIR}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

seed() { # name control sox-options...
    local name=$1 control=$2
    shift 2
    sox -n "$@" "$work/t.wav" synth 0.05 sine 440 gain -3
    printf "\\x$(printf %02x "$control")" > "$out/$name"
    cat "$work/t.wav" >> "$out/$name"
}
seed s16-44100 0 -r 44100 -b 16 -c 2
seed s16-44100-seek 21 -r 44100 -b 16 -c 2
seed u8-mono-8000 0 -r 8000 -b 8 -c 1
seed s24-96000 0 -r 96000 -b 24 -c 2
seed s32-48000 3 -r 48000 -b 32 -c 1
seed ext-s24-6ch 0 -r 48000 -b 24 -c 6
