// Turns output packets back into what the sink plays, as a WAV file:
// 24-bit samples, channel 0 first, at the rate of the first packet's code.
// Used by the tools that stand in for the sink.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/types.h>

namespace pipd {

class packet_wav_writer {
  public:
    // Writes to out from its current position; a seekable out gets the real
    // sizes in the header at finish(), a stream the largest sizes.
    explicit packet_wav_writer(std::FILE *out);
    packet_wav_writer(const packet_wav_writer &) = delete;
    packet_wav_writer &operator=(const packet_wav_writer &) = delete;

    // One packet of PACKET_WORDS words, of which valid_words (header
    // included) hold this packet's samples.
    void packet(const int32_t *words, int valid_words);
    // Completes the header; false when anything could not be written.
    bool finish();

    uint64_t frames() const { return frames_; }
    int32_t rate() const { return rate_; }

  private:
    void put(const void *data, std::size_t n);
    void header(uint64_t frames);

    std::FILE *out_;
    bool seekable_;
    off_t start_ = 0; // 64-bit also on the 32-bit target: recordings pass 2 GiB
    bool started_ = false;
    bool failed_ = false;
    int32_t rate_ = 0;
    int32_t code_ = -1;
    uint64_t frames_ = 0;
};

} // namespace pipd
