#include "w_fuzz_checks.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <optional>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <ogg/ogg.h>

#include "w_fakebackend.h"
#include "w_ftflac.h"
#include "w_ftoggopus.h"
#include "w_ftoggvorbis.h"
#include "w_renamer.h"
#include "w_sbuf.h"
#include "w_taglist.h"
#include "w_toolkit.h"
#include "w_tune.h"
#include "w_vcomment.h"
#include "w_yaml.h"
#include "w_yaml_plain.h"

namespace wf {

namespace {

using pairs = std::vector<std::pair<std::string, std::string>>;

[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void remove_scratch();

void
fail(const char *fmt, ...)
{
	std::va_list ap;
	va_start(ap, fmt);
	std::fputs("fuzz: property broken: ", stderr);
	std::vfprintf(stderr, fmt, ap);
	std::fputc('\n', stderr);
	va_end(ap);
	std::fflush(stderr);
	// An abort runs no destructors.
	remove_scratch();
	broken();
	std::abort();
}

std::string
shown(const std::string &s)
{
	return w_escape(s.data(), s.size());
}

std::string
shown(const pairs &p)
{
	std::string out = "[";
	for (const auto &[k, v] : p)
		out += (out.size() > 1 ? ", " : "") + shown(k) + "=" + shown(v);
	return out + "]";
}

// The tags with their stored lengths, so that a value cut short shows.
pairs
to_pairs(const struct w_taglist *tlist)
{
	pairs p;
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist)
		p.emplace_back(std::string(tag->key, tag->keylen), std::string(tag->val, tag->vallen));
	return p;
}

w_taglist_ptr
to_taglist(const pairs &p)
{
	w_taglist_ptr l(w_taglist_new());
	if (!l)
		fail("out of memory");
	for (const auto &[k, v] : p)
		if (w_taglist_insert(l.get(), k.c_str(), v.c_str()) == -1)
			fail("out of memory");
	return l;
}

// The input cut at NUL bytes.
std::vector<std::string>
fields(const std::uint8_t *data, std::size_t size)
{
	std::vector<std::string> out(1);
	for (std::size_t i = 0; i < size; i++) {
		if (data[i] == 0)
			out.emplace_back();
		else
			out.back().push_back(static_cast<char>(data[i]));
	}
	return out;
}

// Pairs from key, value, key, value...; a last key alone gets "".
pairs
pairs_of(const std::vector<std::string> &f, std::size_t from)
{
	pairs p;
	for (std::size_t i = from; i < f.size(); i += 2)
		p.emplace_back(f[i], i + 1 < f.size() ? f[i + 1] : std::string());
	return p;
}

std::string
lower_ascii(std::string s)
{
	for (char &c : s)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	return s;
}

// A Vorbis comment entry as the tag list must give it back: the name
// lower-cased, the rest byte for byte.
std::string
as_tag(const std::string &entry)
{
	std::size_t eq = entry.find('=');
	return lower_ascii(entry.substr(0, eq)) + entry.substr(eq);
}

std::string
as_entry(const std::pair<std::string, std::string> &tag)
{
	return tag.first + "=" + tag.second;
}

// The tags of a successful read against the entries of the file.
void
same_entries(const char *what, const pairs &got, const std::vector<std::string> &entries)
{
	bool same = got.size() == entries.size();
	for (std::size_t i = 0; same && i < got.size(); i++)
		same = entries[i].find('=') != std::string::npos && as_entry(got[i]) == as_tag(entries[i]);
	if (same)
		return;
	std::string want;
	for (const auto &e : entries)
		want += (want.empty() ? "" : ", ") + shown(e);
	fail("%s: the read gave %s, the file holds [%s]", what, shown(got).c_str(), want.c_str());
}

/* Scratch files: one private directory for the whole run. */

class scratch_dir {
public:
	scratch_dir()
	{
		const char *base = std::getenv("TMPDIR");
		std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
		    "/wembrix-fuzz-XXXXXX";
		if (mkdtemp(tmpl.data()) == nullptr)
			fail("cannot make a scratch directory under %s", tmpl.c_str());
		path_ = tmpl;
	}
	~scratch_dir() { remove(); }
	void remove()
	{
		if (path_.empty())
			return;
		for (const auto &name : list())
			unlink((path_ + "/" + name).c_str());
		rmdir(path_.c_str());
		path_.clear();
	}
	std::string file(const char *name) const { return path_ + "/" + name; }
	std::vector<std::string> list() const
	{
		std::vector<std::string> names;
		if (DIR *d = opendir(path_.c_str())) {
			while (struct dirent *e = readdir(d))
				if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
					names.emplace_back(e->d_name);
			closedir(d);
		}
		std::sort(names.begin(), names.end());
		return names;
	}
	// Nothing but name may be left in the directory.
	void only(const char *what, const char *name) const
	{
		auto names = list();
		if (names.size() != 1 || names[0] != name) {
			std::string all;
			for (const auto &n : names)
				all += " " + shown(n);
			fail("%s: a write left behind in the directory:%s", what, all.c_str());
		}
	}

private:
	std::string path_;
};

scratch_dir *made = nullptr;

scratch_dir &
scratch()
{
	static scratch_dir dir;
	made = &dir;
	return dir;
}

void
remove_scratch()
{
	if (made != nullptr)
		made->remove();
}

void
write_bytes(const std::string &path, const std::uint8_t *data, std::size_t size)
{
	w_file_ptr fp(std::fopen(path.c_str(), "wb"));
	if (!fp || std::fwrite(data, 1, size, fp.get()) != size || std::fclose(fp.release()) != 0)
		fail("cannot write %s", path.c_str());
}

std::string
read_bytes(const std::string &path)
{
	std::string out;
	w_file_ptr fp(std::fopen(path.c_str(), "rb"));
	if (!fp)
		fail("cannot open %s", path.c_str());
	char buf[65536];
	std::size_t n;
	while ((n = std::fread(buf, 1, sizeof buf, fp.get())) > 0)
		out.append(buf, n);
	return out;
}

// What fn printed on standard error, which it still gets to see: the
// bytes go through a scratch file and are put out again.
template <typename F>
std::string
stderr_of(F &&fn)
{
	std::fflush(stderr);
	w_file_ptr tmp(std::tmpfile());
	const int saved = dup(2);
	if (!tmp || saved == -1 || dup2(fileno(tmp.get()), 2) == -1)
		fail("cannot catch standard error");
	fn();
	std::fflush(stderr);
	dup2(saved, 2);
	close(saved);
	std::rewind(tmp.get());
	std::string said;
	char buf[4096];
	for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, tmp.get())) > 0;)
		said.append(buf, n);
	std::fputs(said.c_str(), stderr);
	return said;
}

// The list a write is asked to store: chosen by the input's length, so that
// every input tries one of them and the fuzzer reaches them all.
pairs
changed(const pairs &read, std::size_t size)
{
	pairs p = read;
	switch (size % 4) {
	case 0:
		break; // written back unchanged
	case 1:
		p.emplace_back("title", "fuzz");
		break;
	case 2:
		// More than the usual padding holds: the file must grow.
		p.emplace_back("comment", std::string(5000, 'x'));
		break;
	default:
		p.clear();
	}
	return p;
}

// The input as a music file in the scratch directory, removed afterwards.
class scratch_file {
public:
	scratch_file(const char *name, const std::string &bytes)
	    : name_(name), path_(scratch().file(name)), before_(bytes)
	{
		write_bytes(path_, reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
	}
	~scratch_file() { unlink(path_.c_str()); }
	scratch_file(const scratch_file &) = delete;
	scratch_file &operator=(const scratch_file &) = delete;
	const char *path() const { return path_.c_str(); }

	// Stores want through a backend's write (and closes the file's data):
	// the bytes of the file after a write that returned 0, or nothing
	// after a failed write, which must leave the file as it was.  Either
	// way no temporary file may be left behind.
	template <class Data>
	std::optional<std::string> write(const char *what, Data &data,
	    int (*writer)(void *, const struct w_taglist *), const pairs &want) const
	{
		int r = writer(data.get(), to_taglist(want).get());
		data.reset();
		scratch().only(what, name_);
		std::string after = read_bytes(path_);
		if (r == 0)
			return after;
		if (after != before_)
			fail("%s: a failed write changed the file", what);
		return std::nullopt;
	}

	// The file, opened anew by backend, gives back want.
	void reads_back(const char *what, struct w_backend *backend, const pairs &want) const
	{
		std::unique_ptr<void, void (*)(void *)> data(backend->init(path()), backend->clear);
		if (!data)
			fail("%s: the written file does not open", what);
		w_taglist_ptr reread(backend->read(data.get()));
		if (!reread || to_pairs(reread.get()) != want)
			fail("%s: wrote %s, read back %s", what, shown(want).c_str(),
			    reread ? shown(to_pairs(reread.get())).c_str() : "nothing");
	}

private:
	const char *name_;
	std::string path_;
	const std::string &before_;
};

/* YAML */

w_taglist_ptr
read_doc(const std::string &text, std::string &msg)
{
	// fmemopen refuses an empty buffer.
	w_file_ptr fp(text.empty() ? std::fopen("/dev/null", "r")
				   : fmemopen(const_cast<char *>(text.data()), text.size(), "r"));
	if (!fp)
		fail("cannot open the document as a stream");
	char *err = nullptr;
	w_taglist_ptr l(w_yaml2tags(fp.get(), &err));
	msg = err != nullptr ? err : "";
	std::free(err);
	return l;
}

bool
all_utf8(const pairs &p)
{
	for (const auto &[k, v] : p)
		if (!w_utf8_valid(k.data(), k.size()) || !w_utf8_valid(v.data(), v.size()))
			return false;
	return true;
}

/* FLAC */

std::uint32_t
be24(const std::string &f, std::size_t at)
{
	auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(f[at + i])); };
	return b(0) << 16 | b(1) << 8 | b(2);
}

std::uint32_t
le32(const std::string &f, std::size_t at)
{
	auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(f[at + i])); };
	return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

struct flac_layout {
	bool ok = false;        // the blocks add up within the file
	std::size_t audio = 0;  // where the frames start
	// Every block is as long as its header says, as libFLAC reads it: one
	// STREAMINFO of 34 bytes first, comment blocks their entries exactly,
	// no blocks whose length libFLAC takes from their content (CUESHEET,
	// PICTURE).
	bool plain = false;
	// The entries of the first comment block (none without one); nothing
	// when they do not lie within its declared length.
	std::optional<std::vector<std::string>> entries;
};

std::optional<std::vector<std::string>>
comment_entries(const std::string &b)
{
	std::vector<std::string> out;
	std::size_t pos = 0;
	auto take = [&](std::size_t n) {
		if (b.size() - pos < n)
			return false;
		pos += n;
		return true;
	};
	if (!take(4) || !take(le32(b, 0)))
		return std::nullopt;
	std::size_t at = pos;
	if (!take(4))
		return std::nullopt;
	for (std::uint32_t count = le32(b, at); count > 0; count--) {
		at = pos;
		if (!take(4))
			return std::nullopt;
		std::size_t len = le32(b, at);
		if (!take(len))
			return std::nullopt;
		out.emplace_back(b, pos - len, len);
	}
	return out;
}

// The metadata blocks as their headers declare them, walked the way libFLAC
// finds them (after an ID3v2 tag, if the file begins with one).
flac_layout
parse_flac(const std::string &f)
{
	flac_layout l;
	std::size_t pos = 0;
	if (f.size() >= 10 && f.compare(0, 3, "ID3") == 0) {
		std::size_t len = 0;
		for (std::size_t i = 6; i < 10; i++)
			len = len << 7 | (static_cast<unsigned char>(f[i]) & 0x7F);
		pos = 10 + len;
	}
	if (f.size() < pos + 4 || f.compare(pos, 4, "fLaC") != 0)
		return l;
	pos += 4;
	bool seen_comments = false, plain = true;
	unsigned blocks = 0;
	for (;;) {
		if (f.size() - pos < 4)
			return l;
		unsigned char head = static_cast<unsigned char>(f[pos]);
		std::size_t len = be24(f, pos + 1);
		if (f.size() - pos - 4 < len)
			return l;
		const unsigned type = head & 0x7F;
		if ((type == 0) != (blocks++ == 0) || (type == 0 && len != 34) || type == 5 || type == 6)
			plain = false;
		if (type == 4) {
			auto entries = comment_entries(f.substr(pos + 4, len));
			std::size_t used = 8 + (len >= 4 ? le32(f, pos + 4) : 0);
			for (const auto &e : entries.value_or(std::vector<std::string>{}))
				used += 4 + e.size();
			if (!entries || used != len)
				plain = false;
			if (!seen_comments)
				l.entries = entries;
			seen_comments = true;
		}
		pos += 4 + len;
		if (head & 0x80)
			break;
	}
	if (!seen_comments)
		l.entries = std::vector<std::string>{};
	l.ok = true;
	l.plain = plain;
	l.audio = pos;
	return l;
}

// Where libFLAC's decoder, having read the metadata, expects the first frame.
std::optional<std::uint64_t>
flac_decoder_audio(const std::string &path)
{
	struct decoder_deleter {
		void operator()(FLAC__StreamDecoder *d) const { FLAC__stream_decoder_delete(d); }
	};
	std::unique_ptr<FLAC__StreamDecoder, decoder_deleter> d(FLAC__stream_decoder_new());
	if (!d)
		fail("out of memory");
	auto write = [](const FLAC__StreamDecoder *, const FLAC__Frame *, const FLAC__int32 *const[],
			 void *) { return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE; };
	auto error = [](const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus, void *) {};
	if (FLAC__stream_decoder_init_file(d.get(), path.c_str(), write, nullptr, error, nullptr) !=
	    FLAC__STREAM_DECODER_INIT_STATUS_OK)
		return std::nullopt;
	FLAC__uint64 pos = 0;
	if (!FLAC__stream_decoder_process_until_end_of_metadata(d.get()) ||
	    !FLAC__stream_decoder_get_decode_position(d.get(), &pos))
		return std::nullopt;
	return pos;
}

struct flac_closer {
	void operator()(void *data) const { w_ftflac_clear(data); }
};
using flac_ptr = std::unique_ptr<void, flac_closer>;

/* Ogg */

struct packet_copy {
	std::string bytes;
	ogg_int64_t granule;
};

struct stream_copy {
	int serial = 0;
	long pages = 0;
	bool bos_first = true;   // the first page, and only it, begins the stream
	bool eos_last = true;    // the last page, and only it, ends it
	bool ended = false;
	bool numbered = true;    // pages numbered 0, 1, 2... in order
	std::vector<packet_copy> packets; // gaps skipped
};

struct ogg_copy {
	bool clean = true;           // nothing but whole, sound pages
	bool interleaved = false;    // a stream's page within another stream
	std::vector<stream_copy> streams;
};

// The pages of a whole file held in memory, through libogg.
class page_reader {
public:
	explicit page_reader(const std::string &f)
	{
		ogg_sync_init(&oy_);
		char *room = ogg_sync_buffer(&oy_, static_cast<long>(f.size()));
		if (room == nullptr)
			fail("out of memory");
		std::memcpy(room, f.data(), f.size());
		ogg_sync_wrote(&oy_, static_cast<long>(f.size()));
	}
	~page_reader() { ogg_sync_clear(&oy_); }
	page_reader(const page_reader &) = delete;
	page_reader &operator=(const page_reader &) = delete;
	// As ogg_sync_pageout: 1 for a page, -1 for skipped bytes, 0 at the end.
	int next(ogg_page &og) { return ogg_sync_pageout(&oy_, &og); }

private:
	ogg_sync_state oy_;
};

// The logical streams of a file, one after the other, with their packets
// as libogg takes them out (a page missing in the middle leaves a gap).
ogg_copy
split_ogg(const std::string &f)
{
	ogg_copy out;
	page_reader pages(f);

	ogg_stream_state os;
	bool have_os = false;
	long consumed = 0;
	ogg_page og;
	int r;
	while ((r = pages.next(og)) != 0) {
		if (r < 0) {
			out.clean = false;
			continue;
		}
		consumed += og.header_len + og.body_len;
		int serial = ogg_page_serialno(&og);
		stream_copy *s = out.streams.empty() ? nullptr : &out.streams.back();
		if (s == nullptr || s->ended || serial != s->serial) {
			if (s != nullptr && !s->ended)
				out.interleaved = true;
			if (have_os)
				ogg_stream_clear(&os);
			ogg_stream_init(&os, serial);
			have_os = true;
			out.streams.emplace_back();
			s = &out.streams.back();
			s->serial = serial;
		}
		if ((ogg_page_bos(&og) != 0) != (s->pages == 0))
			s->bos_first = false;
		if (s->ended)
			s->eos_last = false;
		if (ogg_page_eos(&og))
			s->ended = true;
		if (ogg_page_pageno(&og) != s->pages)
			s->numbered = false;
		s->pages++;
		if (ogg_stream_pagein(&os, &og) != 0)
			continue;
		ogg_packet op;
		while ((r = ogg_stream_packetout(&os, &op)) != 0)
			if (r > 0)
				s->packets.push_back({std::string(reinterpret_cast<char *>(op.packet),
				    static_cast<std::size_t>(op.bytes)), op.granulepos});
	}
	if (have_os)
		ogg_stream_clear(&os);
	if (static_cast<std::size_t>(consumed) != f.size())
		out.clean = false;
	return out;
}

// The entries of a Vorbis comment header packet, or nothing when it is not
// one (counted as libvorbis counts: 32-bit lengths, then the framing bit).
std::optional<std::vector<std::string>>
vorbis_comments(const std::string &p)
{
	if (p.size() < 7 || p.compare(0, 7, "\x03vorbis") != 0)
		return std::nullopt;
	auto rest = comment_entries(p.substr(7));
	if (!rest)
		return std::nullopt;
	std::size_t used = 7 + 8;
	used += le32(p, 7);
	for (const auto &e : *rest)
		used += 4 + e.size();
	if (used >= p.size() || !(static_cast<unsigned char>(p[used]) & 1))
		return std::nullopt;
	return rest;
}

// An OpusTags packet taken apart: the entries, the vendor string and the
// binary data after the comments that a writer must keep (its first byte
// has the low bit set); nothing when it is not one.
struct opus_tags_copy {
	std::string vendor;
	std::vector<std::string> entries;
	std::string binary;
};

std::optional<opus_tags_copy>
opus_tags(const std::string &p)
{
	if (p.size() < 8 || p.compare(0, 8, "OpusTags") != 0)
		return std::nullopt;
	const std::string rest = p.substr(8);
	auto entries = comment_entries(rest);
	if (!entries)
		return std::nullopt;
	opus_tags_copy out;
	out.vendor = rest.substr(4, le32(rest, 0));
	std::size_t used = 8 + out.vendor.size();
	for (const auto &e : *entries)
		used += 4 + e.size();
	if (used < rest.size() && (static_cast<unsigned char>(rest[used]) & 1) != 0)
		out.binary = rest.substr(used);
	out.entries = std::move(*entries);
	return out;
}

std::optional<std::vector<std::string>>
opus_comments(const std::string &p)
{
	auto tags = opus_tags(p);
	if (!tags)
		return std::nullopt;
	return std::move(tags->entries);
}

// What the two Ogg targets need to know of their codec.
struct ogg_codec {
	const char *name;                    // for messages
	struct w_backend *(*backend)(void);
	unsigned headers;                    // header packets before the audio
	// The entries of a comment header packet, or nothing when it is not
	// one.
	std::optional<std::vector<std::string>> (*comments)(const std::string &);
};

const ogg_codec vorbis_codec = {"ogg", w_ftoggvorbis_backend, 3, vorbis_comments};
const ogg_codec opus_codec = {"opus", w_ftoggopus_backend, 2, opus_comments};

// The comments of the first stream's comment header, as the file holds
// them: the second packet of the serial number of the first page.
std::optional<std::vector<std::string>>
first_comments(const ogg_codec &codec, const std::string &f)
{
	page_reader pages(f);
	ogg_stream_state os;
	bool have_os = false;
	std::optional<std::vector<std::string>> out;
	int packets = 0, r;
	ogg_page og;
	while (packets < 2 && (r = pages.next(og)) != 0) {
		if (r < 0)
			continue;
		if (!have_os) {
			ogg_stream_init(&os, ogg_page_serialno(&og));
			have_os = true;
		}
		if (ogg_stream_pagein(&os, &og) != 0)
			continue;
		ogg_packet op;
		while (packets < 2 && ogg_stream_packetout(&os, &op) > 0)
			if (++packets == 2)
				out = codec.comments(std::string(reinterpret_cast<char *>(op.packet),
				    static_cast<std::size_t>(op.bytes)));
	}
	if (have_os)
		ogg_stream_clear(&os);
	return out;
}

struct page_copy {
	std::string bytes;
	int serial;
	long pageno;
	bool bos, eos;
};

// The whole pages of a file, in order.
std::vector<page_copy>
pages_of(const std::string &f)
{
	std::vector<page_copy> out;
	page_reader pages(f);
	ogg_page og;
	int r;
	while ((r = pages.next(og)) != 0) {
		if (r < 0)
			continue;
		std::string b(reinterpret_cast<const char *>(og.header), static_cast<std::size_t>(og.header_len));
		b.append(reinterpret_cast<const char *>(og.body), static_cast<std::size_t>(og.body_len));
		out.push_back({std::move(b), ogg_page_serialno(&og), ogg_page_pageno(&og), ogg_page_bos(&og) != 0,
		    ogg_page_eos(&og) != 0});
	}
	return out;
}

// How many of the pages hold the first stream's header packets, and
// whether the last of them holds more (audio) after them.
std::pair<std::size_t, bool>
header_pages(const std::vector<page_copy> &pages, unsigned headers)
{
	if (pages.empty())
		return {0, false};
	ogg_stream_state os;
	ogg_stream_init(&os, pages[0].serial);
	unsigned packets = 0;
	std::size_t i = 0;
	bool more = false;
	for (; i < pages.size() && packets < headers; i++) {
		std::string b = pages[i].bytes;
		ogg_page og;
		og.header = reinterpret_cast<unsigned char *>(b.data());
		og.header_len = 27 + static_cast<unsigned char>(b[26]);
		og.body = og.header + og.header_len;
		og.body_len = static_cast<long>(b.size()) - og.header_len;
		if (ogg_stream_pagein(&os, &og) != 0)
			continue;
		ogg_packet op;
		while (packets < headers && ogg_stream_packetout(&os, &op) > 0)
			packets++;
		more = os.lacing_fill > os.lacing_returned;
	}
	ogg_stream_clear(&os);
	return {i, more};
}

// The input with the checksum of every page it holds made right: a
// mutation inside a page then reaches the code behind libogg's check.
std::string
with_checksums(const std::uint8_t *data, std::size_t size)
{
	std::string f(reinterpret_cast<const char *>(data), size);
	auto *bytes = reinterpret_cast<unsigned char *>(f.data());
	std::size_t pos = 0;
	while ((pos = f.find("OggS", pos)) != std::string::npos) {
		if (size - pos < 27 || size - pos - 27 < bytes[pos + 26]) {
			pos++;
			continue;
		}
		std::size_t segments = bytes[pos + 26], body = 0;
		for (std::size_t i = 0; i < segments; i++)
			body += bytes[pos + 27 + i];
		if (size - pos - 27 - segments < body) {
			pos++;
			continue;
		}
		ogg_page og;
		og.header = bytes + pos;
		og.header_len = static_cast<long>(27 + segments);
		og.body = bytes + pos + 27 + segments;
		og.body_len = static_cast<long>(body);
		ogg_page_checksum_set(&og);
		pos += 27 + segments + body;
	}
	return f;
}

// The granule positions of a rewritten stream against the input's: a packet
// that ends an input page and an output page keeps its position; any other
// packet that ends an output page lies between the positions of the input
// pages around it (when those run forward).
void
same_timing(const ogg_codec &codec, std::size_t index, const stream_copy &in,
    const stream_copy &out)
{
	const auto &ip = in.packets;
	for (std::size_t n = codec.headers; n < ip.size(); n++) {
		ogg_int64_t got = out.packets[n].granule;
		if (got == -1)
			continue;
		if (ip[n].granule != -1) {
			if (got != ip[n].granule)
				fail("%s: stream %zu, packet %zu ended an input page at granule %lld, "
				     "now at %lld", codec.name, index, n, static_cast<long long>(ip[n].granule),
				    static_cast<long long>(got));
			continue;
		}
		std::optional<ogg_int64_t> before, after;
		for (std::size_t m = n; m-- > codec.headers;)
			if (ip[m].granule != -1) {
				before = ip[m].granule;
				break;
			}
		for (std::size_t m = n + 1; m < ip.size(); m++)
			if (ip[m].granule != -1) {
				after = ip[m].granule;
				break;
			}
		if (before && after && *before > *after)
			continue; // the input runs backwards: no order to keep
		if ((before && got < *before) || (after && got > *after))
			fail("%s: stream %zu, packet %zu now at granule %lld, outside the input's "
			     "[%lld, %lld] around it", codec.name, index, n, static_cast<long long>(got),
			    static_cast<long long>(before.value_or(-1)),
			    static_cast<long long>(after.value_or(-1)));
	}
}

// Every page after the first stream's header pages comes out whole and in
// order, with its begin mark; its number moves by the same amount as every
// page of the first stream (as many pages as the headers grew), or not at
// all; only the file's last page may gain an end mark.  So a gap stays a
// gap, and no page begins a stream that did not.
void
same_pages(const ogg_codec &codec, const std::string &before, const std::string &after)
{
	const char *what = codec.name;
	const std::vector<page_copy> in = pages_of(before), out = pages_of(after);
	const auto [ih, in_more] = header_pages(in, codec.headers);
	const auto [oh, out_more] = header_pages(out, codec.headers);
	if (out_more)
		fail("%s: audio on the last header page", what);
	const std::size_t shared = in_more ? 1 : 0;
	if (ih == 0 || out.size() != in.size() - ih + oh + shared)
		fail("%s: %zu pages after the headers became %zu", what, in.size() - ih, out.size() - oh - shared);
	for (std::size_t k = 0; k < oh; k++)
		if (out[k].pageno != static_cast<long>(k) || out[k].bos != (k == 0))
			fail("%s: header page %zu badly numbered or marked", what, k);
	const long delta = static_cast<long>(oh + shared) - (in[ih - 1].pageno + 1);
	bool others_began = false;
	for (std::size_t k = ih; k < in.size(); k++) {
		const page_copy &w = in[k], &g = out[k - ih + oh + shared];
		others_began = others_began || w.bos;
		const long moved = g.pageno - w.pageno;
		const bool first_stream = w.serial == in[0].serial;
		if (moved != 0 && (moved != delta || !first_stream))
			fail("%s: input page %zu numbered %ld, now %ld", what, k, w.pageno, g.pageno);
		if (first_stream && !others_began && moved != delta)
			fail("%s: input page %zu of the first stream not moved with the headers", what, k);
		if (g.bos != w.bos)
			fail("%s: input page %zu: begin mark changed", what, k);
		if (g.eos != w.eos && !(k + 1 == in.size() && g.eos))
			fail("%s: input page %zu: end mark changed", what, k);
		std::string gb = g.bytes, wb = w.bytes;
		for (std::string *b : {&gb, &wb}) {
			b->replace(18, 8, 8, '\0');
			(*b)[5] = static_cast<char>((*b)[5] & ~0x04);
		}
		if (gb != wb)
			fail("%s: input page %zu changed", what, k);
	}
}

/* Rename */

struct token_copy {
	int is_tag;
	std::string value;
	unsigned width = 0;
	bool operator==(const token_copy &o) const
	{
		return is_tag == o.is_tag && value == o.value && width == o.width;
	}
};

std::vector<token_copy>
tokens_of(const struct w_rename_tokenQ *q)
{
	std::vector<token_copy> out;
	const struct w_rename_token *t;
	TAILQ_FOREACH(t, q, entries)
		out.push_back({t->is_tag, t->value, t->width});
	return out;
}

// A pattern that parses into tokens: literal text with '%' and '\' escaped,
// every tag braced with '}' and '\' escaped.
std::string
pattern_of(const std::vector<token_copy> &tokens)
{
	std::string p;
	for (const auto &t : tokens) {
		if (t.is_tag)
			p += "%" + (t.width != 0 ? std::to_string(t.width) : std::string()) + "{";
		for (char c : t.value) {
			if (c == '\\' || (t.is_tag ? c == '}' : c == '%'))
				p += '\\';
			p += c;
		}
		if (t.is_tag)
			p += '}';
	}
	return p;
}

std::string
shown(const std::vector<token_copy> &tokens)
{
	std::string out;
	for (const auto &t : tokens)
		out += (t.is_tag ? " tag:" : " text:") + shown(t.value);
	return out;
}

struct tokenQ_deleter {
	void operator()(struct w_rename_tokenQ *q) const { w_rename_tokenQ_destroy(q); }
};
using tokenQ_ptr = std::unique_ptr<struct w_rename_tokenQ, tokenQ_deleter>;

} // namespace

void
yaml_reader(const std::uint8_t *data, std::size_t size)
{
	std::string msg;
	w_taglist_ptr first(read_doc(std::string(reinterpret_cast<const char *>(data), size), msg));
	if (!first) {
		if (msg.empty())
			fail("yaml: a document was refused without a message");
		return;
	}
	w_cstr_ptr doc(w_tags2yaml(first.get(), "/music/a.flac"));
	if (!doc)
		fail("yaml: the list read, %s, cannot be written back", shown(to_pairs(first.get())).c_str());
	w_taglist_ptr again(read_doc(doc.get(), msg));
	if (!again)
		fail("yaml: the document written for %s is refused: %s\n%s",
		    shown(to_pairs(first.get())).c_str(), msg.c_str(), doc.get());
	if (to_pairs(first.get()) != to_pairs(again.get()))
		fail("yaml: read %s, wrote it back, read %s", shown(to_pairs(first.get())).c_str(),
		    shown(to_pairs(again.get())).c_str());
}

void
yaml_writer(const std::uint8_t *data, std::size_t size)
{
	if (size == 0)
		return;
	// The first byte says whether the first field is a path for the
	// document's comment line.
	const bool with_path = data[0] & 1;
	std::vector<std::string> f = fields(data + 1, size - 1);
	const std::string path = with_path ? f[0] : std::string();
	w_taglist_ptr list(to_taglist(pairs_of(f, with_path ? 1 : 0)));
	const pairs tags = to_pairs(list.get());

	w_sbuf fast;
	if (w_yaml_plain_doc(list.get(), fast)) {
		w_sbuf slow;
		if (w_yaml_emit(list.get(), slow) != 0)
			fail("yaml: the emitter refuses %s, which the shortcut wrote", shown(tags).c_str());
		if (fast.str() != slow.str())
			fail("yaml: for %s the shortcut wrote\n%s\nand the emitter\n%s",
			    shown(tags).c_str(), fast.data(), slow.data());
	} else if (fast.len() != 0) {
		fail("yaml: the shortcut declined %s but left text behind", shown(tags).c_str());
	}

	w_cstr_ptr doc(w_tags2yaml(list.get(), with_path ? path.c_str() : nullptr));
	if (!all_utf8(tags)) {
		if (doc)
			fail("yaml: wrote a document for tags that are not UTF-8: %s", shown(tags).c_str());
		return;
	}
	if (!doc)
		fail("yaml: cannot write %s", shown(tags).c_str());
	std::string msg;
	w_taglist_ptr again(read_doc(doc.get(), msg));
	if (!again)
		fail("yaml: the document written for %s (path %s) is refused: %s\n%s",
		    shown(tags).c_str(), shown(path).c_str(), msg.c_str(), doc.get());
	if (to_pairs(again.get()) != tags)
		fail("yaml: wrote %s, read back %s", shown(tags).c_str(),
		    shown(to_pairs(again.get())).c_str());
}

void
flac(const std::uint8_t *data, std::size_t size)
{
	const std::string before(reinterpret_cast<const char *>(data), size);
	const scratch_file music("in.flac", before);
	const std::string path = music.path();

	flac_ptr file(w_ftflac_init(music.path()));
	if (!file)
		return;
	w_taglist_ptr read(w_ftflac_read(file.get()));
	if (!read)
		return; // no tune writes tags it could not read
	// The entries are compared where libFLAC sees the blocks the headers
	// declare: a STREAMINFO of another length than 34 bytes, say, is read
	// as 34 bytes, and the blocks after it where libFLAC then finds them.
	const flac_layout in = parse_flac(before);
	if (in.plain && in.entries)
		same_entries("flac", to_pairs(read.get()), *in.entries);

	const pairs want = changed(to_pairs(read.get()), size);
	const auto written = music.write("flac", file, w_ftflac_write, want);
	if (!written)
		return;
	const std::string &after = *written;
	// A write of the tags the file holds is no write at all, whatever
	// the file is like.
	if (want == to_pairs(read.get())) {
		if (after != before)
			fail("flac: a write of the tags the file holds changed the file");
		return;
	}
	if (!in.ok)
		fail("flac: wrote into a file whose metadata blocks do not add up");
	const flac_layout out = parse_flac(after);
	if (!out.ok)
		fail("flac: the written metadata blocks do not add up");
	if (after.compare(out.audio, std::string::npos, before, in.audio, std::string::npos) != 0)
		fail("flac: the audio changed (%zu bytes from %zu before, %zu bytes from %zu after)",
		    before.size() - in.audio, in.audio, after.size() - out.audio, out.audio);
	auto decoder_audio = flac_decoder_audio(path);
	if (!decoder_audio || *decoder_audio != out.audio)
		fail("flac: libFLAC's decoder finds the audio at %lld, the block headers at %zu",
		    decoder_audio ? static_cast<long long>(*decoder_audio) : -1LL, out.audio);
	music.reads_back("flac", w_ftflac_backend(), want);
	if (!out.entries)
		fail("flac: the written comment block does not parse");
	std::vector<std::string> entries;
	for (const auto &t : want)
		entries.push_back(as_entry(t));
	if (*out.entries != entries)
		same_entries("flac: written", want, *out.entries);
}

namespace {

// The input as a file of codec (with its pages' checksums made right):
// read, rewrite, check the pages.  The rewritten bytes, or nothing when
// the file was not read or not written.
std::optional<std::string>
ogg_target(const ogg_codec &codec, const std::uint8_t *data, std::size_t size)
{
	const char *what = codec.name;
	const std::string before = with_checksums(data, size);
	const scratch_file music("in.ogg", before);

	struct w_backend *backend = codec.backend();
	void *opened = nullptr;
	const std::string said = stderr_of([&] { opened = backend->init(music.path()); });
	std::unique_ptr<void, void (*)(void *)> file(opened, backend->clear);
	// A file that plainly is the codec's is never refused in silence:
	// the tune would fail it, and no later backend take it.  A backend
	// that took it for another format says nothing; the tune then names
	// the file damaged.
	if (!file && w_backend_claims(backend, music.path()) &&
	    said.find(std::string(music.path()) + ": ") == std::string::npos &&
	    stderr_of([&] { w_tune_ptr tune(w_tune_new(music.path())); })
		    .find(std::string(music.path()) + ": ") == std::string::npos)
		fail("%s: a file that begins as %s does was refused without a word", what, what);
	if (!file)
		return std::nullopt;
	w_taglist_ptr read(backend->read(file.get()));
	if (!read)
		return std::nullopt;
	auto entries = first_comments(codec, before);
	if (!entries)
		fail("%s: read tags from a comment header that does not parse", what);
	// Pictures are not tags: the read leaves them out.
	std::erase_if(*entries, [](const std::string &e) { return w_vcomment_picture(e); });
	same_entries(what, to_pairs(read.get()), *entries);

	// Through a tune, whose probe hands the first bytes of the file from
	// one backend to the next, the file reads the same.  Only FLAC, which
	// comes first, may take a file that begins as FLAC does.
	if (before.compare(0, 4, "fLaC") != 0 && before.compare(0, 3, "ID3") != 0) {
		w_tune_ptr tune(w_tune_new(music.path()));
		if (!tune || w_tune_backend(tune.get()) != backend)
			fail("%s: a tune opens the file with %s", what,
			    tune ? w_tune_backend(tune.get())->libid : "no backend");
		const struct w_taglist *probed = w_tune_cached_tags(tune.get());
		if (!probed || to_pairs(probed) != to_pairs(read.get()))
			fail("%s: read %s alone, %s through a tune", what,
			    shown(to_pairs(read.get())).c_str(),
			    probed ? shown(to_pairs(probed)).c_str() : "nothing");
	}

	const pairs want = changed(to_pairs(read.get()), size);
	auto written = music.write(what, file, backend->write, want);
	if (!written)
		return std::nullopt;
	const std::string &after = *written;
	// The tags the file holds already are no write at all.
	if (want == to_pairs(read.get())) {
		if (after != before)
			fail("%s: a write of the tags the file holds changed the file", what);
		return after;
	}

	const ogg_copy in = split_ogg(before), out = split_ogg(after);
	// A copy leaves out bytes that form no page; a write in place, which
	// looks at no more than the headers and the end of the file, keeps
	// those between pages where they were.
	if (!out.clean && (in.clean || after.size() != before.size()))
		fail("%s: the rewritten file holds bytes that are no sound page", what);
	if (out.interleaved && !in.interleaved)
		fail("%s: the rewritten file interleaves its streams", what);
	if (in.streams.size() != out.streams.size())
		fail("%s: %zu logical streams became %zu", what, in.streams.size(),
		    out.streams.size());
	const std::size_t last = codec.headers - 1;
	for (std::size_t i = 0; i < out.streams.size(); i++) {
		const stream_copy &s = out.streams[i], &o = in.streams[i];
		// Marks stay as the file had them (same_pages looks at the
		// first stream, whose header pages are made anew), and the
		// last page of a file cut short ends its stream.
		if (i > 0 && s.bos_first != o.bos_first)
			fail("%s: stream %zu: begin marks moved", what, i);
		if (i + 1 == out.streams.size() && !s.ended)
			fail("%s: the last stream does not end", what);
		// The identification header alone on the first page, the last
		// header last on its page, so that audio begins a page: in the
		// first stream, whose headers are paged anew, and in every later
		// stream whose pages had them so.
		auto apart = [last](const stream_copy &c) {
			return c.packets.size() > last && c.packets[0].granule != -1 &&
			    c.packets[last].granule != -1;
		};
		if (!apart(s) && (i == 0 || apart(o)))
			fail("%s: stream %zu: the headers do not end their pages", what, i);
		if (s.serial != o.serial)
			fail("%s: stream %zu: serial number %d became %d", what, i, o.serial, s.serial);
		if (s.packets.size() != o.packets.size())
			fail("%s: stream %zu: %zu packets became %zu", what, i, o.packets.size(),
			    s.packets.size());
		for (std::size_t n = 0; n < s.packets.size(); n++) {
			if (i == 0 && n == 1)
				continue;
			if (s.packets[n].bytes != o.packets[n].bytes)
				fail("%s: stream %zu: packet %zu changed", what, i, n);
		}
		same_timing(codec, i, o, s);
	}
	same_pages(codec, before, after);
	auto stored = codec.comments(out.streams[0].packets[1].bytes);
	if (!stored)
		fail("%s: the new comment header does not parse", what);
	same_entries(what, want, *stored);

	music.reads_back(what, backend, want);
	return after;
}

} // namespace

void
oggvorbis(const std::uint8_t *data, std::size_t size)
{
	(void)ogg_target(vorbis_codec, data, size);
}

void
oggopus(const std::uint8_t *data, std::size_t size)
{
	const std::string before = with_checksums(data, size);
	const auto after = ogg_target(opus_codec, data, size);
	// Nothing written (the tags were the file's): nothing to compare.
	if (!after || *after == before)
		return;
	// The vendor string and the binary data after the comments stay.
	const ogg_copy in = split_ogg(before), out = split_ogg(*after);
	if (in.streams.empty() || in.streams[0].packets.size() < 2 || out.streams.empty() ||
	    out.streams[0].packets.size() < 2)
		fail("opus: read or wrote headers where the pages hold none");
	const auto old = opus_tags(in.streams[0].packets[1].bytes);
	const auto now = opus_tags(out.streams[0].packets[1].bytes);
	if (!old || !now)
		fail("opus: a comment header that does not parse was read or written");
	if (now->vendor != old->vendor)
		fail("opus: the vendor string %s became %s", shown(old->vendor).c_str(),
		    shown(now->vendor).c_str());
	if (now->binary != old->binary)
		fail("opus: %zu bytes of binary data after the comments became %zu",
		    old->binary.size(), now->binary.size());
}

void
rename(const std::uint8_t *data, std::size_t size)
{
	// The pattern, then the tags: fields cut at NUL bytes.
	std::vector<std::string> f = fields(data, size);
	const std::string &pattern = f[0];
	tokenQ_ptr q(w_rename_parse(pattern.c_str()));
	if (!q) {
		// A brace opens after '%' or after '%' and a width ('%02{').
		bool opens = false;
		for (std::size_t at = pattern.find('%'); !opens && at != std::string::npos;
		     at = pattern.find('%', at + 1)) {
			const std::size_t brace = pattern.find_first_not_of("0123456789", at + 1);
			opens = brace != std::string::npos && pattern[brace] == '{';
		}
		if (!opens)
			fail("rename: refused %s, which opens no brace", shown(pattern).c_str());
		return;
	}
	const auto tokens = tokens_of(q.get());
	for (std::size_t i = 0; i < tokens.size(); i++) {
		if (!tokens[i].is_tag && tokens[i].value.empty())
			fail("rename: %s gave an empty text token", shown(pattern).c_str());
		if (i > 0 && !tokens[i].is_tag && !tokens[i - 1].is_tag)
			fail("rename: %s gave two text tokens in a row", shown(pattern).c_str());
	}
	const std::string again = pattern_of(tokens);
	tokenQ_ptr q2(w_rename_parse(again.c_str()));
	if (!q2 || tokens_of(q2.get()) != tokens)
		fail("rename: %s gave%s; written as %s it gives%s", shown(pattern).c_str(),
		    shown(tokens).c_str(), shown(again).c_str(),
		    q2 ? shown(tokens_of(q2.get())).c_str() : " nothing");

	// Widths (and the names written with them) are checked by the unit
	// tests' table; the model below knows plain names.
	for (const auto &t : tokens)
		if (t.width != 0)
			return;
	wt::fake_file file;
	const pairs tags = pairs_of(f, 1);
	for (const auto &[k, v] : tags)
		file.stored.emplace_back(k, v);
	w_tune_ptr tune(wt::fake_tune(file, "fuzz.flac"));
	std::string want;
	for (const auto &t : tokens) {
		if (!t.is_tag) {
			want += t.value;
			continue;
		}
		std::string joined;
		int found = 0;
		for (const auto &[k, v] : tags)
			if (strcasecmp(k.c_str(), t.value.c_str()) == 0)
				joined += (found++ > 0 ? " + " : "") + v;
		if (found == 0)
			joined = t.value;
		else
			std::replace(joined.begin(), joined.end(), '/', '-');
		want += joined;
	}
	w_cstr_ptr name(w_rename_eval(tune.get(), q.get()));
	if (want.size() > 1024) {
		if (name)
			fail("rename: a name of %zu bytes was accepted", want.size());
		return;
	}
	if (!name || name.get() != want)
		fail("rename: %s with %s gave %s, not %s", shown(pattern).c_str(), shown(tags).c_str(),
		    name ? shown(std::string(name.get())).c_str() : "nothing", shown(want).c_str());
}

void (*broken)() = std::abort;

const target targets[] = {
	{"yaml_reader", yaml_reader},
	{"yaml_writer", yaml_writer},
	{"flac", flac},
	{"oggvorbis", oggvorbis},
	{"oggopus", oggopus},
	{"rename", rename},
	{"taglib", taglib},
	{nullptr, nullptr},
};

const target *
find_target(const char *name)
{
	for (const target *t = targets; t->name != nullptr; t++)
		if (std::strcmp(t->name, name) == 0)
			return t;
	return nullptr;
}

} // namespace wf
