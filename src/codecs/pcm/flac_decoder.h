// FLAC frame decoder: one audio frame from a byte buffer into per-channel
// 32-bit sample buffers, decorrelated, folded down to two channels and
// scaled to the 24-bit level of the PCM output. Reads no file, allocates
// nothing; its only state is the context handed in.
#pragma once

#include <cstdint>

namespace pipd {

inline constexpr int FLAC_MAX_CHANNELS = 6;     // channel buffers that exist
inline constexpr int FLAC_MAX_BLOCKSIZE = 4608; // samples per channel buffer
inline constexpr int FLAC_MAX_BPS = 24;         // widest samples served

// Results of flac_decode_frame and its parts.
inline constexpr int FLAC_ERR_SYNC = -41;           // no frame sync at the buffer start
inline constexpr int FLAC_ERR_CHANNELS = -13;       // channel assignment does not fit
inline constexpr int FLAC_ERR_SAMPLE_SIZE = -14;    // sample size code 3 or 7
inline constexpr int FLAC_ERR_RESERVED_BIT = -15;   // reserved header bit set
inline constexpr int FLAC_ERR_BLOCKSIZE = -16;      // block size 0, above max_blocksize or 4608
inline constexpr int FLAC_ERR_SAMPLE_RATE = -17;    // sample rate code 15
inline constexpr int FLAC_ERR_HEADER_CRC = -18;     // header CRC-8 mismatch
inline constexpr int FLAC_ERR_OVERRUN = -19;        // frame runs past the bytes handed in
inline constexpr int FLAC_ERR_SUBFRAME_PAD = -109;  // subframe header's zero bit set
inline constexpr int FLAC_ERR_FIXED = -110;         // FIXED subframe residuals failed
inline constexpr int FLAC_ERR_LPC = -111;           // LPC subframe failed
inline constexpr int FLAC_ERR_SUBFRAME_TYPE = -112; // reserved subframe type
inline constexpr int FLAC_ERR_ORDER = -113;         // predictor order above the block size
inline constexpr int FLAC_ERR_WASTED_BITS = -114;   // wasted bits not below the sample size
inline constexpr int FLAC_ERR_PARTITIONS = -115;    // residual partitions do not fit the block
inline constexpr int FLAC_ERR_TOO_MANY_CHANNELS = -501;

// decode_residuals
inline constexpr int FLAC_ERR_RESIDUAL_METHOD = -3; // coding method 2 or 3
// decode_subframe_lpc
inline constexpr int FLAC_ERR_LPC_PRECISION = -6; // coefficient precision 16
inline constexpr int FLAC_ERR_LPC_SHIFT = -7;     // negative quantisation shift
inline constexpr int FLAC_ERR_LPC_RESIDUAL = -8;  // residuals failed

struct flac_context {
    // Bit reader over the frame's bytes.
    const uint8_t *data;
    const uint8_t *data_end;
    uint32_t bit_index;    // next bit to read, counted from data
    uint32_t size_in_bits; // bytes handed in, in bits

    // Stream fields (STREAMINFO), some replaced by each frame's header.
    int32_t min_blocksize;
    int32_t max_blocksize;
    int32_t min_framesize;
    int32_t max_framesize;
    int32_t samplerate;
    int32_t channels;
    int32_t blocksize;     // samples per channel in the last frame
    int32_t bps;           // bits per sample
    int32_t subframe_bps;  // bits per sample of the subframe being read
    uint32_t first_sample; // number of the first sample of the last frame
    uint32_t total_samples;
    int32_t channel_mode; // 0 independent, 1 left/side, 2 right/side, 3 mid/side

    // Codec-level fields.
    uint32_t filesize;
    uint32_t length_ms;
    int32_t rate;
    uint32_t metadata_length;
    int32_t skip_samples;

    int32_t frame_bytes; // bytes of the last frame, footer included
    int32_t *decoded[FLAC_MAX_CHANNELS];
};

// Decodes the frame at buf (its first sync byte); size is the number of
// bytes available there. yield is called before each subframe and twice
// after the last. 0 on success, a negative FLAC_ERR_* code otherwise; after
// a failure the channel buffers hold partial data.
int flac_decode_frame(flac_context *fc, const uint8_t *buf, int size, void (*yield)());

// Partitioned Rice residuals of the subframe being read, written from
// dst[pred_order] on. 0, FLAC_ERR_RESIDUAL_METHOD, FLAC_ERR_PARTITIONS or
// FLAC_ERR_OVERRUN.
int decode_residuals(flac_context *fc, int32_t *dst, int pred_order);

// An LPC subframe of the given order into dst. 0, FLAC_ERR_LPC_PRECISION,
// FLAC_ERR_LPC_SHIFT, FLAC_ERR_LPC_RESIDUAL, or FLAC_ERR_PARTITIONS /
// FLAC_ERR_OVERRUN passed on from the residuals.
int decode_subframe_lpc(flac_context *fc, int32_t *dst, int order);

} // namespace pipd

// ---------------------------------------------------------------------------
// The FLAC codec (flac.cpp): its state, and the steps flac_codec_run is made
// of.

namespace pipd {

inline constexpr int FLAC_MAX_SEEKPOINTS = 5000;

struct flac_seekpoint {
    uint32_t sample;  // first sample of the frame
    uint32_t offset;  // byte offset of the frame from metadata_length
    uint16_t samples; // samples in that frame (kept, not used)
};

extern flac_context fc;
extern flac_seekpoint seekpoints[FLAC_MAX_SEEKPOINTS];
extern int nseekpoints;

// Size of a leading ID3v2 tag, 0 without one, -1 when fewer than 10 bytes
// can be read.
int flac_id3check();
// Reads the metadata from offset on; true when STREAMINFO was read and the
// stream can be played.
bool flac_init(uint32_t offset);
// Finds the next frame start in the current input and decodes that frame;
// true when the decode succeeded.
bool frame_sync();

} // namespace pipd
