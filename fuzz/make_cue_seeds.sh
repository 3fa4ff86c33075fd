#!/usr/bin/env bash
# Writes the seed corpus of the cue sheet fuzz target into DIR: small sheets
# as burning programs and people write them (album and track texts, CRLF
# lines, a byte-order mark, GB2312 and UTF-8 titles, many tracks, the forms
# of INDEX) and odd ones (cut lines, long texts, numbers out of range, a
# text keyword that ends the sheet). The target reads each file as a sheet.
# usage: fuzz/make_cue_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_cue_seeds.sh DIR}
mkdir -p "$out"
python3 - "$out" <<'PY'
import os, sys
out = sys.argv[1]

def put(name, text, encoding='utf-8', newline='\n', bom=b''):
    data = text.replace('\n', newline).encode(encoding)
    with open(os.path.join(out, name), 'wb') as f:
        f.write(bom + data)

def track(n, title, time, performer=None):
    s = '  TRACK %02d AUDIO\n    TITLE "%s"\n' % (n, title)
    if performer:
        s += '    PERFORMER "%s"\n' % performer
    if n > 1:
        s += '    INDEX 00 %s\n' % time
    return s + '    INDEX 01 %s\n' % time

def mmssff(i):
    return '%02d:%02d:%02d' % (i * 3 // 60, i * 3 % 60, i * 7 % 75)

album = 'REM GENRE Pop\nREM DATE 1998\nPERFORMER "The Band"\nTITLE "The Album"\n' \
        'SONGWRITER "Someone"\nFILE "The Album.wav" WAVE\n'
put('plain', album + ''.join(track(i, 'Song %d' % i, mmssff(i)) for i in range(1, 5)))
put('crlf-bom', album + track(1, 'One', '00:00:00') + track(2, 'Two', '04:31:74', 'Guest'),
    newline='\r\n', bom=b'\xef\xbb\xbf')
put('utf8', 'PERFORMER "Björk Guðmundsdóttir"\nTITLE "Ærø ünïcödé ♪ 夜曲"\n'
    'FILE "x.flac" WAVE\n' + track(1, 'Ōsaka — 大阪', '00:00:00')
    + track(2, 'Ελληνικά', '02:10:00'), bom=b'\xef\xbb\xbf')
put('gb2312', 'PERFORMER "乐队"\nTITLE "专辑名称"\nFILE "专辑名称.ape" WAVE\n'
    + track(1, '第一首歌', '00:00:00') + track(2, '夜晚', '05:42:33')
    + track(3, '晴天', '09:17:50'), encoding='gb2312', newline='\r\n')
# Characters GBK has and GB2312 lacks.
put('gbk', 'PERFORMER "喆"\nTITLE "體"\n' + track(1, '喆體', '00:00:00'), encoding='gbk')
put('99-tracks', 'TITLE "Many"\n' + ''.join(track(i, 'T%d' % i, mmssff(i)) for i in range(1, 100)))
put('120-tracks', ''.join('TRACK %d AUDIO\nINDEX 01 %d:00:00\n' % (i, i) for i in range(1, 121)))
put('index-forms', 'TRACK 01 AUDIO\nINDEX 01 7\nTRACK 02 AUDIO\nINDEX 01 1:2\n'
    'TRACK 03 AUDIO\nINDEX 01 -3:00:00\nTRACK 04 AUDIO\nINDEX 01 99999999999:99:99\n'
    'TRACK 05 AUDIO\nINDEX 01\nTRACK 06 AUDIO\n\tINDEX\t01\t00:01:02\n'
    'TRACK 07 AUDIO\nINDEX 01    12:34:56\nTRACK 08 AUDIO\nINDEX 01 +1:-2:x\n')
put('index-before-track', 'INDEX 01 01:00:00\nTITLE "Album"\nTRACK 01 AUDIO\n')
put('long-lines', 'TITLE "' + 'A' * 300 + '"\nTRACK 01 AUDIO\nPERFORMER ' + 'b' * 100
    + '\nSONGWRITER "' + '长' * 60 + '"\nINDEX 01 00:00:' + '0' * 90 + '1\n')
put('open-quote', 'TRACK 01 AUDIO\nTITLE "no end\nPERFORMER"\nSONGWRITER x"y"z\n')
put('ends-sheet', 'TRACK 01 AUDIO\nTITLE "kept"\nTRACK 02 AUDIO\nTITLE\nTRACK 03 AUDIO\n')
put('no-newline', 'TRACK 01 AUDIO\nTITLE "last line"\nINDEX 01 00:00:01')
put('lowercase', 'track 01 audio\ntitle "x"\nindex 01 00:00:00\n')
with open(os.path.join(out, 'bytes'), 'wb') as f:
    f.write(b'TRACK 01 AUDIO\nTITLE "\xff\xfe\x00nul"\nTRACK 02\rAUDIO\r\rTITLE "\xc0\xaf\xed\xa0\x80"\n'
            b'TITLE "\xb0\xa1\xb0"\n\n\n')
PY
