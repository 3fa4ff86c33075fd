// Test helpers for MP3: files made by lame from the generated sources, and
// what madplay (libmad's own player, a black box here) plays from them.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/flac_files.h"

namespace pipd::testing {

// Encodes a 16-bit source with lame, by default without the info frame
// (-t) and so without the trims its LAME tag brings.
inline bool lame_encode(const audio &a, const std::string &out, const std::string &options,
                        const std::string &work_dir, bool info_frame = false) {
    const std::string in = work_dir + "/source.raw";
    if (a.bps != 16 || !write_file(in, raw_bytes(a))) return false;
    char khz[32];
    std::snprintf(khz, sizeof khz, "%g", a.rate / 1000.0);
    const std::string cmd = std::string("lame --quiet ") + (info_frame ? "" : "-t ") +
                            "-r --bitwidth 16 --signed " + "--little-endian -s " + khz +
                            (a.channels == 1 ? " -m m " : " ") + options + " " + shell_quote(in) +
                            " " + shell_quote(out) + " 2>/dev/null";
    const bool ok = std::system(cmd.c_str()) == 0;
    ::unlink(in.c_str());
    return ok;
}

// What madplay decodes from the file, undithered at 24 bits, as stereo.
inline std::vector<int32_t> madplay_samples(const std::string &path, const std::string &work_dir) {
    const std::string raw = work_dir + "/madplay.raw";
    const std::string cmd = "madplay -q -d -b 24 -S -o raw:" + shell_quote(raw) + " " +
                            shell_quote(path) + " 2>/dev/null";
    std::vector<int32_t> out;
    if (std::system(cmd.c_str()) != 0) return out;
    const std::vector<uint8_t> b = read_bytes(raw);
    ::unlink(raw.c_str());
    out.reserve(b.size() / 3);
    for (std::size_t i = 0; i + 3 <= b.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(b[i]) | static_cast<uint32_t>(b[i + 1]) << 8 |
                           static_cast<uint32_t>(b[i + 2]) << 16;
        out.push_back(static_cast<int32_t>(v << 8) >> 8);
    }
    return out;
}

// A pure tone of the given frequency, half scale, 16 bits.
inline audio sine(int channels, int rate, std::size_t frames, double hz) {
    audio a;
    a.channels = channels;
    a.rate = rate;
    a.samples.resize(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            a.samples[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] =
                static_cast<int32_t>(
                    std::lround(16384.0 * std::sin(2 * 3.14159265358979323846 * hz * i / rate)));
    return a;
}

// Frequency of the tone on channel 0 of interleaved stereo, over the middle
// 80% (away from encoder delay and the edges): full periods between the
// first and the last rising zero crossing, each placed between its two
// samples.
inline double tone_frequency(const std::vector<int32_t> &stereo, int rate) {
    double first = -1, last = -1;
    long periods = -1;
    const std::size_t n = stereo.size() / 2;
    for (std::size_t i = 2 * (n / 10 + 1); i < 2 * (n - n / 10); i += 2) {
        const double a = stereo[i - 2], b = stereo[i];
        if (a < 0 && b >= 0) {
            const double t = static_cast<double>(i / 2 - 1) + a / (a - b);
            if (first < 0) first = t;
            last = t;
            ++periods;
        }
    }
    return periods > 0 ? periods * rate / (last - first) : 0;
}

} // namespace pipd::testing
