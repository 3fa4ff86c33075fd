// The client's pieces: the queue report, the status line, status records
// split from the pipe, command words into the pipe, seek times.

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "client/command_pipe.h"
#include "client/control.h"
#include "client/now_playing.h"
#include "client/queue_report.h"
#include "client/status_source.h"
#include "protocol/status.h"
#include "support/files.h"

using namespace pipd::client;

TEST(Client, QueueAndStatusLine) {
    auto q = parse_queue(R"([{"title":"a.wav"},{"title":"b\u001b.flac","cue":["x","y","z"],)"
                         R"("cueoffset":["0","61000"]}])");
    ASSERT_TRUE(q);
    ASSERT_EQ(q->size(), 2u);
    EXPECT_EQ((*q)[1].title, "b\\x1b.flac");
    EXPECT_EQ((*q)[1].cue_ms, (std::vector<long>{0, 61000})); // tracks without a start dropped
    EXPECT_FALSE(parse_queue("[1]"));
    auto st = [](const char *state, const char *track, long els, long len) {
        status s;
        s.state = state, s.track = track, s.elapsed_ms = els, s.length_ms = len;
        return s;
    };
    for (auto [s, line] :
         {std::pair{st("play", "b\\x1b.flac", 62000, 124000),
                    "play     2/2  b\\x1b.flac - y  1:02 / 2:04 [##########----------]"},
          {st("pause", "c.wav", 3725000, 0), "pause    c.wav  1:02:05"},
          {st("poweroff", "a.wav", 5000, 9000), "poweroff 1/2  a.wav"}})
        EXPECT_EQ(status_line(s, *q), line);
}

TEST(Client, StatusRecordsAcrossReads) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string records(2 * pipd::STATUS_SIZE, '\0');
    records.replace(0, 4, "{\"a\"");
    records.replace(pipd::STATUS_SIZE, 3, "{\"b");
    status_record_reader reader(4);
    std::vector<std::string> got;
    auto each = [&got](std::string_view r) { got.emplace_back(r); };
    ASSERT_EQ(write(p[1], records.data(), 1000), 1000);
    EXPECT_EQ(reader.read_from(p[0], each), 1000);
    EXPECT_TRUE(got.empty()); // no record whole yet
    const long rest = static_cast<long>(records.size()) - 1000;
    ASSERT_EQ(write(p[1], records.data() + 1000, rest), rest);
    EXPECT_EQ(reader.read_from(p[0], each), rest);
    EXPECT_EQ(got, (std::vector<std::string>{"{\"a\"", "{\"b"}));
    close(p[1]);
    EXPECT_EQ(reader.read_from(p[0], each), 0);
    close(p[0]);
}

TEST(Client, CommandWordsIntoThePipe) {
    pipd::testing::TempDir tree;
    std::string fifo = tree.path("cmd");
    EXPECT_EQ(write_command_word(fifo.c_str(), 1).error, ENOENT);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(write_command_word(fifo.c_str(), 1).error, ENXIO); // nobody reads it
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(write_command_word(fifo.c_str(), 0x40000001).what, command_write::taken);
    int32_t word = 0;
    EXPECT_EQ(read(reader, &word, 4), 4);
    EXPECT_EQ(word, 0x40000001);
    close(reader);
}

TEST(Client, SeekTimes) {
    struct row {
        const char *text;
        int sign;
        int64_t ms;
    };
    for (auto r : {row{"0", 0, 0}, row{"12.5", 0, 12500}, row{"+7", 1, 7000}, row{"-0.25", -1, 250},
                   row{"1:05", 0, 65000}, row{"90:00.0019", 0, 5400001},
                   row{"-1:02:03", -1, 3723000}, row{"999999999", 0, 999999999000}}) {
        auto t = parse_seek_time(r.text);
        ASSERT_TRUE(t) << r.text;
        EXPECT_EQ(t->sign, r.sign) << r.text;
        EXPECT_EQ(t->ms, r.ms) << r.text;
    }
    for (auto bad : {"", "+", "-", "x", "1e3", "0x10", " 1", "1.", ".5", "1:5", "1:60",
                     "1:02:03:04", "1:", ":30", "+-1", "1.5:00", "1000000000", "inf"})
        EXPECT_FALSE(parse_seek_time(bad)) << bad;
}

TEST(Client, HeadlineFromTags) {
    now_playing n;
    n.name = "album.wav - Two";
    n.elapsed_ms = 83000, n.length_ms = 296000;
    EXPECT_EQ(headline(n), "album.wav - Two  1:23 / 4:56");
    n.tags = pipd::meta::track_meta{};
    n.tags->title = "Ti\x1btle", n.tags->album = "Alb";
    EXPECT_EQ(headline(n, false), "Ti\\x1btle (Alb)");
    n.tags->artist = "Art";
    EXPECT_EQ(headline(n), "Art — Ti\\x1btle (Alb)  1:23 / 4:56");
    EXPECT_EQ(tags_json(n.tags).dump(),
              R"({"album":"Alb","albumartist":null,"artist":"Art","date":null,"discnumber":null,)"
              R"("duration":null,"genre":null,"title":"Ti\u001btle","tracknumber":null})");
}
