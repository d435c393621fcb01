#include "w_tlframes.h"

#include <algorithm>

namespace w_tl {

// ---- Does TagLib's reading of an ID3v2 tag cover the whole tag? ----
//
// TagLib stops reading an ID3v2 tag's frames at the first frame it cannot
// parse and takes the rest for padding; a rewrite would then drop every
// later frame.  The walk below stops where TagLib's does, and the tag was
// read whole only if nothing but zero bytes follows that point.

std::uint32_t
id3_size(const unsigned char *b, bool synchsafe)
{
	bool plain = !synchsafe;
	for (int i = 0; i < 4 && !plain; i++)
		plain = (b[i] & 0x80) != 0;
	std::uint32_t v = 0;
	for (int i = 0; i < 4; i++)
		v = plain ? (v << 8) | b[i] : (v << 7) | (b[i] & 0x7f);
	return v;
}

bool
frame_id_ok(const unsigned char *id, std::size_t n)
{
	for (std::size_t i = 0; i < n; i++) {
		if (!((id[i] >= 'A' && id[i] <= 'Z') || (id[i] >= '0' && id[i] <= '9')))
			return false;
	}
	return true;
}

// Whether a 4-byte frame id starts at data[at] (false past the end).
static bool
frame_id_at(const std::string &d, std::size_t at)
{
	return at + 4 <= d.size() && frame_id_ok(reinterpret_cast<const unsigned char *>(d.data()) + at, 4);
}

// Walks the frames of the tag body d (major version v) from pos to len the
// way TagLib does, stopping at the first zero byte, and records them in
// frames (if given).  False at a frame TagLib cannot parse; *end is where
// the walk stopped.
bool
walk_frames(const std::string &d, unsigned v, std::size_t pos, std::size_t len,
    std::vector<raw_frame> *frames, std::size_t *end)
{
	const auto *b = reinterpret_cast<const unsigned char *>(d.data());
	const std::size_t hsize = v < 3 ? 6 : 10;
	*end = pos;
	while (len > hsize && pos < len - hsize) {
		if (b[pos] == 0)
			break;
		std::uint32_t size;
		bool dli = false;
		bool itunes = false;
		if (v < 3) {
			if (!frame_id_ok(b + pos, 3))
				return false;
			size = (std::uint32_t{b[pos + 3]} << 16) | (b[pos + 4] << 8) | b[pos + 5];
		} else {
			// iTunes writes version 2.2 frame ids padded with a NUL.
			itunes = v == 3 && b[pos + 3] == 0;
			if (!frame_id_ok(b + pos, itunes ? 3 : 4))
				return false;
			if (v == 3) {
				size = id3_size(b + pos + 4, false);
			} else {
				size = id3_size(b + pos + 4, true);
				// iTunes also writes 2.4 frame sizes as plain numbers.
				if (size > 127 && !frame_id_at(d, pos + size + 10)) {
					std::uint32_t plain = id3_size(b + pos + 4, false);
					if (frame_id_at(d, pos + plain + 10))
						size = plain;
				}
				dli = (b[pos + 9] & 0x01) != 0;
			}
		}
		if (size <= (dli ? 4u : 0u) || size > d.size() - pos - hsize)
			return false;
		if (frames != nullptr)
			frames->push_back({pos, hsize + size, itunes});
		pos += hsize + size;
		*end = pos;
	}
	return true;
}

// Whether d holds nothing but zero bytes from pos on.
bool
zeros_from(const std::string &d, std::size_t pos)
{
	return pos >= d.size() || std::all_of(d.begin() + static_cast<std::ptrdiff_t>(pos), d.end(),
	    [](char c) { return c == '\0'; });
}

// True when the frames of the tag body d (major version v) are read whole.
bool
id3v2_body_whole(std::string d, unsigned v, bool unsync, bool extended, bool footer)
{
	if (unsync && v <= 3) {
		// Whole-tag unsynchronisation: every 0xFF 0x00 stands for 0xFF.
		std::string out;
		out.reserve(d.size());
		for (std::size_t i = 0; i < d.size(); i++) {
			out.push_back(d[i]);
			if (static_cast<unsigned char>(d[i]) == 0xff && i + 1 < d.size() && d[i + 1] == '\0')
				i++;
		}
		d.swap(out);
	}
	const auto *b = reinterpret_cast<const unsigned char *>(d.data());
	std::size_t pos = 0;
	std::size_t len = d.size();
	if (extended && len >= 4) {
		std::uint32_t ext = id3_size(b, true);
		// TagLib shortens the length it walks by the extended header
		// as well as starting after it; the bytes it thus never looks at
		// still count below.
		if (ext <= len) {
			pos += ext;
			len -= ext;
		}
	}
	if (footer && len >= 10)
		len -= 10;
	std::size_t end;
	return walk_frames(d, v, pos, len, nullptr, &end) && zeros_from(d, end);
}

/*
 * TagLib reads an ID3v2 tag into frames of its own and renders every one of
 * them again on save: a version 2.3 tag comes back with other text
 * encodings, genres and dates, and frames in another order, however little
 * was asked.  Once TagLib has saved, the leading tag is therefore rebuilt
 * from the old one: each frame of a field that did not change is the old
 * frame byte for byte and in its place, and only the frames of the changed
 * fields come from TagLib's rendering, where the field's first old frame
 * was, or at the end when the field is new.
 */

// The field an ID3v2 frame stands for, -1 for none.  Of the comment
// frames, only those without a description are the comment field.
int
frame_field(const std::string &tag, const raw_frame &fr, unsigned v)
{
	const std::string id = tag.substr(fr.pos, 4);
	if (id == "TIT2")
		return W_TL_TITLE;
	if (id == "TPE1")
		return W_TL_ARTIST;
	if (id == "TALB")
		return W_TL_ALBUM;
	if (id == "TCON")
		return W_TL_GENRE;
	if (id == "TRCK")
		return W_TL_TRACK;
	if (v == 4 ? id == "TDRC" : (id == "TYER" || id == "TDAT" || id == "TIME" || id == "TRDA"))
		return W_TL_YEAR;
	if (id != "COMM")
		return -1;
	// Encoding, language, then the description up to its terminator.
	const auto *b = reinterpret_cast<const unsigned char *>(tag.data()) + fr.pos + 10;
	std::size_t n = fr.size - 10;
	if (n < 5)
		return -1;
	const unsigned enc = b[0];
	b += 4;
	n -= 4;
	if (enc == 0 || enc == 3)
		return b[0] == 0 ? W_TL_COMMENT : -1;
	if (enc == 1 && n >= 2 && ((b[0] == 0xff && b[1] == 0xfe) || (b[0] == 0xfe && b[1] == 0xff))) {
		b += 2;
		n -= 2;
	}
	return n >= 2 && b[0] == 0 && b[1] == 0 ? W_TL_COMMENT : -1;
}

// The frames of a whole ID3v2.3 or 2.4 tag (header included) that can be
// copied as they are: no unsynchronisation, no extended header or footer,
// no frame compressed, encrypted or grouped, nothing but zeros after them.
bool
plain_frames(const std::string &tag, std::vector<raw_frame> *frames)
{
	const auto *b = reinterpret_cast<const unsigned char *>(tag.data());
	if (tag.size() < 10 || (b[3] != 3 && b[3] != 4) || (b[5] & 0xd0) != 0)
		return false;
	const unsigned v = b[3];
	std::size_t end;
	if (!walk_frames(tag, v, 10, tag.size(), frames, &end) || !zeros_from(tag, end))
		return false;
	const unsigned char unhandled = v == 3 ? 0xe0 : 0x4f;
	return std::none_of(frames->begin(), frames->end(),
	    [&](const raw_frame &fr) { return fr.itunes || (b[fr.pos + 9] & unhandled) != 0; });
}

// Rebuilds neo, the ID3v2 tag TagLib saved (empty when it saved none), from
// old_tag, the file's tag before the save, so that only the fields in
// changed are TagLib's.  *out is the new tag, empty when none is left.
// False when either tag is not one this can do.
bool
rebuild_tag(const std::string &old_tag, const std::string &neo, const bool changed[W_TL_NFIELDS],
    std::string *out)
{
	std::vector<raw_frame> old_frames, new_frames;
	if (old_tag.empty() || !plain_frames(old_tag, &old_frames) ||
	    (!neo.empty() && (neo[3] != old_tag[3] || !plain_frames(neo, &new_frames))))
		return false;
	const unsigned v = static_cast<unsigned char>(old_tag[3]);

	// The frames TagLib rendered for each changed field, in its order.
	std::string fresh[W_TL_NFIELDS];
	std::size_t rendered_end = 10;
	for (const raw_frame &fr : new_frames) {
		int field = frame_field(neo, fr, v);
		if (field >= 0 && changed[field])
			fresh[field].append(neo, fr.pos, fr.size);
		rendered_end = fr.pos + fr.size;
	}
	std::string body;
	bool placed[W_TL_NFIELDS] = {};
	for (const raw_frame &fr : old_frames) {
		int field = frame_field(old_tag, fr, v);
		if (field < 0 || !changed[field]) {
			body.append(old_tag, fr.pos, fr.size);
		} else if (!placed[field]) {
			body += fresh[field];
			placed[field] = true;
		}
	}
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (changed[i] && !placed[i])
			body += fresh[i];
	}

	out->clear();
	if (body.empty() && neo.empty())
		return true; // nothing is left to keep

	// The old size when the frames fit it, else TagLib's padding.
	std::uint64_t size = 10 + body.size();
	if (size <= old_tag.size())
		size = old_tag.size();
	else if (neo.size() > rendered_end)
		size += neo.size() - rendered_end;
	if (size - 10 >= (std::uint64_t{1} << 28))
		return false;
	*out = old_tag.substr(0, 6);
	std::uint32_t n = static_cast<std::uint32_t>(size - 10);
	for (int shift = 21; shift >= 0; shift -= 7)
		out->push_back(static_cast<char>((n >> shift) & 0x7f));
	*out += body;
	out->resize(static_cast<std::size_t>(size), '\0');
	return true;
}

} // namespace w_tl
