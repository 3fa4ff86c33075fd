// The routes and guards of the web remote on an in-process server.

#include <gtest/gtest.h>
#include <httplib.h>
#include <thread>

#include "support/files.h"
#include "support/flac_files.h"
#include "web/routes.h"
#include "web/server.h"

using namespace pipd::web;
using json = nlohmann::json;

namespace {

// The routes on a loopback port over a queue file and a media tree in tree.
struct served {
    explicit served(const pipd::testing::TempDir &tree, const std::string &queue_text,
                    meta_readers readers = {})
        : queue(tree.write("queue", queue_text)), meta(tree.path(), std::move(readers)),
          routes(hub, queue, meta, opt) {
        add_routes(svr, routes);
        port = svr.bind_listen("127.0.0.1", 0);
        listener = std::thread([this] { svr.listen_after_bind(); });
    }
    ~served() {
        hub.stop();
        meta.stop();
        svr.stop();
        listener.join();
    }
    httplib::Result get(const std::string &target, const httplib::Headers &headers = {}) {
        return httplib::Client("127.0.0.1", port).Get(target, headers);
    }
    status_hub hub;
    queue_cache queue;
    options opt;
    meta_cache meta;
    web_routes routes;
    server svr;
    int port = 0;
    std::thread listener;
};

} // namespace

TEST(WebRoutes, GuardsAndAnswers) {
    pipd::testing::TempDir tree;
    served s(tree, R"([{"count":"0","title":"media/pi/a.wav"}])");
    s.opt.token = "secret";
    ASSERT_GT(s.port, 0);
    s.hub.put_record(R"({"status":"play"})");
    // A running pipd-sink's outputs (this process stands in for it).
    const std::string own = "pid " + std::to_string(getpid()) + "\n";
    s.routes.sink_status_path = tree.write(
        "pipd-sink", own + "output alsa on - hw:0\noutput snapcast waiting 48000:24:2 /run/a b\n");

    struct row {
        const char *method, *path;
        httplib::Headers headers;
        int status;
        const char *body; // "" for any
    };
    const httplib::Headers json_type = {{"Content-Type", "application/json"}};
    for (const row &r : {
             row{"GET", "/api/status", {}, 200, R"({"status":"play"})"},
             row{"GET", "/api/status", {{"Host", "evil.example"}}, 403, ""},
             row{"GET",
                 "/api/queue",
                 {},
                 200,
                 R"({"entries":[{"entry":0,"path":"media/pi/a.wav"}]})"},
             row{"GET",
                 "/api/outputs",
                 {},
                 200,
                 R"({"outputs":[{"format":null,"kind":"alsa","state":"on","target":"hw:0"},)"
                 R"({"format":"48000:24:2","kind":"snapcast",)"
                 R"("state":"waiting","target":"/run/a b"}]})"},
             row{"POST", "/api/command", json_type, 401, R"({"error":"a token is needed"})"},
             row{"POST", "/api/command", {{"Authorization", "Bearer wrong"}}, 403, ""},
             row{"POST", "/api/command", {{"Authorization", "Bearer secret"}}, 415, ""},
         }) {
        httplib::Client cli("127.0.0.1", s.port);
        httplib::Request req;
        req.method = r.method;
        req.path = r.path;
        req.headers = r.headers;
        if (req.method == "POST") req.body = R"({"command":"next"})";
        auto res = cli.send(req);
        ASSERT_TRUE(res) << r.method << " " << r.path;
        EXPECT_EQ(res->status, r.status) << r.method << " " << r.path;
        if (*r.body) {
            EXPECT_EQ(res->body, r.body) << r.method << " " << r.path;
        }
    }
    // A pipd-sink that is gone plays to nothing.
    s.routes.sink_status_path = tree.write("gone", "pid 999999999\noutput alsa on - hw:0\n");
    EXPECT_EQ(s.get("/api/outputs")->body, R"({"outputs":[]})");
}

// Tags of a FLAC tagged by metaflac, a cover through a stand-in reader, cue
// tracks, what plays, the batch as the background thread fills it, refusals.
TEST(WebRoutes, TracksAndCovers) {
    for (const char *tool : {"sox", "flac", "metaflac"})
        if (!pipd::testing::have_program(tool)) GTEST_SKIP() << tool << " missing";
    pipd::testing::TempDir tree;
    const std::string dir = tree.dir("media/pi/A");
    const std::string hostile = "<img src=x onerror=alert(1)>";
    ASSERT_EQ(std::system(
                  ("cd " + dir +
                   " && sox -n -r 44100 -c 2 -b 16 tone.wav synth 0.5 sine "
                   "440 && flac -s -o t.flac tone.wav && cp t.flac plain.flac && cp t.flac "
                   "cue.flac && metaflac '--set-tag=TITLE=" +
                   hostile +
                   "' --set-tag=ARTIST=Ärtist --set-tag=ALBUM=Alb --set-tag=TRACKNUMBER=3/9 t.flac")
                      .c_str()),
              0);
    const std::string png = "\x89PNG\r\n\x1a\n....";
    served s(
        tree,
        R"([{"count":"0","title":"media/pi/A/t.flac"},{"count":"128","title":"media/pi/A/plain.flac"},)"
        R"({"cue":["One","Two"],"cueoffset":["0","200"],"count":"256","title":"media/pi/A/cue.flac"}])",
        {nullptr, [&](const std::string &file) -> std::optional<pipd::meta::cover_art> {
             // A claimed type is not taken: the bytes tell.
             if (file.ends_with("cue.flac")) return pipd::meta::cover_art{"<svg/>", "image/png"};
             if (!file.ends_with("plain.flac")) return std::nullopt;
             return pipd::meta::cover_art{png, "image/png"};
         }});
    const json tagged = {{"entry", 0},           {"track", nullptr},      {"title", hostile},
                         {"artist", "Ärtist"},   {"album", "Alb"},        {"albumartist", nullptr},
                         {"tracknumber", "3/9"}, {"discnumber", nullptr}, {"date", nullptr},
                         {"genre", nullptr},     {"duration", 500},       {"art", false}};
    json plain = tagged, cue = tagged;
    for (auto f : {"title", "artist", "album", "tracknumber"}) plain[f] = cue[f] = nullptr;
    plain["entry"] = 1;
    plain["art"] = true;
    cue["entry"] = 2;
    cue["track"] = 1;
    cue["duration"] = 300;
    s.hub.put_record(R"({"status":"play","track":"media/pi/A/cue.flac","els":"250"})");
    for (auto [target, body] : {std::pair{"/api/track?entry=0", tagged},
                                {"/api/track?entry=1", plain},
                                {"/api/track?entry=2&track=1", cue},
                                {"/api/track", cue}}) {
        auto res = s.get(target);
        ASSERT_TRUE(res) << target;
        EXPECT_EQ(res->status, 200) << target;
        EXPECT_EQ(json::parse(res->body), body) << target;
    }
    // Status and target.
    for (std::string r :
         {"404 /api/track?entry=9", "404 /api/track?entry=0&track=0", "404 /api/art?entry=0",
          "404 /api/art?entry=2", "404 /api/art?entry=7", "400 /api/track?entry=-1",
          "400 /api/track?entry=1x", "400 /api/track?track=1", "400 /api/track?entry=1&entry=2",
          "400 /api/tracks?from=0", "400 /api/tracks?from=0&count=501", "400 /api/art"}) {
        auto res = s.get(r.substr(4));
        ASSERT_TRUE(res) << r;
        EXPECT_EQ(res->status, std::stoi(r)) << r;
    }

    auto art = s.get("/api/art?entry=1");
    ASSERT_TRUE(art);
    EXPECT_EQ(art->body, png);
    EXPECT_EQ(art->get_header_value("Content-Type"), "image/png");
    EXPECT_EQ(art->get_header_value("X-Content-Type-Options"), "nosniff");
    const std::string etag = art->get_header_value("ETag");
    EXPECT_FALSE(etag.empty());
    auto again = s.get("/api/art?entry=1", {{"If-None-Match", etag}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 304);
    EXPECT_EQ(again->body, "");

    // The background thread fills what the batch did not know, then the batch
    // says what /api/track says. The tags of a file changed since are read again.
    ASSERT_EQ(std::system(("metaflac --set-tag=GENRE=Jazz " + dir + "/t.flac").c_str()), 0);
    s.meta.start();
    json batch;
    for (int i = 0; i < 500; ++i) {
        batch = json::parse(s.get("/api/tracks?from=0&count=10")->body);
        if (batch["pending"] == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    json want = tagged;
    want["genre"] = "Jazz";
    plain["track"] = cue["track"] = cue["duration"] = nullptr;
    cue["duration"] = 500;
    EXPECT_EQ(batch, json({{"from", 0}, {"entries", {want, plain, cue}}, {"pending", 0}}));

    meta_cache small(tree.path(), {}, {2, 1, 512});
    for (auto f : {"t", "plain", "cue"}) small.get("media/pi/A/" + std::string(f) + ".flac", 0);
    EXPECT_EQ(small.held().records, 2u) << "the tag records are bounded";
}
