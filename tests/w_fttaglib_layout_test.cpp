/* Writes through TagLib on the files whose layout TagLib misreads or
 * rewrites beyond what it is asked: tags that claim audio, trailing tags,
 * ID3v1 fields, ID3v2.2 tags, the places a fragmented MP4 file points to,
 * WMA attributes, WAV INFO chunks.  Each write is either refused, saying
 * why, with the file as it was, or done with everything else kept, as
 * independent readers find it: mutagen without translation, ffprobe's
 * frame count, ffmpeg's packets, and its seeks through the fragment index. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "w_tagproof.h"
#include "w_tagtools.h"
#include "w_testsupport.h"

namespace {

using wt::utf8;

const std::string long_title = "title=" + std::string(300, 'T');

struct layout_case {
	const char *name; // for CTest
	const char *kind;
	const char *suffix;
	std::vector<std::string> args; // the options and actions
	std::set<std::string> changed;  // the fields the write may change
	std::string refusal;            // after "wembrix: PATH: ", "" when written
	std::vector<std::string> kept;  // items kept whatever their field, by the start of what they are
};

void
PrintTo(const layout_case &c, std::ostream *os)
{
	*os << c.name;
}

std::string
case_name(const ::testing::TestParamInfo<layout_case> &info)
{
	return info.param.name;
}

const layout_case cases[] = {
    // A tag that claims audio frames: TagLib would rewrite them as tag.
    {"Id3v24FooterFlagWithoutFooter", "footer-2.4", ".mp3", {"set:title=New"}, {"title"},
	"rewriting the tag would cut the audio that its ID3v2 header claims as a footer; not written", {}},
    {"Id3v24FooterFlagWithoutFooterAllTags", "footer-2.4", ".mp3", {"--all-tags", "set:title=New"}, {"title"},
	"its ID3v2 tag cannot be found where it can be rewritten; not written", {}},
    {"Id3v23WithFooterFlag", "footer-2.3", ".mp3", {"set:title=New"}, {"title"},
	"rewriting the tag would change the ID3v2 header; not written", {}},
    {"ApeFooterClaimingAudio", "ape-overclaim", ".mp3", {"set:artist=X"}, {"artist"},
	"rewriting the tag would cut the audio that its APE footer claims as a tag; not written", {}},
    {"ApeFooterOfAFuzzedFile", "ape-rva", ".mp3", {"set:artist=X"}, {"artist"},
	"rewriting the tag would cut the audio that its APE footer claims as a tag; not written", {}},
    // Trailing tags that are whole stay, byte for byte.
    {"ApeAndId3v1Kept", "ape-v1", ".mp3", {"set:artist=X"}, {"artist"}, "", {}},
    // (ffmpeg takes the ID3v1 tag after a Lyrics3 tag for audio: it is
    // left as it was.)
    {"Lyrics3Kept", "lyrics3-v1", ".mp3", {"--all-tags", "set:albumartist=X"}, {"albumartist"}, "", {}},
    // ID3v1 fields outside the changed ones, in both modes.
    {"Id3v1CommentOf30AllTags", "v1-30", ".mp3", {"--all-tags", "set:albumartist=X"}, {"albumartist"}, "", {}},
    {"Id3v1CommentOf30", "v1-30", ".mp3", {"set:artist=X"}, {"artist"}, "", {}},
    {"Id3v1TrackWouldCutTheComment", "v1-30", ".mp3", {"set:track=5"}, {"track"},
	"rewriting the tag would lose ID3v1 fields comment; not written", {}},
    // The comment field is the first comment without description.
    {"SecondCommentKept", "two-comm", ".mp3", {"set:comment=new"}, {"comment"}, "", {"frame COMM 0000 01"}},
    {"CommentsClearedTogether", "two-comm", ".mp3", {"clear:comment"}, {"comment"}, "", {}},
    // Version 2.2 is written as 2.3 when every frame has a counterpart.
    {"Id3v22Converted", "2.2", ".mp3", {"set:title=New"}, {"title"}, "", {}},
    // Version 2.3 has TagLib read a date from the day and time frames too.
    {"Id3v22DateWouldChangeAllTags", "2.2", ".mp3", {"--all-tags", "set:title=New"}, {"title"},
	"date would read back as \"1999-12-05T12:30\" instead of \"1999\"; not written", {}},
    {"Id3v22WithoutCounterpart", "2.2-crm", ".mp3", {"set:title=New"}, {"title"},
	"its ID3v2.2 tag holds a frame CRM that version 2.3 has no counterpart for; rewriting it would lose it; not "
	"written", {}},
    {"Id3v22WithoutCounterpartAllTags", "2.2-crm", ".mp3", {"--all-tags", "set:title=New"}, {"title"},
	"its ID3v2.2 tag holds a frame CRM that version 2.3 has no counterpart for; rewriting it would lose it; not "
	"written", {}},
    // A moov that grows moves every fragment: the index follows.
    {"FragmentIndexFollows", "m4a-frag", ".m4a", {"set:" + long_title}, {"title"}, "", {}},
    {"FragmentIndexFollowsAllTags", "m4a-frag", ".m4a", {"--all-tags", "set:" + long_title}, {"title"}, "", {}},
    {"FragmentBaseOffsetsFollow", "m4a-frag-base", ".m4a", {"set:" + long_title}, {"title"}, "", {}},
    {"SegmentIndexBeforeMoovFollows", "m4a-sidx", ".m4a", {"set:" + long_title}, {"title"}, "", {}},
    // Values of one name in their order, and no field the file lacked.
    {"WmaValuesKeepTheirOrder", "wma-multi", ".wma", {"set:artist=Xyz"}, {"artist"},
	"rewriting the tag would reorder the properties ARTISTS; not written", {}},
    {"WmaGainsNoEmptyFields", "wma-plain", ".wma", {"set:artist=Xyz"}, {"artist"}, "", {}},
    // The names of what would be lost, escaped as paths are.
    {"NamesEscaped", "m4a-nul-item", ".m4a", {"set:artist=X"}, {"artist"},
	"rewriting the tag would lose items \\0\\0\\0\\0; not written", {}},
};

class Layout : public ::testing::TestWithParam<layout_case> {};

} // namespace

// Each write, judged by the readers that share nothing with ours.
TEST_P(Layout, WritesKeepTheirFilesWhole)
{
	const layout_case &c = GetParam();
	wt::tmpdir dir;
	const std::string source = wt::proof_file(dir, c.kind, c.suffix);
	const std::string f = dir / (std::string("song") + c.suffix);
	const std::string original = wt::read_file(source);
	wt::write_file(f, original);
	std::vector<std::string> args = c.args;
	args.push_back(f);
	const wt::run_result r = wt::wembrix(args, utf8);
	if (!c.refusal.empty()) {
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: " + f + ": " + c.refusal + "\nwembrix: " + f +
			": could not write tags to the file,\n");
		EXPECT_TRUE(wt::read_file(f) == original);
		return;
	}
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_FALSE(wt::read_file(f) == original);
	const std::vector<std::string> before = wt::tag_items(source), after = wt::tag_items(f);
	wt::expect_kept(after, before, c.changed);
	for (const std::string &start : c.kept) {
		for (const std::string &line : before) {
			if (line.find("\t" + start) != std::string::npos) {
				EXPECT_NE(std::find(after.begin(), after.end(), line), after.end()) << line;
			}
		}
	}
	EXPECT_EQ(wt::packets_md5(f), wt::packets_md5(source));
	EXPECT_EQ(wt::frame_count(f), wt::frame_count(source));
	EXPECT_EQ(wt::audio_md5(f), wt::audio_md5(source));
	if (std::string(c.suffix) == ".m4a") {
		EXPECT_EQ(wt::seek_md5(f, "0.15"), wt::seek_md5(source, "0.15"));
	}
}

INSTANTIATE_TEST_SUITE_P(TagLibLayout, Layout, ::testing::ValuesIn(cases), case_name);

// A version 2.2 tag becomes version 2.3, its picture's image format a MIME
// type, in both modes.
TEST(TagLibLayout, Id3v22BecomesId3v23)
{
	const char show[] = R"(
import sys
from mutagen.id3 import ID3
t = ID3(sys.argv[1], translate=False)
print(t.version)
for f in t.values():
    if f.FrameID == 'APIC':
        print('APIC', f.mime, int(f.type), f.desc, f.data.hex())
    else:
        print(f.FrameID, f)
)";
	wt::tmpdir dir;
	const std::string source = wt::proof_file(dir, "2.2-pic", ".mp3");
	for (const char *mode : {"", "--all-tags"}) {
		SCOPED_TRACE(mode);
		const std::string f = dir / "song.mp3";
		wt::write_file(f, wt::read_file(source));
		std::vector<std::string> args = {"set:title=New", f};
		if (*mode != '\0')
			args.insert(args.begin(), mode);
		ASSERT_EQ(wt::wembrix(args, utf8).status, 0);
		EXPECT_EQ(wt::python(show, {f}).out, "(2, 3, 0)\nTIT2 New\nTPE1 Band\n"
						    "APIC image/jpeg 3 cover ffd8ffe0000000000000000000000000\n");
		EXPECT_EQ(wt::packets_md5(f), wt::packets_md5(source));
	}
}

// Of the kinds of WAV INFO chunks TagLib renders anew from what it
// understood of them, every one stays byte for byte in its place.
TEST(TagLibLayout, InfoChunksStayAsTheyAre)
{
	wt::tmpdir dir;
	for (const char *kind : {"wav-info-latin1", "wav-info-empty", "wav-info-nul", "wav-two-info"}) {
		SCOPED_TRACE(kind);
		const std::string source = wt::proof_file(dir, kind, ".wav");
		const std::string f = dir / "song.wav";
		wt::write_file(f, wt::read_file(source));
		const wt::run_result r = wt::wembrix({"set:title=New", f}, utf8);
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(wt::wembrix({f}, utf8).out, "# " + f + "\n---\n- title: New\n\n");
		const std::vector<std::string> before = wt::tag_items(source), after = wt::tag_items(f);
		for (const std::string &line : before) {
			if (line.find("\tinfo ") != std::string::npos || line.find("\tchunks ") != std::string::npos) {
				EXPECT_NE(std::find(after.begin(), after.end(), line), after.end()) << line;
			}
		}
		EXPECT_EQ(wt::packets_md5(f), wt::packets_md5(source));
	}
}
