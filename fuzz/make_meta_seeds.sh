#!/usr/bin/env bash
# Writes the seed corpus of the tag reader's fuzz target into DIR: short
# files tagged by the reference tools (metaflac, lame, jmac with
# python3-mutagen's APEv2 and WAV tags; mutagen's ID3 tags in DSF and
# DSDIFF containers written here), each behind the byte that chooses its
# kind: 0 FLAC, 1 MP3, 2 APE, 3 WAV, 4 DSF, 5 DSDIFF, 6 disc image (its
# bytes from sector 510 on; made by fuzz/make_sacd_seeds.sh).
# usage: fuzz/make_meta_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_meta_seeds.sh DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C.UTF-8

seed() { # name kind file
    { printf "\\x$(printf %02x "$2")"; cat "$3"; } >"$out/$1"
}

sox -n -r 8000 -c 2 -b 16 -t wavpcm "$work/t.wav" synth 0.05 sine 440
flac -s -f -o "$work/t.flac" "$work/t.wav"
metaflac --set-tag='TITLE=Größe ☃' --set-tag=ARTIST=A --set-tag=ALBUM=B --set-tag=ALBUMARTIST=C \
    --set-tag=TRACKNUMBER=3/9 --set-tag=DISCNUMBER=1 --set-tag=DATE=1999 --set-tag=GENRE=Jazz \
    "$work/t.flac"
seed flac-tags 0 "$work/t.flac"
for enc in utf16 latin1; do
    lame --quiet --id3v2-only "--id3v2-$enc" --tt Größe --ta Öl --tl B --tn 3/9 --tv TPE2=C \
        "$work/t.wav" "$work/t.mp3"
    seed "mp3-$enc" 1 "$work/t.mp3"
done
lame --quiet --id3v1-only --tt Plain --ta Old "$work/t.wav" "$work/t.mp3"
seed mp3-v1 1 "$work/t.mp3"
# jmac exits 0 also when it fails: without its output the tag sits on a bare header.
jmac c2000 "$work/t.wav" "$work/t.ape" >/dev/null 2>&1 || true
[ -s "$work/t.ape" ] || printf 'MAC ' >"$work/t.ape"

/usr/bin/python3 - "$work" <<'PY'
import struct, sys
from mutagen.apev2 import APEv2
from mutagen.dsdiff import DSDIFF
from mutagen.dsf import DSF
from mutagen.id3 import ID3, TIT2, TPE1, TALB, TPE2, TRCK, APIC
from mutagen.wave import WAVE
work = sys.argv[1]

ape = APEv2()
ape.update({"Title": "Größe", "Artist": "A", "Album": "B", "Track": "3"})
ape.save(f"{work}/t.ape")

def id3_frames(tags):
    tags.add(TIT2(encoding=1, text="Größe ☃"))
    tags.add(TPE1(encoding=3, text="A"))
    tags.add(TALB(encoding=0, text="B"))
    tags.add(TPE2(encoding=3, text="C"))
    tags.add(TRCK(encoding=3, text="3/9"))
    tags.add(APIC(encoding=3, mime="image/png", type=3, desc="",
                  data=b"\x89PNG\r\n\x1a\n" + bytes(40)))

w = WAVE(f"{work}/t.wav")
w.add_tags()
id3_frames(w.tags)
w.save()

data = bytes(range(256)) * 64
h = b"DSD " + struct.pack("<QQQ", 28, 92 + len(data), 0)
h += b"fmt " + struct.pack("<QIIIIII", 52, 1, 0, 2, 2, 2822400, 1)
h += struct.pack("<QII", len(data) * 4, 4096, 0) + b"data" + struct.pack("<Q", len(data) + 12)
open(f"{work}/t.dsf", "wb").write(h + data)
f = DSF(f"{work}/t.dsf")
f.add_tags()
id3_frames(f.tags)
f.save()

def chunk(cid, body):
    return cid + struct.pack(">Q", len(body)) + body + (b"\0" if len(body) & 1 else b"")
prop = chunk(b"PROP", b"SND " + chunk(b"FS  ", struct.pack(">I", 2822400)) +
             chunk(b"CHNL", struct.pack(">H", 2) + b"SLFTSRGT") + chunk(b"CMPR", b"DSD \x0enot compressed\0"))
diin = chunk(b"DIIN", chunk(b"DIAR", struct.pack(">I", 6) + "Ärt".encode("latin-1") + b"ist") +
             chunk(b"DITI", struct.pack(">I", 6) + "Tïtle".encode()))
body = b"DSD " + chunk(b"FVER", struct.pack(">I", 0x01050000)) + prop + diin + chunk(b"DSD ", data)
open(f"{work}/t.dff", "wb").write(chunk(b"FRM8", body))
f = DSDIFF(f"{work}/t.dff")
f.add_tags()
id3_frames(f.tags)
f.save()
dst = b"DSD " + prop.replace(b"DSD \x0e", b"DST \x0e") + diin + chunk(
    b"DST ", chunk(b"FRTE", struct.pack(">IH", 2, 75)) + chunk(b"DSTF", bytes(64)) * 2)
open(f"{work}/dst.dff", "wb").write(chunk(b"FRM8", dst))
PY
seed ape-apev2 2 "$work/t.ape"
seed wav-id3 3 "$work/t.wav"
seed dsf-id3 4 "$work/t.dsf"
seed dff-id3-diin 5 "$work/t.dff"
seed dst-diin 5 "$work/dst.dff"

# Disc images: the sacd target's seeds, each behind the kind byte of an image.
bash "$root/fuzz/make_sacd_seeds.sh" "$work/sacd" >/dev/null 2>&1 || true
for f in "$work"/sacd/*; do
    [ -f "$f" ] || continue
    control=$(head -c 1 "$f" | od -An -tu1 | tr -d ' ')
    { printf "\\x$(printf %02x $((control & 2 ? 13 : 6)))"; tail -c +2 "$f"; } \
        >"$out/iso-$(basename "$f")"
done
