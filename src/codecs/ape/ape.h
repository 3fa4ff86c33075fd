// Monkey's Audio (APE) decoding. Five stages share one stream record: the
// header parser fills it, the entropy decoder turns a frame's bytes into
// residuals, the cascade of adaptive filters and the predictor turn those
// back into samples, and the frame decoder runs the chain over one chunk of
// a frame. The driver (ape.cpp) walks the file through the codec API.
//
// Every stage is bounded: the entropy decoder is told how many bytes it may
// read and reports an overrun instead of reading past them; the filters and
// the predictor index only their own fixed buffers, whatever the input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pipd {

inline constexpr int APE_MAX_CHUNK = 1024;    // samples per channel per decode_chunk
inline constexpr int APE_HISTORY_SIZE = 512;  // samples between slides of a delay line
inline constexpr int APE_PREDICTOR_TAPS = 50; // history words one predictor sample uses
inline constexpr int APE_ERR_OVERRUN = -2;    // the frame runs past the bytes available

// Predictor state of one frame (predictor.cpp). Values wrap at 32 bits.
struct predictor_state {
    int32_t *history_pos; // base of the current sample in history
    int32_t last_y;       // channel Y's previous stage-one result
    int32_t last_x;       // channel X's previous stage-one result
    int32_t cross_prev_y; // previous out_x seen by channel Y's stage two
    int32_t out_x;        // channel X's smoothed output
    int32_t cross_prev_x; // previous out_y seen by channel X's stage two
    int32_t out_y;        // channel Y's smoothed output
    int32_t coeffs_a_y[4];
    int32_t coeffs_a_x[4];
    int32_t coeffs_b_y[5];
    int32_t coeffs_b_x[5];
    int32_t history[APE_HISTORY_SIZE + APE_PREDICTOR_TAPS];
};

// The stream record: header fields (parser.cpp), derived offsets, and the
// state of the frame being decoded. Offsets count from the start of "MAC ".
struct ape_context {
    uint32_t firstframe;   // offset of the first frame
    uint32_t totalsamples; // samples per channel in the stream (saturated)
    char magic[4];
    int16_t fileversion;
    uint32_t descriptorlength;
    uint32_t headerlength;
    uint32_t seektablelength;
    uint32_t wavheaderlength;
    uint32_t audiodatalength;
    uint32_t audiodatalength_high;
    uint32_t wavtaillength;
    uint8_t md5[16];
    uint16_t compressiontype;
    uint16_t formatflags;
    uint32_t blocksperframe;
    uint32_t finalframeblocks;
    uint32_t totalframes;
    uint16_t bps;
    uint16_t channels;
    uint32_t samplerate;
    uint32_t *seekpoints;
    uint32_t seekpoint_count;
    uint32_t seektable_offset;

    uint32_t frame_crc;
    uint32_t frame_flags;
    int32_t frame_blocks;
    int32_t frame_blocks_done;
    predictor_state predictor;
};

// Frame flags.
inline constexpr uint32_t APE_FRAME_SILENT_Y = 1; // channel Y (or the only channel) silent
inline constexpr uint32_t APE_FRAME_SILENT_X = 2; // channel X silent
inline constexpr uint32_t APE_FRAME_PSEUDO_STEREO = 4;

// ---------------------------------------------------------------------------
// Header parser (parser.cpp). Reads the descriptor and header at buf, of
// which length bytes are available. 0 on success; -1 without "MAC " or when
// the descriptor or header lies beyond length.
int ape_parseheaderbuf(const uint8_t *buf, uint32_t length, ape_context *ctx);

// ---------------------------------------------------------------------------
// Entropy decoder (entropy.cpp). The input is read from inbuffer, word by
// word, each 32-bit little-endian word from its most significant byte down;
// byte_index (3..0) is the byte of the first word to read next. available
// is the number of bytes at inbuffer that may be read. On return consumed is
// the number of whole bytes (a multiple of 4) to advance the input and
// byte_index the index inside the next word. Both return 0, or
// APE_ERR_OVERRUN when the frame needed bytes beyond available (what was
// decoded is then meaningless, but nothing outside the bytes was read).

// Starts a frame: reads its CRC and flags words, resets the Rice states and
// starts the range decoder.
int init_entropy_decoder(ape_context *ctx, const uint8_t *inbuffer, uint32_t available,
                         int *byte_index, int *consumed);
// Decodes count residuals per channel into out0 and, unless null, out1.
int entropy_decode(ape_context *ctx, const uint8_t *inbuffer, uint32_t available, int *byte_index,
                   int *consumed, int32_t *out0, int32_t *out1, int count);

// ---------------------------------------------------------------------------
// Adaptive filters (filters.cpp): four members of one family, order N and
// fraction bits F in their names. Coefficients and adaptation steps are
// 16-bit and wrap; past outputs are kept saturated to 16 bits.

struct filter_state {
    int16_t *coeffs;     // N coefficients; the history area follows them
    int16_t *window_end; // end of the history area: coeffs + 3N + 512
    int16_t *delay_pos;  // where the next past output goes
    int16_t *adapt_pos;  // where the next adaptation step goes (N behind delay_pos)
    int32_t avg_magnitude;
};

// Storage of the members: both channels' blocks of 3N + 512 words, back to back.
inline constexpr std::size_t APE_FILTERBUF64_WORDS = 2 * (3 * 64 + APE_HISTORY_SIZE);
inline constexpr std::size_t APE_FILTERBUF256_WORDS = 2 * (3 * 256 + APE_HISTORY_SIZE);
extern int16_t filterbuf64[APE_FILTERBUF64_WORDS];   // orders 16, 32 and 64
extern int16_t filterbuf256[APE_FILTERBUF256_WORDS]; // order 256

void init_filter_16_11(int16_t *buf);
void init_filter_32_10(int16_t *buf);
void init_filter_64_11(int16_t *buf);
void init_filter_256_13(int16_t *buf);
void apply_filter_16_11(int fileversion, int channel, int32_t *data, int count);
void apply_filter_32_10(int fileversion, int channel, int32_t *data, int count);
void apply_filter_64_11(int fileversion, int channel, int32_t *data, int count);
void apply_filter_256_13(int fileversion, int channel, int32_t *data, int count);
// Both channels of a stereo run at once: the same results as one channel
// after the other.
void apply_filter_pair_16_11(int fileversion, int32_t *data0, int32_t *data1, int count);
void apply_filter_pair_32_10(int fileversion, int32_t *data0, int32_t *data1, int count);
void apply_filter_pair_64_11(int fileversion, int32_t *data0, int32_t *data1, int count);
void apply_filter_pair_256_13(int fileversion, int32_t *data0, int32_t *data1, int count);

// ---------------------------------------------------------------------------
// Predictor (predictor.cpp).
void init_predictor_decoder(predictor_state *p);
void predictor_decode_stereo(predictor_state *p, int32_t *y, int32_t *x, int count);
void predictor_decode_mono(predictor_state *p, int32_t *y, int count);

// ---------------------------------------------------------------------------
// Frame decoder (frame.cpp). Positions and results as for the entropy
// decoder.

// Starts the frame at inbuffer: entropy decoder, predictor, and the filter
// cascade of the stream's compression level.
int init_frame_decoder(ape_context *ctx, const uint8_t *inbuffer, uint32_t available,
                       int *byte_index, int *consumed);
// Decodes the next count (at most APE_MAX_CHUNK) samples per channel of the
// frame into decoded0 and decoded1, at 24-bit scale.
int decode_chunk(ape_context *ctx, const uint8_t *inbuffer, uint32_t available, int *byte_index,
                 int *consumed, int32_t *decoded0, int32_t *decoded1, int count);

// ---------------------------------------------------------------------------
// Driver (ape.cpp). Length of an ID3v2 tag at the start of the file, 0
// without one, -1 when fewer than 10 bytes can be read.
int ape_id3check();

} // namespace pipd
