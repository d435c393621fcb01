#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_ftoggopus.h"
#include "w_inprocess.h"
#include "w_oggsupport.h"
#include "w_tagsupport.h"
#include "w_taglist.h"
#include "w_testsupport.h"
#include "w_toolkit.h"

namespace {

struct opus_deleter {
	void operator()(void *d) const { w_ftoggopus_clear(d); }
};
using opus_ptr = std::unique_ptr<void, opus_deleter>;

const std::vector<std::string> old_comments = {"ARTIST=Old", "ALBUMARTIST=Band", "COMPOSER=C",
					       "DISCNUMBER=2", "LYRICS=la la", "artist=Twice"};
const wt::tags new_tags = {{"ARTIST", "X"}, {"title", "A=B"}, {"artist", "Y"}, {"Genre", "ünï"}};
const std::vector<std::string> new_comments = {"artist=X", "title=A=B", "artist=Y", "genre=ünï"};

std::string
plain(int serial = 1, unsigned samples = 8000)
{
	wt::opus_options o;
	o.serial = serial;
	o.samples = samples;
	return wt::opus_bytes(old_comments, o);
}

// The OpusHead packet of a file.
std::string
head_of(const std::string &file)
{
	return wt::ogg_streams(file, 2).at(0).packets.at(0);
}

// plain() with its OpusTags packet replaced.
std::string
with_tags(const std::string &tags_packet, const std::string &file = plain())
{
	return wt::ogg_with_headers(file, {head_of(file), tags_packet});
}

int
rewrite(const std::string &path, const wt::tags &tags, const std::string *swap = nullptr)
{
	return wt::backend_rewrite(w_ftoggopus_backend(), path, tags, swap);
}

// The rewritten file holds every packet of reference byte for byte, the
// first stream's OpusTags aside, which holds the new tags with the old
// vendor string and binary data; every page after the headers keeps its
// granule position; later chained streams are copied page for page.
void
expect_copied(const std::string &path, const std::string &reference, const std::string &binary = "")
{
	std::string out = wt::read_file(path);
	std::string header = wt::expect_rewritten(out, reference, 2);
	std::vector<wt::ogg_stream_copy> got = wt::ogg_streams(out, 2);
	std::vector<wt::ogg_stream_copy> want = wt::ogg_streams(reference, 2);
	ASSERT_FALSE(got.empty());
	ASSERT_FALSE(want.empty());
	wt::vorbis_comment_copy t = wt::parse_comment_header(header);
	ASSERT_TRUE(t.ok);
	EXPECT_EQ(t.comments, new_comments);
	EXPECT_EQ(t.vendor, wt::parse_comment_header(want[0].packets[1]).vendor);
	EXPECT_TRUE(t.rest == binary);

	// Later links: the very same pages.
	std::vector<wt::ogg_page_copy> gp = wt::ogg_pages(out), wp = wt::ogg_pages(reference);
	std::size_t later_g = 0, later_w = 0;
	while (later_g < gp.size() && gp[later_g].serial == got[0].serial)
		later_g++;
	while (later_w < wp.size() && wp[later_w].serial == want[0].serial)
		later_w++;
	EXPECT_TRUE(wt::join_pages({gp.begin() + static_cast<long>(later_g), gp.end()}) ==
		    wt::join_pages({wp.begin() + static_cast<long>(later_w), wp.end()}));
	EXPECT_EQ(wt::new_problems("opusinfo", path, reference), "");
}

// mutagen's view of the comments: NAME=value lines.
std::string
mutagen_tags(const std::string &path)
{
	wt::run_result r = wt::run({"/usr/bin/python3", "-c",
	    "import sys\n"
	    "from mutagen.oggopus import OggOpus\n"
	    "for k, v in OggOpus(sys.argv[1]).tags:\n"
	    "    print('%s=%s' % (k, v))\n",
	    path});
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

TEST(OggOpusRead, EveryCommentInOrder)
{
	wt::tmpdir dir;
	std::string f = dir / "a.opus";
	wt::write_file(f, plain());
	opus_ptr d(w_ftoggopus_init(f.c_str()));
	ASSERT_NE(d, nullptr);
	w_taglist_ptr l(w_ftoggopus_read(d.get()));
	ASSERT_NE(l, nullptr);
	EXPECT_EQ(wt::to_tags(l.get()),
	    (wt::tags{{"encoder", "opusenc from opus-tools 0.2"}, {"artist", "Old"}, {"albumartist", "Band"},
		{"composer", "C"}, {"discnumber", "2"}, {"lyrics", "la la"}, {"artist", "Twice"},
		{"encoder_options", "--serial 1"}}));

	// A chained file shows its first link.
	wt::write_file(f, plain(1) + wt::opus_bytes({"ARTIST=Second"}, {8000, 2}));
	opus_ptr c(w_ftoggopus_init(f.c_str()));
	ASSERT_NE(c, nullptr);
	w_taglist_ptr cl(w_ftoggopus_read(c.get()));
	ASSERT_NE(cl, nullptr);
	EXPECT_EQ(wt::to_tags(cl.get()).at(1), (std::pair<std::string, std::string>{"artist", "Old"}));
}

// Comments are counted bytes; an entry the tags cannot hold whole fails
// the read, so that no write can drop it or cut it short.
TEST(OggOpusRead, RefusesEntriesTheTagsCannotHold)
{
	for (const std::string &entry : {std::string("NOEQUALS"), std::string("ARTIST=Some B\0nd", 16)}) {
		SCOPED_TRACE(w_escape(entry.data(), entry.size()));
		wt::tmpdir dir;
		std::string f = dir / "a.opus";
		std::string bytes = with_tags(wt::opus_tags_packet("v", {"TITLE=T", entry}));
		wt::write_file(f, bytes);
		opus_ptr d(w_ftoggopus_init(f.c_str()));
		ASSERT_NE(d, nullptr);
		testing::internal::CaptureStderr();
		w_taglist_ptr l(w_ftoggopus_read(d.get()));
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(l, nullptr);
		EXPECT_EQ(err, std::string(w_getprogname()) + ": invalid vorbis comment: " +
				   w_escape(entry.data(), entry.size()) + "\n" + w_getprogname() +
				   ": " + f + ": could not read tags from the file\n");

		wt::run_result r = wt::wembrix({"set:title=X", f});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: invalid vorbis comment: " + w_escape(entry.data(), entry.size()) +
				     "\nwembrix: " + f + ": could not read tags from the file\n");
		EXPECT_TRUE(wt::read_file(f) == bytes) << "file changed";
	}
}

// Files that are not Ogg/Opus are turned away without a word; a file that
// is plainly Ogg/Opus but cannot be read is turned away with the reason.
TEST(OggOpusInit, TurnsAwayWhatItCannotRead)
{
	std::string base = plain();
	std::string head = head_of(base);
	std::string v2 = head;
	v2[8] = 0x10; // a version whose layout is unknown
	std::string lying = wt::opus_tags_packet("v", {"A=1"});
	lying[8 + 4 + 1 + 0] = 3; // three comments claimed, one held
	std::string running = wt::opus_tags_packet("v", {"A=1"});
	running[8 + 4 + 1 + 4] = 50; // a comment longer than the packet
	// The identification header on a page that does not begin a stream;
	// alone, it is the 47 bytes of a file found by fuzzing.
	std::string unbegun = base;
	unbegun[5] = 0;
	wt::ogg_fix_checksum(unbegun, 0);
	const std::string unbegun_alone = unbegun.substr(0, wt::ogg_pages(base)[1].offset);
	std::string misnumbered = base;
	wt::ogg_set_pageno(misnumbered, 0, 7);

	struct init_case {
		const char *name;
		std::string bytes;
		std::string warning; // after "prog: PATH: "
	};
	const std::vector<init_case> cases = {
		{"empty", "", ""},
		{"Ogg/Vorbis", wt::vorbis_bytes({"A=1"}), ""},
		{"text", "no pages here\n", ""},
		{"more comments claimed than held", with_tags(lying), "damaged Opus comment header"},
		{"a comment running past the end", with_tags(running), "damaged Opus comment header"},
		{"not a comment header", with_tags("OpusTagz" + lying.substr(8)), "damaged Opus comment header"},
		{"unknown version", wt::ogg_with_headers(base, {v2, wt::opus_tags_packet("v", {})}),
		    "damaged Opus identification header"},
		{"cut inside the comment header", base.substr(0, wt::ogg_pages(base)[1].offset + 30),
		    "file ends inside its Ogg/Opus headers"},
		{"first page without its begin mark", unbegun, "first page lacks the begin-of-stream flag"},
		{"nothing but that page", unbegun_alone, "first page lacks the begin-of-stream flag"},
		{"first page numbered 7", misnumbered, "first page is numbered as if pages before it were missing"},
	};
	for (const init_case &c : cases) {
		EXPECT_EQ(wt::init_refusal(w_ftoggopus_init, w_ftoggopus_clear, c.bytes), c.warning.empty() ? "" : "PROG: PATH: " + c.warning + "\n")
		    << c.name;
	}
}

struct copy_case {
	std::string name;
	std::string input;
	std::string binary; // what must follow the comments afterwards
	std::string reference; // what the packets must match; input when empty
};

std::vector<copy_case>
copy_cases()
{
	std::vector<copy_case> cases;
	std::string base = plain(1, 24000);
	std::string head = head_of(base);
	cases.push_back({"made by opusenc", base, "", ""});
	cases.push_back({"chained", base + plain(2) + wt::opus_bytes({"TITLE=Third"}, {4000, 3}), "", ""});
	std::string big(100000, 'x');
	cases.push_back({"comment header over several pages",
	    with_tags(wt::opus_tags_packet("big vendor", {"COVER=" + big, "A=1"}), base), "", ""});
	std::string binary = std::string("\x01\x00\xffkept", 7);
	cases.push_back({"binary data after the comments",
	    with_tags(wt::opus_tags_packet("v", {"A=1"}, binary), base), binary, ""});
	cases.push_back({"padding after the comments",
	    with_tags(wt::opus_tags_packet("v", {"A=1"}, std::string(300, '\0')), base), "", ""});
	std::vector<wt::ogg_page_copy> pages = wt::ogg_pages(base);
	cases.push_back({"cut in the audio", base.substr(0, pages.back().offset + 10), "", ""});
	return cases;
}

TEST(OggOpusWrite, KeepsEveryPacketAndPositionAndReplacesTheComments)
{
	for (const copy_case &c : copy_cases()) {
		SCOPED_TRACE(c.name);
		wt::tmpdir dir;
		std::string f = dir / "song.opus";
		wt::write_file(f, c.input);
		ASSERT_EQ(rewrite(f, new_tags), 0);
		expect_copied(f, c.reference.empty() ? c.input : c.reference, c.binary);
		EXPECT_EQ(mutagen_tags(f), "artist=X\ntitle=A=B\nartist=Y\ngenre=ünï\n");
		EXPECT_EQ(dir.list(), std::vector<std::string>{"song.opus"});
	}
}

// Pages missing, repeated after the end, or marked or numbered wrongly:
// each page is copied whole where it stands, its number moved like its
// neighbours' when the headers take more or fewer pages, so that opusdec
// and ffmpeg decode the very same audio before and after (opusdec conceals
// a gap, and must still see it); only the first page of each stream begins
// one.
TEST(OggOpusWrite, KeepsStreamMarksAndGaps)
{
	const std::string one = plain(1, 48000);
	const std::string two = wt::opus_bytes({"ARTIST=Second"}, {48000, 2});
	ASSERT_GT(wt::ogg_pages(one).size(), 5u);
	ASSERT_GT(wt::ogg_pages(two).size(), 5u);
	const auto inputs = wt::marks_and_gaps(one, two, false);

	// Tags that fit in place, tags that need a copy with as many header
	// pages, and tags that add header pages.
	const std::vector<std::pair<const char *, wt::tags>> writes = {
		{"in place", new_tags},
		{"same header pages", {{"artist", std::string(2000, 'x')}}},
		{"more header pages", {{"artist", "X"}, {"cover", std::string(140000, 'c')}}},
	};
	wt::expect_marks_and_gaps_kept(inputs, writes, ".opus", 2, "opusdec",
	    [](const std::string &f, const wt::tags &t) { return rewrite(f, t); });
}

// opusenc leaves room after the comments: tags that fit go where the old
// header pages stand (same inode and size, audio untouched).  Binary data
// after the comments is kept, so that only a comment list of the very same
// length goes in place; a copy then adds no padding after it.
TEST(OggOpusWrite, WritesInPlaceWhenTheTagsFit)
{
	const std::string base = plain();
	const std::string binary = std::string("\x01\x00\xffkept", 7);
	// A comment list of exactly the length of new_comments'.
	const std::vector<std::string> same_length = {"ARTIST=Q", "TITLE=A=C", "ARTIST=Z", "GENRE=ünö"};
	const std::string vendor = wt::parse_comment_header(wt::ogg_streams(base, 2)[0].packets[1]).vendor;
	struct place_case {
		const char *name;
		std::string input;
		bool in_place;
		std::string binary;
		std::size_t padding; // after the comments afterwards
	};
	const std::vector<place_case> cases = {
		{"made by opusenc", base, true, "", 0},
		{"binary data, the same length", with_tags(wt::opus_tags_packet(vendor, same_length, binary)), true,
		    binary, 0},
		{"binary data, shorter comments before", with_tags(wt::opus_tags_packet(vendor, {"A=1"}, binary)), false,
		    binary, 0},
		{"too little room", with_tags(wt::opus_tags_packet(vendor, {"A=1"}, std::string(5, '\0'))), false, "",
		    1},
	};
	for (const place_case &c : cases) {
		SCOPED_TRACE(c.name);
		wt::tmpdir dir;
		std::string f = dir / "song.opus";
		wt::write_file(f, c.input);
		struct stat before, after;
		ASSERT_EQ(stat(f.c_str(), &before), 0);
		ASSERT_EQ(rewrite(f, new_tags), 0);
		ASSERT_EQ(stat(f.c_str(), &after), 0);
		expect_copied(f, c.input, c.binary);
		const std::string out = wt::read_file(f);
		const std::string packet = wt::ogg_streams(out, 2).at(0).packets.at(1);
		const wt::vorbis_comment_copy t = wt::parse_comment_header(packet);
		EXPECT_TRUE(t.zero_padding);
		EXPECT_EQ(after.st_ino == before.st_ino, c.in_place);
		if (c.in_place) {
			ASSERT_EQ(out.size(), c.input.size());
			const std::size_t audio = wt::ogg_pages(out).at(2).offset;
			EXPECT_TRUE(out.compare(audio, std::string::npos, c.input, audio) == 0) << "audio pages changed";
		} else if (c.padding != 0) {
			const std::size_t bare = packet.size() - t.padding;
			EXPECT_EQ(t.padding, std::min<std::size_t>(1024 + bare / 100, 65536));
		} else {
			EXPECT_EQ(t.padding, 0u);
		}
		EXPECT_EQ(mutagen_tags(f), "artist=X\ntitle=A=B\nartist=Y\ngenre=ünï\n");
	}
}

// Another program changed the file after its tags were read: nothing is
// written, whichever way the write would go, and the file stays as that
// program left it.  Names a comment cannot hold are refused before the
// file is looked at.
TEST(OggOpusWrite, ChangedFileIsNotWritten)
{
	const std::string base = plain(), other = plain(5);
	const std::vector<std::pair<const char *, wt::tags>> writes = {
		{"fits in place", new_tags},
		{"needs a copy", {{"artist", std::string(2000, 'x')}}},
	};
	const std::vector<wt::file_change> changes = {
		wt::replaced_by("replaced", other),
		wt::rewritten_as("rewritten", other),
	};
	ASSERT_NO_FATAL_FAILURE(
	    wt::expect_changed_file_not_written(w_ftoggopus_backend(), "song.opus", base, changes, writes));

	wt::tmpdir dir;
	std::string f = dir / "song.opus";
	wt::write_file(f, base);
	testing::internal::CaptureStderr();
	EXPECT_EQ(rewrite(f, {{"a=b", "c"}}), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    std::string(w_getprogname()) + ": invalid vorbis comment name: a=b\n");
	EXPECT_TRUE(wt::read_file(f) == base);
}

TEST(OggOpusWrite, KeepsModeAndRewritesTheFileALinkNames)
{
	wt::tmpdir dir;
	std::string real = dir / "song.opus";
	std::string before = plain();
	wt::write_file(real, before);
	ASSERT_EQ(chmod(real.c_str(), 0640), 0);
	ASSERT_EQ(symlink("song.opus", (dir / "link.opus").c_str()), 0);
	ASSERT_EQ(rewrite(dir / "link.opus", new_tags), 0);
	struct stat st;
	ASSERT_EQ(lstat((dir / "link.opus").c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	ASSERT_EQ(stat(real.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0640u);
	expect_copied(real, before);
	EXPECT_EQ(dir.list(), (std::vector<std::string>{"link.opus", "song.opus"}));
}

// Through the program: every comment shows, and each one can be changed.
TEST(OggOpusProgram, ShowsAndChangesEveryComment)
{
	wt::tmpdir dir;
	std::string f = dir / "a.opus";
	std::string before = plain();
	wt::write_file(f, before);

	wt::run_result r = wt::wembrix({"backend", f});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "libogg " + f + "\n");

	r = wt::wembrix({f});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "# " + f + "\n---\n- encoder: opusenc from opus-tools 0.2\n- artist: Old\n"
			  "- albumartist: Band\n- composer: C\n- discnumber: '2'\n- lyrics: la la\n"
			  "- artist: Twice\n- encoder_options: --serial 1\n\n");

	r = wt::wembrix({"set:albumartist=X", "clear:lyrics", "add:genre=Rock", f});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(mutagen_tags(f), "encoder=opusenc from opus-tools 0.2\nartist=Old\nalbumartist=X\n"
				   "composer=C\ndiscnumber=2\nartist=Twice\nencoder_options=--serial 1\ngenre=Rock\n");
	EXPECT_EQ(wt::new_problems("opusinfo", f, before), "");

	r = wt::wembrix({"clear:", f});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(mutagen_tags(f), "");
	r = wt::wembrix({f});
	EXPECT_EQ(r.out, "# " + f + "\n--- []\n\n");
	wt::run_result info = wt::run({"opusinfo", f});
	EXPECT_EQ(info.status, 0);
	EXPECT_NE(info.out.find("Encoded with libopus"), std::string::npos) << "vendor lost";
	EXPECT_EQ(dir.list(), std::vector<std::string>{"a.opus"});

	r = wt::wembrix({"-h"});
	EXPECT_NE((r.out + r.err).find("libogg: Ogg/Opus files format"), std::string::npos) << r.out << r.err;
}

} // namespace

namespace {

// A first page whose checksum fails is skipped by libogg, which then finds
// no identification header; the file still announces Opus where its first
// packet starts, so it is named as damaged, never refused in silence.
TEST(OggOpusProgram, AFileThatAnnouncesOpusIsNeverRefusedInSilence)
{
	wt::tmpdir dir;
	const std::string f = dir / "a.opus";
	std::string bytes = plain();
	ASSERT_EQ(bytes.substr(28, 8), "OpusHead");
	bytes[28 + 10] ^= 1; // the pre-skip, under the page's old checksum
	wt::write_file(f, bytes);
	for (const char *action : {"print", "set:title=X"}) {
		wt::run_result r = wt::wembrix({action, f});
		EXPECT_EQ(r.status, 1) << action;
		EXPECT_EQ(r.err, "wembrix: " + f + ": damaged file; libogg cannot read it\n") << action;
		EXPECT_TRUE(wt::read_file(f) == bytes);
	}
}

} // namespace
