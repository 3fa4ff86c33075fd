// libFuzzer target: the web remote's parsers of untrusted text. The first
// byte picks one (its value modulo 3), the rest is its input:
//   0  a command request's body (parse_command)
//   1  the bytes of a request received so far (check_head)
//   2  the queue report the daemon wrote (queue_for_api)
// Beyond the sanitizers' faults (and exceptions, which would end the
// server), each verdict must be one the server can act on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/queue.h"
#include "web/api.h"
#include "web/request_head.h"

namespace {

namespace web = pipd::web;

void require(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "web_fuzz: %s\n", what);
    std::abort();
}

void command(std::string_view body) {
    const web::command_request r = web::parse_command(body);
    if (!r.error.empty()) {
        require(r.word == 0, "a refused command has a word");
        return;
    }
    // A queue jump (entry and cue position) or one of the player's actions.
    const bool jump = r.word >= 0 && r.word < (pipd::PLAYLIST_MAX << 7);
    require(jump || r.word >= 0x40000000, "command word out of range");
}

void head(std::string_view received) {
    const web::head_check c = web::check_head(received);
    switch (c.verdict) {
    case web::head_check::incomplete:
        require(received.size() < web::HEAD_LIMIT, "a full head left waiting");
        break;
    case web::head_check::taken:
        require(c.head_size <= received.size() && c.head_size <= web::HEAD_LIMIT, "head size");
        require(c.body_size <= web::BODY_LIMIT, "body size");
        break;
    case web::head_check::refused:
        require(c.status >= 400 && c.status < 500 && !c.error.empty(), "refusal");
        break;
    }
}

void queue(std::string_view report) {
    const auto q = web::queue_for_api(report);
    if (!q) return;
    const auto &entries = q->at("entries");
    require(entries.is_array(), "entries");
    // As the server sends it; throws on text that is not UTF-8.
    (void)q->dump();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    switch (data[0] % 3) {
    case 0:
        command(text);
        break;
    case 1:
        head(text);
        break;
    default:
        queue(text);
        break;
    }
    return 0;
}
