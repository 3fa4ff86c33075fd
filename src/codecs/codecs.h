// Entry points of the decoders. Each plays the file the track runner has
// opened, through the codec API only, and returns 0 at a normal end, -1
// after an error.
#pragma once

namespace pipd {

int wav_codec_run();
int ape_codec_run();
int flac_codec_run();
int mp3_codec_run();
int dsf_codec_run();
int sacd_codec_run();
int dff_codec_run();

} // namespace pipd
