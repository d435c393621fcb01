/*
 * What the reader and the writer of ID3v2 tags in the --all-tags mode
 * share: the kinds of file whose tag is ID3v2, and which field of the table
 * a frame belongs to.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <taglib/aifffile.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tstring.h>
#include <taglib/wavfile.h>

#include "w_tlfixup.h"
#include "w_tlstream.h"

namespace w_tl::id3 {

namespace ID3v2 = TagLib::ID3v2;

extern const char musicbrainz_owner[];

std::string utf8(const TagLib::String &s);
TagLib::String text(const std::string &s);
std::string bytes(const TagLib::ByteVector &b);

// How the field group of frame is spelled where that matters (see
// struct field): a comment's language, a user-defined frame's own name.
std::string spelling_of(const std::string &group, const ID3v2::Frame *frame);

// The kinds of file whose tag is ID3v2.
struct host {
	TagLib::MPEG::File *mp3 = nullptr;
	TagLib::RIFF::WAV::File *wav = nullptr;
	TagLib::RIFF::AIFF::File *aiff = nullptr;

	explicit host(TagLib::File *file)
	{
		mp3 = dynamic_cast<TagLib::MPEG::File *>(file);
		wav = dynamic_cast<TagLib::RIFF::WAV::File *>(file);
		aiff = dynamic_cast<TagLib::RIFF::AIFF::File *>(file);
	}
	bool covered() const { return mp3 != nullptr || wav != nullptr || aiff != nullptr; }
	// The file's ID3v2 tag, null when it has none.
	ID3v2::Tag *tag() const
	{
		if (mp3 != nullptr)
			return mp3->hasID3v2Tag() ? mp3->ID3v2Tag() : nullptr;
		if (wav != nullptr)
			return wav->hasID3v2Tag() ? wav->ID3v2Tag() : nullptr;
		return aiff != nullptr && aiff->hasID3v2Tag() ? aiff->tag() : nullptr;
	}
};

// The field (the first name of the table it holds) a frame belongs to, ""
// for a frame outside the table.  id is the frame's id as it stands in the
// tag (TagLib gives a version 2.3 date frame the id of version 2.4).
std::string group_of(const std::string &id, const ID3v2::Frame *frame, unsigned v);

// Whether frame is a POPM frame that holds a play counter.
bool popm_has_counter(const ID3v2::Frame *frame);

// The major version the file's ID3v2 tag is written in: its own, 3 for a
// tag of version 2.2; 4, that of a new tag, when it has none.
unsigned tag_version(const host &h);

// A frame of the given id and data (its flags undone) as TagLib parses a
// plain version 2.4 frame; null when TagLib makes nothing of it.
std::unique_ptr<ID3v2::Frame> parse_plain(const std::string &id, const std::string &data);

// Where a file's ID3v2 tag is, as a rewrite of it needs it: at the start
// of an MPEG file, or in the ID3 chunk of a WAV or AIFF file.
struct tag_place {
	bool mpeg = false;
	// The tag's bytes (empty for none); a caller that converts a version
	// 2.2 tag puts the converted one here.
	std::string old_tag;
	std::uint64_t mpeg_size = 0; // the MPEG file's leading tag
	id3_chunk chunk;             // the WAV or AIFF file's chunk
	bool big_endian = false;     // how the chunk's sizes are written
};

// Finds the tag of file, whose ID3v2 tag as TagLib reads it is tag (null
// for none): "" when found, else why it cannot be rewritten.
std::string find_tag_place(TagLib::File *file, ID3v2::Tag *tag, tag_place *place);

// Puts a tag of the old one's header holding body (frames) in its place
// through stream: at the start of an MPEG file (nothing when there was no
// tag and body is empty), or as the chunk, whose container's size
// follows.  "" when done, else why not (nothing done).
std::string put_tag(TagLib::File *file, plan_stream &stream, const tag_place &place, const std::string &body);

} // namespace w_tl::id3
