// APE frame decoder: starts a frame (entropy decoder, predictor, filters)
// and runs the chain over one chunk of it, leaving the two output channels
// at 24-bit scale.

#include <cstring>

#include "codecs/ape/ape.h"

namespace pipd {

namespace {

// The filter cascade of a compression level, run over one channel.
void run_cascade(const ape_context *ctx, int channel, int32_t *data, int count) {
    switch (ctx->compressiontype) {
    case 2000:
        apply_filter_16_11(ctx->fileversion, channel, data, count);
        break;
    case 3000:
        apply_filter_64_11(ctx->fileversion, channel, data, count);
        break;
    case 4000:
        apply_filter_32_10(ctx->fileversion, channel, data, count);
        apply_filter_256_13(ctx->fileversion, channel, data, count);
        break;
    default:
        break;
    }
}

int32_t scaled(int32_t v, int shift) {
    return static_cast<int32_t>(static_cast<uint32_t>(v) << shift);
}

// The same over both channels of a stereo run at once.
void run_cascade_pair(const ape_context *ctx, int32_t *data0, int32_t *data1, int count) {
    switch (ctx->compressiontype) {
    case 2000:
        apply_filter_pair_16_11(ctx->fileversion, data0, data1, count);
        break;
    case 3000:
        apply_filter_pair_64_11(ctx->fileversion, data0, data1, count);
        break;
    case 4000:
        apply_filter_pair_32_10(ctx->fileversion, data0, data1, count);
        apply_filter_pair_256_13(ctx->fileversion, data0, data1, count);
        break;
    default:
        break;
    }
}

} // namespace

int init_frame_decoder(ape_context *ctx, const uint8_t *inbuffer, uint32_t available,
                       int *byte_index, int *consumed) {
    const int status = init_entropy_decoder(ctx, inbuffer, available, byte_index, consumed);
    init_predictor_decoder(&ctx->predictor);
    switch (ctx->compressiontype) {
    case 2000:
        init_filter_16_11(filterbuf64);
        break;
    case 3000:
        init_filter_64_11(filterbuf64);
        break;
    case 4000:
        init_filter_256_13(filterbuf256);
        init_filter_32_10(filterbuf64);
        break;
    default:
        break;
    }
    return status;
}

int decode_chunk(ape_context *ctx, const uint8_t *inbuffer, uint32_t available, int *byte_index,
                 int *consumed, int32_t *decoded0, int32_t *decoded1, int count) {
    // The driver refuses wider samples; the mask keeps the shift defined.
    const int shift = (24 - ctx->bps) & 31;
    const bool pseudo_stereo = (ctx->frame_flags & 7) == APE_FRAME_PSEUDO_STEREO;
    if (ctx->channels != 1 && !pseudo_stereo) {
        const int status = entropy_decode(ctx, inbuffer, available, byte_index, consumed, decoded0,
                                          decoded1, count);
        if (status < 0) return status;
        if ((ctx->frame_flags & (APE_FRAME_SILENT_Y | APE_FRAME_SILENT_X)) ==
            (APE_FRAME_SILENT_Y | APE_FRAME_SILENT_X))
            return 0;
        run_cascade_pair(ctx, decoded0, decoded1, count);
        predictor_decode_stereo(&ctx->predictor, decoded0, decoded1, count);
        // Back from the decorrelated pair (X minus half of Y, and Y).
        for (int i = 0; i < count; ++i) {
            const int32_t y = decoded0[i];
            const int32_t x = decoded1[i];
            const int32_t a =
                static_cast<int32_t>(static_cast<uint32_t>(x) - static_cast<uint32_t>(y / 2));
            const int32_t b =
                static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(y));
            decoded0[i] = scaled(a, shift);
            decoded1[i] = scaled(b, shift);
        }
        return 0;
    }

    const int status =
        entropy_decode(ctx, inbuffer, available, byte_index, consumed, decoded0, nullptr, count);
    if (status < 0) return status;
    if (ctx->frame_flags & APE_FRAME_SILENT_Y) {
        std::memset(decoded1, 0, static_cast<std::size_t>(count) * sizeof *decoded1);
        return 0;
    }
    run_cascade(ctx, 0, decoded0, count);
    predictor_decode_mono(&ctx->predictor, decoded0, count);
    for (int i = 0; i < count; ++i) decoded0[i] = decoded1[i] = scaled(decoded0[i], shift);
    return 0;
}

} // namespace pipd
