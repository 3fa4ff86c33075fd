#!/usr/bin/env bash
# Writes the seed corpus of the web remote's fuzz target into DIR: behind the
# byte that picks the parser (0 a command body, 1 a request head, 2 a queue
# report), bodies of every command and refused ones, heads with and without
# a body and past the limits, and queue reports as the daemon writes them.
# usage: fuzz/make_web_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_web_seeds.sh DIR}
mkdir -p "$out"
python3 - "$out" <<'PY'
import os, sys
out = sys.argv[1]
n = 0

def put(kind, text):
    global n
    n += 1
    with open(os.path.join(out, '%d-%02d' % (kind, n)), 'wb') as f:
        f.write(bytes([kind]) + (text.encode() if isinstance(text, str) else text))

for body in ['{"command":"next"}', '{"command":"prev-dir"}', '{"command":"on"}',
             '{"command":"play","entry":3,"track":2}', '{"command":"play","entry":2047}',
             '{"command":"play","entry":-1}', '{"command":"play","entry":1.5,"track":"1"}',
             '{"command":"play","entry":0,"track":128}', '{"command":"dance"}',
             '[1,2]', '{"command":', '{"command":null,"entry":1e999}',
             '{"command":"play","entry":18446744073709551615}', '\ufeff{"command":"off"}']:
    put(0, body)

body = '{"command":"pause"}'
for head in ['POST /api/command HTTP/1.1\r\nHost: pi\r\nContent-Type: application/json\r\n'
             'Content-Length: %d\r\n\r\n%s' % (len(body), body),
             'GET /api/queue HTTP/1.1\r\nHost: pi\r\n\r\n',
             'GET /events HTTP/1.1\r\nAccept: text/event-stream\r\n',
             'POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n',
             'POST / HTTP/1.1\r\ncontent-length: 4\r\nContent-Length:  4 \r\n\r\nabcd',
             'POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n',
             'POST / HTTP/1.1\r\nContent-Length: 4097\r\n\r\n',
             'POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n',
             'POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n',
             'GET / HTTP/1.1\n\r\n',
             'GET /' + 'a' * 8200,
             'GET / HTTP/1.1\r\n' + 'X: y\r\n' * 70 + '\r\n']:
    put(1, head)

for report in ['[]',
               '[{"count":"0","title":"media/pi/a.wav"},{"cue":["x \\"y\\"","z"],'
               '"cueoffset":["0","1500"],"count":"128","title":"media/pi/b.wav"}]',
               '[{"count":"-5","title":"media/pi/\u5927.flac","cue":[1,null],"cueoffset":["x"]}]',
               '[{"count":"99999999999999999999","title":"t"}]',
               '[{"title":"a","cue":["a","b","c"],"cueoffset":["0"]}]',
               '[{"count":"0"}]', '{}', '[{"title":"\\ud800"}]']:
    put(2, report)
PY
