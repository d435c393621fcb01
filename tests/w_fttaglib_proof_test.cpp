/* Every write through TagLib either keeps all that it was not asked to
 * change (each frame, item and chunk byte for byte, and the audio) or is
 * refused with the file untouched: hand-built tags of the kinds that real
 * taggers leave behind, times the actions a user takes. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "w_tagproof.h"
#include "w_tagtools.h"
#include "w_testsupport.h"

namespace {

using wt::audio_md5;
using wt::python;
using wt::utf8;

std::string
make(const wt::tmpdir &dir, const std::string &kind, const std::string &suffix)
{
	return wt::proof_file(dir, kind, suffix);
}

struct action {
	std::vector<std::string> args;
	std::set<std::string> changed; // the fields it may change
	bool same = false;             // sets the title the file shows
};

const std::set<std::string> all_fields = {"title", "artist", "year", "album", "track", "genre", "comment"};

const action actions[] = {
    {{"set:album=Other"}, {"album"}},
    {{"set:title=Song"}, {"title"}, true},
    {{"set:year=2020"}, {"year"}},
    {{"set:track=5"}, {"track"}},
    {{"clear:"}, all_fields},
    {{"clear:comment"}, {"comment"}},
    {{"set:title=New"}, {"title"}},
    {{"set:artist=New"}, {"artist"}},
};

struct kind {
	const char *name;
	const char *suffix;
	bool refusable; // may a write be refused rather than keep everything?
};

const kind kinds[] = {
    {"unsync-2.3", ".mp3", false},
    {"unsync-2.4", ".mp3", false},
    // Written as version 2.3, frame for frame.
    {"2.2", ".mp3", false},
    {"flags-2.3", ".mp3", false},
    {"alter-title-2.3", ".mp3", false},
    {"alter-title-2.4", ".mp3", false},
    {"tdrc-2.3", ".mp3", false},
    {"total-2.3", ".mp3", false},
    {"described-2.3", ".mp3", false},
    {"bad-encoding-2.3", ".mp3", false},
    {"wav-two-id3", ".wav", true},
    {"wav-odd-unpadded", ".wav", true},
    {"wav-info", ".wav", false},
    {"wav-alter-title", ".wav", false},
    {"aiff-alter-title", ".aiff", false},
    {"m4a-total", ".m4a", false},
    {"m4a-freeform", ".m4a", true},
    // What ends an MP3 file, kept byte for byte.
    {"ape-v1", ".mp3", false},
    {"v1-30", ".mp3", true}, // a track number would take the comment's end
    {"lyrics3-v1", ".mp3", false},
    {"two-comm", ".mp3", false},
    {"wav-two-info", ".wav", false},
    {"wav-id3-first", ".wav", false},
    {"m4a-frag", ".m4a", false},
    {"wma-plain", ".wma", false},
};

// The name CTest shows for a kind.
std::string
kind_name(const ::testing::TestParamInfo<kind> &info)
{
	std::string name = info.param.name;
	for (char &c : name)
		c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
	return name;
}

class EveryKind : public ::testing::TestWithParam<kind> {};

void
PrintTo(const kind &k, std::ostream *os)
{
	*os << k.name;
}

} // namespace

// Each kind of tag, each action: either every item outside the changed
// fields is there byte for byte (raw, and as mutagen reads it) with the
// audio decoding as before, or the write is refused, saying what it would
// lose, with the file byte for byte as it was.  A test of its own for
// each kind, so that they run side by side.
TEST_P(EveryKind, WritesKeepEverythingOrAreRefused)
{
	wt::tmpdir dir;
	{
		const kind &k = GetParam();
		const std::string source = make(dir, k.name, k.suffix);
		const std::string original = wt::read_file(source);
		const std::string audio = audio_md5(source);
		const std::vector<std::string> items = wt::tag_items(source);
		const bool titled = wt::wembrix({source}, utf8).out.find("\n- title: Song\n") != std::string::npos;
		for (const action &a : actions) {
			SCOPED_TRACE(std::string(k.name) + ": " + a.args[0]);
			const std::string f = dir / (std::string("song") + k.suffix);
			wt::write_file(f, original);
			std::vector<std::string> args = a.args;
			args.push_back(f);
			const wt::run_result r = wt::wembrix(args, utf8);
			if (r.status == 1) {
				EXPECT_TRUE(k.refusable) << r.err;
				EXPECT_TRUE(wt::read_file(f) == original);
				EXPECT_NE(r.err.find("wembrix: " + f + ": "), std::string::npos) << r.err;
				EXPECT_TRUE(r.err.find("; not written\n") != std::string::npos ||
				    r.err.find("TagLib could not read the whole ID3v2 tag") != std::string::npos)
				    << r.err;
				continue;
			}
			ASSERT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(r.err, "");
			if (a.same && titled) {
				EXPECT_TRUE(wt::read_file(f) == original);
				continue;
			}
			wt::expect_kept(wt::tag_items(f), items, a.changed);
			EXPECT_EQ(audio_md5(f), audio);
		}
	}
}

INSTANTIATE_TEST_SUITE_P(TagLibProof, EveryKind, ::testing::ValuesIn(kinds), kind_name);

// What the user asked is what print shows afterwards, in the cases where
// TagLib alone would write something else.
TEST(TagLibProof, FieldsReadBackAsAsked)
{
	struct {
		const char *kind;
		const char *suffix;
		std::vector<std::string> actions;
		std::string shown; // the tags print shows afterwards
		std::string frame; // a frame mid3v2 lists afterwards ("" for none)
	} cases[] = {
	    // A 2.3 tag holding the 2.4 date frame: that frame is the year.
	    {"tdrc-2.3", ".mp3", {"set:year=2020"}, "- title: Song\n- year: '2020'\n", "TYER=2020"},
	    {"tdrc-2.3", ".mp3", {"clear:year"}, "- title: Song\n", ""},
	    // A new track number keeps the total; clearing takes both.
	    {"total-2.3", ".mp3", {"set:track=5"}, "- title: Song\n- track: '05'\n", "TRCK=5/12"},
	    {"total-2.3", ".mp3", {"clear:track"}, "- title: Song\n", ""},
	    {"m4a-total", ".m4a", {"set:track=5"}, "- title: Song\n- track: '05'\n", ""},
	    // A described comment is not the comment field.
	    {"described-2.3", ".mp3", {}, "- title: Song\n", "COMM=note=eng=described"},
	    {"described-2.3", ".mp3", {"clear:comment"}, "- title: Song\n", "COMM=note=eng=described"},
	    {"described-2.3", ".mp3", {"set:comment=Mine"}, "- title: Song\n- comment: Mine\n",
		"COMM=note=eng=described"},
	    // Fields of a WAV file go where TagLib reads them.
	    {"wav-info", ".wav", {"set:title=New"}, "- title: New\n", ""},
	    // Frames TagLib would drop on rendering.
	    {"alter-title-2.3", ".mp3", {"set:title=New"}, "- title: New\n- artist: Band\n", "TIT2=New"},
	    {"alter-title-2.4", ".mp3", {"set:title=New"}, "- title: New\n- artist: Band\n", "TIT2=New"},
	    {"wav-alter-title", ".wav", {"set:title=New"}, "- title: New\n- artist: Band\n", ""},
	    {"aiff-alter-title", ".aiff", {"set:title=New"}, "- title: New\n- artist: Band\n", ""},
	    {"bad-encoding-2.3", ".mp3", {"set:artist=New"}, "- title: Song\n- artist: New\n", "TPE1=New"},
	    // Unsynchronised tags are kept whole.
	    {"unsync-2.3", ".mp3", {"set:artist=A"}, "- title: Song\n- artist: A\n", "TSIZ=1234"},
	};
	wt::tmpdir dir;
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.kind) + ": " + (c.actions.empty() ? "print" : c.actions[0]));
		const std::string f = dir / (std::string("song") + c.suffix);
		wt::write_file(f, wt::read_file(make(dir, c.kind, c.suffix)));
		if (!c.actions.empty()) {
			std::vector<std::string> args = c.actions;
			args.push_back(f);
			const wt::run_result r = wt::wembrix(args, utf8);
			ASSERT_EQ(r.status, 0) << r.err;
		}
		const wt::run_result r = wt::wembrix({f}, utf8);
		EXPECT_EQ(r.out, "# " + f + "\n---\n" + c.shown + "\n");
		if (std::string(c.suffix) == ".m4a") {
			const wt::run_result m = python("from mutagen.mp4 import MP4; import sys; print(MP4(sys.argv[1])['trkn'])", {f});
			EXPECT_EQ(m.out, "[(5, 12)]\n");
		} else if (std::string(c.suffix) == ".mp3") {
			const wt::run_result id3 = wt::run({"mid3v2", "-l", f});
			if (c.frame.empty()) {
				EXPECT_EQ(id3.out.find(c.actions[0] == "clear:year" ? "TDRC" : "TRCK"), std::string::npos)
				    << id3.out;
			} else {
				EXPECT_NE(id3.out.find(c.frame + "\n"), std::string::npos) << id3.out;
			}
		}
	}
}

// What no write may do: lose an item TagLib cannot read or render, write
// tags into a file that holds no audio, or take a year it cannot read back.
TEST(TagLibProof, RefusalsSayWhatWouldBeLost)
{
	struct {
		const char *kind;
		const char *suffix;
		std::string action;
		std::string message; // after "wembrix: PATH: "
	} cases[] = {
	    {"2.2-crm", ".mp3", "set:artist=A",
		"its ID3v2.2 tag holds a frame CRM that version 2.3 has no counterpart for; rewriting it would lose "
		"it; not written\n"},
	    {"m4a-freeform", ".m4a", "set:artist=X",
		"rewriting the tag would lose items ----:com.apple.iTunes:UFID; not written\n"},
	    {"wav-two-id3", ".wav", "set:artist=X", "rewriting the tag would lose frames TALB, TXXX; not written\n"},
	    {"text", ".mp3", "set:genre=T", "unsupported file format\n"},
	    {"tdrc-2.3", ".mp3", "set:year=12345", ""},
	};
	wt::tmpdir dir;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.kind);
		const std::string f = dir / (std::string("song") + c.suffix);
		const std::string original = wt::read_file(make(dir, c.kind, c.suffix));
		wt::write_file(f, original);
		const wt::run_result r = wt::wembrix({c.action, f}, utf8);
		EXPECT_TRUE(wt::read_file(f) == original);
		if (c.message.empty()) {
			EXPECT_EQ(r.status, 0);
			EXPECT_EQ(r.err, "wembrix: invalid unsigned int argument for year: 12345 (too large)\n");
			EXPECT_EQ(wt::wembrix({f}).out, "# " + f + "\n---\n- title: Song\n- year: '1999'\n\n");
			continue;
		}
		EXPECT_EQ(r.status, 1);
		const std::string said = "wembrix: " + f + ": " + c.message;
		EXPECT_EQ(r.err.substr(0, said.size()), said) << r.err;
	}
}
