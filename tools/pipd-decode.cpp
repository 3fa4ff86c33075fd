// pipd-decode: plays one file through the player's own track runner, codec
// API, decoders and output packets, into a file instead of the output pipe.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "codecs/codecs.h"
#include "codecs/dsd/dsd2pcm.h"
#include "codecs/dsd/dsd_output.h"
#include "core/diag.h"
#include "core/state.h"
#include "host/codec_api.h"
#include "host/outudp.h"
#include "pipd_config.h"
#include "player/player_main.h"
#include "player/webfile_gen.h"
#include "sink/packet_wav.h"

namespace {

constexpr int EXIT_DECODER_ERROR = 1;
constexpr int EXIT_NOTHING_DECODED = 2;
constexpr int EXIT_USAGE = 64;

const char usage_text[] =
    "usage: pipd-decode [--packets | --wav | --dsd] [--seek MS] INPUT OUTPUT\n"
    "\n"
    "Plays INPUT through the player's track runner, decoders and output packets,\n"
    "exactly as the daemon would, but into OUTPUT instead of the output pipe.\n"
    "OUTPUT is a path, or - for standard output. No pipe of the daemon is opened;\n"
    "status records are built but go nowhere. Diagnostics go to standard error.\n"
    "\n"
    "  --packets  (default) OUTPUT receives exactly the bytes the output pipe would:\n"
    "             4112-byte packets. A packet flushed before its 512 frames are\n"
    "             complete (the last of a track, the last before a change of rate)\n"
    "             is silent (zero) past its samples.\n"
    "  --wav      OUTPUT receives a WAV file of what the sink would play: 24-bit\n"
    "             samples, channel 0 first, at the rate of the rate code in force\n"
    "             when the first sample was written, with only the valid samples of\n"
    "             the final packet. A later change of rate is reported on standard\n"
    "             error.\n"
    "  --dsd      OUTPUT receives the DSD itself, unconverted, of a DSF, DSDIFF or\n"
    "             disc image INPUT (of an image the tracks of its two-channel area\n"
    "             in order): the bytes of the channels interleaved one by one,\n"
    "             channel 0 first, the earliest bit of each byte in its most\n"
    "             significant bit, as DSDIFF stores plain DSD. Any other INPUT is\n"
    "             an error.\n"
    "  --seek MS  a seek to MS milliseconds is pending when the decoder starts, as if\n"
    "             a client had sent it.\n"
    "  --help     this text.\n"
    "  --version  the version of pipd-decode.\n"
    "\n"
    "Exit status: 0 the decoder ran and returned 0; 1 it ran and returned an error,\n"
    "refused the file, or the file's sample rate cannot be played, or --dsd was\n"
    "given a file that is not DSD; 2 nothing was decoded (the file cannot be\n"
    "opened or read, is empty, or has no decoder for its type); 64 usage error.\n";

std::FILE *out = nullptr;
bool out_failed = false;
bool dsd_mode = false;
pipd::packet_wav_writer *wav = nullptr; // --wav

void put(const void *data, std::size_t n) {
    if (!out_failed && std::fwrite(data, 1, n, out) != n) out_failed = true;
}

void on_dsd(const uint8_t *bytes, std::size_t n, int) {
    put(bytes, n);
}

void on_packet(const int32_t *packet, std::size_t bytes, int valid_words) {
    if (dsd_mode)
        return;
    else if (wav)
        wav->packet(packet, valid_words);
    else
        put(packet, bytes);
}

int usage_error(const char *what) {
    std::fprintf(stderr, "pipd-decode: %s\n\n%s", what, usage_text);
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char **argv) {
    bool wav_mode = false;
    bool seek = false;
    long seek_ms = 0;
    const char *input = nullptr;
    const char *output = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage_text, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("pipd-decode %s\n", PIPD_VERSION_TEXT);
            return 0;
        } else if (a == "--packets") {
            wav_mode = dsd_mode = false;
        } else if (a == "--wav") {
            wav_mode = true;
            dsd_mode = false;
        } else if (a == "--dsd") {
            dsd_mode = true;
            wav_mode = false;
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
    if (dsd_mode) {
        const pipd::codec_run run = pipd::decoder_for(pipd::get_filetype(input));
        if (run != pipd::dsf_codec_run && run != pipd::dff_codec_run &&
            run != pipd::sacd_codec_run) {
            std::fprintf(stderr, "pipd-decode: --dsd: %s is not a DSF, DSDIFF or disc image file\n",
                         input);
            return EXIT_DECODER_ERROR;
        }
        pipd::dsd_set_raw_hook(on_dsd);
    }

    // The DSD converter's tables, built quietly (the daemon prints them at start-up).
    pipd::diag_set_stream(nullptr);
    pipd::dsd2pcm_init();
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

    std::optional<pipd::packet_wav_writer> wav_writer;
    if (wav_mode) wav = &wav_writer.emplace(out);

    pipd::player_main(input);
    pipd::flash_outfifo(); // the end of the stream, as at the end of the queue
    pipd::track_outcome result = pipd::last_track_outcome();

    if (wav && !wav->finish()) out_failed = true;
    if (std::fflush(out) != 0) out_failed = true;
    if (out != stdout) std::fclose(out);
    if (out_failed) std::fprintf(stderr, "pipd-decode: writing %s failed\n", output);

    if (!result.decoder_ran) return EXIT_NOTHING_DECODED;
    if (result.decoder_result != 0 || result.rate_refused || out_failed) return EXIT_DECODER_ERROR;
    return 0;
}
