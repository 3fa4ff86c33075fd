#include "host/buffer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/codec_api.h"

using namespace pipd;

namespace {

// A temporary file of the given size with position-dependent bytes, opened
// and windowed the way the track runner does it.
class WindowTest : public ::testing::Test {
  protected:
    void open_file(std::size_t size) {
        close_file();
        data_.resize(size);
        std::mt19937 rng(static_cast<unsigned>(size));
        for (auto &b : data_) b = static_cast<uint8_t>(rng());
        char name[] = "/tmp/pipd-window-XXXXXX";
        fd_ = mkstemp(name);
        ASSERT_GE(fd_, 0);
        unlink(name);
        ASSERT_EQ(write(fd_, data_.data(), size), static_cast<ssize_t>(size));
        ASSERT_EQ(lseek(fd_, 0, SEEK_SET), 0);
        ASSERT_TRUE(player_malloc());
        bufinfo_reset();
        bufinfo.fd = fd_;
        ssize_t n = read(fd_, bufinfo.buf, INPUT_WINDOW_SIZE);
        ASSERT_GE(n, 0);
        bufinfo.bufsize = static_cast<uint32_t>(n);
        bufinfo.fpos = static_cast<uint64_t>(n);
        bufinfo.cur = bufinfo.buf;
    }
    void close_file() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    void TearDown() override { close_file(); }

    // The file's bytes from offset pos, at most n of them.
    std::vector<uint8_t> file_bytes(uint64_t pos, uint32_t n) const {
        if (pos >= data_.size()) return {};
        auto end = std::min<uint64_t>(data_.size(), pos + n);
        return {data_.begin() + static_cast<long>(pos), data_.begin() + static_cast<long>(end)};
    }
    uint32_t left_at(uint64_t pos) const {
        return pos >= data_.size() ? 0 : static_cast<uint32_t>(data_.size() - pos);
    }

    std::vector<uint8_t> data_;
    int fd_ = -1;
};

} // namespace

TEST_F(WindowTest, FileOfExactlyOneWindow) {
    open_file(131072);
    EXPECT_EQ(bufinfo.fileend, 0);
    ci_advance_buffer_raw(131068);
    uint32_t avail = 0;
    uint8_t *p = static_cast<uint8_t *>(ci_request_buffer_raw(&avail, 100));
    EXPECT_EQ(avail, 4u);
    EXPECT_EQ(bufinfo.fileend, 1) << "the refill read nothing";
    EXPECT_EQ(0, std::memcmp(p, &data_[131068], 4));
    EXPECT_EQ(bufinfo.fpos_start % 4, 0u);
    EXPECT_EQ(ci_getpos(), 131068u);
}

TEST_F(WindowTest, ShortTailRequestAndRead) {
    open_file(200000);
    ASSERT_EQ(ci_seek_buffer_raw(200000 - 40), 1);
    uint32_t avail = 0;
    ci_request_buffer_raw(&avail, 100);
    EXPECT_EQ(avail, 40u);
    std::vector<uint8_t> out(100);
    EXPECT_EQ(ci_read_filebuf_raw(out.data(), 100), 40u);
    EXPECT_EQ(0, std::memcmp(out.data(), &data_[200000 - 40], 40));
    EXPECT_EQ(ci_read_filebuf_raw(out.data(), 100), 0u);
    EXPECT_EQ(ci_getpos(), 200000u);
}

TEST_F(WindowTest, SeekInsideTheWindowDoesNotReadAndOutsideRealigns) {
    open_file(1200000);
    uint64_t before = bufinfo.fpos;
    EXPECT_EQ(ci_seek_buffer_raw(1000), 1);
    EXPECT_EQ(bufinfo.fpos, before);
    EXPECT_EQ(bufinfo.intpos, 1000u);

    EXPECT_EQ(ci_seek_buffer_raw(1000003), 1);
    EXPECT_EQ(bufinfo.fpos_start, 1000000u);
    EXPECT_EQ(bufinfo.intpos, 3u);
    EXPECT_EQ(*bufinfo.cur, data_[1000003]);
    EXPECT_EQ(ci_getpos(), 1000003u);

    // ci_set_offset reports the index inside the window, or what it read.
    EXPECT_EQ(ci_set_offset(1000010), 10);
    EXPECT_EQ(ci_set_offset(5), 131072);
    EXPECT_EQ(bufinfo.intpos, 1u);
}

TEST_F(WindowTest, AdvancingOntoTheWindowEndReadsTheNextWindow) {
    open_file(300001);
    ci_advance_buffer_raw(131072);
    EXPECT_EQ(bufinfo.fpos_start, 131072u);
    EXPECT_EQ(bufinfo.intpos, 0u);
    ci_advance_buffer_raw(131070);
    ci_advance_buffer_raw(5);
    EXPECT_EQ(ci_getpos(), 131072u + 131075u);
    EXPECT_EQ(bufinfo.intpos, (131072u + 131075u) % 4);
    EXPECT_EQ(*bufinfo.cur, data_[262147]);
}

TEST_F(WindowTest, SeekBeyondTheEndGivesAnEmptyWindowNotAWildPointer) {
    open_file(140000);
    EXPECT_EQ(ci_seek_buffer_raw(500003), 1);
    EXPECT_EQ(bufinfo.fileend, 1);
    uint32_t avail = 77;
    ci_request_buffer_raw(&avail, 64);
    EXPECT_EQ(avail, 0u);
    uint8_t out[64];
    EXPECT_EQ(ci_read_filebuf_raw(out, 64), 0u);
    // And back into the file, the bytes are there again.
    EXPECT_EQ(ci_seek_buffer_raw(7), 1);
    EXPECT_EQ(ci_read_filebuf_raw(out, 64), 64u);
    EXPECT_EQ(0, std::memcmp(out, &data_[7], 64));
}

// Having met the end of the file (a scan to its end) and seeking back to an
// earlier part, outside the window, refills the window as requests demand,
// from every alignment of the target; inside the end window the tail is all.
TEST_F(WindowTest, SeekBackAfterTheEndRefillsAsRequestsDemand) {
    open_file(300002);
    for (uint64_t target : {44u, 45u, 46u, 47u, 100001u, 100002u, 100003u, 100004u}) {
        ASSERT_EQ(ci_seek_buffer_raw(300002 - 10), 1);
        std::vector<uint8_t> out(64);
        ASSERT_EQ(ci_read_filebuf_raw(out.data(), 64), 10u);
        ASSERT_EQ(bufinfo.fileend, 1);
        ASSERT_EQ(ci_seek_buffer_raw(target), 1);
        uint64_t pos = target;
        // Walk on in frame-sized steps: every request is granted in full.
        while (pos + 70000 <= 300002) {
            uint32_t avail = 0;
            auto *p = static_cast<const uint8_t *>(ci_request_buffer_raw(&avail, 70000));
            ASSERT_EQ(avail, 70000u) << "target " << target << " at " << pos;
            ASSERT_EQ(std::vector<uint8_t>(p, p + avail), file_bytes(pos, avail));
            ci_advance_buffer_raw(12345);
            pos += 12345;
        }
    }
    ASSERT_EQ(ci_seek_buffer_raw(300002 - 100), 1);
    uint32_t avail = 0;
    ci_request_buffer_raw(&avail, 1000);
    EXPECT_EQ(avail, 100u);
}

TEST_F(WindowTest, PositioningFailureSticksForTheTrack) {
    open_file(140000);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    bufinfo.fd = pipefd[0]; // a pipe cannot be positioned
    EXPECT_EQ(ci_seek_buffer_raw(900000), 0);
    EXPECT_EQ(bufinfo.fileerr, 1);
    uint32_t avail = 5;
    EXPECT_EQ(ci_request_buffer_raw(&avail, 10), nullptr);
    EXPECT_EQ(avail, 0u);
    uint8_t out[10];
    EXPECT_EQ(ci_read_filebuf_raw(out, 10), 0u);
    EXPECT_LT(ci_set_offset(800000), 0);
    close(pipefd[0]);
    close(pipefd[1]);
}

// Random requests, advances, reads and seeks against a model that reads the
// file directly: the same bytes at the same positions.
TEST_F(WindowTest, RandomOperationsMatchTheFile) {
    for (std::size_t size :
         {131071u, 131072u, 131073u, 131076u, 262143u, 262144u, 262149u, 400003u}) {
        open_file(size);
        std::mt19937 rng(static_cast<unsigned>(size) * 7);
        uint64_t pos = 0;
        for (int step = 0; step < 3000; ++step) {
            uint32_t n = rng() % 3 == 0 ? rng() % 70000 : rng() % 5000;
            switch (rng() % 5) {
            case 0: {
                uint32_t avail = 0;
                const uint8_t *p = static_cast<const uint8_t *>(ci_request_buffer_raw(&avail, n));
                ASSERT_NE(p, nullptr);
                ASSERT_EQ(avail, std::min(n, left_at(pos))) << size << " step " << step;
                ASSERT_EQ(std::vector<uint8_t>(p, p + avail), file_bytes(pos, avail));
                break;
            }
            case 1:
                ci_advance_buffer_raw(n);
                pos += n;
                break;
            case 2: {
                std::vector<uint8_t> out(n);
                uint32_t got = ci_read_filebuf_raw(out.data(), n);
                ASSERT_EQ(got, std::min(n, left_at(pos))) << size << " step " << step;
                out.resize(got);
                ASSERT_EQ(out, file_bytes(pos, got));
                pos += got;
                break;
            }
            case 3:
                pos = rng() % (size + 4000);
                ASSERT_EQ(ci_seek_buffer_raw(pos), 1);
                break;
            default:
                pos = rng() % (size + 4000);
                ASSERT_GE(ci_set_offset(pos), 0);
                break;
            }
            ASSERT_EQ(ci_getpos(), pos);
            ASSERT_EQ(bufinfo.fpos_start % 4, 0u);
            // The end state says the window reaches the end of the file.
            ASSERT_TRUE(!bufinfo.fileend || bufinfo.fpos >= size) << "step " << step;
            ASSERT_LE(bufinfo.bufsize, static_cast<uint32_t>(INPUT_WINDOW_SIZE));
        }
    }
}
