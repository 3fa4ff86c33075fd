// Writes the seed corpus of the sacd fuzz target: small generated disc
// images in both sector formats, cut to the fuzz input layout (control
// byte, then the image from sector 510 on). Built and run by
// make_sacd_seeds.sh.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/dsd_files.h"
#include "tests/support/sacd_image.h"

using namespace pipd::testing;

namespace {

std::vector<track> small_tracks(uint32_t seed) {
    std::vector<track> t(3);
    t[0].frames = {dsd_frame(seed, 2000), dsd_frame(seed + 1, 2000), dsd_frame(seed + 2, 901)};
    t[1].frames = {dsd_frame(seed + 3, 1500)};
    t[2].frames = {dsd_frame(seed + 4, 2500), dsd_frame(seed + 5, 300)};
    t[0].text = {{1, "One"}, {2, "Someone"}};
    t[2].text = {{1, "Three \xE2\x80\x94"}};
    t[0].time = {0, 3, 12};
    return t;
}

bool seed_file(const std::string &dir, const std::string &name, image img) {
    img.first_area_toc = 520;
    img.audio_gap = 0;
    for (auto &a : img.areas) a.skip_sectors = false;
    img.build();
    const std::string tmp = dir + "/." + name + ".iso";
    if (!img.write(tmp)) return false;
    const uint8_t control = img.sector_size == 2064 ? 2 : 0;
    std::vector<uint8_t> data{control};
    if (std::FILE *f = std::fopen(tmp.c_str(), "rb")) {
        std::fseek(f, static_cast<long>(fuzz_file_start(control)), SEEK_SET);
        int c;
        while ((c = std::fgetc(f)) != EOF) data.push_back(static_cast<uint8_t>(c));
        std::fclose(f);
    }
    std::remove(tmp.c_str());
    if (data.size() > 65536) {
        std::fprintf(stderr, "seed %s: %zu bytes, more than the fuzz inputs\n", name.c_str(),
                     data.size());
        return false;
    }
    std::FILE *out = std::fopen((dir + "/" + name).c_str(), "wb");
    if (!out) return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), out) == data.size();
    return std::fclose(out) == 0 && ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sacd_seeds DIR\n");
        return 64;
    }
    const std::string dir = argv[1];
    image multi = one_area(small_tracks(20));
    multi.areas.push_back(multi.areas[0]);
    multi.areas[1].id = "MULCHTOC";
    multi.areas[1].channels = 6;
    multi.areas[1].speakers = 4;
    multi.areas[1].tracks.resize(1);
    bool ok = seed_file(dir, "plain-2048", one_area(small_tracks(1))) &&
              seed_file(dir, "plain-2064", one_area(small_tracks(2), {}, 2064)) &&
              seed_file(dir, "packets-2048", one_area(small_tracks(3), {400, 2, 700, 3})) &&
              seed_file(dir, "packets-2064", one_area(small_tracks(4), {300, 3, 33, 4}, 2064)) &&
              seed_file(dir, "dst-2064", one_area(small_tracks(5), {900, 0, 0, 0, true}, 2064)) &&
              seed_file(dir, "two-areas", multi);
    // Frames of a real DST encoder (when the shared samples are at hand),
    // then a damaged one.
    std::vector<track> coded(1);
    coded[0].frames =
        dstf_bodies(read_bytes(PIPD_SOURCE_DIR "/../shared/media/dst-stereo-dsd64-tone.dff"));
    if (coded[0].frames.size() > 4) {
        coded[0].frames.resize(4);
        coded[0].frames[3].resize(100);
        ok = ok && seed_file(dir, "dst-coded", one_area(coded, {2047, 0, 0, 0, true}));
    }
    return ok ? 0 : 1;
}
