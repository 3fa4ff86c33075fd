#include "host/codec_api.h"

#include <cstring>
#include <gtest/gtest.h>

#include "core/state.h"
#include "host/outudp.h"
#include "player/command.h"
#include "player/player_main.h"
#include "support/capture.h"

using namespace pipd;
using pipd::testing::DiagCapture;

TEST(CodecApi, RecordHoldsTheHostOperationsInSlotOrder) {
    EXPECT_EQ(cim.filesize, 0u);
    EXPECT_EQ(cim.reserved1, 0);
    EXPECT_EQ(cim.reserved2, -1);
    EXPECT_EQ(cim.reserved3, 0);
    EXPECT_EQ(cim.ci_pcmbuf_insert, &ci_pcmbuf_insert);
    EXPECT_EQ(cim.ci_set_elapsed, &ci_set_elapsed);
    EXPECT_EQ(cim.ci_read_filebuf_raw, &ci_read_filebuf_raw);
    EXPECT_EQ(cim.ci_getpos, &ci_getpos);
    EXPECT_EQ(cim.ci_request_buffer_raw, &ci_request_buffer_raw);
    EXPECT_EQ(cim.ci_advance_buffer_raw, &ci_advance_buffer_raw);
    EXPECT_EQ(cim.ci_seek_buffer_raw, &ci_seek_buffer_raw);
    EXPECT_EQ(cim.ci_seek_complete, &ci_seek_complete);
    EXPECT_EQ(cim.ci_set_offset, &ci_set_offset);
    EXPECT_EQ(cim.ci_configure, &ci_configure);
    EXPECT_EQ(cim.ci_get_command, &ci_get_command);
    // The standard library slots behave as the library does.
    EXPECT_EQ(cim.memcmp("abc", "abd", 3), std::memcmp("abc", "abd", 3));
    EXPECT_EQ(cim.strlen("four"), 4u);
    const char text[] = "xyz";
    EXPECT_EQ(cim.memchr(text, 'y', 3), text + 1);
}

TEST(CodecApi, TrivialOperationsDoNothing) {
    size_t size = 99;
    EXPECT_EQ(cim.ci_codec_get_buffer(&size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(cim.ci_should_loop());
    EXPECT_EQ(cim.ci_sleep(1000000), 0);
    cim.ci_yield();
    cim.commit_dcache();
    cim.commit_discard_dcache();
    cim.commit_discard_idcache();
}

TEST(CodecApi, ConfigureStoresEachKeyInThePlayStatus) {
    DiagCapture diag;
    outfifo_reset();
    playstat_reset("x");
    EXPECT_EQ(playstat.frequency, 44100);
    EXPECT_EQ(playstat.bps, 16);
    EXPECT_EQ(playstat.length, 500);
    EXPECT_EQ(playstat.channel, 2);
    EXPECT_EQ(playstat.elapsed, 0u);

    ci_configure(CODEC_CONFIG_BPS, 24);
    ci_configure(CODEC_CONFIG_LENGTH, 123456);
    ci_configure(CODEC_CONFIG_CHANNELS, 1);
    ci_configure(CODEC_CONFIG_FREQUENCY, 96000);
    EXPECT_EQ(playstat.bps, 24);
    EXPECT_EQ(playstat.length, 123456);
    EXPECT_EQ(playstat.channel, 1);
    EXPECT_EQ(playstat.frequency, 96000);
    EXPECT_EQ(diag.text(), "len=123456\nfreq = 96000\n");

    // Unknown keys change nothing, not even the packet.
    tcpbuffptr = 10;
    ci_configure(4, 5);
    ci_configure(-1, 5);
    EXPECT_EQ(tcpbuffptr, 10);
    EXPECT_EQ(playstat.bps, 24);
    outfifo_reset();
}

TEST(CodecApi, ElapsedAndSeekCompletion) {
    ci_set_elapsed(0xFFFFFFF0u);
    EXPECT_EQ(playstat.elapsed, 0xFFFFFFF0u);
    ploffset = 5000;
    ci_seek_complete();
    EXPECT_EQ(ploffset, -1);
}
