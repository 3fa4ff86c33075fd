// The sink's output for Snapcast: the packet stream as raw interleaved
// little-endian PCM in one fixed format, written into snapserver's pipe
// source. A stream at another rate goes through libsoxr; one at the
// format's rate passes bit for bit.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sink/sample_pack.h"

struct soxr;

namespace pipd::sink {

struct snapcast_format {
    int rate = 48000;
    int bits = 24; // 16, 24 (in 4-byte words, as Snapcast takes it) or 32
    int channels = 2;

    int sample_bytes() const { return bits == 16 ? 2 : 4; }
    int frame_bytes() const { return channels * sample_bytes(); }
};
inline constexpr int SNAPCAST_MIN_RATE = 8000;
inline constexpr int SNAPCAST_MAX_RATE = 384000;

// "RATE:BITS:CHANNELS", as snapserver's sampleformat; two channels only.
std::optional<snapcast_format> parse_snapcast_format(std::string_view text);
std::string snapcast_format_text(const snapcast_format &f);

// Turns packets into frames of the format. The resampler for a packet rate
// other than the format's is kept while that rate lasts and rebuilt when it
// changes; a stream that stops (pause, end) is drained and the next starts
// clean. 24 and 32 bits take the 24-bit samples as they are (32: shifted
// left by 8); 16 bits are rounded with TPDF dither of one step at 16 bits.
class pcm_converter {
  public:
    explicit pcm_converter(snapcast_format f);
    ~pcm_converter();
    pcm_converter(const pcm_converter &) = delete;
    pcm_converter &operator=(const pcm_converter &) = delete;

    // The frames of one packet, in the format. A rate change first drains
    // what the previous rate's resampler holds into the result.
    std::basic_string_view<unsigned char> convert(const int32_t *words);
    // The stream stops: what the resampler holds, after which the next
    // packet starts with a clear one.
    std::basic_string_view<unsigned char> drain();

  private:
    bool setup(int32_t rate);
    void release();
    void put(const float *frames, std::size_t count); // resampler output
    void put_sample(int32_t v24);                     // one 24-bit sample
    void put_dithered(double v24);                    // one sample before rounding
    bool drain_into();

    snapcast_format format_;
    soxr *soxr_ = nullptr;
    int32_t in_rate_ = 0;
    bool fresh_ = true; // the resampler has taken nothing since it was cleared
    uint32_t dither_state_ = 0x9e3779b9;
    std::array<float, 2 * PACKET_FRAMES> in_{};
    std::array<float, 2 * 2048> out_{};
    std::vector<unsigned char> bytes_; // the result, sized once
    std::size_t used_ = 0;
};

// Writes into snapserver's FIFO without ever holding up the sink: opened
// non-blocking (a FIFO that is missing is tried again once a second),
// frames a full pipe does not take wait in a queue of half a second, and
// what would overflow it is dropped whole. While the pipe holds audio that
// nobody reads (no snapserver runs), the audio is dropped. Nothing is
// written while the player sends nothing.
class snapcast_output {
  public:
    // waiting: no FIFO, or nobody reads it; idle: the player sends nothing.
    enum class state { waiting, idle, playing };
    using state_callback = std::function<void(state)>;

    snapcast_output(std::string fifo, snapcast_format f, state_callback changed);
    ~snapcast_output();
    snapcast_output(const snapcast_output &) = delete;
    snapcast_output &operator=(const snapcast_output &) = delete;

    void play(const int32_t *words);
    // Nothing arrives: the resampler is drained and what is queued written.
    void idle();

    state current() const { return state_; }
    const snapcast_format &format() const { return format_; }
    const std::string &fifo() const { return fifo_; }
    unsigned long long dropped_frames() const { return dropped_; }

  private:
    bool connect();
    void queue(std::basic_string_view<unsigned char> bytes);
    void flush();
    void disconnect(const char *why);
    // Whether a reader took anything from the pipe lately.
    bool reader_alive();
    void set_state(state s);

    std::string fifo_;
    snapcast_format format_;
    state_callback changed_;
    pcm_converter converter_;
    int fd_ = -1;
    state state_ = state::waiting;
    long long next_try_ms_ = 0;
    bool told_waiting_ = false;
    std::vector<unsigned char> ring_; // the queue, sized once
    std::size_t head_ = 0, size_ = 0;
    unsigned long long dropped_ = 0;
    unsigned long long written_ = 0, consumed_ = 0; // bytes, since the FIFO was opened
    long long read_ms_ = 0;                         // when a reader last took some
    bool reading_ = true;
};

const char *state_name(snapcast_output::state s);

} // namespace pipd::sink
