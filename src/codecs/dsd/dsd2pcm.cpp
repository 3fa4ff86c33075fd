#include "codecs/dsd/dsd2pcm.h"

#include "host/diag.h"

namespace pipd {

std::array<std::array<double, 256>, DSD2PCM_TABLES> ctables;
std::array<dsd2pcm_ctx, DSD2PCM_CHANNELS> d2p;

namespace {

// Entry b is b with its eight bits in reverse order.
constexpr std::array<uint8_t, 256> conv_cc = [] {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
        int r = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (b & (1 << bit)) r |= 0x80 >> bit;
        t[b] = static_cast<uint8_t>(r);
    }
    return t;
}();
static_assert(conv_cc[0x01] == 0x80 && conv_cc[0x0F] == 0xF0 && conv_cc[0x69] == 0x96);

} // namespace

void dsd2pcm_init() {
    for (int i = 0; i < DSD2PCM_TABLES; ++i) {
        const int n = DSD2PCM_TAPS - 8 * i;
        const int k = n < 8 ? n : 8;
        for (int e = 0; e < 256; ++e) {
            double acc = 0.0;
            for (int m = 0; m < k; ++m) {
                const double s = (e >> (7 - m)) & 1 ? 1.0 : -1.0;
                acc += s * B[n - 1 - m];
            }
            ctables[i][e] = acc;
        }
        diag("dsd2pcm_init %f\n", ctables[i][0]);
    }
}

void dsd2pcm_reset(int channel) {
    if (channel < 0 || channel >= DSD2PCM_CHANNELS) return;
    d2p[channel].window.fill(0x69);
    d2p[channel].pos = 0;
}

void dsd2pcm_translate(int channel, unsigned count, const uint8_t *src, std::ptrdiff_t src_stride,
                       int reverse, int32_t *dst, std::ptrdiff_t dst_stride) {
    if (channel < 0 || channel >= DSD2PCM_CHANNELS) return;
    dsd2pcm_ctx &ctx = d2p[channel];
    uint8_t *const win = ctx.window.data();
    int32_t pos = ctx.pos;
    for (unsigned s = 0; s < count; ++s) {
        for (int half = 0; half < 2; ++half) {
            uint8_t byte = *src;
            if (reverse) byte = conv_cc[byte];
            win[pos] = byte;
            win[pos + DSD2PCM_TABLES] = byte;
            if (++pos == DSD2PCM_TABLES) pos = 0;
            src += src_stride;
        }
        double acc = 0.0;
        for (int j = 0; j < DSD2PCM_TABLES; ++j) acc += ctables[j][win[pos + j]];
        *dst = static_cast<int32_t>(acc * 8388608.0);
        dst += dst_stride;
    }
    ctx.pos = pos;
}

} // namespace pipd
