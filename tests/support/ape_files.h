// Test helpers for the APE decoder: APE files made by the reference encoder
// (jmac) from the shared generated sources, kept in the build tree so that
// every test process reuses them, and a reader of the header fields tests
// patch.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/flac_files.h"
#include "support/wav_writer.h"

namespace pipd::testing {

// What the encoder accepts: a plain PCM WAV file (format tag 1).
inline std::vector<uint8_t> pcm_wav(const audio &a) {
    const unsigned width = static_cast<unsigned>((a.bps + 7) / 8);
    testing::fmt_fields f;
    f.channels = static_cast<uint16_t>(a.channels);
    f.rate = static_cast<uint32_t>(a.rate);
    f.bits = static_cast<uint16_t>(a.bps);
    return testing::WavWriter().fmt(f).data(testing::pack_samples(a.samples, width)).file();
}

// Encodes the audio at a level ("c1000" to "c4000") into the media cache
// under the build tree, once: the file is named after everything that
// decides its content. Empty when the encoder is missing or failed (it
// exits 0 even then, so its output is checked).
inline std::string jmac_file(const audio &a, const std::string &name, const std::string &level) {
    const std::string dir = PIPD_BINARY_DIR "/ape-media";
    const std::string path = dir + "/" + name + "-" + level + ".ape";
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
    if (!have_program("jmac")) return "";
    ::mkdir(dir.c_str(), 0755);
    const std::string tmp = path + "." + std::to_string(::getpid());
    const std::string wav = tmp + ".wav";
    if (!write_file(wav, pcm_wav(a))) return "";
    const std::string log = tmp + ".log";
    const std::string cmd = "jmac " + level + " " + shell_quote(wav) + " " + shell_quote(tmp) +
                            " >" + shell_quote(log) + " 2>&1";
    if (std::system(cmd.c_str()) != 0) {
    } // judged by the file it leaves
    const std::vector<uint8_t> made = read_bytes(tmp);
    const std::string text = read_file(log);
    ::unlink(wav.c_str());
    ::unlink(log.c_str());
    if (made.size() < 64 || std::string(made.begin(), made.begin() + 4) != "MAC " ||
        text.find("Exception") != std::string::npos) {
        ::unlink(tmp.c_str());
        return "";
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0 ? path : "";
}

// Where the fields of a file with a descriptor (version 3980 and later) lie.
struct ape_layout {
    bool ok = false;
    std::size_t header = 0;     // offset of the header block
    std::size_t seektable = 0;  // offset of the seek table
    std::size_t firstframe = 0; // offset of the first frame
    uint32_t seekpoints = 0;
    uint32_t blocksperframe = 0;
    uint32_t finalframeblocks = 0;
    uint32_t totalframes = 0;

    // Header fields, as offsets into the file.
    std::size_t compressiontype() const { return header; }
    std::size_t field_blocksperframe() const { return header + 4; }
    std::size_t field_finalframeblocks() const { return header + 8; }
    std::size_t field_totalframes() const { return header + 12; }
    std::size_t field_bps() const { return header + 16; }
    std::size_t field_channels() const { return header + 18; }
    std::size_t field_samplerate() const { return header + 20; }
};

inline ape_layout parse_ape_layout(const std::vector<uint8_t> &f, std::size_t start = 0) {
    ape_layout l;
    if (f.size() < start + 52 || std::string(f.begin() + static_cast<long>(start),
                                             f.begin() + static_cast<long>(start) + 4) != "MAC ")
        return l;
    const uint32_t descriptor = static_cast<uint32_t>(load_le(&f[start + 8], 4));
    const uint32_t header = static_cast<uint32_t>(load_le(&f[start + 12], 4));
    const uint32_t seektable = static_cast<uint32_t>(load_le(&f[start + 16], 4));
    const uint32_t wavheader = static_cast<uint32_t>(load_le(&f[start + 20], 4));
    l.header = start + descriptor;
    l.seektable = l.header + header;
    l.firstframe = l.seektable + seektable + wavheader;
    l.seekpoints = seektable / 4;
    if (f.size() < l.header + 24) return l;
    l.blocksperframe = static_cast<uint32_t>(load_le(&f[l.header + 4], 4));
    l.finalframeblocks = static_cast<uint32_t>(load_le(&f[l.header + 8], 4));
    l.totalframes = static_cast<uint32_t>(load_le(&f[l.header + 12], 4));
    l.ok = true;
    return l;
}

// A copy padded with zeros after the last frame to the player's first
// read, so that short files are played.
inline std::vector<uint8_t> padded(std::vector<uint8_t> f, std::size_t to = 131072) {
    if (f.size() < to) f.resize(to, 0);
    return f;
}

} // namespace pipd::testing
