// The cover finder over pictures embedded by the reference tools and image
// files beside the track.
#include <gtest/gtest.h>
#include <sstream>

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
    return art ? art->type + (" " + art->bytes.substr(art->bytes.rfind('#') + 1)) : "none";
}

// Adds pictures KEY:MIME:FILE (ID3v2 picture type or APEv2 item name) to the file $1.
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

// Makes the track $T of its kind from a tone $W.
const char *const ENCODE = "sox -n -r 44100 -c 2 -b 16 $W synth 0.2 sine 440 && case $T in "
                           "*.flac) flac -s -o $T $W;; *.mp3) lame --quiet $W $T;; "
                           "*.ape) jmac c2000 $W $T >/dev/null;; *) cp $W $T;; esac";

TEST(CoverArt, EmbeddedFrontCoverFirstThenTheFoldersImages) {
    for (const char *tool : {"sox", "flac", "metaflac", "lame", "jmac", "/usr/bin/python3"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " missing";
    // $P holds front.jpg, other.png, big.jpg and text.jpg; $TAG runs TAG_PICTURES.
    auto pic = [](const std::string &type, const std::string &file) {
        return " --import-picture-from=\"" + type + "|image/jpeg||1x1x24|$P/" + file + "\"";
    };
    const struct {
        std::string track, make, files, want; // files: as put() takes them
    } rows[] = {
        {"t.flac", "metaflac" + pic("4", "other.png") + pic("3", "front.jpg") + " $T",
         "cover.jpg=jpg:dir", "image/jpeg front"},
        {"t.flac", "metaflac" + pic("0", "other.png") + " $T", "cover.jpg=jpg:dir",
         "image/png other"},
        {"t.flac", "metaflac" + pic("3", "big.jpg") + pic("5", "text.jpg") + " $T",
         "cover.jpg=jpg:dir", "image/jpeg dir"},
        {"t.mp3", "$TAG $T 0:image/png:$P/other.png 3:image/jpeg:$P/front.jpg", "",
         "image/jpeg front"},
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
        {"t.wav", "", "scan.png=png:scan", "image/png scan"},
        {"t.wav", "", "scan.png=png:scan back.jpg=jpg:back", "none"},
        {"t.wav", "", "cover.jpg=png:cover", "image/png cover"},
        {"t.wav", "", "cover.jpg=big:c folder.jpg=txt:f album.png=png:album", "image/png album"},
        {"t.wav", "mkfifo $(dirname $T)/cover.jpg", "front.png=png:front", "image/png front"},
    };
    TempDir dir;
    // Writes the images of a list NAME=KIND:MARK ... into a folder.
    auto put = [&](const std::string &folder, const std::string &list) {
        std::istringstream words(list);
        for (std::string f; words >> f;) {
            const auto eq = f.find('='), colon = f.find(':');
            dir.write(folder + f.substr(0, eq),
                      image(f.substr(eq + 1, colon - eq - 1), f.substr(colon + 1)));
        }
    };
    put("p/", "front.jpg=jpg:front other.png=png:other big.jpg=big:big text.jpg=txt:text");
    const std::string tag = dir.write("tag.py", TAG_PICTURES);
    int n = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.make + " / " + r.files);
        const std::string folder = std::to_string(n++) + "/", t = dir.dir(folder) + "/" + r.track;
        const std::string cmd = "export LC_ALL=C.UTF-8 W=" + t + ".wav T=" + t +
                                " P=" + dir.path("p") + " TAG='/usr/bin/python3 " + tag + "'; " +
                                ENCODE + (r.make.empty() ? "" : " && " + r.make);
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        put(folder, r.files);
        EXPECT_EQ(shown(meta::read_cover_art(t)), r.want);
    }
}

} // namespace
} // namespace pipd::testing
