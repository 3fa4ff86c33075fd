#include "web/request_head.h"

#include <cstring>
#include <strings.h>

namespace pipd::web {

namespace {

head_check refuse(int status, std::string error) {
    head_check c;
    c.verdict = head_check::refused;
    c.status = status;
    c.error = std::move(error);
    return c;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool named(std::string_view name, const char *want) {
    return name.size() == std::strlen(want) && strncasecmp(name.data(), want, name.size()) == 0;
}

} // namespace

head_check check_head(std::string_view in) {
    // The head ends with an empty line (CRLF) after a line's LF.
    std::size_t end = in.substr(0, HEAD_LIMIT).find("\n\r\n");
    if (end == std::string_view::npos) {
        if (in.size() < HEAD_LIMIT) return {};
        if (in.substr(0, HEAD_LIMIT).find('\n') == std::string_view::npos)
            return refuse(414, "request target too long");
        return refuse(431, "request header too large (at most " + std::to_string(HEAD_LIMIT) +
                               " bytes)");
    }
    head_check c;
    c.head_size = end + 3;
    bool has_length = false;
    std::size_t lines = 0;
    std::string_view rest = in.substr(0, end + 1);
    rest.remove_prefix(rest.find('\n') + 1);
    for (std::size_t nl; (nl = rest.find('\n')) != std::string_view::npos;
         rest.remove_prefix(nl + 1)) {
        if (++lines > HEAD_LINES)
            return refuse(431,
                          "too many header lines (at most " + std::to_string(HEAD_LINES) + ")");
        std::string_view line = rest.substr(0, nl);
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = trimmed(line.substr(0, colon));
        std::string_view value = trimmed(line.substr(colon + 1));
        // A chunked body has no size until it has been read.
        if (named(name, "Transfer-Encoding"))
            return refuse(411, "a request body needs a Content-Length");
        if (!named(name, "Content-Length")) continue;
        if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
            return refuse(400, "bad Content-Length");
        // Nine digits are plenty to tell a body too large.
        std::size_t n = value.size() > 9 ? BODY_LIMIT + 1 : std::stoul(std::string(value));
        if (has_length && n != c.body_size) return refuse(400, "two Content-Lengths");
        if (n > BODY_LIMIT)
            return refuse(413, "request body too large (at most " + std::to_string(BODY_LIMIT) +
                                   " bytes)");
        has_length = true;
        c.body_size = n;
    }
    c.verdict = head_check::taken;
    return c;
}

} // namespace pipd::web
