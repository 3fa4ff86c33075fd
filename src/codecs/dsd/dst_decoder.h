// DST frame decoder: turns one frame of Direct Stream Transfer (the lossless
// coding of DSD on Super Audio CDs and in DSDIFF files) back into the
// frame's DSD bytes. A frame is 1/75 s of every channel and independent of
// the frames around it; the decoder knows nothing of files.
//
// Frames are untrusted: every header read is checked against the frame's
// length, and a damaged frame (or one using segmentation, which is not
// supported) ends with an error status and DSD silence in its place, so that
// the time stays right. The decoder allocates nothing; its tables are
// module state, rebuilt for every frame.
#pragma once

#include <cstdint>

namespace pipd {

inline constexpr int DST_MAX_CHANNELS = 6;
inline constexpr int DST_MAX_RATE_MULTIPLE = 512; // x 44,100 Hz
inline constexpr uint8_t DSD_SILENCE_BYTE = 0x69;

// Bytes of one channel in one frame at a rate of rate_multiple x 44,100 Hz.
constexpr uint32_t dst_channel_bytes(int rate_multiple) {
    return 588u * static_cast<uint32_t>(rate_multiple) / 8u;
}
// The largest frame, plain or coded: one header byte and the raw DSD.
constexpr uint32_t dst_max_frame_bytes(int channels, int rate_multiple) {
    return 1u + static_cast<uint32_t>(channels) * dst_channel_bytes(rate_multiple);
}

enum dst_status : int {
    DST_OK = 0,
    DST_BAD_ARGUMENTS, // channel count or rate the decoder does not handle
    DST_BAD_SIZE,      // 0 bytes, or longer than the largest frame
    DST_BAD_PLAIN,     // plain frame with reserved bits set or of the wrong size
    DST_SEGMENTED,     // uses segmentation, which is not supported
    DST_BAD_MAP,       // a channel map names an element beyond the next new one
    DST_BAD_METHOD,    // prediction method 3 in a coded table
    DST_BAD_RICE,      // a Rice code runs off the frame or is too large
    DST_BAD_ENTRY,     // a rebuilt coefficient or probability outside its range
    DST_TRUNCATED,     // a header field or the coder's start lies past the frame
    DST_BAD_START,     // start bit 1 or initial code value 4095
};

// What a status means, for messages.
const char *dst_status_text(int status);

// Decodes the size bytes of frame for channels channels at rate_multiple x
// 44,100 Hz into out, which receives channels x dst_channel_bytes bytes laid
// out as DSDIFF stores uncompressed DSD: byte j of channel ch at j x channels
// + ch, the earliest bit in bit 7. On any error out holds DSD silence (0x69
// in every byte) and the status says why.
int dst_decode_frame(const uint8_t *frame, uint32_t size, int channels, int rate_multiple,
                     uint8_t *out);

} // namespace pipd
