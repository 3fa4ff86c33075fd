#!/bin/bash
# pipd-web's memory with a queue of 2,000 tagged files with covers, once its
# background thread has read them all, and how long the first answers take
# while it reads: /api/queue, /api/tracks for the entries a page shows, and
# /api/track of an entry not read yet.
# usage: bench/web_meta_memory.sh [ENTRIES]   (from the source root)
set -euo pipefail
entries=${1:-2000}
per_folder=20
for tool in cmake sox flac metaflac curl python3; do
    command -v "$tool" >/dev/null || { echo "web_meta_memory: $tool is needed" >&2; exit 1; }
done

# A build of its own, optimised and without sanitizers, in a private tree.
build=build/bench-web
root=$PWD/$build/root
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_TESTS=OFF -DPIPD_MAN=OFF \
      -DPIPD_ROOT="$root" >/dev/null
cmake --build "$build" --target pipd-web >/dev/null

media=$root/media/pi/bench
mkdir -p "$root/tmp"
rm -f "$root/tmp/queue" "$root/tmp/pipd-web"
if [ ! -f "$media/.made-$entries" ]; then
    rm -rf "$media"
    mkdir -p "$media"
    sox -n -r 44100 -c 2 -b 16 "$media/tone.wav" synth 2 sine 440
    flac -s -o "$media/tone.flac" "$media/tone.wav"
    # Folders of per_folder files, each folder with a cover of random pixels
    # (about 300 KiB, as a photo would be).
    python3 - "$media" "$entries" "$per_folder" <<'EOF'
import os, shutil, struct, sys, zlib
media, entries, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
for n in range(entries):
    folder = os.path.join(media, f"Artist {n // per:03d}", f"Album {n // per:03d}")
    if n % per == 0:
        os.makedirs(folder)
        w = h = 320
        rows = b"".join(b"\0" + os.urandom(3 * w) for _ in range(h))
        with open(os.path.join(folder, "cover.png"), "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                    + chunk(b"IDAT", zlib.compress(rows, 1)) + chunk(b"IEND", b""))
    shutil.copyfile(os.path.join(media, "tone.flac"), os.path.join(folder, f"{n % per + 1:02d} Track.flac"))
EOF
    n=0
    for f in "$media"/Artist*/Album*/*.flac; do
        metaflac --set-tag="TITLE=Track number $n with a title of some length" \
                 --set-tag="ARTIST=Artist ${f#*Artist }" --set-tag="ALBUM=Album $((n / per_folder))" \
                 --set-tag="ALBUMARTIST=Various" --set-tag="TRACKNUMBER=$((n % per_folder + 1))" \
                 --set-tag=DATE=2001 --set-tag=GENRE=Jazz "$f"
        n=$((n + 1))
    done
    touch "$media/.made-$entries"
fi

# The queue as the daemon reports it.
python3 - "$root" "$media" >"$root/tmp/queue" <<'EOF'
import glob, json, os, sys
root, media = sys.argv[1], sys.argv[2]
files = sorted(glob.glob(os.path.join(media, "Artist*/Album*/*.flac")))
print(json.dumps([{"count": str(i * 128), "title": os.path.relpath(f, root)} for i, f in enumerate(files)]))
EOF

"$build/pipd-web" --listen 127.0.0.1:0 >"$build/web_meta_memory.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null || true' EXIT
for _ in $(seq 500); do [ -s "$root/tmp/pipd-web" ] && break; sleep 0.01; done
read -r host port _ <"$root/tmp/pipd-web"
url=http://$host:$port
ms() { curl -s -o /dev/null -w '%{time_total}' "$url$1" | awk '{ printf "%.1f", $1 * 1000 }'; }
field() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$pid/status"; }

echo "pipd-web with $entries tagged FLAC files, a ~300 KiB cover per folder of $per_folder"
echo "  at start: VmRSS $(field VmRSS) KiB"
echo "  first /api/queue: $(ms /api/queue) ms"
echo "  first /api/tracks (40 entries, none read yet): $(ms '/api/tracks?from=0&count=40') ms"
echo "  /api/track of an entry not read yet, while the thread reads: $(ms "/api/track?entry=$((entries - 7))") ms"
echo "  /api/tracks of 40 entries while the thread reads: $(ms "/api/tracks?from=$((entries / 2))&count=40") ms"
t0=$(date +%s%N)
for _ in $(seq 6000); do
    pending=0
    for ((from = 0; from < entries; from += 500)); do
        p=$(curl -s "$url/api/tracks?from=$from&count=500" | python3 -c 'import json,sys; print(json.load(sys.stdin)["pending"])')
        pending=$((pending + p))
    done
    [ "$pending" = 0 ] && break
    sleep 0.5
done
t1=$(date +%s%N)
echo "  all read after $(( (t1 - t0) / 1000000 )) ms (pending: $pending)"
# Covers through the cache: one per folder, more than its 16 MiB hold.
for ((n = 0; n < entries; n += per_folder)); do curl -s -o /dev/null "$url/api/art?entry=$n"; done
echo "  /api/art answer: $(curl -s -o /dev/null -w '%{http_code} %{content_type} %{size_download} bytes' "$url/api/art?entry=0")"
echo "  /api/art of an entry not cached: $(ms "/api/art?entry=$((entries - 1))") ms, cached: $(ms "/api/art?entry=$((entries - 1))") ms"
echo "  after reading all and serving $((entries / per_folder)) covers: VmRSS $(field VmRSS) KiB, VmHWM $(field VmHWM) KiB"
