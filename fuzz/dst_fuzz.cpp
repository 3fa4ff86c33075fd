// libFuzzer target: arbitrary bytes decoded as one DST frame. The first byte
// picks the channel count (1 to 6) and the rate (DSD64, 128 or 256); the
// rest is the frame, copied to a buffer of exactly its size so that any read
// past it is caught.
//
// Beyond the sanitizers' faults: a frame the decoder refuses leaves DSD
// silence in every output byte, and a frame it accepts was either plain (its
// bytes unchanged) or coded.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/dsd/dst_decoder.h"

namespace {

void require(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "dst_fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const int channels = data[0] % pipd::DST_MAX_CHANNELS + 1;
    static constexpr int rates[] = {64, 128, 256, 64};
    const int rate = rates[(data[0] >> 4) & 3];
    const std::vector<uint8_t> frame(data + 1, data + size);
    std::vector<uint8_t> out(channels * pipd::dst_channel_bytes(rate), 0);
    const int status = pipd::dst_decode_frame(frame.data(), static_cast<uint32_t>(frame.size()),
                                              channels, rate, out.data());
    if (status != pipd::DST_OK) {
        for (uint8_t b : out)
            require(b == pipd::DSD_SILENCE_BYTE, "a refused frame is not silence");
    } else if (!frame.empty() && (frame[0] & 0x80) == 0) {
        require(std::memcmp(out.data(), frame.data() + 1, out.size()) == 0,
                "a plain frame changed");
    }
    return 0;
}
