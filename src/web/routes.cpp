#include "web/routes.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "client/command_pipe.h"
#include "core/sink_status.h"
#include "protocol/commands.h"
#include "web/api.h"
#include "web/request_head.h"
#include "web/server.h"

namespace pipd::web {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr std::size_t QUEUE_FILE_LIMIT = 16u << 20;
// Event streams each hold a thread; the rest stay free for requests.
constexpr int MAX_EVENT_STREAMS = 224;
constexpr auto KEEP_ALIVE_EVERY = 15s;
// How long a command waits for the status to show its effect.
constexpr auto COMMAND_SETTLE = 2000ms;

// Entries one /api/tracks answers at most.
constexpr long TRACKS_BATCH = 500;

struct stream_state {
    uint64_t seen = 0;
    bool first = true;
    clock_type::time_point last_write = clock_type::now();
};

} // namespace

bool numeric_host(const std::string &h) {
    in6_addr a;
    return inet_pton(AF_INET, h.c_str(), &a) == 1 || inet_pton(AF_INET6, h.c_str(), &a) == 1;
}

bool parse_listen(const std::string &text, options &o) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host == "localhost") host = "127.0.0.1";
    std::string port = text.substr(colon + 1);
    char *end = nullptr;
    long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || p < 0 || p > 65535 || !numeric_host(host)) return false;
    o.host = host;
    o.port = static_cast<int>(p);
    return true;
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A browser names in Host the name it resolved. A web site that points its
// own name at this machine (DNS rebinding) would be "same origin" with us and
// could read the queue and send commands, so only names the owner may use are
// served: numeric addresses, localhost, this machine's own name, and the names
// given with --allow-host. A request without Host comes from no browser.
bool host_allowed(const std::string &header, const std::vector<std::string> &names) {
    if (header.empty()) return true;
    std::string h = header;
    if (h.front() == '[') {
        auto close = h.find(']');
        if (close == std::string::npos) return false;
        // Nothing but a port after the bracket.
        if (close + 1 < h.size() &&
            (h[close + 1] != ':' || close + 2 == h.size() ||
             h.find_first_not_of("0123456789", close + 2) != std::string::npos))
            return false;
        // A link-local address carries its zone: [fe80::1%25eth0].
        const std::string address = h.substr(1, std::min(close, h.find('%')) - 1);
        in6_addr a6;
        return inet_pton(AF_INET6, address.c_str(), &a6) == 1;
    }
    h = lower(h.substr(0, h.find(':')));
    if (!h.empty() && h.back() == '.') h.pop_back();
    in_addr a4;
    if (inet_pton(AF_INET, h.c_str(), &a4) == 1 || h == "localhost") return true;
    for (const std::string &n : names)
        if (h == n) return true;
    return false;
}

// The names served: this machine's (bare and with .local) and the options'.
std::vector<std::string> served_names(const std::vector<std::string> &extra) {
    std::vector<std::string> names;
    char own[256] = {};
    if (gethostname(own, sizeof own - 1) == 0 && own[0]) {
        std::string n = lower(own);
        names.push_back(n);
        if (n.find('.') == std::string::npos) names.push_back(n + ".local");
    }
    for (const std::string &e : extra) {
        std::string n = lower(e);
        if (!n.empty() && n.back() == '.') n.pop_back();
        names.push_back(n);
    }
    return names;
}

// Where a local client reaches a server listening on host.
std::string local_host(const std::string &host) {
    if (host == "0.0.0.0") return "127.0.0.1";
    if (host == "::") return "::1";
    return host;
}

std::string url_of(const std::string &host, int port) {
    bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

// The addresses a phone on the local network may use.
std::vector<std::string> lan_addresses(bool v6_too) {
    std::vector<std::string> out;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || (i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_UP)) continue;
        char text[INET6_ADDRSTRLEN];
        if (i->ifa_addr->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr, text,
                      sizeof text);
            out.emplace_back(text);
        } else if (v6_too && i->ifa_addr->sa_family == AF_INET6) {
            auto *a6 = reinterpret_cast<sockaddr_in6 *>(i->ifa_addr);
            if (IN6_IS_ADDR_LINKLOCAL(&a6->sin6_addr)) continue;
            inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof text);
            out.emplace_back(text);
        }
    }
    freeifaddrs(list);
    return out;
}

void send_json(httplib::Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json");
}

void send_error(httplib::Response &res, int status, const std::string &message) {
    send_json(res, status, json{{"error", message}}.dump());
}

const char *reason_text(int status) {
    switch (status) {
    case 400:
        return "bad request";
    case 404:
        return "not found";
    case 405:
        return "method not allowed";
    case 413:
        return "request body too large";
    case 414:
        return "request target too long";
    default:
        return status < 500 ? "request refused" : "server error";
    }
}

// Compares without leaving the place of the first difference in the time.
bool same_secret(const std::string &a, const std::string &b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    return diff == 0 && !b.empty();
}

std::string media_type(const std::string &content_type) {
    std::string t = content_type.substr(0, content_type.find(';'));
    t.erase(t.find_last_not_of(" \t") + 1);
    return lower(t);
}

queue_cache::queue_cache(std::string path) : path_(std::move(path)) {}

std::pair<int, std::string> queue_cache::get() {
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) return {503, "no queue file: is pipd running?"};
    std::lock_guard lock(mutex_);
    if (!body_.empty() && st.st_ino == ino_ && st.st_size == size_ &&
        st.st_mtim.tv_sec == mtime_.tv_sec && st.st_mtim.tv_nsec == mtime_.tv_nsec)
        return {200, body_};
    if (st.st_size > static_cast<off_t>(QUEUE_FILE_LIMIT))
        return {502, "the queue file is too large"};
    std::string text;
    std::FILE *f = std::fopen(path_.c_str(), "rb");
    if (!f) return {503, "the queue file cannot be read"};
    // What it holds, which may have grown since.
    char chunk[16384];
    for (std::size_t n;
         text.size() <= QUEUE_FILE_LIMIT && (n = std::fread(chunk, 1, sizeof chunk, f));)
        text.append(chunk, n);
    std::fclose(f);
    if (text.size() > QUEUE_FILE_LIMIT) return {502, "the queue file is too large"};
    auto q = pipd::web::queue_for_api(text);
    if (!q) return {502, "the queue file does not hold a queue"};
    auto items = std::make_shared<queue_items>();
    for (const json &e : (*q)["entries"]) {
        queue_item item{e["entry"].get<long>(), e["path"].get<std::string>(), {}};
        if (auto t = e.find("tracks"); t != e.end())
            for (const json &k : *t) item.starts.push_back(k["start"].get<long>());
        items->push_back(std::move(item));
    }
    items_ = std::move(items);
    body_ = q->dump(-1, ' ', false, json::error_handler_t::replace);
    ino_ = st.st_ino;
    size_ = st.st_size;
    mtime_ = st.st_mtim;
    return {200, body_};
}

std::shared_ptr<const queue_items> queue_cache::items(std::pair<int, std::string> *error) {
    auto got = get();
    if (got.first != 200) {
        if (error) *error = std::move(got);
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    return items_;
}

std::string write_command(int32_t word) {
    auto w = client::write_command_word(CMD_FIFO_PATH, word);
    if (w.what == w.not_opened)
        return w.error == ENXIO || w.error == ENOENT
                   ? "pipd is not running"
                   : std::string("command pipe: ") + std::strerror(w.error);
    if (w.what == w.taken) return "";
    return w.error == EAGAIN ? "pipd does not take commands (its command pipe is full)"
                             : std::string("command pipe: ") + std::strerror(w.error);
}

bool shows_power_on(const std::string &record) {
    json j = json::parse(record, nullptr, false);
    return j.is_object() && j.value("status", "") != "poweroff";
}

std::string event_text(const status_view &v) {
    if (v.daemon) return "event: status\ndata: " + v.record + "\n\n";
    return "event: offline\ndata: " +
           json{{"error", v.record.empty() ? "no status from pipd yet: is it running?"
                                           : "pipd has stopped: its status pipe was closed"}}
               .dump() +
           "\n\n";
}

using handled = httplib::Server::HandlerResponse;

handled guard_host(const web_routes &w, const httplib::Request &req, httplib::Response &res) {
    if (host_allowed(req.get_header_value("Host"), w.names)) return handled::Unhandled;
    send_error(res, 403,
               "this server is not served under the name " + req.get_header_value("Host") +
                   " (start pipd-web with --allow-host NAME to allow a name)");
    return handled::Handled;
}

handled guard_token(const web_routes &w, const httplib::Request &req, httplib::Response &res) {
    if (w.opt.token.empty() || req.method != "POST" || req.path != "/api/command")
        return handled::Unhandled;
    std::string auth = req.get_header_value("Authorization");
    if (auth.empty()) {
        res.set_header("WWW-Authenticate", "Bearer realm=\"pipd-web\"");
        send_error(res, 401, "a token is needed");
    } else if (auth.rfind("Bearer ", 0) != 0 || !same_secret(auth.substr(7), w.opt.token)) {
        send_error(res, 403, "wrong token");
    } else {
        return handled::Unhandled;
    }
    return handled::Handled;
}

void get_status(web_routes &w, httplib::Response &res) {
    pipd::web::status_view v = w.hub.view();
    if (!v.daemon)
        return send_error(res, 503,
                          v.record.empty() ? "no status from pipd yet: is it running?"
                                           : "pipd has stopped: its status pipe was closed");
    send_json(res, 200, v.record);
}

void get_queue(web_routes &w, httplib::Response &res) {
    auto [status, body] = w.queue.get();
    if (status != 200) return send_error(res, status, body);
    send_json(res, 200, body);
}

// What pipd-sink plays to, read from its status file at every request (a
// small file; the page asks every few seconds): {"outputs":[{"kind":"snapcast",
// "state":"waiting","format":"48000:24:2","target":"/run/pipd/snapfifo"}]},
// no outputs while no pipd-sink runs.
void get_outputs(web_routes &w, httplib::Response &res) {
    json outputs = json::array();
    if (auto sink = running_sink(w.sink_status_path))
        for (const auto &o : sink->outputs)
            outputs.push_back({{"kind", o.kind},
                               {"state", o.state},
                               {"format", o.format == "-" ? json() : json(o.format)},
                               {"target", o.target}});
    // The file is any bytes: text that is not UTF-8 is served replaced.
    send_json(res, 200,
              json{{"outputs", outputs}}.dump(-1, ' ', false, json::error_handler_t::replace));
}

void get_events(web_routes &w, httplib::Response &res) {
    if (w.streams.fetch_add(1) >= MAX_EVENT_STREAMS) {
        w.streams.fetch_sub(1);
        return send_error(res, 503, "too many event streams");
    }
    res.set_header("Cache-Control", "no-store");
    auto state = std::make_shared<stream_state>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [&w, state](std::size_t, httplib::DataSink &sink) {
            if (w.hub.stopped()) return false;
            std::string out;
            if (state->first) out = "retry: 2000\n\n";
            auto v = w.hub.wait([&](const status_view &s) { return s.version != state->seen; },
                                state->first ? 0ms : 1000ms);
            if (state->first || v.version != state->seen) {
                state->first = false;
                state->seen = v.version;
                out += event_text(v);
            } else if (clock_type::now() - state->last_write >= KEEP_ALIVE_EVERY) {
                out = ": keep-alive\n\n";
            }
            // Nothing to say: go on only while the client is still there.
            if (out.empty()) return sink.is_writable();
            state->last_write = clock_type::now();
            return sink.write(out.data(), out.size());
        },
        [&w](bool) { w.streams.fetch_sub(1); });
}

namespace {

// The query parameter name: absent, a whole number of at most digits digits,
// or bad.
std::optional<long> query_number(const httplib::Request &req, const char *name, int digits,
                                 bool &bad) {
    if (!req.has_param(name)) return std::nullopt;
    const std::string text = req.get_param_value(name);
    if (text.empty() || text.size() > static_cast<std::size_t>(digits) ||
        text.find_first_not_of("0123456789") != std::string::npos ||
        req.get_param_value_count(name) > 1) {
        bad = true;
        return std::nullopt;
    }
    return std::stol(text);
}

const queue_item *find_entry(const queue_items &items, long entry) {
    // Entries are numbered by place, but the numbers are the queue's own.
    if (entry >= 0 && static_cast<std::size_t>(entry) < items.size() &&
        items[static_cast<std::size_t>(entry)].entry == entry)
        return &items[static_cast<std::size_t>(entry)];
    for (const queue_item &i : items)
        if (i.entry == entry) return &i;
    return nullptr;
}

// The entry a status record's track text names (a disc image's track
// title may follow its path after " >"), and its cue track playing (-1:
// none, or before the first).
std::pair<const queue_item *, long> playing(const queue_items &items, const json &record) {
    if (!record.is_object()) return {nullptr, -1};
    const std::string text = record.value("track", std::string());
    for (const queue_item &i : items) {
        if (text != i.path && text.rfind(i.path + " >", 0) != 0) continue;
        long els = std::strtol(record.value("els", std::string("0")).c_str(), nullptr, 10);
        long cue = -1;
        while (cue + 1 < static_cast<long>(i.starts.size()) &&
               els >= i.starts[static_cast<std::size_t>(cue + 1)])
            ++cue;
        return {&i, cue};
    }
    return {nullptr, -1};
}

json track_json(const queue_item &item, long cue, const track_info &info) {
    json j = {{"entry", item.entry}, {"track", cue >= 0 ? json(cue) : json(nullptr)}};
    using field = std::optional<std::string> meta::track_meta::*;
    static const std::pair<const char *, field> fields[] = {
        {"title", &meta::track_meta::title},
        {"artist", &meta::track_meta::artist},
        {"album", &meta::track_meta::album},
        {"albumartist", &meta::track_meta::album_artist},
        {"tracknumber", &meta::track_meta::track_number},
        {"discnumber", &meta::track_meta::disc_number},
        {"date", &meta::track_meta::date},
        {"genre", &meta::track_meta::genre}};
    for (auto [name, f] : fields)
        j[name] = info.tags && (*info.tags).*f ? json(*((*info.tags).*f)) : json(nullptr);
    // A cue track lasts to the next one's start, the last to the file's end.
    std::optional<long> duration;
    if (info.tags && info.tags->duration_ms) duration = *info.tags->duration_ms;
    if (cue >= 0) {
        const std::size_t k = static_cast<std::size_t>(cue);
        std::optional<long> end = duration;
        if (k + 1 < item.starts.size()) end = item.starts[k + 1];
        duration =
            end && *end > item.starts[k] ? std::optional(*end - item.starts[k]) : std::nullopt;
    }
    j["duration"] = duration ? json(*duration) : json(nullptr);
    j["art"] = info.art;
    return j;
}

// The queue's entries, following them for the background reader; null with
// the error sent.
std::shared_ptr<const queue_items> served_items(web_routes &w, httplib::Response &res) {
    std::pair<int, std::string> error;
    auto items = w.queue.items(&error);
    if (!items)
        send_error(res, error.first, error.second);
    else
        w.meta.follow(items);
    return items;
}

std::string json_text(const json &j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

void get_track(web_routes &w, const httplib::Request &req, httplib::Response &res) {
    bool bad = false;
    const auto entry = query_number(req, "entry", 7, bad);
    const auto track = query_number(req, "track", 3, bad);
    if (bad || (track && !entry))
        return send_error(res, 400, "entry and track are whole numbers, track only with entry");
    const auto items = served_items(w, res);
    if (!items) return;
    const queue_item *item = nullptr;
    long cue = -1;
    if (entry) {
        item = find_entry(*items, *entry);
        if (!item) return send_error(res, 404, "no such entry");
        if (track) {
            if (*track >= static_cast<long>(item->starts.size()))
                return send_error(res, 404, "no such track");
            cue = *track;
        }
    } else {
        const status_view v = w.hub.view();
        if (!v.daemon) return send_error(res, 503, "no status from pipd: is it running?");
        std::tie(item, cue) = playing(*items, json::parse(v.record, nullptr, false));
        if (!item) return send_error(res, 404, "nothing of the queue plays");
    }
    const auto info = w.meta.get(item->path, static_cast<int>(cue + 1));
    send_json(res, 200, json_text(track_json(*item, cue, *info)));
}

void get_tracks(web_routes &w, const httplib::Request &req, httplib::Response &res) {
    bool bad = false;
    const auto from = query_number(req, "from", 7, bad);
    const auto count = query_number(req, "count", 3, bad);
    if (bad || !from || !count || *count < 1 || *count > TRACKS_BATCH)
        return send_error(res, 400,
                          "from and count are whole numbers, count from 1 to " +
                              std::to_string(TRACKS_BATCH));
    const auto items = served_items(w, res);
    if (!items) return;
    json entries = json::array();
    std::vector<std::pair<std::string, int>> missing;
    for (std::size_t i = static_cast<std::size_t>(*from);
         i < items->size() && i < static_cast<std::size_t>(*from + *count); ++i) {
        const queue_item &item = (*items)[i];
        if (auto info = w.meta.peek(item.path, 0)) {
            entries.push_back(track_json(item, -1, *info));
        } else {
            entries.push_back(json{{"entry", item.entry}, {"pending", true}});
            missing.emplace_back(item.path, 0);
        }
    }
    w.meta.ask(missing);
    send_json(res, 200,
              json_text(json{
                  {"from", *from}, {"entries", std::move(entries)}, {"pending", missing.size()}}));
}

void get_art(web_routes &w, const httplib::Request &req, httplib::Response &res) {
    bool bad = false;
    const auto entry = query_number(req, "entry", 7, bad);
    if (bad || !entry) return send_error(res, 400, "entry is a whole number");
    const auto items = served_items(w, res);
    if (!items) return;
    const queue_item *item = find_entry(*items, *entry);
    const std::string etag = item ? w.meta.etag(item->path) : "";
    if (etag.empty()) return send_error(res, 404, "no such entry");
    const std::string match = req.get_header_value("If-None-Match");
    const bool unchanged = match.find(etag) != std::string::npos;
    const auto image = unchanged ? std::nullopt : w.meta.art(item->path);
    if (!unchanged && !image) return send_error(res, 404, "no cover");
    // Entry numbers change with the queue: the browser asks each time.
    res.set_header("Cache-Control", "private, no-cache");
    res.set_header("ETag", etag);
    if (unchanged) {
        res.status = 304;
        return;
    }
    res.set_content_provider(
        image->bytes->size(), image->type,
        [bytes = image->bytes](std::size_t at, std::size_t n, httplib::DataSink &sink) {
            return sink.write(bytes->data() + at, n);
        });
}

void post_command(web_routes &w, const httplib::Request &req, httplib::Response &res) {
    // The token was checked before routing. Only JSON: a browser never sends that cross-site
    // without asking first, so no other site's form can steer the player.
    if (media_type(req.get_header_value("Content-Type")) != "application/json")
        return send_error(res, 415, "commands are JSON (Content-Type: application/json)");
    command_request cmd = parse_command(req.body);
    if (!cmd.error.empty()) return send_error(res, 400, cmd.error);

    status_view before = w.hub.view();
    // A power-on while the player is on would start the entry over.
    if (cmd.word == pipd::PLAYER_ACTION_POWER_ON && before.daemon && shows_power_on(before.record))
        return send_json(res, 200, before.record);
    std::string failed;
    {
        std::lock_guard lock(w.command_mutex);
        failed = write_command(cmd.word);
    }
    if (!failed.empty()) return send_error(res, 503, failed);
    std::printf("pipd-web: command %s from %s\n", req.body.c_str(), req.remote_addr.c_str());
    // The answer is the status once it shows the command's effect (or,
    // for a command that changes nothing to be seen, after a while).
    json was = json::parse(before.record, nullptr, false);
    status_view after = w.hub.wait(
        [&](const status_view &v) {
            if (v.shifts == before.shifts) return false;
            return !v.daemon ||
                   shows_effect(cmd.word, was, json::parse(v.record, nullptr, false), true);
        },
        COMMAND_SETTLE);
    if (!after.daemon) return send_error(res, 503, "pipd is not running");
    send_json(res, 200, after.record);
}

void add_page_file(httplib::Server &svr, const char *path, const char *type,
                   const unsigned char *data, std::size_t size) {
    auto serve = [type, data, size](const httplib::Request &, httplib::Response &res) {
        res.set_header("Cache-Control", "no-cache");
        res.set_content(reinterpret_cast<const char *>(data), size, type);
    };
    // Patterns are regular expressions: a literal path, escaped.
    std::string pattern;
    for (const char *c = path; *c; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '/' && *c != '-' && *c != '_')
            pattern += '\\';
        pattern += *c;
    }
    svr.Get(pattern, serve);
    if (std::string(path) == "/index.html") svr.Get("/", serve);
}

void add_routes(httplib::Server &svr, web_routes &w) {
    svr.set_payload_max_length(BODY_LIMIT);
    svr.set_default_headers(SECURITY_HEADERS);
    svr.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty()) send_error(res, res.status, reason_text(res.status));
    });
    svr.set_exception_handler([](const httplib::Request &, httplib::Response &res,
                                 std::exception_ptr) { send_error(res, 500, "server error"); });
    svr.set_pre_routing_handler([&w](const httplib::Request &req, httplib::Response &res) {
        if (guard_host(w, req, res) == handled::Handled) return handled::Handled;
        return guard_token(w, req, res);
    });
    svr.Get("/api/status",
            [&w](const httplib::Request &, httplib::Response &res) { get_status(w, res); });
    svr.Get("/api/queue",
            [&w](const httplib::Request &, httplib::Response &res) { get_queue(w, res); });
    svr.Get("/api/events",
            [&w](const httplib::Request &, httplib::Response &res) { get_events(w, res); });
    svr.Get("/api/outputs",
            [&w](const httplib::Request &, httplib::Response &res) { get_outputs(w, res); });
    svr.Get("/api/track",
            [&w](const httplib::Request &req, httplib::Response &res) { get_track(w, req, res); });
    svr.Get("/api/tracks",
            [&w](const httplib::Request &req, httplib::Response &res) { get_tracks(w, req, res); });
    svr.Get("/api/art",
            [&w](const httplib::Request &req, httplib::Response &res) { get_art(w, req, res); });
    svr.Post("/api/command", [&w](const httplib::Request &req, httplib::Response &res) {
        post_command(w, req, res);
    });

    // Wrong methods on the API's paths.
    struct allowed {
        const char *path;
        const char *allow;
    };
    for (auto [path, allow] :
         {allowed{"/api/status", "GET, HEAD"}, allowed{"/api/queue", "GET, HEAD"},
          allowed{"/api/track", "GET, HEAD"}, allowed{"/api/tracks", "GET, HEAD"},
          allowed{"/api/art", "GET, HEAD"}, allowed{"/api/events", "GET, HEAD"},
          allowed{"/api/outputs", "GET, HEAD"}, allowed{"/api/command", "POST"}}) {
        std::string allow_text = allow;
        auto refuse = [allow_text](const httplib::Request &, httplib::Response &res) {
            res.set_header("Allow", allow_text);
            send_error(res, 405, "method not allowed (allowed: " + allow_text + ")");
        };
        if (allow_text == "POST")
            svr.Get(path, refuse);
        else
            svr.Post(path, refuse);
        svr.Put(path, refuse);
        svr.Patch(path, refuse);
        svr.Delete(path, refuse);
        svr.Options(path, refuse);
    }
}

} // namespace pipd::web
