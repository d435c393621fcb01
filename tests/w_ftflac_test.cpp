#include <gtest/gtest.h>

#include <FLAC/metadata.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_ftflac.h"
#include "w_tagsupport.h"
#include "w_testsupport.h"

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
	ASSERT_EQ(write_tags(f.data, tags), 0);
	EXPECT_EQ(wt::metaflac_tags(path), (lines{"artist=A", "title=T", "artist=B", "comment=x=y"}));
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
	for (const pairs &bad : {pairs{{"ti=tle", "x"}}, pairs{{"title", "caf\xE9"}},
		 pairs{{"title", "ok"}, {"k\x7F", "x"}}}) {
		flac_file f(path);
		EXPECT_EQ(write_tags(f.data, bad), -1);
		EXPECT_TRUE(wt::read_file(path) == before) << "file changed";
	}
	EXPECT_EQ(dir.list(), (lines{"r.flac"}));
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
