#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "w_oggsupport.h"
#include "w_picture.h"
#include "w_taglist.h"
#include "w_testsupport.h"
#include "w_toolkit.h"
#include "w_vcomment.h"

TEST(Escape, ShowsEveryByteOnOneValidLine)
{
	struct {
		std::string in, out;
	} cases[] = {
	    {"plain/path.flac", "plain/path.flac"},
	    {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
	    {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
	    {std::string("Some\0Band", 9), "Some\\0Band"},
	    {"back\\slash", "back\\\\slash"},
	    {"caf\xE9.flac", "caf\\xe9.flac"},
	    {"\x1b[31m\x7f", "\\x1b[31m\\x7f"},
	    {"cut \xE2\x82", "cut \\xe2\\x82"},
	    {"C1 \xC2\x85\xC2\x9F, not \xC2\xA0", "C1 \\xc2\\x85\\xc2\\x9f, not \xC2\xA0"},
	    {"LS \xE2\x80\xA8 PS \xE2\x80\xA9", "LS \\xe2\\x80\\xa8 PS \\xe2\\x80\\xa9"},
	    {"\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD", "\\xef\\xbf\\xbe\\xef\\xbf\\xbf\xEF\xBF\xBD"},
	};
	for (const auto &c : cases) {
		std::string got = w_escape(c.in.data(), c.in.size());
		EXPECT_EQ(got, c.out);
		EXPECT_TRUE(w_utf8_valid(got.data(), got.size()));
	}
}

TEST(VorbisComment, EntriesSplitAtTheFirstEqualsOrAreRefused)
{
	w_taglist_ptr tl(w_taglist_new());
	ASSERT_EQ(w_vcomment_insert(tl.get(), "ARTIST=A=B", 10), 0);
	ASSERT_EQ(w_vcomment_insert(tl.get(), "=empty key", 10), 0);
	ASSERT_EQ(w_vcomment_insert(tl.get(), "x=", 2), 0);
	const w_tag *t = w_taglist_first(tl.get());
	EXPECT_STREQ(t->key, "artist");
	EXPECT_STREQ(t->val, "A=B");
	t = w_taglist_next(t);
	EXPECT_STREQ(t->key, "");
	EXPECT_STREQ(t->val, "empty key");
	t = w_taglist_next(t);
	EXPECT_STREQ(t->val, "");

	const std::string refused[] = {"no equals sign", std::string("artist=Some\0Band", 16),
	    std::string("ti\0tle=x", 8), ""};
	for (const auto &e : refused) {
		testing::internal::CaptureStderr();
		errno = 0;
		EXPECT_EQ(w_vcomment_insert(tl.get(), e.data(), e.size()), -1) << e;
		EXPECT_EQ(errno, EINVAL);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_NE(err.find("invalid vorbis comment: " + w_escape(e.data(), e.size())),
		    std::string::npos)
		    << err;
	}
	EXPECT_EQ(tl->count, 3u);
}

TEST(VorbisComment, NamesAreCheckedBeforeAnyWrite)
{
	struct {
		const char *key;
		bool ok;
	} cases[] = {
	    {"artist", true}, {"", true}, {"with space ~!", false}, {"}", true},
	    {"a=b", false}, {"caf\xC3\xA9", false}, {"tab\there", false}, {"~", false},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(w_vcomment_keyok(c.key), c.ok) << c.key;
		w_taglist_ptr tl(w_taglist_new());
		ASSERT_EQ(w_taglist_insert(tl.get(), "title", "x"), 0);
		ASSERT_EQ(w_taglist_insert(tl.get(), c.key, "v"), 0);
		testing::internal::CaptureStderr();
		EXPECT_EQ(w_vcomment_check(tl.get()), c.ok ? 0 : -1) << c.key;
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(err.empty(), c.ok) << err;
	}
}

namespace {

// The comments of an Ogg file as mutagen lists them, in order.
std::string
mutagen_comments(const std::string &path)
{
	wt::run_result r = wt::run({"/usr/bin/python3", "-c",
	    "import sys, mutagen\n"
	    "for k, v in mutagen.File(sys.argv[1]).tags:\n"
	    "    print('%s=%s' % (k, v))\n",
	    path});
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

// An Ogg/Opus file holding just these comments.
std::string
opus_with(const std::vector<std::string> &comments)
{
	const std::string file = wt::opus_bytes({});
	const std::string head = wt::ogg_streams(file, 2).at(0).packets.at(0);
	return wt::ogg_with_headers(file, {head, wt::opus_tags_packet("libopus 1.3", comments)});
}

} // namespace

// Pictures that Ogg files keep among their comments are not tags: no
// document shows them, and no clear, set or load removes or moves them
// anywhere but after the tags.
TEST(VcommentPictures, OggAndOpusKeepTheirPicturesThroughEveryWrite)
{
	// A picture block (front cover, PNG, no description), base64.
	const std::string block = "AAAAAwAAAAlpbWFnZS9wbmcAAAAAAAAAAQAAAAEAAAAYAAAAAAAAAAOJUE4=";
	const std::vector<std::string> comments = {"TITLE=Old", "METADATA_BLOCK_PICTURE=" + block, "ARTIST=A",
						   "coverart=/9j/4AAQ", "COVERARTMIME=image/jpeg"};
	const std::string pictures = "METADATA_BLOCK_PICTURE=" + block + "\ncoverart=/9j/4AAQ\nCOVERARTMIME=image/jpeg\n";
	const struct {
		const char *name;
		std::string bytes;
	} files[] = {
	    {"a.ogg", wt::vorbis_bytes(comments)},
	    {"a.opus", opus_with(comments)},
	};
	for (const auto &c : files) {
		SCOPED_TRACE(c.name);
		wt::tmpdir dir;
		const std::string f = dir / c.name;
		wt::write_file(f, c.bytes);

		wt::run_result r = wt::wembrix({f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out, "# " + f + "\n---\n- title: Old\n- artist: A\n\n");
		r = wt::wembrix({"-F", "json", f});
		EXPECT_EQ(r.out.find("picture"), std::string::npos) << r.out;
		EXPECT_EQ(r.out.find("coverart"), std::string::npos) << r.out;

		r = wt::wembrix({"set:title=New", f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(mutagen_comments(f), "title=New\nartist=A\n" + pictures);
		// The same tags again change no byte: the pictures are not a
		// difference.
		const std::string written = wt::read_file(f);
		r = wt::wembrix({"set:title=New", f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(wt::read_file(f), written);

		// A document that names a picture, such as an older backup,
		// leaves the file's pictures as they are.
		r = wt::wembrix({"-F", "json", "load:-", f},
		    {"{\"file\": \"x\", \"tags\": [{\"title\": \"T\"}, {\"metadata_block_picture\": \"AAAA\"}]}\n", {}, ""});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_NE(r.err.find(f + ": `metadata_block_picture' is a picture, not a tag"), std::string::npos)
		    << r.err;
		EXPECT_EQ(mutagen_comments(f), "title=T\n" + pictures);

		r = wt::wembrix({"clear:", f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(mutagen_comments(f), pictures);
		r = wt::wembrix({f});
		EXPECT_EQ(r.out, "# " + f + "\n--- []\n\n");
	}
}

// A picture write keeps the tags and every picture comment it was not
// asked to drop as stored (an old COVERART with its COVERARTMIME, one that
// does not decode), and stores a new picture as a METADATA_BLOCK_PICTURE
// that decodes to it.
TEST(VcommentPictures, RepictureKeepsWhatItWasNotAskedToChange)
{
	w_picture front;
	front.type = 3;
	front.mime = "image/png";
	front.description = "é";
	front.width = 4;
	front.height = 2;
	front.data = std::string("\x89PNG\0\x01", 6);
	const std::string block = "METADATA_BLOCK_PICTURE=" + w_base64_encode(w_picture_render(front));
	const std::vector<std::string_view> was = {"TITLE=T", "COVERART=aGVsbG8=", "COVERARTMIME=image/png",
	    "METADATA_BLOCK_PICTURE=!!", "ARTIST=A", block};
	std::vector<w_picture> listed;
	testing::internal::CaptureStderr();
	w_vcomment_pictures("f.ogg", was, &listed);
	ASSERT_EQ(listed.size(), 2u);

	w_picture back = front;
	back.type = 4;
	const struct {
		std::vector<w_picture_slot> slots;
		std::vector<std::string> want;
	} cases[] = {
	    // Nothing asked: the tags first, then the pictures as they were.
	    {{{0, {}}, {1, {}}},
		{"TITLE=T", "ARTIST=A", "METADATA_BLOCK_PICTURE=!!", "COVERART=aGVsbG8=",
		    "COVERARTMIME=image/png", block}},
	    // The old cover dropped, a new one after the kept one.
	    {{{1, {}}, {-1, back}},
		{"TITLE=T", "ARTIST=A", "METADATA_BLOCK_PICTURE=!!", block,
		    "METADATA_BLOCK_PICTURE=" + w_base64_encode(w_picture_render(back))}},
	    // All dropped: the comment that does not decode stays.
	    {{}, {"TITLE=T", "ARTIST=A", "METADATA_BLOCK_PICTURE=!!"}},
	};
	for (const auto &c : cases)
		EXPECT_EQ(w_vcomment_repicture("f.ogg", was, c.slots), c.want);
	testing::internal::GetCapturedStderr();

	// What is stored reads back as it was made.
	std::string raw;
	w_picture got;
	ASSERT_TRUE(w_base64_decode(block.substr(block.find('=') + 1), &raw));
	ASSERT_TRUE(w_picture_parse(raw, &got));
	EXPECT_EQ(w_picture_render(got), w_picture_render(front));
	for (const char *s : {"", "a", "ab", "abc", "abcd"}) {
		ASSERT_TRUE(w_base64_decode(w_base64_encode(s), &raw)) << s;
		EXPECT_EQ(raw, s);
	}
	EXPECT_EQ(w_base64_encode("ab"), "YWI=");
}
