/*
 * The raw ID3v2 frames of a tag, walked as TagLib walks them: whether
 * TagLib read a tag whole, which field a frame stands for, and the rebuild
 * of a tag TagLib saved from the old tag's own frames.  Pure functions over
 * the bytes of a tag; no TagLib object is involved, so the program's own
 * reading of MP3 files (w_mp3fields) walks tags with them too, and the
 * TagLib module is built with this file of the program.
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

// Unsynchronisation: every 0xFF 0x00 stands for 0xFF.
std::string unsync_decode(const std::string &d);
std::string unsync_encode(const std::string &d);

// One frame of a tag, as a write must keep it.
struct id3_item {
	std::string id;      // 3 characters in version 2.2 (and iTunes' 2.2 ids)
	unsigned flags = 0;  // the two flag bytes; 2.4's unsynchronisation bit cleared
	std::string data;    // after undoing unsynchronisation
	std::string raw;     // the frame as the tag body holds it, header included
	bool itunes = false; // a 2.2 id padded with a NUL in a 2.3 tag
	int field = -1;      // the basic field it stands for, -1 for none
	bool secondary = false; // a comment without description after the first
};

struct id3_tag {
	unsigned version = 0; // major
	unsigned flags = 0;   // of the header
	std::vector<id3_item> items;
};

// The field a frame of version 2.v stands for, -1 for none.  Of the
// comment frames, only those with an empty description are the comment
// field.
int item_field(const id3_item &it, unsigned v);

// The frames of a whole tag (header included, any version 2.2 to 2.4)
// after undoing unsynchronisation.  False when they cannot be walked to
// the end or something but zeros follows them.
bool id3v2_parse(const std::string &tag, id3_tag *out);

// The version 2.3 tag a version 2.2 tag (whole, header included) stands
// for: each frame under the id of the same meaning, a picture's image
// format made a MIME type, the header's flags and the padding kept.  False
// when a frame has no such counterpart (its id in *refused, if given), or
// the tag cannot be walked or is compressed: nothing is guessed.
bool id3v22_to_23(const std::string &tag, std::string *out, std::string *refused = nullptr);
// Why a version 2.2 tag is not written, from what id3v22_to_23 refused.
std::string id3v22_refusal(const std::string &refused);

// Rebuilds neo, the ID3v2 tag TagLib saved (empty when it saved none), from
// old_tag, the file's tag before the save, so that only the fields in
// changed are TagLib's.  *out is the new tag, empty when none is left.
// False when either tag is not one this can do.
bool rebuild_tag(const std::string &old_tag, const std::string &neo,
    const bool changed[W_TL_NFIELDS], std::string *out);

} // namespace w_tl
