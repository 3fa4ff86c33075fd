// DSF codec: checks the fixed 92-byte header, reports the stream to the
// host and hands the sample data group by group (4096 bytes of each channel
// in turn) to the DSD output stage, up to the header's sample count. DSD64
// to DSD512 with 1 to 6 channels play. A seek lands on the group holding the
// target and drops the bytes before it, to the PCM sample of the output
// stage (2 bytes of a channel at DSD64 to 16 at DSD512).

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codecs/codecs.h"
#include "codecs/dsd/dsd_common.h"
#include "codecs/dsd/dsd_output.h"
#include "core/diag.h"
#include "host/codec_api.h"

namespace pipd {

using namespace dsd;

namespace {

constexpr uint32_t DSF_HEADER_SIZE = 92;
constexpr uint32_t DSF_BLOCK = 4096;                  // bytes of one channel per group
constexpr uint32_t DSF_DSD_PER_BLOCK = DSF_BLOCK * 8; // DSD samples per channel
constexpr uint64_t MAX_DATA = uint64_t{1} << 48;

// The header fields the codec reads (little-endian).
struct dsf_header {
    uint32_t chunk_size;
    uint32_t version;
    uint32_t channels;
    uint32_t frequency;
    uint32_t bits;
    uint64_t sample_count; // per channel
    uint32_t block_size;
    uint64_t data_length; // data chunk size minus its 12-byte header
};

dsf_header parse(const uint8_t *h) {
    return {le32(h + 4),  le32(h + 40), le32(h + 52), le32(h + 56),
            le32(h + 60), le64(h + 64), le32(h + 72), le64(h + 84) - 12u};
}

// DSD samples per channel that are played: the header's count, as far as
// the data chunk and the file hold them (the last block's padding is not
// music). Far beyond any recording, so that nothing overflows.
uint64_t samples_to_play(const dsf_header &f) {
    const uint64_t data = std::min(bytes_present(DSF_HEADER_SIZE, f.data_length), MAX_DATA);
    return f.channels ? std::min(f.sample_count, data * 8 / f.channels) : 0;
}

} // namespace

int dsf_codec_run() {
    ci->ci_seek_buffer_raw(0);
    uint32_t len = 0;
    const auto *h = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&len, DSF_HEADER_SIZE));
    if (!h || len < DSF_HEADER_SIZE) {
        diag_puts("request_buffer error");
        return -1;
    }
    if (std::memcmp(h, "DSD ", 4) != 0 || std::memcmp(h + 28, "fmt ", 4) != 0) {
        diag_puts("CODEC_ERROR: missing DSD header");
        return -1;
    }
    const dsf_header f = parse(h);
    diag("dsd head len=%d\n", static_cast<int32_t>(f.chunk_size));
    diag("dsd version=%d\n", static_cast<int32_t>(f.version));
    diag("dsd channel num=%d\n", static_cast<int32_t>(f.channels));
    diag("dsd sample frequency=%d\n", static_cast<int32_t>(f.frequency));
    diag("dsd bitper sample=%d\n", static_cast<int32_t>(f.bits));
    diag("dsd sample count=%d\n", static_cast<int32_t>(f.sample_count));
    diag("dsd blocksize=%d\n", static_cast<int32_t>(f.block_size));
    diag("dsd size of chunk=%d\n", static_cast<int32_t>(f.data_length));

    uint64_t left = samples_to_play(f); // DSD samples per channel
    const bool playable =
        dsd_begin(f.frequency, static_cast<int>(std::min<uint32_t>(f.channels, INT32_MAX)));
    // The host converts nothing itself: it takes what the output stage hands
    // on as DSD64's PCM, whatever the file's rate.
    ci->ci_configure(CODEC_CONFIG_BPS, 1);
    ci->ci_configure(CODEC_CONFIG_FREQUENCY,
                     playable ? DSD_RATE : static_cast<int32_t>(f.frequency));
    ci->ci_configure(CODEC_CONFIG_CHANNELS, static_cast<int32_t>(f.channels));
    ci->ci_configure(CODEC_CONFIG_LENGTH, f.frequency ? length_ms(left * 1000 / f.frequency) : 0);
    if (!playable) return -1;
    // 1: least significant bit first; 8: most significant bit first.
    if (f.bits != 1 && f.bits != 8) {
        diag("CODEC_ERROR: bits per sample %u is neither 1 nor 8\n", f.bits);
        return -1;
    }
    ci->ci_advance_buffer_raw(DSF_HEADER_SIZE);

    const uint32_t group = DSF_BLOCK * f.channels;
    const uint64_t total = left;
    uint64_t dsd_samples = 0; // per channel: the position
    uint32_t skip = 0;        // bytes of each channel before the position in the next group
    while (left >= 8) {
        int32_t param = 0;
        const int action = codec_next_action(&param);
        if (action == CODEC_ACTION_HALT) break;
        if (action == CODEC_ACTION_SEEK_TIME) {
            // To the PCM sample of the output stage that holds the target.
            uint64_t at = dsd_byte_at(static_cast<uint32_t>(param), f.frequency);
            at -= at % dsd_bytes_per_pcm(f.frequency);
            ci->ci_seek_complete();
            if (param < 0 || at * 8 >= total) break;
            ci->ci_seek_buffer_raw(DSF_HEADER_SIZE + at / DSF_BLOCK * group);
            skip = static_cast<uint32_t>(at % DSF_BLOCK);
            dsd_samples = at * 8;
            left = total - dsd_samples;
            dsd_reset_history();
            ci->ci_set_elapsed(dsd_elapsed_ms(dsd_samples, f.frequency));
            continue;
        }

        const auto *data = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&len, group));
        if (!data || len < group) break;
        const uint64_t this_group = std::min<uint64_t>(left, DSF_DSD_PER_BLOCK - skip * 8);
        const uint32_t bytes = static_cast<uint32_t>(this_group / 8);
        const uint32_t taken = dsd_convert(data + skip, DSF_BLOCK, 1, bytes, f.bits == 1);
        ci->ci_advance_buffer_raw(group);
        skip = 0;

        dsd_samples += uint64_t{taken} * 8;
        left -= this_group;
        ci->ci_set_elapsed(dsd_elapsed_ms(dsd_samples, f.frequency));
    }
    diag("dsd decoded %llu\n", static_cast<unsigned long long>(dsd_samples));
    return 0;
}

} // namespace pipd
