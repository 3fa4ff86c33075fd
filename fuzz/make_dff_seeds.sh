#!/usr/bin/env bash
# Writes the seed corpus of the DSDIFF fuzz target into DIR: small DSDIFF
# files of the shapes the reader meets (odd and unknown chunks, a part
# frame, DST, DSD128, mono, a cut sound chunk), each behind the control
# byte of the fuzz input (0: play, odd: play with a pending seek).
# usage: fuzz/make_dff_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_dff_seeds.sh DIR}
mkdir -p "$out"
python3 - "$out" <<'PY'
import random, struct, sys
out = sys.argv[1]
rng = random.Random(9)
FRAME = 9408

def chunk(cid, body, size=None):
    pad = b"\0" if len(body) % 2 else b""
    return cid + struct.pack(">Q", len(body) if size is None else size) + body + pad

def prop(rate=2822400, channels=2, cmpr=b"DSD ", extra=b""):
    body = b"SND " + chunk(b"FS  ", struct.pack(">I", rate))
    body += chunk(b"CHNL", struct.pack(">H", channels) + b"SLFTSRGT"[: 4 * channels])
    body += chunk(b"CMPR", cmpr + b"\x0enot compressed") + extra
    return chunk(b"PROP", body)

def dff(*chunks, size=None):
    body = b"DSD " + b"".join(chunks)
    return chunk(b"FRM8", body, size)

def seed(name, control, content):
    with open(f"{out}/{name}", "wb") as f:
        f.write(bytes([control]) + content)

fver = chunk(b"FVER", struct.pack(">I", 0x01050000))
sound = rng.randbytes(3 * FRAME + 500)
seed("plain", 0, dff(fver, prop(), chunk(b"DSD ", sound)))
seed("plain-seek", 5, dff(fver, prop(), chunk(b"DSD ", sound[:2 * FRAME])))
seed("odd-chunks", 0, dff(chunk(b"COMT", b"abc"), fver,
                          prop(extra=chunk(b"LSCO", b"\1")), chunk(b"DIIN", b"x" * 33),
                          chunk(b"DSD ", sound[:FRAME + 7]), chunk(b"ID3 ", b"ID3\3")))
seed("cut-sound", 0, dff(fver, prop(), chunk(b"DSD ", sound[:FRAME], size=40 * FRAME)))
seed("dst", 0, dff(fver, prop(cmpr=b"DST "),
                   chunk(b"DST ", chunk(b"FRTE", struct.pack(">IH", 2, 75)) +
                         chunk(b"DSTF", sound[:700]) + chunk(b"DSTF", sound[700:1500]))))
seed("dsd128", 0, dff(prop(rate=5644800), chunk(b"DSD ", sound[:2 * FRAME])))
seed("mono", 0, dff(prop(channels=1), chunk(b"DSD ", sound[:FRAME])))
seed("tiny-chunks", 0, dff(prop(extra=chunk(b"TINY", b"") * 200), chunk(b"TINY", b"") * 200,
                           chunk(b"DSD ", sound[:FRAME])))
PY
# The shared DST sample files: frames of a real DST encoder, plain and coded.
media=$(cd "$(dirname "$0")/../.." && pwd)/shared/media
for f in "$media"/dst-*.dff; do
    [ -f "$f" ] || continue
    { printf '\0'; cat "$f"; } >"$out/$(basename "$f" .dff)"
done
