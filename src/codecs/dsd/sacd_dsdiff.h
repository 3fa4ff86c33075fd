// DSDIFF reader: walks the chunk tree of a DSDIFF file once to find the
// sample rate, channel count, compression and the sound data, then hands
// the sound data out frame by frame (1/75 s of byte-interleaved DSD).
// All file access goes through the codec API.
#pragma once

#include <array>
#include <cstdint>

namespace pipd {

// What the walk found in the file being played.
struct dff_info {
    uint32_t sample_rate;      // Hz, from "FS  "
    uint16_t channel_count;    // from "CHNL"
    int32_t dst;               // 1: DST compressed ("CMPR" or a "DST " sound chunk)
    uint64_t frm8_size;        // body size of "FRM8"
    uint64_t sound_offset;     // file position of the first byte of sound data
    uint64_t sound_size;       // bytes of sound data
    uint16_t frame_rate;       // frames per second: 75, or the "FRTE" value
    uint32_t frame_size;       // bytes per frame
    uint32_t frame_count;      // whole frames in the sound data
    double track_start;        // s, always 0
    double track_end;          // s
    int32_t track_count;       // 1 once a sound chunk was found
    uint64_t track_offset;     // file position where the current track starts
    uint64_t track_size;       // bytes in the current track
    int32_t other_compression; // 1: "CMPR" names neither "DSD " nor "DST "
};

extern dff_info dff;

inline constexpr uint32_t DFF_FRAME_BUFFER_SIZE = 16384;

// Frame types of dff_read_frame.
inline constexpr int DFF_FRAME_DSD = 0;
inline constexpr int DFF_FRAME_DST = 1; // a "DSTF" body, to be decoded
inline constexpr int DFF_FRAME_END = -1;
inline constexpr int DFF_FRAME_PENDING = -3; // many chunks without a frame: ask again
// Chunks skipped in one call before it returns PENDING.
inline constexpr int DFF_SKIP_LIMIT = 1024;

// Walks the file from position 0 and fills dff. 1 when a sound chunk
// ("DSD " or "DST ") was found, the input then standing at its data; 0 on
// any structural failure.
int dff_open();
// Sets the extent of the track (only track 0 exists) and positions the
// input at its start.
void dff_set_track(int track);
// Reads the next frame of the current track into buffer. size: in, the
// buffer's capacity; out, the bytes delivered. type: one of the DFF_FRAME_
// values. 1 when a frame was delivered, 0 otherwise. In a DST file the
// frames are the "DSTF" chunks of the sound data, other chunks are skipped;
// a "DSTF" of 0 bytes or larger than the capacity is skipped too and
// delivered as a frame of 0 bytes, which the frame decoder refuses, so that
// its time is kept.
int dff_read_frame(uint8_t *buffer, uint32_t *size, int *type);
// Positions the input of a DST track at the "DSTF" chunk of frame (from 0):
// through the "DSTI" index when it has a sane entry for it, else by counting
// the "DSTF" chunks on from the frame read next (or from the start of the
// track when the frame lies behind), at most DFF_SKIP_LIMIT chunks a call.
// 1 when there, 0 to be called again, -1 when the track ends before it.
int dff_seek_dst_frame(uint32_t frame);

} // namespace pipd
