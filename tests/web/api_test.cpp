// The web remote's JSON pieces: commands, the queue as served, which
// status records are changes, and the client's runtime file and chunks.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "client/web_client.h"
#include "core/state.h"
#include "web/api.h"
#include "web/status_hub.h"

using namespace pipd;
using namespace pipd::web;
using json = nlohmann::json;

TEST(WebApi, CommandWords) {
    struct row {
        const char *body;
        int32_t word;
    };
    for (auto r : {row{R"({"command":"on"})", PLAYER_ACTION_POWER_ON},
                   row{R"({"command":"off"})", PLAYER_ACTION_POWER_OFF},
                   row{R"({"command":"pause"})", PLAYER_ACTION_PAUSE},
                   row{R"({"command":"next"})", PLAYER_ACTION_NEXT},
                   row{R"({"command":"prev"})", PLAYER_ACTION_PREV},
                   row{R"({"command":"repeat"})", PLAYER_ACTION_REPEAT},
                   row{R"({"command":"next-dir"})", PLAYER_ACTION_NEXT_DIR},
                   row{R"({"command":"prev-dir"})", PLAYER_ACTION_PREV_DIR},
                   row{R"({"command":"play","entry":0})", 0},
                   row{R"({"command":"play","entry":5,"track":0})", 640},
                   row{R"({"command":"play","entry":3,"track":2})", 0x182},
                   row{R"({"command":"play","entry":2047,"track":127})", (2047 << 7) | 127},
                   row{R"({"command":"seek","ms":1000})", INT32_MIN + 1000},
                   row{R"({"command":"seek","ms":1073741823})", INT32_MIN + 0x3FFFFFFF}}) {
        command_request c = parse_command(r.body);
        EXPECT_EQ(c.error, "") << r.body;
        EXPECT_EQ(c.word, r.word) << r.body;
    }
    for (auto bad : {"", "null", "{}", R"({"command":1})", R"({"command":"PLAY"})",
                     R"({"command":"play","entry":1.5})", R"({"command":"play","entry":"1"})",
                     R"({"command":"play","entry":9999999999999})", R"({"command":"seek"})",
                     R"({"command":"seek","ms":"5"})", R"({"command":"seek","ms":1.5})",
                     R"({"command":"seek","ms":1073741824})"})
        EXPECT_NE(parse_command(bad).error, "") << bad;
}

TEST(WebApi, QueueAsServed) {
    auto q = queue_for_api(R"([{"count":"0","title":"media/pi/a.wav"},)"
                           R"({"cue":["x \"y\"","z"],"cueoffset":["0","1500"],"count":"128",)"
                           R"("title":"media/pi/b.wav"}])");
    ASSERT_TRUE(q);
    EXPECT_EQ(*q, json::parse(R"({"entries":[{"entry":0,"path":"media/pi/a.wav"},
        {"entry":1,"path":"media/pi/b.wav","tracks":[{"track":0,"title":"x \"y\"","start":0},
        {"track":1,"title":"z","start":1500}]}]})"));
    EXPECT_EQ(*queue_for_api("[]"), json::parse(R"({"entries":[]})"));
    for (auto bad : {"", "{}", "[1]", R"([{"count":"0"}])", "[{\"title\":\"a"})
        EXPECT_FALSE(queue_for_api(bad)) << bad;
}

TEST(WebApi, WhichRecordsAreChanges) {
    auto rec = [](const char *status, const char *els, const char *track = "media/pi/a.wav") {
        return json{{"status", status}, {"els", els}, {"track", track}, {"repeat", "0"}};
    };
    EXPECT_EQ(classify(rec("play", "1000"), rec("play", "1000")), record_change::none);
    EXPECT_EQ(classify(rec("play", "1000"), rec("play", "1180")), record_change::elapsed);
    EXPECT_EQ(classify(rec("play", "1000"), rec("play", "900")), record_change::shift);
    EXPECT_EQ(classify(rec("play", "1000"), rec("play", "9000")), record_change::shift);
    EXPECT_EQ(classify(rec("play", "1000"), rec("pause", "1000")), record_change::shift);
    EXPECT_EQ(classify(rec("play", "1000"), rec("play", "1010", "media/pi/b.wav")),
              record_change::shift);
    EXPECT_EQ(classify(json(), rec("play", "0")), record_change::shift);

    // Events: each shift and each new elapsed second; daemon comings and goings.
    status_hub hub;
    EXPECT_TRUE(hub.put_record(rec("play", "0").dump()));
    uint64_t v = hub.view().version;
    EXPECT_TRUE(hub.view().daemon);
    hub.put_record(rec("play", "400").dump());
    hub.put_record(rec("play", "999").dump());
    EXPECT_EQ(hub.view().version, v);
    EXPECT_NE(hub.view().record.find("999"), std::string::npos) << "the newest record is kept";
    hub.put_record(rec("play", "1001").dump());
    EXPECT_EQ(hub.view().version, v + 1);
    hub.put_record(rec("pause", "1001").dump());
    EXPECT_EQ(hub.view().version, v + 2);
    EXPECT_FALSE(hub.put_record("{ \"status\":\"pl"));
    EXPECT_EQ(hub.view().version, v + 2);
    hub.put_daemon_gone();
    EXPECT_FALSE(hub.view().daemon);
    EXPECT_EQ(hub.view().version, v + 3);
}

TEST(WebClient, RuntimeFileAndChunks) {
    web_address a{"::1", 8080, 42};
    auto back = parse_web_runtime(format_web_runtime(a));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->host, "::1");
    EXPECT_EQ(back->port, 8080);
    EXPECT_EQ(back->pid, 42);
    for (auto bad : {"", "127.0.0.1 8080\n", "127.0.0.1 0 5\n", "127.0.0.1 70000 5\n",
                     "127.0.0.1 80 5 x\n", "127.0.0.1 80 -5\n"})
        EXPECT_FALSE(parse_web_runtime(bad)) << bad;

    std::string raw = "5\r\nhello\r\n3;ext\r\n wo\r\n4\r\nrl", out;
    EXPECT_TRUE(take_chunks(raw, out));
    EXPECT_EQ(out, "hello wo");
    EXPECT_EQ(raw, "4\r\nrl");
    raw += "d!\r\n0\r\n\r\n";
    EXPECT_FALSE(take_chunks(raw, out)) << "the last chunk ends the stream";
    EXPECT_EQ(out, "hello world!");
    std::string broken = "zz\r\nabc", ignored;
    EXPECT_FALSE(take_chunks(broken, ignored));
}
