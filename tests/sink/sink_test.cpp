// The sink's packet reader and its sample packing, without a device.

#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

#include "sink/packet_reader.h"
#include "sink/sample_pack.h"

using namespace pipd;
using namespace pipd::sink;

namespace {

std::vector<int32_t> packet(int32_t left, int32_t right) {
    std::vector<int32_t> w(PACKET_WORDS, 0);
    w[0] = static_cast<int32_t>(OUTPUT_MAGIC);
    w[1] = rate_code(44100);
    w[PACKET_HEADER_WORDS] = right; // the pipe: channel 1 first
    w[PACKET_HEADER_WORDS + 1] = left;
    return w;
}

} // namespace

TEST(SinkPacking, FirstFrameInEachFormat) {
    const auto w = packet(0x123456, -0x900000); // the right one beyond 24 bits: clamped
    for (auto [format, bytes] :
         {std::pair{0, std::vector<int>{0x56, 0x34, 0x12, 0, 0, 0, 0x80, 0xff}},
          {1, {0, 0x56, 0x34, 0x12, 0, 0, 0, 0x80}},
          {2, {0x56, 0x34, 0x12, 0, 0, 0x80}},
          {3, {0x34, 0x12, 0, 0x80}}}) {
        std::vector<unsigned char> out(PACKET_FRAMES * 2 * 4);
        pack_frames(w.data(), formats[format], out.data());
        EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + static_cast<long>(bytes.size())),
                  bytes)
            << formats[format].name;
    }
}

TEST(SinkReader, SkipsToTheNextHeader) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::vector<int32_t> bytes(5, 0x11223344); // not a header, at no alignment
    const auto a = packet(1, 2), b = packet(3, 4);
    bytes.insert(bytes.end(), a.begin() + 300, a.end()); // the tail of a packet
    bytes.insert(bytes.end(), b.begin(), b.end());
    const std::size_t size = bytes.size() * 4 - 3;
    ASSERT_EQ(write(p[1], reinterpret_cast<const char *>(bytes.data()) + 3, size),
              static_cast<ssize_t>(size));
    close(p[1]);
    counters c;
    packet_reader reader(c);
    reader.attach(p[0]);
    std::vector<int32_t> got(PACKET_WORDS);
    EXPECT_EQ(reader.next(got.data(), [] {}), packet_reader::PACKET);
    EXPECT_EQ(got, b);
    EXPECT_EQ(reader.next(got.data(), [] {}), packet_reader::END);
    EXPECT_EQ(c.packets, 1u);
    EXPECT_EQ(c.lost, 1u);
    EXPECT_EQ(c.skipped, size - PACKET_BYTES);
    close(p[0]);
}
