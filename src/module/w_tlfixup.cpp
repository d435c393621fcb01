#include "w_tlfixup.h"

#include <taglib/id3v2header.h>

#include "w_tlframes.h"

namespace w_tl {

// Whether TagLib read the file's ID3v2 tag whole; false when the tag cannot
// even be found again.
bool
id3v2_whole(TagLib::File &file, TagLib::ID3v2::Tag *tag)
{
	const TagLib::ID3v2::Header *h = tag->header();
	const unsigned v = h->majorVersion();
	ByteVector id("ID3");
	id.append(static_cast<char>(v));
	long at = 0;
	for (int tries = 0; tries < 16; tries++, at++) {
		at = file.find(id, at);
		if (at < 0)
			return false;
		file.seek(at);
		ByteVector head = file.readBlock(10);
		if (head.size() < 10)
			return false;
		const auto *b = reinterpret_cast<const unsigned char *>(head.data());
		bool synchsafe = (b[6] | b[7] | b[8] | b[9]) < 0x80;
		// A size TagLib refused to read is a tag it did not read at all.
		if (!synchsafe)
			return false;
		if (id3_size(b + 6, true) != h->tagSize())
			continue;
		ByteVector body = file.readBlock(h->tagSize());
		if (body.size() != h->tagSize())
			return false;
		return id3v2_body_whole(std::string(body.data(), body.size()), v,
		    (b[5] & 0x80) != 0, (b[5] & 0x40) != 0, (b[5] & 0x10) != 0);
	}
	return false;
}

// The size of the ID3v2 tag at the start of the stream, header included;
// 0 when there is none, or one with a footer (which is left alone).
std::uint64_t
leading_id3v2_size(TagLib::File &file)
{
	file.seek(0);
	ByteVector head = file.readBlock(10);
	const auto *b = reinterpret_cast<const unsigned char *>(head.data());
	if (head.size() < 10 || !head.startsWith("ID3") || (b[5] & 0x10) != 0 ||
	    (b[6] | b[7] | b[8] | b[9]) >= 0x80)
		return 0;
	return 10 + std::uint64_t{id3_size(b + 6, true)};
}

/*
 * TagLib gives a rewritten ID3v2 tag padding of its own choosing, which
 * often changes the tag's size even when the frames would fit the old one;
 * every byte of audio would then move.  Once TagLib has saved, a leading
 * tag whose frames fit the old size gets the old size back, the rest of it
 * zero padding, so that the file keeps its size and is written in place.
 */
void
keep_id3v2_size(TagLib::File &file, plan_stream &stream, std::uint64_t old_size)
{
	std::uint64_t new_size = leading_id3v2_size(file);
	if (old_size == 0 || new_size == 0 || new_size == old_size)
		return;
	file.seek(0);
	ByteVector tag = file.readBlock(static_cast<unsigned long>(new_size));
	const auto *b = reinterpret_cast<const unsigned char *>(tag.data());
	const unsigned v = b[3];
	if (tag.size() != new_size || (v != 3 && v != 4) || (b[5] & 0xc0) != 0)
		return; // not as TagLib writes it
	// Where the frames end and the padding starts.
	std::size_t pos = 10;
	while (pos + 10 <= tag.size() && b[pos] != 0)
		pos += 10 + id3_size(b + pos + 4, v == 4);
	if (pos > tag.size() || pos > old_size)
		return;
	ByteVector neo(tag.data(), static_cast<unsigned int>(pos));
	neo.resize(static_cast<unsigned int>(old_size), '\0');
	std::uint32_t body = static_cast<std::uint32_t>(old_size - 10);
	for (int i = 9; i >= 6; i--, body >>= 7)
		neo[i] = static_cast<char>(body & 0x7f);
	stream.insert(neo, 0, static_cast<unsigned long>(new_size));
}

// Rebuilds the leading tag TagLib saved from old_tag, the file's leading
// tag before the save.  False, with nothing done, when it cannot.
bool
keep_unchanged_frames(TagLib::File &file, plan_stream &stream, const std::string &old_tag,
    const bool changed[W_TL_NFIELDS])
{
	if (old_tag.empty())
		return false;
	// TagLib drops a tag left without frames of its own, whatever frames
	// of other fields the old one has.
	const std::uint64_t new_size = leading_id3v2_size(file);
	file.seek(0);
	ByteVector rendered = file.readBlock(static_cast<unsigned long>(new_size > 0 ? new_size : 3));
	if (new_size == 0 && rendered.startsWith("ID3"))
		return false;
	const std::string neo = new_size > 0 ? std::string(rendered.data(), rendered.size()) : "";
	std::string out;
	if (neo.size() != new_size || !rebuild_tag(old_tag, neo, changed, &out))
		return false;
	if (out.empty() && new_size == 0)
		return true;
	stream.insert(ByteVector(out.data(), static_cast<unsigned int>(out.size())), 0,
	    static_cast<unsigned long>(new_size));
	return true;
}

/*
 * TagLib renders an ID3v1 tag from the fields it read, which it took
 * without their trailing blanks, and as version 1.1 whatever the tag was:
 * every field it did not change keeps its old bytes here instead.
 */
std::string
keep_id3v1_fields(const std::string &old, const std::string &neo, const bool changed[W_TL_NFIELDS])
{
	if (old.size() != 128 || neo.size() != 128)
		return neo;
	std::string out = old;
	const struct {
		int field;
		std::size_t at, len;
	} spans[] = {{W_TL_TITLE, 3, 30}, {W_TL_ARTIST, 33, 30}, {W_TL_ALBUM, 63, 30}, {W_TL_YEAR, 93, 4},
	    {W_TL_GENRE, 127, 1}};
	for (const auto &s : spans) {
		if (changed[s.field])
			out.replace(s.at, s.len, neo, s.at, s.len);
	}
	const bool old_track = old[125] == '\0' && old[126] != '\0';
	if (changed[W_TL_COMMENT]) {
		out.replace(97, 28, neo, 97, 28);
		if (!old_track)
			out[125] = out[126] = '\0';
	}
	if (changed[W_TL_TRACK]) {
		if (neo[126] != '\0')
			out[125] = '\0';
		if (neo[126] != '\0' || old_track)
			out[126] = neo[126];
	}
	return out;
}

std::string
trailing_id3v1(TagLib::IOStream &stream)
{
	const long length = stream.length();
	if (length < 128)
		return "";
	stream.seek(length - 128, TagLib::IOStream::Beginning);
	const ByteVector b = stream.readBlock(128);
	return b.size() == 128 && b.startsWith("TAG") ? std::string(b.data(), b.size()) : "";
}

void
keep_id3v1(plan_stream &stream, const std::string &old, const bool changed[W_TL_NFIELDS])
{
	const std::string neo = trailing_id3v1(stream);
	if (old.empty() || neo.empty())
		return;
	const std::string out = keep_id3v1_fields(old, neo, changed);
	stream.insert(ByteVector(out.data(), 128), static_cast<unsigned long>(stream.length() - 128), 128);
}

/*
 * WAV and AIFF files keep their ID3v2 tag in a chunk of the RIFF or FORM
 * container ("id3 " or "ID3 "), which TagLib removes and writes anew on
 * save.  The tag in it is rebuilt as a leading one is, and the chunk and
 * container sizes follow.
 */

// The ID3v2 chunk of a RIFF/WAVE or FORM/AIFF file, if it has one.  False
// when the file is not such a container or its chunks do not add up.
bool
find_id3_chunk(TagLib::File &file, bool *big_endian, id3_chunk *chunk)
{
	*chunk = id3_chunk{};
	file.seek(0);
	ByteVector head = file.readBlock(12);
	if (head.size() < 12)
		return false;
	if (head.startsWith("RIFF") && head.containsAt("WAVE", 8))
		*big_endian = false;
	else if (head.startsWith("FORM") && (head.containsAt("AIFF", 8) || head.containsAt("AIFC", 8)))
		*big_endian = true;
	else
		return false;
	const auto length = static_cast<std::uint64_t>(file.length());
	std::uint64_t pos = 12;
	while (pos + 8 <= length) {
		file.seek(static_cast<long>(pos));
		ByteVector h = file.readBlock(8);
		if (h.size() < 8)
			return false;
		const std::uint32_t size = h.toUInt(4, *big_endian);
		const std::string name(h.data(), 4);
		if (name == "ID3 " || name == "id3 ") {
			if (!chunk->name.empty() || pos + 8 + size > length)
				return false; // two tags, or one cut short
			*chunk = {pos, size, name};
		}
		pos += 8 + std::uint64_t{size} + (size & 1);
	}
	return true;
}

// The ID3v2 tag at the start of the chunk, empty when there is none that
// fits it.
std::string
chunk_tag(TagLib::File &file, const id3_chunk &chunk)
{
	if (chunk.name.empty() || chunk.size < 10)
		return "";
	file.seek(static_cast<long>(chunk.pos + 8));
	ByteVector head = file.readBlock(10);
	const auto *b = reinterpret_cast<const unsigned char *>(head.data());
	if (head.size() < 10 || !head.startsWith("ID3") || (b[6] | b[7] | b[8] | b[9]) >= 0x80)
		return "";
	const std::uint64_t size = 10 + std::uint64_t{id3_size(b + 6, true)};
	if (size > chunk.size)
		return "";
	file.seek(static_cast<long>(chunk.pos + 8));
	ByteVector tag = file.readBlock(static_cast<unsigned long>(size));
	return tag.size() == size ? std::string(tag.data(), tag.size()) : "";
}

// Rebuilds the tag of the ID3v2 chunk TagLib saved from old_tag, the tag of
// the file's chunk (named old_name) before the save, keeping that name.
// False, with nothing done, when it cannot.
bool
keep_unchanged_chunk_frames(TagLib::File &file, plan_stream &stream, const std::string &old_tag,
    const id3_chunk &old_chunk, const bool changed[W_TL_NFIELDS])
{
	bool big_endian = false;
	id3_chunk chunk;
	if (old_tag.empty() || !find_id3_chunk(file, &big_endian, &chunk))
		return false;
	const std::string neo = chunk_tag(file, chunk);
	if (!chunk.name.empty() && neo.empty())
		return false;
	std::string out;
	if (!rebuild_tag(old_tag, neo, changed, &out))
		return false;
	if (out.empty() && chunk.name.empty())
		return true;
	// TagLib takes the chunk out and adds it at the end: it goes back
	// where it was, after the same chunks as before.
	const auto length = static_cast<std::uint64_t>(file.length());
	const std::uint64_t replace = chunk.name.empty() ? 0 : 8 + std::uint64_t{chunk.size} + (chunk.size & 1);
	if (chunk.pos + replace > length || old_chunk.pos > (chunk.name.empty() ? length : chunk.pos))
		return false;
	ByteVector block;
	if (!out.empty()) {
		block = ByteVector(old_chunk.name.data(), 4);
		block.append(ByteVector::fromUInt(static_cast<unsigned int>(out.size()), big_endian));
		block.append(ByteVector(out.data(), static_cast<unsigned int>(out.size())));
		if (out.size() & 1)
			block.append('\0');
	}
	// The container's size as TagLib left it, less the chunk it wrote.
	file.seek(4);
	const std::uint64_t container = std::uint64_t{file.readBlock(4).toUInt(big_endian)} - replace + block.size();
	if (container > 0xffffffffu)
		return false;
	if (replace > 0)
		stream.removeBlock(static_cast<unsigned long>(chunk.pos), static_cast<unsigned long>(replace));
	stream.insert(block, static_cast<unsigned long>(old_chunk.pos), 0);
	stream.insert(ByteVector::fromUInt(static_cast<unsigned int>(container), big_endian), 4, 4);
	return true;
}

} // namespace w_tl
