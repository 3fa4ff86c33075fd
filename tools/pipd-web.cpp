// pipd-web: the web remote. A small HTTP server that serves one page (built
// into the program), the player's status and queue as JSON, a live event
// stream, and takes commands, which it writes into the command pipe.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "client/web_client.h"
#include "core/diag.h"
#include "core/paths.h"
#include "web/routes.h"
#include "web/server.h"
#include "web/status_hub.h"

// The page and its assets (generated at build time from web/).
struct web_asset {
    const char *path;
    const char *type;
    const unsigned char *data;
    std::size_t size;
};
extern const web_asset WEB_ASSETS[];
extern const std::size_t WEB_ASSET_COUNT;

namespace {

const char usage_text[] =
    "usage: pipd-web [--listen ADDR:PORT] [--token TOKEN] [--allow-host NAME]...\n"
    "\n"
    "Serves the web remote of pipd: a page to open in a browser, and its API\n"
    "(GET /api/status, /api/queue, /api/events, /api/track, /api/tracks and\n"
    "/api/art, POST /api/command).\n"
    "It is the one reader of the status pipe; pipd-ctl asks it while it runs.\n"
    "\n"
    "  --listen ADDR:PORT  numeric address and port to listen on (default\n"
    "                      127.0.0.1:8080, this machine only; 0.0.0.0:8080 opens\n"
    "                      it to the local network; port 0 picks a free port)\n"
    "  --token TOKEN       every command must carry \"Authorization: Bearer TOKEN\"\n"
    "                      (the page asks for it once and remembers it)\n"
    "  --allow-host NAME   a host name the page may be opened under; numeric\n"
    "                      addresses, localhost and this machine's name (also\n"
    "                      with .local) always may, other names are refused so\n"
    "                      that no web site can reach the server through its own\n"
    "                      name (DNS rebinding)\n"
    "  --help              this text\n"
    "  --version           the version of pipd-web\n";

// ---- Signals ------------------------------------------------------------

sigset_t stop_signals() {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    sigaddset(&s, SIGHUP);
    return s;
}

} // namespace

int main(int argc, char **argv) {
    pipd::web::options opt;
    // The tag reader's messages go to the log with the server's own.
    pipd::diag_set_stream(stderr);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("pipd-web %s\n", PIPD_VERSION_TEXT);
            return 0;
        }
        if (a == "--listen" && i + 1 < argc && pipd::web::parse_listen(argv[i + 1], opt)) {
            ++i;
        } else if (a == "--token" && i + 1 < argc && argv[i + 1][0]) {
            opt.token = argv[++i];
        } else if (a == "--allow-host" && i + 1 < argc && argv[i + 1][0]) {
            opt.allowed_hosts.emplace_back(argv[++i]);
        } else {
            std::fprintf(stderr, "pipd-web: bad argument %s\n\n%s", a.c_str(), usage_text);
            return 64;
        }
    }
    // A client that goes away mid-response must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    // Few threads do real work at a time: keep malloc's arenas few.
    mallopt(M_ARENA_MAX, 2);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Every thread made from here on leaves the stop signals to sigwait.
    sigset_t sigs = stop_signals();
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    pipd::web::status_hub hub;
    pipd::web::status_reader reader(hub, pipd::STATUS_FIFO_PATH);
    pipd::web::queue_cache queue;
    // Tags and covers, read ahead by one thread of low priority.
    pipd::web::meta_cache meta;
    meta.start();
    pipd::web::web_routes routes(hub, queue, meta, opt);

    pipd::web::server svr;
    // The page: only the built-in assets, looked up by exact path.
    for (std::size_t i = 0; i < WEB_ASSET_COUNT; ++i)
        pipd::web::add_page_file(svr, WEB_ASSETS[i].path, WEB_ASSETS[i].type, WEB_ASSETS[i].data,
                                 WEB_ASSETS[i].size);
    pipd::web::add_routes(svr, routes);

    int port = svr.bind_listen(opt.host, opt.port);
    if (port < 0) {
        std::fprintf(stderr, "pipd-web: cannot listen on %s port %d: %s\n", opt.host.c_str(),
                     opt.port, std::strerror(errno));
        return 1;
    }
    if (!reader.start()) {
        std::fprintf(stderr, "pipd-web: cannot start the status reader\n");
        return 1;
    }
    pipd::web::web_address self{pipd::web::local_host(opt.host), port, static_cast<long>(getpid())};
    if (!pipd::web::write_web_runtime(pipd::WEB_RUNTIME_PATH, self))
        std::fprintf(stderr, "pipd-web: cannot write %s: local clients will not find it\n",
                     pipd::WEB_RUNTIME_PATH);
    std::printf("pipd-web: listening on %s\n", pipd::web::url_of(self.host, port).c_str());
    if (opt.host == "0.0.0.0" || opt.host == "::")
        for (const std::string &a : pipd::web::lan_addresses(opt.host == "::"))
            std::printf("pipd-web: on the local network: %s\n", pipd::web::url_of(a, port).c_str());

    std::thread stopper([&] {
        int sig = 0;
        sigwait(&sigs, &sig);
        hub.stop(); // ends the event streams at once
        svr.stop();
    });
    bool ok = svr.listen_after_bind();
    // The listener ended (a signal, or it failed): stop the rest.
    if (stopper.joinable()) {
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    }
    hub.stop();
    reader.stop();
    meta.stop();
    pipd::web::remove_web_runtime(pipd::WEB_RUNTIME_PATH, self.pid);
    std::printf("pipd-web: stopped\n");
    return ok ? 0 : 1;
}
