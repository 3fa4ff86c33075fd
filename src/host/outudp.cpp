#include "host/outudp.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/diag.h"
#include "core/paths.h"
#include "host/codec_api.h"
#include "host/resample.h"

namespace pipd {

int32_t tcpbuffer[PACKET_WORDS];
int tcpbuffptr = PACKET_HEADER_WORDS;
int sockfd = -1;
int32_t dsdout = 0;

namespace {

std::array<int32_t, 2 * MAX_INSERT_FRAMES> data0;
packet_sink sink_hook = nullptr;
void (*status_hook)() = nullptr;

bool outfifo_opened = false;  // init_outfifo succeeded once
bool refused = false;         // the stream's rate cannot be played
uint64_t frames_accepted = 0; // frames ci_pcmbuf_insert has taken, ever

// The stream playing: its rate as the decoder reported it and whether it is
// one bit per sample (0 before the first, and after a refused rate).
int32_t stream_rate = 0;
bool stream_one_bit = false;
// The last track ended by itself and its stream is held open: the samples
// still in the packet (and in the resampler) wait for the next track's.
bool held = false;
// frames_accepted when the stream was last flushed: a stream that took no
// frames since ends without a packet.
uint64_t frames_flushed = 0;

// The sink closed its end: wait, as at start-up, until a reader has the pipe
// open again. The packet in flight is lost, the daemon is not.
void reopen_outfifo() {
    if (sockfd >= 0) close(sockfd);
    sockfd = -1;
    diag("outfifo has no reader, waiting for the sink\n");
    for (;;) {
        sockfd = open(OUTPUT_FIFO_PATH, O_WRONLY | O_CLOEXEC);
        if (sockfd >= 0 || errno != EINTR) break;
    }
    if (sockfd >= 0) diag("outfifo reopened\n");
}

// Writes the whole packet, retrying short writes and interrupted calls.
void send_packet(int valid_words) {
    if (sink_hook) {
        sink_hook(tcpbuffer, PACKET_BYTES, valid_words);
        return;
    }
    if (sockfd < 0 && outfifo_opened) reopen_outfifo();
    if (sockfd < 0) return;
    const char *p = reinterpret_cast<const char *>(tcpbuffer);
    std::size_t left = PACKET_BYTES;
    while (left > 0) {
        ssize_t n = write(sockfd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE && outfifo_opened) {
            reopen_outfifo();
            return;
        }
        if (n <= 0) return; // the packet is restarted as if it had been sent
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Sends the packet with the samples it holds; the words past them are
// silence, not a replay of the previous packet's tail.
void send_partial_packet() {
    std::fill(tcpbuffer + tcpbuffptr, tcpbuffer + PACKET_WORDS, 0);
    send_packet(tcpbuffptr);
    tcpbuffptr = PACKET_HEADER_WORDS;
}

} // namespace

void error(const char *message) {
    diag("%s\n", message);
    diag_flush();
    std::fflush(stdout);
    std::abort();
}

int init_outfifo() {
    do {
        sockfd = open(OUTPUT_FIFO_PATH, O_WRONLY | O_CLOEXEC);
    } while (sockfd < 0 && errno == EINTR);
    if (sockfd < 0) error("ERROR opening outfifo");
    outfifo_opened = true;
    return 1;
}

void initbuf_fifo(int32_t rate) {
    tcpbuffptr = PACKET_HEADER_WORDS;
    tcpbuffer[0] = static_cast<int32_t>(OUTPUT_MAGIC);
    int32_t code = rate_code(rate);
    if (code >= 0) tcpbuffer[1] = code;
}

int write_outfifo(int n, const int32_t *words) {
    while (n > 0) {
        int room = PACKET_WORDS - tcpbuffptr;
        int take = n < room ? n : room;
        std::memcpy(tcpbuffer + tcpbuffptr, words, static_cast<std::size_t>(take) * sizeof *words);
        tcpbuffptr += take;
        words += take;
        n -= take;
        if (tcpbuffptr == PACKET_WORDS) {
            send_packet(PACKET_WORDS);
            tcpbuffptr = PACKET_HEADER_WORDS;
        }
    }
    return 1;
}

int flash_outfifo() {
    diag_puts("start flash outfifo");
    held = false;
    // What a resampler still holds is the end of the track: it goes first.
    resample_drain();
    // The stream's last packet, padded with silence. A stream that took
    // nothing (a file that failed) sends none, and so never waits on a pipe
    // that nobody reads.
    if (frames_accepted != frames_flushed || tcpbuffptr > PACKET_HEADER_WORDS)
        send_partial_packet();
    frames_flushed = frames_accepted;
    refused = false;
    return 1;
}

void output_end_track(bool by_itself) {
    if (by_itself && !refused && stream_rate != 0) {
        held = true;
        return;
    }
    flash_outfifo();
}

bool output_holds_stream(int32_t rate, bool one_bit) {
    return held && rate == stream_rate && one_bit == stream_one_bit;
}

int32_t output_start_stream(int32_t rate, bool one_bit) {
    if (output_holds_stream(rate, one_bit)) {
        // The next track of a gapless run: its samples go on filling the
        // packet, through the same resampler.
        held = false;
        return rate_of_code(tcpbuffer[1]);
    }
    held = false;
    resample_drain();
    if (tcpbuffptr > PACKET_HEADER_WORDS) send_partial_packet();
    dsdout = one_bit && rate == DSD_RATE ? 1 : 0;
    int32_t out = DSD_PCM_RATE;
    if (dsdout)
        resample_stop();
    else
        out = resample_configure(rate);
    refused = out == 0;
    stream_rate = refused ? 0 : rate;
    stream_one_bit = one_bit;
    if (refused) {
        diag("CODEC_ERROR: a sample rate of %d Hz%s cannot be played\n", rate,
             one_bit ? " (one bit per sample)" : "");
        return 0;
    }
    initbuf_fifo(out);
    return out;
}

uint64_t output_frames_accepted() {
    return frames_accepted;
}

bool output_refused() {
    return refused;
}

int ci_pcmbuf_insert(const int32_t *first, const int32_t *second, int count) {
    if (status_hook) status_hook();
    if (count <= 0 || !first || refused) return 1;
    if (count > MAX_INSERT_FRAMES) count = MAX_INSERT_FRAMES;
    frames_accepted += static_cast<uint64_t>(count);
    if (second) {
        for (int k = 0; k < count; ++k) {
            data0[2 * k] = second[k];
            data0[2 * k + 1] = first[k];
        }
    } else if (playstat.channel == 1) {
        // One value per frame: the sink hears it on both channels.
        for (int k = 0; k < count; ++k) data0[2 * k] = data0[2 * k + 1] = first[k];
    } else {
        for (int k = 0; k < count; ++k) {
            data0[2 * k] = first[2 * k + 1];
            data0[2 * k + 1] = first[2 * k];
        }
    }
    if (dsdout == 1)
        for (int k = 0; k < 2 * count; ++k) data0[k] /= 2;
    if (resample_active())
        resample_write(data0.data(), count);
    else
        write_outfifo(2 * count, data0.data());
    return 1;
}

void outfifo_set_status_hook(void (*hook)()) {
    status_hook = hook;
}

void outfifo_set_sink(packet_sink sink) {
    sink_hook = sink;
}

void outfifo_reset() {
    for (auto &w : tcpbuffer) w = 0;
    tcpbuffptr = PACKET_HEADER_WORDS;
    dsdout = 0;
    refused = false;
    stream_rate = 0;
    held = false;
    frames_flushed = frames_accepted;
    resample_stop();
    sink_hook = nullptr;
    outfifo_opened = false;
}

} // namespace pipd
