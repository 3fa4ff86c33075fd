#include "core/paths.h"

#include <gtest/gtest.h>
#include <string>

using namespace pipd;

TEST(Paths, EveryFixedPathFollowsTheRoot) {
    std::string root = ROOT_PREFIX;
    EXPECT_EQ(std::string(CMD_FIFO_PATH), root + "/tmp/cmdfifo");
    EXPECT_EQ(std::string(STATUS_FIFO_PATH), root + "/tmp/statusfifo");
    EXPECT_EQ(std::string(OUTPUT_FIFO_PATH), root + "/tmp/outputfifo");
    EXPECT_EQ(std::string(QUEUE_FILE_PATH), root + "/tmp/queue");
    EXPECT_EQ(std::string(SCAN_ROOT), root + "/media/pi");
    EXPECT_EQ(SCAN_ROOT_LEN, root.size() + 9);
}

TEST(Paths, ClientPathBeginsWithTheMediaDirectory) {
    std::string p = std::string(SCAN_ROOT) + "/USB/a.flac";
    EXPECT_STREQ(client_path(p.c_str()), "media/pi/USB/a.flac");
    EXPECT_STREQ(client_path(""), "");
}
