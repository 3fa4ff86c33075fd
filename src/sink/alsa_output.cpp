#include "sink/alsa_output.h"

#include <cstdio>

namespace pipd::sink {

snd_pcm_format_t alsa_format(sample_format f) {
    switch (f) {
    case sample_format::s24_le:
        return SND_PCM_FORMAT_S24_LE;
    case sample_format::s32_le:
        return SND_PCM_FORMAT_S32_LE;
    case sample_format::s24_3le:
        return SND_PCM_FORMAT_S24_3LE;
    case sample_format::s16_le:
        break;
    }
    return SND_PCM_FORMAT_S16_LE;
}

void report(const counters &c) {
    std::fprintf(stderr,
                 "pipd-sink: %llu packets played, %llu underruns, %llu stretches without a "
                 "packet header (%llu bytes skipped)\n",
                 c.packets, c.underruns, c.lost, c.skipped);
}

} // namespace pipd::sink
