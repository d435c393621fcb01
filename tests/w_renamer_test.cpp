#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "w_inprocess.h"
#include "w_oggsupport.h"
#include "w_tagtools.h"
#include "w_renamer.h"
#include "w_settings.h"
#include "w_testsupport.h"
#include "w_tune.h"

namespace {

// ---------------------------------------------------------------------------
// Patterns

struct token {
	bool tag;
	std::string value;
	unsigned width = 0;
	std::string written; // the whole plain name, when it has a width
	bool operator==(const token &) const = default;
};

std::ostream &
operator<<(std::ostream &os, const token &t)
{
	os << (t.tag ? "tag `" : "text `") << t.value << "'";
	if (t.width != 0)
		os << " width " << t.width << " written `" << t.written << "'";
	return os;
}

token tag(std::string v) { return {true, std::move(v), 0, ""}; }
token text(std::string v) { return {false, std::move(v), 0, ""}; }
token padded(std::string v, unsigned width, std::string written = "")
{
	return {true, std::move(v), width, std::move(written)};
}

std::vector<token>
tokens_of(const w_rename_tokenQ *q)
{
	std::vector<token> out;
	const w_rename_token *t;
	TAILQ_FOREACH(t, q, entries)
		out.push_back({t->is_tag != 0, t->value, t->width,
		    t->written != nullptr ? t->written : ""});
	return out;
}

const char empty_tag[] = "empty tag in rename pattern";
const char empty_tag_at_end[] = "empty tag at the end of the rename pattern";
const char unclosed[] = "missing closing `}' at the end of the rename pattern";

struct parse_case {
	const char *pattern;
	std::vector<token> tokens;
	std::vector<std::string> warnings;
};

TEST(RenamePattern, ParsesIntoTokens)
{
	const std::vector<parse_case> cases = {
	    {"%artist - %title", {tag("artist"), text(" - "), tag("title")}, {}},
	    {"%artist%title", {tag("artist"), tag("title")}, {}},
	    {"%track_no", {tag("track"), text("_no")}, {}},
	    {"%ALBUM", {tag("ALBUM")}, {}},
	    {"%{album artist}", {tag("album artist")}, {}},
	    {"%{50%} x", {tag("50%"), text(" x")}, {}},
	    {"%{a\\}b}", {tag("a}b")}, {}},
	    {"100\\%", {text("100%")}, {}},
	    {"a\\", {text("a")}, {}},
	    {"\\\\x\\{y\\%z", {text("\\x{y%z")}, {}},
	    {"%a\\%b", {tag("a"), text("%b")}, {}},
	    {"%artist/%album/%title",
		{tag("artist"), text("/"), tag("album"), text("/"), tag("title")}, {}},
	    {"a/b", {text("a/b")}, {}},
	    // A byte with the high bit set never belongs to a plain name.
	    {"%caf\xc3\xa9", {tag("caf"), text("\xc3\xa9")}, {}},
	    {"x%", {text("x"), tag("")}, {empty_tag_at_end}},
	    {"%", {tag("")}, {empty_tag_at_end}},
	    {"%{}", {tag("")}, {empty_tag}},
	    {"%%x", {tag(""), tag("x")}, {empty_tag}},
	    {"% x", {tag(""), text(" x")}, {empty_tag}},
	    {"%%", {tag(""), tag("")}, {empty_tag, empty_tag_at_end}},
	    {"", {}, {}},
	    // Widths before a name: plain, braced, or none where digits are
	    // the whole name, are zero, or make no width we accept.
	    {"%02tracknumber - %title", {padded("tracknumber", 2, "02tracknumber"), text(" - "),
		tag("title")}, {}},
	    {"%3track", {padded("track", 3, "3track")}, {}},
	    {"%02{album artist}", {padded("album artist", 2)}, {}},
	    {"%02", {tag("02")}, {}},
	    {"%2 x", {tag("2"), text(" x")}, {}},
	    {"%0track", {tag("0track")}, {}},
	    {"%0{x}", {tag("0"), text("{x}")}, {}},
	    {"%256track", {tag("256track")}, {}},
	    {"%1000{x}", {tag("1000"), text("{x}")}, {}},
	    {"%{02track}", {tag("02track")}, {}},
	    {"%a2{x}", {tag("a2"), text("{x}")}, {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.pattern);
		wt::stderr_capture cap;
		w_rename_tokenQ *q = w_rename_parse(c.pattern);
		std::string err = cap.text();
		ASSERT_NE(q, nullptr) << err;
		EXPECT_EQ(tokens_of(q), c.tokens);
		EXPECT_EQ(wt::messages(err), c.warnings);
		w_rename_tokenQ_destroy(q);
	}
}

TEST(RenamePattern, UnclosedBraceFails)
{
	for (const char *pattern : {"%{artist", "x %{a", "%{a\\}", "%{a\\", "%{"}) {
		SCOPED_TRACE(pattern);
		wt::stderr_capture cap;
		w_rename_tokenQ *q = w_rename_parse(pattern);
		std::string err = cap.text();
		EXPECT_EQ(q, nullptr);
		EXPECT_EQ(wt::messages(err), std::vector<std::string>{unclosed});
		w_rename_tokenQ_destroy(q);
	}
}

// In a single-byte locale 0xC3 is a letter, but a byte with the high bit
// set still ends a plain name: names stay ASCII and UTF-8 is never cut.
TEST(RenamePattern, HighBitBytesEndANameInAnyLocale)
{
	wt::tmpdir locales;
	auto made = wt::run({"localedef", "-i", "fr_FR", "-f", "ISO-8859-1",
	    locales / "fr_FR.ISO-8859-1"});
	if (made.status != 0)
		GTEST_SKIP() << "cannot make a Latin-1 locale (Debian package locales): " << made.err;
	setenv("LOCPATH", locales.path().c_str(), 1);
	ASSERT_NE(setlocale(LC_CTYPE, "fr_FR.ISO-8859-1"), nullptr);
	ASSERT_TRUE(std::isalnum(0xC3));

	w_rename_tokenQ *q = w_rename_parse("%caf\xc3\xa9%{\xc3\xa9t\xc3\xa9}");
	setlocale(LC_CTYPE, "C");
	unsetenv("LOCPATH");
	ASSERT_NE(q, nullptr);
	EXPECT_EQ(tokens_of(q), (std::vector<token>{tag("caf"), text("\xc3\xa9"),
	    tag("\xc3\xa9t\xc3\xa9")}));
	w_rename_tokenQ_destroy(q);
}

TEST(RenamePattern, BadPatternRejectsTheCommandLine)
{
	wt::tmpdir dir;
	wt::make_flac(dir / "a.flac", {"TITLE=T"});
	auto r = wt::wembrix({"rename:%{title", dir / "a.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, std::string("wembrix: ") + unclosed +
	    "\nwembrix: rename: bad rename pattern: Invalid argument\n"
	    "Try `wembrix -h' for help.\n");
	EXPECT_TRUE(wt::exists(dir / "a.flac"));
}

// ---------------------------------------------------------------------------
// Evaluation against the tags of a real FLAC file

struct eval_case {
	std::vector<std::string> comments;
	const char *pattern;
	const char *name; // null: evaluation fails
	std::vector<std::string> warnings; // "%s" stands for the file's path
};

std::string
with_path(std::string s, const std::string &path)
{
	if (auto at = s.find("%s"); at != std::string::npos)
		s.replace(at, 2, path);
	return s;
}

TEST(RenameEval, BuildsTheNameFromTags)
{
	const std::string slash = "%s: tag `artist' has / in value, replacing by `-'";
	const std::string many = "%s: has many `artist' tags, joined with `+'";
	const std::string k1024(1024, 'k');
	const std::vector<eval_case> cases = {
	    {{"ARTIST=Artist", "TITLE=Title"}, "%artist - %title", "Artist - Title", {}},
	    {{"ARTIST=A/B", "TITLE=T"}, "%artist - %title", "A-B - T", {slash}},
	    {{"ARTIST=A", "TITLE=T", "ARTIST=B"}, "%artist - %title", "A + B - T", {many}},
	    // Both warnings, the slash one once for all the values.
	    {{"ARTIST=/A/", "artist=B//C"}, "%artist", "-A- + B--C", {many, slash}},
	    // An absent tag stands for its own name, as written.
	    {{"TITLE=T"}, "%album", "album", {"%s: no `album' tag; the rename pattern uses its name"}},
	    {{"TITLE=T"}, "%ALBUM", "ALBUM", {"%s: no `ALBUM' tag; the rename pattern uses its name"}},
	    {{"ALBUM=X"}, "%ALBUM", "X", {}},
	    {{"ALBUM ARTIST=Various"}, "%{album artist} [%{Album Artist}]", "Various [Various]", {}},
	    {{"TRACK=07", "TITLE=T"}, "%track_no %title", "07_no T", {}},
	    {{"TITLE=\xc3\x89t\xc3\xa9"}, "%title", "\xc3\x89t\xc3\xa9", {}},
	    // A slash of the pattern itself is kept: it names directories.
	    {{"ARTIST=A", "ALBUM=Al", "TITLE=T"}, "%artist/%album/%title", "A/Al/T", {}},
	    {{"TITLE=T"}, "100\\% %title", "100% T", {}},
	    {{"TITLE="}, "[%title]", "[]", {}},
	    {{"TITLE=T"}, "x%", "x", {empty_tag_at_end}},
	    {{"TITLE=" + k1024}, "%title", k1024.c_str(), {}},
	    {{"TITLE=" + k1024}, "%title.", nullptr,
		{"w_rename_eval result is too long (>MAXPATHLEN)"}},
	    // Widths pad a number, with or without its total, and nothing else.
	    {{"TRACKNUMBER=3"}, "%02tracknumber", "03", {}},
	    {{"TRACKNUMBER=3/12"}, "%02tracknumber", "03", {}},
	    {{"TRACKNUMBER=3/12"}, "%02{tracknumber}", "03", {}},
	    {{"TRACKNUMBER=3/12"}, "%tracknumber", "3-12",
		{"%s: tag `tracknumber' has / in value, replacing by `-'"}},
	    {{"TRACKNUMBER=123"}, "%02tracknumber", "123", {}},
	    {{"TRACKNUMBER=007"}, "%2tracknumber", "007", {}},
	    {{"TRACKNUMBER=3"}, "%3{tracknumber}", "003", {}},
	    {{"TRACKNUMBER=A3"}, "%02tracknumber", "A3", {}},
	    {{"TRACKNUMBER=3a"}, "%02tracknumber", "3a", {}},
	    {{"TRACKNUMBER=3", "TRACKNUMBER=4"}, "%02tracknumber", "3 + 4",
		{"%s: has many `tracknumber' tags, joined with `+'"}},
	    // A tag named with its digits is taken as it always was.
	    {{"02TRACKNUMBER=x", "TRACKNUMBER=3"}, "%02tracknumber", "x", {}},
	    // A missing tag warns once, then stands for its name.
	    {{"TITLE=T"}, "%02tracknumber %title", "tracknumber T",
		{"%s: no `tracknumber' tag; the rename pattern uses its name"}},
	    {{"TITLE=T"}, "%albumartist/%album/%albumartist",
		"albumartist/album/albumartist",
		{"%s: no `albumartist' tag; the rename pattern uses its name",
		    "%s: no `album' tag; the rename pattern uses its name"}},
	};
	wt::tmpdir dir;
	int n = 0;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.pattern);
		const std::string path = dir / ("t" + std::to_string(n++) + ".flac");
		wt::make_flac(path, c.comments);
		w_tune *tune = w_tune_new(path.c_str());
		ASSERT_NE(tune, nullptr);

		wt::stderr_capture cap;
		w_rename_tokenQ *q = w_rename_parse(c.pattern);
		ASSERT_NE(q, nullptr);
		std::string parse_err = cap.text();

		wt::stderr_capture cap2;
		char *name = w_rename_eval(tune, q);
		std::string err = cap2.text();
		std::vector<std::string> expected;
		for (const auto &w : c.warnings)
			expected.push_back(with_path(w, path));
		std::vector<std::string> got = wt::messages(parse_err);
		for (const auto &m : wt::messages(err))
			got.push_back(m);
		EXPECT_EQ(got, expected);
		if (c.name == nullptr) {
			EXPECT_EQ(name, nullptr);
		} else {
			ASSERT_NE(name, nullptr);
			EXPECT_EQ(std::string(name), c.name);
		}
		std::free(name);
		w_rename_tokenQ_destroy(q);
		w_tune_destroy(tune);
	}
}

TEST(RenameEval, SeesTagsChangedEarlierInTheRun)
{
	wt::tmpdir dir;
	wt::make_flac(dir / "a.flac", {"TITLE=Old"});
	w_tune *tune = w_tune_new((dir / "a.flac").c_str());
	ASSERT_NE(tune, nullptr);
	w_taglist *tags = w_taglist_new();
	ASSERT_EQ(w_taglist_insert(tags, "title", "New"), 0);
	ASSERT_EQ(w_tune_set_tags(tune, tags), 0);
	w_taglist_destroy(tags);

	w_rename_tokenQ *q = w_rename_parse("%title");
	char *name = w_rename_eval(tune, q);
	ASSERT_NE(name, nullptr);
	EXPECT_STREQ(name, "New");
	std::free(name);
	w_rename_tokenQ_destroy(q);
	w_tune_destroy(tune);
}

// ---------------------------------------------------------------------------
// The question, answered through a pipe to the built program

struct answer_case {
	std::vector<std::string> options;
	const char *input;
	int questions;   // how many times the question is printed
	const char *end; // what follows the last question
	bool moved;
};

TEST(RenameQuestion, ReadsTheAnswer)
{
	const std::vector<answer_case> cases = {
	    {{}, "y\n", 1, "", true},
	    {{}, "yes\n", 1, "", true},
	    {{}, "YES\n", 1, "", true},
	    {{}, "Y\n", 1, "", true},
	    {{}, "n\n", 1, "", false},
	    {{}, "no\n", 1, "", false},
	    {{}, "No\n", 1, "", false},
	    // Anything else is asked again; a line too long to be an answer is
	    // dropped whole.
	    {{}, "nope\ny\n", 2, "", true},
	    {{}, "yes \nn\n", 2, "", false},
	    {{}, "yep\nyes\n", 2, "", true},
	    {{}, "\nyes\n", 2, "", true},
	    {{}, "yesyesyes\nno\n", 2, "", false},
	    // End of input is no.
	    {{}, "", 1, "", false},
	    {{}, "yes", 1, "", false},
	    {{}, "maybe\n", 2, "", false},
	    // The options answer for the user and read nothing.
	    {{"-Y"}, "n\n", 1, "yes\n", true},
	    {{"-N"}, "y\n", 1, "no\n", false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.options) + " input `" + c.input + "'");
		wt::tmpdir dir;
		wt::make_flac(dir / "song.flac", {"TITLE=New"});
		std::vector<std::string> args = c.options;
		args.insert(args.end(), {"rename:%title", "song.flac"});
		auto r = wt::wembrix(args, {.input = c.input, .env = {}, .cwd = dir.path()});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		std::string expected;
		for (int i = 0; i < c.questions; i++)
			expected += "rename `song.flac' to `New.flac'? [y/n] ";
		EXPECT_EQ(r.out, expected + c.end);
		EXPECT_EQ(dir.list(), c.moved ? std::vector<std::string>{"New.flac"}
					      : std::vector<std::string>{"song.flac"});
	}
}

TEST(RenameQuestion, AtEndOfInputLaterFilesAreNotAsked)
{
	wt::tmpdir dir;
	wt::make_flac(dir / "a.flac", {"TITLE=A2"});
	wt::make_flac(dir / "b.flac", {"TITLE=B2"});
	auto r = wt::wembrix({"rename:%title", "a.flac", "b.flac"},
	    {.input = "", .env = {}, .cwd = dir.path()});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "rename `a.flac' to `A2.flac'? [y/n] ");
	EXPECT_EQ(dir.list(), (std::vector<std::string>{"a.flac", "b.flac"}));
}

TEST(RenameQuestion, OneAnswerPerFile)
{
	wt::tmpdir dir;
	wt::make_flac(dir / "a.flac", {"TITLE=A2"});
	wt::make_flac(dir / "b.flac", {"TITLE=B2"});
	auto r = wt::wembrix({"rename:%title", "a.flac", "b.flac"},
	    {.input = "n\ny\n", .env = {}, .cwd = dir.path()});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "rename `a.flac' to `A2.flac'? [y/n] rename `b.flac' to `B2.flac'? [y/n] ");
	EXPECT_EQ(dir.list(), (std::vector<std::string>{"B2.flac", "a.flac"}));
}

// ---------------------------------------------------------------------------
// Renames through the built program, on real FLAC files

class RenameFile : public testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(mkdir((dir / "music").c_str(), 0755), 0);
		wt::make_flac(dir / "music/song.flac", {"ARTIST=Artist", "TITLE=Title"});
		original = wt::read_file(dir / "music/song.flac");
	}
	wt::run_result run(std::vector<std::string> args, const std::string &input = "")
	{
		return wt::wembrix(args, {.input = input, .env = {}, .cwd = dir.path()});
	}
	wt::tmpdir dir;
	std::string original;
};

TEST_F(RenameFile, NoDirectoryPart)
{
	auto r = wt::wembrix({"-Y", "rename:%title", "song.flac"},
	    {.input = std::nullopt, .env = {}, .cwd = dir / "music"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "rename `song.flac' to `Title.flac'? [y/n] yes\n");
	EXPECT_EQ(wt::read_file(dir / "music/Title.flac"), original);
	EXPECT_FALSE(wt::exists(dir / "music/song.flac"));
}

TEST_F(RenameFile, KeepsTheDirectory)
{
	auto r = run({"-Y", "rename:%artist - %title", dir / "music/song.flac"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "rename `" + (dir / "music/song.flac") + "' to `" +
	    (dir / "music/Artist - Title.flac") + "'? [y/n] yes\n");
	EXPECT_EQ(wt::read_file(dir / "music/Artist - Title.flac"), original);
}

TEST_F(RenameFile, MakesDirectoriesWithP)
{
	auto r = run({"-p", "-Y", "rename:%artist/%title", "music/song.flac"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "rename `music/song.flac' to `music/Artist/Title.flac'? [y/n] yes\n");
	EXPECT_EQ(wt::read_file(dir / "music/Artist/Title.flac"), original);
	EXPECT_EQ(wt::metaflac_tags(dir / "music/Artist/Title.flac"),
	    (std::vector<std::string>{"ARTIST=Artist", "TITLE=Title"}));
	EXPECT_FALSE(wt::exists(dir / "music/song.flac"));
}

// A pattern from the root puts the file into a library wherever it was,
// as relative or absolute path, and never joins the two.
TEST_F(RenameFile, PatternFromTheRootIsAbsolute)
{
	const std::string lib = dir / "lib";
	const struct {
		const char *name;
		std::string file;
	} cases[] = {
	    {"relative file", "music/song.flac"},
	    {"absolute file", dir / "music/song.flac"},
	    {"file without directory", "song.flac"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		wt::make_flac(dir / "music/song.flac", {"ARTIST=Artist", "TITLE=Title", "TRACKNUMBER=3/12"});
		const std::string bytes = wt::read_file(dir / "music/song.flac");
		auto r = wt::wembrix({"-p", "-Y", "rename:" + lib + "/%artist/%02tracknumber %title", c.file},
		    {.input = "", .env = {}, .cwd = c.file == "song.flac" ? dir / "music" : dir.path()});
		const std::string moved = lib + "/Artist/03 Title.flac";
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.out, "rename `" + c.file + "' to `" + moved + "'? [y/n] yes\n");
		EXPECT_EQ(wt::read_file(moved), bytes);
		EXPECT_FALSE(wt::exists(dir / "music/song.flac"));
		ASSERT_EQ(std::rename(moved.c_str(), (dir / "music/song.flac").c_str()), 0);
	}
}

TEST_F(RenameFile, MissingDirectoryWithoutP)
{
	auto r = run({"-Y", "rename:%artist/%title", "music/song.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: `music/Artist' (forgot -p ?): No such file or directory\n");
	EXPECT_FALSE(wt::exists(dir / "music/Artist"));
	EXPECT_EQ(wt::read_file(dir / "music/song.flac"), original);
}

TEST_F(RenameFile, DirectoryIsAFile)
{
	wt::write_file(dir / "music/Artist", "not a directory");
	for (const char *p : {"-Y", "-p"}) {
		SCOPED_TRACE(p);
		auto r = run({p, "-Y", "rename:%artist/%title", "music/song.flac"});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: music/Artist: Not a directory\n");
		EXPECT_EQ(wt::read_file(dir / "music/Artist"), "not a directory");
		EXPECT_EQ(wt::read_file(dir / "music/song.flac"), original);
	}
}

TEST_F(RenameFile, NeverReplacesTheDestination)
{
	wt::write_file(dir / "music/Title.flac", "precious");
	auto r = run({"-Y", "rename:%title", "music/song.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: music/Title.flac: File exists\n");
	EXPECT_EQ(wt::read_file(dir / "music/Title.flac"), "precious");
	EXPECT_EQ(wt::read_file(dir / "music/song.flac"), original);
}

// A dangling symbolic link is invisible to stat but still a name that a
// plain rename would replace: only the move itself can refuse it.
TEST_F(RenameFile, NeverReplacesADanglingLink)
{
	ASSERT_EQ(symlink("elsewhere", (dir / "music/Title.flac").c_str()), 0);
	auto r = run({"-Y", "rename:%title", "music/song.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: music/Title.flac: File exists\n");
	char target[64] = {};
	ASSERT_GT(readlink((dir / "music/Title.flac").c_str(), target, sizeof target - 1), 0);
	EXPECT_STREQ(target, "elsewhere");
	EXPECT_EQ(wt::read_file(dir / "music/song.flac"), original);
}

TEST_F(RenameFile, SameNameAsksNothing)
{
	wt::make_flac(dir / "music/Title.flac", {"TITLE=Title"});
	auto r = run({"rename:%title", "music/Title.flac"}, "n\n");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
	EXPECT_TRUE(wt::exists(dir / "music/Title.flac"));
}

// A new path that leads back to the very name the file has is no move,
// however it is spelled; another name for the same file still is.
TEST_F(RenameFile, ThePlaceTheFileIsAlreadyIn)
{
	ASSERT_EQ(mkdir((dir / "Artist").c_str(), 0755), 0);
	ASSERT_EQ(mkdir((dir / "Artist/Album").c_str(), 0755), 0);
	const std::string file = dir / "Artist/Album/Title.flac";
	wt::make_flac(file, {"ARTIST=Artist", "ALBUM=Album", "TITLE=Title"});
	const std::string bytes = wt::read_file(file);
	ASSERT_EQ(link(file.c_str(), (dir / "Artist/Album/Other.flac").c_str()), 0);
	struct {
		std::vector<std::string> args;
		int status;
		std::string out, err;
	} cases[] = {
	    {{"-Y", "rename:../../%artist/%album/%title", "Title.flac"}, 0, "", ""},
	    {{"-p", "-Y", "rename:../../%artist/%album/%title", "Title.flac"}, 0, "", ""},
	    {{"-Y", "rename:../%album/%title", "./Title.flac"}, 0, "", ""},
	    {{"-Y", "rename:%title", "Other.flac"}, 1, "rename `Other.flac' to `Title.flac'? [y/n] yes\n",
		"wembrix: Title.flac: File exists\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.args[c.args.size() - 2]);
		auto r = wt::wembrix(c.args, {.input = std::nullopt, .env = {}, .cwd = dir / "Artist/Album"});
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(wt::read_file(file), bytes);
		EXPECT_EQ(wt::run({"ls", dir / "Artist/Album"}).out, "Other.flac\nTitle.flac\n");
	}
}

// The extension belongs to the file's own name, never to a directory.
TEST_F(RenameFile, ExtensionComesFromTheFileName)
{
	ASSERT_EQ(mkdir((dir / "best.of").c_str(), 0755), 0);
	wt::make_flac(dir / "best.of/track", {"TITLE=Title"});
	auto r = run({"-Y", "rename:%title", "best.of/track"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "wembrix: best.of/track: can not find file extension\n");
	EXPECT_TRUE(wt::exists(dir / "best.of/track"));
	EXPECT_FALSE(wt::exists(dir / "best.of/Title.flac"));

	wt::make_flac(dir / "best.of/old.name.flac", {"TITLE=Title"});
	r = run({"-Y", "rename:%title", "best.of/old.name.flac"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(wt::exists(dir / "best.of/Title.flac"));
}

TEST_F(RenameFile, SavesTagsBeforeTheMoveAndWorksOnAfterIt)
{
	auto r = run({"-Y", "set:title=New", "rename:%artist - %title", "add:album=After",
	    "music/song.flac"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_FALSE(wt::exists(dir / "music/song.flac"));
	EXPECT_EQ(wt::metaflac_tags(dir / "music/Artist - New.flac"),
	    (std::vector<std::string>{"artist=Artist", "title=New", "album=After"}));
}

// A failed move leaves the tags written: they were saved first.
TEST_F(RenameFile, FailedMoveKeepsTheSavedTags)
{
	wt::write_file(dir / "music/New.flac", "precious");
	auto r = run({"-Y", "set:title=New", "rename:%title", "music/song.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: music/New.flac: File exists\n");
	EXPECT_EQ(wt::metaflac_tags(dir / "music/song.flac"),
	    (std::vector<std::string>{"artist=Artist", "title=New"}));
	EXPECT_EQ(wt::read_file(dir / "music/New.flac"), "precious");
}

TEST_F(RenameFile, DeclinedRenameStillSavesTags)
{
	auto r = run({"-N", "set:title=New", "rename:%title", "music/song.flac"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "rename `music/song.flac' to `music/New.flac'? [y/n] no\n");
	EXPECT_EQ(wt::metaflac_tags(dir / "music/song.flac"),
	    (std::vector<std::string>{"artist=Artist", "title=New"}));
}

// Every way a rename can fail names the path at fault and the reason.
TEST_F(RenameFile, EveryFailureSaysWhichPathAndWhy)
{
	wt::write_file(dir / "music/Artist", "not a directory");
	const std::string long_name(300, 'x');
	struct {
		const char *name;
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
	    {"a file on the way, -p", {"-p", "-Y", "rename:%artist/%title/%title", "music/song.flac"},
		"wembrix: music/Artist: Not a directory\n"},
	    {"a file on the way", {"-Y", "rename:%artist/%title/%title", "music/song.flac"},
		"wembrix: music/Artist/Title: Not a directory\n"},
	    {"a directory that cannot be made, -p",
		{"-p", "-Y", "rename:" + long_name + "/%title", "music/song.flac"},
		"wembrix: build: music/" + long_name + ": File name too long\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto r = run(c.args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(wt::read_file(dir / "music/song.flac"), original);
		EXPECT_EQ(wt::read_file(dir / "music/Artist"), "not a directory");
		EXPECT_EQ(wt::run({"ls", "-A", dir / "music"}).out, "Artist\nsong.flac\n");
	}
}

// ---------------------------------------------------------------------------
// Renames as a user without privileges, where permissions decide

class UnprivilegedRename : public testing::Test {
protected:
	void SetUp() override
	{
		if (geteuid() == 0 && wt::run({"setpriv", "--version"}).status != 0)
			GTEST_SKIP() << "running as root without setpriv";
		ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
		ASSERT_EQ(mkdir(music.c_str(), 0777), 0);
		ASSERT_EQ(chmod(music.c_str(), 0777), 0);
	}
	void TearDown() override { chmod(music.c_str(), 0777); }

	// Runs wembrix in dir, as nobody when the test runs as root.
	wt::run_result run(const std::vector<std::string> &args)
	{
		std::vector<std::string> argv = {WEMBRIX_BIN};
		argv.insert(argv.end(), args.begin(), args.end());
		if (geteuid() == 0)
			argv.insert(argv.begin(),
			    {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
		return wt::run(argv, {.input = std::nullopt, .env = {}, .cwd = dir.path()});
	}
	static std::string mode_of(const std::string &path)
	{
		return wt::run({"stat", "-c", "%a", path}).out;
	}

	wt::tmpdir dir;
	std::string music = dir / "music";
};

// Moving a file changes its directory, not the file: a read-only file is
// renamed like any other, as mv would.  Only tag changes to save first
// need the file writable.
TEST_F(UnprivilegedRename, ReadOnlyFileIsRenamedButNotWritten)
{
	struct {
		const char *ext;
		void (*make)(const std::string &);
	} formats[] = {
	    {"flac", [](const std::string &f) { wt::make_flac(f, {"TITLE=Title"}); }},
	    {"ogg", [](const std::string &f) { wt::make_vorbis(f, {"TITLE=Title"}); }},
	    {"mp3", [](const std::string &f) { wt::make_mp3(f, {"--tt", "Title", "--id3v2-only"}); }},
	};
	for (const auto &f : formats) {
		SCOPED_TRACE(f.ext);
		const std::string ext = f.ext;
		const std::string song = "music/song." + ext, title = "music/Title." + ext;
		f.make(dir / song);
		ASSERT_EQ(chmod((dir / song).c_str(), 0444), 0);
		const std::string original = wt::read_file(dir / song);

		// With tag changes to save, the file must be writable.
		auto r = run({"-Y", "set:title=New", "rename:%title", song});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: " + song + ": Permission denied\n");
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(wt::read_file(dir / song), original);

		// Without, it is only moved: the same bytes, the same mode.
		r = run({"-Y", "rename:%title", "print", song});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.out, "rename `" + song + "' to `" + title + "'? [y/n] yes\n# " + title +
		    "\n---\n- title: Title\n\n");
		EXPECT_EQ(wt::run({"ls", "-A", music}).out, "Title." + ext + "\n");
		EXPECT_EQ(wt::read_file(dir / title), original);
		EXPECT_EQ(mode_of(dir / title), "444\n");
		std::remove((dir / title).c_str());
	}
}

TEST_F(UnprivilegedRename, FailuresForWantOfPermissionSayWhere)
{
	wt::make_flac(dir / "music/song.flac", {"ARTIST=Artist", "TITLE=Title"});
	ASSERT_EQ(chmod((dir / "music/song.flac").c_str(), 0666), 0);
	const std::string original = wt::read_file(dir / "music/song.flac");
	ASSERT_EQ(chmod(music.c_str(), 0555), 0);
	struct {
		const char *name;
		std::string pattern;
		std::string err;
	} cases[] = {
	    {"no directory can be made", "rename:%artist/%title",
		"wembrix: build: music/Artist: Permission denied\n"},
	    {"no name can be changed", "rename:%title",
		"wembrix: rename `music/song.flac' to `music/Title.flac': Permission denied\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto r = run({"-p", "-Y", c.pattern, "music/song.flac"});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(wt::run({"ls", "-A", music}).out, "song.flac\n");
		EXPECT_EQ(wt::read_file(dir / "music/song.flac"), original);
	}
}

// ---------------------------------------------------------------------------
// The move, in the test process

class SafeRename : public testing::Test {
protected:
	void SetUp() override
	{
		src = dir / "song.flac";
		wt::write_file(src, "music");
		saved_mask = umask(0022);
		umask(saved_mask);
	}
	void TearDown() override
	{
		pflag = 0;
		umask(saved_mask);
	}
	static mode_t mode_of(const std::string &path)
	{
		struct stat sb;
		EXPECT_EQ(stat(path.c_str(), &sb), 0) << path;
		return sb.st_mode & 07777;
	}
	static ino_t inode_of(const std::string &path)
	{
		struct stat sb;
		EXPECT_EQ(lstat(path.c_str(), &sb), 0) << path;
		return sb.st_ino;
	}
	wt::tmpdir dir;
	std::string src;
	mode_t saved_mask = 0;
};

// The directories on the way stay usable by their owner whatever the
// mask; the last one gets the mask; the mask is the same afterwards.
TEST_F(SafeRename, BuildKeepsAndRestoresTheMask)
{
	pflag = 1;
	umask(0722);
	EXPECT_EQ(w_rename_safe(src.c_str(), (dir / "a/b/c/New.flac").c_str()), 0);
	EXPECT_EQ(umask(0722), 0722u);
	EXPECT_EQ(mode_of(dir / "a"), 0355u);
	EXPECT_EQ(mode_of(dir / "a/b"), 0355u);
	EXPECT_EQ(mode_of(dir / "a/b/c"), 0055u);
	EXPECT_EQ(wt::read_file(dir / "a/b/c/New.flac"), "music");

	// Building that stops half-way (a file in the way) restores it too.
	wt::write_file(dir / "f", "");
	wt::write_file(src, "music");
	wt::stderr_capture cap;
	EXPECT_EQ(w_rename_safe(src.c_str(), (dir / "f/x/New.flac").c_str()), -1);
	EXPECT_EQ(wt::messages(cap.text()), std::vector<std::string>{dir / "f: Not a directory"});
	EXPECT_EQ(umask(0722), 0722u);
	EXPECT_TRUE(wt::exists(src));

	// So does building only the last directory.
	umask(0027);
	EXPECT_EQ(w_rename_safe(src.c_str(), (dir / "d/New.flac").c_str()), 0);
	EXPECT_EQ(umask(0027), 0027u);
	EXPECT_EQ(mode_of(dir / "d"), 0750u);
}

TEST_F(SafeRename, BuildTakesExistingDirectoriesAndTrailingSlashes)
{
	pflag = 1;
	ASSERT_EQ(mkdir((dir / "a").c_str(), 0700), 0);
	EXPECT_EQ(w_rename_safe(src.c_str(), (dir / "a//b/New.flac").c_str()), 0);
	EXPECT_EQ(mode_of(dir / "a"), 0700u);
	EXPECT_EQ(wt::read_file(dir / "a/b/New.flac"), "music");
}

struct fallback_case {
	const char *what;
	std::vector<wt::denial> denied;
	bool dangling_destination;
	int status;           // 0, or 255 for -1
	const char *message;  // %o, %n: the old and the new path; "" for none
	bool moved;
};

// Where the file system has no no-replace rename, the move falls back to
// link and unlink, which cannot replace a name either; where that does not
// work, the file stays where it is.
TEST_F(SafeRename, FallsBackWithoutReplacing)
{
	const std::vector<fallback_case> cases = {
	    {"no renameat2", {{SYS_renameat2, ENOSYS}}, false, 0, "", true},
	    {"no RENAME_NOREPLACE", {{SYS_renameat2, EINVAL}}, false, 0, "", true},
	    {"link refuses a dangling link", {{SYS_renameat2, EINVAL}}, true, 255,
		"%n: File exists", false},
	    {"no hard links", {{SYS_renameat2, EINVAL}, {SYS_link, EPERM}, {SYS_linkat, EPERM}},
		false, 255, "rename `%o' to `%n': Operation not permitted", false},
	    {"another file system", {{SYS_renameat2, EXDEV}}, false, 255,
		"rename `%o' to `%n': Invalid cross-device link", false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		wt::tmpdir d;
		const std::string from = d / "song.flac", to = d / "New.flac";
		wt::write_file(from, "music");
		const ino_t ino = inode_of(from);
		if (c.dangling_destination) {
			ASSERT_EQ(symlink("elsewhere", to.c_str()), 0);
		}

		auto r = wt::run_denying(c.denied, [&] { return w_rename_safe(from.c_str(), to.c_str()); });
		EXPECT_EQ(r.status, c.status);
		std::string msg = c.message;
		if (auto at = msg.find("%o"); at != std::string::npos)
			msg.replace(at, 2, from);
		if (auto at = msg.find("%n"); at != std::string::npos)
			msg.replace(at, 2, to);
		EXPECT_EQ(wt::messages(r.err),
		    msg.empty() ? std::vector<std::string>{} : std::vector<std::string>{msg});
		if (c.moved) {
			EXPECT_EQ(d.list(), std::vector<std::string>{"New.flac"});
			EXPECT_EQ(inode_of(to), ino); // moved, not copied
		} else {
			EXPECT_EQ(inode_of(from), ino);
			EXPECT_EQ(wt::read_file(from), "music");
			const std::vector<std::string> names = c.dangling_destination
			    ? std::vector<std::string>{"New.flac", "song.flac"}
			    : std::vector<std::string>{"song.flac"};
			EXPECT_EQ(d.list(), names);
		}
	}
}

} // namespace
