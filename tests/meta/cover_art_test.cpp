// The cover finder over pictures embedded by the reference tools and image
// files beside the track.
#include <cstring>
#include <gtest/gtest.h>

#include "meta/cover_art.h"
#include "support/flac_files.h"

namespace pipd::testing {
namespace {

// An image of a kind ("jpg", "png", "big": a JPEG over 8 MiB, "txt") whose
// bytes end in "#" and its mark; the cover found is shown as its type and mark.
std::string image(const std::string &kind, const std::string &mark) {
    const std::string head = kind == "png"   ? "\x89PNG\r\n\x1a\n"
                             : kind == "txt" ? "just text"
                                             : "\xff\xd8\xff\xe0";
    return head + std::string(kind == "big" ? 9u << 20 : 0, '\0') + "#" + mark;
}
std::string shown(const std::optional<meta::cover_art> &art) {
    if (!art) return "none";
    return std::string(art->type ? art->type : "?") + " " +
           art->bytes.substr(art->bytes.rfind('#') + 1);
}

// Adds pictures to the file in $1, each KEY:MIME:FILE (KEY the ID3v2
// picture type, or the APEv2 item's name).
const char *const TAG_PICTURES = R"(import sys, mutagen, mutagen.id3 as I, mutagen.apev2 as A
f = mutagen.File(sys.argv[1])
if f.tags is None: f.add_tags()
for a in sys.argv[2:]:
    k, mime, p = a.split(':')
    d = open(p, 'rb').read()
    if isinstance(f.tags, A.APEv2): f.tags[k] = A.APEValue(b'desc\0' + d, A.BINARY)
    else: f.tags.add(I.APIC(type=int(k), mime=mime, desc=k, data=d))
f.save()
)";

TEST(CoverArt, EmbeddedFrontCoverFirstThenTheFoldersImages) {
    for (const char *tool : {"sox", "flac", "metaflac", "lame", "jmac", "/usr/bin/python3"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " missing";
    // $T: the track to make from the tone $SRC; $P: the pictures front.jpg,
    // other.png, big.jpg and text.jpg; $TAG adds pictures with mutagen.
    auto pic = [](const std::string &type, const std::string &file) {
        return " --import-picture-from=\"" + type + "|image/jpeg||1x1x24|$P/" + file + "\"";
    };
    const struct {
        std::string track, make, files, want; // files: NAME=KIND:MARK ...
    } rows[] = {
        {"t.flac", "metaflac" + pic("4", "other.png") + pic("3", "front.jpg") + " $T",
         "cover.jpg=jpg:dir", "image/jpeg front"},
        {"t.flac", "metaflac" + pic("0", "other.png") + " $T", "cover.jpg=jpg:dir",
         "image/png other"},
        {"t.flac", "metaflac" + pic("3", "big.jpg") + pic("5", "text.jpg") + " $T",
         "cover.jpg=jpg:dir", "image/jpeg dir"},
        {"t.mp3", "$TAG $T 0:image/png:$P/other.png 3:image/jpeg:$P/front.jpg", "",
         "image/jpeg front"},
        {"t.mp3", "$TAG $T 3:image/jpeg:$P/text.jpg 4:image/jpeg:$P/other.png", "",
         "image/png other"},
        {"t.ape",
         "$TAG $T \"Cover Art (Back):-:$P/other.png\" \"Cover Art (Front):-:$P/front.jpg\"", "",
         "image/jpeg front"},
        {"t.ape", "$TAG $T \"Cover Art (Other):-:$P/other.png\"", "", "image/png other"},
        {"t.wav", "$TAG $T 3:image/jpeg:$P/front.jpg", "", "image/jpeg front"},
        // Damaged tags: no picture from them, the folder's still counts.
        {"t.flac", "head -c 60 $T >$T.cut && mv $T.cut $T", "cover.jpg=jpg:dir", "image/jpeg dir"},
        // The folder: names in order whatever their case, skipping what is no image.
        {"t.wav", "", "Folder.JPG=jpg:folder cover.Png=png:cover front.jpeg=jpg:f",
         "image/png cover"},
        {"t.wav", "", "ALBUM.jpeg=jpg:album front.jpg=jpg:front other.jpg=jpg:x",
         "image/jpeg front"},
        {"t.wav", "", "album.png=png:album", "image/png album"},
        {"t.wav", "", "scan.png=png:scan", "image/png scan"},
        {"t.wav", "", "scan.png=png:scan back.jpg=jpg:back", "none"},
        {"t.wav", "", "cover.jpg=png:cover", "image/png cover"},
        {"t.wav", "", "cover.jpg=txt:cover folder.jpg=jpg:folder", "image/jpeg folder"},
        {"t.wav", "", "cover.jpg=big:cover album.png=png:album", "image/png album"},
        {"t.wav", "mkfifo $(dirname $T)/cover.jpg", "front.png=png:front", "image/png front"},
        {"t.wav", "rm $T", "cover.jpg=jpg:dir", "none"},
    };
    TempDir dir;
    const std::string src = dir.path("tone.wav");
    ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + src + " synth 0.2 sine 440").c_str()),
              0);
    for (const auto &[name, kind] : {std::pair{"front.jpg", "jpg"},
                                     {"other.png", "png"},
                                     {"big.jpg", "big"},
                                     {"text.jpg", "txt"}})
        dir.write(std::string("p/") + name,
                  image(kind, std::string(name, std::strcspn(name, "."))));
    const std::string tag = dir.write("tag.py", TAG_PICTURES);
    int n = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.make + " / " + r.files);
        const std::string folder = dir.dir(std::to_string(n++));
        const std::string t = folder + "/" + r.track;
        const std::string ext = r.track.substr(r.track.find('.'));
        const std::string encode = ext == ".flac"  ? "flac -s -o $T $SRC"
                                   : ext == ".mp3" ? "lame --quiet $SRC $T"
                                   : ext == ".ape" ? "jmac c2000 $SRC $T >/dev/null 2>&1"
                                                   : "cp $SRC $T";
        const std::string cmd = "export LC_ALL=C.UTF-8 SRC=" + src + " T=" + t +
                                " P=" + dir.path("p") + " TAG='/usr/bin/python3 " + tag + "'; " +
                                encode + (r.make.empty() ? "" : " && " + r.make);
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        for (std::size_t at = 0; at < r.files.size();) {
            std::size_t end = std::min(r.files.find(' ', at), r.files.size());
            const std::string f = r.files.substr(at, end - at);
            const auto eq = f.find('='), colon = f.find(':');
            dir.write(std::to_string(n - 1) + "/" + f.substr(0, eq),
                      image(f.substr(eq + 1, colon - eq - 1), f.substr(colon + 1)));
            at = end + 1;
        }
        EXPECT_EQ(shown(meta::read_cover_art(t)), r.want);
    }
}

} // namespace
} // namespace pipd::testing
