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

// Walks the file from position 0 and fills dff. 1 when a sound chunk
// ("DSD " or "DST ") was found, the input then standing at its data; 0 on
// any structural failure.
int dff_open();
// Sets the extent of the track (only track 0 exists) and positions the
// input at its start.
void dff_set_track(int track);
// Reads the next frame of the current track into buffer. size: in, the
// buffer's capacity; out, the bytes delivered. type: 0 for a frame of DSD,
// -1 at the end of the track. 1 when a frame was delivered, 0 at the end.
int dff_read_frame(uint8_t *buffer, uint32_t *size, int *type);

} // namespace pipd
