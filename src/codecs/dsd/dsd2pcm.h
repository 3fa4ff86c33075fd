// DSD to PCM conversion shared by the DSF, DSDIFF and SACD codecs: a fixed
// 146-tap symmetric low-pass FIR evaluated on the 1-bit stream through
// per-byte lookup tables, decimating by 16 (two DSD bytes of a channel give
// one PCM sample, 2,822,400 Hz -> 176,400 Hz). The filter history of the
// channels 0 to 5 is kept in the global d2p; there is no converter object.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pipd {

inline constexpr int DSD2PCM_TAPS = 146;
inline constexpr int DSD2PCM_TABLES = 19;  // bytes in the filter window
inline constexpr int DSD2PCM_CHANNELS = 6; // channels 0 to 5

// The filter's 146 taps. It is symmetric, B[k] == B[145 - k], so only B[0] ..
// B[72] are written out. Gain at zero frequency (the sum) 1.1658974649132843.
inline constexpr std::array<double, DSD2PCM_TAPS> B = [] {
    constexpr double half[DSD2PCM_TAPS / 2] = {
        -1.968045242858e-05, -1.206214815027e-05, -1.537146868289e-05, -1.893964133965e-05,
        -2.264352855648e-05, -2.633729973632e-05, -2.981884997707e-05, -3.283978532723e-05,
        -3.50648429631e-05,  -3.61169098922e-05,  -3.554731466689e-05, -3.284189635053e-05,
        -2.73557345572e-05,  -1.844277819722e-05, -5.307842779092e-06, 1.291979777224e-05,
        3.716968396418e-05,  6.849465974799e-05,  0.0001079962578357,  0.0001568861131201,
        0.0002164256374931,  0.0002879588517785,  0.0003728822012037,  0.000472649896125,
        0.0005887341985452,  0.0007226478726321,  0.0008759037751021,  0.001049999622919,
        0.001246419653115,   0.001466590964994,   0.001711885290409,   0.001983580896339,
        0.002282851200436,   0.002610743877433,   0.002968151738273,   0.003355799309112,
        0.003774222212026,   0.0042237467726,     0.004704466542658,   0.005216239728163,
        0.005758656807545,   0.006331044012368,   0.006932441414562,   0.00756160436259,
        0.008216997185771,   0.008896787931616,   0.009598857424228,   0.01032080060687,
        0.01105993535841,    0.0118133151014,     0.01257774803599,    0.01334981036665,
        0.01412587434455,    0.01490213012511,    0.01567461574786,    0.01643924859086,
        0.01719185375582,    0.01792820722508,    0.01864406456678,    0.01933520294488,
        0.01999745792568,    0.02062676342847,    0.02121918689605,    0.0217709701151,
        0.02227856364016,    0.02273866289596,    0.02314824041406,    0.02350457496803,
        0.02380528328131,    0.02404833776069,    0.02423209218111,    0.02435529656877,
        0.02441711021212,
    };
    std::array<double, DSD2PCM_TAPS> b{};
    for (int k = 0; k < DSD2PCM_TAPS / 2; ++k) {
        b[k] = half[k];
        b[DSD2PCM_TAPS - 1 - k] = half[k];
    }
    return b;
}();

// Filter history of one channel: the last 19 bytes kept twice
// (window[p] == window[p + 19]), so that the window, oldest first, lies
// contiguous at window[pos] .. window[pos + 18]. pos is the next position to
// write, which is also the position of the oldest byte.
struct dsd2pcm_ctx {
    std::array<uint8_t, 2 * DSD2PCM_TABLES> window;
    int32_t pos;
};

// Table i gives, for every byte value, that byte's contribution when it is
// the (i+1)-th oldest byte of the window. Built once by dsd2pcm_init.
extern std::array<std::array<double, 256>, DSD2PCM_TABLES> ctables;
extern std::array<dsd2pcm_ctx, DSD2PCM_CHANNELS> d2p;

// Builds ctables; prints "dsd2pcm_init %f" with each table's entry for byte 0.
void dsd2pcm_init();

// Fills the channel's window with the neutral pattern 0x69 and sets pos to 0.
// Any other channel number is ignored.
void dsd2pcm_reset(int channel);

// Produces count PCM samples of the channel from 2 * count DSD bytes read
// src_stride bytes apart (MSB first; LSB first when reverse is not 0),
// writing them dst_stride elements apart. Consecutive calls on one channel
// continue the stream without a seam. Any other channel number is ignored:
// nothing is read, nothing is written.
void dsd2pcm_translate(int channel, unsigned count, const uint8_t *src, std::ptrdiff_t src_stride,
                       int reverse, int32_t *dst, std::ptrdiff_t dst_stride);

} // namespace pipd
