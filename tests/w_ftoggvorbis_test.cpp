#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
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

	// Pages missing where a packet spans them: readers drop the parts of
	// the packets the gap cut, and so must the closed-up copy.
	cases.push_back({"packets cut by missing pages", packets_cut(), ""});

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

struct fail_case {
	std::string name;
	std::string bytes;  // what the file holds when the write runs
	std::string reason; // what the user is told after the path
};

std::vector<fail_case>
fail_cases()
{
	std::string base = plain();
	std::vector<wt::ogg_page_copy> pages = wt::ogg_pages(base);
	std::vector<fail_case> cases;

	cases.push_back({"cut inside the headers", base.substr(0, pages[1].offset + 20),
	    "not written: the file ends inside its headers"});
	cases.push_back({"first page only", pages[0].bytes, "not written: the file ends inside its headers"});

	std::string damaged = base;
	damaged[pages[1].offset + 27 + static_cast<unsigned char>(damaged[pages[1].offset + 26]) + 1] = 'x';
	wt::ogg_fix_checksum(damaged, pages[1].offset);
	cases.push_back({"damaged comment header", damaged, "not written: its headers cannot be read"});

	// Two streams multiplexed: every page of the second one is foreign
	// to the first.
	std::vector<wt::ogg_page_copy> a = pages, b = wt::ogg_pages(plain(7));
	std::string mux;
	for (std::size_t i = 0; i < a.size() || i < b.size(); i++) {
		if (i < a.size())
			mux += a[i].bytes;
		if (i < b.size())
			mux += b[i].bytes;
	}
	cases.push_back({"interleaved second stream", mux,
	    "not written: a page of another stream comes inside its headers"});
	// The same, with the second stream beginning inside the first's audio.
	std::vector<wt::ogg_page_copy> longer = wt::ogg_pages(small_pages());
	std::string late_mux;
	for (std::size_t i = 0; i < longer.size(); i++)
		late_mux += longer[i].bytes + (i >= 4 && i - 4 < b.size() ? b[i - 4].bytes : "");
	cases.push_back({"second stream begins inside the audio", late_mux,
	    "not written: a page of another stream comes before this one ends (interleaved streams)"});

	// A stream that says it ends before its headers are complete.
	std::string early = pages[0].bytes;
	early[5] = static_cast<char>(early[5] | 0x04);
	wt::ogg_fix_checksum(early, 0);
	cases.push_back({"ends inside its headers", early + plain(2),
	    "not written: its stream ends inside its headers"});

	// Readers drop a packet cut by missing pages; its head, written before
	// the gap was seen, cannot be taken back.
	cases.push_back({"a packet over two pages cut by missing pages", packets_cut(true),
	    "not written: pages are missing after a packet that began on a page already copied"});

	cases.push_back({"empty", "", "not written: no stream begins the file"});
	cases.push_back({"not Ogg at all", std::string(5000, 'x'), "not written: no stream begins the file"});
	return cases;
}

TEST(OggVorbisWrite, FailureLeavesTheFileAsItWas)
{
	for (const fail_case &c : fail_cases()) {
		SCOPED_TRACE(c.name);
		wt::tmpdir dir;
		std::string f = dir / "song.ogg";
		wt::write_file(f, plain());
		wt::stderr_capture cap;
		EXPECT_EQ(rewrite(f, new_tags, &c.bytes), -1);
		EXPECT_EQ(wt::messages(cap.text()), std::vector<std::string>{f + ": " + c.reason});
		EXPECT_TRUE(wt::read_file(f) == c.bytes);
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
// disk) fails and leaves the file whole, whether the error shows while
// copying or only when the last bytes are flushed.
TEST(OggVorbisProgram, FullDiskLeavesTheFileWhole)
{
	wt::vorbis_options big;
	big.noise = true;
	big.quality = 1.0f;
	big.samples = 44100 * 2;
	const std::vector<std::pair<const char *, std::string>> files = {
		{"small", plain()},
		{"big", wt::vorbis_bytes(old_comments, big)},
	};
	for (const auto &[name, bytes] : files) {
		SCOPED_TRACE(name);
		wt::tmpdir dir;
		std::string f = dir / "song.ogg";
		wt::write_file(f, bytes);
		ASSERT_GT(bytes.size(), 4096u);
		wt::run_result r = wt::run({"sh", "-c", "ulimit -f 4; trap '' XFSZ; exec \"$@\"", "sh",
		    WEMBRIX_BIN, "set:artist=X", f});
		EXPECT_EQ(r.status, 1) << r.err;
		EXPECT_EQ(r.err, "wembrix: " + f + ": File too large\n"
				 "wembrix: " + f + ": could not write tags to the file,\n");
		EXPECT_TRUE(wt::read_file(f) == bytes);
		EXPECT_EQ(dir.list(), std::vector<std::string>{"song.ogg"});
	}
}

// A directory where no file can be created.  Root creates files anywhere,
// so as root the program runs as nobody.
TEST(OggVorbisProgram, UnwritableDirectoryLeavesTheFileWhole)
{
	wt::tmpdir dir;
	ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
	std::string sub = dir / "ro";
	ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
	std::string f = sub + "/song.ogg";
	std::string bytes = plain();
	wt::write_file(f, bytes);
	ASSERT_EQ(chmod(f.c_str(), 0666), 0);
	ASSERT_EQ(chmod(sub.c_str(), 0555), 0);

	std::vector<std::string> argv = {WEMBRIX_BIN, "set:artist=X", f};
	if (geteuid() == 0) {
		if (wt::run({"setpriv", "--version"}).status != 0)
			GTEST_SKIP() << "running as root without setpriv";
		argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
	}
	wt::run_result r = wt::run(argv);
	chmod(sub.c_str(), 0755);
	EXPECT_EQ(r.status, 1) << r.err;
	EXPECT_NE(r.err.find(f + ": Permission denied\n"), std::string::npos) << r.err;
	EXPECT_NE(r.err.find("could not write tags"), std::string::npos) << r.err;
	EXPECT_TRUE(wt::read_file(f) == bytes);
	EXPECT_EQ(wt::run({"ls", "-A", sub}).out, "song.ogg\n");
}

} // namespace
