// Writes the SACD benchmark's disc image: DSD64 stereo of noise-like
// frames, the given number of seconds split over the given number of
// tracks, in 2048-byte sectors, made by the tests' image writer.
// usage: make_sacd_image OUTPUT SECONDS TRACKS
#include <cstdio>
#include <cstdlib>

#include "tests/support/sacd_image.h"

using namespace pipd::testing;

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_sacd_image OUTPUT SECONDS TRACKS\n");
        return 64;
    }
    const long seconds = std::strtol(argv[2], nullptr, 10);
    const long tracks = std::strtol(argv[3], nullptr, 10);
    if (seconds <= 0 || tracks <= 0 || tracks > 255) return 64;
    const long frames = seconds * 75;
    std::vector<track> t(static_cast<std::size_t>(tracks));
    for (long f = 0; f < frames; ++f)
        t[static_cast<std::size_t>(f * tracks / frames)].frames.push_back(
            dsd_frame(static_cast<uint32_t>(f)));
    for (long k = 0; k < tracks; ++k) {
        auto &tr = t[static_cast<std::size_t>(k)];
        const long s = static_cast<long>(tr.frames.size()) / 75;
        tr.time = {static_cast<uint8_t>(s / 60), static_cast<uint8_t>(s % 60), 0};
        tr.text = {{1, "Track " + std::to_string(k + 1)}};
    }
    return one_area(std::move(t)).build().write(argv[1]) ? 0 : 1;
}
