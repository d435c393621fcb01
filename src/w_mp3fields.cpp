#include "w_mp3fields.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include "w_tlframes.h"
#include "w_utf8.h"

namespace w_tl {

namespace {

using uchar = unsigned char;

// ---- Strings, as TagLib decodes them ----

void
put_utf8(std::string *out, std::uint32_t u)
{
	if (u < 0x80) {
		out->push_back(static_cast<char>(u));
	} else if (u < 0x800) {
		out->push_back(static_cast<char>(0xc0 | (u >> 6)));
		out->push_back(static_cast<char>(0x80 | (u & 0x3f)));
	} else {
		out->push_back(static_cast<char>(0xe0 | (u >> 12)));
		out->push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3f)));
		out->push_back(static_cast<char>(0x80 | (u & 0x3f)));
	}
}

// The text of the bytes b in an ID3v2 text encoding, cut at its first NUL
// as TagLib cuts its strings; false for bytes whose reading by TagLib is
// not plainly this (a UTF-16 string without its byte order mark, an odd
// length, surrogates, malformed UTF-8 or a UTF-8 byte order mark).
bool
decode(const std::string &b, unsigned enc, std::string *out)
{
	out->clear();
	if (b.empty())
		return true;
	switch (enc) {
	case 0: // Latin-1
		for (char c : b)
			put_utf8(out, static_cast<uchar>(c));
		break;
	case 3: // UTF-8
		if (b.compare(0, 3, "\xef\xbb\xbf") == 0 || !w_utf8_valid(b.data(), b.size()))
			return false;
		*out = b;
		break;
	case 1: // UTF-16 with a byte order mark
	case 2: // UTF-16, big-endian
	{
		std::size_t i = 0;
		bool big = true;
		if (enc == 1) {
			if (b.size() < 2)
				return false;
			const uchar b0 = static_cast<uchar>(b[0]), b1 = static_cast<uchar>(b[1]);
			if (b0 == 0xfe && b1 == 0xff)
				big = true;
			else if (b0 == 0xff && b1 == 0xfe)
				big = false;
			else
				return false;
			i = 2;
		}
		if ((b.size() - i) % 2 != 0)
			return false;
		for (; i < b.size(); i += 2) {
			const std::uint32_t hi = static_cast<uchar>(b[big ? i : i + 1]);
			const std::uint32_t lo = static_cast<uchar>(b[big ? i + 1 : i]);
			const std::uint32_t u = hi << 8 | lo;
			if (u >= 0xd800 && u <= 0xdfff)
				return false;
			put_utf8(out, u);
		}
		break;
	}
	default:
		return false;
	}
	const std::size_t nul = out->find('\0');
	if (nul != std::string::npos)
		out->resize(nul);
	return true;
}

// The position of the delimiter (align NUL bytes) in v from pos on, at a
// multiple of align; npos for none.
std::size_t
find_delimiter(const std::string &v, std::size_t pos, std::size_t align)
{
	for (; pos + align <= v.size(); pos += align) {
		if (v[pos] == '\0' && (align == 1 || v[pos + 1] == '\0'))
			return pos;
	}
	return std::string::npos;
}

// The values of a text frame, as TagLib lists them: trailing NULs dropped,
// split at each delimiter, empty values left out.
bool
text_values(const std::string &data, std::vector<std::string> *values)
{
	values->clear();
	if (data.size() < 2)
		return false;
	const unsigned enc = static_cast<uchar>(data[0]);
	if (enc > 3)
		return false;
	const std::size_t align = enc == 0 || enc == 3 ? 1 : 2;
	std::size_t len = data.size() - 1;
	while (len > 0 && data[len] == '\0')
		len--;
	while (len % align != 0)
		len++;
	const std::string v = data.substr(1, len);
	std::size_t prev = 0;
	std::vector<std::string> pieces;
	for (std::size_t at = find_delimiter(v, 0, align); at != std::string::npos;
	     at = find_delimiter(v, at + align, align)) {
		pieces.push_back(v.substr(prev, at - prev));
		prev = at + align;
	}
	if (prev < v.size())
		pieces.push_back(v.substr(prev));
	for (const std::string &p : pieces) {
		if (p.empty())
			continue;
		std::string s;
		if (!decode(p, enc, &s))
			return false;
		values->push_back(s);
	}
	return true;
}

std::string
joined(const std::vector<std::string> &values)
{
	std::string s;
	for (std::size_t i = 0; i < values.size(); i++)
		s += (i == 0 ? "" : " ") + values[i];
	return s;
}

// A comment frame: whether its description is empty, and its text.
bool
comment_of(const std::string &data, bool *plain, std::string *text)
{
	*plain = true;
	text->clear();
	if (data.size() < 5)
		return false;
	const unsigned enc = static_cast<uchar>(data[0]);
	if (enc > 3)
		return false;
	const std::size_t align = enc == 0 || enc == 3 ? 1 : 2;
	const std::string v = data.substr(4);
	const std::size_t at = find_delimiter(v, 0, align);
	// TagLib takes the description and the text only when both are
	// there (the text not empty); else the frame holds neither.
	if (at == std::string::npos || at + align >= v.size())
		return true;
	std::string description;
	if (!decode(v.substr(0, at), enc, &description) || !decode(v.substr(at + align), enc, text))
		return false;
	*plain = description.empty();
	return true;
}

// ---- Numbers, as TagLib's String::toInt reads them ----

// Whether s is plain ASCII, which TagLib's number reading (wcstol) reads
// as the C library reads bytes.
bool
ascii(const std::string &s)
{
	return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<uchar>(c) < 0x80; });
}

unsigned int
to_int(const std::string &s)
{
	const long v = std::strtol(s.c_str(), nullptr, 10);
	return static_cast<unsigned int>(static_cast<int>(v));
}

// Whether TagLib would take s for a number (it then shows a genre of
// that number): blanks, a sign and digits to the end.
bool
number_like(const std::string &s, bool *unsure)
{
	std::size_t i = s.find_first_not_of(" \t\n\v\f\r");
	*unsure = i != std::string::npos && static_cast<uchar>(s[i]) >= 0x80;
	if (i == std::string::npos)
		return false;
	if (s[i] == '+' || s[i] == '-')
		i++;
	return i < s.size() && s.find_first_not_of("0123456789", i) == std::string::npos;
}

// ---- The ID3v2 tag ----

struct id3v2_fields {
	std::string text[W_TL_NFIELDS];
	unsigned int number[W_TL_NFIELDS] = {};
};

// The frame ids TagLib reads a basic field from, as it names them (a
// version 2.3 year frame is read as that of 2.4).
int
basic_field(const std::string &id)
{
	static const std::pair<const char *, int> ids[] = {{"TIT2", W_TL_TITLE}, {"TPE1", W_TL_ARTIST},
	    {"TALB", W_TL_ALBUM}, {"TCON", W_TL_GENRE}, {"TRCK", W_TL_TRACK}, {"TDRC", W_TL_YEAR},
	    {"COMM", W_TL_COMMENT}};
	for (const auto &[name, field] : ids) {
		if (id == name)
			return field;
	}
	return -1;
}

bool
genre_of(const std::vector<std::string> &values, std::string *out)
{
	std::vector<std::string> genres;
	for (const std::string &g : values) {
		bool unsure;
		// A number or a "(number)" is an ID3v1 genre, named by TagLib's
		// own table: TagLib reads it.
		if (g.empty())
			continue;
		if (g[0] == '(' || number_like(g, &unsure) || unsure)
			return false;
		if (std::find(genres.begin(), genres.end(), g) == genres.end())
			genres.push_back(g);
	}
	*out = joined(genres);
	return true;
}

bool
id3v2_read(const std::string &tag, id3v2_fields *out)
{
	id3_tag parsed;
	if (!id3v2_parse(tag, &parsed) || (parsed.version != 3 && parsed.version != 4) || parsed.flags != 0)
		return false;
	const unsigned v = parsed.version;
	// The first frame of each field, and the first comment without a
	// description.
	const id3_item *first[W_TL_NFIELDS] = {};
	bool comment_found = false;
	for (const id3_item &it : parsed.items) {
		if (it.itunes)
			return false;
		// Version 2.3's date parts, which TagLib folds into the date, and
		// a misspelt date TagLib renames.
		if ((v == 3 && (it.id == "TDAT" || it.id == "TIME" || it.id == "TRDA")) || (v == 4 && it.id == "TRDC"))
			return false;
		const int field = basic_field(v == 3 && it.id == "TYER" ? "TDRC" : it.id);
		if (field < 0)
			continue;
		// Compressed, encrypted, grouped or unsynchronised frames, and
		// any other flag, are TagLib's to read.
		if (it.raw.size() < 10 || it.raw[8] != '\0' || it.raw[9] != '\0')
			return false;
		if (field == W_TL_COMMENT) {
			bool plain;
			std::string text;
			if (!comment_of(it.data, &plain, &text))
				return false;
			if (plain && !comment_found) {
				out->text[W_TL_COMMENT] = text;
				comment_found = true;
			}
			continue;
		}
		if (first[field] == nullptr)
			first[field] = &it;
	}
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (first[i] == nullptr)
			continue;
		std::vector<std::string> values;
		if (!text_values(first[i]->data, &values))
			return false;
		if (i == W_TL_GENRE) {
			if (!genre_of(values, &out->text[i]))
				return false;
			continue;
		}
		const std::string s = joined(values);
		if (i == W_TL_YEAR || i == W_TL_TRACK) {
			if (!ascii(s))
				return false;
			out->number[i] = to_int(i == W_TL_YEAR ? s.substr(0, 4) : s);
			continue;
		}
		out->text[i] = s;
	}
	return true;
}

// ---- The ID3v1 tag ----

// A text of an ID3v1 tag: up to its first NUL, blanks stripped; false for
// bytes after a NUL, control characters and the no-break space, whose
// reading depends on more than this.
bool
v1_text(const std::string &b, bool strip, std::string *out)
{
	out->clear();
	const std::size_t nul = std::min(b.find('\0'), b.size());
	if (b.find_first_not_of('\0', nul) != std::string::npos)
		return false;
	std::string s = b.substr(0, nul);
	for (char c : s) {
		const uchar u = static_cast<uchar>(c);
		if (u < 0x20 || (u >= 0x7f && u <= 0xa0))
			return false;
	}
	const std::size_t from = s.find_first_not_of(' ');
	if (from == std::string::npos)
		s.clear();
	else
		s = s.substr(from, s.find_last_not_of(' ') - from + 1);
	if (!strip && s.size() != nul)
		return false;
	for (char c : s)
		put_utf8(out, static_cast<uchar>(c));
	return true;
}

struct id3v1_fields {
	std::string title, artist, album, comment;
	unsigned int year = 0, track = 0, genre = 255;
};

bool
id3v1_read(const std::string &t, id3v1_fields *out)
{
	std::string year;
	if (!v1_text(t.substr(3, 30), true, &out->title) || !v1_text(t.substr(33, 30), true, &out->artist) ||
	    !v1_text(t.substr(63, 30), true, &out->album) || !v1_text(t.substr(93, 4), true, &year))
		return false;
	if (year.find_first_not_of("0123456789") != std::string::npos)
		return false;
	out->year = year.empty() ? 0 : to_int(year);
	if (t[125] == '\0' && t[126] != '\0') {
		if (!v1_text(t.substr(97, 28), true, &out->comment))
			return false;
		out->track = static_cast<uchar>(t[126]);
	} else if (!v1_text(t.substr(97, 30), false, &out->comment)) {
		return false;
	}
	out->genre = static_cast<uchar>(t[127]);
	return true;
}

// ---- MPEG audio ----

// The length of the MPEG layer III frame whose header is h, as TagLib
// computes it; 0 for a header that is no such frame.  Other layers are
// left to TagLib.
std::uint32_t
layer3_length(std::uint32_t h)
{
	const unsigned version = (h >> 19) & 3, layer = (h >> 17) & 3;
	const unsigned index = (h >> 12) & 15, rate_index = (h >> 10) & 3, padding = (h >> 9) & 1;
	if ((h >> 21) != 0x7ff || version == 1 || layer != 1 || index == 0 || index == 15 || rate_index == 3)
		return 0;
	static const unsigned short kbits[2][15] = {
	    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
	    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
	static const unsigned rates[3] = {44100, 48000, 32000};
	const bool v1 = version == 3;
	const unsigned rate = rates[rate_index] >> (v1 ? 0 : version == 2 ? 1 : 2);
	return (v1 ? 144u : 72u) * kbits[v1 ? 0 : 1][index] * 1000u / rate + padding;
}

std::uint32_t
be32_at(const std::string &s, std::size_t at)
{
	return static_cast<std::uint32_t>(static_cast<uchar>(s[at])) << 24 | static_cast<uchar>(s[at + 1]) << 16 |
	    static_cast<uchar>(s[at + 2]) << 8 | static_cast<uchar>(s[at + 3]);
}

// Whether the audio starts at pos with a frame TagLib takes as its first:
// its header and the next frame's agree on version, layer and rate.
bool
audio_at(const std::string &b, std::size_t pos)
{
	if (pos + 4 > b.size())
		return false;
	const std::uint32_t h = be32_at(b, pos);
	const std::uint32_t len = layer3_length(h);
	if (len < 4 || pos + len + 4 > b.size())
		return false;
	const std::uint32_t mask = 0xfffe0c00;
	return (be32_at(b, pos + len) & mask) == (h & mask);
}

} // namespace

bool
mp3_named(const char *path)
{
	const char *dot = std::strrchr(path, '.');
	return dot != nullptr && strcasecmp(dot + 1, "mp3") == 0;
}

bool
mp3_fields(const read_at &read, std::uint64_t size, raw_fields *out)
{
	*out = raw_fields{};
	// The tag, its first audio frame and the one after it.
	constexpr std::size_t audio_span = 1441 + 4;
	std::string b;
	if (size < 10 || !read(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, 4096)), &b) || b.size() < 10)
		return false;
	const auto *h = reinterpret_cast<const uchar *>(b.data());
	if (b.compare(0, 3, "ID3") != 0 || (h[3] != 3 && h[3] != 4) || h[5] != 0 || (h[6] | h[7] | h[8] | h[9]) >= 0x80)
		return false;
	const std::uint64_t tag_size = 10 + id3_size(h + 6, true);
	if (tag_size == 10 || tag_size + 4 + 160 > size)
		return false;
	const std::uint64_t need = std::min<std::uint64_t>(size, tag_size + audio_span);
	if (b.size() < need && (!read(0, static_cast<std::size_t>(need), &b) || b.size() < need))
		return false;
	if (!audio_at(b, static_cast<std::size_t>(tag_size)))
		return false;
	id3v2_fields v2;
	if (!id3v2_read(b.substr(0, static_cast<std::size_t>(tag_size)), &v2))
		return false;

	// The tags at the end: an ID3v1 tag is read; any sign of an APE tag
	// (whose fields TagLib reads between the two) is TagLib's.
	std::string tail;
	if (!read(size - 160, 160, &tail) || tail.size() != 160)
		return false;
	if (tail.compare(0, 8, "APETAGEX") == 0 || tail.compare(29, 8, "APETAGEX") == 0 ||
	    tail.compare(128, 8, "APETAGEX") == 0)
		return false;
	const bool has_v1 = tail.compare(32, 3, "TAG") == 0;
	id3v1_fields v1;
	if (has_v1 && !id3v1_read(tail.substr(32), &v1))
		return false;

	// Each field from the first tag that has it, ID3v2 before ID3v1.
	const std::string *v1_text[W_TL_NFIELDS] = {&v1.title, &v1.artist, nullptr, &v1.album, nullptr, nullptr,
	    &v1.comment};
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (i == W_TL_YEAR || i == W_TL_TRACK) {
			const unsigned int v1n = i == W_TL_YEAR ? v1.year : v1.track;
			out->number[i] = v2.number[i] != 0 ? v2.number[i] : v1n;
			continue;
		}
		out->text[i] = v2.text[i];
		if (!out->text[i].empty() || !has_v1)
			continue;
		if (i == W_TL_GENRE) {
			// ID3v1 genres are numbers named by TagLib's table.
			if (v1.genre != 255)
				return false;
			continue;
		}
		out->text[i] = *v1_text[i];
	}
	return true;
}

} // namespace w_tl
