#include "core/cuesheet.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <iconv.h>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_tree.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

// text (UTF-8) in the given charset, through glibc's converter.
std::string encode(const std::string &text, const char *charset) {
    iconv_t cd = iconv_open(charset, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string in = text, out(text.size() * 4 + 16, '\0');
    char *ip = in.data(), *op = out.data();
    std::size_t il = in.size(), ol = out.size();
    std::size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1)) return {};
    out.resize(out.size() - ol);
    return out;
}

class Cue : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tree.ok());
        sheet = std::make_unique<cue_sheet>();
    }
    int parse(const std::string &text, const std::string &name = "x.cue") {
        return parse_cuesheet(tree.write(name, text).c_str(), sheet.get());
    }
    const cue_track &track(int n) const { return sheet->tracks[n - 1]; }

    TempDir tree;
    std::unique_ptr<cue_sheet> sheet;
};

TEST_F(Cue, GbTextIsConvertedToUtf8) {
    std::string title = encode("中文标题", "GB2312");
    std::string artist = encode("歌手", "GB2312");
    // 喆 and 體 are not in GB2312 but are in GBK, the code page such sheets
    // are usually written in.
    std::string gbk = encode("喆體", "GBK");
    ASSERT_FALSE(title.empty());
    ASSERT_FALSE(gbk.empty());
    std::string text = "PERFORMER \"" + artist + "\"\r\nTITLE \"" + title +
                       "\"\r\nFILE \"x.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n    TITLE \"" + gbk +
                       "\"\r\n    INDEX 01 00:00:00\r\n";
    ASSERT_EQ(parse(text), 1);
    EXPECT_STREQ(sheet->title, "中文标题");
    EXPECT_STREQ(sheet->performer, "歌手");
    EXPECT_STREQ(track(1).title, "喆體");
    EXPECT_STREQ(track(1).performer, "歌手");
}

TEST_F(Cue, GbLineTooLongWhenConvertedKeepsItsBytes) {
    // 30 GB characters: 60 bytes in the sheet, 90 as UTF-8, which does not
    // fit the 80-byte conversion buffer.
    std::string raw;
    for (int i = 0; i < 30; ++i) raw += encode("题", "GB2312");
    ASSERT_EQ(raw.size(), 60u);
    ASSERT_EQ(parse("TITLE \"" + raw + "\"\n"), 0);
    EXPECT_EQ(std::string(sheet->title), raw);
}

TEST_F(Cue, Utf8SheetKeepsItsText) {
    const std::string body = "TITLE \"Café Müller\"\nPERFORMER Ørjan Nåde\nTRACK 01 AUDIO\n"
                             "TITLE \"Señora – ½ “quoted”\"\nSONGWRITER \"Dvořák\"\n";
    for (const std::string &bom : {std::string("\xEF\xBB\xBF"), std::string()}) {
        SCOPED_TRACE(bom.empty() ? "without BOM" : "with BOM");
        ASSERT_EQ(parse(bom + body), 1);
        EXPECT_STREQ(sheet->title, "Café Müller");
        EXPECT_STREQ(sheet->performer, "Ørjan Nåde");
        EXPECT_STREQ(track(1).title, "Señora – ½ “quoted”");
        EXPECT_STREQ(track(1).songwriter, "Dvořák");
    }
    // The mark is skipped only at the start of the file.
    ASSERT_EQ(parse("\xEF\xBB\xBFTITLE a\nTITLE \xEF\xBB\xBF"
                    "b\n"),
              0);
    EXPECT_STREQ(sheet->title, "\xEF\xBB\xBF"
                               "b");
}

TEST_F(Cue, StartTimesCountThirteenMsPerFrame) {
    ASSERT_EQ(parse("INDEX 01 09:09:09\n"   // before the first track: ignored
                    "TRACK 05 AUDIO\n"      // numbered by order, not by the sheet
                    "  INDEX 00 01:00:00\n" // only INDEX 01 counts
                    "  INDEX 01 03:25:74\n"
                    "TRACK 01 AUDIO\n"
                    "  INDEX 01 00:00:01\n"
                    "  INDEX 01 0010:02:00\n" // a second one replaces the first
                    "TRACK 02 AUDIO\n"),
              3);
    EXPECT_EQ(track(1).start, 205962); // 3*60000 + 25*1000 + 74*13
    EXPECT_EQ(track(2).start, 602000);
    EXPECT_EQ(track(3).start, 0);
}

TEST_F(Cue, IndexWithMissingOrPartialTime) {
    ASSERT_EQ(parse("TRACK 01\nINDEX 01 00:02:00\nINDEX 01\n"    // no time: unchanged
                    "TRACK 02\nINDEX 01 00:03:00\nINDEX 01   \n" // blanks only: unchanged
                    "TRACK 03\nINDEX 01 03\n"                    // minutes only
                    "TRACK 04\nINDEX 01 03:25\n"                 // no frames
                    "TRACK 05\nINDEX 01 xx:yy\n"                 // no numbers
                    "TRACK 06\nINDEX 01 99999999999:9999999999:99999999999\n"
                    "TRACK 07\nINDEX 01 -5:00:00\n"
                    "TRACK 08\nINDEX 01\tx\n"), // no space after 01
              8);
    EXPECT_EQ(track(1).start, 2000);
    EXPECT_EQ(track(2).start, 3000);
    EXPECT_EQ(track(3).start, 180000);
    EXPECT_EQ(track(4).start, 205000);
    EXPECT_EQ(track(5).start, 0);
    EXPECT_EQ(track(6).start, INT32_MAX);
    EXPECT_EQ(track(7).start, 0);
    EXPECT_EQ(track(8).start, 0);
}

TEST_F(Cue, LastLineWithoutLineFeedIsNotParsed) {
    ASSERT_EQ(parse("TRACK 01 AUDIO\nINDEX 01 01:00:00\nTRACK 02 AUDIO\nINDEX 01 02:00:00"), 2);
    EXPECT_EQ(track(1).start, 60000);
    EXPECT_EQ(track(2).start, 0);
    EXPECT_EQ(parse("TRACK 01 AUDIO"), 0);
    EXPECT_EQ(parse(""), 0);
}

TEST_F(Cue, AtMostNinetyNineTracks) {
    std::string text;
    for (int i = 1; i <= 120; ++i)
        text += "TRACK " + std::to_string(i) + " AUDIO\nTITLE \"T" + std::to_string(i) +
                "\"\nINDEX 01 00:" + std::to_string(i) + ":00\n";
    ASSERT_EQ(parse(text), 99);
    EXPECT_STREQ(track(98).title, "T98");
    EXPECT_EQ(track(98).start, 98000);
    EXPECT_STREQ(track(99).title, "");
    EXPECT_EQ(track(99).start, 0);
}

TEST_F(Cue, LongLinesAreCutAt79Bytes) {
    const std::string filler79 = "REM " + std::string(75, 'x');
    // 80 bytes fill the buffer: the line keeps 79 of them, the 80th is lost,
    // and the rest of the line is a line of its own.
    ASSERT_EQ(parse(filler79 + "!TITLE \"after the cut\"\nTRACK\n"), 1);
    EXPECT_STREQ(sheet->title, "after the cut");
    ASSERT_EQ(parse(filler79 + "TITLE \"lost its T\"\nTRACK\n"), 1);
    EXPECT_STREQ(sheet->title, "");

    // A line of exactly 79 bytes is whole.
    std::string value(71, 'v');
    ASSERT_EQ(parse("TITLE \"" + value + "\"\n"), 0);
    EXPECT_EQ(std::string(sheet->title), value);

    // A UTF-8 line cut inside a character is no longer UTF-8, and read as GB
    // text it would not fit the conversion buffer: its bytes stay as they are.
    ASSERT_EQ(parse("TITLE \"" + std::string(70, 'a') + "中\"\n"), 0);
    EXPECT_EQ(std::string(sheet->title), std::string(70, 'a') + "\xE4\xB8");
}

TEST_F(Cue, AlbumPerformerAndSongwriterAreInherited) {
    ASSERT_EQ(parse("PERFORMER \"Band\"\nSONGWRITER \"Writer\"\nTITLE \"Album\"\n"
                    "TRACK 01 AUDIO\nTITLE \"One\"\n"
                    "TRACK 02 AUDIO\nTITLE \"Two\"\nPERFORMER \"Guest\"\n"
                    "TRACK 03 AUDIO\nSONGWRITER \"Other\"\nSONGWRITER \"Later\"\n"),
              3);
    EXPECT_STREQ(sheet->title, "Album");
    EXPECT_STREQ(track(1).performer, "Band");
    EXPECT_STREQ(track(1).songwriter, "Writer");
    EXPECT_STREQ(track(2).performer, "Guest");
    EXPECT_STREQ(track(2).title, "Two");
    EXPECT_STREQ(track(3).performer, "Band");
    EXPECT_STREQ(track(3).songwriter, "Later");
    EXPECT_STREQ(track(3).title, "");
}

TEST_F(Cue, TitleValues) {
    ASSERT_EQ(parse("TRACK\n  TITLE \"Quoted Name\"  trailing\n"
                    "TRACK\n\tTITLE Quoted Name\n"
                    "TRACK\nTITLE \"Open quote to the end\n"
                    "TRACK\nTITLE   spaced\n"
                    "TRACK\nTITLE \"\"\n"),
              5);
    EXPECT_STREQ(track(1).title, "Quoted Name");
    EXPECT_STREQ(track(2).title, "Quoted Name");
    EXPECT_STREQ(track(3).title, "Open quote to the end");
    EXPECT_STREQ(track(4).title, "  spaced"); // the value starts after the first space
    EXPECT_STREQ(track(5).title, "");

    // A text line with neither a quote nor a space ends the sheet.
    ASSERT_EQ(parse("TRACK\nTITLE\nTRACK\nTRACK\n"), 1);
    ASSERT_EQ(parse("TRACK\nPERFORMER\tx\nTRACK\n"), 1);
}

TEST_F(Cue, UnreadableSheetsGiveNoTracks) {
    sheet->count = 7;
    EXPECT_EQ(parse_cuesheet(tree.path("missing.cue").c_str(), sheet.get()), 0);
    EXPECT_EQ(sheet->count, 7); // left alone
    EXPECT_EQ(parse_cuesheet(tree.dir("dir.cue").c_str(), sheet.get()), 0);

    std::string locked = tree.write("locked.cue", "TRACK\nTRACK\n");
    ::chmod(locked.c_str(), 0);
    auto r = pipd::testing::run_unprivileged([&] {
        cue_sheet s{};
        return parse_cuesheet(locked.c_str(), &s) == 0;
    });
    if (r == pipd::testing::Unprivileged::unavailable) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(r, pipd::testing::Unprivileged::passed);
}

TEST_F(Cue, BinaryGarbageIsHarmless) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 20; ++round) {
        std::string junk(4096 + round * 997, '\0');
        for (char &c : junk) c = static_cast<char>(rng());
        // Give the keywords a chance among the noise.
        for (std::size_t pos = 0; pos + 40 < junk.size(); pos += 301)
            junk.replace(pos, 16, round % 2 ? "\nTITLE \"\xB5\xDA\xD2\xBB" : "\nINDEX 01 9:\xFF:");
        int n = parse(junk);
        EXPECT_GE(n, 0);
        EXPECT_LE(n, 99);
        for (int i = 0; i < n; ++i) EXPECT_LT(std::strlen(track(i + 1).title), 241u);
    }
}

// Only the first MiB of a sheet is read: what was parsed up to there stands.
TEST_F(Cue, OnlyTheFirstMebibyteIsRead) {
    const std::string head = "TITLE \"Album\"\nTRACK 01 AUDIO\nTITLE \"One\"\nINDEX 01 01:00:00\n";
    // Tracks after the first MiB are not seen.
    std::string text = head;
    while (text.size() < CUE_READ_MAX + 100) text += "REM padding padding padding padding\n";
    EXPECT_EQ(parse(text + "TRACK 02 AUDIO\nTITLE \"Two\"\n"), 1);
    EXPECT_STREQ(track(1).title, "One");
    EXPECT_EQ(track(1).start, 60000);

    // A sparse file of 8 GiB with a sheet's name, and 10 MiB without a line feed.
    const std::string sparse = tree.write("sparse.cue", head);
    ASSERT_EQ(truncate(sparse.c_str(), off_t{8} << 30), 0);
    EXPECT_EQ(parse_cuesheet(sparse.c_str(), sheet.get()), 1);
    EXPECT_STREQ(sheet->title, "Album");
    std::string piece = "TITLE \"" + encode("中文标题", "GB2312") + "\" ";
    std::string big;
    while (big.size() < (10u << 20)) big += piece;
    EXPECT_EQ(parse(big + "\nTRACK 01\n"), 0);
    EXPECT_LT(std::strlen(sheet->title), 80u);
}

} // namespace
