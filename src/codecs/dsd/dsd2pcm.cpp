#include "codecs/dsd/dsd2pcm.h"

#include <cstring>
#include <utility>

#include "core/diag.h"

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

namespace {

constexpr unsigned PASS = 512; // outputs converted per pass over a linear buffer
constexpr unsigned CHAINS = 4; // outputs summed side by side

// Adds table j's entry for w[2c + j] to acc[c], for j = 0 .. 18 in this
// order and for the outputs c side by side: each output's sum keeps the
// order of the plain one-at-a-time sum, so it has the same bits; only the
// additions of different outputs overlap. Spelled out per j so that every
// byte is loaded once for all the outputs that read it.
template <std::size_t J> inline void add_table(const uint8_t *w, double (&acc)[CHAINS]) {
    for (unsigned c = 0; c < CHAINS; ++c) acc[c] += ctables[J][w[2 * c + J]];
}
template <std::size_t... J>
inline void sum_chains(const uint8_t *w, double (&acc)[CHAINS], std::index_sequence<J...>) {
    (add_table<J>(w, acc), ...);
}

// Output k is the sum, oldest byte first, of table j's entry for
// line[2k + 2 + j], j = 0 .. 18.
inline void convert_pass(const uint8_t *line, unsigned n, int32_t *dst, std::ptrdiff_t dst_stride) {
    unsigned k = 0;
    for (; k + CHAINS <= n; k += CHAINS) {
        double acc[CHAINS] = {};
        sum_chains(line + 2 * k + 2, acc, std::make_index_sequence<DSD2PCM_TABLES>());
        for (double a : acc) {
            *dst = static_cast<int32_t>(a * 8388608.0);
            dst += dst_stride;
        }
    }
    for (; k < n; ++k) {
        const uint8_t *w = line + 2 * k + 2;
        double acc = 0.0;
        for (int j = 0; j < DSD2PCM_TABLES; ++j) acc += ctables[j][w[j]];
        *dst = static_cast<int32_t>(acc * 8388608.0);
        dst += dst_stride;
    }
}

} // namespace

void dsd2pcm_translate(int channel, unsigned count, const uint8_t *src, std::ptrdiff_t src_stride,
                       int reverse, int32_t *dst, std::ptrdiff_t dst_stride) {
    if (channel < 0 || channel >= DSD2PCM_CHANNELS || count == 0) return;
    dsd2pcm_ctx &ctx = d2p[channel];
    // The window, oldest byte first, then the bytes of this pass: the
    // stream laid out straight, so that no output needs the ring.
    uint8_t line[DSD2PCM_TABLES + 2 * PASS];
    std::memcpy(line, ctx.window.data() + ctx.pos, DSD2PCM_TABLES);
    uint64_t written = 0;
    while (count > 0) {
        const unsigned n = count < PASS ? count : PASS;
        uint8_t *in = line + DSD2PCM_TABLES;
        if (reverse) {
            for (unsigned i = 0; i < 2 * n; ++i, src += src_stride) in[i] = conv_cc[*src];
        } else if (src_stride == 1) {
            std::memcpy(in, src, 2 * n);
            src += 2 * n;
        } else {
            for (unsigned i = 0; i < 2 * n; ++i, src += src_stride) in[i] = *src;
        }
        convert_pass(line, n, dst, dst_stride);
        dst += dst_stride * static_cast<std::ptrdiff_t>(n);
        written += 2 * n;
        count -= n;
        // The newest 19 bytes are the next pass's history.
        std::memmove(line, line + 2 * n, DSD2PCM_TABLES);
    }
    // Back into the ring: the byte that is j-th oldest lies at pos + j (and
    // 19 further), where pos has advanced by one per byte consumed.
    const int32_t pos = static_cast<int32_t>((ctx.pos + written) % DSD2PCM_TABLES);
    for (int j = 0; j < DSD2PCM_TABLES; ++j) {
        const int p = (pos + j) % DSD2PCM_TABLES;
        ctx.window[p] = line[j];
        ctx.window[p + DSD2PCM_TABLES] = line[j];
    }
    ctx.pos = pos;
}

} // namespace pipd
