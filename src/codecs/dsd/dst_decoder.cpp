#include "codecs/dsd/dst_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace pipd {

namespace {

constexpr int MAX_FILTER_LENGTH = 128;
constexpr int MAX_TABLE_LENGTH = 64;
constexpr int GROUPS = MAX_FILTER_LENGTH / 8; // bytes of history
constexpr int PROB_INDEXES = 32768 / 8 + 1;   // |Z| / 8 for |Z| <= 32768
constexpr uint32_t MAX_FRAME = dst_max_frame_bytes(DST_MAX_CHANNELS, DST_MAX_RATE_MULTIPLE);
constexpr uint32_t FRAME_PAD = 8; // zero bytes after a frame's copy

// Prediction coefficients of the coded element tables, by method; row 0 is
// for filter coefficients, row 1 for probabilities.
constexpr int PREDICTION[2][3][3] = {
    {{-8, 0, 0}, {-16, 8, 0}, {-9, -5, 6}},
    {{-8, 0, 0}, {-16, 8, 0}, {-24, 24, -8}},
};

// Eight 16-bit sums side by side (vector registers where the machine has
// them).
typedef int16_t lanes __attribute__((vector_size(16)));

// The tables of the frame being decoded. For filter f and history nibble g
// (g = 0: the newest four bits), fir[f][g][v][j] is the filter's share of that
// nibble when it has value v, for the bit in position j of an output byte
// (see build_fir); near[f] gives the share of the bits of the output byte
// already decoded. prob[t][i] is table t's probability for |Z| / 8 == i,
// already limited to the table's length.
struct frame_tables {
    std::array<std::array<std::array<lanes, 16>, 2 * GROUPS>, DST_MAX_CHANNELS> fir;
    std::array<std::array<int16_t, 256>, DST_MAX_CHANNELS> near;
    std::array<int, DST_MAX_CHANNELS> last_coef;
    std::array<std::array<uint8_t, PROB_INDEXES>, DST_MAX_CHANNELS> prob;
    std::array<std::array<int16_t, MAX_FILTER_LENGTH>, DST_MAX_CHANNELS> coef;
    std::array<int, DST_MAX_CHANNELS> coef_length;
    std::array<std::array<int16_t, MAX_TABLE_LENGTH>, DST_MAX_CHANNELS> ptab;
    std::array<int, DST_MAX_CHANNELS> ptab_length;
};
frame_tables tables;

// The frame with zero bytes after it, so that the coder's reads past the end
// (which are normal near the end of a frame) see zeros.
alignas(8) std::array<uint8_t, MAX_FRAME + FRAME_PAD> frame_copy;

// The channels' start-of-frame history and output, see decode_bits.
constexpr uint32_t HISTORY_BYTES = GROUPS;
std::array<uint8_t, (HISTORY_BYTES + dst_channel_bytes(DST_MAX_RATE_MULTIPLE)) * DST_MAX_CHANNELS>
    work;

// Header fields, most significant bit first, each checked against the end.
struct bit_reader {
    const uint8_t *data;
    uint64_t pos;  // bits consumed
    uint64_t bits; // bits in the frame
    bool ok = true;

    uint32_t get(int n) {
        if (!ok || bits - pos < static_cast<uint64_t>(n)) {
            ok = false;
            return 0;
        }
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++pos) v = (v << 1) | ((data[pos >> 3] >> (7 - (pos & 7))) & 1);
        return v;
    }
    int32_t get_signed(int n) {
        const uint32_t v = get(n);
        return static_cast<int32_t>(v << (32 - n)) >> (32 - n);
    }
};

// One channel map: element per channel; the count of elements, 0 on error.
int read_map(bit_reader &br, int channels, std::array<int, DST_MAX_CHANNELS> &map) {
    map.fill(0);
    if (br.get(1)) return br.ok ? 1 : 0;
    int count = 1;
    for (int ch = 1; ch < channels; ++ch) {
        int width = 1;
        while ((count >> width) != 0) ++width; // floor(log2(count)) + 1
        const int v = static_cast<int>(br.get(width));
        if (!br.ok || v > count) return 0;
        if (v == count) ++count;
        map[ch] = v;
    }
    return count;
}

// Signed Rice code with parameter m; false when it runs off the frame or
// grows beyond any valid residual.
bool read_rice(bit_reader &br, int m, int32_t &value) {
    uint32_t q = 0;
    for (;;) {
        const uint32_t bit = br.get(1);
        if (!br.ok) return false;
        if (bit) break;
        if ((++q << m) > 1024) return false;
    }
    const uint32_t magnitude = (q << m) | br.get(m);
    const bool negative = magnitude != 0 && br.get(1);
    value = negative ? -static_cast<int32_t>(magnitude) : static_cast<int32_t>(magnitude);
    return br.ok;
}

struct element_kind {
    int length_bits; // 7 for filters, 6 for probability tables
    int raw_bits;    // 9 signed, or 7 unsigned plus one
    bool is_signed;
    int lowest, highest;
    int row; // of PREDICTION
};
constexpr element_kind FILTER{7, 9, true, -256, 255, 0};
constexpr element_kind PROBABILITY{6, 7, false, 1, 128, 1};

int read_raw(bit_reader &br, const element_kind &k) {
    return k.is_signed ? br.get_signed(k.raw_bits) : static_cast<int>(br.get(k.raw_bits)) + 1;
}

// One filter's coefficients or one probability table; a status.
int read_elements(bit_reader &br, const element_kind &k, int16_t *v, int &length) {
    length = static_cast<int>(br.get(k.length_bits)) + 1;
    if (!br.get(1)) {
        for (int j = 0; j < length; ++j) v[j] = static_cast<int16_t>(read_raw(br, k));
        return br.ok ? DST_OK : DST_TRUNCATED;
    }
    const int method = static_cast<int>(br.get(2));
    if (!br.ok) return DST_TRUNCATED;
    if (method == 3) return DST_BAD_METHOD;
    for (int j = 0; j <= method; ++j) {
        const int first = read_raw(br, k);
        if (j < length) v[j] = static_cast<int16_t>(first);
    }
    const int m = static_cast<int>(br.get(3));
    if (!br.ok) return DST_TRUNCATED;
    const int *pc = PREDICTION[k.row][method];
    for (int j = method + 1; j < length; ++j) {
        int32_t r = 0;
        if (!read_rice(br, m, r)) return DST_BAD_RICE;
        int32_t x = 0;
        for (int i = 0; i <= method; ++i) x += pc[i] * v[j - 1 - i];
        const int32_t e = r - ((x + 4) >> 3);
        if (e < k.lowest || e > k.highest) return DST_BAD_ENTRY;
        v[j] = static_cast<int16_t>(e);
    }
    return br.ok ? DST_OK : DST_TRUNCATED;
}

// Filter f's tables. The prediction for the bit in position j of an output
// byte (0 the earliest) is split at the byte's start: the bits before it,
// whole bytes of the channel's output taken a nibble at a time (eight lanes,
// one per j), and the j bits of the byte already decoded (near[u], u being
// those bits behind a marker bit 1 << j). The coefficient 127 positions back
// is left out of lane 0 (and added per byte), so that no lane's sum can leave
// 16 bits. Tables of nibbles rather than bytes keep a filter's tables at
// 8 KiB, small enough to stay in the first-level cache beside the others.
void build_fir(int f) {
    std::array<int, MAX_FILTER_LENGTH + 8> h{};
    for (int k = 0; k < tables.coef_length[f]; ++k) h[k] = tables.coef[f][k];
    for (int g = 0; g < 2 * GROUPS; ++g) {
        auto &t = tables.fir[f][g];
        int w[4][8]; // [bit of the nibble][lane]
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 8; ++j)
                w[k][j] = 4 * g + k + j == 127 && j == 0 ? 0 : h[4 * g + k + j];
        for (int j = 0; j < 8; ++j) {
            int sum = 0;
            for (int k = 0; k < 4; ++k) sum += w[k][j];
            t[0][j] = static_cast<int16_t>(-sum);
        }
        for (int v = 1; v < 16; ++v) {
            const int low = __builtin_ctz(static_cast<unsigned>(v));
            for (int j = 0; j < 8; ++j)
                t[v][j] = static_cast<int16_t>(t[v & (v - 1)][j] + 2 * w[low][j]);
        }
    }
    auto &near = tables.near[f];
    near[1] = 0;
    for (int u = 2; u < 256; ++u) {
        // u's newest bit is bit 0; the older ones move one coefficient on.
        const int j = 31 - __builtin_clz(static_cast<unsigned>(u));
        int z = 0;
        for (int i = 0; i < j; ++i) z += (u >> i) & 1 ? h[i] : -h[i];
        near[u] = static_cast<int16_t>(z);
    }
    tables.last_coef[f] = h[127];
}

void build_prob(int t) {
    const int length = tables.ptab_length[t];
    uint8_t *p = tables.prob[t].data();
    for (int i = 0; i < PROB_INDEXES; ++i)
        p[i] = static_cast<uint8_t>(tables.ptab[t][std::min(i, length - 1)]);
}

// The coder's interval step Q = K x P, by P (1 .. 128) and by the interval
// width's bits 11 .. 7 (K: bits 11 .. 8, the lowest set when bit 7 is).
constexpr int WIDTH_INDEXES = 32;
const std::array<std::array<uint16_t, WIDTH_INDEXES>, 129> STEPS = [] {
    std::array<std::array<uint16_t, WIDTH_INDEXES>, 129> t{};
    for (uint32_t p = 0; p <= 128; ++p)
        for (uint32_t v = 0; v < WIDTH_INDEXES; ++v)
            t[p][v] = static_cast<uint16_t>(((v >> 1) | (v & 1)) * p);
    return t;
}();

// The arithmetic decoder. The code value sits in the top 12 bits of a 64-bit
// window whose lower bits hold the frame's next bits, so that
// renormalising is one shift.
struct arith {
    const uint8_t *next;  // next byte to load into the window
    const uint8_t *limit; // from here on the frame reads as zeros
    uint64_t bits;        // the frame's next bits, the first in bit 63
    int fill;             // bits valid in it
    uint32_t a, c;        // interval width and code value

    void refill() {
        uint32_t v = 0;
        if (next < limit)
            v = (uint32_t{next[0]} << 24) | (uint32_t{next[1]} << 16) | (uint32_t{next[2]} << 8) |
                next[3];
        next += 4;
        bits |= uint64_t{v} << (32 - fill);
        fill += 32;
    }

    // One residual with probability p / 256 of a 1.
    inline uint32_t decode(uint32_t p) {
        const uint32_t q = STEPS[p][a >> 7];
        uint32_t d = a - q;
        // Mostly the prediction was right and the interval stays wide
        // enough: nothing more to do.
        if ((c < d) & (d >= 2048)) [[likely]] {
            a = d;
            return 0;
        }
        uint32_t e = 0;
        if (c >= d) {
            e = 1;
            c -= d;
            d = q;
        }
        const unsigned shift = static_cast<unsigned>(__builtin_clz(d)) - 20u;
        a = d << shift;
        c = (c << shift) | static_cast<uint32_t>((bits >> 1) >> (63 - shift));
        bits <<= shift;
        fill -= static_cast<int>(shift);
        if (fill < 16) refill();
        return e;
    }
};

// The sums of a channel's filter over the bytes before a byte, with its
// history at line (channel ch of C): bytes g_from .. 15 back, lane 0 without
// the coefficient 127 bits back.
template <int C>
inline lanes sum_groups(const std::array<lanes, 16> *fir, const uint8_t *line, int ch, int g_from) {
    const uint8_t b0 = line[(-1 - g_from) * C + ch];
    lanes acc = fir[2 * g_from][b0 & 15] + fir[2 * g_from + 1][b0 >> 4];
    for (int g = g_from + 1; g < GROUPS; ++g) {
        const uint8_t b = line[(-1 - g) * C + ch];
        acc += fir[2 * g][b & 15] + fir[2 * g + 1][b >> 4];
    }
    return acc;
}

// Decodes bytes from .. to of every channel, C channels interleaved bit by
// bit. work holds, per channel, 16 bytes of start-of-frame history and then
// the output, byte-interleaved like the frame's output. HALF: some channel's
// bits may still have probability 1/2 (only in the first 16 bytes).
template <int C, bool HALF>
void decode_bytes(arith &ac, const int *filter_of, const int *table_of, const uint32_t *half_end,
                  uint32_t from, uint32_t to, uint8_t *work) {
    typedef int32_t wide __attribute__((vector_size(32)));
    const std::array<lanes, 16> *fir[C];
    const int16_t *near[C];
    const uint8_t *prob[C];
    int32_t last[C];
    wide fixed[C]; // this byte's sums over the bytes before it
    for (int ch = 0; ch < C; ++ch) {
        fir[ch] = tables.fir[filter_of[ch]].data();
        near[ch] = tables.near[filter_of[ch]].data();
        prob[ch] = tables.prob[table_of[ch]].data();
        last[ch] = tables.last_coef[filter_of[ch]];
    }
    uint8_t *line = work + (HISTORY_BYTES + from) * C; // this byte, channel 0
    for (int ch = 0; ch < C; ++ch) {
        fixed[ch] = __builtin_convertvector(sum_groups<C>(fir[ch], line, ch, 0), wide);
        fixed[ch][0] += line[-GROUPS * C + ch] & 0x80 ? last[ch] : -last[ch];
    }
    uint32_t n = 8 * from;
    for (uint32_t m = from; m < to; ++m, line += C) {
        // The next byte's sums but for this byte's share: they do not wait
        // for this byte's bits.
        lanes rest[C];
        int32_t rest_last[C];
        for (int ch = 0; ch < C; ++ch) {
            rest[ch] = sum_groups<C>(fir[ch], line + C, ch, 1);
            rest_last[ch] = line[(1 - GROUPS) * C + ch] & 0x80 ? last[ch] : -last[ch];
        }
        uint32_t u[C];
        for (int ch = 0; ch < C; ++ch) u[ch] = 1;
        for (int j = 0; j < 8; ++j, ++n) {
#pragma GCC unroll 6
            for (int ch = 0; ch < C; ++ch) {
                const int32_t z = fixed[ch][j] + near[ch][u[ch]];
                const uint32_t magnitude = static_cast<uint32_t>(z < 0 ? -z : z);
                uint32_t p = prob[ch][magnitude >> 3];
                if (HALF && n < half_end[ch]) p = 128;
                const uint32_t bit = (z >= 0 ? 1u : 0u) ^ ac.decode(p);
                u[ch] = (u[ch] << 1) | bit;
            }
        }
        for (int ch = 0; ch < C; ++ch) {
            const uint8_t byte = static_cast<uint8_t>(u[ch]);
            line[ch] = byte;
            fixed[ch] = __builtin_convertvector(
                rest[ch] + fir[ch][0][byte & 15] + fir[ch][1][byte >> 4], wide);
            fixed[ch][0] += rest_last[ch];
        }
    }
}

template <int C>
void decode_bits(arith &ac, const int *filter_of, const int *table_of, const uint32_t *half_end,
                 uint32_t bytes_per_channel, uint8_t *work) {
    const uint32_t head = std::min<uint32_t>(bytes_per_channel, MAX_FILTER_LENGTH / 8);
    decode_bytes<C, true>(ac, filter_of, table_of, half_end, 0, head, work);
    decode_bytes<C, false>(ac, filter_of, table_of, half_end, head, bytes_per_channel, work);
}

// decode_bits for 1 .. DST_MAX_CHANNELS channels, by channel count - 1.
using decode_bits_fn = void (*)(arith &, const int *, const int *, const uint32_t *, uint32_t,
                                uint8_t *);
constexpr std::array<decode_bits_fn, DST_MAX_CHANNELS> DECODE_BITS = {
    decode_bits<1>, decode_bits<2>, decode_bits<3>, decode_bits<4>, decode_bits<5>, decode_bits<6>};

int decode_coded(const uint8_t *frame, uint32_t size, int channels, uint32_t bytes_per_channel,
                 uint8_t *out) {
    bit_reader br{frame, 1, uint64_t{size} * 8};
    // Segmentation: only one segment per channel is supported.
    const uint32_t seg = br.get(3);
    if (!br.ok) return DST_TRUNCATED;
    if (seg != 7) return DST_SEGMENTED;

    std::array<int, DST_MAX_CHANNELS> filter_of{}, table_of{};
    const uint32_t same_mapping = br.get(1);
    const int filters = read_map(br, channels, filter_of);
    if (!br.ok) return DST_TRUNCATED;
    if (filters == 0) return DST_BAD_MAP;
    int probs = filters;
    if (same_mapping) {
        table_of = filter_of;
    } else {
        probs = read_map(br, channels, table_of);
        if (!br.ok) return DST_TRUNCATED;
        if (probs == 0) return DST_BAD_MAP;
    }
    std::array<uint32_t, DST_MAX_CHANNELS> half_end{};
    for (int ch = 0; ch < channels; ++ch) half_end[ch] = br.get(1);
    if (!br.ok) return DST_TRUNCATED;

    for (int f = 0; f < filters; ++f) {
        const int r = read_elements(br, FILTER, tables.coef[f].data(), tables.coef_length[f]);
        if (r != DST_OK) return r;
    }
    for (int t = 0; t < probs; ++t) {
        const int r = read_elements(br, PROBABILITY, tables.ptab[t].data(), tables.ptab_length[t]);
        if (r != DST_OK) return r;
    }
    const uint32_t start = br.get(1);
    const uint32_t code = br.get(12);
    if (!br.ok) return DST_TRUNCATED;
    if (start != 0 || code == 4095) return DST_BAD_START;

    for (int f = 0; f < filters; ++f) build_fir(f);
    for (int t = 0; t < probs; ++t) build_prob(t);
    // A half flag: the channel's first L bits have probability 1/2.
    for (int ch = 0; ch < channels; ++ch)
        half_end[ch] = half_end[ch] ? static_cast<uint32_t>(tables.coef_length[filter_of[ch]]) : 0;

    std::memcpy(frame_copy.data(), frame, size);
    std::memset(frame_copy.data() + size, 0, FRAME_PAD);
    arith ac{frame_copy.data() + size, frame_copy.data() + size, 0, 0, 4095, code};
    // The bits between the header and the next whole byte go in one by one.
    uint64_t pos = br.pos;
    for (; pos & 7 && pos < uint64_t{size} * 8; ++pos, ++ac.fill)
        ac.bits |= uint64_t{(frame[pos >> 3] >> (7 - (pos & 7))) & 1u} << (63 - ac.fill);
    ac.next = frame_copy.data() + (pos >> 3);
    ac.refill();

    // Before the frame every channel's history is 1 for even distances back:
    // bytes of 0xAA, the newest bit in bit 0.
    const auto c = static_cast<uint32_t>(channels);
    std::memset(work.data(), 0xAA, HISTORY_BYTES * c);

    // The extra first symbol: its probability from filter 0's first
    // coefficient, low seven bits reversed, plus one.
    const uint32_t low7 = static_cast<uint32_t>(tables.coef[0][0]) & 0x7F;
    uint32_t px = 0;
    for (int i = 0; i < 7; ++i) px |= ((low7 >> i) & 1) << (6 - i);
    ac.decode(px + 1);

    DECODE_BITS[channels - 1](ac, filter_of.data(), table_of.data(), half_end.data(),
                              bytes_per_channel, work.data());
    std::memcpy(out, work.data() + HISTORY_BYTES * c, bytes_per_channel * c);
    return DST_OK;
}

bool valid_rate(int r) {
    return r == 64 || r == 128 || r == 256 || r == 512;
}

} // namespace

const char *dst_status_text(int status) {
    switch (status) {
    case DST_OK:
        return "ok";
    case DST_BAD_ARGUMENTS:
        return "unsupported channel count or rate";
    case DST_BAD_SIZE:
        return "frame size out of range";
    case DST_BAD_PLAIN:
        return "damaged plain frame";
    case DST_SEGMENTED:
        return "segmented frame (not supported)";
    case DST_BAD_MAP:
        return "bad channel map";
    case DST_BAD_METHOD:
        return "bad prediction method";
    case DST_BAD_RICE:
        return "bad Rice code";
    case DST_BAD_ENTRY:
        return "table entry out of range";
    case DST_TRUNCATED:
        return "header runs past the frame";
    case DST_BAD_START:
        return "bad coder start";
    default:
        return "unknown error";
    }
}

int dst_decode_frame(const uint8_t *frame, uint32_t size, int channels, int rate_multiple,
                     uint8_t *out) {
    if (channels < 1 || channels > DST_MAX_CHANNELS || !valid_rate(rate_multiple))
        return DST_BAD_ARGUMENTS;
    const uint32_t per_channel = dst_channel_bytes(rate_multiple);
    const uint32_t raw = static_cast<uint32_t>(channels) * per_channel;
    int status = DST_OK;
    if (size == 0 || size > raw + 1) {
        status = DST_BAD_SIZE;
    } else if ((frame[0] & 0x80) == 0) {
        if ((frame[0] & 0x3F) != 0 || size != raw + 1) {
            status = DST_BAD_PLAIN;
        } else {
            std::memcpy(out, frame + 1, raw);
            return DST_OK;
        }
    } else {
        status = decode_coded(frame, size, channels, per_channel, out);
    }
    if (status != DST_OK) std::memset(out, DSD_SILENCE_BYTE, raw);
    return status;
}

} // namespace pipd
