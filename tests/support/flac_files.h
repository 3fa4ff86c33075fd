// Test helpers for the FLAC decoder: deterministic sources, FLAC files made
// from them by the reference encoder, and what the player must play back.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/files.h"

namespace pipd::testing {

// Interleaved samples at their own bit depth (right-justified, signed).
struct audio {
    int channels = 2;
    int bps = 16;
    int rate = 44100;
    std::vector<int32_t> samples;
    std::size_t frames() const { return samples.size() / static_cast<std::size_t>(channels); }
    int32_t at(std::size_t frame, int ch) const {
        return samples[frame * static_cast<std::size_t>(channels) + static_cast<std::size_t>(ch)];
    }
};

enum class source_kind { music, noise, square, low_level, silence_and_music };

inline int32_t clamp_bits(double v, int bps) {
    const double hi = std::ldexp(1.0, bps - 1) - 1;
    const double lo = -std::ldexp(1.0, bps - 1);
    if (v > hi) v = hi;
    if (v < lo) v = lo;
    return static_cast<int32_t>(std::lround(v));
}

// Sources the tests feed the encoder. Same arguments, same samples.
inline audio make_audio(source_kind kind, int channels, int bps, int rate, std::size_t frames,
                        uint32_t seed = 1) {
    audio a;
    a.channels = channels;
    a.bps = bps;
    a.rate = rate;
    a.samples.resize(frames * static_cast<std::size_t>(channels));
    std::mt19937 rng(seed);
    const double full = std::ldexp(1.0, bps - 1);
    const double pi = 3.14159265358979323846;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        for (int c = 0; c < channels; ++c) {
            // A uniform value in [-1, 1) from the raw generator output.
            const double r = static_cast<double>(rng()) / 2147483648.0 - 1.0;
            double v = 0;
            switch (kind) {
            case source_kind::music: {
                const double env = 0.6 + 0.4 * std::sin(2 * pi * 0.7 * t + c);
                v = env * (0.35 * std::sin(2 * pi * (220.0 + 30 * c) * t) +
                           0.2 * std::sin(2 * pi * (330.0 + 7 * c) * t + 0.3) +
                           0.12 * std::sin(2 * pi * 1375.0 * t * (1 + 0.01 * c)) +
                           0.05 * std::sin(2 * pi * 5120.0 * t)) +
                    0.01 * r;
                v *= full;
                break;
            }
            case source_kind::noise:
                v = r * full;
                break;
            case source_kind::square: {
                const double period = rate / (110.0 * (c + 1));
                const bool high = std::fmod(static_cast<double>(i), period) < period / 2;
                v = high ? full - 1 : -full;
                break;
            }
            case source_kind::low_level: {
                // Small values whose low bits are all zero (wasted bits).
                const int shift = bps > 12 ? 4 : 2;
                double s = 0.01 * std::sin(2 * pi * 440.0 * t + c) + 0.002 * r;
                int32_t x = clamp_bits(s * full, bps);
                v = static_cast<double>((x >> shift) * (1 << shift));
                break;
            }
            case source_kind::silence_and_music: {
                const bool quiet = (i / 10000) % 2 == 0;
                v = quiet ? 0 : 0.5 * full * std::sin(2 * pi * 500.0 * t + c) + 0.02 * r * full;
                break;
            }
            }
            a.samples[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] =
                clamp_bits(v, bps);
        }
    }
    return a;
}

// A WAVE_FORMAT_EXTENSIBLE file: any bit depth in a whole-byte container,
// left-justified as the format wants.
inline std::vector<uint8_t> wav_bytes(const audio &a) {
    const int container = (a.bps + 7) / 8 * 8;
    const int bytes = container / 8;
    static const uint32_t masks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
    std::vector<uint8_t> data;
    data.reserve(a.samples.size() * static_cast<std::size_t>(bytes));
    for (int32_t s : a.samples) {
        uint32_t v = static_cast<uint32_t>(s) << (container - a.bps);
        if (container == 8) v ^= 0x80; // 8-bit WAV data is unsigned
        put_le(data, v, bytes);
    }
    std::vector<uint8_t> w;
    auto tag = [&w](const char *t) {
        for (int i = 0; i < 4; ++i) w.push_back(static_cast<uint8_t>(t[i]));
    };
    tag("RIFF");
    put_le(w, 4 + 8 + 40 + 8 + data.size(), 4);
    tag("WAVE");
    tag("fmt ");
    put_le(w, 40, 4);
    put_le(w, 0xFFFE, 2);
    put_le(w, static_cast<uint64_t>(a.channels), 2);
    put_le(w, static_cast<uint64_t>(a.rate), 4);
    put_le(w, static_cast<uint64_t>(a.rate * a.channels * bytes), 4);
    put_le(w, static_cast<uint64_t>(a.channels * bytes), 2);
    put_le(w, static_cast<uint64_t>(container), 2);
    put_le(w, 22, 2);
    put_le(w, static_cast<uint64_t>(a.bps), 2);
    put_le(w, masks[a.channels], 4);
    static const uint8_t pcm_guid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                         0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
    w.insert(w.end(), pcm_guid, pcm_guid + 16);
    tag("data");
    put_le(w, data.size(), 4);
    w.insert(w.end(), data.begin(), data.end());
    return w;
}

// Little-endian signed raw samples in 1, 2, 3 or 4 bytes.
inline std::vector<uint8_t> raw_bytes(const audio &a) {
    const int bytes = (a.bps + 7) / 8;
    std::vector<uint8_t> out;
    out.reserve(a.samples.size() * static_cast<std::size_t>(bytes));
    for (int32_t s : a.samples) put_le(out, static_cast<uint32_t>(s), bytes);
    return out;
}

inline bool have_program(const char *name) {
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

inline std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// Encodes the audio with the reference encoder; options are passed as they
// stand. Raw input for 8, 16 and 24 bits, WAV for the others.
inline bool flac_encode(const audio &a, const std::string &out, const std::string &options,
                        const std::string &work_dir) {
    std::string cmd = "flac -s -f --no-md5-sum ";
    std::string in;
    if (a.bps == 8 || a.bps == 16 || a.bps == 24) {
        in = work_dir + "/source.raw";
        if (!write_file(in, raw_bytes(a))) return false;
        cmd += "--force-raw-format --endian=little --sign=signed --channels=" +
               std::to_string(a.channels) + " --bps=" + std::to_string(a.bps) +
               " --sample-rate=" + std::to_string(a.rate) + " ";
    } else {
        in = work_dir + "/source.wav";
        if (!write_file(in, wav_bytes(a))) return false;
    }
    cmd += options + " -o " + shell_quote(out) + " " + shell_quote(in) + " 2>/dev/null";
    bool ok = std::system(cmd.c_str()) == 0;
    ::unlink(in.c_str());
    return ok;
}

// What the player sends for the audio: two channels at 24-bit scale, three
// to six channels folded down, one channel on both sides.
inline std::vector<int32_t> expected_stereo(const audio &a, std::size_t from_frame = 0) {
    const int s = 24 - a.bps;
    auto up = [s](int64_t v) {
        return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(v)) << s);
    };
    std::vector<int32_t> out;
    const std::size_t n = a.frames();
    if (from_frame > n) from_frame = n;
    out.reserve((n - from_frame) * 2);
    for (std::size_t i = from_frame; i < n; ++i) {
        int64_t l = a.at(i, 0);
        int64_t r = a.channels > 1 ? a.at(i, 1) : l;
        int64_t c2 = a.channels > 2 ? a.at(i, 2) : 0;
        int64_t c3 = a.channels > 3 ? a.at(i, 3) : 0;
        int64_t c4 = a.channels > 4 ? a.at(i, 4) : 0;
        int64_t c5 = a.channels > 5 ? a.at(i, 5) : 0;
        int64_t L = l, R = r;
        switch (a.channels) {
        case 3:
            L = ((2 * l + c2) * 5) >> 4;
            R = ((2 * r + c2) * 5) >> 4;
            break;
        case 4:
            L = (l + c2) >> 1;
            R = (r + c3) >> 1;
            break;
        case 5:
            L = ((2 * l + c2 + 2 * c3) * 3) >> 4;
            R = ((2 * r + c2 + 2 * c4) * 3) >> 4;
            break;
        case 6:
            L = ((2 * l + c2 + c3 + 2 * c4) * 5) >> 5;
            R = ((2 * r + c2 + c3 + 2 * c5) * 5) >> 5;
            break;
        default:
            break;
        }
        out.push_back(up(L));
        out.push_back(up(R));
    }
    return out;
}

// The samples of a 24-bit stereo WAV file written by pipd-decode --wav.
inline std::vector<int32_t> read_wav24(const std::string &path, int *rate = nullptr) {
    std::vector<uint8_t> b = read_bytes(path);
    std::vector<int32_t> out;
    if (b.size() < 44) return out;
    if (rate) *rate = static_cast<int>(b[24] | b[25] << 8 | b[26] << 16 | b[27] << 24);
    out.reserve((b.size() - 44) / 3);
    for (std::size_t i = 44; i + 3 <= b.size(); i += 3) {
        uint32_t v = static_cast<uint32_t>(b[i]) | static_cast<uint32_t>(b[i + 1]) << 8 |
                     static_cast<uint32_t>(b[i + 2]) << 16;
        out.push_back(static_cast<int32_t>(v << 8) >> 8);
    }
    return out;
}

// Index of the first difference, or -1 when equal.
inline long first_difference(const std::vector<int32_t> &a, const std::vector<int32_t> &b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

#ifdef PIPD_BINARY_DIR
struct decode_result {
    int status = -1; // exit status of pipd-decode
    std::vector<int32_t> samples;
    std::string messages;
};

// Runs this build's pipd-decode --wav on input (with a pending seek when
// seek_ms >= 0) and reads back the samples and the diagnostics.
inline decode_result run_decode(const std::string &input, const TempDir &dir, long seek_ms = -1) {
    decode_result r;
    const std::string out = dir.file("out.wav");
    const std::string err = dir.file("err.txt");
    std::string cmd = shell_quote(PIPD_BINARY_DIR "/pipd-decode") + " --wav ";
    if (seek_ms >= 0) cmd += "--seek " + std::to_string(seek_ms) + " ";
    cmd += shell_quote(input) + " " + shell_quote(out) + " 2>" + shell_quote(err);
    int st = std::system(cmd.c_str());
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.samples = read_wav24(out);
    std::vector<uint8_t> m = read_bytes(err);
    r.messages.assign(m.begin(), m.end());
    return r;
}
#endif

} // namespace pipd::testing
