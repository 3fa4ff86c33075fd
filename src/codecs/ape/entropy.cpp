// APE entropy decoder: a range decoder over a fixed 64-symbol model with an
// adaptive Rice-style parameter per channel, in the two bit-stream schemes
// of versions before 3990 and from 3990 on; also each frame's CRC and flags
// words.
//
// Every byte read is checked against the bytes the caller made available:
// past them the reader yields zeros and notes the overrun, so a damaged or
// truncated frame ends in an error instead of a read outside the input.
// Hostile values cannot stall the decoder either: each lookup divides a
// range kept above 2^23 by at most 2^16, so the range never reaches zero.

#include <array>
#include <bit>
#include <cstring>

#include "codecs/ape/ape.h"

namespace pipd {

namespace {

constexpr int16_t NEW_SCHEME_VERSION = 3990;
constexpr int16_t FLAGS_WORD_VERSION = 3820; // later versions may carry a flags word
constexpr uint32_t RANGE_BOTTOM = 1u << 23;
constexpr uint32_t ESCAPE = 63;
constexpr uint32_t RICE_K_START = 10;
constexpr uint32_t RICE_SUM_START = 16384;

// Cumulative frequencies of the two models: the listed start, then rising
// by one per entry to 65536 at entry 64.
template <std::size_t M> constexpr std::array<uint32_t, 65> make_counts(const uint32_t (&head)[M]) {
    std::array<uint32_t, 65> c{};
    for (std::size_t i = 0; i < 65; ++i)
        c[i] = i < M ? head[i] : head[M - 1] + static_cast<uint32_t>(i - (M - 1));
    return c;
}
constexpr uint32_t head_3980[] = {0,     19578, 36160, 48417, 56323, 60899, 63265,
                                  64435, 64971, 65232, 65351, 65416, 65447, 65466,
                                  65476, 65482, 65485, 65488, 65490, 65491};
constexpr uint32_t head_3970[] = {0,     14824, 28224, 39348, 47855, 53994, 58171, 60926,
                                  62682, 63786, 64463, 64878, 65126, 65276, 65365, 65419,
                                  65450, 65469, 65480, 65487, 65491, 65493};
constexpr std::array<uint32_t, 65> counts_3980 = make_counts(head_3980);
constexpr std::array<uint32_t, 65> counts_3970 = make_counts(head_3970);
static_assert(counts_3980[64] == 65536 && counts_3970[64] == 65536);

// A model: its cumulative frequencies, and for each slice of 128 values
// of the lookup the smallest symbol found in it.
constexpr int SLICE_BITS = 7;
constexpr uint32_t SLICES = 65536 >> SLICE_BITS;
constexpr uint32_t TOP_SLICE = (SLICES - 1) << SLICE_BITS;

struct model {
    std::array<uint32_t, 65> counts;
    std::array<uint8_t, SLICES> slice_symbol;
};

constexpr model make_model(const std::array<uint32_t, 65> &counts) {
    model m{counts, {}};
    for (uint32_t i = 0; i < SLICES; ++i) {
        uint32_t s = 0;
        while (s < ESCAPE && (i << SLICE_BITS) >= counts[s + 1]) ++s;
        m.slice_symbol[i] = static_cast<uint8_t>(s);
    }
    return m;
}

// Below the top slice no slice holds two boundaries.
constexpr bool one_boundary_per_slice(const model &m) {
    for (uint32_t i = 0; i + 1 < SLICES; ++i) {
        const uint32_t s = m.slice_symbol[i];
        if (s + 2 <= 64 && m.counts[s + 2] < ((i + 1) << SLICE_BITS)) return false;
    }
    return true;
}

// Symbols below this are found without a division (see symbol()).
constexpr uint32_t NEAR_SYMBOLS = 8;

constexpr model model_3980 = make_model(counts_3980);
constexpr model model_3970 = make_model(counts_3970);
static_assert(one_boundary_per_slice(model_3980) && one_boundary_per_slice(model_3970));

struct range_decoder_state {
    uint32_t low; // code value
    uint32_t range;
    uint32_t step;       // range per unit of frequency, from the last lookup
    uint32_t prev_bytes; // the bytes read so far, shifted in 8 bits at a time
};

struct rice_state {
    uint32_t k;
    uint32_t sum;
};

// The active decoder; each call copies it into a local decoder and back.
// The input position is the caller's, handed in and out.
range_decoder_state rc;
rice_state riceY;
rice_state riceX;

// One call's view of the input and the range decoder.
class decoder {
  public:
    decoder(const uint8_t *inbuffer, uint32_t available, int byte_index)
        : base_(inbuffer), available_(available), pos_(3 - static_cast<uint32_t>(byte_index & 3)),
          rc_(rc) {}

    // Writes the range decoder back and reports the position; the result of
    // the call.
    int finish(int *byte_index, int *consumed) {
        rc = rc_;
        *consumed = static_cast<int>(pos_ & ~3u);
        *byte_index = 3 - static_cast<int>(pos_ & 3);
        return overrun_ ? APE_ERR_OVERRUN : 0;
    }

    // The bytes of each word from the most significant down: stream byte
    // pos lies at word offset pos & ~3, byte 3 - (pos & 3), that is pos ^ 3.
    uint8_t byte() {
        const uint32_t at = pos_ ^ 3;
        ++pos_;
        if (at < available_) return base_[at];
        overrun_ = true;
        return 0;
    }

    uint32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }

    void start() {
        rc_.prev_bytes = byte();
        rc_.low = rc_.prev_bytes >> 1;
        rc_.range = 128;
    }

    // Reads bytes while the range is at most 2^23 (at most three: the range
    // never falls below 128). Where eight bytes around the position are
    // available they are taken at once, without a loop.
    [[gnu::always_inline]] void normalise() {
        const uint32_t range = rc_.range;
        const uint32_t n = (range <= RANGE_BOTTOM) + (range <= (RANGE_BOTTOM >> 8)) +
                           (range <= (RANGE_BOTTOM >> 16));
        const uint32_t word_at = pos_ & ~3u;
        if (word_at + 8 <= available_) [[likely]] {
            uint32_t w[2];
            std::memcpy(w, base_ + word_at, sizeof w);
            if constexpr (std::endian::native == std::endian::big) {
                w[0] = __builtin_bswap32(w[0]);
                w[1] = __builtin_bswap32(w[1]);
            }
            // The stream from pos on, most significant first.
            const uint32_t ahead =
                static_cast<uint32_t>((uint64_t{w[0]} << 32 | w[1]) >> (32 - 8 * (pos_ & 3)));
            const uint64_t bytes = uint64_t{ahead} >> (32 - 8 * n);
            const uint64_t prev = uint64_t{rc_.prev_bytes} << (8 * n) | bytes;
            rc_.prev_bytes = static_cast<uint32_t>(prev);
            rc_.low = static_cast<uint32_t>((uint64_t{rc_.low} << (8 * n)) |
                                            ((prev >> 1) & ((uint64_t{1} << (8 * n)) - 1)));
            rc_.range = range << (8 * n);
            pos_ += n;
            return;
        }
        while (rc_.range <= RANGE_BOTTOM) {
            rc_.prev_bytes = rc_.prev_bytes << 8 | byte();
            rc_.low = rc_.low << 8 | ((rc_.prev_bytes >> 1) & 0xFF);
            rc_.range <<= 8;
        }
    }

    [[gnu::always_inline]] uint32_t lookup_total(uint32_t total) {
        normalise();
        rc_.step = rc_.range / total;
        return rc_.low / rc_.step;
    }

    [[gnu::always_inline]] uint32_t lookup_shift(int shift) {
        normalise();
        rc_.step = rc_.range >> shift;
        return rc_.low / rc_.step;
    }

    [[gnu::always_inline]] void update(uint32_t size, uint32_t start) {
        rc_.low -= rc_.step * start;
        rc_.range = rc_.step * size;
    }

    // n bits, n from 0 to 16.
    [[gnu::always_inline]] uint32_t bits(int n) {
        if (n == 0) {
            normalise();
            return 0;
        }
        const uint32_t v = lookup_shift(n);
        update(1, v);
        return v;
    }

    // The symbol whose frequency interval holds the value looked up: from
    // the model's table of 128-wide slices, which holds at most one symbol
    // boundary each below the top slice, so one comparison finishes it.
    //
    // The first symbols are the likely ones, and for them no division is
    // needed: the value looked up, low / step, reaches a boundary c exactly
    // when low >= c * step, and the first eight boundaries are compared at
    // once.
    [[gnu::always_inline]] uint32_t symbol(const model &m) {
        normalise();
        const uint32_t step = rc_.range >> 16;
        rc_.step = step;
        uint32_t s = 0;
        for (uint32_t k = 1; k <= NEAR_SYMBOLS; ++k) s += uint64_t{m.counts[k]} * step <= rc_.low;
        if (s < NEAR_SYMBOLS) [[likely]] {
            update(m.counts[s + 1] - m.counts[s], m.counts[s]);
            return s;
        }
        const uint32_t cf = rc_.low / step;
        if (cf < TOP_SLICE) [[likely]] {
            s = m.slice_symbol[cf >> SLICE_BITS];
            s += cf >= m.counts[s + 1];
        } else {
            s = m.slice_symbol[(TOP_SLICE >> SLICE_BITS)];
            while (s < ESCAPE && cf >= m.counts[s + 1]) ++s;
        }
        update(m.counts[s + 1] - m.counts[s], m.counts[s]);
        return s;
    }

    // One residual of the scheme from 3990 on.
    [[gnu::always_inline]] int32_t value_3990(rice_state &r) {
        uint32_t pivot = r.sum >> 5;
        if (pivot == 0) pivot = 1;
        uint32_t overflow = symbol(model_3980);
        if (overflow == ESCAPE) {
            overflow = bits(16) << 16;
            overflow |= bits(16);
        }
        uint32_t base;
        if (pivot >= 65536) {
            const int lo = std::bit_width(pivot) - 16; // pivot < 2^27: lo is 1 to 11
            const uint32_t hi = lookup_total((pivot >> lo) + 1);
            update(1, hi);
            const uint32_t low_part = lookup_shift(lo);
            update(1, low_part);
            base = (hi << lo) + low_part;
        } else {
            base = lookup_total(pivot);
            update(1, base);
        }
        return finish_value<false>(r, base + overflow * pivot);
    }

    // One residual of the scheme before 3990.
    [[gnu::always_inline]] int32_t value_3970(rice_state &r) {
        uint32_t overflow = symbol(model_3970);
        int n;
        if (overflow == ESCAPE) {
            n = static_cast<int>(bits(5) & 31); // a damaged stream may yield more
            overflow = 0;
        } else {
            n = r.k > 0 ? static_cast<int>(r.k) - 1 : 0;
        }
        uint32_t x;
        if (n <= 16) {
            x = bits(n);
        } else {
            x = bits(16);
            x |= bits(n - 16) << 16;
        }
        return finish_value<true>(r, x + (overflow << n));
    }

  private:
    // Rice update with x, and the signed value x stands for. The scheme from
    // 3990 on reads only the sum, so there k is left alone: its update is a
    // pair of branches that follow the signal and are often mispredicted.
    template <bool KeepK> static int32_t finish_value(rice_state &r, uint32_t x) {
        const int32_t half = static_cast<int32_t>(x + 1) / 2;
        r.sum = r.sum + static_cast<uint32_t>(half) - ((r.sum + 16) >> 5);
        if constexpr (KeepK) {
            if (r.k > 0 && r.sum < (uint64_t{1} << (r.k + 4)))
                --r.k;
            else if (r.sum >= (uint64_t{1} << (r.k + 5)))
                ++r.k;
        }
        return (x & 1) ? static_cast<int32_t>((x >> 1) + 1) : static_cast<int32_t>(0u - (x >> 1));
    }

    const uint8_t *base_;
    uint32_t available_;
    uint32_t pos_; // stream bytes from base_
    bool overrun_ = false;
    range_decoder_state rc_;
};

template <bool New> void decode_values(decoder &d, int32_t *out0, int32_t *out1, int count) {
    rice_state y = riceY;
    rice_state x = riceX;
    if (out1) {
        for (int i = 0; i < count; ++i) {
            out0[i] = New ? d.value_3990(y) : d.value_3970(y);
            out1[i] = New ? d.value_3990(x) : d.value_3970(x);
        }
    } else {
        for (int i = 0; i < count; ++i) out0[i] = New ? d.value_3990(y) : d.value_3970(y);
    }
    riceY = y;
    riceX = x;
}

} // namespace

int init_entropy_decoder(ape_context *ctx, const uint8_t *inbuffer, uint32_t available,
                         int *byte_index, int *consumed) {
    decoder d(inbuffer, available, *byte_index);
    ctx->frame_crc = d.word();
    ctx->frame_flags = 0;
    if (ctx->fileversion > FLAGS_WORD_VERSION && (ctx->frame_crc & 0x80000000u)) {
        ctx->frame_crc &= 0x7FFFFFFFu;
        ctx->frame_flags = d.word();
    }
    d.byte();
    ctx->frame_blocks_done = 0;
    riceY = {RICE_K_START, RICE_SUM_START};
    riceX = {RICE_K_START, RICE_SUM_START};
    d.start();
    return d.finish(byte_index, consumed);
}

int entropy_decode(ape_context *ctx, const uint8_t *inbuffer, uint32_t available, int *byte_index,
                   int *consumed, int32_t *out0, int32_t *out1, int count) {
    decoder d(inbuffer, available, *byte_index);
    ctx->frame_blocks_done += count;
    const bool silent = (ctx->frame_flags & APE_FRAME_SILENT_Y) &&
                        ((ctx->frame_flags & APE_FRAME_SILENT_X) || out1 == nullptr);
    if (silent) {
        std::memset(out0, 0, static_cast<std::size_t>(count) * sizeof *out0);
        if (out1) std::memset(out1, 0, static_cast<std::size_t>(count) * sizeof *out1);
    } else if (ctx->fileversion >= NEW_SCHEME_VERSION) {
        decode_values<true>(d, out0, out1, count);
    } else {
        decode_values<false>(d, out0, out1, count);
    }
    // The frame is complete: its closing bytes.
    if (ctx->frame_blocks_done == ctx->frame_blocks) d.normalise();
    return d.finish(byte_index, consumed);
}

} // namespace pipd
