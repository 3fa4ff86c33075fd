// pipd-decode: plays one file through the player's own track runner, codec
// API, decoders and output packets, into a file instead of the output pipe.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/codec_api.h"
#include "host/diag.h"
#include "host/outudp.h"
#include "host/player_main.h"
#include "player/state.h"
#include "player/webfile_gen.h"

namespace {

constexpr int EXIT_DECODER_ERROR = 1;
constexpr int EXIT_NOTHING_DECODED = 2;
constexpr int EXIT_USAGE = 64;

const char usage_text[] =
    "usage: pipd-decode [--packets | --wav] [--seek MS] INPUT OUTPUT\n"
    "\n"
    "Plays INPUT through the player's track runner, decoders and output packets,\n"
    "exactly as the daemon would, but into OUTPUT instead of the output pipe.\n"
    "OUTPUT is a path, or - for standard output. No pipe of the daemon is opened;\n"
    "status records are built but go nowhere. Diagnostics go to standard error.\n"
    "\n"
    "  --packets  (default) OUTPUT receives exactly the bytes the output pipe would:\n"
    "             4112-byte packets, including the final flushed packet with its\n"
    "             stale tail.\n"
    "  --wav      OUTPUT receives a WAV file of what the sink would play: 24-bit\n"
    "             samples, channel 0 first, at the rate of the rate code in force\n"
    "             when the first sample was written, with only the valid samples of\n"
    "             the final packet. A later change of rate is reported on standard\n"
    "             error.\n"
    "  --seek MS  a seek to MS milliseconds is pending when the decoder starts, as if\n"
    "             a client had sent it.\n"
    "  --help     this text.\n"
    "\n"
    "Exit status: 0 the decoder ran and returned 0; 1 it ran and returned an error;\n"
    "2 nothing was decoded (the file cannot be opened, is shorter than the first\n"
    "131072-byte read, or has no decoder for its type); 64 usage error.\n";

std::FILE *out = nullptr;
bool out_failed = false;

// --wav state.
bool wav_mode = false;
bool wav_rate_known = false;
int32_t wav_rate = 0;
int32_t wav_code = -1;
uint64_t wav_frames = 0;
bool wav_header_written = false;
bool out_seekable = false;

int32_t rate_of_code(int32_t code) {
    switch (code) {
    case 0x13:
        return 44100;
    case 3:
        return 48000;
    case 0x11:
        return 88200;
    case 1:
        return 96000;
    case 0x10:
        return 176400;
    case 0:
        return 192000;
    default:
        return 0;
    }
}

void put(const void *data, std::size_t n) {
    if (!out_failed && std::fwrite(data, 1, n, out) != n) out_failed = true;
}

void put_le(uint32_t v, int bytes) {
    unsigned char b[4];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    put(b, static_cast<std::size_t>(bytes));
}

void write_wav_header(uint32_t rate, uint64_t frames) {
    const uint64_t data_bytes = frames * 6;
    const uint32_t data32 =
        data_bytes > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu - 36 : static_cast<uint32_t>(data_bytes);
    put("RIFF", 4);
    put_le(data32 + 36, 4);
    put("WAVE", 4);
    put("fmt ", 4);
    put_le(16, 4);
    put_le(1, 2); // integer PCM
    put_le(2, 2); // channels
    put_le(rate, 4);
    put_le(rate * 6, 4); // bytes per second
    put_le(6, 2);        // block alignment
    put_le(24, 2);       // bits per sample
    put("data", 4);
    put_le(data32, 4);
}

// Sizes are patched at the end on a seekable output; a stream keeps the
// largest sizes, as streaming writers do.
void begin_wav(uint32_t rate) {
    if (wav_header_written) return;
    wav_header_written = true;
    write_wav_header(rate, out_seekable ? 0 : UINT64_MAX / 8);
}

void on_packet(const int32_t *packet, std::size_t bytes, int valid_words) {
    if (!wav_mode) {
        put(packet, bytes);
        return;
    }
    int samples = valid_words - pipd::PACKET_HEADER_WORDS;
    if (samples <= 0) return;
    int32_t code = static_cast<uint32_t>(packet[0]) == pipd::OUTPUT_MAGIC ? packet[1] : -1;
    if (!wav_rate_known) {
        wav_rate_known = true;
        wav_code = code;
        wav_rate = rate_of_code(code);
        if (wav_rate == 0) {
            std::fprintf(
                stderr,
                "pipd-decode: no sample rate reported before the first sample; writing 44100 Hz\n");
            wav_rate = 44100;
        }
        begin_wav(static_cast<uint32_t>(wav_rate));
    } else if (code != wav_code) {
        std::fprintf(stderr, "pipd-decode: rate changed to %d Hz after %llu frames\n",
                     rate_of_code(code), static_cast<unsigned long long>(wav_frames));
        wav_code = code;
    }
    // Undo the pipe's channel swap: each frame is channel 1, then channel 0.
    unsigned char frame[6];
    for (int i = 0; i + 1 < samples; i += 2) {
        const int32_t ch1 = packet[pipd::PACKET_HEADER_WORDS + i];
        const int32_t ch0 = packet[pipd::PACKET_HEADER_WORDS + i + 1];
        const int32_t v[2] = {ch0, ch1};
        for (int c = 0; c < 2; ++c) {
            int32_t s = v[c] > 8388607 ? 8388607 : v[c] < -8388608 ? -8388608 : v[c];
            frame[3 * c] = static_cast<unsigned char>(s);
            frame[3 * c + 1] = static_cast<unsigned char>(s >> 8);
            frame[3 * c + 2] = static_cast<unsigned char>(s >> 16);
        }
        put(frame, sizeof frame);
        ++wav_frames;
    }
}

int usage_error(const char *what) {
    std::fprintf(stderr, "pipd-decode: %s\n\n%s", what, usage_text);
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char **argv) {
    bool seek = false;
    long seek_ms = 0;
    const char *input = nullptr;
    const char *output = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage_text, stdout);
            return 0;
        } else if (a == "--packets") {
            wav_mode = false;
        } else if (a == "--wav") {
            wav_mode = true;
        } else if (a == "--seek") {
            if (i + 1 >= argc) return usage_error("--seek needs a number of milliseconds");
            char *end = nullptr;
            errno = 0;
            seek_ms = std::strtol(argv[++i], &end, 10);
            if (errno || end == argv[i] || *end || seek_ms < 0 || seek_ms > INT32_MAX)
                return usage_error("--seek takes milliseconds from 0 to 2147483647");
            seek = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            return usage_error(("unknown option " + a).c_str());
        } else if (!input) {
            input = argv[i];
        } else if (!output) {
            output = argv[i];
        } else {
            return usage_error("too many arguments");
        }
    }
    if (!input || !output) return usage_error("INPUT and OUTPUT are needed");

    pipd::diag_set_stream(stderr);
    if (std::strcmp(output, "-") == 0) {
        out = stdout;
    } else {
        out = std::fopen(output, "wb");
        if (!out) {
            std::fprintf(stderr, "pipd-decode: cannot write %s: %s\n", output,
                         std::strerror(errno));
            return EXIT_NOTHING_DECODED;
        }
    }

    // Status records are built as in the daemon but never sent.
    pipd::status_fifo_detach();
    pipd::reset_player_state();
    pipd::plaction = pipd::PLAYER_ACTION_NONE;
    pipd::poweron = 1;
    pipd::ploffset = seek ? static_cast<int32_t>(seek_ms) : -1;
    pipd::playstat_reset(input);
    pipd::outfifo_set_sink(on_packet);

    out_seekable = std::fseek(out, 0, SEEK_CUR) == 0 && std::ftell(out) == 0;

    pipd::player_main(input);
    pipd::track_outcome result = pipd::last_track_outcome();

    if (wav_mode) {
        begin_wav(44100); // no sample at all: an empty file at a default rate
        if (out_seekable && std::fseek(out, 0, SEEK_SET) == 0) {
            write_wav_header(static_cast<uint32_t>(wav_rate_known ? wav_rate : 44100), wav_frames);
            std::fseek(out, 0, SEEK_END);
        }
    }
    if (std::fflush(out) != 0) out_failed = true;
    if (out != stdout) std::fclose(out);
    if (out_failed) std::fprintf(stderr, "pipd-decode: writing %s failed\n", output);

    if (!result.decoder_ran) return EXIT_NOTHING_DECODED;
    if (result.decoder_result != 0 || out_failed) return EXIT_DECODER_ERROR;
    return 0;
}
