#!/usr/bin/env bash
# Writes the seed corpus of the MP3 fuzz target into DIR: short MP3 files
# made by lame from sox tones, in the shapes the codec meets (CBR, VBR,
# free format, mono, MPEG-2 rates, tags; with lame's info frame and LAME
# tag or without, -t), each behind the control byte of the fuzz input (0:
# play, odd: play with a pending seek: through the info frame's seek table,
# or a walk over the frame headers when there is none).
# usage: fuzz/make_mp3_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_mp3_seeds.sh DIR}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

seed() { # name control rate channels lame-options...
    local name=$1 control=$2 rate=$3 ch=$4
    shift 4
    sox -n -r "$rate" -c "$ch" -b 16 "$work/t.wav" synth 0.3 sine 440 sine 1300 gain -3
    lame --quiet "$@" "$work/t.wav" "$work/t.mp3"
    printf "\\x$(printf %02x "$control")" > "$out/$name"
    cat "$work/t.mp3" >> "$out/$name"
}
seed cbr320-44100 0 44100 2 -b 320
seed cbr128-48000-seek 21 48000 2 -b 128 -m j
seed cbr32-mono 0 44100 1 -b 32 --resample 44.1
seed vbr-22050 0 22050 2 -V 4 -t
seed free-format 0 44100 2 --freeformat -b 320 -t
seed mpeg25-8000 0 8000 1 -b 16 -t
seed tagged 0 32000 2 -b 96 --tt Title --ta Artist --add-id3v2
seed vbr-info 0 44100 2 -V 2
seed vbr-info-seek 5 44100 2 -V 6
seed mpeg2-info-seek 3 22050 1 -V 4
seed cbr-walk-seek 7 44100 2 -b 64 -t
