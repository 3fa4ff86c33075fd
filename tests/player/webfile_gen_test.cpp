#include "player/webfile_gen.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/paths.h"
#include "core/state.h"
#include "host/codec_api.h"
#include "player/scan.h"
#include "support/player_state_fixture.h"

using namespace pipd;
using namespace pipd::testing;
using json = nlohmann::json;

namespace {

// The record's text; every byte after it must be zero.
std::string record_text(const char *record) {
    std::size_t n = strnlen(record, STATUS_SIZE);
    EXPECT_LT(n, STATUS_SIZE) << "no terminating zero";
    for (std::size_t k = n; k < STATUS_SIZE; ++k)
        if (record[k] != 0) {
            ADD_FAILURE() << "non-zero byte at " << k;
            break;
        }
    return std::string(record, n);
}

std::string status_now() {
    char record[STATUS_SIZE];
    std::memset(record, 0x5A, sizeof(record)); // the builder must clear it
    std::size_t n = build_status_record(record);
    std::string text = record_text(record);
    EXPECT_EQ(n, text.size());
    return text;
}

json parse_or_fail(const std::string &text) {
    json j = json::parse(text, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not valid JSON: " << text;
    return j;
}

std::string track_of(const std::string &status) {
    json j = parse_or_fail(status);
    return j.is_discarded() ? std::string() : j.at("track").get<std::string>();
}

std::string queue_report() {
    char *buf = nullptr;
    std::size_t size = 0;
    std::FILE *f = open_memstream(&buf, &size);
    EXPECT_TRUE(write_queue_report(f));
    std::fclose(f);
    std::string text(buf, size);
    std::free(buf);
    return text;
}

std::string read_file(const char *path) {
    std::string text;
    if (std::FILE *f = std::fopen(path, "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// Names in <root>/tmp that begin with "queue" other than the queue file.
std::vector<std::string> queue_leftovers() {
    std::vector<std::string> names;
    std::string dir = std::string(ROOT_PREFIX) + "/tmp";
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind("queue", 0) == 0 && name != "queue") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

const std::vector<std::string> SIX_ENTRIES = {
    media("USB/A/01.flac"), media("USB/A/album.flac"), media("USB/A/03.flac"),
    media("USB/B/04.ape"),  media("USB/B/05.wav"),     media("USB/C/disc.iso"),
};

class Reports : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_player_globals();
        set_queue(SIX_ENTRIES);
        filesystem_init = 1;
        poweron = 1;
        plaction = PLAYER_ACTION_NONE;
    }
    void TearDown() override {
        if (statusfd >= 0) close(statusfd);
        statusfd = -1;
        reset_player_globals();
    }
};

} // namespace

// ---- Status record: the texts for ordinary paths, byte for byte ----

TEST_F(Reports, StatusRecordCarriesEveryFieldInOrder) {
    playstat = {plinfo.entries[2].path, 61234, 215000, 24, 2, 96000};
    myrandid = 12345;
    plcnt = 2;
    EXPECT_EQ(status_now(), "{ \"status\":\"play\",\"playqueueCount\":\"6\",\"length\":\"215000\","
                            "\"frequency\":\"96000\",\"bps\":\"24\",\"channel\":\"2\","
                            "\"els\":\"61234\",\"randid\":\"12345\",\"ver\":\"1.003\","
                            "\"repeat\":\"0\",\"roundplay\":\"on\","
                            "\"track\":\"media/pi/USB/A/03.flac\" }");
}

TEST_F(Reports, StatusPieceFollowsPowerAndPause) {
    auto state = [] { return parse_or_fail(status_now()).value("status", ""); };
    plaction = PLAYER_ACTION_PAUSE;
    EXPECT_EQ(state(), "pause");
    plaction = PLAYER_ACTION_RESUME;
    EXPECT_EQ(state(), "play");
    plaction = PLAYER_ACTION_NEXT;
    EXPECT_EQ(state(), "play");
    // Powered off wins over whatever is pending.
    poweron = 0;
    plaction = PLAYER_ACTION_PAUSE;
    EXPECT_EQ(status_now().rfind("{ \"status\":\"poweroff\",\"playqueueCount\":\"6\",", 0), 0u);
    plaction = PLAYER_ACTION_POWER_ON;
    EXPECT_EQ(state(), "poweroff");
}

TEST_F(Reports, StatusShowsRepeatModeAndSignedElapsed) {
    repeatmode = 2;
    playstat.elapsed = 0xFFFFFFF6u;
    std::string s = status_now();
    EXPECT_NE(s.find(",\"els\":\"-10\","), std::string::npos) << s;
    EXPECT_NE(s.find(",\"repeat\":\"2\",\"roundplay\":\"on\","), std::string::npos) << s;
}

TEST_F(Reports, StatusWithoutMedia) {
    clear_list();
    filesystem_init = 0;
    poweron = 0;
    plaction = PLAYER_ACTION_POWER_OFF;
    EXPECT_EQ(status_now(), "{ \"status\":\"poweroff\",\"playqueueCount\":\"0\",\"length\":\"500\","
                            "\"frequency\":\"44100\",\"bps\":\"16\",\"channel\":\"2\","
                            "\"els\":\"0\",\"randid\":\"0\",\"ver\":\"1.003\","
                            "\"repeat\":\"0\",\"roundplay\":\"on\","
                            "\"track\":\"No sd card,or no song\" }");
}

TEST_F(Reports, StatusTrackTexts) {
    // A percent sign is text, never a format.
    set_queue({media("USB/100% pure/%d %s %n.flac")});
    std::string s = status_now();
    EXPECT_NE(s.find("\"track\":\"media/pi/USB/100% pure/%d %s %n.flac\" }"), std::string::npos)
        << s;

    // A disc image: path, " >", image track title; no title yet reads empty.
    set_queue(SIX_ENTRIES);
    plcnt = 5;
    isplayiso = 1;
    iso_psong = "Sonata No. 2";
    EXPECT_EQ(track_of(status_now()), "media/pi/USB/C/disc.iso >Sonata No. 2");
    iso_psong = nullptr;
    EXPECT_EQ(track_of(status_now()), "media/pi/USB/C/disc.iso >");

    // No entry at plcnt: an empty track, still a whole record.
    isplayiso = 0;
    plcnt = 6;
    EXPECT_EQ(track_of(status_now()), "");
    plcnt = -1;
    EXPECT_EQ(track_of(status_now()), "");
}

// ---- Status record: texts that need escaping, and the length limit ----

TEST_F(Reports, StatusTrackIsEscapedJson) {
    set_queue({media("USB/a\"b\\c")});
    EXPECT_NE(status_now().find("\"track\":\"media/pi/USB/a\\\"b\\\\c\" }"), std::string::npos);

    // Quotes, backslashes, percent signs, control characters, DEL, text
    // converted from GB2312 and bytes that are not UTF-8.
    set_queue({media("USB/\"Best\" \\ 50%\n\t\r\b\f\x01\x1f\x7f/\xE6\x99\xB4\xE5\xA4\xA9.ape")});
    std::string s = status_now();
    EXPECT_NE(s.find("\\n\\t\\r\\b\\f\\u0001\\u001f\x7f/"), std::string::npos) << s;
    EXPECT_EQ(track_of(s), "media/pi/USB/\"Best\" \\ 50%\n\t\r\b\f\x01\x1f\x7f/晴天.ape");

    set_queue({media("USB/bad\xFF\xC3|\xE6\x99|\xED\xA0\x80|\xC0\xAF|ok\xF4\x90\x80\x80.wav")});
    isplayiso = 1;
    iso_psong = "\xE5\x91\xA8\"\xFE";
    EXPECT_EQ(track_of(status_now()), "media/pi/USB/bad\uFFFD\uFFFD|\uFFFD\uFFFD|"
                                      "\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD|ok\uFFFD\uFFFD\uFFFD\uFFFD."
                                      "wav >周\"\uFFFD");
}

TEST_F(Reports, OverlongTrackIsCutOnAWholeCharacter) {
    // Units of 6, 3, 2 and 1 bytes in the record; shifting the start moves
    // the cut across every position inside them.
    const std::string unit = "\x01\xE4\xB8\xAD\"a";
    for (int shift = 0; shift < 12; ++shift) {
        std::string path = media(std::string(shift, 'p'));
        while (path.size() + unit.size() < PATH_SIZE) path += unit;
        std::string title;
        while (title.size() < 3000) title += unit;
        set_queue({path});
        isplayiso = 1;
        iso_psong = title.c_str();

        std::string s = status_now();
        ASSERT_LE(s.size(), STATUS_SIZE - 1);
        EXPECT_GT(s.size(), STATUS_SIZE - 1 - 6) << "cut earlier than needed";
        EXPECT_EQ(s.substr(s.size() - 3), "\" }");
        std::string track = track_of(s);
        std::string full = client_path(path.c_str()) + std::string(" >") + title;
        EXPECT_LT(track.size(), full.size());
        EXPECT_EQ(full.compare(0, track.size(), track), 0) << "shift " << shift;
    }
    // The path alone can overflow the record too.
    std::string path = media("");
    while (path.size() < PATH_SIZE - 1) path += '\x02';
    set_queue({path});
    isplayiso = 0;
    std::string s = status_now();
    EXPECT_GT(s.size(), STATUS_SIZE - 1 - 6);
    std::string track = track_of(s);
    EXPECT_EQ(std::string(client_path(path.c_str())).compare(0, track.size(), track), 0);
}

TEST_F(Reports, PathFieldWithoutTerminatorStaysInsideIt) {
    set_queue({media("x")});
    std::memset(plinfo.entries[0].path, 'z', PATH_SIZE);
    std::memset(plinfo.entries[1].path, 'q', 16); // must not leak into the text
    std::string track = track_of(status_now());
    EXPECT_EQ(track, std::string(PATH_SIZE - 1, 'z'));
    EXPECT_EQ(track.find('q'), std::string::npos);
}

// ---- Status pipe ----

TEST_F(Reports, StatusPipeFollowsItsReader) {
    if (!make_private_tmp()) GTEST_SKIP() << "no private root";
    ASSERT_TRUE(make_fifo(STATUS_FIFO_PATH));
    ignore_sigpipe();
    DiagCapture diag;

    // Nobody reads: nothing opens, nothing is printed, records are lost.
    EXPECT_EQ(init_status_fifo(), -1);
    webfile_genstatus();
    EXPECT_EQ(statusfd, -1);
    EXPECT_EQ(diag.take(), "");

    // A reader appears: the next record opens the pipe and arrives whole.
    int reader = open(STATUS_FIFO_PATH, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    plcnt = 3;
    webfile_genstatus();
    ASSERT_GE(statusfd, 0);
    char block[STATUS_SIZE];
    ASSERT_EQ(read(reader, block, sizeof(block)), static_cast<ssize_t>(STATUS_SIZE));
    EXPECT_EQ(track_of(record_text(block)), "media/pi/USB/B/04.ape");

    // A reader that falls behind loses records; the player never waits.
    for (int k = 0; k < 64; ++k) webfile_genstatus();
    EXPECT_GE(statusfd, 0);
    int blocks = 0;
    ssize_t n;
    while ((n = read(reader, block, sizeof(block))) > 0) {
        ASSERT_EQ(n, static_cast<ssize_t>(STATUS_SIZE));
        EXPECT_EQ(record_text(block).rfind("{ \"status\":\"play\"", 0), 0u);
        ++blocks;
    }
    EXPECT_GT(blocks, 0);
    EXPECT_LT(blocks, 64);

    // The reader goes away: the pipe is let go, and opened again once a new
    // reader is there.
    close(reader);
    webfile_genstatus();
    EXPECT_EQ(statusfd, -1);
    webfile_genstatus();
    EXPECT_EQ(statusfd, -1);
    reader = open(STATUS_FIFO_PATH, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    webfile_genstatus();
    EXPECT_GE(statusfd, 0);
    EXPECT_EQ(read(reader, block, sizeof(block)), static_cast<ssize_t>(STATUS_SIZE));
    close(reader);
    EXPECT_EQ(diag.take(), "");
}

TEST_F(Reports, DetachedStatusIsBuiltButNeverSent) {
    if (!make_private_tmp()) GTEST_SKIP() << "no private root";
    ASSERT_TRUE(make_fifo(STATUS_FIFO_PATH));
    ignore_sigpipe();
    int reader = open(STATUS_FIFO_PATH, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_GE(init_status_fifo(), 0);
    status_fifo_detach();
    EXPECT_EQ(statusfd, -1);
    plcnt = 3;
    webfile_genstatus();
    EXPECT_EQ(statusfd, -1) << "no open attempt";
    EXPECT_EQ(track_of(record_text(status_data)), "media/pi/USB/B/04.ape");
    char block[STATUS_SIZE];
    EXPECT_LE(read(reader, block, sizeof(block)), 0);
    close(reader);
}

// ---- Queue report ----

TEST_F(Reports, QueueReportText) {
    set_cues(1, {{"One", 0}, {"Two", 183000}, {"Three", 420500}});
    EXPECT_EQ(queue_report(),
              "[{\"count\":\"0\",\"title\":\"media/pi/USB/A/01.flac\"},"
              "{\"cue\":[\"One\",\"Two\",\"Three\"],\"cueoffset\":[\"0\",\"183000\",\"420500\"],"
              "\"count\":\"128\",\"title\":\"media/pi/USB/A/album.flac\"},"
              "{\"count\":\"256\",\"title\":\"media/pi/USB/A/03.flac\"},"
              "{\"count\":\"384\",\"title\":\"media/pi/USB/B/04.ape\"},"
              "{\"count\":\"512\",\"title\":\"media/pi/USB/B/05.wav\"},"
              "{\"count\":\"640\",\"title\":\"media/pi/USB/C/disc.iso\"}]");

    // A cue count without a list is no cue list.
    set_queue({media("x.wav")});
    plinfo.entries[0].cuecount = 3;
    EXPECT_EQ(queue_report(), "[{\"count\":\"0\",\"title\":\"media/pi/x.wav\"}]");
    plinfo.entries[0].cuecount = 0;

    clear_list();
    EXPECT_EQ(queue_report(), "[]");
}

TEST_F(Reports, QueueReportIsValidJsonForAnyText) {
    set_queue({media("USB/\"Q\" \\ 100%\n.flac"), media("USB/\xE5\x91\xA8\xFF.ape")});
    set_cues(0, {{"Say \"hi\"\t\\", 0}, {"\xE6\x99\xB4\xE5\xA4\xA9", 1000}, {"bad\xC3", 2000}});
    json q = parse_or_fail(queue_report());
    ASSERT_TRUE(q.is_array());
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0]["title"], "media/pi/USB/\"Q\" \\ 100%\n.flac");
    EXPECT_EQ(q[0]["count"], "0");
    EXPECT_EQ(q[0]["cue"], json({"Say \"hi\"\t\\", "晴天", "bad\uFFFD"}));
    EXPECT_EQ(q[0]["cueoffset"], json({"0", "1000", "2000"}));
    EXPECT_EQ(q[1]["title"], "media/pi/USB/周\uFFFD.ape");
    EXPECT_EQ(q[1]["count"], "128");
    EXPECT_FALSE(q[1].contains("cue"));
}

TEST_F(Reports, QueueFileIsReplacedWhole) {
    if (!make_private_tmp()) GTEST_SKIP() << "no private root";
    unlink(QUEUE_FILE_PATH);
    clear_list();
    webfile_genqueue();
    EXPECT_EQ(read_file(QUEUE_FILE_PATH), "[]");

    // A client still reading the old file keeps its whole text; the new one
    // is a different file put in place.
    int old_reader = open(QUEUE_FILE_PATH, O_RDONLY);
    ASSERT_GE(old_reader, 0);
    set_queue(SIX_ENTRIES);
    set_cues(1, even_cues(3, 0, 1000));
    webfile_genqueue();
    EXPECT_EQ(read_file(QUEUE_FILE_PATH), queue_report());
    char buf[16] = {};
    EXPECT_EQ(read(old_reader, buf, sizeof(buf)), 2);
    EXPECT_STREQ(buf, "[]");
    close(old_reader);
    struct stat st {};
    ASSERT_EQ(stat(QUEUE_FILE_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_TRUE(queue_leftovers().empty());
}

TEST_F(Reports, QueueFileStaysWhenItCannotBeReplaced) {
    if (!make_private_tmp()) GTEST_SKIP() << "no private root";
    // Something that cannot be renamed over: a directory with a file in it.
    unlink(QUEUE_FILE_PATH);
    ASSERT_EQ(mkdir(QUEUE_FILE_PATH, 0755), 0);
    std::string inner = std::string(QUEUE_FILE_PATH) + "/keep";
    std::FILE *f = std::fopen(inner.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);

    webfile_genqueue();
    struct stat st {};
    EXPECT_EQ(stat(inner.c_str(), &st), 0);
    EXPECT_TRUE(queue_leftovers().empty()) << "temporary file left behind";

    unlink(inner.c_str());
    rmdir(QUEUE_FILE_PATH);
}
