#include "codecs/pcm/flac_decoder.h"

#include <array>
#include <bit>
#include <cstring>

namespace pipd {

namespace {

// Sample size code -> bits; 0 keeps the stream's value, codes 3 and 7 are
// reserved.
constexpr std::array<int32_t, 8> sample_size_table = {0, 8, 12, 0, 16, 20, 24, 0};

// Block size code -> samples; 0 for the codes resolved elsewhere.
constexpr std::array<int32_t, 16> blocksize_table = {
    0, 192, 576, 1152, 2304, 4608, 0, 0, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768};

// Sample rate code -> Hz; 0 for the codes resolved elsewhere.
constexpr std::array<int32_t, 16> sample_rate_table = {
    0, 88200, 176400, 192000, 8000, 16000, 22050, 24000, 32000, 44100, 48000, 96000, 0, 0, 0, 0};

// CRC-8 of the frame header: polynomial x^8 + x^2 + x + 1, initial value 0.
constexpr std::array<uint8_t, 256> make_crc8_table() {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint8_t c = static_cast<uint8_t>(i);
        for (int b = 0; b < 8; ++b) c = static_cast<uint8_t>((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
        t[static_cast<std::size_t>(i)] = c;
    }
    return t;
}
constexpr std::array<uint8_t, 256> table_crc8 = make_crc8_table();

// ---------------------------------------------------------------------------
// Bit reader. Every read looks at a 64-bit big-endian word at the current
// byte; near the end of the bytes handed in, the word is assembled byte by
// byte with zeros past the end, so nothing outside the buffer is ever
// touched. Reading past the end is detected by bit_index > size_in_bits.

inline uint64_t load_be64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

[[gnu::noinline]] uint64_t load_tail(const uint8_t *data, uint32_t byte, uint32_t size) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < 8; ++i) {
        v <<= 8;
        if (byte + i < size) v |= data[byte + i];
    }
    return v;
}

// The bits from bit position pos on, left-aligned; at least 57 are valid.
inline uint64_t peek_at(const uint8_t *data, uint32_t size, uint32_t pos) {
    uint32_t byte = pos >> 3;
    uint64_t w = byte + 8 <= size ? load_be64(data + byte) : load_tail(data, byte, size);
    return w << (pos & 7);
}

inline uint32_t buffer_bytes(const flac_context *fc) {
    return static_cast<uint32_t>(fc->data_end - fc->data);
}

inline uint64_t peek(const flac_context *fc) {
    return peek_at(fc->data, buffer_bytes(fc), fc->bit_index);
}

inline bool overrun(const flac_context *fc) {
    return fc->bit_index > fc->size_in_bits;
}

// n bits, 0 to 32, unsigned.
inline uint32_t get_bits(flac_context *fc, int n) {
    if (n == 0) return 0;
    uint32_t v = static_cast<uint32_t>(peek(fc) >> (64 - n));
    fc->bit_index += static_cast<uint32_t>(n);
    return v;
}

// n bits, 0 to 32, two's complement.
inline int32_t get_sbits(flac_context *fc, int n) {
    if (n == 0) return 0;
    int32_t v = static_cast<int32_t>(static_cast<int64_t>(peek(fc)) >> (64 - n));
    fc->bit_index += static_cast<uint32_t>(n);
    return v;
}

inline void skip_bits(flac_context *fc, int n) {
    fc->bit_index += static_cast<uint32_t>(n);
}

// Zero bits before the next 1 bit, which is consumed with them. Stops once
// the end of the bytes is passed (the caller sees the overrun).
uint32_t get_unary_at(const uint8_t *data, uint32_t size, uint32_t size_in_bits, uint32_t *pos) {
    uint32_t q = 0;
    for (;;) {
        uint64_t w = peek_at(data, size, *pos);
        if (w != 0) {
            uint32_t z = static_cast<uint32_t>(std::countl_zero(w));
            if (z < 57) {
                *pos += z + 1;
                return q + z;
            }
        }
        q += 56;
        *pos += 56;
        if (*pos > size_in_bits) return q;
    }
}

inline uint32_t get_unary(flac_context *fc) {
    return get_unary_at(fc->data, buffer_bytes(fc), fc->size_in_bits, &fc->bit_index);
}

inline void align(flac_context *fc) {
    fc->bit_index = (fc->bit_index + 7) & ~7u;
}

inline void call_yield(void (*yield)()) {
    if (yield) yield();
}

// ---------------------------------------------------------------------------
// Residuals.

// count Rice-coded residuals with parameter k into dst. The bits ahead sit
// left-aligned in a 64-bit cache that is reloaded once fewer than 40 of them
// are left, so that most residuals take a count of leading zeros and a few
// shifts.
int rice_partition(flac_context *fc, int32_t *dst, int count, unsigned k) {
    const uint8_t *data = fc->data;
    const uint32_t size = buffer_bytes(fc);
    const uint32_t end_bits = fc->size_in_bits;
    uint32_t pos = fc->bit_index;
    uint64_t cache = peek_at(data, size, pos);
    unsigned valid = 64 - (pos & 7);
    for (int i = 0; i < count; ++i) {
        if (valid < 40) {
            cache = peek_at(data, size, pos);
            valid = 64 - (pos & 7);
        }
        uint32_t q = cache != 0 ? static_cast<uint32_t>(std::countl_zero(cache)) : 64;
        uint32_t u;
        if (q + 1 + k <= valid) {
            // Quotient, stop bit and remainder all lie in the cache.
            const uint64_t rest = cache << q << 1;
            u = (q << k) | static_cast<uint32_t>(rest >> (63 - k) >> 1);
            cache = rest << k;
            const unsigned used = q + 1 + k;
            valid -= used;
            pos += used;
        } else {
            q = get_unary_at(data, size, end_bits, &pos);
            if (pos > end_bits) {
                fc->bit_index = pos;
                return FLAC_ERR_OVERRUN;
            }
            uint32_t r = k ? static_cast<uint32_t>(peek_at(data, size, pos) >> (64 - k)) : 0;
            pos += k;
            u = (q << k) | r;
            cache = peek_at(data, size, pos);
            valid = 64 - (pos & 7);
        }
        dst[i] = static_cast<int32_t>((u >> 1) ^ (0u - (u & 1)));
    }
    fc->bit_index = pos;
    return overrun(fc) ? FLAC_ERR_OVERRUN : 0;
}

// ---------------------------------------------------------------------------
// Prediction. Sums wrap in 32 bits exactly as the format's 32-bit decoders
// do (unsigned arithmetic, so that damaged input cannot cause undefined
// behaviour); the 64-bit path is exact.

template <int N>
void lpc_restore32_fixed(int32_t *d, int blocksize, const int32_t *coef, int shift) {
    uint32_t c[N];
    for (int j = 0; j < N; ++j) c[j] = static_cast<uint32_t>(coef[j]);
    for (int i = N; i < blocksize; ++i) {
        uint32_t sum = 0;
        for (int j = 0; j < N; ++j) sum += c[j] * static_cast<uint32_t>(d[i - 1 - j]);
        d[i] = static_cast<int32_t>(static_cast<uint32_t>(d[i]) +
                                    static_cast<uint32_t>(static_cast<int32_t>(sum) >> shift));
    }
}

void lpc_restore32_any(int32_t *d, int blocksize, const int32_t *coef, int order, int shift) {
    for (int i = order; i < blocksize; ++i) {
        uint32_t sum = 0;
        for (int j = 0; j < order; ++j)
            sum += static_cast<uint32_t>(coef[j]) * static_cast<uint32_t>(d[i - 1 - j]);
        d[i] = static_cast<int32_t>(static_cast<uint32_t>(d[i]) +
                                    static_cast<uint32_t>(static_cast<int32_t>(sum) >> shift));
    }
}

template <int N>
void lpc_restore64_fixed(int32_t *d, int blocksize, const int32_t *coef, int shift) {
    int64_t c[N];
    for (int j = 0; j < N; ++j) c[j] = coef[j];
    for (int i = N; i < blocksize; ++i) {
        int64_t sum = 0;
        for (int j = 0; j < N; ++j) sum += c[j] * d[i - 1 - j];
        d[i] =
            static_cast<int32_t>(static_cast<uint32_t>(d[i]) + static_cast<uint32_t>(sum >> shift));
    }
}

void lpc_restore64_any(int32_t *d, int blocksize, const int32_t *coef, int order, int shift) {
    for (int i = order; i < blocksize; ++i) {
        int64_t sum = 0;
        for (int j = 0; j < order; ++j) sum += static_cast<int64_t>(coef[j]) * d[i - 1 - j];
        d[i] =
            static_cast<int32_t>(static_cast<uint32_t>(d[i]) + static_cast<uint32_t>(sum >> shift));
    }
}

void lpc_restore(int32_t *d, int blocksize, const int32_t *coef, int order, int shift, bool wide) {
#define PIPD_LPC_CASE(n)                                                                           \
    case n:                                                                                        \
        return wide ? lpc_restore64_fixed<n>(d, blocksize, coef, shift)                            \
                    : lpc_restore32_fixed<n>(d, blocksize, coef, shift);
    switch (order) {
        PIPD_LPC_CASE(1)
        PIPD_LPC_CASE(2)
        PIPD_LPC_CASE(3)
        PIPD_LPC_CASE(4)
        PIPD_LPC_CASE(5)
        PIPD_LPC_CASE(6)
        PIPD_LPC_CASE(7)
        PIPD_LPC_CASE(8)
        PIPD_LPC_CASE(9)
        PIPD_LPC_CASE(10)
        PIPD_LPC_CASE(11)
        PIPD_LPC_CASE(12)
    default:
        return wide ? lpc_restore64_any(d, blocksize, coef, order, shift)
                    : lpc_restore32_any(d, blocksize, coef, order, shift);
    }
#undef PIPD_LPC_CASE
}

void fixed_restore(int32_t *d, int blocksize, int order) {
    auto u = [d](int i) { return static_cast<uint32_t>(d[i]); };
    switch (order) {
    case 1:
        for (int i = 1; i < blocksize; ++i) d[i] = static_cast<int32_t>(u(i) + u(i - 1));
        break;
    case 2:
        for (int i = 2; i < blocksize; ++i)
            d[i] = static_cast<int32_t>(u(i) + 2 * u(i - 1) - u(i - 2));
        break;
    case 3:
        for (int i = 3; i < blocksize; ++i)
            d[i] = static_cast<int32_t>(u(i) + 3 * u(i - 1) - 3 * u(i - 2) + u(i - 3));
        break;
    case 4:
        for (int i = 4; i < blocksize; ++i)
            d[i] =
                static_cast<int32_t>(u(i) + 4 * u(i - 1) - 6 * u(i - 2) + 4 * u(i - 3) - u(i - 4));
        break;
    default:
        break;
    }
}

inline int floor_log2(int v) {
    return 31 - std::countl_zero(static_cast<uint32_t>(v));
}

// ---------------------------------------------------------------------------
// Frame header.

// The UTF-8 style frame or sample number: -1 for a first byte 10xxxxxx
// (or 0xFF), -2 for a bad continuation byte.
uint32_t read_utf8_number(flac_context *fc) {
    uint32_t x = get_bits(fc, 8);
    if (!(x & 0x80)) return x;
    if ((x & 0xC0) == 0x80 || x == 0xFF) return 0xFFFFFFFFu;
    int n = std::countl_one(static_cast<uint8_t>(x)); // 2 .. 7
    uint32_t v = x & ((1u << (7 - n)) - 1);
    for (int i = 1; i < n; ++i) {
        uint32_t b = get_bits(fc, 8);
        if ((b & 0xC0) != 0x80) return 0xFFFFFFFEu;
        v = (v << 6) | (b & 0x3F);
    }
    return v;
}

int decode_subframe(flac_context *fc, int channel) {
    int32_t *dst = fc->decoded[channel];
    const int blocksize = fc->blocksize;

    int sbps = fc->bps;
    if ((fc->channel_mode == 2 && channel == 0) ||
        ((fc->channel_mode == 1 || fc->channel_mode == 3) && channel == 1))
        ++sbps;

    uint32_t head = get_bits(fc, 8);
    if (head & 0x80) return FLAC_ERR_SUBFRAME_PAD;
    int type = static_cast<int>((head >> 1) & 0x3F);
    int wasted = 0;
    if (head & 1) {
        uint32_t k = 1 + get_unary(fc);
        if (overrun(fc)) return FLAC_ERR_OVERRUN;
        if (k >= static_cast<uint32_t>(sbps)) return FLAC_ERR_WASTED_BITS;
        wasted = static_cast<int>(k);
        sbps -= wasted;
    }
    fc->subframe_bps = sbps;

    if (type == 0) {
        int32_t v = get_sbits(fc, sbps);
        for (int i = 0; i < blocksize; ++i) dst[i] = v;
    } else if (type == 1) {
        const uint8_t *data = fc->data;
        const uint32_t size = buffer_bytes(fc);
        uint32_t pos = fc->bit_index;
        const int shift = 64 - sbps;
        for (int i = 0; i < blocksize; ++i) {
            dst[i] = static_cast<int32_t>(static_cast<int64_t>(peek_at(data, size, pos)) >> shift);
            pos += static_cast<uint32_t>(sbps);
        }
        fc->bit_index = pos;
    } else if (type >= 8 && type <= 12) {
        int order = type - 8;
        if (order > blocksize) return FLAC_ERR_ORDER;
        for (int i = 0; i < order; ++i) dst[i] = get_sbits(fc, sbps);
        int r = decode_residuals(fc, dst, order);
        if (r == FLAC_ERR_RESIDUAL_METHOD) return FLAC_ERR_FIXED;
        if (r < 0) return r;
        fixed_restore(dst, blocksize, order);
    } else if (type >= 32) {
        int order = (type & 31) + 1;
        if (order > blocksize) return FLAC_ERR_ORDER;
        int r = decode_subframe_lpc(fc, dst, order);
        if (r == FLAC_ERR_OVERRUN || r == FLAC_ERR_PARTITIONS) return r;
        if (r < 0) return FLAC_ERR_LPC;
    } else {
        return FLAC_ERR_SUBFRAME_TYPE;
    }
    if (overrun(fc)) return FLAC_ERR_OVERRUN;

    if (wasted > 0)
        for (int i = 0; i < blocksize; ++i)
            dst[i] = static_cast<int32_t>(static_cast<uint32_t>(dst[i]) << wasted);
    return 0;
}

inline int32_t scaled(int64_t v, int s) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(v)) << s);
}

// Decorrelation, fold-down to two channels and scaling to 24 bits.
void output_channels(flac_context *fc) {
    const int n = fc->blocksize;
    const int s = 24 - fc->bps;
    int32_t *L = fc->decoded[0];
    int32_t *R = fc->decoded[1];
    const int32_t *C2 = fc->decoded[2];
    const int32_t *C3 = fc->decoded[3];
    const int32_t *C4 = fc->decoded[4];
    const int32_t *C5 = fc->decoded[5];
    auto u = [](int32_t v) { return static_cast<uint32_t>(v); };
    switch (fc->channel_mode) {
    case 1: // left/side
        for (int i = 0; i < n; ++i) {
            int32_t r = static_cast<int32_t>(u(L[i]) - u(R[i]));
            L[i] = scaled(L[i], s);
            R[i] = scaled(r, s);
        }
        return;
    case 2: // right/side
        for (int i = 0; i < n; ++i) {
            int32_t l = static_cast<int32_t>(u(L[i]) + u(R[i]));
            L[i] = scaled(l, s);
            R[i] = scaled(R[i], s);
        }
        return;
    case 3: // mid/side
        for (int i = 0; i < n; ++i) {
            int32_t m = static_cast<int32_t>(u(L[i]) - u(R[i] >> 1));
            L[i] = scaled(static_cast<int32_t>(u(m) + u(R[i])), s);
            R[i] = scaled(m, s);
        }
        return;
    default:
        break;
    }
    switch (fc->channels) {
    case 3:
        for (int i = 0; i < n; ++i) {
            int64_t l = ((2 * int64_t{L[i]} + C2[i]) * 5) >> 4;
            int64_t r = ((2 * int64_t{R[i]} + C2[i]) * 5) >> 4;
            L[i] = scaled(l, s);
            R[i] = scaled(r, s);
        }
        return;
    case 4:
        for (int i = 0; i < n; ++i) {
            int64_t l = (int64_t{L[i]} + C2[i]) >> 1;
            int64_t r = (int64_t{R[i]} + C3[i]) >> 1;
            L[i] = scaled(l, s);
            R[i] = scaled(r, s);
        }
        return;
    case 5:
        for (int i = 0; i < n; ++i) {
            int64_t l = ((2 * int64_t{L[i]} + C2[i] + 2 * int64_t{C3[i]}) * 3) >> 4;
            int64_t r = ((2 * int64_t{R[i]} + C2[i] + 2 * int64_t{C4[i]}) * 3) >> 4;
            L[i] = scaled(l, s);
            R[i] = scaled(r, s);
        }
        return;
    case 6:
        for (int i = 0; i < n; ++i) {
            int64_t l = ((2 * int64_t{L[i]} + C2[i] + C3[i] + 2 * int64_t{C4[i]}) * 5) >> 5;
            int64_t r = ((2 * int64_t{R[i]} + C2[i] + C3[i] + 2 * int64_t{C5[i]}) * 5) >> 5;
            L[i] = scaled(l, s);
            R[i] = scaled(r, s);
        }
        return;
    default: // one or two channels
        if (s == 0) return;
        for (int i = 0; i < n; ++i) L[i] = scaled(L[i], s);
        for (int i = 0; i < n; ++i) R[i] = scaled(R[i], s);
        return;
    }
}

} // namespace

int decode_residuals(flac_context *fc, int32_t *dst, int pred_order) {
    uint32_t method = get_bits(fc, 2);
    if (method > 1) return FLAC_ERR_RESIDUAL_METHOD;
    const int param_bits = method == 0 ? 4 : 5;
    const uint32_t escape = method == 0 ? 15 : 31;
    const int order = static_cast<int>(get_bits(fc, 4));
    const int blocksize = fc->blocksize;
    const int psize = blocksize >> order;
    // Every partition holds the same share of the block, the first one
    // pred_order fewer: anything else would write outside the block.
    if ((psize << order) != blocksize || psize < pred_order) return FLAC_ERR_PARTITIONS;

    int32_t *out = dst + pred_order;
    const int partitions = 1 << order;
    for (int p = 0; p < partitions; ++p) {
        const int count = p == 0 ? psize - pred_order : psize;
        uint32_t k = get_bits(fc, param_bits);
        if (k == escape) {
            int w = static_cast<int>(get_bits(fc, 5));
            for (int i = 0; i < count; ++i) out[i] = get_sbits(fc, w);
            if (overrun(fc)) return FLAC_ERR_OVERRUN;
        } else {
            int r = rice_partition(fc, out, count, k);
            if (r < 0) return r;
        }
        out += count;
    }
    return 0;
}

int decode_subframe_lpc(flac_context *fc, int32_t *dst, int order) {
    const int sbps = fc->subframe_bps;
    for (int i = 0; i < order; ++i) dst[i] = get_sbits(fc, sbps);
    int precision = static_cast<int>(get_bits(fc, 4)) + 1;
    if (precision == 16) return FLAC_ERR_LPC_PRECISION;
    int shift = get_sbits(fc, 5);
    if (shift < 0) return FLAC_ERR_LPC_SHIFT;
    int32_t coef[32];
    for (int j = 0; j < order; ++j) coef[j] = get_sbits(fc, precision);
    int r = decode_residuals(fc, dst, order);
    if (r == FLAC_ERR_RESIDUAL_METHOD) return FLAC_ERR_LPC_RESIDUAL;
    if (r < 0) return r;
    const bool wide = fc->bps + precision + floor_log2(order) > 32;
    lpc_restore(dst, fc->blocksize, coef, order, shift, wide);
    return 0;
}

int flac_decode_frame(flac_context *fc, const uint8_t *buf, int size, void (*yield)()) {
    if (size < 0) size = 0;
    fc->data = buf;
    fc->data_end = buf + size;
    fc->bit_index = 0;
    fc->size_in_bits = static_cast<uint32_t>(size) * 8;

    if ((get_bits(fc, 16) & 0xFFFE) != 0xFFF8) return FLAC_ERR_SYNC;
    const uint32_t bs_code = get_bits(fc, 4);
    const uint32_t sr_code = get_bits(fc, 4);

    const uint32_t ch_code = get_bits(fc, 4);
    int mode = 0;
    if (ch_code < 8) {
        if (static_cast<int32_t>(ch_code) + 1 != fc->channels) return FLAC_ERR_CHANNELS;
    } else if (ch_code <= 10 && fc->channels == 2) {
        mode = static_cast<int>(ch_code) - 7;
    } else {
        return FLAC_ERR_CHANNELS;
    }

    const uint32_t ss_code = get_bits(fc, 3);
    if (ss_code == 3 || ss_code == 7) return FLAC_ERR_SAMPLE_SIZE;
    const int32_t bps = ss_code == 0 ? fc->bps : sample_size_table[ss_code];
    if (bps < 1 || bps > FLAC_MAX_BPS) return FLAC_ERR_SAMPLE_SIZE;

    if (get_bits(fc, 1)) return FLAC_ERR_RESERVED_BIT;

    uint32_t number = read_utf8_number(fc);
    const bool fixed_stream = fc->min_blocksize == fc->max_blocksize;
    fc->first_sample = fixed_stream ? number * static_cast<uint32_t>(fc->min_blocksize) : number;

    int32_t blocksize;
    if (bs_code == 6)
        blocksize = static_cast<int32_t>(get_bits(fc, 8)) + 1;
    else if (bs_code == 7)
        blocksize = static_cast<int32_t>(get_bits(fc, 16)) + 1;
    else if (bs_code == 0)
        blocksize = fc->min_blocksize;
    else
        blocksize = blocksize_table[bs_code];
    if (blocksize > fc->max_blocksize && !(fixed_stream && bs_code == 0)) return FLAC_ERR_BLOCKSIZE;
    // Only this much room exists, whatever the stream claims.
    if (blocksize <= 0 || blocksize > FLAC_MAX_BLOCKSIZE) return FLAC_ERR_BLOCKSIZE;

    int32_t samplerate = fc->samplerate;
    if (sr_code >= 1 && sr_code <= 11)
        samplerate = sample_rate_table[sr_code];
    else if (sr_code == 12)
        samplerate = static_cast<int32_t>(get_bits(fc, 8)) * 1000;
    else if (sr_code == 13)
        samplerate = static_cast<int32_t>(get_bits(fc, 16));
    else if (sr_code == 14)
        samplerate = static_cast<int32_t>(get_bits(fc, 16)) * 10;
    else if (sr_code == 15)
        return FLAC_ERR_SAMPLE_RATE;

    skip_bits(fc, 8); // header CRC
    if (overrun(fc)) return FLAC_ERR_OVERRUN;
    uint8_t crc = 0;
    for (uint32_t i = 0, n = fc->bit_index / 8; i < n; ++i) crc = table_crc8[crc ^ buf[i]];
    if (crc != 0) return FLAC_ERR_HEADER_CRC;

    fc->bps = bps;
    fc->blocksize = blocksize;
    fc->samplerate = samplerate;
    fc->channel_mode = mode;
    if (fc->channels > FLAC_MAX_CHANNELS) return FLAC_ERR_TOO_MANY_CHANNELS;

    for (int c = 0; c < fc->channels; ++c) {
        call_yield(yield);
        int r = decode_subframe(fc, c);
        if (r < 0) return r;
    }

    call_yield(yield);
    align(fc);
    skip_bits(fc, 16); // frame CRC-16, not checked
    call_yield(yield);
    if (overrun(fc)) return FLAC_ERR_OVERRUN;

    output_channels(fc);
    fc->frame_bytes = static_cast<int32_t>((fc->bit_index + 7) / 8);
    return 0;
}

} // namespace pipd
