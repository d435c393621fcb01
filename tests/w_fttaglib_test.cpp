#include <gtest/gtest.h>

#include <map>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_backend.h"
#include "w_fttaglib.h"
#include "w_mp3fields.h"
#include "w_tagtools.h"
#include "w_testsupport.h"
#include "w_tagsupport.h"

namespace {

namespace fs = std::filesystem;

using wt::utf8;


// One file opened by the backend, released on every path.
class opened {
public:
	explicit opened(const std::string &path)
	{
		w_fttaglib_backend();
		data_ = w_fttaglib_init(path.c_str());
	}
	~opened()
	{
		if (data_ != nullptr)
			w_fttaglib_clear(data_);
	}
	opened(const opened &) = delete;
	opened &operator=(const opened &) = delete;
	void *data() const { return data_; }

private:
	void *data_;
};

wt::tags
read_tags(const std::string &path)
{
	opened f(path);
	EXPECT_NE(f.data(), nullptr) << path;
	if (f.data() == nullptr)
		return {};
	w_taglist_ptr tlist(w_fttaglib_read(f.data()));
	EXPECT_NE(tlist, nullptr);
	return tlist ? wt::to_tags(tlist.get()) : wt::tags{};
}

int
write_tags(const std::string &path, const w_taglist *tlist)
{
	opened f(path);
	EXPECT_NE(f.data(), nullptr) << path;
	return f.data() == nullptr ? -1 : w_fttaglib_write(f.data(), tlist);
}

// Every lame option that fills one of the seven fields.
const std::vector<std::string> all_seven = {"--tt", "Song", "--ta", "Band", "--ty", "1999",
    "--tl", "Record", "--tn", "4", "--tg", "Jazz", "--tc", "Liner notes", "--id3v2-only"};

} // namespace

TEST(TagLibBackend, RecordIsLastInRegistry)
{
	w_backend *b = w_fttaglib_backend();
	EXPECT_STREQ(b->libid, "TagLib");
	EXPECT_STREQ(b->description, "various file format but limited set of tags");
	EXPECT_EQ(TAILQ_LAST(w_all_backends(), w_backendQ), b);
	EXPECT_EQ(w_fttaglib_backend(), b);
}

// TagLib's strings are UTF-8 both ways, whatever the locale says.
TEST(TagLibBackend, TextIsUtf8InAnyLocale)
{
	wt::tmpdir dir;
	const std::string f = dir / "u.mp3";
	// Only the spelling "UTF-8" once made the C binding switch to UTF-8.
	const std::map<std::string, std::optional<std::string>> envs[] = {
	    {{"LC_ALL", "C.UTF-8"}},
	    {{"LC_ALL", "C.utf8"}},
	    {{"LC_ALL", std::nullopt}, {"LANG", "C.UTF-8"}},
	};
	for (const auto &env : envs) {
		SCOPED_TRACE(env.at("LC_ALL").value_or("(unset)"));
		wt::make_mp3(f, {"--tt", "T"});
		wt::run_options opt = {std::nullopt, env, ""};
		wt::run_result r = wt::wembrix({"set:artist=Ørjan 日本", f}, opt);
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(read_tags(f), (wt::tags{{"title", "T"}, {"artist", "Ørjan 日本"}}));
		EXPECT_EQ(wt::exiftool_tags(f, {"ID3v2_3:Artist"})["Artist"], "Ørjan 日本");
		r = wt::wembrix({f}, opt);
		EXPECT_EQ(r.out, "# " + f + "\n---\n- title: T\n- artist: Ørjan 日本\n\n");
	}
}

TEST(TagLibBackend, ReadsFieldsInFixedOrder)
{
	wt::tmpdir dir;
	wt::make_mp3(dir / "two.mp3", {"--tt", "Only Title", "--ty", "2004", "--id3v2-only"});
	EXPECT_EQ(read_tags(dir / "two.mp3"), (wt::tags{{"title", "Only Title"}, {"year", "2004"}}));

	// lame stores the frames in an order of its own; the read order is fixed.
	wt::make_mp3(dir / "all.mp3", all_seven);
	EXPECT_EQ(read_tags(dir / "all.mp3"),
	    (wt::tags{{"title", "Song"}, {"artist", "Band"}, {"year", "1999"}, {"album", "Record"},
		{"track", "04"}, {"genre", "Jazz"}, {"comment", "Liner notes"}}));

	// A file without any tag reads as an empty list, not as a failure.
	wt::make_mp3(dir / "bare.mp3");
	EXPECT_EQ(read_tags(dir / "bare.mp3"), wt::tags{});
}

TEST(TagLibBackend, NumbersAreShownPaddedAndOnlyFrom1To9999)
{
	struct {
		std::vector<std::string> lame;
		wt::tags expected;
	} cases[] = {
	    {{"--ty", "3"}, {{"year", "0003"}}},
	    {{"--ty", "9999"}, {{"year", "9999"}}},
	    {{"--tn", "7"}, {{"track", "07"}}},
	    {{"--tn", "123"}, {{"track", "123"}}},
	    {{"--tn", "10000"}, {}},
	};
	wt::tmpdir dir;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.lame[0] + " " + c.lame[1]);
		std::vector<std::string> opts = c.lame;
		opts.push_back("--id3v2-only");
		wt::make_mp3(dir / "n.mp3", opts);
		EXPECT_EQ(read_tags(dir / "n.mp3"), c.expected);
	}

	// TagLib keeps only four digits of an ID3v2 date, so a wider year
	// needs a format whose year is a plain number: Ogg FLAC comments.
	const std::string oga = dir / "n.oga";
	wt::make_ogg_flac(oga, {"TITLE=x", "DATE=10000", "TRACKNUMBER=10000"});
	EXPECT_EQ(wt::wembrix({"backend", oga}).out, "TagLib " + oga + "\n");
	EXPECT_EQ(read_tags(oga), (wt::tags{{"title", "x"}}));
	wt::make_ogg_flac(oga, {"DATE=0", "TRACKNUMBER=0"});
	EXPECT_EQ(read_tags(oga), wt::tags{});

	// A number above 9999 would not read back: it keeps the old one
	// (with a warning), as 0 does, which would take the field away.
	w_taglist_ptr tl = wt::to_taglist({{"year", "10000"}, {"track", "10000"}, {"title", "y"}});
	ASSERT_EQ(write_tags(oga, tl.get()), 0);
	EXPECT_EQ(read_tags(oga), (wt::tags{{"title", "y"}}));
	auto ex = wt::exiftool_tags(oga, {"Vorbis:all"});
	EXPECT_EQ(ex["Title"], "y");
	EXPECT_EQ(ex["Date"], "0");
	EXPECT_EQ(ex["TrackNumber"], "0");
}

TEST(TagLibBackend, WriteReplacesAllSevenFields)
{
	wt::tmpdir dir;
	const std::string f = dir / "w.mp3";
	wt::make_mp3(f, all_seven);

	// Any case of a key names its field; fields the list leaves out go.
	w_taglist_ptr tl(w_taglist_new());
	ASSERT_EQ(w_taglist_insert(tl.get(), "artist", "New Band"), 0);
	ASSERT_EQ(w_taglist_insert(tl.get(), "title", "New Song"), 0);
	// Keys reach the backend lower-cased, but it must not rely on that.
	w_taglist_first(tl.get())->key[0] = 'A';
	w_taglist_first(tl.get())->key[5] = 'T';
	w_taglist_last(tl.get())->key[0] = 'T';
	ASSERT_EQ(write_tags(f, tl.get()), 0);
	EXPECT_EQ(read_tags(f), (wt::tags{{"title", "New Song"}, {"artist", "New Band"}}));

	// The tag keeps its version (lame writes 2.3).
	auto ex = wt::exiftool_tags(f, {"ID3v2_3:all"});
	EXPECT_EQ(ex["Title"], "New Song");
	EXPECT_EQ(ex["Artist"], "New Band");
	for (const auto &[name, value] : ex) {
		for (const char *gone : {"Year", "Album", "Track", "Genre", "Comment"})
			EXPECT_NE(name.rfind(gone, 0), 0u) << name << " = " << value;
	}

	// The last of two tags for one field wins; a missing comment clears it.
	wt::make_mp3(f, all_seven);
	tl = wt::to_taglist({{"artist", "First"}, {"comment", "kept?"}, {"artist", "Second"}});
	ASSERT_EQ(write_tags(f, tl.get()), 0);
	EXPECT_EQ(read_tags(f), (wt::tags{{"artist", "Second"}, {"comment", "kept?"}}));
	tl = wt::to_taglist({{"artist", "Second"}});
	ASSERT_EQ(write_tags(f, tl.get()), 0);
	EXPECT_EQ(read_tags(f), (wt::tags{{"artist", "Second"}}));

	// An empty list clears everything.
	tl = wt::to_taglist({});
	ASSERT_EQ(write_tags(f, tl.get()), 0);
	EXPECT_EQ(read_tags(f), wt::tags{});
	wt::run_result id3 = wt::run({"id3v2", "-l", f});
	EXPECT_EQ(id3.out.find("Second"), std::string::npos) << id3.out;
}

TEST(TagLibBackend, NumberValuesAreCheckedWithWarnings)
{
	struct {
		const char *key;
		const char *value;
		const char *warning; // nullptr: accepted; else the file keeps its value
		const char *shown;   // what an accepted value reads back as, nullptr: no tag
	} cases[] = {
	    {"year", "2004 ", "invalid unsigned int argument for year: 2004 \n", nullptr},
	    {"year", "", "invalid unsigned int argument for year: \n", nullptr},
	    {"year", "MMIV", "invalid unsigned int argument for year: MMIV\n", nullptr},
	    {"track", "5/12", "invalid unsigned int argument for track: 5/12\n", nullptr},
	    {"year", "  2004", nullptr, "2004"},
	    {"year", "+2004", nullptr, "2004"},
	    {"track", "0009", nullptr, "09"},
	    // TagLib reads a year back from four digits at most.
	    {"year", "9999", nullptr, "9999"},
	    {"year", "10000", "invalid unsigned int argument for year: 10000 (too large)\n", nullptr},
	    {"year", "4294967295",
		"invalid unsigned int argument for year: 4294967295 (too large)\n", nullptr},
	    {"year", "4294967296",
		"invalid unsigned int argument for year: 4294967296 (too large)\n", nullptr},
	    {"track", "99999999999999999999999",
		"invalid unsigned int argument for track: 99999999999999999999999 (too large)\n",
		nullptr},
	    {"year", "-1", "invalid unsigned int argument for year: -1 (too large)\n", nullptr},
	};
	wt::tmpdir dir;
	const std::string source = dir / "source.mp3";
	wt::make_mp3(source, {"--tt", "Kept", "--ty", "1999", "--tn", "3", "--id3v2-only"});
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.key) + "=[" + c.value + "]");
		const std::string f = dir / "n.mp3";
		fs::copy_file(source, f, fs::copy_options::overwrite_existing);
		// The other number field is set too, to see that only the bad
		// tag is skipped.
		const char *other = std::string(c.key) == "year" ? "track" : "year";
		wt::run_result r = wt::wembrix({"set:" + std::string(c.key) + "=" + c.value,
		    std::string("set:") + other + "=12", f});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, c.warning ? std::string("wembrix: ") + c.warning : "");

		const bool year = std::string(c.key) == "year";
		const char *shown = c.warning ? (year ? "1999" : "03") : c.shown;
		wt::tags expected = {{"title", "Kept"}};
		if (year) {
			if (shown)
				expected.emplace_back("year", shown);
			expected.emplace_back("track", "12");
		} else {
			expected.emplace_back("year", "0012");
			if (shown)
				expected.emplace_back("track", shown);
		}
		EXPECT_EQ(read_tags(f), expected);
	}
}

TEST(TagLibBackend, UnsupportedKeysAreSkippedAndTheWriteSucceeds)
{
	wt::tmpdir dir;
	const std::string f = dir / "u.mp3";
	wt::make_mp3(f);
	wt::run_result r = wt::wembrix(
	    {"set:albumartist=Various", "set:title=T", "add:discnumber=2", "add:artist=A", f});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "wembrix: " + f + ": unsupported tag for TagLib backend: albumartist\n"
			 "wembrix: " + f + ": unsupported tag for TagLib backend: discnumber\n");
	EXPECT_EQ(read_tags(f), (wt::tags{{"title", "T"}, {"artist", "A"}}));
	auto ex = wt::exiftool_tags(f, {"ID3v2_4:all"});
	EXPECT_EQ(ex["Title"], "T");
	EXPECT_EQ(ex["Artist"], "A");
}

TEST(TagLibBackend, FilesNoBackendOpensAreRefused)
{
	wt::tmpdir dir;
	const std::string f = dir / "notes.txt";
	wt::write_file(f, "not music at all\n");
	w_fttaglib_backend();
	EXPECT_EQ(w_fttaglib_init(f.c_str()), nullptr);
	EXPECT_EQ(w_fttaglib_init((dir / "missing.mp3").c_str()), nullptr);

	wt::run_result r = wt::wembrix({f});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "wembrix: " + f + ": unsupported file format\n");
	EXPECT_EQ(wt::read_file(f), "not music at all\n");
}

TEST(TagLibBackend, PrintSetPrintThroughTheProgram)
{
	wt::tmpdir dir;
	const std::string f = dir / "e2e.mp3";
	wt::make_mp3(f, {"--tt", "Old", "--tn", "2", "--tc", "gone soon", "--id3v2-only"});

	wt::run_result r = wt::wembrix({"backend", "print", f}, utf8);
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "TagLib " + f + "\n# " + f +
			     "\n---\n- title: Old\n- track: '02'\n- comment: gone soon\n\n");

	r = wt::wembrix({"set:title=Héllo wörld ✓", "set:artist=Ørjan Ñandú", "add:album=日本語",
			    "clear:comment", "set:year=3", f},
	    utf8);
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");

	r = wt::wembrix({f}, utf8);
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "# " + f +
			     "\n---\n- title: Héllo wörld ✓\n- artist: Ørjan Ñandú\n- year: '0003'\n"
			     "- album: 日本語\n- track: '02'\n\n");

	auto ex = wt::exiftool_tags(f, {"ID3v2_3:all"});
	EXPECT_EQ(ex["Title"], "Héllo wörld ✓");
	EXPECT_EQ(ex["Artist"], "Ørjan Ñandú");
	EXPECT_EQ(ex["Album"], "日本語");
	EXPECT_EQ(ex["Year"], "0003"); // four digits, as the version requires
	for (const auto &[name, value] : ex)
		EXPECT_NE(name.rfind("Comment", 0), 0u) << name << " = " << value;
}

TEST(TagLibBackend, WavFilesCarryTheFieldsToo)
{
	wt::tmpdir dir;
	const std::string f = dir / "tone.wav";
	wt::make_wav(f);
	const std::string audio = wt::riff_chunk(f, "data");
	ASSERT_EQ(audio.size(), 8000u);
	EXPECT_EQ(read_tags(f), wt::tags{});

	wt::run_result r = wt::wembrix({"backend", f});
	EXPECT_EQ(r.out, "TagLib " + f + "\n");
	r = wt::wembrix({"set:title=Ünïcode tone", "set:artist=Generator", "set:track=1",
			    "set:genre=Test", f},
	    utf8);
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(read_tags(f), (wt::tags{{"title", "Ünïcode tone"}, {"artist", "Generator"},
				    {"track", "01"}, {"genre", "Test"}}));

	// The file is still well-formed RIFF with the very same samples, and
	// the tag went into an ID3 chunk that an independent reader can parse.
	EXPECT_EQ(wt::riff_chunk(f, "data"), audio);
	const std::string id3 = wt::riff_chunk(f, "ID3 ");
	ASSERT_FALSE(id3.empty());
	wt::write_file(dir / "chunk.id3", id3);
	auto ex = wt::exiftool_tags(dir / "chunk.id3", {"ID3:all"});
	EXPECT_EQ(ex["Title"], "Ünïcode tone");
	EXPECT_EQ(ex["Artist"], "Generator");
	EXPECT_EQ(ex["Genre"], "Test");
	EXPECT_EQ(ex["Track"], "1");
}

// A tag that grows makes a whole new file beside the old one; a tag that
// still fits is written in place.  Either way a link stays a link and the
// file keeps its mode.
TEST(TagLibBackend, WritesThroughSymlinksKeepingPermissions)
{
	wt::tmpdir dir;
	const std::string real = dir / "real.mp3";
	const std::string link = dir / "link.mp3";
	wt::make_mp3(real, {"--tt", "Before", "--id3v2-only"});
	ASSERT_EQ(chmod(real.c_str(), 0640), 0);
	ASSERT_EQ(symlink("real.mp3", link.c_str()), 0);
	struct stat before;
	ASSERT_EQ(stat(real.c_str(), &before), 0);

	wt::run_result r = wt::wembrix({"set:title=After", "set:comment=a longer text that makes "
							      "the tag grow past its old size",
	    link});
	ASSERT_EQ(r.status, 0) << r.err;

	struct stat lst, after;
	ASSERT_EQ(lstat(link.c_str(), &lst), 0);
	EXPECT_TRUE(S_ISLNK(lst.st_mode));
	EXPECT_EQ(fs::read_symlink(link), "real.mp3");
	ASSERT_EQ(stat(real.c_str(), &after), 0);
	EXPECT_NE(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_mode & 07777, 0640u);
	EXPECT_EQ(dir.list(), (std::vector<std::string>{"link.mp3", "real.mp3"}));
	EXPECT_EQ(read_tags(real), (wt::tags{{"title", "After"},
				       {"comment", "a longer text that makes the tag grow past its old size"}}));
	EXPECT_EQ(wt::exiftool_tags(real, {"ID3v2_3:Title"})["Title"], "After");

	// The new tag has room to spare: a small change goes in place.
	const off_t size = after.st_size;
	r = wt::wembrix({"set:title=Again", link});
	ASSERT_EQ(r.status, 0) << r.err;
	ASSERT_EQ(stat(real.c_str(), &after), 0);
	EXPECT_EQ(after.st_size, size);
	struct stat again;
	ASSERT_EQ(stat(real.c_str(), &again), 0);
	EXPECT_EQ(again.st_ino, after.st_ino);
	EXPECT_EQ(wt::exiftool_tags(real, {"ID3v2_3:Title"})["Title"], "Again");
	EXPECT_EQ(dir.list(), (std::vector<std::string>{"link.mp3", "real.mp3"}));
}

// TagLib is loaded by the first file that needs it, not at start-up: a run
// on FLAC files never pays for it, nor a print of MP3 files our own walk
// reads.
TEST(TagLibBackend, TagLibIsLoadedOnlyForFilesThatNeedIt)
{
	wt::tmpdir dir;
	const std::string flac = dir / "a.flac";
	const std::string mp3 = dir / "a.mp3";
	wt::make_flac(flac, {"TITLE=T"});
	wt::make_mp3(mp3, {"--tt", "T"});
	wt::run_options opt = {std::nullopt, {{"LD_DEBUG", "libs"}}, ""};
	wt::run_result r = wt::wembrix({flac}, opt);
	ASSERT_EQ(r.status, 0);
	EXPECT_EQ(r.err.find("libtag"), std::string::npos);
	EXPECT_EQ(r.err.find("wembrix-taglib"), std::string::npos);
	r = wt::wembrix({flac, mp3}, opt);
	ASSERT_EQ(r.status, 0);
	EXPECT_EQ(r.err.find("wembrix-taglib"), std::string::npos);
	r = wt::wembrix({"--all-tags", flac, mp3}, opt);
	ASSERT_EQ(r.status, 0);
	EXPECT_NE(r.err.find("calling init: " + fs::canonical(WEMBRIX_BIN).parent_path().string() +
			  "/lib/wembrix/wembrix-taglib.so"),
	    std::string::npos)
	    << r.err;
	EXPECT_NE(r.err.find("libtag.so"), std::string::npos);
}

namespace {

// ---- MP3 files made byte by byte, for our own reading of their fields ----

std::string
be_size(std::size_t n, bool synchsafe)
{
	std::string s(4, '\0');
	for (int i = 3; i >= 0; i--, n >>= synchsafe ? 7 : 8)
		s[static_cast<std::size_t>(i)] = static_cast<char>(n & (synchsafe ? 0x7f : 0xff));
	return s;
}

std::string
frame(unsigned v, const std::string &id, const std::string &data, const std::string &flags = std::string(2, '\0'))
{
	return id + be_size(data.size(), v == 4) + flags + data;
}

std::string
id3v2(unsigned v, const std::string &frames, char flags = 0)
{
	const std::string body = frames + std::string(64, '\0');
	return std::string("ID3") + static_cast<char>(v) + '\0' + flags + be_size(body.size(), true) + body;
}

// Silent MPEG-1 layer III frames.
std::string
mpeg_audio()
{
	std::string out;
	for (int i = 0; i < 8; i++)
		out += std::string("\xff\xfb\x90\xc4", 4) + std::string(413, '\0');
	return out;
}

std::string
id3v1(const std::string &title, const std::string &comment, char track, char genre)
{
	auto field = [](const std::string &s, std::size_t n) { return (s + std::string(n, '\0')).substr(0, n); };
	return "TAG" + field(title, 30) + field("", 60) + field("", 4) + field(comment, 28) + '\0' + track + genre;
}

std::string
text(const std::string &s)
{
	return '\3' + s;
}

} // namespace

// A print of an MP3 file reads its fields by our own walk instead of
// TagLib's; it must read them as TagLib does, and leave to TagLib whatever
// it does not read whole.
TEST(TagLibBackend, OurMp3ReadingAgreesWithTagLib)
{
	const std::string nul(1, '\0');
	const std::string v24_all = frame(4, "TIT2", text("Song")) + frame(4, "TPE1", text("Ørjan")) +
	    frame(4, "TALB", text("Record")) + frame(4, "TDRC", text("2004-05-06")) +
	    frame(4, "TRCK", text("3/12")) + frame(4, "TCON", text("Jazz")) +
	    frame(4, "COMM", text("eng" + nul + "Liner notes"));
	struct {
		const char *what;
		std::string file;
		bool ours; // whether our walk reads it
	} cases[] = {
	    {"all seven, version 2.4, UTF-8", id3v2(4, v24_all) + mpeg_audio(), true},
	    {"version 2.3, Latin-1 and UTF-16 both byte orders, TYER",
		id3v2(3, frame(3, "TIT2", std::string("\0Caf\xe9", 5)) +
			frame(3, "TPE1", std::string("\1\xff\xfe" "A\0b\0", 7)) +
			frame(3, "TALB", std::string("\1\xfe\xff\0A\0b", 7)) + frame(3, "TYER", text("1999")) +
			frame(3, "TCON", std::string("\2\0R\0o\0c\0k", 9))) +
		    mpeg_audio(),
		true},
	    {"several values, a genre twice, a terminated comment",
		id3v2(4, frame(4, "TPE1", text("a" + nul + "b" + nul)) + frame(4, "TCON", text("Pop" + nul + "Pop")) +
			frame(4, "COMM", text("eng" + nul + "note" + nul))) +
		    mpeg_audio(),
		true},
	    {"a described comment, then the plain one",
		id3v2(4, frame(4, "COMM", text("engdesc" + nul + "other")) + frame(4, "COMM", text("eng" + nul + "plain"))) +
		    mpeg_audio(),
		true},
	    {"fields missing from ID3v2 come from ID3v1",
		id3v2(4, frame(4, "TIT2", text(nul)) + frame(4, "COMM", text("engdesc" + nul + "other"))) + mpeg_audio() +
		    id3v1("  Old title  ", "v1 note", 7, '\xff'),
		true},
	    {"a date wider than a year", id3v2(4, frame(4, "TDRC", text("10000"))) + mpeg_audio(), true},
	    {"an ID3v1 genre number", id3v2(4, frame(4, "TIT2", text("x"))) + mpeg_audio() + id3v1("t", "", 1, 17),
		false},
	    {"a genre by number", id3v2(3, frame(3, "TCON", text("(17)"))) + mpeg_audio(), false},
	    {"unsynchronisation", id3v2(3, frame(3, "TIT2", text("x")), '\x80') + mpeg_audio(), false},
	    {"a frame with a data length indicator",
		id3v2(4, frame(4, "TIT2", be_size(2, true) + text("x"), std::string("\0\1", 2))) + mpeg_audio(), false},
	    {"UTF-16 without a byte order mark", id3v2(3, frame(3, "TIT2", std::string("\1A\0", 3))) + mpeg_audio(),
		false},
	    {"an APE tag at the end",
		id3v2(4, frame(4, "TIT2", text("x"))) + mpeg_audio() + "APETAGEX" + std::string("\xd0\x07\0\0 \0\0\0", 8) +
		    std::string(16, '\0'),
		false},
	    {"no audio after the tag", id3v2(4, v24_all) + std::string(4000, 'x'), false},
	};
	wt::tmpdir dir;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		const std::string path = dir / "f.mp3";
		wt::write_file(path, c.file);
		w_tl::raw_fields got;
		const bool ours = w_tl::mp3_fields(
		    [&](std::uint64_t off, std::size_t len, std::string *out) {
			    *out = off < c.file.size() ? c.file.substr(off, len) : "";
			    return true;
		    },
		    c.file.size(), &got);
		EXPECT_EQ(ours, c.ours);
		wt::expect_mp3_read_alike(path);
	}

	// What lame writes, read without loading TagLib at all.
	const std::string mp3 = dir / "lame.mp3";
	wt::make_mp3(mp3, all_seven);
	wt::run_options opt = {std::nullopt, {{"LD_DEBUG", "libs"}}, ""};
	wt::run_result r = wt::wembrix({mp3}, opt);
	ASSERT_EQ(r.status, 0);
	EXPECT_EQ(r.err.find("wembrix-taglib"), std::string::npos);
	EXPECT_EQ(r.out.substr(r.out.find("---")), "---\n- title: Song\n- artist: Band\n- year: '1999'\n"
						   "- album: Record\n- track: '04'\n- genre: Jazz\n- comment: Liner notes\n\n");
}
