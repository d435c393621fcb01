/*
 * The fix-ups applied to what TagLib saved, before it becomes the plan:
 * a leading ID3v2 tag or the ID3v2 chunk of a WAV or AIFF file is rebuilt
 * from its old frames, or given its old size back.
 */
#pragma once

#include <cstdint>
#include <string>

#include <taglib/id3v2tag.h>
#include <taglib/tfile.h>

#include "w_tlmodule.h"
#include "w_tlproof.h"
#include "w_tlstream.h"

namespace w_tl {

// Whether TagLib read the file's ID3v2 tag whole; false when the tag cannot
// even be found again.
bool id3v2_whole(TagLib::File &file, TagLib::ID3v2::Tag *tag);

// The size of the ID3v2 tag at the start of the stream, header included;
// 0 when there is none, or one with a footer (which is left alone).
std::uint64_t leading_id3v2_size(TagLib::File &file);

// Gives the leading tag TagLib saved its old size back when its frames fit.
void keep_id3v2_size(TagLib::File &file, plan_stream &stream, std::uint64_t old_size);

// Rebuilds the leading tag TagLib saved from old_tag, the file's leading
// tag before the save.  False, with nothing done, when it cannot.
bool keep_unchanged_frames(TagLib::File &file, plan_stream &stream, const std::string &old_tag,
    const bool changed[W_TL_NFIELDS]);

// The ID3v1 tag neo (128 bytes, as TagLib renders one) made of old, the
// file's ID3v1 tag before the save, with only the fields in changed taken
// from neo: TagLib renders every field anew, blanks and all.  A track
// number takes the last two bytes of a comment of version 1.0.
std::string keep_id3v1_fields(const std::string &old, const std::string &neo, const bool changed[W_TL_NFIELDS]);

// The ID3v1 tag at the end of the stream (128 bytes), "" when none.
std::string trailing_id3v1(TagLib::IOStream &stream);

// Puts keep_id3v1_fields of old and the ID3v1 tag now at the end of the
// stream in its place; nothing when either is not there.
void keep_id3v1(plan_stream &stream, const std::string &old, const bool changed[W_TL_NFIELDS]);

// Where a file's ID3v2 chunk is: its header's offset, the size its header
// gives, and its name.
struct id3_chunk {
	std::uint64_t pos = 0;
	std::uint32_t size = 0;
	std::string name;
};

// The ID3v2 chunk of a RIFF/WAVE or FORM/AIFF file, if it has one.  False
// when the file is not such a container or its chunks do not add up.
bool find_id3_chunk(TagLib::File &file, bool *big_endian, id3_chunk *chunk);

// The ID3v2 tag at the start of the chunk, empty when there is none that
// fits it.
std::string chunk_tag(TagLib::File &file, const id3_chunk &chunk);

// Rebuilds the tag of the ID3v2 chunk TagLib saved from old_tag, the tag of
// the file's chunk (old_chunk) before the save, keeping that name and that
// place.  False, with nothing done, when it cannot.
bool keep_unchanged_chunk_frames(TagLib::File &file, plan_stream &stream, const std::string &old_tag,
    const id3_chunk &old_chunk, const bool changed[W_TL_NFIELDS]);

// Gives each string of an ASF file's content description, but those of the
// changed fields, what the old file stored, once TagLib has saved.
void keep_asf_description(plan_stream &stream, const basic_change &change);

// Points every place an MP4 file points to within itself (chunk offsets,
// fragment base offsets, the fragment index, segment indexes, auxiliary
// information) where it pointed in the old file, once TagLib has moved
// the atoms after moov.  False, with why, when a number cannot hold its
// new place.
bool keep_mp4_pointers(plan_stream &stream, std::string *why);

} // namespace w_tl
