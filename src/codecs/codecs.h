// The decoders and the one table that maps a file's name ending to its type
// and its decoder. Each decoder plays the file the track runner has opened,
// through the codec API only, and returns 0 at a normal end, -1 after an
// error.
#pragma once

#include <span>

namespace pipd {

int wav_codec_run();
int ape_codec_run();
int flac_codec_run();
int mp3_codec_run();
int dsf_codec_run();
int sacd_codec_run();
int dff_codec_run();

using codec_run = int (*)();

struct file_format {
    const char *lower, *upper; // the name ending, in lower and upper case
    int type;                  // FILETYPE_*
    codec_run run;             // nullptr: listed, never played by a decoder
};

// Every known ending, in the order get_filetype tries them.
std::span<const file_format> file_formats();

// The FILETYPE_* of a name by its ending (all lower or all upper case);
// FILETYPE_NONE for any other name.
int get_filetype(const char *name);

// The decoder of a file type; nullptr for a type that is never played.
codec_run decoder_for(int type);

} // namespace pipd
