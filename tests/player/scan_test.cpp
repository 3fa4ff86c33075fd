#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "codecs/codecs.h"
#include "core/state.h"
#include "player/cuesheet.h"
#include "player/scan.h"
#include "support/temp_tree.h"

using namespace pipd;
using namespace pipd::testing;
using pipd::testing::Unprivileged;

namespace {

class Scan : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tree.ok());
        reset_player_state();
        clear_list();
        ASSERT_TRUE(plinfo_alloc());
    }
    void TearDown() override {
        clear_list();
        std::free(cue);
        cue = nullptr;
    }

    int scan() { return scan_files(tree.root().c_str()); }

    // Queued paths relative to the tree, in queue order.
    std::vector<std::string> queued() const {
        std::vector<std::string> out;
        for (int32_t i = 0; i < plinfo.count; ++i)
            out.push_back(std::string(plinfo.entries[i].path).substr(tree.root().size() + 1));
        return out;
    }
    const play_entry *entry(const std::string &rel) const {
        std::string p = tree.path(rel);
        for (int32_t i = 0; i < plinfo.count; ++i)
            if (p == plinfo.entries[i].path) return &plinfo.entries[i];
        return nullptr;
    }
    static std::vector<std::string> sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }
    // Names of a directory in the order it lists them.
    static std::vector<std::string> listing(const std::string &dir) {
        std::vector<std::string> names;
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *de = readdir(d))
                if (de->d_name[0] != '.') names.push_back(de->d_name);
            closedir(d);
        }
        return names;
    }

    TempDir tree;
};

const std::string SHEET2 = "TRACK 01 AUDIO\nTITLE \"One\"\nINDEX 01 00:00:00\n"
                           "TRACK 02 AUDIO\nTITLE \"Two\"\nINDEX 01 01:02:03\n";
const std::string SHEET3 = SHEET2 + "TRACK 03 AUDIO\nTITLE \"Three\"\n";

TEST(FileType, ByEndingAlone) {
    EXPECT_EQ(get_filetype("a.flac"), FILETYPE_FLAC);
    EXPECT_EQ(get_filetype("a.FLAC"), FILETYPE_FLAC);
    EXPECT_EQ(get_filetype("a.Flac"), FILETYPE_NONE);
    EXPECT_EQ(get_filetype("xwav"), FILETYPE_WAV);
    EXPECT_EQ(get_filetype("av"), FILETYPE_NONE);
    EXPECT_EQ(get_filetype("lac"), FILETYPE_NONE);
    EXPECT_EQ(get_filetype("/d/x.MBI"), FILETYPE_MBI);
    EXPECT_EQ(is_cuefile("x.CUE"), 1);
    EXPECT_EQ(is_cuefile("x.Cue"), 0);
    EXPECT_EQ(is_cuefile("ue"), 0);
}

TEST_F(Scan, QueuesPlayableFilesOnly) {
    for (const char *name :
         {"a.wav", "b.ape", "c.flac", "d.FLAC", "e.dsf", "f.mp3", "g.iso", "h.dff", "xwav",
          "i.Flac", "notes.txt", "j.cue", "k.mbi", "av", ".hidden.flac"})
        tree.write(name, "x");
    tree.write(".git/l.flac");
    tree.write("sub/.m.wav");
    tree.write("sub/n.wav");
    tree.dir("empty");
    ::mkfifo(tree.path("fifo.wav").c_str(), 0644); // neither file nor directory
    EXPECT_EQ(scan(), 1);
    EXPECT_EQ(sorted(queued()),
              (std::vector<std::string>{"a.wav", "b.ape", "c.flac", "d.FLAC", "e.dsf", "f.mp3",
                                        "g.iso", "h.dff", "sub/n.wav", "xwav"}));
    for (int32_t i = 0; i < plinfo.count; ++i) {
        EXPECT_EQ(plinfo.entries[i].cuecount, 0);
        EXPECT_EQ(plinfo.entries[i].cues, nullptr);
        EXPECT_EQ(plinfo.entries[i].reserved, 0);
    }
}

TEST_F(Scan, AppendsDepthFirstInListingOrder) {
    tree.write("a/1.flac");
    tree.write("a/b/2.flac");
    tree.write("a/b/c/3.flac");
    tree.write("a/4.flac");
    tree.write("5.flac");
    tree.write("d/6.flac");
    // The walk the queue must follow: each directory in its own listing
    // order, a subdirectory entered where it is listed.
    std::vector<std::string> expected;
    auto walk = [&](auto &&self, const std::string &rel) -> void {
        for (const std::string &name : listing(tree.path(rel))) {
            std::string sub = rel.empty() ? name : rel + "/" + name;
            struct stat st;
            ASSERT_EQ(::stat(tree.path(sub).c_str(), &st), 0);
            if (S_ISDIR(st.st_mode))
                self(self, sub);
            else
                expected.push_back(sub);
        }
    };
    walk(walk, "");
    std::strcpy(plinfo.entries[0].path, "/kept/first.flac");
    plinfo.count = 1; // a scan appends to what is queued
    scan();
    ASSERT_EQ(plinfo.count, static_cast<int32_t>(expected.size() + 1));
    EXPECT_STREQ(plinfo.entries[0].path, "/kept/first.flac");
    plinfo.entries[0].path[0] = '\0';
    plinfo.count = 0; // only the scanned entries from here on
    std::vector<std::string> got;
    for (std::size_t i = 0; i < expected.size(); ++i)
        got.push_back(std::string(plinfo.entries[i + 1].path).substr(tree.root().size() + 1));
    EXPECT_EQ(got, expected);
}

TEST_F(Scan, UppercaseSortsFirst) {
    tree.write("a/x.flac");
    tree.write("B/y.flac");
    tree.write("a/B.flac");
    tree.write("a/a.flac");
    tree.write("a/c/z.flac");
    tree.write("a/d.flac");
    scan();
    sort_list();
    EXPECT_EQ(queued(), (std::vector<std::string>{"B/y.flac", "a/B.flac", "a/a.flac", "a/c/z.flac",
                                                  "a/d.flac", "a/x.flac"}));
}

TEST_F(Scan, SymbolicLinks) {
    tree.write("music/a.flac");
    tree.write("music/deep/b.wav");
    tree.link("music/deep/up", "..");     // a cycle through the parent
    tree.link("music/self", ".");         // a cycle through itself
    tree.link("music/loop", tree.root()); // a cycle through the scan root
    tree.write("other/c.mp3");
    tree.link("music/other", "../other");      // a directory also reached directly
    tree.link("music/alias.flac", "a.flac");   // a file link: queued by its own name
    tree.link("music/broken.flac", "nowhere"); // nothing behind it: skipped
    scan();
    // "other" is walked once, by the path the walk meets first.
    const std::vector<std::string> top = listing(tree.root());
    const bool music_first =
        std::find(top.begin(), top.end(), "music") < std::find(top.begin(), top.end(), "other");
    EXPECT_EQ(sorted(queued()),
              (std::vector<std::string>{"music/a.flac", "music/alias.flac", "music/deep/b.wav",
                                        music_first ? "music/other/c.mp3" : "other/c.mp3"}));
}

// D0 .. D40, each holding a file and two links to the next: every
// directory is walked once, not once per path (2^40 of them).
TEST_F(Scan, ManyLinksToOneDirectoryWalkItOnce) {
    constexpr int N = 40;
    for (int i = 0; i <= N; ++i) {
        const std::string d = "store/D" + std::to_string(i);
        tree.write(d + "/x.mp3");
        if (i < N) {
            tree.link(d + "/a", "../D" + std::to_string(i + 1));
            tree.link(d + "/b", "../D" + std::to_string(i + 1));
        }
    }
    scan();
    std::vector<std::string> got = queued();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(N + 1));
    std::set<std::string> dirs;
    for (const std::string &path : got) {
        // The real directory behind the path the walk took.
        char real[PATH_MAX];
        ASSERT_NE(realpath(tree.path(path).c_str(), real), nullptr);
        dirs.insert(real);
    }
    EXPECT_EQ(dirs.size(), static_cast<std::size_t>(N + 1));
}

TEST_F(Scan, QueueHoldsAtMost2048Files) {
    std::string dir = tree.dir("many");
    for (int i = 0; i < PLAYLIST_MAX + 1; ++i) tree.write("many/" + std::to_string(i) + ".mp3");
    scan();
    ASSERT_EQ(plinfo.count, PLAYLIST_MAX);
    // The one left out is the last one the directory lists.
    std::vector<std::string> names = listing(dir);
    ASSERT_EQ(names.size(), static_cast<std::size_t>(PLAYLIST_MAX + 1));
    std::vector<std::string> got = queued();
    for (int i = 0; i < PLAYLIST_MAX; ++i) ASSERT_EQ(got[i], "many/" + names[i]);

    // Exactly 2048 are all queued.
    ::unlink(tree.path("many/" + names.back()).c_str());
    clear_list();
    scan();
    EXPECT_EQ(plinfo.count, PLAYLIST_MAX);
}

TEST_F(Scan, PathsLongerThan511AreSkipped) {
    // Build directories so that the file names below land on the limit.
    std::string rel = std::string(200, 'd') + "/" + std::string(200, 'e');
    std::size_t dir_len = tree.path(rel).size();
    ASSERT_LT(dir_len + 10, PATH_SIZE - 1);
    std::size_t fit = PATH_SIZE - 1 - dir_len - 1; // name length of a 511-char path
    std::string fits = std::string(fit - 5, 'f') + ".flac";
    std::string too_long = std::string(fit - 4, 'g') + ".flac";
    tree.write(rel + "/" + fits);
    tree.write(rel + "/" + too_long);
    std::string long_dir = rel + "/" + std::string(fit, 'h');
    tree.write(long_dir + "/i.flac");
    scan();
    ASSERT_EQ(plinfo.count, 1);
    EXPECT_EQ(std::strlen(plinfo.entries[0].path), PATH_SIZE - 1);
    EXPECT_EQ(queued()[0], rel + "/" + fits);
}

TEST_F(Scan, UnreadableDirectoriesAreSkipped) {
    EXPECT_EQ(scan_files(tree.path("missing").c_str()), 1);
    EXPECT_EQ(plinfo.count, 0);

    tree.write("open/a.flac");
    tree.write("locked/b.flac");
    tree.write("locked/b.cue", SHEET2);
    ::chmod(tree.path("locked").c_str(), 0);
    // Root reads any directory; the check runs in a child without root's
    // privileges, where the lock holds.
    Unprivileged r = pipd::testing::run_unprivileged([&] {
        plinfo.count = 0;
        scan();
        return queued() == std::vector<std::string>{"open/a.flac"};
    });
    if (r == Unprivileged::unavailable) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(r, Unprivileged::passed);
}

TEST_F(Scan, CueSheetGivesTracksToTheFileOfItsName) {
    tree.write("album/a.flac");
    tree.write("album/a.cue", SHEET2);
    tree.write("album/b.mp3");
    tree.write("album/b.cue", SHEET2); // only WAV, APE and FLAC take a sheet
    tree.write("album/c.wav");
    tree.write("album/c.cue", "REM no tracks\n");
    tree.write("album/D.APE");
    tree.write("album/D.CUE", SHEET3);
    free(cue);
    cue = nullptr; // the scan allocates the record when it needs one
    DiagCapture out;
    scan();
    EXPECT_NE(cue, nullptr);
    EXPECT_EQ(plinfo.count, 4);

    const play_entry *a = entry("album/a.flac");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->cuecount, 2);
    EXPECT_STREQ(a->cues[0].title, "One");
    EXPECT_EQ(a->cues[0].offset, 0u);
    EXPECT_STREQ(a->cues[1].title, "Two");
    EXPECT_EQ(a->cues[1].offset, 62039u);
    EXPECT_EQ(entry("album/b.mp3")->cuecount, 0);
    EXPECT_EQ(entry("album/c.wav")->cuecount, 0);
    EXPECT_EQ(entry("album/c.wav")->cues, nullptr);
    EXPECT_EQ(entry("album/D.APE")->cuecount, 3);

    EXPECT_EQ(out.count("CUE:"), 4u);
    EXPECT_EQ(out.count("CUE:" + tree.path("album/a.cue") + "\n"), 1u);
    EXPECT_EQ(out.count("---:" + tree.path("album/a.flac") + "\n"), 1u);
    EXPECT_EQ(out.count("---:"), 3u); // a, c and D; b.cue finds no partner
    EXPECT_EQ(out.count(tree.path("album/b.mp3")), 0u);
}

TEST_F(Scan, CueSheetPairsTheFirstQueuedFileWithItsPrefix) {
    tree.write("x/album.live.flac");
    tree.write("x/album.flac");
    tree.write("x/album.cue", SHEET2);
    tree.write("y/album.live.flac");
    tree.write("y/album.cue", SHEET2);
    tree.write("y/album.dsf");
    tree.write("z/take.cue", SHEET2); // its prefix "take." names no file
    tree.write("z/take2.flac");
    tree.write("z/cuesheets.cue.wav");
    scan();
    // In x both names continue "album.": the one queued first wins.
    const play_entry *live = entry("x/album.live.flac"), *plain = entry("x/album.flac");
    ASSERT_TRUE(live && plain);
    bool live_first = live < plain;
    EXPECT_EQ(live->cuecount, live_first ? 2 : 0);
    EXPECT_EQ(plain->cuecount, live_first ? 0 : 2);
    EXPECT_EQ(entry("y/album.live.flac")->cuecount, 2);
    EXPECT_EQ(entry("y/album.dsf")->cuecount, 0);
    EXPECT_EQ(entry("z/take2.flac")->cuecount, 0);
    EXPECT_EQ(entry("z/cuesheets.cue.wav")->cuecount, 0);
}

TEST_F(Scan, SecondSheetReplacesTheFirstAndClearListFreesThem) {
    // Both "a." and "a.b." begin the one FLAC file: each sheet pairs with it
    // and the one listed last wins. ASan reports a leak or double free.
    for (const std::string &second : {SHEET3, std::string("REM nothing\n")}) {
        SCOPED_TRACE(second.size());
        TempDir t;
        ASSERT_TRUE(t.ok());
        t.write("a.b.flac");
        t.write("a.cue", SHEET2);
        t.write("a.b.cue", second);
        std::vector<std::string> names = listing(t.root());
        auto pos = [&](const char *n) { return std::find(names.begin(), names.end(), n); };
        bool short_last = pos("a.cue") > pos("a.b.cue");
        clear_list();
        scan_files(t.root().c_str());
        ASSERT_EQ(plinfo.count, 1);
        const play_entry &e = plinfo.entries[0];
        int32_t expect = short_last ? 2 : (second == SHEET3 ? 3 : 0);
        EXPECT_EQ(e.cuecount, expect);
        EXPECT_EQ(e.cues == nullptr, expect == 0);
        clear_list();
        EXPECT_EQ(plinfo.count, 0);
    }
}

TEST_F(Scan, UnusableCueSheetsLeaveTheFileWhole) {
    tree.write("a.flac");
    tree.write("a.cue/inside.wav"); // a directory named like a sheet is walked
    tree.write("b.wav");
    std::string garbage(65536, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 2654435761u) >> 13);
    tree.write("b.cue", garbage);
    tree.write("c.flac");
    tree.write("c.cue", SHEET2);
    ::chmod(tree.path("c.cue").c_str(), 0);
    DiagCapture out;
    scan();
    EXPECT_EQ(sorted(queued()),
              (std::vector<std::string>{"a.cue/inside.wav", "a.flac", "b.wav", "c.flac"}));
    EXPECT_EQ(entry("a.flac")->cuecount, 0);
    EXPECT_EQ(out.count("CUE:" + tree.path("a.cue") + "\n"), 0u);
    EXPECT_LE(entry("b.wav")->cuecount, 99);
    // Root reads any file; without root's privileges the lock holds.
    Unprivileged r = pipd::testing::run_unprivileged([&] {
        clear_list();
        scan();
        return entry("c.flac") && entry("c.flac")->cuecount == 0;
    });
    if (r == Unprivileged::unavailable) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(r, Unprivileged::passed);
}

TEST_F(Scan, OddFileNames) {
    const std::string quoted = "say \"hi\" \\ 'there'";
    const std::string broken = "two\nlines";
    tree.write(quoted + ".flac");
    tree.write(quoted + ".cue", SHEET2);
    tree.write(broken + ".wav");
    tree.write(broken + ".cue", SHEET3);
    tree.write("tab\there/ütf8 名字.ape");
    scan();
    EXPECT_EQ(sorted(queued()),
              (std::vector<std::string>{"say \"hi\" \\ 'there'.flac", "tab\there/ütf8 名字.ape",
                                        "two\nlines.wav"}));
    EXPECT_EQ(entry(quoted + ".flac")->cuecount, 2);
    EXPECT_EQ(entry(broken + ".wav")->cuecount, 3);
}

TEST_F(Scan, AllocatesTheQueueWhenNeeded) {
    clear_list();
    std::free(plinfo.entries);
    plinfo.entries = nullptr;
    tree.write("a.flac");
    scan();
    ASSERT_NE(plinfo.entries, nullptr);
    EXPECT_EQ(plinfo.count, 1);
}

} // namespace
