#include <gtest/gtest.h>

#include <FLAC/metadata.h>
#include <cctype>
#include <dlfcn.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "w_flacbytes.h"
#include "w_ftflac.h"
#include "w_inprocess.h"
#include "w_tagsupport.h"
#include "w_testsupport.h"
#include "w_tune.h"

namespace {

// While set, libFLAC's in-place write stands in for one that believes the
// metadata longer than it is and writes on into the audio, a piece at a time.
bool runaway_writer = false;
int runaway_pieces = 0; // how many pieces the stream took before it refused

} // namespace

extern "C" FLAC__bool
FLAC__metadata_chain_write_with_callbacks(FLAC__Metadata_Chain *chain, FLAC__bool use_padding,
    FLAC__IOHandle handle, FLAC__IOCallbacks callbacks)
{
	if (!runaway_writer) {
		using fn = FLAC__bool (*)(FLAC__Metadata_Chain *, FLAC__bool, FLAC__IOHandle,
		    FLAC__IOCallbacks);
		void *real = dlsym(RTLD_NEXT, "FLAC__metadata_chain_write_with_callbacks");
		if (real == nullptr)
			std::abort();
		return reinterpret_cast<fn>(real)(chain, use_padding, handle, callbacks);
	}
	if (callbacks.seek(handle, 4, SEEK_SET) != 0)
		return false;
	const char piece[16] = "runaway metadat";
	for (int i = 0; i < 4096; i++, runaway_pieces++)
		if (callbacks.write(piece, 1, sizeof piece, handle) != sizeof piece)
			return false;
	return true;
}

namespace {

using lines = std::vector<std::string>;
using pairs = wt::tags;

struct flac_file {
	void *data;
	explicit flac_file(const std::string &path) : data(w_ftflac_init(path.c_str())) {}
	~flac_file()
	{
		if (data != nullptr)
			w_ftflac_clear(data);
	}
};

pairs
read_tags(void *data)
{
	w_taglist_ptr l(w_ftflac_read(data));
	EXPECT_NE(l, nullptr);
	return l ? wt::to_tags(l.get()) : pairs{};
}

int
write_tags(void *data, const pairs &p)
{
	return w_ftflac_write(data, wt::to_taglist(p).get());
}

// The audio is intact when flac's own check against the stored MD5 passes.
void
expect_audio_intact(const std::string &path)
{
	wt::run_result r = wt::run({"flac", "-s", "-t", path});
	EXPECT_EQ(r.status, 0) << r.err;
}

std::string
vorbis_comment_listing(const std::string &path)
{
	return wt::run({"metaflac", "--list", "--block-type=VORBIS_COMMENT", path}).out;
}

} // namespace

TEST(Flac, FileWithoutCommentBlock)
{
	wt::tmpdir dir;
	std::string path = dir / "bare.flac";
	wt::make_flac(path, {}, {.comment_block = false});
	const std::string before = wt::read_file(path);
	{
		flac_file f(path);
		ASSERT_NE(f.data, nullptr);
		EXPECT_EQ(read_tags(f.data), pairs{});
	}
	EXPECT_TRUE(wt::read_file(path) == before) << "file changed"; // opening alone never writes

	{
		flac_file f(path);
		ASSERT_EQ(write_tags(f.data, {{"title", "T"}, {"artist", "A"}}), 0);
	}
	EXPECT_EQ(wt::metaflac_tags(path), (lines{"title=T", "artist=A"}));
	expect_audio_intact(path);
}

TEST(Flac, DuplicatesAndOrderSurvive)
{
	wt::tmpdir dir;
	std::string path = dir / "dup.flac";
	wt::make_flac(path, {"ARTIST=A", "Title=T", "ARTIST=B", "comment=x=y"});
	flac_file f(path);
	ASSERT_NE(f.data, nullptr);
	pairs tags = read_tags(f.data);
	EXPECT_EQ(tags, (pairs{{"artist", "A"}, {"title", "T"}, {"artist", "B"}, {"comment", "x=y"}}));
	// The same tags, names compared without regard to case: nothing to
	// write, and the file keeps its own spelling.
	ASSERT_EQ(write_tags(f.data, tags), 0);
	EXPECT_EQ(wt::metaflac_tags(path), (lines{"ARTIST=A", "Title=T", "ARTIST=B", "comment=x=y"}));
	ASSERT_EQ(write_tags(f.data, {{"artist", "A"}, {"title", "T"}, {"artist", "B"}, {"comment", "x=y"}, {"x", "1"}}), 0);
	EXPECT_EQ(wt::metaflac_tags(path), (lines{"artist=A", "title=T", "artist=B", "comment=x=y", "x=1"}));
	// A second write through the same data works from the updated chain.
	ASSERT_EQ(write_tags(f.data, {{"title", "again"}}), 0);
	EXPECT_EQ(wt::metaflac_tags(path), (lines{"title=again"}));
	expect_audio_intact(path);
}

TEST(Flac, EmptyListKeepsTheBlockAndVendor)
{
	wt::tmpdir dir;
	std::string path = dir / "e.flac";
	wt::make_flac(path, {"TITLE=T"});
	const std::string listed = vorbis_comment_listing(path);
	const std::size_t at = listed.find("vendor string:");
	ASSERT_NE(at, std::string::npos) << listed;
	const std::string vendor_line = listed.substr(at, listed.find('\n', at) - at);
	{
		flac_file f(path);
		ASSERT_EQ(write_tags(f.data, {}), 0);
	}
	std::string listing = vorbis_comment_listing(path);
	EXPECT_NE(listing.find("comments: 0"), std::string::npos) << listing;
	EXPECT_NE(listing.find(vendor_line), std::string::npos) << listing;
}

TEST(Flac, OnlyTheFirstCommentBlockIsUsed)
{
	wt::tmpdir dir;
	std::string path = dir / "two.flac";
	wt::make_flac(path, {"TITLE=first"});
	{
		// Append a second comment block with libFLAC's own chain.
		FLAC__Metadata_Chain *chain = FLAC__metadata_chain_new();
		ASSERT_TRUE(FLAC__metadata_chain_read(chain, path.c_str()));
		FLAC__Metadata_Iterator *it = FLAC__metadata_iterator_new();
		FLAC__metadata_iterator_init(it, chain);
		while (FLAC__metadata_iterator_next(it))
			;
		FLAC__StreamMetadata *vc = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
		FLAC__StreamMetadata_VorbisComment_Entry e;
		FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&e, "TITLE", "second");
		FLAC__metadata_object_vorbiscomment_append_comment(vc, e, false);
		ASSERT_TRUE(FLAC__metadata_iterator_insert_block_after(it, vc));
		ASSERT_TRUE(FLAC__metadata_chain_write(chain, true, false));
		FLAC__metadata_iterator_delete(it);
		FLAC__metadata_chain_delete(chain);
	}
	flac_file f(path);
	EXPECT_EQ(read_tags(f.data), (pairs{{"title", "first"}}));
	ASSERT_EQ(write_tags(f.data, {{"title", "new"}}), 0);
	std::string listing = vorbis_comment_listing(path);
	EXPECT_NE(listing.find("TITLE=second"), std::string::npos) << listing;
	EXPECT_NE(listing.find("title=new"), std::string::npos) << listing;
	EXPECT_EQ(listing.find("first"), std::string::npos) << listing;
}

TEST(Flac, RefusedTagsFailBeforeTheFileIsTouched)
{
	wt::tmpdir dir;
	std::string path = dir / "r.flac";
	wt::make_flac(path, {"TITLE=T"});
	const std::string before = wt::read_file(path);
	const struct {
		pairs tags;
		std::string message;
	} cases[] = {
	    {{{"ti=tle", "x"}}, "invalid vorbis comment name: ti=tle"},
	    {{{"title", "caf\xE9"}}, "invalid vorbis comment value for title"},
	    {{{"title", "ok"}, {"k\x7F", "x"}}, "invalid vorbis comment name: k\\x7f"},
	    {{{"title", "ok"}, {"caf\xC3\xA9", "x"}}, "invalid vorbis comment name: caf\xC3\xA9"},
	};
	for (const auto &c : cases) {
		flac_file f(path);
		wt::stderr_capture cap;
		EXPECT_EQ(write_tags(f.data, c.tags), -1);
		EXPECT_EQ(wt::messages(cap.text()), lines{c.message});
		EXPECT_TRUE(wt::read_file(path) == before) << "file changed";
		// The refused tags never reached the block either.
		EXPECT_EQ(read_tags(f.data), (pairs{{"title", "T"}}));
	}
	EXPECT_EQ(dir.list(), (lines{"r.flac"}));
}

// An entry the tags cannot hold whole fails the read, so that no write can
// cut or drop it; the warnings show the entry and name the file.
TEST(Flac, EntriesATagCannotHoldFailTheRead)
{
	const struct {
		std::string entry;
		std::string message;
	} cases[] = {
	    {std::string("ARTIST=Some\0Band", 16), "invalid vorbis comment: ARTIST=Some\\0Band"},
	    {"NOEQUALSIGN", "invalid vorbis comment: NOEQUALSIGN"},
	    {std::string("\0TITLE=x", 8), "invalid vorbis comment: \\0TITLE=x"},
	};
	for (const auto &c : cases) {
		wt::tmpdir dir;
		std::string path = dir / "nul.flac";
		wt::make_flac(path, {"TITLE=T", c.entry});
		const std::string before = wt::read_file(path);
		{
			flac_file f(path);
			ASSERT_NE(f.data, nullptr);
			wt::stderr_capture cap;
			EXPECT_EQ(w_taglist_ptr(w_ftflac_read(f.data)), nullptr);
			EXPECT_EQ(wt::messages(cap.text()),
			    (lines{c.message, path + ": could not read tags from the file"}));
		}
		wt::run_result r = wt::wembrix({"set:title=X", path});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: " + c.message + "\nwembrix: " + path +
				     ": could not read tags from the file\n");
		EXPECT_TRUE(wt::read_file(path) == before) << "file changed";
	}
}

TEST(Flac, OtherFilesAreRefused)
{
	wt::tmpdir dir;
	wt::write_file(dir / "notes.txt", "fLaC is not enough\n");
	wt::write_file(dir / "empty.flac", "");
	for (const char *name : {"notes.txt", "empty.flac", "missing.flac"}) {
		flac_file f(dir / name);
		EXPECT_EQ(f.data, nullptr) << name;
	}
}

// A rewrite keeps what the user set up around the file, whether the new
// metadata fits into the padding (in place) or not (whole-file rewrite).
class FlacFileSafety : public ::testing::TestWithParam<unsigned> {};

TEST_P(FlacFileSafety, LinkStaysALinkAndModeIsKept)
{
	wt::tmpdir dir;
	ASSERT_EQ(mkdir((dir / "store").c_str(), 0755), 0);
	std::string real = dir / "store/song.flac", link = dir / "link.flac";
	wt::make_flac(real, {"TITLE=T"}, {.padding = GetParam()});
	ASSERT_EQ(chmod(real.c_str(), 0640), 0);
	ASSERT_EQ(symlink("store/song.flac", link.c_str()), 0);
	const std::string before = wt::read_file(real);

	{
		flac_file f(link);
		ASSERT_NE(f.data, nullptr);
		ASSERT_EQ(write_tags(f.data, {{"title", "T"}, {"comment", std::string(300, 'c')}}), 0);
	}
	struct stat st;
	ASSERT_EQ(lstat(link.c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	ASSERT_EQ(stat(real.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0640u);
	EXPECT_EQ(wt::metaflac_tags(real), (lines{"title=T", "comment=" + std::string(300, 'c')}));
	// Padding 0 forces a whole-file rewrite: then the file grows.
	if (GetParam() == 0)
		EXPECT_GT(wt::read_file(real).size(), before.size());
	else
		EXPECT_EQ(wt::read_file(real).size(), before.size());
	expect_audio_intact(real);
	EXPECT_EQ(dir.list(), (lines{"link.flac", "store"}));
	EXPECT_EQ(wt::run({"ls", "-A", dir / "store"}).out, "song.flac\n");
}

INSTANTIATE_TEST_SUITE_P(Padding, FlacFileSafety, ::testing::Values(0u, 4096u));

TEST(Flac, MetadataLargerThanOneReadComesBackWhole)
{
	wt::tmpdir dir;
	std::string path = dir / "big.flac";
	std::string big(20000, 'b');
	big[0] = 'B';
	big.back() = 'E';
	wt::make_flac(path, {"TITLE=T", "COMMENT=" + big, "ARTIST=A"}, {.padding = 9000});
	flac_file f(path);
	ASSERT_NE(f.data, nullptr);
	EXPECT_EQ(read_tags(f.data), (pairs{{"title", "T"}, {"comment", big}, {"artist", "A"}}));
}

namespace {

// A real encoded file (STREAMINFO, VORBIS_COMMENT with TITLE=Intro, no
// padding) taken apart at its block headers, to be changed and put back.
// The comment block gets a vendor string of known length (34 bytes in all).
wt::flac_layout
intro_layout(const wt::tmpdir &dir)
{
	std::string seed = dir / "seed.flac";
	wt::make_flac(seed, {"TITLE=Intro"}, {.padding = 0});
	std::optional<wt::flac_layout> layout = wt::flac_split(wt::read_file(seed));
	EXPECT_TRUE(layout.has_value() && layout->blocks.size() == 2);
	std::remove(seed.c_str());
	if (!layout || layout->blocks.size() != 2)
		return {};
	layout->blocks[1].body = wt::vorbis_comment_body({"TITLE=Intro"});
	return *layout;
}

// The same with a cue sheet, which metaflac adds.
wt::flac_layout
cued_layout(const wt::tmpdir &dir)
{
	std::string seed = dir / "seed.flac", cue = dir / "seed.cue";
	wt::make_flac(seed, {"TITLE=Intro"}, {.padding = 0, .samples = 10 * 588});
	wt::write_file(cue, "FILE \"x.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
	wt::run_result r = wt::run({"metaflac", "--import-cuesheet-from=" + cue, seed});
	EXPECT_EQ(r.status, 0) << r.err;
	std::optional<wt::flac_layout> layout = wt::flac_split(wt::read_file(seed));
	EXPECT_TRUE(layout.has_value());
	std::remove(seed.c_str());
	std::remove(cue.c_str());
	return layout.value_or(wt::flac_layout{});
}

std::string
count_patched(std::string body, std::uint32_t count)
{
	// The entry count follows the vendor string.
	std::size_t vendor = static_cast<unsigned char>(body[0]);
	for (int i = 0; i < 4; i++)
		body[4 + vendor + static_cast<std::size_t>(i)] = static_cast<char>(count >> (8 * i) & 0xFF);
	return body;
}

} // namespace

/*
 * Metadata that libFLAC reads but would not write back as it stands: its
 * write puts each block's declared length in front of the content it
 * parsed, so everything after such a block shifts (and in place, the audio
 * is overwritten).  Each file is refused with the reason, byte for byte as
 * it was; the tags libFLAC read can still be shown.
 */
TEST(Flac, InconsistentMetadataIsRefusedAndLeftAlone)
{
	const std::vector<std::string> three = {"TITLE=a", "ALBUM=b", "GENRE=c"};
	const std::vector<std::string> two(three.begin(), three.begin() + 2);
	const struct {
		const char *name;
		std::function<std::string(const wt::tmpdir &)> make;
		bool decodes; // what `flac -t` says of the file
		std::string reason;
	} cases[] = {
	    {"second comment block with 10 bytes of slack",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks.push_back({4, wt::vorbis_comment_body({"ARTIST=x"}) + std::string(10, '\0')});
			return wt::flac_join(l);
		},
		true, "block 3 (VORBIS_COMMENT) is declared 41 bytes long but holds 31"},
	    {"comment block declared too short, inside an entry",
		[&](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks[1] = {4, wt::vorbis_comment_body(three)};
			l.blocks[1].declared = static_cast<std::uint32_t>(l.blocks[1].body.size() - 3);
			return wt::flac_join(l);
		},
		false, "block 2 (VORBIS_COMMENT) is declared 49 bytes long but holds 41"},
	    {"comment block declared too short, leaving an entry behind it",
		[&](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks[1] = {4, count_patched(wt::vorbis_comment_body(two), 3)};
			l.audio = wt::vorbis_comment_body({"GENRE=c"}).substr(19) + l.audio;
			return wt::flac_join(l);
		},
		false, "block 2 (VORBIS_COMMENT) counts 3 entries but holds 2"},
	    {"bytes between the last block and the audio",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.audio = "TITLE=hidden" + l.audio;
			return wt::flac_join(l);
		},
		false, "the bytes after the last block are not the start of an audio frame"},
	    {"the same behind 8 KiB of padding, beyond the first read",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks.push_back({1, std::string(8192, '\0')});
			l.audio = "TITLE=hidden" + l.audio;
			return wt::flac_join(l);
		},
		false, "the bytes after the last block are not the start of an audio frame"},
	    {"a single byte after the last block",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.audio = "\xFF";
			return wt::flac_join(l);
		},
		false, "the bytes after the last block are not the start of an audio frame"},
	    {"comment block counting more entries than it holds",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks[1].body = count_patched(l.blocks[1].body, 1000);
			return wt::flac_join(l);
		},
		true, "block 2 (VORBIS_COMMENT) is declared 34 bytes long but holds 19"},
	    {"STREAMINFO declared 30 bytes long",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks[0].declared = 30;
			return wt::flac_join(l);
		},
		false, "block 1 (STREAMINFO) is declared 30 bytes long but holds 34"},
	    {"second STREAMINFO",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks.push_back(l.blocks[0]);
			return wt::flac_join(l);
		},
		false, "block 3 is a second STREAMINFO"},
	    {"comment block before STREAMINFO",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			std::swap(l.blocks[0], l.blocks[1]);
			return wt::flac_join(l);
		},
		true, "the first block is VORBIS_COMMENT, not STREAMINFO"},
	    {"CUESHEET with 10 bytes of slack",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = cued_layout(d);
			for (wt::flac_block &b : l.blocks)
				if (b.type == 5)
					b.body += std::string(10, '\0');
			return wt::flac_join(l);
		},
		true, "block 4 (CUESHEET) is declared 490 bytes long but holds 480"},
	    {"comment block running past the end of the file",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks[1].declared = static_cast<std::uint32_t>(l.blocks[1].body.size() + 100);
			l.audio.clear();
			return wt::flac_join(l);
		},
		false, "block 2 (VORBIS_COMMENT) is declared 134 bytes long but holds 34"},
	    {"padding running past the end of the file",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks.push_back({1, std::string(100, '\0'), 100000});
			l.audio.clear();
			return wt::flac_join(l);
		},
		false, "the last block runs past the end of the file"},
	    {"16 bytes: two empty comment blocks and a block of type 120",
		[](const wt::tmpdir &) { return std::string("fLaC\x04\0\0\0\x04\0\0\0\xF8\0\0\0", 16); },
		false, "the first block is VORBIS_COMMENT, not STREAMINFO"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		wt::tmpdir dir;
		std::string path = dir / "odd.flac";
		const std::string before = c.make(dir);
		wt::write_file(path, before);
		EXPECT_EQ(wt::run({"flac", "-s", "-t", path}).status == 0, c.decodes);

		const std::string message = path + ": inconsistent FLAC metadata, not written: " + c.reason;
		// A title that fits the padding is written in place, one that
		// does not through a copy: both are refused.
		for (const std::string &title : {std::string("X"), std::string(20000, 'x')}) {
			SCOPED_TRACE("a title of " + std::to_string(title.size()) + " bytes");
			flac_file f(path);
			ASSERT_NE(f.data, nullptr);
			w_taglist_ptr shown(w_ftflac_read(f.data));
			wt::stderr_capture cap;
			EXPECT_EQ(write_tags(f.data, {{"title", title}}), -1);
			EXPECT_EQ(wt::messages(cap.text()), lines{message});
			// A refused write leaves the tags in memory as they were read.
			if (shown) {
				EXPECT_EQ(read_tags(f.data), wt::to_tags(shown.get()));
			}
		}
		EXPECT_TRUE(wt::read_file(path) == before) << "file changed";

		wt::run_result r = wt::wembrix({"set:title=X", path});
		EXPECT_EQ(r.status, 1);
		EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
		EXPECT_TRUE(wt::read_file(path) == before) << "file changed";
		EXPECT_EQ(dir.list(), (lines{"odd.flac"}));
	}
}

// A file that starts like FLAC but that libFLAC cannot read is refused with
// the reason; any other file is left to the other backends in silence.
TEST(Flac, UnreadableFlacSaysWhy)
{
	const std::string id3 = std::string("ID3\x04\0\0\0\0\0\x0A", 10) + std::string(10, '\0');
	const struct {
		const char *name;
		std::function<std::string(const wt::tmpdir &)> make;
		std::string reason; // empty: no message at all
	} cases[] = {
	    {"padding running past the end, with a block after it",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks.push_back({1, std::string(100, '\0'), 100000});
			l.blocks.push_back({1, std::string(100, '\0')});
			return wt::flac_join(l);
		},
		"block 3 (PADDING) runs past the end of the file"},
	    {"STREAMINFO declared 40 bytes long",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks[0].body += std::string(6, '\0');
			return wt::flac_join(l);
		},
		"block 1 (STREAMINFO) is declared 40 bytes long, not 34"},
	    {"the same after an ID3v2 tag",
		[&](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.head = id3 + l.head;
			l.blocks[0].body += std::string(6, '\0');
			return wt::flac_join(l);
		},
		"block 1 (STREAMINFO) is declared 40 bytes long, not 34"},
	    {"a signature and nothing else", [](const wt::tmpdir &) { return std::string("fLaC"); },
		"block 1 runs past the end of the file"},
	    {"a block of type 127, which no file may hold",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			l.blocks.insert(l.blocks.begin() + 1, {127, "x"});
			return wt::flac_join(l);
		},
		"block 2 has the invalid type 127"},
	    {"a picture whose MIME type is longer than the block",
		[](const wt::tmpdir &d) {
			wt::flac_layout l = intro_layout(d);
			const std::string picture = std::string("\0\0\0\x03\0\0\x03\xE8image/png", 17) +
			    std::string(40, '\0');
			l.blocks.insert(l.blocks.begin() + 1, {6, picture});
			return wt::flac_join(l);
		},
		"FLAC__METADATA_CHAIN_STATUS_BAD_METADATA"},
	    {"text", [](const wt::tmpdir &) { return std::string("fLa is not enough\n"); }, ""},
	    {"an ID3v2 tag before something else",
		[&](const wt::tmpdir &) {
			return id3 + std::string("\xFF\xFB\x90\x00", 4) + std::string(400, '\0');
		},
		""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		wt::tmpdir dir;
		std::string path = dir / "odd.flac";
		wt::write_file(path, c.make(dir));
		wt::stderr_capture cap;
		flac_file f(path);
		EXPECT_EQ(f.data, nullptr);
		EXPECT_EQ(wt::messages(cap.text()),
		    c.reason.empty() ? lines{} : lines{path + ": unreadable FLAC metadata: " + c.reason});
	}
}

/*
 * Every kind of block goes back byte for byte, whether the write happens
 * in place or through a rewrite, after an ID3v2 tag or not; the audio never
 * changes.  Each block's length is counted from what libFLAC parsed, so
 * this is also where a miscount would show: the file would be refused.
 */
TEST(Flac, EveryKindOfBlockGoesBackAsItWas)
{
	auto comment = [](std::size_t n) { return std::string(n, 'c'); };
	for (bool id3 : {false, true}) {
		for (unsigned padding : {0u, 4096u}) {
			SCOPED_TRACE((id3 ? "ID3v2, padding " : "padding ") + std::to_string(padding));
			wt::tmpdir dir;
			std::string path = dir / "all.flac";
			wt::flac_layout l = cued_layout(dir);
			wt::write_file(path, wt::flac_join(l));
			wt::write_file(dir / "pic.png", "not really an image");
			const std::vector<std::string> ops = {"--add-seekpoint=2",
			    "--import-picture-from=3|image/png|cover|16x16x24|" + dir / "pic.png"};
			for (const std::string &op : ops) {
				wt::run_result r = wt::run({"metaflac", op, path});
				ASSERT_EQ(r.status, 0) << r.err;
			}
			l = wt::flac_split(wt::read_file(path)).value();
			l.blocks.push_back({2, "TEST application data"});
			l.blocks.push_back({77, "a block of a kind yet to come"});
			if (padding != 0)
				l.blocks.push_back({1, std::string(padding, '\0')});
			if (id3)
				l.head = std::string("ID3\x04\0\0\0\0\0\x14", 10) + std::string(20, 'i') + l.head;
			const std::string before = wt::flac_join(l);
			wt::write_file(path, before);

			{
				flac_file f(path);
				ASSERT_NE(f.data, nullptr);
				EXPECT_EQ(read_tags(f.data), (pairs{{"title", "Intro"}}));
				ASSERT_EQ(write_tags(f.data, {{"title", "Outro"}, {"comment", comment(200)}}), 0);
				// The same opening writes again, from where the last
				// write left the file.
				ASSERT_EQ(write_tags(f.data, {{"title", "Outro"}, {"comment", comment(300)}}), 0);
			}
			const std::string after = wt::read_file(path);
			std::optional<wt::flac_layout> written = wt::flac_split(after);
			ASSERT_TRUE(written.has_value());
			EXPECT_TRUE(written->audio == l.audio) << "audio changed";
			EXPECT_EQ(written->head, l.head);
			auto kept = [](const wt::flac_layout &x) {
				std::vector<std::pair<unsigned, std::string>> out;
				for (const wt::flac_block &b : x.blocks)
					if (b.type != 1 && b.type != 4)
						out.emplace_back(b.type, b.body);
				return out;
			};
			EXPECT_EQ(kept(*written), kept(l));
			if (padding != 0)
				EXPECT_EQ(after.size(), before.size()); // in place
			else
				EXPECT_GT(after.size(), before.size()); // rewritten
			EXPECT_EQ(wt::metaflac_tags(path), (lines{"title=Outro", "comment=" + comment(300)}));
			expect_audio_intact(path);

			// The rewritten file is as good as a fresh one: a second
			// write through a new opening works from it.
			flac_file again(path);
			ASSERT_NE(again.data, nullptr);
			EXPECT_EQ(write_tags(again.data, {{"title", "Again"}}), 0);
			EXPECT_TRUE(wt::flac_audio(wt::read_file(path)) == l.audio) << "audio changed";
		}
	}
}

// Metadata and no audio at all is a whole file: the audio check takes the
// end of the file for the start of nothing, not for a fault.
TEST(Flac, FileWithoutAudioFramesIsWritten)
{
	for (unsigned padding : {0u, 64u}) {
		wt::tmpdir dir;
		std::string path = dir / "silent.flac";
		wt::flac_layout l = intro_layout(dir);
		if (padding != 0)
			l.blocks.push_back({1, std::string(padding, '\0')});
		l.audio.clear();
		wt::write_file(path, wt::flac_join(l));
		{
			flac_file f(path);
			ASSERT_NE(f.data, nullptr);
			EXPECT_EQ(write_tags(f.data, {{"title", "Quiet"}}), 0);
		}
		EXPECT_EQ(wt::metaflac_tags(path), (lines{"title=Quiet"}));
		EXPECT_EQ(wt::flac_audio(wt::read_file(path)), std::string());
	}
}

// What the fuzz targets hold the backend to: a read that succeeds gives back
// every entry byte for byte (names lower-cased), and a write of those tags
// puts the same bytes back, with the audio untouched.
TEST(Flac, EntriesComeBackByteForByte)
{
	const std::vector<std::string> entries = {"TITLE=Caf\xC3\xA9 \xF0\x9F\x8E\xB5",
	    "COMMENT=a=b==c", "EMPTY=", "LYRICS=line one\nline two\r\n\ttab",
	    "=no name", "Mixed Case Name=x", "LONG=" + std::string(70000, 'l')};
	wt::tmpdir dir;
	std::string path = dir / "bytes.flac";
	wt::make_flac(path, entries, {.padding = 0});
	const std::string before = wt::read_file(path);

	auto comment_entries = [](const std::string &file) {
		std::optional<wt::flac_layout> l = wt::flac_split(file);
		EXPECT_TRUE(l.has_value());
		for (const wt::flac_block &b : l ? l->blocks : std::vector<wt::flac_block>{})
			if (b.type == 4)
				return wt::vorbis_comment_entries(b.body).value_or(lines{"(malformed)"});
		return lines{};
	};
	lines expected;
	for (const std::string &e : entries) {
		std::size_t eq = e.find('=');
		std::string name = e.substr(0, eq);
		for (char &ch : name)
			ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
		expected.push_back(name + e.substr(eq));
	}
	ASSERT_EQ(comment_entries(before), entries);

	flac_file f(path);
	ASSERT_NE(f.data, nullptr);
	pairs tags = read_tags(f.data);
	lines got;
	for (const auto &[k, v] : tags)
		got.push_back(k + "=" + v);
	EXPECT_EQ(got, expected);

	// Written back unchanged, the tags change nothing, so nothing is
	// written; with one more, every entry is written again, lower-cased.
	ASSERT_EQ(write_tags(f.data, tags), 0);
	EXPECT_TRUE(wt::read_file(path) == before) << "an unchanged list was written";
	tags.push_back({"more", "1"});
	expected.push_back("more=1");
	ASSERT_EQ(write_tags(f.data, tags), 0);
	const std::string after = wt::read_file(path);
	EXPECT_EQ(comment_entries(after), expected);
	EXPECT_TRUE(wt::flac_audio(after) == wt::flac_audio(before)) << "audio changed";
}

// A block's length has 24 bits: tags that need more are refused before the
// file is touched, not written with a length that wrapped around.
TEST(Flac, TagsTooLargeForOneBlockAreRefused)
{
	wt::tmpdir dir;
	std::string path = dir / "big.flac";
	wt::make_flac(path, {"TITLE=T"});
	const std::string before = wt::read_file(path);
	flac_file f(path);
	ASSERT_NE(f.data, nullptr);
	wt::stderr_capture cap;
	EXPECT_EQ(write_tags(f.data, {{"title", "T"}, {"comment", std::string(1 << 24, 'c')}}), -1);
	EXPECT_EQ(wt::messages(cap.text()),
	    lines{path + ": the tags do not fit into a FLAC comment block"});
	EXPECT_TRUE(wt::read_file(path) == before) << "file changed";
	EXPECT_EQ(read_tags(f.data), (pairs{{"title", "T"}}));
	EXPECT_EQ(dir.list(), (lines{"big.flac"}));
}

// The last guard: whatever the in-place writer believes, no byte of the
// audio changes.
TEST(Flac, InPlaceWriteNeverReachesTheAudio)
{
	wt::tmpdir dir;
	std::string path = dir / "guard.flac";
	wt::make_flac(path, {"TITLE=T"}, {.padding = 512});
	const std::string before = wt::read_file(path);
	const std::string audio = wt::flac_audio(before).value();
	{
		flac_file f(path);
		ASSERT_NE(f.data, nullptr);
		runaway_writer = true;
		runaway_pieces = 0;
		const int r = write_tags(f.data, {{"title", "U"}});
		runaway_writer = false;
		EXPECT_EQ(r, -1);
	}
	// It did run, up to the audio; what it wrote never reached the file.
	EXPECT_GT(runaway_pieces, 0);
	const std::string after = wt::read_file(path);
	EXPECT_TRUE(after.substr(before.size() - audio.size()) == audio) << "audio changed";
	EXPECT_TRUE(after == before) << "a half-written rewrite was left in the file";
}

// A write the system refuses (a file size limit stands in for a full disk)
// says why, leaves the file as it was and nothing beside it.
TEST(Flac, RefusedWriteSaysWhyAndLeavesTheFile)
{
	wt::tmpdir dir;
	std::string path = dir / "full.flac";
	wt::make_flac(path, {"TITLE=T"}, {.padding = 0, .samples = 44100});
	const std::string before = wt::read_file(path);
	ASSERT_GT(before.size(), 8192u);
	wt::run_result r = wt::run({"sh", "-c", "ulimit -f 8; trap '' XFSZ; exec \"$@\"", "sh",
	    WEMBRIX_BIN, "set:comment=" + std::string(20000, 'x'), path});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: " + path + ": File too large\nwembrix: " + path +
			     ": could not write tags to the file,\n");
	EXPECT_TRUE(wt::read_file(path) == before) << "file changed";
	EXPECT_EQ(dir.list(), (lines{"full.flac"}));
}

namespace {

// An ID3v2 tag of ten zero bytes: some rippers put one before "fLaC", and
// a rewrite must carry it over with the audio.
const std::string id3_prefix = std::string("ID3\x03\x00\x00\x00\x00\x00\x0a", 10) + std::string(10, '\0');

} // namespace

// A comment larger than the padding makes a copy of the file: the metadata
// is written anew and the audio is moved behind it, by the kernel or, where
// the kernel refuses, through a buffer.  Either way the audio and the bytes
// before "fLaC" arrive byte for byte, through the descriptor the tune opened
// or one of the backend's own.
TEST(FlacRewrite, AudioArrivesWholeHoweverItIsCopied)
{
	const struct {
		const char *what;
		std::vector<wt::denial> denied;
	} copies[] = {
	    {"in the kernel", {}},
	    {"copy_file_range missing", {{SYS_copy_file_range, ENOSYS}}},
	    {"copy_file_range across file systems", {{SYS_copy_file_range, EXDEV}}},
	};
	for (const auto &c : copies) {
		for (bool through_tune : {true, false}) {
			SCOPED_TRACE(std::string(c.what) + (through_tune ? ", tune" : ", backend alone"));
			wt::tmpdir dir;
			const std::string path = dir / "big.flac";
			wt::make_flac(path, {"TITLE=T"}, {.padding = 512, .samples = 88200});
			const std::string before = id3_prefix + wt::read_file(path);
			wt::write_file(path, before);
			const std::string audio = wt::flac_audio(before).value();
			const std::string comment(4000, 'c');
			const ino_t inode = [&] {
				struct stat st;
				EXPECT_EQ(stat(path.c_str(), &st), 0);
				return st.st_ino;
			}();

			auto r = wt::run_denying(c.denied, [&] {
				w_taglist_ptr tags(wt::to_taglist({{"title", "T"}, {"comment", comment}}));
				if (through_tune) {
					w_tune_open_writable(true);
					w_tune_ptr tune(w_tune_new(path.c_str()));
					if (!tune || w_tune_set_tags(tune.get(), tags.get()) == -1)
						return 100;
					return w_tune_save(tune.get()) == 0 ? 0 : 101;
				}
				flac_file f(path);
				if (f.data == nullptr)
					return 100;
				return w_ftflac_write(f.data, tags.get()) == 0 ? 0 : 101;
			});
			ASSERT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(r.err, "");
			const std::string after = wt::read_file(path);
			EXPECT_TRUE(after.compare(0, id3_prefix.size(), id3_prefix) == 0) << "prefix lost";
			EXPECT_TRUE(wt::flac_audio(after) == audio) << "audio changed";
			EXPECT_TRUE(wt::metaflac_tags(path) == (lines{"title=T", "comment=" + comment}));
			struct stat st;
			ASSERT_EQ(stat(path.c_str(), &st), 0);
			EXPECT_NE(st.st_ino, inode) << "not a copy";
			EXPECT_EQ(dir.list(), (lines{"big.flac"}));
		}
	}
}

// The tune opens the file once and the backend writes through that
// descriptor: it must still refuse a file that another program replaced
// (the descriptor holds the old one, which nobody would read again) or
// changed after the read, in place and through a copy alike.
TEST(FlacShared, TheFileReadIsTheFileWritten)
{
	const struct {
		const char *what;
		const char *command; // on $F, with other.flac beside it
	} meddlings[] = {
	    {"replaced", "cp \"$(dirname \"$F\")/other.flac\" \"$F.new\" && mv \"$F.new\" \"$F\""},
	    {"changed in place", "metaflac --set-tag=ARTIST=Them \"$F\""},
	};
	for (const auto &m : meddlings) {
		for (bool copy : {false, true}) {
			SCOPED_TRACE(std::string(m.what) + (copy ? ", through a copy" : ", in place"));
			wt::tmpdir dir;
			const std::string path = dir / "f.flac";
			wt::make_flac(path, {"TITLE=Ours"});
			wt::make_flac(dir / "other.flac", {"TITLE=Theirs"});
			const std::string value = copy ? std::string(9000, 'v') : "New";
			std::string theirs;
			auto r = wt::run_denying({}, [&] {
				w_tune_open_writable(true);
				w_tune_ptr tune(w_tune_new(path.c_str()));
				w_taglist_ptr tags(wt::to_taglist({{"title", value}}));
				if (!tune || !tags || w_tune_cached_tags(tune.get()) == nullptr)
					return 100;
				wt::run_options opt;
				opt.env["F"] = path;
				if (wt::run({"sh", "-c", m.command}, opt).status != 0)
					return 101;
				if (w_tune_set_tags(tune.get(), tags.get()) == -1)
					return 102;
				if (w_tune_save(tune.get()) == 0)
					return 103;
				return errno == ESTALE ? 0 : 104;
			});
			EXPECT_EQ(r.status, 0) << r.err;
			const lines now = wt::metaflac_tags(path);
			EXPECT_EQ(now.front(), std::string(m.what) == std::string("replaced") ? "TITLE=Theirs"
												: "TITLE=Ours");
			EXPECT_EQ(dir.list(), (lines{"f.flac", "other.flac"}));
		}
	}
}
