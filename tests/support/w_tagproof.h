/* The files the proof of a TagLib write is tried on, made from plain ones
 * by hand the way real taggers and odd files leave them, and what
 * independent readers (mutagen without translation, ffmpeg, ffprobe) find
 * in them. */
#pragma once

#include <set>
#include <string>
#include <vector>

#include "w_testsupport.h"

namespace wt {

// The file of the given kind (see w_tagproof.cpp) in dir, made anew from a
// plain file of the suffix's format.
std::string proof_file(const tmpdir &dir, const std::string &kind, const std::string &suffix);

// Every tag item of the file, read raw (ID3v2 frames, with a version 2.2
// frame under the id of version 2.3; ID3v1 fields; APE items; Lyrics3 tags;
// RIFF INFO chunks and the order of the chunks; MP4 ilst items) and as
// mutagen reads it: "field TAB what", the field being the basic field the
// item belongs to, "-" for none; in their order (MP4 items sorted: their
// order is TagLib's).
std::vector<std::string> tag_items(const std::string &path);
// Those of the items outside the given fields.
std::vector<std::string> kept_items(const std::vector<std::string> &items, const std::set<std::string> &changed);
// Expects the items outside the changed fields to be those before, where
// an ID3 chunk may have been added or taken away.
void expect_kept(const std::vector<std::string> &items, const std::vector<std::string> &before,
    const std::set<std::string> &changed);

// The audio as ffmpeg decodes it, as md5.
std::string audio_md5(const std::string &path);
// The audio's packets as they are in the file, as md5, and how many.
std::string packets_md5(const std::string &path);
std::string frame_count(const std::string &path);
// The audio ffmpeg decodes from the given second on, seeking an MP4 file
// through its fragment index.
std::string seek_md5(const std::string &path, const std::string &at);

} // namespace wt
