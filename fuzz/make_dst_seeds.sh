#!/usr/bin/env bash
# Writes the seed corpus of the DST frame fuzz target into DIR: every frame
# of the shared DST sample files, behind the control byte that gives its
# channel count and rate, and a few of them cut short or with a flipped bit.
# usage: fuzz/make_dst_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_dst_seeds.sh DIR}
media=$(cd "$(dirname "$0")/../.." && pwd)/shared/media
mkdir -p "$out"
python3 - "$out" "$media" <<'PY'
import glob, os, struct, sys
out, media = sys.argv[1], sys.argv[2]
rates = {64: 0, 128: 1, 256: 2}

def chunks(b, pos, end):
    while pos + 12 <= end:
        cid, size = b[pos:pos + 4], struct.unpack(">Q", b[pos + 4:pos + 12])[0]
        yield cid, pos + 12, size
        pos += 12 + size + (size & 1)

n = 0
for path in sorted(glob.glob(os.path.join(media, "dst-*.dff"))):
    b = open(path, "rb").read()
    channels = rate = None
    for cid, body, size in chunks(b, 16, len(b)):
        if cid == b"PROP":
            for pid, pbody, psize in chunks(b, body + 4, body + size):
                if pid == b"FS  ":
                    rate = struct.unpack(">I", b[pbody:pbody + 4])[0] // 44100
                if pid == b"CHNL":
                    channels = struct.unpack(">H", b[pbody:pbody + 2])[0]
        if cid == b"DST " and channels and rate in rates:
            control = bytes([(channels - 1) | rates[rate] << 4])
            for k, (fid, fbody, fsize) in enumerate(chunks(b, body, body + size)):
                if fid != b"DSTF" or k > 3:
                    continue
                frame = b[fbody:fbody + fsize]
                variants = [frame, frame[: len(frame) // 2]]
                flipped = bytearray(frame)
                flipped[min(40, len(frame) - 1)] ^= 0x10
                variants.append(bytes(flipped))
                for v in variants:
                    open(os.path.join(out, "seed-%03d" % n), "wb").write(control + v)
                    n += 1
PY
