// DSF codec: checks the fixed 92-byte header, reports the stream to the
// host and converts the sample data group by group (4096 bytes of channel 0,
// then 4096 of channel 1) to 176,400 Hz PCM. Only DSD64 stereo is played.

#include <cstdint>
#include <cstring>

#include "codecs/codecs.h"
#include "codecs/dsd/dsd2pcm.h"
#include "codecs/dsd/dsd_common.h"
#include "codecs/staging.h"
#include "host/codec_api.h"
#include "host/command.h"
#include "host/diag.h"

namespace pipd {

using namespace dsd;

namespace {

constexpr uint32_t DSF_HEADER_SIZE = 92;
constexpr uint32_t DSF_BLOCK = 4096;                // bytes of one channel per group
constexpr uint32_t DSF_GROUP = 2 * DSF_BLOCK;       // both channels
constexpr uint32_t DSF_SAMPLES_PER_BLOCK = DSF_BLOCK / 2; // PCM samples per channel
constexpr uint32_t DSF_DSD_PER_GROUP = DSF_BLOCK * 8;     // DSD samples per channel
static_assert(DSF_SAMPLES_PER_BLOCK <= STAGING_CH2_WORDS);

// The header fields the codec reads (little-endian; of the 64-bit fields
// only the low word).
struct dsf_header {
    uint32_t chunk_size;
    uint32_t version;
    uint32_t channels;
    uint32_t frequency;
    uint32_t bits;
    uint32_t sample_count;
    uint32_t block_size;
    uint32_t data_length; // data chunk size minus its 12-byte header
};

dsf_header parse(const uint8_t *h) {
    return {le32(h + 4),  le32(h + 40), le32(h + 52), le32(h + 56),
            le32(h + 60), le32(h + 64), le32(h + 72), le32(h + 84) - 12u};
}

} // namespace

int dsf_codec_run() {
    dsd2pcm_reset(0);
    dsd2pcm_reset(1);

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

    // The length divides by the rate in units of 4000 Hz; a rate below that
    // (refused below) reports 0.
    const uint32_t per_ms = f.frequency / 4000;
    ci->ci_configure(CODEC_CONFIG_BPS, 1);
    ci->ci_configure(CODEC_CONFIG_FREQUENCY, static_cast<int32_t>(f.frequency));
    ci->ci_configure(CODEC_CONFIG_CHANNELS, static_cast<int32_t>(f.channels));
    ci->ci_configure(CODEC_CONFIG_LENGTH, static_cast<int32_t>(per_ms ? f.data_length / per_ms : 0));

    if (f.frequency != static_cast<uint32_t>(DSD_RATE) || f.channels != 2) {
        diag_puts("CODEC_ERROR: frequency or channels error");
        return -1;
    }
    // 1: least significant bit first; 8: most significant bit first.
    if (f.bits != 1 && f.bits != 8) {
        diag("CODEC_ERROR: bits per sample %u is neither 1 nor 8\n", f.bits);
        return -1;
    }
    const int reverse = f.bits == 1 ? 1 : 0;
    ci->ci_advance_buffer_raw(DSF_HEADER_SIZE);

    uint64_t consumed = 0;    // data bytes
    uint64_t dsd_samples = 0; // per channel
    for (;;) {
        int32_t param = 0;
        const int action = ci->ci_get_command(&param);
        if (action == CODEC_ACTION_PAUSE) {
            wait_cmd_fifo(1);
            continue;
        }
        if (action == CODEC_ACTION_HALT) break;

        const auto *group = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&len, DSF_GROUP));
        if (!group || len < DSF_GROUP) break;
        dsd2pcm_translate(0, DSF_SAMPLES_PER_BLOCK, group, 1, reverse, ch1.data(), 1);
        dsd2pcm_translate(1, DSF_SAMPLES_PER_BLOCK, group + DSF_BLOCK, 1, reverse, ch2.data(), 1);
        ci->ci_pcmbuf_insert(ch1.data(), ch2.data(), DSF_SAMPLES_PER_BLOCK);
        ci->ci_advance_buffer_raw(DSF_GROUP);

        dsd_samples += DSF_DSD_PER_GROUP;
        ci->ci_set_elapsed(dsd_elapsed_ms(dsd_samples));
        consumed += DSF_GROUP;
        if (consumed >= f.data_length) break;
    }
    diag("dsd decoded %llu\n", static_cast<unsigned long long>(dsd_samples));
    return 0;
}

} // namespace pipd
