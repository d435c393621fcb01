/*
 * The proof of an MPEG file: its tags and its audio, found by a walk of
 * our own.  The ID3v2 tag at the start is as long as its header says (a
 * footer counted only when one is there); the trailing tags are an ID3v1
 * tag, APE tags whose items fill exactly the size they state, and Lyrics3
 * tags; the audio is the MPEG frames from the first frame after the ID3v2
 * tag to the last whole frame before the trailing tags.  Every byte
 * between the tags must stay, and no tag may claim audio frames as its
 * own: TagLib would rewrite them with the tag.
 */
#include "w_tlproofcore.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "w_tlframes.h"
#include "w_tlmodule.h"

namespace w_tl {

namespace {

struct span {
	std::uint64_t pos = 0;
	std::uint64_t len = 0;
	std::uint64_t end() const { return pos + len; }
};

// ---- MPEG audio frames ----

// Reads a view forward in large windows, for a walk over the whole audio.
class cursor {
public:
	cursor(const file_view &f, std::uint64_t end) : f_(f), end_(std::min(end, f.size())) {}

	// The four bytes at pos, or null when they run past the end.
	const unsigned char *four(std::uint64_t pos)
	{
		if (pos + 4 > end_)
			return nullptr;
		if (pos < start_ || pos + 4 > start_ + window_.size()) {
			start_ = pos;
			window_ = f_.read(pos, std::min<std::uint64_t>(end_ - pos, 1 << 16));
			if (window_.size() < 4)
				return nullptr;
		}
		return reinterpret_cast<const unsigned char *>(window_.data()) + (pos - start_);
	}
	std::uint64_t end() const { return end_; }

private:
	const file_view &f_;
	std::uint64_t end_;
	std::uint64_t start_ = 0;
	std::string window_;
};

struct frame_header {
	unsigned version; // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
	unsigned layer;   // 3: layer I, 2: layer II, 1: layer III
	unsigned rate;
	std::uint32_t length;
};

// The MPEG audio frame header at b, with the length of its frame; false
// for anything a decoder would not take as one (free format included,
// whose length only the next frame tells).
bool
parse_header(const unsigned char *b, frame_header *h)
{
	if (b[0] != 0xff || (b[1] & 0xe0) != 0xe0)
		return false;
	const unsigned version = (b[1] >> 3) & 3, layer = (b[1] >> 1) & 3;
	const unsigned index = b[2] >> 4, rate_index = (b[2] >> 2) & 3, padding = (b[2] >> 1) & 1;
	if (version == 1 || layer == 0 || index == 0 || index == 15 || rate_index == 3)
		return false;
	static const unsigned short kbits[2][3][15] = {
	    // MPEG-1: layers III, II, I
	    {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
		{0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
		{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}},
	    // MPEG-2 and 2.5
	    {{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
		{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
		{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}}};
	static const unsigned rates[3] = {44100, 48000, 32000};
	const bool v1 = version == 3;
	const std::uint32_t bits = 1000u * kbits[v1 ? 0 : 1][layer - 1][index];
	const unsigned rate = rates[rate_index] >> (v1 ? 0 : version == 2 ? 1 : 2);
	std::uint32_t length;
	if (layer == 3)
		length = (12 * bits / rate + padding) * 4;
	else if (layer == 1 && !v1)
		length = 72 * bits / rate + padding;
	else
		length = 144 * bits / rate + padding;
	*h = {version, layer, rate, length};
	return length >= 4;
}

// A whole frame at pos, ending by end: the frame that follows it is of the
// same kind, or it ends exactly at end.  A lone frame sync in other bytes
// seldom passes both.
bool
confirmed_frame(cursor &c, std::uint64_t pos, frame_header *h)
{
	const unsigned char *b = c.four(pos);
	if (b == nullptr || !parse_header(b, h) || pos + h->length > c.end())
		return false;
	if (pos + h->length == c.end())
		return true;
	frame_header next;
	const unsigned char *n = c.four(pos + h->length);
	return n != nullptr && parse_header(n, &next) && next.version == h->version && next.layer == h->layer &&
	    next.rate == h->rate;
}

// The first confirmed frame from pos on, or end.
std::uint64_t
next_frame(cursor &c, std::uint64_t pos)
{
	frame_header h;
	for (; pos + 4 <= c.end(); pos++) {
		const unsigned char *b = c.four(pos);
		if (b != nullptr && b[0] == 0xff && (b[1] & 0xe0) == 0xe0 && confirmed_frame(c, pos, &h))
			return pos;
	}
	return c.end();
}

// The audio between start and end: from the first frame to the end of
// the last whole one, over whatever lies between frames.
span
audio_frames(const file_view &f, std::uint64_t start, std::uint64_t end)
{
	cursor c(f, end);
	const std::uint64_t first = next_frame(c, start);
	std::uint64_t pos = first, last = first;
	while (pos < c.end()) {
		frame_header h;
		const unsigned char *b = c.four(pos);
		if (b != nullptr && parse_header(b, &h) && pos + h.length <= c.end()) {
			pos += h.length;
			last = pos;
		} else {
			pos = next_frame(c, pos + 1);
		}
	}
	return {first, last - first};
}

// ---- APE, Lyrics3 and ID3v1, at the end of the file ----

int
ape_field(std::string key)
{
	for (char &c : key)
		c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
	static const char *const keys[W_TL_NFIELDS] = {"TITLE", "ARTIST", "YEAR", "ALBUM", "TRACK", "GENRE",
	    "COMMENT"};
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (key == keys[i])
			return i;
	}
	return -1;
}

// The APE tag whose footer ends at end, when its items fill exactly the
// size the footer states (and a header is there when it says so): its
// whole span and its items.
bool
ape_tag(const file_view &f, std::uint64_t floor, std::uint64_t end, span *tag, std::vector<tag_item> *out)
{
	if (end < floor + 32)
		return false;
	const std::string footer = f.read(end - 32, 32);
	if (footer.compare(0, 8, "APETAGEX") != 0)
		return false;
	const std::uint32_t size = le32(footer, 12), count = le32(footer, 16);
	const bool header = (le32(footer, 20) & 0x80000000u) != 0;
	if (size < 32 || size > end - floor - (header ? 32 : 0))
		return false;
	const std::uint64_t items_at = end - size;
	if (header && f.read(items_at - 32, 8) != "APETAGEX")
		return false;
	const std::string d = f.read(items_at, size - 32);
	std::vector<tag_item> items;
	std::size_t pos = 0;
	for (std::uint32_t i = 0; i < count; i++) {
		if (d.size() - pos < 8)
			return false;
		const std::uint32_t n = le32(d, pos);
		const std::size_t nul = d.find('\0', pos + 8);
		if (nul == std::string::npos || n > d.size() - nul - 1)
			return false;
		const std::string key = d.substr(pos + 8, nul - pos - 8);
		items.push_back({"APE items", key, d.substr(pos + 4, 4) + key + '\0' + d.substr(nul + 1, n),
		    ape_field(key)});
		pos = nul + 1 + n;
	}
	if (pos != d.size())
		return false;
	*tag = {items_at - (header ? 32 : 0), end - (items_at - (header ? 32 : 0))};
	out->insert(out->end(), items.begin(), items.end());
	return true;
}

// A Lyrics3 tag (version 1 or 2) ending at end.
bool
lyrics3_tag(const file_view &f, std::uint64_t floor, std::uint64_t end, span *tag)
{
	if (end < floor + 20)
		return false;
	const std::string tail = f.read(end - 15, 15);
	if (tail.compare(6, 9, "LYRICS200") == 0) {
		if (tail.find_first_not_of("0123456789", 0) < 6)
			return false;
		const std::uint64_t n = std::stoul(tail.substr(0, 6));
		if (n < 11 || n > end - 15 - floor || f.read(end - 15 - n, 11) != "LYRICSBEGIN")
			return false;
		*tag = {end - 15 - n, n + 15};
		return true;
	}
	if (tail.compare(6, 9, "LYRICSEND") != 0)
		return false;
	// Version 1 holds at most 5100 bytes of lyrics.
	const std::uint64_t from = std::max(floor, end - std::min<std::uint64_t>(end, 9 + 5100 + 11));
	const std::string d = f.read(from, end - 9 - from);
	const std::size_t at = d.rfind("LYRICSBEGIN");
	if (at == std::string::npos)
		return false;
	*tag = {from + at, end - from - at};
	return true;
}

// The fields of an ID3v1 tag, byte for byte.  Version 1.1 keeps a track
// number in the last two bytes of the comment; where version 1.0 has only
// blanks there, they are no part of the comment either.
void
id3v1_items(const std::string &t, std::vector<tag_item> *out)
{
	const bool has_track = t[125] == '\0' && t[126] != '\0';
	std::string end = has_track ? "" : t.substr(125, 2);
	if (end.find_first_not_of(std::string(" \0", 2)) == std::string::npos)
		end.clear();
	const std::pair<const char *, std::pair<std::string, int>> fields[] = {
	    {"title", {t.substr(3, 30), W_TL_TITLE}},
	    {"artist", {t.substr(33, 30), W_TL_ARTIST}},
	    {"album", {t.substr(63, 30), W_TL_ALBUM}},
	    {"year", {t.substr(93, 4), W_TL_YEAR}},
	    {"comment", {t.substr(97, 28) + end, W_TL_COMMENT}},
	    {"track", {has_track ? t.substr(126, 1) : "", W_TL_TRACK}},
	    {"genre", {t.substr(127, 1), W_TL_GENRE}},
	};
	for (const auto &[name, value] : fields) {
		if (std::string(name) != "track" || has_track)
			out->push_back({"ID3v1 fields", name, std::string(name) + '\0' + value.first, value.second});
	}
}

// ---- The whole file ----

struct mpeg_file {
	span id3v2;         // by our reading of its header
	bool footer_claimed; // its header claims a footer that is not there
	std::string header; // the ID3v2 tag's version and flags
	std::string tag;    // the whole ID3v2 tag
	std::uint64_t trailing; // where the trailing tags start
	std::uint64_t ape_claim; // where TagLib takes its APE tag to start (trailing when none)
	std::vector<tag_item> items;
};

// The tags of an MPEG file and their items; false when a tag cannot be
// read whole.
bool
mpeg_tags(const file_view &f, mpeg_file *m, std::string *why)
{
	*m = mpeg_file{};
	const std::uint64_t size = f.size();
	const std::string head = f.read(0, 10);
	const std::uint64_t tag = std::min(id3v2_size(head), size);
	if (tag > 0) {
		m->id3v2 = {0, tag};
		m->header = head.substr(3, 3);
		const bool footer = head[3] == 4 && (head[5] & 0x10) != 0;
		if (footer && f.read(tag - 10, 3) != "3DI") {
			m->id3v2.len -= 10;
			m->footer_claimed = true;
		}
		m->tag = f.read(0, m->id3v2.len);
		if (!id3v2_items(m->tag, &m->items)) {
			*why = "would lose a tag that cannot be read whole";
			return false;
		}
	}
	const std::uint64_t floor = m->id3v2.end();
	std::uint64_t end = size;
	if (end >= floor + 128 && f.read(end - 128, 3) == "TAG") {
		id3v1_items(f.read(end - 128, 128), &m->items);
		end -= 128;
	}
	// TagLib looks for an APE footer there only, and takes the size it
	// states, whatever the tag holds.
	m->ape_claim = end;
	if (end >= floor + 32) {
		const std::string footer = f.read(end - 32, 32);
		if (footer.compare(0, 8, "APETAGEX") == 0) {
			const std::uint64_t whole = std::uint64_t{le32(footer, 12)} +
			    ((le32(footer, 20) & 0x80000000u) != 0 ? 32 : 0);
			m->ape_claim = whole > end ? 0 : end - whole;
		}
	}
	for (;;) {
		span t;
		if (ape_tag(f, floor, end, &t, &m->items) || lyrics3_tag(f, floor, end, &t))
			end = t.pos;
		else
			break;
	}
	m->trailing = end;
	if (m->ape_claim < end)
		*why = "would lose an APE tag that cannot be read whole";
	return m->ape_claim >= end;
}

// The header of the old tag as a new one must keep it, and the old items
// as they must be found in it: those of the version 2.3 tag a version 2.2
// tag becomes, when the new tag is of that version.
void
as_converted(const mpeg_file &old, const mpeg_file &neo, std::string *header, std::vector<tag_item> *items)
{
	*header = old.header;
	*items = old.items;
	if (old.header.empty() || old.header[0] != 2 || neo.header.empty() || neo.header[0] != 3)
		return;
	std::string converted;
	std::vector<tag_item> frames;
	if (!id3v22_to_23(old.tag, &converted) || !id3v2_items(converted, &frames))
		return;
	*header = converted.substr(3, 3);
	items->erase(std::remove_if(items->begin(), items->end(),
			 [](const tag_item &it) { return std::string(it.kind) == "frames"; }),
	    items->end());
	items->insert(items->begin(), frames.begin(), frames.end());
}

} // namespace

void
prove_mpeg(const file_view &old, const file_view &neo, const item_rule &rule, verdict *v)
{
	mpeg_file o, n;
	std::string why;
	if (!mpeg_tags(old, &o, &why)) {
		// Whether the bytes it claims are audio frames or not, TagLib
		// would rewrite them with the tag.
		const span audio = audio_frames(old, o.id3v2.end(), o.trailing);
		return v->fail(audio.len > 0 && o.ape_claim < audio.end()
			? "would cut the audio that its APE footer claims as a tag"
			: why);
	}
	const span audio = audio_frames(old, o.id3v2.end(), o.trailing);
	if (o.footer_claimed && audio.len > 0 && audio.pos < o.id3v2.end() + 10)
		return v->fail("would cut the audio that its ID3v2 header claims as a footer");
	if (!mpeg_tags(neo, &n, &why) || n.footer_claimed)
		return v->fail("would leave a tag that cannot be read back");
	std::string header;
	std::vector<tag_item> old_items;
	as_converted(o, n, &header, &old_items);
	if (!header.empty() && !n.header.empty() && header != n.header)
		v->fail("would change the ID3v2 header");
	compare(old_items, n.items, rule, v);
	// The audio, and every byte around it between the tags, where the
	// new tags put them.
	const std::uint64_t old_len = o.trailing - o.id3v2.end();
	const std::uint64_t new_len = n.trailing - std::min(n.trailing, n.id3v2.end());
	const std::uint64_t audio_at = n.id3v2.end() + (audio.pos - o.id3v2.end());
	if (audio.end() - o.id3v2.end() > new_len || !old.same(audio.pos, neo, audio_at, audio.len))
		return v->fail("would change the audio");
	if (new_len != old_len || !old.same(o.id3v2.end(), neo, n.id3v2.end(), old_len))
		v->fail("would change the bytes beside the audio");
}

} // namespace w_tl
