// The ALSA device the sink plays through: set up for each packet's rate in
// the first format it takes, underruns recovered and counted.
#pragma once

#include <alsa/asoundlib.h>
#include <array>
#include <string>

#include "protocol/packets.h"
#include "sink/packet_reader.h"
#include "sink/sample_pack.h"

namespace pipd::sink {

inline constexpr unsigned BUFFER_US = 400000;
inline constexpr unsigned PERIOD_US = 50000;

// The ALSA format of a sample format.
snd_pcm_format_t alsa_format(sample_format f);

class alsa_output {
  public:
    alsa_output(std::string device, int format, counters &c)
        : device_(std::move(device)), forced_format_(format), count_(c) {}
    ~alsa_output() {
        if (pcm_) {
            snd_pcm_drain(pcm_);
            snd_pcm_close(pcm_);
        }
    }

    bool open();

    // Plays one packet's 512 frames at the rate of its code.
    bool play(const int32_t *words);

    // Nothing arrives: let the device play out what it holds.
    void idle();

  private:
    static constexpr int FRAMES = PACKET_FRAMES;

    // Sets the device up for rate. Samples of the old rate still held are
    // played out first; none is played at the new rate.
    bool configure(unsigned rate);

    bool write_frames(const unsigned char *data, int frames);

    bool fail(const char *what, int err);

    std::string device_;
    int forced_format_; // index into formats, -1 for auto
    counters &count_;
    snd_pcm_t *pcm_ = nullptr;
    unsigned rate_ = 0; // 0 until set up
    int format_ = 0;
    std::array<unsigned char, FRAMES * 2 * 4> frames_{};
};

// The counts, on standard error.
void report(const counters &c);

} // namespace pipd::sink
