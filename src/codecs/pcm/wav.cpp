// WAV codec: walks the RIFF chunks, sets up the PCM decoder of the format
// tag, refuses 44100 Hz files that carry a DTS bitstream, and decodes the
// data chunk in steps of about 20 ms.

#include <algorithm>
#include <array>
#include <cstdint>

#include "codecs/codecs.h"
#include "codecs/pcm/linear_pcm.h"
#include "core/diag.h"
#include "host/bytes.h"
#include "host/codec_api.h"
#include "host/outudp.h"

namespace pipd {

namespace {

constexpr uint32_t WAVE_FORMAT_PCM = 0x0001;
constexpr uint32_t WAVE_FORMAT_ADPCM = 0x0002;
constexpr uint32_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

constexpr uint32_t MAX_STEP_SAMPLES = 8192;
constexpr uint32_t CHUNK_PEEK = 1024;
constexpr uint32_t DTS_BLOCK = 24576;
constexpr uint32_t DTS_BLOCKS = 85;
constexpr uint32_t DTS_LAST_POSITION = 24560;

// The file being played.
wave_format format;
uint32_t bytesdone;
std::array<int32_t, MAX_STEP_SAMPLES> samples;

struct wave_codec {
    uint32_t formattag;
    const pcm_codec_ops *(*get_codec)();
};
constexpr std::array<wave_codec, 2> wave_codecs{{
    {0, nullptr},
    {WAVE_FORMAT_PCM, get_linear_pcm_codec},
}};

bool id_is(const uint8_t *p, const char (&id)[5]) {
    return p[0] == id[0] && p[1] == id[1] && p[2] == id[2] && p[3] == id[3];
}

// Consumes a chunk of any size, also one that claims nearly 4 GiB.
void skip_bytes(uint64_t n) {
    constexpr uint64_t step = 0x80000000u;
    while (n > step) {
        ci->ci_advance_buffer_raw(static_cast<uint32_t>(step));
        n -= step;
    }
    ci->ci_advance_buffer_raw(static_cast<uint32_t>(n));
}

const pcm_codec_ops *find_codec(uint32_t formattag) {
    for (const wave_codec &row : wave_codecs)
        if (row.formattag == formattag) return row.get_codec ? row.get_codec() : nullptr;
    return nullptr;
}

// Parses a "fmt " chunk whose header starts at chunk (available bytes seen
// there) and sets up its decoder; nullptr after an error (printed).
const pcm_codec_ops *parse_fmt(const uint8_t *chunk, uint32_t available, uint32_t size) {
    if (size < 16) {
        diag("CODEC_ERROR: 'fmt ' chunk size=%lu < 16\n", static_cast<unsigned long>(size));
        return nullptr;
    }
    // Fields are read only where the file has bytes; the chunk header takes 8.
    const uint8_t *p = chunk + 8;
    const uint32_t have = available - 8;
    auto present = [&](uint32_t bytes) {
        if (have >= bytes) return true;
        diag("CODEC_ERROR: 'fmt ' chunk cut short by the end of the file (%u of %u bytes)\n", have,
             bytes);
        return false;
    };
    if (!present(16)) return nullptr;
    format.formattag = le16(p);
    format.channels = le16(p + 2);
    format.samplerate = le32(p + 4);
    format.blockalign = le16(p + 12);
    format.bitspersample = le16(p + 14);

    if (format.formattag != WAVE_FORMAT_PCM) {
        if (size < 18) {
            diag("CODEC_WARNING: non-PCM WAVE (formattag=0x%x) doesn't have ext. fmt descr "
                 "(chunksize=%d<18).\n",
                 format.formattag, static_cast<int>(size));
        } else if (format.formattag == WAVE_FORMAT_EXTENSIBLE) {
            if (!present(18)) return nullptr;
            format.extsize = le16(p + 16);
            // The extension holds the valid bits and the sub-format; a chunk
            // too short to hold them lacks it whatever the size field says.
            if (format.extsize < 22 || size < 26) {
                diag_puts("CODEC_ERROR: WAVE_FORMAT_EXTENSIBLE is missing extension");
                return nullptr;
            }
            if (!present(26)) return nullptr;
            format.bitspersample = le16(p + 18);
            format.formattag = le16(p + 24);
        }
        if (format.formattag == WAVE_FORMAT_ADPCM) {
            if (size < 50) {
                diag("CODEC_ERROR: microsoft adpcm 'fmt ' chunk size=%lu < 50\n",
                     static_cast<unsigned long>(size));
                return nullptr;
            }
            if (!present(22)) return nullptr;
            const int coefficients = le16(p + 20);
            if (coefficients != 7) {
                diag("CODEC_ERROR: microsoft adpcm nNumCoef=%d != 7\n", coefficients);
                return nullptr;
            }
        }
    }

    const pcm_codec_ops *codec = find_codec(format.formattag);
    if (!codec) {
        diag("CODEC_ERROR: unsupported wave format 0x%x\n", format.formattag);
        return nullptr;
    }
    if (format.formattag == WAVE_FORMAT_PCM && format.bitspersample == 8)
        format.signed_samples = 0; // 8-bit WAVE samples are unsigned
    if (!codec->set_format(&format)) return nullptr;
    // The length report divides by the rate in kHz.
    if (format.samplerate < 1000) {
        diag("CODEC_ERROR: sample rate %u Hz is below 1000 Hz\n", format.samplerate);
        return nullptr;
    }
    ci->ci_configure(CODEC_CONFIG_BPS, format.bitspersample);
    ci->ci_configure(CODEC_CONFIG_FREQUENCY, static_cast<int32_t>(format.samplerate));
    ci->ci_configure(CODEC_CONFIG_CHANNELS, format.channels);
    // A rate the output cannot carry has been refused (and said) there.
    return output_refused() ? nullptr : codec;
}

// The first four bytes of the DTS sync patterns, as a little-endian word.
constexpr uint32_t DTS_SYNC_BE16 = 0x0180FE7F; // 7F FE 80 01
constexpr uint32_t DTS_SYNC_LE16 = 0x80017FFE; // FE 7F 01 80
constexpr uint32_t DTS_SYNC_BE14 = 0x00E8FF1F; // 1F FF E8 00, then 07 Fx
constexpr uint32_t DTS_SYNC_LE14 = 0xE8001FFF; // FF 1F 00 E8, then Fx 07

bool dts_sync_at(const uint8_t *p) {
    const uint32_t head = le32(p);
    if (head == DTS_SYNC_BE16 || head == DTS_SYNC_LE16) return true;
    if (head == DTS_SYNC_BE14) return p[4] == 0x07 && (p[5] & 0xF0) == 0xF0;
    if (head == DTS_SYNC_LE14) return (p[4] & 0xF0) == 0xF0 && p[5] == 0x07;
    return false;
}

// Whether a pattern may begin at one of the DTS_GROUP positions from p: the
// first two bytes of one are there. Fixed-size and branch-free, so that it
// is vectorised; the exact test follows only where it says yes.
constexpr uint32_t DTS_GROUP = 256;
bool dts_candidates(const uint8_t *p) {
    uint8_t any = 0;
    for (uint32_t i = 0; i < DTS_GROUP; ++i) {
        const uint8_t a = p[i];
        const uint8_t b = p[i + 1];
        any |= static_cast<uint8_t>(-(a == 0x7F) & -(b == 0xFE)) |
               static_cast<uint8_t>(-(a == 0xFE) & -(b == 0x7F)) |
               static_cast<uint8_t>(-(a == 0x1F) & -(b == 0xFF)) |
               static_cast<uint8_t>(-(a == 0xFF) & -(b == 0x1F));
    }
    return any != 0;
}

// Offset of the first DTS sync pattern from the cursor, looked for in the
// first 85 blocks of 24576 bytes (a pattern across two blocks is missed);
// -1 when there is none.
int64_t find_first_dts_header() {
    for (uint32_t block = 0; block < DTS_BLOCKS; ++block) {
        uint32_t n = 0;
        const auto *p = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, DTS_BLOCK));
        if (!p || n < DTS_BLOCK) {
            diag_puts("dts request_buffer error");
            return -1;
        }
        uint32_t i = 0;
        while (i <= DTS_LAST_POSITION) {
            const uint32_t end = std::min(i + DTS_GROUP, DTS_LAST_POSITION + 1);
            if (end - i == DTS_GROUP && !dts_candidates(p + i)) {
                i = end;
                continue;
            }
            for (; i < end; ++i) {
                if (dts_sync_at(p + i)) {
                    const int64_t offset = int64_t{block} * DTS_BLOCK + i;
                    diag("dts offset %d\n", static_cast<int>(offset));
                    return offset;
                }
            }
        }
        ci->ci_advance_buffer_raw(DTS_BLOCK);
    }
    return -1;
}

// Checks the format against the data chunk and fixes the step size; false
// after an error (printed).
bool check_data(const pcm_codec_ops *codec) {
    if (!codec) {
        diag_puts("CODEC_ERROR: 'fmt ' chunk not found");
        return false;
    }
    if (format.channels == 0) {
        diag_puts("CODEC_ERROR: 'fmt ' chunk not found or 0-channels file");
        return false;
    }
    if (format.samplesperblock == 0) {
        diag_puts("CODEC_ERROR: 'fmt ' chunk not found or 0-wSamplesPerBlock file");
        return false;
    }
    if (format.blockalign == 0) {
        diag_puts("CODEC_ERROR: 'fmt ' chunk not found or 0-blockalign file");
        return false;
    }
    if (format.databytes == 0) {
        diag_puts("CODEC_ERROR: 'data' chunk not found or has zero-length");
        return false;
    }
    // One step must fit the sample buffer.
    const uint64_t step_samples =
        uint64_t{format.channels} * format.samplesperblock * (format.chunksize / format.blockalign);
    if (step_samples > MAX_STEP_SAMPLES)
        format.chunksize = format.blockalign * (MAX_STEP_SAMPLES / format.blockalign);
    // A block alignment that is no multiple of the frame puts more samples in
    // a block than the count above says; every sample takes at least
    // bytespersample bytes, so this bound holds for any layout.
    const uint64_t step_bytes_max = uint64_t{MAX_STEP_SAMPLES} * format.bytespersample;
    if (format.chunksize > step_bytes_max)
        format.chunksize =
            format.blockalign * static_cast<uint32_t>(step_bytes_max / format.blockalign);
    if (format.chunksize == 0) {
        diag_puts("CODEC_ERROR: chunksize is 0");
        return false;
    }
    if (format.channels != 1 && format.channels != 2) {
        diag_puts("CODEC_ERROR: more than 2 channels");
        return false;
    }
    return true;
}

} // namespace

int wav_codec_run() {
    bytesdone = 0;
    ci->ci_seek_buffer_raw(0);

    uint32_t n = 0;
    const auto *header = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, 12));
    if (!header || n < 12) {
        diag_puts("request_buffer error");
        return -1;
    }
    if (!id_is(header, "RIFF") || !id_is(header + 8, "WAVE")) {
        diag_puts("CODEC_ERROR: missing riff header");
        return -1;
    }
    ci->ci_advance_buffer_raw(12);
    format = wave_format{};
    format.little_endian = 1;
    format.signed_samples = 1;

    uint64_t chunk_offset = 12; // file offset of the next chunk header
    const pcm_codec_ops *codec = nullptr;

    // The chunk walk, up to the "data" chunk.
    for (;;) {
        const auto *chunk = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, CHUNK_PEEK));
        if (!chunk || n < 8) {
            diag_puts("data chunk request_buffer error");
            return -1;
        }
        const uint32_t size = le32(chunk + 4);
        if (id_is(chunk, "data")) {
            format.databytes = size;
            break;
        }
        if (id_is(chunk, "fmt ")) {
            codec = parse_fmt(chunk, n, size);
            if (!codec) return -1;
        } else if (!id_is(chunk, "fact")) {
            diag("unknown WAVE chunk: '%c%c%c%c', size=%lu\n", chunk[0], chunk[1], chunk[2],
                 chunk[3], static_cast<unsigned long>(size));
        }
        const uint64_t skip = uint64_t{size} + 8 + (size & 1);
        skip_bytes(skip);
        chunk_offset += skip;
    }

    ci->ci_advance_buffer_raw(8);
    const uint64_t data_start = chunk_offset + 8;
    if (!check_data(codec)) return -1;
    bytesdone = 0;
    uint32_t decoded_frames = 0;

    const uint32_t length_ms = format.databytes / (format.samplerate / 1000) /
                               ((uint32_t{format.channels} * format.bitspersample) >> 3);
    ci->ci_configure(CODEC_CONFIG_LENGTH, static_cast<int32_t>(length_ms));

    if (format.samplerate == 44100) {
        const uint64_t saved = ci->ci_getpos();
        if (find_first_dts_header() >= 0) {
            diag_puts(" DTS codec error");
            return -1;
        }
        ci->ci_set_offset(saved);
    }

    for (;;) {
        int32_t param = 0;
        const int action = codec_next_action(&param);
        if (action == CODEC_ACTION_HALT) break;
        if (action == CODEC_ACTION_SEEK_TIME) {
            const pcm_pos *p = codec->get_seek_pos(static_cast<uint32_t>(param));
            if (p->pos > format.databytes) {
                ci->ci_seek_complete();
                break;
            }
            if (ci->ci_seek_buffer_raw(data_start + p->pos)) {
                bytesdone = p->pos;
                decoded_frames = p->samples;
            }
            ci->ci_seek_complete();
        }

        const auto *bytes =
            static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, format.chunksize));
        if (!bytes || n == 0) break;
        bool last = false;
        if (uint64_t{bytesdone} + n > format.databytes) {
            n = format.databytes - bytesdone;
            last = true;
        }
        uint32_t count = 0;
        if (codec->decode(bytes, n, samples.data(), &count) == -1) {
            diag_puts("codec error");
            return -1;
        }
        ci->ci_pcmbuf_insert(samples.data(), nullptr, static_cast<int>(count));
        ci->ci_advance_buffer_raw(n);
        bytesdone += n;
        decoded_frames += count;
        ci->ci_set_elapsed(
            static_cast<uint32_t>(uint64_t{decoded_frames} * 1000 / format.samplerate));
        if (bytesdone >= format.databytes || last) break;
    }

    diag("WAV decoded %d\n", static_cast<int>(decoded_frames));
    return 0;
}

} // namespace pipd
