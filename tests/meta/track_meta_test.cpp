// The tag reader over files tagged by the reference tools, and damaged ones.
#include <cstring>
#include <gtest/gtest.h>

#include "meta/track_meta.h"
#include "support/dsd_files.h"
#include "support/flac_files.h"
#include "support/sacd_image.h"

namespace pipd::testing {
namespace {

// The fields joined by '|', "-" for one missing, "none" for no tags at all.
std::string fields(const std::optional<meta::track_meta> &m) {
    if (!m) return "none";
    std::string out;
    for (const auto *f : {&m->title, &m->artist, &m->album, &m->album_artist, &m->track_number,
                          &m->disc_number, &m->date, &m->genre})
        out += (out.empty() ? "" : "|") + f->value_or("-");
    return out;
}

// Tags a file: "ape" (APEv2), "info" (a WAV's LIST/INFO chunk), "22" (an
// ID3v2.2 tag put before it), "prop" (moves a DSDIFF's last chunk, its "ID3 "
// one, into its PROP chunk), else ID3v2.N by mutagen with KEY=ENCODING:TEXT.
constexpr const char *TAGGER = R"(import sys, struct, mutagen, mutagen.apev2
from mutagen.id3 import Frames
f, mode, *kv = sys.argv[1:]
kv = [i.split("=", 1) for i in kv]
d = open(f, "rb").read()
if mode == "ape":
    t = mutagen.apev2.APEv2(); t.update(dict(kv)); t.save(f)
elif mode == "info":
    b = b"INFO" + b"".join(k.encode() + struct.pack("<I", len(v) + 1) + v.encode() + b"\0" * (1 + (len(v) + 1) % 2) for k, v in kv)
    d += b"LIST" + struct.pack("<I", len(b)) + b
    open(f, "wb").write(d[:4] + struct.pack("<I", len(d) - 8) + d[8:])
elif mode == "22":
    b = b"".join(k.encode() + struct.pack(">I", len(v) + 1)[1:] + b"\0" + v.encode("latin-1") for k, v in kv)
    open(f, "wb").write(b"ID3\2\0\0" + bytes(len(b) >> s & 127 for s in (21, 14, 7, 0)) + b + d)
elif mode == "prop":
    p, i = d.index(b"PROP"), d.rindex(b"ID3 ")
    n = struct.unpack(">Q", d[p + 4:p + 12])[0]
    d = d[:p + 4] + struct.pack(">Q", n + len(d) - i) + d[p + 12:p + 12 + n] + d[i:] + d[p + 12 + n:i]
    open(f, "wb").write(d[:4] + struct.pack(">Q", len(d) - 12) + d[12:])
else:
    m = mutagen.File(f)
    if m.tags is None: m.add_tags()
    for k, v in kv: m.tags.add(Frames[k](encoding=int(v[0]), text=v[2:]))
    m.save(v2_version=int(mode))
)";

TEST(TrackMeta, GeneratedFilesGiveTheirFieldsInUtf8) {
    for (const char *tool : {"sox", "flac", "metaflac", "lame", "jmac", "iconv"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " missing";
    std::string python = "/usr/bin/python3";
    if (std::system("python3 -c 'import mutagen' 2>/dev/null") == 0)
        python = "python3";
    else if (std::system((python + " -c 'import mutagen' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "python3-mutagen missing";
    std::string euros; // 1200 bytes, cut to 341 whole characters
    for (int i = 0; i < 400; ++i) euros += "€";
    const std::string flac = "flac -s -o $OUT.flac $SRC && metaflac ";
    const std::string lame = "lame --quiet --id3v2-only ";
    // The sheets of the cue rows: in UTF-8 and in GB18030; $OUT's track 2 and 1.
    const std::string sheet =
        "printf 'PERFORMER \"AA\"\\nTITLE \"Alb\"\\nTRACK 01 AUDIO\\n"
        "TRACK 02 AUDIO\\nTITLE \"Zwei\"\\nPERFORMER \"P2\"\\n' >${OUT%.*}.cue";
    const std::string gb_sheet = "printf 'PERFORMER \"歌手\"\\nTITLE \"专辑\"\\nTRACK 01 AUDIO\\n"
                                 "TITLE \"雪花\"\\n' | iconv -t GB18030 >${OUT%.*}.cue";
    const struct {
        std::string make, want;    // $SRC: a WAV tone; $OUT: the file to make; $D: base files
        const char *ext = nullptr; // else flac or mp3 by the command
        int track = 0;
    } rows[] = {
        {flac + "--set-tag='TITLE=Größe ☃ 雪' --set-tag=ARTIST=Art --set-tag=ALBUM=Alb "
                "--set-tag=ALBUMARTIST=AA --set-tag=TRACKNUMBER=3 --set-tag=DISCNUMBER=2 "
                "--set-tag=DATE=1999 --set-tag=GENRE=Jazz $OUT.flac && mv $OUT.flac $OUT",
         "Größe ☃ 雪|Art|Alb|AA|3|2|1999|Jazz"},
        {flac + "--set-tag=TITLE=" + euros + " $OUT.flac && mv $OUT.flac $OUT",
         euros.substr(0, 1023) + "|-|-|-|-|-|-|-"},
        {lame + "--id3v2-utf16 --tt 'Größe ☃ 雪' --ta Ärtist --tl Alb --tv TPE2=AA --tv TPOS=2/3 "
                "--ty 1999 --tn 3/12 --tg Jazz $SRC $OUT",
         "Größe ☃ 雪|Ärtist|Alb|AA|3/12|2/3|1999|Jazz"},
        {lame + "--id3v2-latin1 --tt Größe --ta Öl $SRC $OUT", "Größe|Öl|-|-|-|-|-|-"},
        {"lame --quiet --id3v1-only --tt Plain --ta Old $SRC $OUT", "Plain|Old|-|-|-|-|-|-"},
        // Damaged: an ID3v2 tag of 17 MiB, a FLAC and an MP3 cut short in their tags.
        {"printf 'ID3\\3\\0\\0\\10\\100\\0\\0' >$OUT && head -c 4096 $SRC >>$OUT", "none"},
        {flac + "--set-tag=TITLE=Cut $OUT.flac && head -c 60 $OUT.flac >$OUT", "none"},
        {lame + "--tt CutShort $SRC $OUT.mp3 && head -c 50 $OUT.mp3 >$OUT", "none"},
        // DSD: ID3v2.4 (UTF-16BE without BOM, Latin-1, UTF-8, UTF-16), v2.3 over
        // DIIN (a Latin-1 artist, a UTF-8 title), DIIN alone, ID3 in PROP, DST.
        {"cp $D/dsd.dsf $OUT && $TAG $OUT 4 TIT2=2:Größe TPE1=3:Art TALB=0:Älb TPE2=1:AA "
         "TRCK=3:4 TPOS=3:1 TDRC=3:2001 TCON=3:Rock",
         "Größe|Art|Älb|AA|4|1|2001|Rock", "dsf"},
        {"cp $D/dsd.dff $OUT && $TAG $OUT 3 TIT2=1:Tagged", "Tagged|Ärts|-|-|-|-|-|-", "dff"},
        {"cp $D/dsd.dff $OUT", "Tïtle|Ärts|-|-|-|-|-|-", "dff"},
        {"cp $D/dsd.dff $OUT && $TAG $OUT 3 TIT2=3:InProp && $TAG $OUT prop",
         "InProp|Ärts|-|-|-|-|-|-", "dff"},
        {"cp $D/dst.dff $OUT", "Tïtle|Ärts|-|-|-|-|-|-", "dff"},
        // APEv2, WAV LIST/INFO and "id3 ", ID3v2.2.
        {"sox $SRC -t wavpcm $OUT.wav && jmac c2000 $OUT.wav $OUT >/dev/null && $TAG $OUT ape "
         "Title=Größe "
         "Artist=A Album=B Track=2 Year=2002 Genre=Pop",
         "Größe|A|B|-|2|-|2002|Pop", "ape"},
        {"cp $SRC $OUT && $TAG $OUT info INAM=Name IART=Who IPRD=Prod", "Name|Who|Prod|-|-|-|-|-",
         "wav"},
        {"cp $SRC $OUT && $TAG $OUT 4 TIT2=3:雪 TPE1=0:Öl", "雪|Öl|-|-|-|-|-|-", "wav"},
        {"lame --quiet $SRC $OUT && $TAG $OUT 22 TT2=Größe TP1=Öl TAL=B", "Größe|Öl|B|-|-|-|-|-"},
        // Cue sheets over the file's own tags; an SACD disc's texts.
        {"cp $SRC $OUT && $TAG $OUT 4 TIT2=3:Own TDRC=3:1999 TCON=3:Jazz && " + sheet,
         "Zwei|P2|Alb|AA|2|-|1999|Jazz", "wav", 2},
        {"flac -s -o $OUT $SRC && " + gb_sheet, "雪花|歌手|专辑|歌手|1|-|-|-", "flac", 1},
        {"cp $D/disc.iso $OUT", "Allegro|Someone|Album ☃|Disc artist|1|-|-|-", "iso", 1},
        // Damaged: a DSF tag pointer past the end, a DSDIFF "ID3 " chunk of
        // 17 MiB, a DIIN text longer than its chunk.
        {"cp $D/far.dsf $OUT", "none", "dsf"},
        {"cp $D/big_id3.dff $OUT", "none", "dff"},
        {"cp $D/bad_diin.dff $OUT", "none", "dff"},
    };
    TempDir dir;
    const std::string src = dir.path("tone.wav");
    ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + src + " synth 0.5 sine 440").c_str()),
              0);
    const bytes sound(352800, 0x69),
        diin = dff_chunk("DIIN",
                         dff_cat({dff_chunk("DIAR", dff_cat({dff_be(4, 4), {0xc4, 'r', 't', 's'}})),
                                  dff_chunk("DITI", dff_cat({dff_be(6, 4),
                                                             {'T', 0xc3, 0xaf, 't', 'l', 'e'}}))}));
    bytes far = dsf_file({.data = sound, .after = bytes(100)});
    store_le(&far[20], far.size() + 1, 8);
    ASSERT_TRUE(
        write_file(dir.path("dsd.dsf"), dsf_file({.data = sound})) &&
        write_file(dir.path("far.dsf"), far) &&
        write_file(dir.path("dsd.dff"),
                   dff_file(dff_cat({dff_standard_prop(), diin, dff_chunk("DSD ", sound)}))) &&
        write_file(dir.path("dst.dff"), dff_file(dff_cat({dff_standard_prop(2822400, 2, "DST "),
                                                          diin, dff_dst(37, 75)}))) &&
        write_file(
            dir.path("big_id3.dff"),
            dff_file(dff_cat({dff_standard_prop(), dff_chunk("ID3 ", bytes(10), 17 << 20)}))) &&
        write_file(dir.path("bad_diin.dff"),
                   dff_file(dff_cat({dff_chunk("DIIN", dff_chunk("DIAR", dff_be(9, 4)))}))) &&
        write_file(dir.path("tag.py"), bytes(TAGGER, TAGGER + std::strlen(TAGGER))));
    auto disc = one_area(sample_tracks());
    disc.album_title = "Album ☃";
    disc.album_artist = "Disc artist";
    disc.areas[0].tracks[0].time = {0, 0, 37};
    ASSERT_TRUE(disc.build().write(dir.path("disc.iso")));
    int n = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.make);
        const std::string ext = r.ext ? r.ext : r.make.rfind("flac", 0) == 0 ? "flac" : "mp3";
        const std::string out = dir.path(std::to_string(n++) + "." + ext);
        std::string cmd = "export LC_ALL=C.UTF-8 SRC=" + src + " OUT=" + out + " D=" + dir.path() +
                          " TAG='" + python + " " + dir.path("tag.py") + "'; " + r.make;
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        const auto m = meta::read_track_meta(out, r.track);
        EXPECT_EQ(fields(m), r.want);
        if (m) {
            EXPECT_NEAR(m->duration_ms.value_or(0), 500, 60);
        }
    }
}

} // namespace
} // namespace pipd::testing
