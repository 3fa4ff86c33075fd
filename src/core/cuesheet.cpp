// Cue sheet parser. Reads a sheet line by line and keeps only the track
// count, the texts of TITLE, PERFORMER and SONGWRITER, and the INDEX 01 start
// times; every other cue command is ignored.
#include "core/cuesheet.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <memory>

namespace pipd {

namespace {

constexpr int LINE_SIZE = 80; // line buffer and converted-line buffer

// Chinese sheets are written in GB2312 or, far more often, in its supersets
// GBK/CP936 (glibc's GB2312 converter rejects common characters such as 喆
// or 體). GB18030 contains both, so it reads every such sheet.
constexpr const char *SHEET_CHARSET = "GB18030";

struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Reads one line into buffer: a line feed ends it and is not stored, a
// carriage return is dropped. Once size bytes are stored the line is cut to
// its first size - 1 bytes (the last stored byte gives way to the
// terminator) and the following bytes of the file make the next line.
// Returns the bytes consumed, the line feed included, or -1 when the file
// ends before a line feed; the partial text is terminated either way. Only
// budget bytes are read (it counts down): past them the file counts as ended.
int read_line(std::FILE *file, char *buffer, int size, std::size_t &budget) {
    int stored = 0;
    int consumed = 0;
    for (;;) {
        int c = budget > 0 ? std::getc(file) : EOF;
        if (c != EOF) --budget;
        if (c == EOF) {
            buffer[stored] = '\0';
            return -1;
        }
        ++consumed;
        if (c == '\n') break;
        if (c == '\r') continue;
        buffer[stored++] = static_cast<char>(c);
        if (stored == size) {
            buffer[size - 1] = '\0';
            return consumed;
        }
    }
    buffer[stored] = '\0';
    return consumed;
}

const char *skip_whitespace(const char *text) {
    while (*text && std::isspace(static_cast<unsigned char>(*text))) ++text;
    return text;
}

// Clears output and converts input from the sheet's charset to UTF-8.
// 0 on success; -1 when the converter cannot be opened, the input is not
// valid in that charset, or the result does not fit in output.
int code_convert(const char *input, std::size_t input_len, char *output, std::size_t output_size) {
    std::memset(output, 0, output_size);
    iconv_t cd = iconv_open("UTF-8", SHEET_CHARSET);
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    char source[LINE_SIZE];
    if (input_len > sizeof source) {
        iconv_close(cd);
        return -1;
    }
    std::memcpy(source, input, input_len);
    char *in = source;
    char *out = output;
    std::size_t in_left = input_len;
    std::size_t out_left = output_size;
    std::size_t r = iconv(cd, &in, &in_left, &out, &out_left);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1) || in_left != 0) {
        std::memset(output, 0, output_size);
        return -1;
    }
    return 0;
}

// True when text (up to its terminator) is well-formed UTF-8: no overlong
// forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(const char *text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        unsigned c = *p++;
        if (c < 0x80) continue;
        int more;
        unsigned lo = 0x80, hi = 0xbf; // range of the first continuation byte
        if (c >= 0xc2 && c <= 0xdf) {
            more = 1;
        } else if (c >= 0xe0 && c <= 0xef) {
            more = 2;
            if (c == 0xe0) lo = 0xa0;
            if (c == 0xed) hi = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            more = 3;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        } else {
            return false;
        }
        for (int i = 0; i < more; ++i, ++p) {
            if (*p == 0) return false;
            if (*p < lo || *p > hi) return false;
            lo = 0x80;
            hi = 0xbf;
        }
    }
    return true;
}

// Reads a decimal number with strtol, limited so that the start time
// arithmetic below cannot overflow.
int64_t read_number(const char *text) {
    long v = std::strtol(text, nullptr, 10);
    constexpr long LIMIT = 1L << 30;
    if (v > LIMIT) v = LIMIT;
    if (v < -LIMIT) v = -LIMIT;
    return v;
}

// The start time of "mm:ss:ff" in ms; a frame counts 13 ms. Numbers are
// read as far as the line has them: "mm" alone gives its minutes, "mm:ss"
// minutes and seconds. Large or negative values are clamped to
// 0..INT32_MAX.
int32_t read_start_time(const char *time) {
    int64_t ms = read_number(time) * 60000;
    if (const char *colon = std::strchr(time, ':')) {
        ms += read_number(colon + 1) * 1000;
        if (const char *colon2 = std::strchr(colon + 1, ':')) ms += read_number(colon2 + 1) * 13;
    }
    if (ms < 0) ms = 0;
    if (ms > INT32_MAX) ms = INT32_MAX;
    return static_cast<int32_t>(ms);
}

void copy_text(char *field, const char *value, std::size_t len) {
    if (len > CUE_TEXT_MAX) len = CUE_TEXT_MAX;
    std::memcpy(field, value, len);
    field[len] = '\0';
}

// Sets the field of a TITLE, PERFORMER or SONGWRITER line (line starts at
// the keyword, whose first letter picks the field). False when the line
// holds neither a double quote nor a space, which ends the parse.
bool parse_text(cue_sheet *sheet, const char *line) {
    const char *value;
    if (const char *quote = std::strchr(line, '"')) {
        value = quote + 1;
    } else if (const char *space = std::strchr(line, ' ')) {
        value = space + 1;
    } else {
        return false;
    }
    const char *end = std::strchr(value, '"');
    std::size_t len = end ? static_cast<std::size_t>(end - value) : std::strlen(value);

    bool album = sheet->count == 0;
    cue_track &t = sheet->tracks[album ? 0 : sheet->count - 1];
    char *field = nullptr;
    switch (*line) {
    case 'T':
        field = album ? sheet->title : t.title;
        break;
    case 'P':
        field = album ? sheet->performer : t.performer;
        break;
    default:
        field = album ? sheet->songwriter : t.songwriter;
        break;
    }
    copy_text(field, value, len);
    return true;
}

// Passes "INDEX 01" and reads the time after it. An INDEX 01 line without a
// time leaves the start time as it was; nothing is read past the line.
void parse_index(cue_sheet *sheet, const char *text) {
    if (sheet->count == 0) return;
    const char *p = std::strchr(text, ' '); // ends "INDEX"
    if (!p) return;
    p = skip_whitespace(p);
    p = std::strchr(p, ' '); // ends "01"
    if (!p) return;
    p = skip_whitespace(p);
    if (*p == '\0') return;
    sheet->tracks[sheet->count - 1].start = read_start_time(p);
}

struct keyword {
    const char *text;
    std::size_t len;
};
constexpr keyword KEY_TRACK{"TRACK", 5};
constexpr keyword KEY_INDEX{"INDEX 01", 8};
constexpr keyword KEY_TEXTS[] = {{"TITLE", 5}, {"PERFORMER", 9}, {"SONGWRITER", 10}};

bool starts_with(const char *text, const keyword &k) {
    return std::strncmp(text, k.text, k.len) == 0;
}

// Skips a UTF-8 byte-order mark at the start of the file.
void skip_bom(std::FILE *f) {
    unsigned char head[3];
    std::size_t n = std::fread(head, 1, sizeof head, f);
    if (n == 3 && head[0] == 0xef && head[1] == 0xbb && head[2] == 0xbf) return;
    std::rewind(f);
}

} // namespace

int parse_cuesheet(const char *path, cue_sheet *sheet) {
    if (!path || !sheet) return 0;
    file_ptr f(std::fopen(path, "r"));
    if (!f) return 0;
    std::memset(sheet, 0, sizeof *sheet);
    skip_bom(f.get());

    // Real sheets are a few KiB; a huge file with a sheet's name is read no
    // further than this, and what was parsed up to there stands.
    std::size_t budget = CUE_READ_MAX;
    char line[LINE_SIZE];
    char converted[LINE_SIZE];
    for (;;) {
        if (read_line(f.get(), line, LINE_SIZE, budget) < 0) break;
        if (sheet->count > CUE_TRACK_MAX - 1) break;

        // A line that already is UTF-8 (plain ASCII included) keeps its
        // text; any other line is taken as GB text and converted, and when
        // that fails the raw bytes are used.
        std::size_t len = std::strlen(line);
        const char *text = line;
        if (!is_utf8(line) && code_convert(line, len + 1, converted, sizeof converted) == 0)
            text = converted;

        text = skip_whitespace(text);
        if (starts_with(text, KEY_TRACK)) {
            ++sheet->count;
        } else if (starts_with(text, KEY_INDEX)) {
            parse_index(sheet, text);
        } else {
            bool ended = false;
            for (const keyword &k : KEY_TEXTS) {
                if (!starts_with(text, k)) continue;
                ended = !parse_text(sheet, text);
                break;
            }
            if (ended) break;
        }
    }
    f.reset();

    for (int32_t i = 0; i < sheet->count; ++i) {
        cue_track &t = sheet->tracks[i];
        if (t.performer[0] == '\0')
            copy_text(t.performer, sheet->performer, std::strlen(sheet->performer));
        if (t.songwriter[0] == '\0')
            copy_text(t.songwriter, sheet->songwriter, std::strlen(sheet->songwriter));
    }
    return sheet->count;
}

} // namespace pipd
