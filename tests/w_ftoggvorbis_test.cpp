#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "w_ftoggvorbis.h"
#include "w_inprocess.h"
#include "w_oggsupport.h"
#include "w_taglist.h"
#include "w_testsupport.h"
#include "w_toolkit.h"
#include "w_tagsupport.h"

namespace {


struct ogg_deleter {
	void operator()(void *d) const { w_ftoggvorbis_clear(d); }
};
using ogg_ptr = std::unique_ptr<void, ogg_deleter>;

int
rewrite(const std::string &path, const wt::tags &tags, const std::string *swap = nullptr)
{
	return wt::backend_rewrite(w_ftoggvorbis_backend(), path, tags, swap);
}

const std::vector<std::string> old_comments = {"ARTIST=Old", "TITLE=T"};
const wt::tags new_tags = {{"ARTIST", "X"}, {"title", "A=B"}, {"artist", "Y"}, {"Genre", "ünï"}};
const std::vector<std::string> new_comments = {"artist=X", "title=A=B", "artist=Y", "genre=ünï"};

std::string
plain(int serial = 1, std::vector<std::string> comments = old_comments)
{
	wt::vorbis_options o;
	o.serial = serial;
	return wt::vorbis_bytes(comments, o);
}

std::string
small_pages()
{
	wt::vorbis_options o;
	o.page_per_packet = true;
	o.samples = 8820;
	return wt::vorbis_bytes(old_comments, o);
}

// A file whose size is a multiple of 1024: the comment's length makes up
// the difference.
std::string
kilobyte_multiple()
{
	std::string pad;
	for (int tries = 0; tries < 10; tries++) {
		std::string f = wt::vorbis_bytes({"ARTIST=Old", "PAD=" + pad});
		std::size_t rest = f.size() % 1024;
		if (rest == 0)
			return f;
		std::size_t want = pad.size() + 1024 - rest;
		pad.assign(want % 1024, 'p');
	}
	ADD_FAILURE() << "no file of a size multiple of 1024";
	return {};
}

std::string
vorbis_vendor()
{
	return wt::parse_comment_header(wt::ogg_streams(plain()).at(0).packets.at(1)).vendor;
}

// What ogginfo finds wrong with the file, with the numbers it names left
// out: a gap is the same gap when the pages around it are numbered anew.
std::vector<std::string>
ogginfo_warnings(const std::string &path)
{
	wt::run_result r = wt::run({"ogginfo", path});
	std::vector<std::string> found;
	std::istringstream all(r.out + r.err);
	for (std::string line; std::getline(all, line);) {
		if (line.find("WARNING") == std::string::npos && line.find("ERROR") == std::string::npos)
			continue;
		std::string shown;
		for (char c : line)
			if (!std::isdigit(static_cast<unsigned char>(c)))
				shown += c;
		found.push_back(shown);
	}
	return found;
}

std::string
ogginfo_problems(const std::string &path)
{
	wt::run_result r = wt::run({"ogginfo", path});
	std::string all = r.out + r.err;
	std::string problems;
	if (r.status != 0)
		problems += "status " + std::to_string(r.status) + "\n";
	for (const char *word : {"WARNING", "ERROR", "Warning", "Error"})
		if (all.find(word) != std::string::npos)
			problems += all;
	return problems;
}

// The rewritten file holds every packet of reference, byte for byte and in
// order, except the first stream's comment header, which holds the new
// tags; every page after the headers keeps its granule position, and the
// last one of each stream ends it.
void
expect_copied(const std::string &path, const std::string &reference)
{
	std::string header = wt::expect_rewritten(wt::read_file(path), reference, 3);
	wt::vorbis_comment_copy c = wt::parse_comment_header(header);
	EXPECT_TRUE(c.ok);
	EXPECT_EQ(c.comments, new_comments);
	EXPECT_EQ(c.vendor, wt::parse_comment_header(wt::ogg_streams(reference).at(0).packets.at(1)).vendor);
	EXPECT_EQ(wt::new_problems("ogginfo", path, reference), "");
}

TEST(OggVorbisRead, CommentsBecomeTagsInOrder)
{
	wt::tmpdir dir;
	std::string f = dir / "a.ogg";
	wt::make_vorbis(f, {"ARTIST=A=B", "=no key", "TITLE=", "Artist=second", "COMMENT=ünï"});
	ogg_ptr d(w_ftoggvorbis_init(f.c_str()));
	ASSERT_NE(d, nullptr);
	testing::internal::CaptureStderr();
	w_taglist_ptr l(w_ftoggvorbis_read(d.get()));
	std::string err = testing::internal::GetCapturedStderr();
	ASSERT_NE(l, nullptr);
	EXPECT_EQ(wt::to_tags(l.get()), (wt::tags{{"artist", "A=B"}, {"", "no key"}, {"title", ""},
					  {"artist", "second"}, {"comment", "ünï"}}));
	EXPECT_EQ(err, "");

	// The library's record is left as it was: a second read agrees.
	testing::internal::CaptureStderr();
	w_taglist_ptr again(w_ftoggvorbis_read(d.get()));
	testing::internal::GetCapturedStderr();
	ASSERT_NE(again, nullptr);
	EXPECT_EQ(wt::to_tags(again.get()), wt::to_tags(l.get()));
}

// Comments are counted bytes; an entry the tags cannot hold whole fails
// the read, so that no write can drop it or cut it short.
TEST(OggVorbisRead, RefusesEntriesTheTagsCannotHold)
{
	const std::vector<std::string> bad = {"NOEQUALS", std::string("ARTIST=Some B\0nd", 16),
					      std::string("TI\0TLE=x", 9)};
	for (const std::string &entry : bad) {
		SCOPED_TRACE(w_escape(entry.data(), entry.size()));
		wt::tmpdir dir;
		std::string f = dir / "a.ogg";
		wt::vorbis_options o;
		o.comment_packet = wt::vorbis_comment_packet("v", {"TITLE=T", entry, "GENRE=G"});
		wt::write_file(f, wt::vorbis_bytes({}, o));
		ogg_ptr d(w_ftoggvorbis_init(f.c_str()));
		ASSERT_NE(d, nullptr);
		testing::internal::CaptureStderr();
		w_taglist_ptr l(w_ftoggvorbis_read(d.get()));
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(l, nullptr);
		EXPECT_EQ(err, std::string(w_getprogname()) + ": invalid vorbis comment: " +
				   w_escape(entry.data(), entry.size()) + "\n" + w_getprogname() +
				   ": " + f + ": could not read tags from the file\n");
	}

	// Through the program: the entry and the file are named, nothing is
	// written.
	wt::tmpdir dir;
	std::string f = dir / "nul.ogg";
	wt::vorbis_options o;
	o.comment_packet = wt::vorbis_comment_packet("v", {std::string("ARTIST=Some B\0nd", 16)});
	std::string bytes = wt::vorbis_bytes({}, o);
	wt::write_file(f, bytes);
	wt::run_result r = wt::wembrix({"set:title=X", f});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: invalid vorbis comment: ARTIST=Some B\\0nd\n"
			 "wembrix: " + f + ": could not read tags from the file\n");
	EXPECT_TRUE(wt::read_file(f) == bytes) << "file changed";
}

TEST(OggVorbisRead, ChainedFileShowsTheFirstStream)
{
	wt::tmpdir dir;
	std::string f = dir / "c.ogg";
	wt::write_file(f, plain(1, {"ARTIST=First"}) + plain(2, {"ARTIST=Second"}));
	ogg_ptr d(w_ftoggvorbis_init(f.c_str()));
	ASSERT_NE(d, nullptr);
	w_taglist_ptr l(w_ftoggvorbis_read(d.get()));
	ASSERT_NE(l, nullptr);
	EXPECT_EQ(wt::to_tags(l.get()), (wt::tags{{"artist", "First"}}));
}

// Files that are not Ogg/Vorbis are turned away without a word, for the
// next backend to try; a file that is plainly Ogg/Vorbis but cannot be read
// is turned away with the reason.
TEST(OggVorbisInit, TurnsAwayWhatItCannotRead)
{
	std::string base = plain();
	std::vector<wt::ogg_page_copy> pages = wt::ogg_pages(base);
	std::string damaged_comment = base;
	damaged_comment[pages[1].offset + 27 + static_cast<unsigned char>(base[pages[1].offset + 26]) + 1] = 'x';
	wt::ogg_fix_checksum(damaged_comment, pages[1].offset);
	std::string damaged_id = base;
	damaged_id[28 + 11] = 9; // channels, in a header that must be sound
	damaged_id[28 + 12] = 0; // and a sample rate of 0
	damaged_id[28 + 13] = 0;
	damaged_id[28 + 14] = 0;
	damaged_id[28 + 15] = 0;
	wt::ogg_fix_checksum(damaged_id, 0);
	wt::vorbis_options lying;
	std::string short_packet = wt::vorbis_comment_packet("v", {"A=1"});
	short_packet[7 + 4 + 1] = 5; // five comments claimed, one held
	lying.comment_packet = short_packet;

	const std::string opus_head = std::string("OggS\0\x02", 6) + std::string(20, '\0');
	// The identification header on a page that does not begin a stream.
	std::string unbegun = base;
	unbegun[5] = 0;
	wt::ogg_fix_checksum(unbegun, 0);
	std::string misnumbered = base;
	wt::ogg_set_pageno(misnumbered, 0, 7);
	struct init_case {
		const char *name;
		std::string bytes;
		std::string warning; // after "prog: PATH: "
	};
	const std::vector<init_case> cases = {
		{"empty", "", ""},
		{"text", "just some text, no pages at all\n", ""},
		{"cut inside the first page", base.substr(0, 40), "file ends inside its Ogg/Vorbis headers"},
		{"cut inside the second page", base.substr(0, 100), "file ends inside its Ogg/Vorbis headers"},
		{"damaged identification header", damaged_id, "damaged Vorbis identification header"},
		{"damaged comment header", damaged_comment, "damaged Vorbis comment header"},
		{"more comments claimed than held", wt::vorbis_bytes({}, lying), "damaged Vorbis comment header"},
		{"Ogg, but not Vorbis", opus_head, ""},
		{"first page without its begin mark", unbegun, "first page lacks the begin-of-stream flag"},
		{"nothing but that page", unbegun.substr(0, pages[1].offset), "first page lacks the begin-of-stream flag"},
		{"first page numbered 7", misnumbered, "first page is numbered as if pages before it were missing"},
	};
	for (const init_case &c : cases) {
		EXPECT_EQ(wt::init_refusal(w_ftoggvorbis_init, w_ftoggvorbis_clear, c.bytes), c.warning.empty() ? "" : "PROG: PATH: " + c.warning + "\n")
		    << c.name;
	}

	wt::tmpdir dir;
	wt::make_flac(dir / "a.flac", {"ARTIST=x"});
	for (const char *name : {"a.flac", "missing.ogg"}) {
		testing::internal::CaptureStderr();
		void *d = w_ftoggvorbis_init((dir / name).c_str());
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << name;
		EXPECT_EQ(d, nullptr) << name;
		if (d != nullptr)
			w_ftoggvorbis_clear(d);
	}
}

// Opening reads no further than the comments: a file whose setup header
// is damaged still shows them, and a rewrite, which copies the setup header
// as it is, refuses a third header that is not one and leaves the file
// alone.
TEST(OggVorbisInit, ReadsNoFurtherThanTheComments)
{
	wt::tmpdir dir;
	std::string f = dir / "setup.ogg";
	std::string bytes = plain(1, {"TITLE=Kept"});
	std::size_t at = bytes.find("\x05vorbis");
	ASSERT_NE(at, std::string::npos);
	std::size_t page = 0;
	for (const auto &pg : wt::ogg_pages(bytes))
		if (pg.offset < at)
			page = pg.offset;
	bytes[at + 6] = 'X';
	wt::ogg_fix_checksum(bytes, page);
	wt::write_file(f, bytes);

	ogg_ptr d(w_ftoggvorbis_init(f.c_str()));
	ASSERT_NE(d, nullptr);
	w_taglist_ptr l(w_ftoggvorbis_read(d.get()));
	ASSERT_NE(l, nullptr);
	EXPECT_EQ(wt::to_tags(l.get()), (wt::tags{{"title", "Kept"}}));
	// The same tags are no write at all; other ones are refused.
	EXPECT_EQ(w_ftoggvorbis_write(d.get(), l.get()), 0);
	ASSERT_EQ(w_taglist_insert(l.get(), "artist", "New"), 0);
	EXPECT_EQ(w_ftoggvorbis_write(d.get(), l.get()), -1);
	EXPECT_TRUE(wt::read_file(f) == bytes) << "file changed";
	EXPECT_EQ(dir.list(), (std::vector<std::string>{"setup.ogg"}));
}

// The first or the last part of an Ogg page cut after segment k, the
// last part continuing the packet that the first leaves open.  The first
// part has no granule position, the last part the page's.
std::string
page_part(std::string page, std::size_t k, bool first, std::uint32_t pageno)
{
	const std::size_t n = static_cast<unsigned char>(page[26]);
	std::size_t head = 0;
	for (std::size_t i = 0; i < k; i++)
		head += static_cast<unsigned char>(page[27 + i]);
	std::string lacing = first ? page.substr(27, k) : page.substr(27 + k, n - k);
	std::string body = first ? page.substr(27 + n, head) : page.substr(27 + n + head);
	std::string h = page.substr(0, 27);
	if (first) {
		h.replace(6, 8, std::string(8, '\xff'));
		h[5] = static_cast<char>(h[5] & ~0x04);
	} else {
		h[5] = static_cast<char>(h[5] | (static_cast<unsigned char>(page[27 + k - 1]) == 255 ? 0x01 : 0));
	}
	h[26] = static_cast<char>(lacing.size());
	std::string out = h + lacing + body;
	wt::ogg_set_pageno(out, 0, pageno);
	return out;
}

// A file with two pages missing in the middle of two packets: the page
// before the gap ends with the head of one packet (after a whole one), the
// page after it begins with the tail of another.  With spanning, the head
// runs on over one more page before the gap.
std::string
packets_cut(bool spanning = false)
{
	wt::vorbis_options o;
	o.noise = true;
	o.quality = 1.0f;
	o.samples = 44100;
	std::vector<wt::ogg_page_copy> pages = wt::ogg_pages(wt::vorbis_bytes(old_comments, o));
	// A cut after a 255 segment that follows a packet's end.
	auto cut_at = [](const std::string &page) -> std::size_t {
		const std::size_t n = static_cast<unsigned char>(page[26]);
		for (std::size_t k = 2; k < n; k++)
			if (static_cast<unsigned char>(page[27 + k - 2]) < 255 &&
			    static_cast<unsigned char>(page[27 + k - 1]) == 255)
				return k;
		return 0;
	};
	const std::size_t i = 3;
	EXPECT_GT(pages.size(), i + 3);
	std::size_t k1 = cut_at(pages[i].bytes), k2 = cut_at(pages[i + 1].bytes);
	EXPECT_NE(k1, 0u);
	EXPECT_NE(k2, 0u);
	std::string out;
	for (std::size_t p = 0; p < i; p++)
		out += pages[p].bytes;
	const std::uint32_t more = spanning ? 1 : 0;
	out += page_part(pages[i].bytes, k1, true, static_cast<std::uint32_t>(i));
	if (spanning) {
		std::string rest = page_part(pages[i].bytes, k1, false, 0);
		EXPECT_EQ(static_cast<unsigned char>(rest[27]), 255) << "the packet must go on";
		out += page_part(rest, 1, true, static_cast<std::uint32_t>(i + 1));
	}
	out += page_part(pages[i + 1].bytes, k2, false, static_cast<std::uint32_t>(i + 2 + more));
	for (std::size_t p = i + 2; p < pages.size(); p++) {
		std::string b = pages[p].bytes;
		wt::ogg_set_pageno(b, 0, static_cast<std::uint32_t>(p + 1 + more));
		out += b;
	}
	return out;
}

struct copy_case {
	std::string name;
	std::string input;
	std::string reference; // what the packets must match; input when empty
};

std::vector<copy_case>
copy_cases()
{
	std::vector<copy_case> cases;
	std::string base = plain();
	std::string small = small_pages();
	std::string kilo = kilobyte_multiple();
	std::vector<wt::ogg_page_copy> pages = wt::ogg_pages(small);
	std::vector<wt::ogg_page_copy> base_pages = wt::ogg_pages(base);

	cases.push_back({"plain", base, ""});
	cases.push_back({"one page per packet", small, ""});
	cases.push_back({"chained", base + plain(2, {"ARTIST=Second"}) + plain(3, {}), ""});
	cases.push_back({"size multiple of 1024", kilo, ""});
	// Bytes after the last page: whether they come in the read that
	// ends the stream or only in a later one, they are left out.
	EXPECT_LE(base.size() % 1024 + 8, 1024u) << "the junk must come with the last page";
	cases.push_back({"junk in the last read", base + "TAG junk", base});
	cases.push_back({"junk after a read boundary", kilo + "TAG junk", kilo});
	cases.push_back({"much junk", base + std::string(3000, 'j'), base});
	cases.push_back({"a page's first bytes", base + base.substr(0, 40), base});
	cases.push_back({"chained, then junk", base + plain(2) + "junk", base + plain(2)});

	// A stream cut off: copied up to its last complete page.
	std::size_t last = base_pages.back().offset;
	cases.push_back({"cut in the audio", base.substr(0, last + 10), ""});
	cases.push_back({"cut after the headers", base.substr(0, base_pages[2].offset), ""});

	// Junk between pages: every page after it is still found, even in
	// the very last read.
	std::size_t before_last = pages.back().offset;
	std::string junked = small.substr(0, before_last) + "junk" + small.substr(before_last);
	EXPECT_GE(before_last, (junked.size() - 1) / 1024 * 1024) << "the junk must be in the last read";
	cases.push_back({"junk before the last page", junked, small});
	std::string two = base + plain(2);
	std::size_t link = base.size();
	cases.push_back({"junk between links", two.substr(0, link) + "junk" + two.substr(link), two});

	// The setup header shares its page with the first audio packets:
	// the headers get pages of their own, the audio keeps its position.
	std::string shared = base_pages[1].bytes, next = base_pages[2].bytes;
	std::size_t segs1 = static_cast<unsigned char>(shared[26]), segs2 = static_cast<unsigned char>(next[26]);
	EXPECT_LE(segs1 + segs2, 255u);
	std::string merged = shared.substr(0, 27) + shared.substr(27, segs1) + next.substr(27, segs2) +
	    shared.substr(27 + segs1) + next.substr(27 + segs2);
	merged[26] = static_cast<char>(segs1 + segs2);
	merged.replace(6, 8, next.substr(6, 8)); // the position of the audio
	wt::ogg_fix_checksum(merged, 0);
	std::string joined = base_pages[0].bytes + merged;
	for (std::size_t i = 3; i < base_pages.size(); i++) {
		std::string b = base_pages[i].bytes;
		wt::ogg_set_pageno(b, 0, static_cast<std::uint32_t>(i - 1));
		joined += b;
	}
	EXPECT_FALSE(wt::ogg_streams(joined)[0].headers_apart);
	cases.push_back({"audio on the last header page", joined, ""});

	// Pages missing where packets span them: the pages around the gap
	// are copied whole, and readers drop the same packets as before.
	cases.push_back({"packets cut by missing pages", packets_cut(), ""});
	cases.push_back({"a packet over two pages cut by missing pages", packets_cut(true), ""});

	// A page missing near the end: the packets after the gap are copied.
	std::vector<wt::ogg_page_copy> gapped = pages;
	gapped.erase(gapped.end() - 2);
	cases.push_back({"a page missing", wt::join_pages(gapped), ""});
	return cases;
}

TEST(OggVorbisWrite, CopiesEveryPacketAndReplacesTheComments)
{
	auto check = [](const copy_case &c) {
		wt::tmpdir dir;
		std::string f = dir / "song.ogg";
		wt::write_file(f, c.input);
		ASSERT_EQ(rewrite(f, new_tags), 0);
		expect_copied(f, c.reference.empty() ? c.input : c.reference);
		EXPECT_EQ(dir.list(), std::vector<std::string>{"song.ogg"});
	};
	for (const copy_case &c : copy_cases()) {
		SCOPED_TRACE(c.name);
		check(c);
	}
}

// Pages missing, repeated after the end, or marked or numbered wrongly:
// each page is copied whole where it stands, its number moved like its
// neighbours' when the headers take more or fewer pages, so that two
// independent decoders find the very same audio before and after; only the
// first page of each stream begins one.
TEST(OggVorbisWrite, KeepsStreamMarksAndGaps)
{
	wt::vorbis_options o;
	o.page_per_packet = true;
	o.samples = 44100;
	const std::string one = wt::vorbis_bytes(old_comments, o);
	o.serial = 2;
	const std::string two = wt::vorbis_bytes({"ARTIST=Second"}, o);
	ASSERT_GT(wt::ogg_pages(one).size(), 12u);
	const auto inputs = wt::marks_and_gaps(one, two, true);

	// Tags that keep the number of header pages, and tags that add some.
	const std::vector<std::pair<const char *, wt::tags>> writes = {
		{"same header pages", new_tags},
		{"more header pages", {{"artist", "X"}, {"cover", std::string(140000, 'c')}}},
	};
	wt::expect_marks_and_gaps_kept(inputs, writes, ".ogg", 3, "oggdec",
	    [](const std::string &f, const wt::tags &t) { return rewrite(f, t); },
	    [](const std::string &f, const std::string &ref) { EXPECT_EQ(ogginfo_warnings(f), ogginfo_warnings(ref)); });
}

// A write whose comment header fits the old one's room goes where the old
// header pages stand: the same inode (hard links see it), the same size,
// nothing else changed.  A file a copy would change elsewhere, and tags
// that do not fit, get the whole file rewritten, with room left after the
// new comment header for the next edit.
TEST(OggVorbisWrite, WritesInPlaceWhenTheTagsFit)
{
	// The vendor string a write puts in is the library's.
	auto padded = [](std::size_t room, const std::vector<std::string> &comments = old_comments) {
		wt::vorbis_options o;
		o.page_per_packet = true;
		o.comment_packet = wt::vorbis_comment_packet(vorbis_vendor(), comments) + std::string(room, '\0');
		return wt::vorbis_bytes({}, o);
	};
	const std::string roomy = padded(300);
	std::vector<wt::ogg_page_copy> pages = wt::ogg_pages(roomy);
	ASSERT_GT(pages.size(), 5u);
	std::vector<wt::ogg_page_copy> gapped = pages;
	gapped.erase(gapped.end() - 2);

	struct place_case {
		const char *name;
		std::string input;
		bool in_place;
		std::string reference; // input when empty
	};
	const std::vector<place_case> cases = {
		{"padding after the comments", roomy, true, ""},
		{"longer comments before", padded(0, {"ARTIST=" + std::string(300, 'o')}), true, ""},
		{"chained", roomy + plain(2), true, ""},
		{"a page missing in the audio", wt::join_pages(gapped), true, ""},
		{"too little room", padded(20), false, ""},
		{"bytes after the last page", roomy + "TAG junk", false, roomy},
		{"cut in the audio", roomy.substr(0, pages.back().offset + 10), false, ""},
	};
	for (const place_case &c : cases) {
		SCOPED_TRACE(c.name);
		wt::tmpdir dir;
		std::string f = dir / "song.ogg", link = dir / "link.ogg";
		wt::write_file(f, c.input);
		ASSERT_EQ(::link(f.c_str(), link.c_str()), 0);
		struct stat before, after;
		ASSERT_EQ(stat(f.c_str(), &before), 0);
		ASSERT_EQ(rewrite(f, new_tags), 0);
		ASSERT_EQ(stat(f.c_str(), &after), 0);
		const std::string out = wt::read_file(f);
		const std::string &reference = c.reference.empty() ? c.input : c.reference;
		expect_copied(f, reference);
		const std::string packet = wt::ogg_streams(out).at(0).packets.at(1);
		const wt::vorbis_comment_copy comment = wt::parse_comment_header(packet);
		EXPECT_TRUE(comment.zero_padding);
		const std::size_t bare = packet.size() - comment.padding;
		if (c.in_place) {
			EXPECT_EQ(after.st_ino, before.st_ino);
			EXPECT_TRUE(wt::read_file(link) == out) << "the hard link does not see the write";
			ASSERT_EQ(out.size(), c.input.size());
			const std::size_t audio = wt::ogg_pages(out).at(2).offset;
			EXPECT_TRUE(out.compare(audio, std::string::npos, c.input, audio) == 0) << "audio pages changed";
			EXPECT_EQ(packet.size(), wt::ogg_streams(c.input).at(0).packets.at(1).size());
		} else {
			EXPECT_NE(after.st_ino, before.st_ino);
			EXPECT_TRUE(wt::read_file(link) == c.input);
			EXPECT_EQ(comment.padding, std::min<std::size_t>(1024 + bare / 100, 65536));
		}
	}
}

TEST(OggVorbisWrite, WritesTheTagsItReadsBack)
{
	wt::tmpdir dir;
	std::string f = dir / "a.ogg";
	std::string before = plain();
	wt::write_file(f, before);
	ASSERT_EQ(rewrite(f, new_tags), 0);
	ogg_ptr d(w_ftoggvorbis_init(f.c_str()));
	ASSERT_NE(d, nullptr);
	w_taglist_ptr l(w_ftoggvorbis_read(d.get()));
	ASSERT_NE(l, nullptr);
	EXPECT_EQ(wt::to_tags(l.get()), (wt::tags{{"artist", "X"}, {"title", "A=B"}, {"artist", "Y"},
					  {"genre", "ünï"}}));

	// No tags at all is a valid comment header too.
	ASSERT_EQ(rewrite(f, {}), 0);
	std::vector<wt::ogg_stream_copy> s = wt::ogg_streams(wt::read_file(f));
	ASSERT_EQ(s.size(), 1u);
	wt::vorbis_comment_copy c = wt::parse_comment_header(s[0].packets[1]);
	EXPECT_TRUE(c.ok);
	EXPECT_TRUE(c.comments.empty());
	EXPECT_EQ(ogginfo_problems(f), "");
}

TEST(OggVorbisWrite, DecodesToAsManySamples)
{
	wt::tmpdir dir;
	std::string f = dir / "a.ogg", g = dir / "b.ogg";
	std::string chained = plain(1) + plain(2);
	wt::write_file(f, chained);
	wt::write_file(g, chained);
	ASSERT_EQ(rewrite(f, new_tags), 0);
	EXPECT_GT(wt::vorbis_pcm_total(g), 0);
	EXPECT_EQ(wt::vorbis_pcm_total(f), wt::vorbis_pcm_total(g));
}

// A rewrite keeps the timing the file declares: a stream cut from a live
// recording, whose positions do not start at 0, and a file with pages
// missing in the middle keep every page's position, and decoders find the
// same length in them.
TEST(OggVorbisWrite, KeepsTheTimingTheFileDeclares)
{
	wt::vorbis_options o;
	o.samples = 44100 * 3;
	o.page_per_packet = true;
	std::string three = wt::vorbis_bytes(old_comments, o);
	std::vector<wt::ogg_page_copy> pages = wt::ogg_pages(three);
	ASSERT_TRUE(wt::ogg_streams(three)[0].headers_apart);
	ASSERT_GE(pages.size(), 7u);

	std::vector<wt::ogg_page_copy> late = pages;
	std::string late_bytes;
	for (std::size_t i = 2; i < late.size(); i++) {
		std::string &b = late[i].bytes;
		std::int64_t g = late[i].granule + 1000000;
		for (std::size_t k = 0; k < 8; k++)
			b[6 + k] = static_cast<char>((g >> (8 * k)) & 0xff);
		wt::ogg_fix_checksum(b, 0);
	}
	std::vector<wt::ogg_page_copy> gapped = pages;
	gapped.erase(gapped.begin() + 3, gapped.begin() + 5);
	std::vector<wt::ogg_page_copy> both = late;
	both.erase(both.begin() + 3, both.begin() + 5);

	const std::vector<std::pair<const char *, std::string>> cases = {
		{"positions from 1,000,000 on", wt::join_pages(late)},
		{"pages missing in the middle", wt::join_pages(gapped)},
		{"both", wt::join_pages(both)},
	};
	for (const auto &[name, bytes] : cases) {
		SCOPED_TRACE(name);
		wt::tmpdir dir;
		std::string f = dir / "live.ogg", ref = dir / "ref.ogg";
		wt::write_file(f, bytes);
		wt::write_file(ref, bytes);
		ASSERT_EQ(rewrite(f, new_tags), 0);
		expect_copied(f, bytes);
		EXPECT_EQ(wt::vorbis_pcm_total(f), wt::vorbis_pcm_total(ref));
		EXPECT_DOUBLE_EQ(wt::vorbis_time_total(f), wt::vorbis_time_total(ref));
	}
	// The length is what the positions say, not what the audio holds.
	wt::tmpdir dir;
	wt::write_file(dir / "late.ogg", wt::join_pages(late));
	EXPECT_NEAR(wt::vorbis_time_total(dir / "late.ogg"), 3.0, 0.1);
}

// A name a Vorbis comment cannot hold is refused before the file is
// touched, with the name in the message.
TEST(OggVorbisWrite, RefusesNamesACommentCannotHold)
{
	for (const std::string &key : {std::string("a=b"), std::string("café"), std::string("ti~tle"),
		 std::string("tab\there")}) {
		SCOPED_TRACE(key);
		wt::tmpdir dir;
		std::string f = dir / "song.ogg";
		std::string bytes = plain();
		wt::write_file(f, bytes);
		testing::internal::CaptureStderr();
		int r = rewrite(f, {{"title", "ok"}, {key, "c"}});
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(r, -1);
		EXPECT_EQ(err, std::string(w_getprogname()) + ": invalid vorbis comment name: " +
				   w_escape(key.data(), key.size()) + "\n");
		EXPECT_TRUE(wt::read_file(f) == bytes);
		EXPECT_EQ(dir.list(), std::vector<std::string>{"song.ogg"});
	}
}

// Another program changed the file after its tags were read (edit waits on
// the user meanwhile): nothing is written, whether the tags would have gone
// in place or through a copy, and the file stays as that program left it.
TEST(OggVorbisWrite, ChangedFileIsNotWritten)
{
	const std::string before = plain();
	std::string edited = before; // the same size, one comment byte changed
	const std::size_t at = edited.find("ARTIST=Old");
	ASSERT_NE(at, std::string::npos);
	edited[at + 7] = 'N';
	wt::ogg_fix_checksum(edited, wt::ogg_pages(edited)[1].offset);

	const std::vector<wt::file_change> changes = {
		wt::replaced_by("replaced by another file", plain(5)),
		wt::rewritten_as("rewritten in place", edited),
		{"rewritten, its modification time put back",
		    [&](const std::string &f) {
			    struct stat st;
			    ASSERT_EQ(stat(f.c_str(), &st), 0);
			    wt::write_file(f, edited);
			    struct timespec times[2] = {st.st_atim, st.st_mtim};
			    ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
		    },
		    edited},
		wt::rewritten_as("grown", before + plain(2)),
	};
	const std::vector<std::pair<const char *, wt::tags>> writes = {
		{"fits in place", {{"artist", "X"}, {"title", "T"}}},
		{"needs a copy", new_tags},
	};
	ASSERT_NO_FATAL_FAILURE(
	    wt::expect_changed_file_not_written(w_ftoggvorbis_backend(), "song.ogg", before, changes, writes));

	// Its own writes do not count as changes: a second write of the same
	// tune finds the file as the first one left it.
	wt::tmpdir dir;
	std::string f = dir / "song.ogg";
	wt::write_file(f, before);
	ogg_ptr d(w_ftoggvorbis_init(f.c_str()));
	ASSERT_NE(d, nullptr);
	for (const auto &[how, tags] : {writes[0], writes[1], writes[0]}) {
		SCOPED_TRACE(std::string("again: ") + how);
		w_taglist_ptr l = wt::to_taglist(tags);
		EXPECT_EQ(w_ftoggvorbis_write(d.get(), l.get()), 0);
	}
	EXPECT_EQ(wt::run({"vorbiscomment", "-l", f}).out, "artist=X\ntitle=T\n");
}

// After a write through a copy, the copy as it took the file's name is what
// the next write expects: another program that rewrites it where it stands
// meanwhile is caught like any other change.
TEST(OggVorbisWrite, ChangeAfterItsOwnCopyIsNotWritten)
{
	const std::vector<std::pair<const char *, wt::tags>> writes = {
		{"fits in place", {{"artist", "X"}, {"title", "T"}}},
		{"needs a copy", {{"artist", std::string(3000, 'x')}}},
	};
	for (const auto &[how, tags] : writes) {
		SCOPED_TRACE(how);
		wt::tmpdir dir;
		std::string f = dir / "song.ogg";
		wt::write_file(f, plain());
		ogg_ptr d(w_ftoggvorbis_init(f.c_str()));
		ASSERT_NE(d, nullptr);
		struct stat read_st, copied_st;
		ASSERT_EQ(stat(f.c_str(), &read_st), 0);
		w_taglist_ptr first = wt::to_taglist(new_tags);
		ASSERT_EQ(w_ftoggvorbis_write(d.get(), first.get()), 0);
		ASSERT_EQ(stat(f.c_str(), &copied_st), 0);
		ASSERT_NE(copied_st.st_ino, read_st.st_ino) << "the first write must go through a copy";

		const std::string theirs = wt::read_file(f) + plain(2);
		wt::write_file(f, theirs);
		wt::past_change_time(f, copied_st);
		struct stat st;
		ASSERT_EQ(stat(f.c_str(), &st), 0);
		ASSERT_EQ(st.st_ino, copied_st.st_ino) << "rewritten where it stands";
		w_taglist_ptr l = wt::to_taglist(tags);
		wt::stderr_capture cap;
		EXPECT_EQ(w_ftoggvorbis_write(d.get(), l.get()), -1);
		EXPECT_EQ(wt::messages(cap.text()),
		    std::vector<std::string>{f + ": changed since its tags were read; not written"});
		EXPECT_TRUE(wt::read_file(f) == theirs);
		EXPECT_EQ(dir.list(), std::vector<std::string>{"song.ogg"});
	}
}

TEST(OggVorbisWrite, FailsWhenTheFileIsGone)
{
	wt::tmpdir dir;
	std::string f = dir / "song.ogg";
	wt::write_file(f, plain());
	ogg_ptr d(w_ftoggvorbis_init(f.c_str()));
	ASSERT_NE(d, nullptr);
	ASSERT_EQ(unlink(f.c_str()), 0);
	w_taglist_ptr l = wt::to_taglist(new_tags);
	EXPECT_EQ(w_ftoggvorbis_write(d.get(), l.get()), -1);
	EXPECT_TRUE(dir.list().empty());
}

// A read error must fail the write, not pass for a file that never ends.
// A directory in the file's place gives one (EISDIR); the write runs in a
// child process so that a loop shows as a failure, not as a hung test.
TEST(OggVorbisWrite, ReadErrorFailsTheWrite)
{
	wt::tmpdir dir;
	std::string f = dir / "song.ogg";
	wt::write_file(f, plain());
	ogg_ptr d(w_ftoggvorbis_init(f.c_str()));
	ASSERT_NE(d, nullptr);
	ASSERT_EQ(unlink(f.c_str()), 0);
	ASSERT_EQ(mkdir(f.c_str(), 0755), 0);
	w_taglist_ptr l = wt::to_taglist(new_tags);

	pid_t pid = fork();
	ASSERT_NE(pid, -1);
	if (pid == 0) {
		alarm(10);
		_exit(w_ftoggvorbis_write(d.get(), l.get()) == -1 ? 0 : 1);
	}
	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_TRUE(WIFEXITED(status)) << "the write did not end";
	EXPECT_EQ(WEXITSTATUS(status), 0) << "the write succeeded";
	EXPECT_EQ(dir.list(), std::vector<std::string>{"song.ogg"});
}

TEST(OggVorbisWrite, KeepsModeOwnerAndGroup)
{
	wt::tmpdir dir;
	std::string f = dir / "song.ogg";
	wt::write_file(f, plain());
	const bool root = geteuid() == 0;
	for (mode_t mode : {0644, 0640, 0604, 0600, 0444}) {
		SCOPED_TRACE(mode);
		ASSERT_EQ(chmod(f.c_str(), mode), 0);
		if (root) {
			ASSERT_EQ(chown(f.c_str(), 1234, 2345), 0);
		}
		ASSERT_EQ(rewrite(f, new_tags), 0);
		struct stat st;
		ASSERT_EQ(stat(f.c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, mode);
		if (root) {
			EXPECT_EQ(st.st_uid, 1234u);
			EXPECT_EQ(st.st_gid, 2345u);
		} else {
			EXPECT_EQ(st.st_uid, geteuid());
		}
	}
}

TEST(OggVorbisWrite, RewritesTheFileALinkNames)
{
	wt::tmpdir dir;
	ASSERT_EQ(mkdir((dir / "music").c_str(), 0755), 0);
	ASSERT_EQ(mkdir((dir / "links").c_str(), 0755), 0);
	std::string real = dir / "music/song.ogg";
	std::string before = plain();
	wt::write_file(real, before);
	ASSERT_EQ(chmod(real.c_str(), 0640), 0);
	// A link to a link to the file, the second one relative.
	ASSERT_EQ(symlink("../music/song.ogg", (dir / "links/inner.ogg").c_str()), 0);
	ASSERT_EQ(symlink((dir / "links/inner.ogg").c_str(), (dir / "outer.ogg").c_str()), 0);

	ASSERT_EQ(rewrite(dir / "outer.ogg", new_tags), 0);

	for (const char *link : {"outer.ogg", "links/inner.ogg"}) {
		struct stat st;
		ASSERT_EQ(lstat((dir / link).c_str(), &st), 0);
		EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
	}
	expect_copied(real, before);
	struct stat st;
	ASSERT_EQ(stat(real.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0640u);
	EXPECT_EQ(dir.list(), (std::vector<std::string>{"links", "music", "outer.ogg"}));
	EXPECT_EQ(wt::run({"ls", "-A", dir / "music"}).out, "song.ogg\n");
	EXPECT_EQ(wt::run({"ls", "-A", dir / "links"}).out, "inner.ogg\n");
}

// Through the program: what users see.

TEST(OggVorbisProgram, PrintsSetsAndNamesTheBackend)
{
	wt::tmpdir dir;
	std::string f = dir / "a.ogg";
	wt::make_vorbis(f, {"ARTIST=Old", "TITLE=A=B"});

	wt::run_result r = wt::wembrix({"backend", f});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "libvorbis " + f + "\n");

	r = wt::wembrix({f});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "# " + f + "\n---\n- artist: Old\n- title: A=B\n\n");
	EXPECT_EQ(r.err, "");

	r = wt::wembrix({"set:ARTIST=New", "add:genre=Rock", f});
	EXPECT_EQ(r.status, 0) << r.err;
	wt::run_result vc = wt::run({"vorbiscomment", "-l", f});
	EXPECT_EQ(vc.status, 0);
	EXPECT_EQ(vc.out, "artist=New\ntitle=A=B\ngenre=Rock\n");
	EXPECT_EQ(ogginfo_problems(f), "");
	EXPECT_EQ(dir.list(), std::vector<std::string>{"a.ogg"});
}

// While edit waits on the user, another program replaces the file, or
// rewrites it where it stands: the edit writes nothing, whether its tags
// would have fitted in place or not, and the other program's file stays.
TEST(OggVorbisProgram, EditOfAFileChangedMeanwhile)
{
	const std::vector<std::pair<const char *, const char *>> changes = {
		{"replaced", "cp \"$OTHER\" \"$SONG.new\" && mv \"$SONG.new\" \"$SONG\"\n"},
		{"rewritten where it stands", "cat \"$OTHER\" >\"$SONG\"\n"},
	};
	for (const auto &[name, change] : changes) {
		for (const bool fits : {true, false}) {
			SCOPED_TRACE(std::string(name) + (fits ? ", fits" : ", needs a copy"));
			wt::tmpdir dir;
			const std::string f = dir / "song.ogg", other = dir / "other.ogg", script = dir / "editor.sh";
			wt::write_file(f, plain());
			const std::string theirs = plain(5, {"ARTIST=Theirs", "TITLE=Their title"});
			wt::write_file(other, theirs);
			const std::string title = fits ? "X" : std::string(3000, 't');
			wt::write_script(script, change + std::string("sed -i 's/^- title: T$/- title: ") + title + "/' \"$1\"\n");
			wt::run_options opt;
			opt.env["EDITOR"] = script;
			opt.env["SONG"] = f;
			opt.env["OTHER"] = other;
			wt::run_result r = wt::wembrix({"edit", f}, opt);
			EXPECT_EQ(r.status, 1) << r.err;
			EXPECT_NE(r.err.find("wembrix: " + f + ": changed since its tags were read; not written\n"),
			    std::string::npos) << r.err;
			EXPECT_TRUE(wt::read_file(f) == theirs);
			EXPECT_EQ(dir.list(), (std::vector<std::string>{"editor.sh", "other.ogg", "song.ogg"}));
		}
	}
}

TEST(OggVorbisProgram, InterleavedFileIsLeftAlone)
{
	wt::tmpdir dir;
	std::string f = dir / "mux.ogg";
	std::vector<wt::ogg_page_copy> a = wt::ogg_pages(plain(1)), b = wt::ogg_pages(plain(2));
	std::string mux;
	for (std::size_t i = 0; i < a.size() || i < b.size(); i++)
		mux += (i < a.size() ? a[i].bytes : "") + (i < b.size() ? b[i].bytes : "");
	wt::write_file(f, mux);
	wt::run_result r = wt::wembrix({"set:artist=X", f});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: " + f + ": not written: a page of another stream comes inside its headers\n"
			 "wembrix: " + f + ": could not write tags to the file,\n");
	EXPECT_TRUE(wt::read_file(f) == mux);
	EXPECT_EQ(dir.list(), std::vector<std::string>{"mux.ogg"});
}

// A write that runs out of room (a file size limit stands in for a full
// disk) fails and leaves the file whole: a copy, whether the error shows
// while copying or only when the last bytes are flushed, and a write in
// place that the limit cuts short, whose bytes already written are put
// back.
TEST(OggVorbisProgram, FullDiskLeavesTheFileWhole)
{
	wt::vorbis_options big;
	big.noise = true;
	big.quality = 1.0f;
	big.samples = 44100 * 2;
	const std::string longer = "set:artist=" + std::string(2000, 'x');
	struct disk_case {
		const char *name;
		std::string bytes;
		std::string action;
		const char *blocks; // of 1024 bytes the file may reach
	};
	const std::vector<disk_case> cases = {
		{"copy of a small file", plain(), longer, "4"},
		{"copy of a big file", wt::vorbis_bytes(old_comments, big), longer, "4"},
		{"in place", plain(), "set:artist=X", "1"},
	};
	for (const disk_case &c : cases) {
		SCOPED_TRACE(c.name);
		wt::tmpdir dir;
		std::string f = dir / "song.ogg";
		wt::write_file(f, c.bytes);
		ASSERT_GT(c.bytes.size(), 4096u);
		ASSERT_GT(wt::ogg_pages(c.bytes).at(2).offset, 1024u);
		wt::run_result r = wt::run({"sh", "-c", std::string("ulimit -f ") + c.blocks + "; trap '' XFSZ; exec \"$@\"",
		    "sh", WEMBRIX_BIN, c.action, f});
		EXPECT_EQ(r.status, 1) << r.err;
		EXPECT_EQ(r.err, "wembrix: " + f + ": File too large\n"
				 "wembrix: " + f + ": could not write tags to the file,\n");
		EXPECT_TRUE(wt::read_file(f) == c.bytes);
		EXPECT_EQ(dir.list(), std::vector<std::string>{"song.ogg"});
	}
}

// A directory where no file can be created: tags that fit still go in
// place; others, which need a copy, fail and leave the file whole.  Root
// creates files anywhere, so as root the program runs as nobody.
TEST(OggVorbisProgram, UnwritableDirectory)
{
	for (const bool fits : {true, false}) {
		SCOPED_TRACE(fits ? "fits" : "needs a copy");
		wt::tmpdir dir;
		ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
		std::string sub = dir / "ro";
		ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
		std::string f = sub + "/song.ogg";
		std::string bytes = plain();
		wt::write_file(f, bytes);
		ASSERT_EQ(chmod(f.c_str(), 0666), 0);
		ASSERT_EQ(chmod(sub.c_str(), 0555), 0);

		std::vector<std::string> argv = {WEMBRIX_BIN, fits ? "set:artist=X" : "add:genre=Rock", f};
		if (geteuid() == 0) {
			if (wt::run({"setpriv", "--version"}).status != 0)
				GTEST_SKIP() << "running as root without setpriv";
			argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
		}
		wt::run_result r = wt::run(argv);
		chmod(sub.c_str(), 0755);
		if (fits) {
			EXPECT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(wt::run({"vorbiscomment", "-l", f}).out, "artist=X\ntitle=T\n");
		} else {
			EXPECT_EQ(r.status, 1) << r.err;
			EXPECT_NE(r.err.find(f + ": Permission denied\n"), std::string::npos) << r.err;
			EXPECT_NE(r.err.find("could not write tags"), std::string::npos) << r.err;
			EXPECT_TRUE(wt::read_file(f) == bytes);
		}
		EXPECT_EQ(wt::run({"ls", "-A", sub}).out, "song.ogg\n");
	}
}

} // namespace
