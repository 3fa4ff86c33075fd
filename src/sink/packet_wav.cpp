#include "sink/packet_wav.h"

#include "protocol/packets.h"

namespace pipd {

packet_wav_writer::packet_wav_writer(std::FILE *out) : out_(out) {
    start_ = ftello(out_);
    seekable_ = start_ >= 0 && fseeko(out_, start_, SEEK_SET) == 0;
}

void packet_wav_writer::put(const void *data, std::size_t n) {
    if (!failed_ && std::fwrite(data, 1, n, out_) != n) failed_ = true;
}

void packet_wav_writer::header(uint64_t frames) {
    const uint64_t bytes = frames * 6;
    const uint32_t data =
        bytes > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu - 36 : static_cast<uint32_t>(bytes);
    const uint32_t rate = static_cast<uint32_t>(rate_ > 0 ? rate_ : 44100);
    unsigned char h[44] = {'R', 'I', 'F', 'F', 0,  0, 0,   0,   'W', 'A', 'V', 'E', 'f', 'm', 't',
                           ' ', 16,  0,   0,   0,  1, 0,   2,   0,   0,   0,   0,   0,   0,   0,
                           0,   0,   6,   0,   24, 0, 'd', 'a', 't', 'a', 0,   0,   0,   0};
    auto le32 = [&h](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    le32(4, data + 36);
    le32(24, rate);
    le32(28, rate * 6);
    le32(40, data);
    put(h, sizeof h);
}

void packet_wav_writer::packet(const int32_t *words, int valid_words) {
    const int samples = valid_words - PACKET_HEADER_WORDS;
    if (samples <= 0) return;
    const int32_t code = static_cast<uint32_t>(words[0]) == OUTPUT_MAGIC ? words[1] : -1;
    if (!started_) {
        started_ = true;
        code_ = code;
        rate_ = rate_of_code(code);
        if (rate_ == 0) {
            std::fprintf(stderr,
                         "no sample rate reported before the first sample; writing 44100 Hz\n");
            rate_ = 44100;
        }
        header(seekable_ ? 0 : UINT64_MAX / 8);
    } else if (code != code_) {
        std::fprintf(stderr, "rate changed to %d Hz after %llu frames\n", rate_of_code(code),
                     static_cast<unsigned long long>(frames_));
        code_ = code;
    }
    // The pipe carries channel 1 first; the file has channel 0 first.
    unsigned char frame[6 * 512];
    int n = 0;
    for (int i = 0; i + 1 < samples; i += 2) {
        const int32_t ch[2] = {words[PACKET_HEADER_WORDS + i + 1], words[PACKET_HEADER_WORDS + i]};
        for (int32_t v : ch) {
            const int32_t s = v > 8388607 ? 8388607 : v < -8388608 ? -8388608 : v;
            frame[n++] = static_cast<unsigned char>(s);
            frame[n++] = static_cast<unsigned char>(s >> 8);
            frame[n++] = static_cast<unsigned char>(s >> 16);
        }
        ++frames_;
    }
    put(frame, static_cast<std::size_t>(n));
}

bool packet_wav_writer::finish() {
    if (!started_) {
        started_ = true;
        header(seekable_ ? 0 : UINT64_MAX / 8);
    }
    if (seekable_ && fseeko(out_, start_, SEEK_SET) == 0) {
        header(frames_);
        fseeko(out_, 0, SEEK_END);
    }
    if (std::fflush(out_) != 0) failed_ = true;
    return !failed_;
}

} // namespace pipd
