// The routes and guards of the web remote on an in-process server.

#include <gtest/gtest.h>
#include <httplib.h>
#include <thread>

#include "support/files.h"
#include "web/routes.h"
#include "web/server.h"

using namespace pipd::web;

TEST(WebRoutes, GuardsAndAnswers) {
    pipd::testing::TempDir tree;
    status_hub hub;
    queue_cache queue(tree.write("queue", R"([{"count":"0","title":"media/pi/a.wav"}])"));
    options opt;
    opt.token = "secret";
    meta_cache meta(tree.path());
    web_routes routes(hub, queue, meta, opt);
    server svr;
    add_routes(svr, routes);
    int port = svr.bind_listen("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    std::thread listener([&svr] { svr.listen_after_bind(); });
    hub.put_record(R"({"status":"play"})");

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
             row{"POST", "/api/command", json_type, 401, R"({"error":"a token is needed"})"},
             row{"POST", "/api/command", {{"Authorization", "Bearer wrong"}}, 403, ""},
             row{"POST", "/api/command", {{"Authorization", "Bearer secret"}}, 415, ""},
         }) {
        httplib::Client cli("127.0.0.1", port);
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
    hub.stop();
    svr.stop();
    listener.join();
}
