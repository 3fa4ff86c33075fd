// Gapless playback: a signal cut into files plays as the uncut file does,
// packet for packet, when the files follow at the same rate; a rate change
// between them still ends the first file's stream with its own packet.

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "protocol/packets.h"
#include "support/files.h"
#include "support/flac_files.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

// The part [from, to) of the audio, at rate.
audio slice(const audio &a, std::size_t from, std::size_t to, int rate) {
    audio s = a;
    s.rate = rate;
    s.samples.assign(a.samples.begin() + static_cast<long>(from * a.channels),
                     a.samples.begin() + static_cast<long>(to * a.channels));
    return s;
}

// The pipe's bytes for the files played in a row, as the daemon plays them.
std::string play_in_a_row(const std::vector<std::string> &files) {
    Sandbox sb;
    for (std::size_t k = 0; k < files.size(); ++k)
        EXPECT_EQ(sb.play(files[k], k + 1 == files.size()), 0) << files[k];
    return sb.stream();
}

} // namespace

TEST(Gapless, ACutSignalPlaysAsTheUncutOne) {
    struct row {
        const char *kind; // "wav" or "flac"
        int rate;         // of the first piece
        int second_rate;  // of the others
        std::vector<std::size_t> cuts;
    } const rows[] = {
        {"wav", 44100, 44100, {7001, 19333}},
        {"flac", 44100, 44100, {4097, 20000}},
        {"wav", 32000, 32000, {12345}}, // through the resampler, its state kept
        {"wav", 44100, 48000, {9999}},  // a rate change: the first stream ends
    };
    TempDir dir;
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.kind) + " " + std::to_string(r.second_rate));
        const audio a = make_audio(source_kind::music, 2, 16, r.rate, 30000);
        auto write = [&](const audio &part, const std::string &name) {
            const std::string path = dir.file(name + "." + r.kind);
            const bool ok = std::string(r.kind) == "wav" ? write_file(path, wav_bytes(part))
                                                         : flac_encode(part, path, "", dir.path());
            EXPECT_TRUE(ok) << path;
            return path;
        };
        std::vector<std::string> pieces;
        std::size_t from = 0;
        for (std::size_t k = 0; k <= r.cuts.size(); ++k) {
            const std::size_t to = k < r.cuts.size() ? r.cuts[k] : a.frames();
            pieces.push_back(write(slice(a, from, to, k == 0 ? r.rate : r.second_rate),
                                   "piece" + std::to_string(k)));
            from = to;
        }
        const std::string cut = play_in_a_row(pieces);
        if (r.rate == r.second_rate) {
            EXPECT_EQ(cut, play_in_a_row({write(a, "whole")}));
        } else {
            // Each stream ends with its own padded packet.
            const std::string first = play_in_a_row({pieces[0]});
            ASSERT_EQ(first.size(), 20 * PACKET_BYTES); // 9,999 frames: 19 full packets and a part
            EXPECT_EQ(cut.substr(0, first.size()), first);
            EXPECT_EQ(cut.substr(first.size()), play_in_a_row({pieces[1]}));
        }
    }
}
