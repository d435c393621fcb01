/*
 * The raw ID3v2 frames of a tag, walked as TagLib walks them: whether
 * TagLib read a tag whole, which field a frame stands for, and the rebuild
 * of a tag TagLib saved from the old tag's own frames.  Pure functions over
 * the bytes of a tag; no TagLib object is involved.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "w_tlmodule.h"

namespace w_tl {

// An ID3v2 size: synchsafe, unless a byte has its high bit set, in which
// case the writer stored a plain big-endian number (TagLib reads it so).
std::uint32_t id3_size(const unsigned char *b, bool synchsafe);

// Whether the n bytes at id are a frame id (capitals and digits).
bool frame_id_ok(const unsigned char *id, std::size_t n);

// One frame of a tag body as the walk below finds it.
struct raw_frame {
	std::size_t pos;  // of its header in the body
	std::size_t size; // header included
	bool itunes;      // a version 2.2 id padded with a NUL
};

// Walks the frames of the tag body d (major version v) from pos to len the
// way TagLib does, stopping at the first zero byte, and records them in
// frames (if given).  False at a frame TagLib cannot parse; *end is where
// the walk stopped.
bool walk_frames(const std::string &d, unsigned v, std::size_t pos, std::size_t len,
    std::vector<raw_frame> *frames, std::size_t *end);

// Whether d holds nothing but zero bytes from pos on.
bool zeros_from(const std::string &d, std::size_t pos);

// True when the frames of the tag body d (major version v) are read whole.
bool id3v2_body_whole(std::string d, unsigned v, bool unsync, bool extended, bool footer);

// The field an ID3v2 frame stands for, -1 for none.
int frame_field(const std::string &tag, const raw_frame &fr, unsigned v);

// The frames of a whole ID3v2.3 or 2.4 tag (header included) that can be
// copied as they are; false when there are none such.
bool plain_frames(const std::string &tag, std::vector<raw_frame> *frames);

// Rebuilds neo, the ID3v2 tag TagLib saved (empty when it saved none), from
// old_tag, the file's tag before the save, so that only the fields in
// changed are TagLib's.  *out is the new tag, empty when none is left.
// False when either tag is not one this can do.
bool rebuild_tag(const std::string &old_tag, const std::string &neo,
    const bool changed[W_TL_NFIELDS], std::string *out);

} // namespace w_tl
