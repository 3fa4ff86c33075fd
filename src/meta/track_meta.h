// The tags of one music file, for the remotes: what a track is called and by
// whom, read on demand, never by the daemon's playback loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace pipd::meta {

// A tag larger than this is ignored; a text field is cut (at a character
// boundary) to at most this many bytes.
inline constexpr uint64_t MAX_TAG_BYTES = 16u << 20;
inline constexpr std::size_t MAX_FIELD_BYTES = 1024;

// Every text in UTF-8, whatever the tag's encoding; what the file does not
// say stays empty. Track and disc numbers as written ("3", "3/12").
struct track_meta {
    std::optional<std::string> title, artist, album, album_artist;
    std::optional<std::string> track_number, disc_number, date, genre;
    std::optional<uint32_t> duration_ms;
};

// The tags of a FLAC (Vorbis comments), MP3 (ID3v2.2-2.4, ID3v1), APE
// (APEv2, ID3v1) or WAV (LIST/INFO, "id3 " chunk) file. Nothing, with a
// message, when the file cannot be read, is no such file, or carries a
// damaged or oversized tag.
std::optional<track_meta> read_track_meta(const std::string &path);

// The texts of track (from 1) of a file split by a cue sheet (the sheet's
// TITLE and PERFORMER of the track, the album's from the sheet's own lines)
// or of an SACD disc image (the disc's album and track texts); the file's
// own tags fill what the sheet does not say.
std::optional<track_meta> read_track_meta(const std::string &path, int track);

// text cut to at most max bytes without splitting a UTF-8 character.
std::string cut_utf8(std::string text, std::size_t max = MAX_FIELD_BYTES);

} // namespace pipd::meta
