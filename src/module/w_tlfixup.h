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
// the file's chunk (named old_name) before the save, keeping that name.
// False, with nothing done, when it cannot.
bool keep_unchanged_chunk_frames(TagLib::File &file, plan_stream &stream, const std::string &old_tag,
    const std::string &old_name, const bool changed[W_TL_NFIELDS]);

} // namespace w_tl
