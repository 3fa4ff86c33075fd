// The tag reader over files tagged by the reference tools, and damaged ones.
#include <gtest/gtest.h>

#include "meta/track_meta.h"
#include "support/flac_files.h"

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

TEST(TrackMeta, GeneratedFilesGiveTheirFieldsInUtf8) {
    for (const char *tool : {"sox", "flac", "metaflac", "lame"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " missing";
    std::string euros; // 1200 bytes, cut to 341 whole characters
    for (int i = 0; i < 400; ++i) euros += "€";
    const std::string flac = "flac -s -o $OUT.flac $SRC && metaflac ";
    const std::string lame = "lame --quiet --id3v2-only ";
    const struct {
        std::string make, want; // $SRC: a WAV tone; $OUT: the file to make
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
    };
    TempDir dir;
    const std::string src = dir.path("tone.wav");
    ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + src + " synth 0.5 sine 440").c_str()),
              0);
    int n = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.make);
        const std::string ext = r.make.rfind("flac", 0) == 0 ? ".flac" : ".mp3";
        const std::string out = dir.path(std::to_string(n++) + ext);
        std::string cmd = "export LC_ALL=C.UTF-8 SRC=" + src + " OUT=" + out + "; " + r.make;
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        const auto m = meta::read_track_meta(out);
        EXPECT_EQ(fields(m), r.want);
        if (m) {
            EXPECT_NEAR(m->duration_ms.value_or(0), 500, 60);
        }
    }
}

} // namespace
} // namespace pipd::testing
