#include "sink/snapcast_output.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <soxr.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/diag.h"
#include "protocol/packets.h"

namespace pipd::sink {

namespace {

// Frames the result of one conversion can hold: a packet at the lowest
// packet rate brought up to the highest format rate, after the tail of the
// previous rate's resampler (its delay: a few hundred frames).
constexpr std::size_t MAX_RESULT_FRAMES = 16384;
static_assert(MAX_RESULT_FRAMES > PACKET_FRAMES * SNAPCAST_MAX_RATE / 44100 + 4096);
// Steps of a drain before it is given up: the tail is a few steps long.
constexpr int MAX_DRAIN_STEPS = 64;
constexpr int RETRY_MS = 1000;
constexpr int QUEUE_MS = 250;

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool parse_int(std::string_view text, int &value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

} // namespace

std::optional<snapcast_format> parse_snapcast_format(std::string_view text) {
    snapcast_format f;
    std::size_t a = text.find(':'), b = a == std::string_view::npos ? a : text.find(':', a + 1);
    if (b == std::string_view::npos || !parse_int(text.substr(0, a), f.rate) ||
        !parse_int(text.substr(a + 1, b - a - 1), f.bits) ||
        !parse_int(text.substr(b + 1), f.channels))
        return std::nullopt;
    if (f.rate < SNAPCAST_MIN_RATE || f.rate > SNAPCAST_MAX_RATE || f.channels != 2 ||
        (f.bits != 16 && f.bits != 24 && f.bits != 32))
        return std::nullopt;
    return f;
}

std::string snapcast_format_text(const snapcast_format &f) {
    return std::to_string(f.rate) + ":" + std::to_string(f.bits) + ":" + std::to_string(f.channels);
}

// ---- The converter ---------------------------------------------------------

pcm_converter::pcm_converter(snapcast_format f)
    : format_(f), bytes_(MAX_RESULT_FRAMES * static_cast<std::size_t>(f.frame_bytes())) {}

pcm_converter::~pcm_converter() {
    release();
}

void pcm_converter::release() {
    if (soxr_) soxr_delete(soxr_);
    soxr_ = nullptr;
}

bool pcm_converter::setup(int32_t rate) {
    release();
    in_rate_ = rate;
    fresh_ = true;
    if (rate == format_.rate) return true;
    // Very high quality: a 24-bit output deserves the converter's 28-bit
    // precision; its cost is measured in bench/sink_snapcast_cpu.sh.
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t err = nullptr;
    soxr_ = soxr_create(rate, format_.rate, 2, &err, &io, &quality, &runtime);
    if (!soxr_ || err) {
        diag("pipd-sink: no resampler from %d Hz to %d Hz: %s\n", rate, format_.rate,
             soxr_strerror(err));
        release();
        return false;
    }
    diag("pipd-sink: Snapcast output: resampling %d Hz to %d Hz\n", rate, format_.rate);
    return true;
}

void pcm_converter::put_sample(int32_t v24) {
    if (used_ + 4 > bytes_.size()) return;
    uint32_t s = static_cast<uint32_t>(clamp24(v24));
    if (format_.bits == 32) s <<= 8;
    for (int b = 0; b < 4; ++b) bytes_[used_++] = static_cast<unsigned char>(s >> (8 * b));
}

void pcm_converter::put_dithered(double v24) {
    if (used_ + 2 > bytes_.size()) return;
    // Two uniform values in [0, 1) from a xorshift generator: their
    // difference is triangular over two steps of the 16-bit output.
    auto uniform = [this] {
        dither_state_ ^= dither_state_ << 13;
        dither_state_ ^= dither_state_ >> 17;
        dither_state_ ^= dither_state_ << 5;
        return dither_state_ * (1.0 / 4294967296.0);
    };
    const double u = uniform();
    const double v = std::floor(v24 / 256.0 + u - uniform() + 0.5);
    const auto s = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    const auto bits = static_cast<uint16_t>(s);
    bytes_[used_++] = static_cast<unsigned char>(bits);
    bytes_[used_++] = static_cast<unsigned char>(bits >> 8);
}

void pcm_converter::put(const float *frames, std::size_t count) {
    for (std::size_t i = 0; i < 2 * count; ++i) {
        const float v = std::clamp(frames[i], -8388608.0f, 8388607.0f);
        if (format_.bits == 16)
            put_dithered(v);
        else
            put_sample(static_cast<int32_t>(std::lrint(v)));
    }
}

bool pcm_converter::drain_into() {
    if (!soxr_ || fresh_) return false;
    for (int step = 0; step < MAX_DRAIN_STEPS; ++step) {
        std::size_t odone = 0;
        soxr_process(soxr_, nullptr, 0, nullptr, out_.data(), out_.size() / 2, &odone);
        if (odone == 0) break;
        put(out_.data(), odone);
    }
    soxr_clear(soxr_);
    fresh_ = true;
    return true;
}

std::basic_string_view<unsigned char> pcm_converter::drain() {
    used_ = 0;
    drain_into();
    return {bytes_.data(), used_};
}

std::basic_string_view<unsigned char> pcm_converter::convert(const int32_t *words) {
    used_ = 0;
    const int32_t rate = rate_of_code(words[1]);
    if (rate != in_rate_) {
        drain_into();
        if (!setup(rate)) return {};
    }
    const int32_t *samples = words + PACKET_HEADER_WORDS;
    if (rate == format_.rate) {
        if (format_.bits == 16) {
            for (int k = 0; k < PACKET_FRAMES; ++k) { // the pipe: channel 1 first
                put_dithered(samples[2 * k + 1]);
                put_dithered(samples[2 * k]);
            }
        } else {
            pack_frames(words, formats[format_.bits == 32 ? 1 : 0], bytes_.data() + used_);
            used_ += PACKET_FRAMES * 8;
        }
        return {bytes_.data(), used_};
    }
    if (!soxr_) return {};
    for (int k = 0; k < PACKET_FRAMES; ++k) {
        in_[2 * k] = static_cast<float>(clamp24(samples[2 * k + 1]));
        in_[2 * k + 1] = static_cast<float>(clamp24(samples[2 * k]));
    }
    fresh_ = false;
    const std::size_t out_frames = out_.size() / 2;
    std::size_t used = 0;
    for (;;) {
        std::size_t idone = 0, odone = 0;
        soxr_process(soxr_, in_.data() + 2 * used, PACKET_FRAMES - used, &idone, out_.data(),
                     out_frames, &odone);
        used += idone;
        put(out_.data(), odone);
        // Done once the packet is taken and the output did not fill up (a
        // full output may have more behind it); a step that moves nothing
        // ends it too.
        if ((used >= PACKET_FRAMES && odone < out_frames) || (idone == 0 && odone == 0)) break;
    }
    return {bytes_.data(), used_};
}

// ---- The FIFO --------------------------------------------------------------

const char *state_name(snapcast_output::state s) {
    switch (s) {
    case snapcast_output::state::idle:
        return "idle";
    case snapcast_output::state::playing:
        return "playing";
    case snapcast_output::state::waiting:
        break;
    }
    return "waiting";
}

snapcast_output::snapcast_output(std::string fifo, snapcast_format f, state_callback changed)
    : fifo_(std::move(fifo)), format_(f), changed_(std::move(changed)), converter_(f),
      ring_(static_cast<std::size_t>(f.rate) * QUEUE_MS / 1000 *
            static_cast<std::size_t>(f.frame_bytes())) {}

snapcast_output::~snapcast_output() {
    changed_ = nullptr; // whoever listened may be gone already
    if (fd_ >= 0) {
        queue(converter_.drain());
        flush();
        if (fd_ >= 0) close(fd_);
    }
}

void snapcast_output::set_state(state s) {
    if (s == state_) return;
    state_ = s;
    if (changed_) changed_(s);
}

bool snapcast_output::connect() {
    if (fd_ >= 0) return true;
    const long long now = now_ms();
    if (now < next_try_ms_) return false;
    next_try_ms_ = now + RETRY_MS;
    // Non-blocking: without a reader the open fails at once (ENXIO) instead
    // of waiting; a FIFO is never created here.
    int fd = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = ENOTSUP;
    }
    if (fd < 0) {
        if (!told_waiting_)
            diag("pipd-sink: Snapcast output: %s: %s; waiting for snapserver to read it\n",
                 fifo_.c_str(),
                 errno == ENXIO     ? "no reader"
                 : errno == ENOTSUP ? "not a FIFO"
                                    : std::strerror(errno));
        told_waiting_ = true;
        return false;
    }
    fd_ = fd;
    told_waiting_ = false;
    head_ = size_ = 0;
    converter_.drain(); // what was held before the reader came is not for it
    diag("pipd-sink: Snapcast output: snapserver reads %s (%s)\n", fifo_.c_str(),
         snapcast_format_text(format_).c_str());
    set_state(state::idle);
    return true;
}

void snapcast_output::disconnect(const char *why) {
    diag("pipd-sink: Snapcast output: %s: %s\n", fifo_.c_str(), why);
    close(fd_);
    fd_ = -1;
    head_ = size_ = 0;
    next_try_ms_ = now_ms() + RETRY_MS;
    set_state(state::waiting);
}

void snapcast_output::queue(std::basic_string_view<unsigned char> bytes) {
    if (bytes.empty()) return;
    if (size_ + bytes.size() > ring_.size()) {
        // snapserver does not keep up: these frames are lost whole, so
        // that what it reads stays in step with the frames.
        if (dropped_ == 0)
            diag("pipd-sink: Snapcast output: snapserver does not keep up; dropping audio\n");
        dropped_ += bytes.size() / static_cast<std::size_t>(format_.frame_bytes());
        return;
    }
    std::size_t tail = (head_ + size_) % ring_.size();
    std::size_t first = std::min(bytes.size(), ring_.size() - tail);
    std::memcpy(ring_.data() + tail, bytes.data(), first);
    std::memcpy(ring_.data(), bytes.data() + first, bytes.size() - first);
    size_ += bytes.size();
}

void snapcast_output::flush() {
    while (fd_ >= 0 && size_ > 0) {
        const std::size_t first = std::min(size_, ring_.size() - head_);
        iovec iov[2] = {{ring_.data() + head_, first}, {ring_.data(), size_ - first}};
        ssize_t n = writev(fd_, iov, size_ > first ? 2 : 1);
        if (n > 0) {
            head_ = (head_ + static_cast<std::size_t>(n)) % ring_.size();
            size_ -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return; // the pipe is full: the rest waits
        } else {
            disconnect(n < 0 && errno == EPIPE ? "snapserver stopped reading"
                                               : std::strerror(errno));
        }
    }
}

void snapcast_output::play(const int32_t *words) {
    if (!connect()) return;
    queue(converter_.convert(words));
    flush();
    if (fd_ >= 0) set_state(state::playing);
}

void snapcast_output::idle() {
    if (fd_ >= 0) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & POLLERR)) {
            disconnect("snapserver stopped reading");
            return;
        }
    }
    if (!connect()) return;
    queue(converter_.drain());
    flush();
    if (fd_ >= 0 && size_ == 0) set_state(state::idle);
}

} // namespace pipd::sink
