/*
 * The TagLib write path, differentially: the input describes an MP3, WAV
 * or AIFF file with a random ID3v2.3 or 2.4 tag (random frames, flags,
 * encodings, padding, unsynchronisation, sometimes an ID3v1 tag, an APE or
 * Lyrics3 tag or a lone APE footer at the end of an MP3 file, sometimes
 * bytes flipped) and one change of one field; or, after "FILE", it is a
 * whole music file as collections of odd files hold them, whose artist is
 * set.  The TagLib module either
 * refuses the change or plans a new file in which a reader of our own,
 * sharing nothing with the module, finds every frame of the other fields
 * and the audio as they were, and the field reads back as asked.  Before
 * the change, our own reading of an MP3 file's fields (the one a print
 * uses) either declines or finds every field as TagLib reads it.
 */
#include "w_fuzz_checks.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "w_mp3fields.h"
#include "w_tlmodule.h"

extern "C" const struct w_tlmodule *w_tlmodule_entry(void);

namespace wf {

namespace {

[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string scratch_path;

void
fail(const char *fmt, ...)
{
	std::va_list ap;
	va_start(ap, fmt);
	std::fputs("fuzz: property broken: taglib: ", stderr);
	std::vfprintf(stderr, fmt, ap);
	std::fputc('\n', stderr);
	va_end(ap);
	std::fflush(stderr);
	if (!scratch_path.empty())
		unlink(scratch_path.c_str());
	broken();
	std::abort();
}

// Takes the input byte by byte; zeros once it is used up.
struct input {
	const std::uint8_t *p;
	std::size_t n;
	unsigned byte()
	{
		if (n == 0)
			return 0;
		n--;
		return *p++;
	}
	unsigned below(unsigned k) { return k == 0 ? 0 : byte() % k; }
	bool one_in(unsigned k) { return below(k) == 0; }
	std::string bytes(std::size_t len)
	{
		std::string s;
		for (std::size_t i = 0; i < len; i++)
			s.push_back(static_cast<char>(byte()));
		return s;
	}
	std::string text(std::size_t len)
	{
		static const char letters[] = "abcXYZ 09-/\xc3\xa9";
		std::string s;
		for (std::size_t i = 0; i < len; i++)
			s.push_back(letters[below(sizeof(letters) - 1)]);
		return s;
	}
};

std::string
be(std::uint32_t v, int bytes, bool synchsafe = false)
{
	std::string s(static_cast<std::size_t>(bytes), '\0');
	for (int i = bytes - 1; i >= 0; i--) {
		s[static_cast<std::size_t>(i)] = static_cast<char>(synchsafe ? v & 0x7f : v & 0xff);
		v >>= synchsafe ? 7 : 8;
	}
	return s;
}

std::string
le(std::uint32_t v, int bytes)
{
	std::string s;
	for (int i = 0; i < bytes; i++, v >>= 8)
		s.push_back(static_cast<char>(v & 0xff));
	return s;
}

std::string
unsync(const std::string &d)
{
	std::string out;
	for (std::size_t i = 0; i < d.size(); i++) {
		out.push_back(d[i]);
		const auto c = static_cast<unsigned char>(d[i]);
		if (c == 0xff && (i + 1 == d.size() || static_cast<unsigned char>(d[i + 1]) >= 0xe0 || d[i + 1] == 0))
			out.push_back('\0');
	}
	return out;
}

std::string
resync(const std::string &d)
{
	std::string out;
	for (std::size_t i = 0; i < d.size(); i++) {
		out.push_back(d[i]);
		if (static_cast<unsigned char>(d[i]) == 0xff && i + 1 < d.size() && d[i + 1] == 0)
			i++;
	}
	return out;
}

const char *const ids[] = {"TIT2", "TPE1", "TALB", "TCON", "TRCK", "TYER", "TDRC", "TDAT", "COMM", "COMM",
    "TXXX", "RVAD", "TSIZ", "PRIV", "TPE2", "TIME", "TLEN", "WXXX"};

// A random tag of version 2.3 or 2.4.
std::string
random_tag(input &in)
{
	const unsigned v = in.one_in(2) ? 3 : 4;
	const bool whole_unsync = in.one_in(4);
	std::string body;
	for (unsigned count = in.below(9); count > 0; count--) {
		std::string id = ids[in.below(sizeof(ids) / sizeof(ids[0]))];
		std::string data;
		const unsigned enc = in.one_in(8) ? in.byte() : in.below(4);
		if (id == "COMM")
			data = std::string(1, static_cast<char>(enc)) + "eng" + (in.one_in(2) ? "" : in.text(3)) +
			    std::string(enc == 1 || enc == 2 ? 2 : 1, '\0') + in.text(in.below(8));
		else if (id[0] == 'T')
			data = std::string(1, static_cast<char>(enc)) + in.text(in.below(10));
		else
			data = in.bytes(in.below(16));
		unsigned flags = in.one_in(3) ? (in.byte() << 8 | in.byte()) : 0;
		if (v == 4 && whole_unsync)
			flags |= 0x02;
		if (v == 4 && (flags & 0x02) != 0)
			data = unsync(data);
		body += id + be(static_cast<std::uint32_t>(data.size()), 4, v == 4) + be(flags, 2) + data;
	}
	body += std::string(in.below(64), '\0');
	if (whole_unsync && v == 3)
		body = unsync(body);
	return std::string("ID3") + static_cast<char>(v) + '\0' + static_cast<char>(whole_unsync ? 0x80 : 0) +
	    be(static_cast<std::uint32_t>(body.size()), 4, true) + body;
}

// Silent MPEG-1 layer III frames, 128 kbit/s, 44.1 kHz, mono.
std::string
mpeg_audio()
{
	std::string frame = std::string("\xff\xfb\x90\xc4", 4) + std::string(413, '\0');
	std::string out;
	for (int i = 0; i < 8; i++)
		out += frame;
	return out;
}

enum kind { mp3, wav, aiff };

std::string
make_file(input &in, kind k)
{
	const std::string tag = random_tag(in);
	if (k == mp3) {
		std::string f = tag + mpeg_audio();
		if (in.one_in(3))
			f += "TAG" + in.text(30) + std::string(30, '\0') + in.text(30) + "1999" + std::string(29, '\0') +
			    '\x05' + '\x11';
		return f;
	}
	const bool big = k == aiff;
	auto chunk = [&](const std::string &name, const std::string &data) {
		std::string c = name + (big ? be(static_cast<std::uint32_t>(data.size()), 4) : le(static_cast<std::uint32_t>(data.size()), 4)) + data;
		if (data.size() & 1)
			c.push_back('\0');
		return c;
	};
	std::string samples;
	for (int i = 0; i < 400; i++)
		samples += std::string(1, static_cast<char>(i * 7)) + static_cast<char>(i);
	std::string body;
	if (big) {
		body = "AIFF" + chunk("COMM", be(1, 2) + be(400, 4) + be(16, 2) + std::string("\x40\x0b\xfa\0\0\0\0\0\0\0", 10)) +
		    chunk("SSND", std::string(8, '\0') + samples) + chunk("ID3 ", tag);
		return "FORM" + be(static_cast<std::uint32_t>(body.size()), 4) + body;
	}
	body = "WAVE" + chunk("fmt ", le(1, 2) + le(1, 2) + le(8000, 4) + le(16000, 4) + le(2, 2) + le(16, 2)) +
	    chunk("data", samples) + chunk(in.one_in(2) ? "id3 " : "ID3 ", tag);
	return "RIFF" + le(static_cast<std::uint32_t>(body.size()), 4) + body;
}

std::string
le32(std::uint32_t v)
{
	return le(v, 4);
}

std::string
ape_footer(const std::string &version, std::uint32_t size, std::uint32_t count, std::uint32_t flags)
{
	return "APETAGEX" + version + le32(size) + le32(count) + le32(flags) + std::string(8, '\0');
}

// Tags at the end of an MP3 file, before its ID3v1 tag: an APE tag whose
// items fill its size, a Lyrics3 tag, or a lone APE footer that claims as
// many bytes as the input says.  Inputs that end before this add none.
void
add_trailing_tags(input &in, std::string &f)
{
	const unsigned what = in.below(4);
	if (what == 0)
		return;
	static const char *const keys[] = {"Title", "Artist", "Album", "Year", "Track", "Genre", "Comment",
	    "MP3GAIN_MINMAX", "Lyricist"};
	std::string t;
	if (what == 1) {
		std::string items;
		const unsigned count = in.below(3) + 1;
		for (unsigned i = 0; i < count; i++) {
			const std::string value = in.text(in.below(8));
			items += le32(static_cast<std::uint32_t>(value.size())) + le32(0) +
			    keys[in.below(sizeof(keys) / sizeof(keys[0]))] + '\0' + value;
		}
		const auto size = static_cast<std::uint32_t>(items.size() + 32);
		const bool header = in.one_in(2);
		if (header)
			t = ape_footer(le32(2000), size, count, 0xa0000000u);
		t += items + ape_footer(le32(2000), size, count, header ? 0x80000000u : 0);
	} else if (what == 2) {
		auto sized = [](const std::string &id, const std::string &data) {
			const std::string n = std::to_string(data.size());
			return id + std::string(5 - n.size(), '0') + n + data;
		};
		const std::string body = "LYRICSBEGIN" + sized("IND", "11") + sized("LYR", in.text(in.below(20)));
		const std::string n = std::to_string(body.size());
		t = body + std::string(6 - n.size(), '0') + n + "LYRICS200";
	} else {
		t = ape_footer(in.bytes(4), in.below(2048), in.below(3), 0);
	}
	const bool v1 = f.size() >= 128 && f.compare(f.size() - 128, 3, "TAG") == 0;
	f.insert(v1 ? f.size() - 128 : f.size(), t);
}

// ---- The reader of our own ----

struct frame {
	std::string id;
	unsigned flags;
	std::string data;
	bool operator==(const frame &o) const { return id == o.id && flags == o.flags && data == o.data; }
};

// The basic field a frame belongs to, as far as this reader can tell; -1
// for a frame that must be kept.
int
field_of(const frame &f, unsigned v)
{
	static const std::pair<const char *, int> fields[] = {{"TIT2", W_TL_TITLE}, {"TPE1", W_TL_ARTIST},
	    {"TALB", W_TL_ALBUM}, {"TCON", W_TL_GENRE}, {"TRCK", W_TL_TRACK}, {"TDRC", W_TL_YEAR},
	    {"TYER", W_TL_YEAR}, {"TDAT", W_TL_YEAR}, {"TIME", W_TL_YEAR}, {"TRDA", W_TL_YEAR}, {"TRDC", W_TL_YEAR}};
	for (const auto &[id, field] : fields) {
		if (f.id == id)
			return field;
	}
	// A comment of readable bytes whose description is plainly empty.
	const unsigned hidden = v == 3 ? 0x00e0 : 0x004d;
	if (f.id != "COMM" || (f.flags & hidden) != 0 || f.data.size() < 5)
		return -1;
	const auto enc = static_cast<unsigned char>(f.data[0]);
	if ((enc == 0 || enc == 3) && f.data[4] == '\0')
		return W_TL_COMMENT;
	if ((enc == 1 || enc == 2) && f.data.size() >= 6 && f.data[4] == '\0' && f.data[5] == '\0')
		return W_TL_COMMENT;
	if (enc == 1 && f.data.size() >= 8 && f.data.compare(6, 2, std::string(2, '\0')) == 0 &&
	    (f.data.compare(4, 2, "\xff\xfe") == 0 || f.data.compare(4, 2, "\xfe\xff") == 0))
		return W_TL_COMMENT;
	return -1;
}

// The frames of a whole tag; false when the tag does not walk cleanly
// (anything but zeros after its frames), when this reader does not judge.
bool
frames_of(const std::string &tag, std::vector<frame> *out, unsigned *version)
{
	out->clear();
	if (tag.size() < 10 || tag.compare(0, 3, "ID3") != 0)
		return false;
	const unsigned v = static_cast<unsigned char>(tag[3]);
	const unsigned flags = static_cast<unsigned char>(tag[5]);
	if ((v != 3 && v != 4) || (flags & 0x50) != 0)
		return false;
	*version = v;
	std::string body = tag.substr(10);
	if ((flags & 0x80) != 0 && v == 3)
		body = resync(body);
	std::size_t pos = 0;
	while (pos + 10 <= body.size() && body[pos] != '\0') {
		std::uint32_t size = 0;
		for (int i = 0; i < 4; i++)
			size = v == 3 ? size << 8 | static_cast<unsigned char>(body[pos + 4 + static_cast<std::size_t>(i)])
				      : size << 7 | (static_cast<unsigned char>(body[pos + 4 + static_cast<std::size_t>(i)]) & 0x7f);
		if (size > body.size() - pos - 10)
			return false;
		frame f{body.substr(pos, 4),
		    static_cast<unsigned>(static_cast<unsigned char>(body[pos + 8]) << 8 | static_cast<unsigned char>(body[pos + 9])),
		    body.substr(pos + 10, size)};
		if (v == 4 && ((f.flags & 0x02) != 0 || (flags & 0x80) != 0)) {
			f.data = resync(f.data);
			f.flags &= ~0x02u;
		}
		out->push_back(f);
		pos += 10 + size;
	}
	return body.find_first_not_of('\0', pos) == std::string::npos;
}

std::uint32_t
le32_at(const std::string &d, std::size_t at)
{
	std::uint32_t v = 0;
	for (std::size_t i = 4; i-- > 0;)
		v = v << 8 | static_cast<unsigned char>(d[at + i]);
	return v;
}

std::uint32_t
size_of(const std::string &d, std::size_t at, bool synchsafe)
{
	std::uint32_t v = 0;
	for (std::size_t i = 0; i < 4; i++)
		v = synchsafe ? v << 7 | (static_cast<unsigned char>(d[at + i]) & 0x7f) : v << 8 | static_cast<unsigned char>(d[at + i]);
	return v;
}

// An APE item: its key, flags and value.
using ape_item = std::pair<std::string, std::string>;

// The tags at the end of an MP3 file, before end: ID3v1 aside, the APE tags
// whose items fill exactly their size (their items into *apes) and Lyrics3
// tags; where the first of them starts.
std::size_t
trailing_start(const std::string &d, std::size_t floor, std::size_t end, std::vector<ape_item> *apes)
{
	for (;;) {
		if (end >= floor + 32 && d.compare(end - 32, 8, "APETAGEX") == 0) {
			const std::uint32_t size = le32_at(d, end - 20), count = le32_at(d, end - 16);
			const bool header = (le32_at(d, end - 12) & 0x80000000u) != 0;
			if (size >= 32 && size + (header ? 32u : 0u) <= end - floor) {
				std::size_t pos = end - size;
				std::vector<ape_item> items;
				for (std::uint32_t i = 0; i < count && pos + 8 <= end - 32; i++) {
					const std::uint32_t n = le32_at(d, pos);
					const std::size_t nul = d.find('\0', pos + 8);
					if (nul >= end - 32 || n > end - 32 - nul - 1)
						break;
					items.emplace_back(d.substr(pos + 4, 4) + d.substr(pos + 8, nul - pos - 8),
					    d.substr(nul + 1, n));
					pos = nul + 1 + n;
				}
				if (items.size() == count && pos == end - 32) {
					apes->insert(apes->end(), items.begin(), items.end());
					end -= size + (header ? 32 : 0);
					continue;
				}
			}
		}
		if (end >= floor + 15 + 11 && d.compare(end - 9, 9, "LYRICS200") == 0) {
			const std::string digits = d.substr(end - 15, 6);
			if (digits.find_first_not_of("0123456789") == std::string::npos) {
				const std::size_t n = std::stoul(digits);
				if (n <= end - 15 - floor && d.compare(end - 15 - n, 11, "LYRICSBEGIN") == 0) {
					end -= 15 + n;
					continue;
				}
			}
		}
		return end;
	}
}

// The tags and the audio of a file as this reader finds them; false when
// it cannot tell.
bool
parts_of(const std::string &d, kind k, std::vector<std::string> *tags, std::vector<ape_item> *apes,
    std::string *audio)
{
	tags->clear();
	apes->clear();
	if (k == mp3) {
		std::size_t start = 0;
		if (d.compare(0, 3, "ID3") == 0) {
			if (d.size() < 10)
				return false;
			start = 10 + std::size_t{size_of(d, 6, true)};
			// A footer only where there is one.
			if (d[3] == 4 && (d[5] & 0x10) != 0 && d.compare(start, 3, "3DI") == 0)
				start += 10;
			if (start > d.size())
				return false;
			tags->push_back(d.substr(0, start));
		}
		std::size_t end = d.size();
		if (end >= start + 128 && d.compare(end - 128, 3, "TAG") == 0)
			end -= 128;
		end = trailing_start(d, start, end, apes);
		*audio = d.substr(start, end - start);
		return true;
	}
	const bool big = k == aiff;
	std::size_t pos = 12;
	bool found = false;
	while (pos + 8 <= d.size()) {
		const std::uint32_t n = big ? size_of(d, pos + 4, false)
					    : static_cast<std::uint32_t>(static_cast<unsigned char>(d[pos + 4]) |
						  static_cast<unsigned char>(d[pos + 5]) << 8 |
						  static_cast<unsigned char>(d[pos + 6]) << 16 |
						  static_cast<std::uint32_t>(static_cast<unsigned char>(d[pos + 7])) << 24);
		if (n > d.size() - pos - 8)
			return false;
		const std::string name = d.substr(pos, 4);
		if (name == "ID3 " || name == "id3 ")
			tags->push_back(d.substr(pos + 8, n));
		else if (name == (big ? "SSND" : "data")) {
			*audio = d.substr(pos + 8, n);
			found = true;
		}
		pos += 8 + n + (n & 1);
	}
	return found && pos == d.size();
}

std::string
file_bytes(const std::string &path)
{
	std::string out;
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd == -1)
		fail("cannot read %s", path.c_str());
	char buf[65536];
	for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;)
		out.append(buf, static_cast<std::size_t>(n));
	close(fd);
	return out;
}

void
put_file(const std::string &path, const std::string &bytes)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd == -1 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
		fail("cannot write %s", path.c_str());
	close(fd);
}

// The new file a plan describes.
std::string
planned(const w_tlplan &plan)
{
	std::string out;
	for (std::size_t i = 0; i < plan.count; i++) {
		const w_tlpiece &p = plan.pieces[i];
		if (p.data != nullptr) {
			out.append(reinterpret_cast<const char *>(p.data), p.length);
			continue;
		}
		std::string part(p.length, '\0');
		if (pread(plan.fd, part.data(), part.size(), static_cast<off_t>(p.offset)) != static_cast<ssize_t>(p.length))
			fail("cannot read the old file");
		out += part;
	}
	return out;
}

struct file_closer {
	const w_tlmodule *m;
	w_tlfile *f;
	~file_closer()
	{
		if (f != nullptr)
			m->close(f);
	}
};

void
free_values(w_tlvalues &v)
{
	for (char *&t : v.text) {
		std::free(t);
		t = nullptr;
	}
}

} // namespace

void
taglib(const std::uint8_t *data, std::size_t size)
{
	input in{data, size};
	kind k;
	std::string before;
	int field = W_TL_ARTIST;
	std::string text = "X";
	unsigned value = 0;
	if (size >= 4 && std::memcmp(data, "FILE", 4) == 0) {
		before.assign(reinterpret_cast<const char *>(data) + 4, size - 4);
		k = before.compare(0, 4, "RIFF") == 0 ? wav : before.compare(0, 4, "FORM") == 0 ? aiff : mp3;
	} else {
		k = static_cast<kind>(in.below(3));
		before = make_file(in, k);
		for (unsigned flips = in.one_in(4) ? in.below(4) + 1 : 0; flips > 0; flips--)
			before[in.below(static_cast<unsigned>(before.size()))] ^= static_cast<char>(in.byte() | 1);
		// The change: one field, set or cleared.
		field = static_cast<int>(in.below(W_TL_NFIELDS));
		// A genre of digits reads back as the ID3v1 genre of that number.
		text = in.one_in(4) ? "" : (field == W_TL_GENRE ? "g" : "") + in.text(in.below(12) + 1);
		value = in.one_in(4) ? 0 : in.below(2100);
		if (k == mp3)
			add_trailing_tags(in, before);
	}
	const bool number = field == W_TL_YEAR || field == W_TL_TRACK;

	const char *base = std::getenv("TMPDIR");
	static const std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp");
	static const char *const suffix[] = {".mp3", ".wav", ".aiff"};
	scratch_path = dir + "/wembrix-fuzz-taglib-" + std::to_string(getpid()) + suffix[k];
	put_file(scratch_path, before);

	// Our own reading of an MP3 file's fields, which a print uses in
	// place of TagLib's, reads them as TagLib does, or declines.
	w_tl::raw_fields raw;
	const bool ours = k == mp3 &&
	    w_tl::mp3_fields([&](std::uint64_t off, std::size_t len, std::string *out) {
		    *out = off < before.size() ? before.substr(off, len) : "";
		    return true;
	    }, before.size(), &raw);

	const w_tlmodule *m = w_tlmodule_entry();
	file_closer file{m, m->open(scratch_path.c_str())};
	if (file.f == nullptr) {
		if (ours)
			fail("our reading takes a file TagLib refuses");
		unlink(scratch_path.c_str());
		return;
	}
	w_tlvalues old{};
	if (m->read(file.f, &old) == -1)
		fail("a file opened could not be read");
	for (int i = 0; ours && i < W_TL_NFIELDS; i++) {
		const bool number = i == W_TL_YEAR || i == W_TL_TRACK;
		if (number ? raw.number[i] != old.number[i] : raw.text[i] != old.text[i])
			fail("our reading of field %d is \"%s\", TagLib's \"%s\"", i,
			    number ? std::to_string(raw.number[i]).c_str() : raw.text[i].c_str(),
			    number ? std::to_string(old.number[i]).c_str() : old.text[i]);
	}
	free_values(old);
	w_tlchange changes[W_TL_NFIELDS] = {};
	changes[field] = {1, number ? nullptr : text.c_str(), number ? value : 0};
	w_tlplan plan{};
	char why[256];
	const int rendered = m->render(file.f, changes, &plan, why, sizeof(why));
	// The module never writes the music file, refused or not.
	if (file_bytes(scratch_path) != before)
		fail("the music file changed while the write was planned");
	if (rendered == -1) {
		unlink(scratch_path.c_str());
		return;
	}
	const std::string after = planned(plan);

	// Every frame and APE item of another field, and the audio, are
	// still there.
	std::vector<std::string> old_tags, new_tags;
	std::vector<ape_item> old_apes, new_apes;
	std::string old_audio, new_audio;
	if (parts_of(before, k, &old_tags, &old_apes, &old_audio)) {
		if (!parts_of(after, k, &new_tags, &new_apes, &new_audio))
			fail("the new file cannot be walked");
		if (new_audio != old_audio)
			fail("the audio changed (%zu bytes, %zu before)", new_audio.size(), old_audio.size());
		static const char *const ape_keys[W_TL_NFIELDS] = {"TITLE", "ARTIST", "YEAR", "ALBUM", "TRACK",
		    "GENRE", "COMMENT"};
		for (const ape_item &it : old_apes) {
			if (strcasecmp(it.first.c_str() + 4, ape_keys[field]) == 0)
				continue;
			auto kept = std::find(new_apes.begin(), new_apes.end(), it);
			if (kept == new_apes.end())
				fail("APE item %s lost", it.first.c_str() + 4);
			new_apes.erase(kept);
		}
		std::vector<frame> kept;
		for (const std::string &t : new_tags) {
			std::vector<frame> fs;
			unsigned v;
			if (frames_of(t, &fs, &v))
				kept.insert(kept.end(), fs.begin(), fs.end());
		}
		for (const std::string &t : old_tags) {
			std::vector<frame> fs;
			unsigned v;
			if (!frames_of(t, &fs, &v))
				continue;
			for (const frame &f : fs) {
				const int belongs = field_of(f, v);
				if (belongs == field || (belongs >= 0 && old_tags.size() > 1))
					continue;
				auto it = std::find(kept.begin(), kept.end(), f);
				if (it == kept.end())
					fail("frame %s (flags %04x, %zu bytes) lost", f.id.c_str(), f.flags, f.data.size());
				kept.erase(it);
			}
		}
	}

	// The field reads back as asked.
	const std::string new_path = scratch_path + ".new" + suffix[k];
	put_file(new_path, after);
	file_closer reread{m, m->open(new_path.c_str())};
	if (reread.f == nullptr)
		fail("the new file cannot be opened");
	w_tlvalues now{};
	if (m->read(reread.f, &now) == -1)
		fail("the new file cannot be read");
	const bool same = number ? now.number[field] == value : text == now.text[field];
	const std::string got = number ? std::to_string(now.number[field]) : now.text[field];
	free_values(now);
	unlink(new_path.c_str());
	unlink(scratch_path.c_str());
	if (!same)
		fail("field %d reads back as \"%s\", not as asked (\"%s\")", field, got.c_str(),
		    number ? std::to_string(value).c_str() : text.c_str());
}

} // namespace wf
