// The web remote's options, the guards every request passes and its routes,
// each a function of its own over the state they share.
#pragma once

#include <atomic>
#include <cstdint>
#include <httplib.h>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <time.h>
#include <utility>
#include <vector>

#include "core/paths.h"
#include "web/meta_cache.h"
#include "web/status_hub.h"

namespace pipd::web {

// ---- Options

struct options {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string token;
    std::vector<std::string> allowed_hosts;
};

bool numeric_host(const std::string &h);
// --listen ADDR:PORT into o; false when it is not a numeric address and port.
bool parse_listen(const std::string &text, options &o);
std::string lower(std::string s);
// Whether a request with this Host header is served under one of names.
bool host_allowed(const std::string &header, const std::vector<std::string> &names);
// The names served: this machine's (bare and with .local) and the options'.
std::vector<std::string> served_names(const std::vector<std::string> &extra);
// Where a local client reaches a server listening on host.
std::string local_host(const std::string &host);
std::string url_of(const std::string &host, int port);
// The addresses a phone on the local network may use.
std::vector<std::string> lan_addresses(bool v6_too);

// ---- Responses

void send_json(httplib::Response &res, int status, const std::string &body);
void send_error(httplib::Response &res, int status, const std::string &message);
const char *reason_text(int status);
// Compares without leaving the place of the first difference in the time.
bool same_secret(const std::string &a, const std::string &b);
// The media type of a Content-Type, lower case, without its parameters.
std::string media_type(const std::string &content_type);

// The queue file, read again only when it changed.
class queue_cache {
  public:
    explicit queue_cache(std::string path = QUEUE_FILE_PATH);
    // The queue as served, or an error status with its message.
    std::pair<int, std::string> get();
    // Its entries; null, with the error status and message, when get() fails.
    std::shared_ptr<const queue_items> items(std::pair<int, std::string> *error = nullptr);

  private:
    const std::string path_;
    std::mutex mutex_;
    std::string body_;
    std::shared_ptr<const queue_items> items_;
    ino_t ino_ = 0;
    off_t size_ = 0;
    timespec mtime_{};
};

// Writes one command word; an error message when the daemon cannot take it.
std::string write_command(int32_t word);
bool shows_power_on(const std::string &record);
// A status view as one server-sent event.
std::string event_text(const status_view &v);

// ---- Routes

// What the routes share.
struct web_routes {
    web_routes(status_hub &h, queue_cache &q, meta_cache &m, const options &o)
        : hub(h), queue(q), meta(m), opt(o), names(served_names(o.allowed_hosts)) {}
    status_hub &hub;
    queue_cache &queue;
    meta_cache &meta;
    const options &opt;
    const std::vector<std::string> names;
    std::string sink_status_path = SINK_STATUS_PATH;
    std::mutex command_mutex;
    std::atomic<int> streams{0};
};

// Before the body is read: the name the server is asked under (all
// requests), and a command's token.
httplib::Server::HandlerResponse guard_host(const web_routes &w, const httplib::Request &req,
                                            httplib::Response &res);
httplib::Server::HandlerResponse guard_token(const web_routes &w, const httplib::Request &req,
                                             httplib::Response &res);

void get_status(web_routes &w, httplib::Response &res);
void get_queue(web_routes &w, httplib::Response &res);
void get_events(web_routes &w, httplib::Response &res);
// The outputs of the running pipd-sink.
void get_outputs(web_routes &w, httplib::Response &res);
// The tags of an entry or cue track, or of what plays; those of a range of
// entries as far as they are known; an entry's cover.
void get_track(web_routes &w, const httplib::Request &req, httplib::Response &res);
void get_tracks(web_routes &w, const httplib::Request &req, httplib::Response &res);
void get_art(web_routes &w, const httplib::Request &req, httplib::Response &res);
void post_command(web_routes &w, const httplib::Request &req, httplib::Response &res);

// One file of the page, under its exact path (and "/" for /index.html).
void add_page_file(httplib::Server &svr, const char *path, const char *type,
                   const unsigned char *data, std::size_t size);
// The guards, the API's routes, the refusals of wrong methods on its paths,
// and the error answers.
void add_routes(httplib::Server &svr, web_routes &w);

} // namespace pipd::web
