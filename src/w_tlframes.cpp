#include "w_tlframes.h"

#include "w_utf8.h"

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
	// Whole-tag unsynchronisation: every 0xFF 0x00 stands for 0xFF.
	if (unsync && v <= 3)
		d = unsync_decode(d);
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

std::string
unsync_decode(const std::string &d)
{
	std::string out;
	out.reserve(d.size());
	for (std::size_t i = 0; i < d.size(); i++) {
		out.push_back(d[i]);
		if (static_cast<unsigned char>(d[i]) == 0xff && i + 1 < d.size() && d[i + 1] == '\0')
			i++;
	}
	return out;
}

std::string
unsync_encode(const std::string &d)
{
	std::string out;
	out.reserve(d.size() + d.size() / 64);
	for (std::size_t i = 0; i < d.size(); i++) {
		out.push_back(d[i]);
		if (static_cast<unsigned char>(d[i]) != 0xff)
			continue;
		// A 0xFF at the very end gets its zero too: a reader cannot
		// know what follows it.
		if (i + 1 == d.size() || static_cast<unsigned char>(d[i + 1]) >= 0xe0 || d[i + 1] == '\0')
			out.push_back('\0');
	}
	return out;
}

namespace {

// Frame ids of the seven fields, as version 2.2 and as 2.3/2.4 name them.
int
id_field(const std::string &id, unsigned v)
{
	struct entry {
		const char *id;
		int field;
		unsigned versions; // bit v: valid in version 2.v
	};
	static const entry table[] = {
	    {"TT2", W_TL_TITLE, 1u << 2}, {"TP1", W_TL_ARTIST, 1u << 2}, {"TAL", W_TL_ALBUM, 1u << 2},
	    {"TCO", W_TL_GENRE, 1u << 2}, {"TRK", W_TL_TRACK, 1u << 2}, {"TYE", W_TL_YEAR, 1u << 2},
	    {"TDA", W_TL_YEAR, 1u << 2}, {"TIM", W_TL_YEAR, 1u << 2}, {"TRD", W_TL_YEAR, 1u << 2},
	    {"COM", W_TL_COMMENT, 1u << 2},
	    {"TIT2", W_TL_TITLE, 3u << 3}, {"TPE1", W_TL_ARTIST, 3u << 3}, {"TALB", W_TL_ALBUM, 3u << 3},
	    {"TCON", W_TL_GENRE, 3u << 3}, {"TRCK", W_TL_TRACK, 3u << 3},
	    // TagLib takes the date of a 2.3 tag from all of these, and a
	    // TDRC frame, which some taggers put in 2.3 tags, as the year too.
	    {"TYER", W_TL_YEAR, 1u << 3}, {"TDAT", W_TL_YEAR, 1u << 3}, {"TIME", W_TL_YEAR, 1u << 3},
	    {"TRDA", W_TL_YEAR, 1u << 3}, {"TDRC", W_TL_YEAR, 3u << 3},
	    // TagLib reads TRDC, a typo of its early versions, as TDRC.
	    {"TRDC", W_TL_YEAR, 1u << 4},
	    {"COMM", W_TL_COMMENT, 3u << 3},
	};
	for (const entry &e : table) {
		if (id == e.id && (e.versions & (1u << v)) != 0)
			return e.field;
	}
	return -1;
}

// Whether a comment frame's payload (after any data length indicator)
// has an empty description: encoding, language, then the description up
// to its terminator.  An encoding TagLib does not know is not the field.
bool
empty_description(const std::string &payload)
{
	const auto *b = reinterpret_cast<const unsigned char *>(payload.data());
	std::size_t n = payload.size();
	if (n < 5)
		return false;
	const unsigned enc = b[0];
	b += 4;
	n -= 4;
	if (enc == 0 || enc == 3)
		return b[0] == 0;
	if (enc > 3)
		return false;
	if (enc == 1 && n >= 2 && ((b[0] == 0xff && b[1] == 0xfe) || (b[0] == 0xfe && b[1] == 0xff))) {
		b += 2;
		n -= 2;
	}
	return n >= 2 && b[0] == 0 && b[1] == 0;
}

} // namespace

int
item_field(const id3_item &it, unsigned v)
{
	const int field = id_field(it.id, it.itunes ? 2 : v);
	if (field != W_TL_COMMENT)
		return field;
	// A comment compressed, encrypted or grouped cannot be read here:
	// it counts as no field, so that it is always kept, and a write
	// that needed it changed fails its proof instead.
	const unsigned hidden = v == 3 ? 0x00e0 : v == 4 ? 0x004c : 0;
	if ((it.flags & hidden) != 0)
		return -1;
	std::string payload = it.data;
	if (v == 4 && (it.flags & 0x0001) != 0)
		payload.erase(0, std::min<std::size_t>(4, payload.size()));
	return empty_description(payload) ? W_TL_COMMENT : -1;
}

bool
id3v2_parse(const std::string &tag, id3_tag *out)
{
	*out = id3_tag{};
	const auto *h = reinterpret_cast<const unsigned char *>(tag.data());
	if (tag.size() < 10 || tag.compare(0, 3, "ID3") != 0 || h[3] < 2 || h[3] > 4)
		return false;
	out->version = h[3];
	out->flags = h[5];
	const unsigned v = h[3];
	std::string body = tag.substr(10);
	if ((out->flags & 0x80) != 0 && v <= 3)
		body = unsync_decode(body);
	std::size_t pos = 0, len = body.size();
	if ((out->flags & 0x10) != 0 && v == 4) {
		if (len < 10)
			return false;
		len -= 10;
	}
	if ((out->flags & 0x40) != 0 && v >= 3) {
		// The extended header: its size counts itself in 2.4, not in 2.3.
		if (len < 4)
			return false;
		std::uint64_t ext = id3_size(reinterpret_cast<const unsigned char *>(body.data()), v == 4);
		ext += v == 3 ? 4 : 0;
		if (ext > len)
			return false;
		pos = static_cast<std::size_t>(ext);
	}
	std::vector<raw_frame> frames;
	std::size_t end;
	if (!walk_frames(body, v, pos, len, &frames, &end) || !zeros_from(body.substr(0, len), end))
		return false;
	const std::size_t hsize = v < 3 ? 6 : 10;
	int comments = 0;
	for (const raw_frame &fr : frames) {
		id3_item it;
		it.itunes = fr.itunes;
		it.id = body.substr(fr.pos, v < 3 || fr.itunes ? 3 : 4);
		it.flags = v < 3 ? 0
				 : (static_cast<unsigned>(static_cast<unsigned char>(body[fr.pos + 8])) << 8) |
			static_cast<unsigned char>(body[fr.pos + 9]);
		it.raw = body.substr(fr.pos, fr.size);
		it.data = body.substr(fr.pos + hsize, fr.size - hsize);
		if (v == 4 && ((it.flags & 0x0002) != 0 || (out->flags & 0x80) != 0)) {
			it.data = unsync_decode(it.data);
			it.flags &= ~0x0002u; // how a frame is carried, not what it holds
		}
		it.field = item_field(it, v);
		it.secondary = it.field == W_TL_COMMENT && comments++ > 0;
		out->items.push_back(std::move(it));
	}
	return true;
}

namespace {

// A frame of a 2.4 tag made anew with its data unsynchronised, as every
// frame of a tag whose header says so must be.
std::string
unsync_frame(const std::string &raw)
{
	std::string data = unsync_encode(raw.substr(10));
	std::string out = raw.substr(0, 4);
	auto n = static_cast<std::uint32_t>(data.size());
	for (int shift = 21; shift >= 0; shift -= 7)
		out.push_back(static_cast<char>((n >> shift) & 0x7f));
	out.push_back(raw[8]);
	out.push_back(static_cast<char>(raw[9] | 0x02));
	return out + data;
}

} // namespace

/*
 * Version 2.2 names its frames with three characters; every standard one
 * but two has a frame of the same meaning and the same contents in version
 * 2.3 (ID3v2.3, appendix: the frames of 2.2 and 2.3 side by side).  CRM
 * (an encrypted frame of 2.2 alone) and LNK (whose contents name frames
 * by their 2.2 ids) have none; a picture names its image format where 2.3
 * has a MIME type.
 */
namespace {

const char *
id_v23(const std::string &id)
{
	static const char *const table[][2] = {{"BUF", "RBUF"}, {"CNT", "PCNT"}, {"COM", "COMM"},
	    {"CRA", "AENC"}, {"ETC", "ETCO"}, {"EQU", "EQUA"}, {"GEO", "GEOB"}, {"IPL", "IPLS"},
	    {"MCI", "MCDI"}, {"MLL", "MLLT"}, {"PIC", "APIC"}, {"POP", "POPM"}, {"REV", "RVRB"},
	    {"RVA", "RVAD"}, {"SLT", "SYLT"}, {"STC", "SYTC"}, {"TAL", "TALB"}, {"TBP", "TBPM"},
	    {"TCM", "TCOM"}, {"TCO", "TCON"}, {"TCR", "TCOP"}, {"TDA", "TDAT"}, {"TDY", "TDLY"},
	    {"TEN", "TENC"}, {"TFT", "TFLT"}, {"TIM", "TIME"}, {"TKE", "TKEY"}, {"TLA", "TLAN"},
	    {"TLE", "TLEN"}, {"TMT", "TMED"}, {"TOA", "TOPE"}, {"TOF", "TOFN"}, {"TOL", "TOLY"},
	    {"TOR", "TORY"}, {"TOT", "TOAL"}, {"TP1", "TPE1"}, {"TP2", "TPE2"}, {"TP3", "TPE3"},
	    {"TP4", "TPE4"}, {"TPA", "TPOS"}, {"TPB", "TPUB"}, {"TRC", "TSRC"}, {"TRD", "TRDA"},
	    {"TRK", "TRCK"}, {"TSI", "TSIZ"}, {"TSS", "TSSE"}, {"TT1", "TIT1"}, {"TT2", "TIT2"},
	    {"TT3", "TIT3"}, {"TXT", "TEXT"}, {"TXX", "TXXX"}, {"TYE", "TYER"}, {"UFI", "UFID"},
	    {"ULT", "USLT"}, {"WAF", "WOAF"}, {"WAR", "WOAR"}, {"WAS", "WOAS"}, {"WCM", "WCOM"},
	    {"WCP", "WCOP"}, {"WPB", "WPUB"}, {"WXX", "WXXX"}};
	for (const auto &row : table) {
		if (id == row[0])
			return row[1];
	}
	return nullptr;
}

// The contents of an APIC frame for those of a PIC frame: the image
// format (three characters) becomes a MIME type.
bool
picture_v23(const std::string &data, std::string *out)
{
	if (data.size() < 5)
		return false;
	std::string format = data.substr(1, 3);
	format.erase(format.find_last_not_of(std::string(" \0", 2)) + 1);
	std::string mime;
	if (format == "-->") {
		mime = format; // the picture is a link
	} else if (!format.empty() && std::all_of(format.begin(), format.end(), [](char c) {
			   return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
		   })) {
		for (char &c : format)
			c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
		mime = "image/" + (format == "jpg" ? std::string("jpeg") : format);
	} else {
		return false;
	}
	*out = data.substr(0, 1) + mime + std::string(1, '\0') + data.substr(4);
	return true;
}

} // namespace

std::string
id3v22_refusal(const std::string &refused)
{
	if (refused.empty())
		return "its ID3v2.2 tag cannot be written as version 2.3 without losing what it holds";
	return "its ID3v2.2 tag holds a frame " + w_escape(refused.data(), refused.size()) +
	    " that version 2.3 has no counterpart for; rewriting it would lose it";
}

bool
id3v22_to_23(const std::string &tag, std::string *out, std::string *refused)
{
	const auto *h = reinterpret_cast<const unsigned char *>(tag.data());
	// Of the flags of 2.2, unsynchronisation means the same in 2.3;
	// compression has no counterpart.
	if (tag.size() < 10 || tag.compare(0, 3, "ID3") != 0 || h[3] != 2 || (h[5] & 0x7f) != 0)
		return false;
	std::string body = tag.substr(10);
	const bool unsync = (h[5] & 0x80) != 0;
	if (unsync)
		body = unsync_decode(body);
	std::vector<raw_frame> frames;
	std::size_t end;
	if (!walk_frames(body, 2, 0, body.size(), &frames, &end) || !zeros_from(body, end))
		return false;
	std::string neo;
	for (const raw_frame &fr : frames) {
		const std::string id = body.substr(fr.pos, 3);
		const char *id23 = id_v23(id);
		std::string data = body.substr(fr.pos + 6, fr.size - 6);
		if (id23 == nullptr || (id == "PIC" && !picture_v23(data, &data))) {
			if (refused != nullptr)
				*refused = id;
			return false;
		}
		const auto n = static_cast<std::uint32_t>(data.size());
		neo += std::string(id23) + static_cast<char>(n >> 24) + static_cast<char>((n >> 16) & 0xff) +
		    static_cast<char>((n >> 8) & 0xff) + static_cast<char>(n & 0xff) + std::string(2, '\0') + data;
	}
	// Version 2.3 unsynchronises the whole tag after its header, as 2.2.
	if (unsync)
		neo = unsync_encode(neo);
	// The tag's size when the frames fit it, else the padding it had.
	const std::uint64_t held = (unsync ? unsync_encode(body.substr(0, end)) : body.substr(0, end)).size();
	const std::uint64_t padding = tag.size() - 10 - std::min<std::uint64_t>(held, tag.size() - 10);
	std::uint64_t size = 10 + neo.size();
	size = size <= tag.size() ? tag.size() : size + padding;
	if (size - 10 >= (std::uint64_t{1} << 28))
		return false;
	*out = std::string("ID3\x03\0", 5) + static_cast<char>(h[5]);
	const auto n = static_cast<std::uint32_t>(size - 10);
	for (int shift = 21; shift >= 0; shift -= 7)
		out->push_back(static_cast<char>((n >> shift) & 0x7f));
	*out += neo;
	out->resize(static_cast<std::size_t>(size), '\0');
	return true;
}

// Rebuilds neo, the ID3v2 tag TagLib saved (empty when it saved none), from
// old_tag, the file's tag before the save, so that only the fields in
// changed are TagLib's.  *out is the new tag, empty when none is left.
// False when either tag is not one this can do.
bool
rebuild_tag(const std::string &old_tag, const std::string &neo, const bool changed[W_TL_NFIELDS],
    std::string *out)
{
	id3_tag old_parsed, new_parsed;
	// An extended header or a footer would need rewriting of its own.
	if (old_tag.empty() || !id3v2_parse(old_tag, &old_parsed) || old_parsed.version < 3 ||
	    (old_parsed.flags & 0x50) != 0)
		return false;
	if (!neo.empty() && (!id3v2_parse(neo, &new_parsed) || new_parsed.version != old_parsed.version ||
				new_parsed.flags != 0))
		return false;
	const unsigned v = old_parsed.version;
	const bool unsync = (old_parsed.flags & 0x80) != 0;

	// The frames TagLib rendered for each changed field, in its order.
	std::string fresh[W_TL_NFIELDS];
	std::size_t rendered_end = 10;
	for (const id3_item &it : new_parsed.items) {
		if (it.field >= 0 && changed[it.field] && !it.secondary)
			fresh[it.field] += unsync && v == 4 ? unsync_frame(it.raw) : it.raw;
		rendered_end += it.raw.size();
	}
	std::string body;
	bool placed[W_TL_NFIELDS] = {};
	for (const id3_item &it : old_parsed.items) {
		// The comment field is the first comment without a description;
		// the others stay as they are while it is set, and go with it
		// when it is cleared.
		const bool kept_beside = it.secondary && !fresh[it.field].empty();
		if (it.field < 0 || !changed[it.field] || kept_beside) {
			body += it.raw;
		} else if (!placed[it.field]) {
			body += fresh[it.field];
			placed[it.field] = true;
		}
	}
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (changed[i] && !placed[i])
			body += fresh[i];
	}

	out->clear();
	if (body.empty() && neo.empty())
		return true; // nothing is left to keep
	// Version 2.3 unsynchronises the whole tag, after its header.
	if (unsync && v == 3)
		body = unsync_encode(body);

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
