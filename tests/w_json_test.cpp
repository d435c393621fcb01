#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "w_format.h"
#include "w_json.h"
#include "w_oggsupport.h"
#include "w_tagsupport.h"
#include "w_testsupport.h"

namespace {

using wt::tags;
using lines = std::vector<std::string>;

using wt::show;

} // namespace

TEST(JsonWriter, ExactDocuments)
{
	const struct {
		const char *name;
		tags t;
		const char *path;
		std::string text;
	} cases[] = {
	    {"two tags named by the path", {{"title", "Intro"}, {"artist", "Some Band"}}, "a.flac",
		R"({"file":"a.flac","tags":[{"title":"Intro"},{"artist":"Some Band"}]})"},
	    {"no tags", {}, "/m/a.flac", R"({"file":"/m/a.flac","tags":[]})"},
	    {"no path: no file member", {{"title", "x"}}, nullptr, R"({"tags":[{"title":"x"}]})"},
	    {"duplicates kept in order", {{"a", "1"}, {"b", "2"}, {"a", "3"}}, nullptr,
		R"({"tags":[{"a":"1"},{"b":"2"},{"a":"3"}]})"},
	    {"what YAML would turn into other types stays text",
		{{"a", "yes"}, {"b", "007"}, {"c", "2019-03-01"}, {"d", "null"}, {"e", ""}}, nullptr,
		R"({"tags":[{"a":"yes"},{"b":"007"},{"c":"2019-03-01"},{"d":"null"},{"e":""}]})"},
	    {"escapes", {{"c", "q\"b\\s/\b\f\n\r\t\x01\x1f\x7f"}}, "it's \"x\".flac",
		R"({"file":"it's \"x\".flac","tags":[{"c":"q\"b\\s/\b\f\n\r\t\u0001\u001f)" "\x7f" R"("}]})"},
	    {"non-ASCII as UTF-8, not escaped", {{"title", "Café \xe2\x80\xa8 \xf0\x9f\x8e\xb5"}}, nullptr,
		"{\"tags\":[{\"title\":\"Café \xe2\x80\xa8 \xf0\x9f\x8e\xb5\"}]}"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(wt::format_write(w_tags2json, c.t, c.path), c.text);
	}
}

TEST(JsonWriter, RefusesTextThatIsNotUtf8)
{
	struct {
		const char *name;
		tags t;
		const char *path;
		const char *message;
	} cases[] = {
	    {"Latin-1 value", {{"title", "ok"}, {"artist", "Mot\xf6rhead"}}, "/m/a.flac",
		"/m/a.flac: the value of tag `artist' is not valid UTF-8, cannot write it as JSON"},
	    {"Latin-1 key", {{"tit\xe9", "x"}}, "/m/b.flac",
		"/m/b.flac: a tag name is not valid UTF-8, cannot write it as JSON"},
	    {"truncated sequence, no path", {{"title", "caf\xc3"}}, nullptr,
		"tags: the value of tag `title' is not valid UTF-8, cannot write it as JSON"},
	    {"Latin-1 file name", {{"title", "x"}}, "/m/\xe9t\xe9.flac",
		"/m/\\xe9t\\xe9.flac: the file name is not valid UTF-8, cannot write it as JSON"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		testing::internal::CaptureStderr();
		errno = 0;
		EXPECT_EQ(wt::format_write(w_tags2json, c.t, c.path), std::nullopt);
		EXPECT_EQ(errno, EILSEQ);
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "w_json_test: " + std::string(c.message) + "\n");
	}
}

TEST(JsonReader, DocumentsAndTheirResults)
{
	const struct {
		const char *name;
		std::string text;
		std::variant<tags, std::string> result;
	} cases[] = {
	    {"a printed line", R"({"file":"a.flac","tags":[{"title":"Intro"},{"artist":"Some Band"}]})" "\n",
		tags{{"title", "Intro"}, {"artist", "Some Band"}}},
	    {"members in any order, spread over lines",
		"\xef\xbb\xbf  {\n \"tags\" : [ { \"a\" : \"1\" } ,\n{\"a\":\"2\"} ],\n \"file\": \"x\" }\n\n",
		tags{{"a", "1"}, {"a", "2"}}},
	    {"a bare list", R"([{"TITLE":"x"},{"genre":""}])", tags{{"title", "x"}, {"genre", ""}}},
	    {"an empty list", "[]", tags{}},
	    {"no tags", R"({"file":"a.flac","tags":[]})", tags{}},
	    {"escapes", R"([{"c":"\u00e9\ud83c\udfb5\n\"\\\/"}])",
		tags{{"c", "\xc3\xa9\xf0\x9f\x8e\xb5\n\"\\/"}}},

	    {"empty input", "", "the input holds no tag document"},
	    {"only blanks", " \n\t\n", "the input holds no tag document"},
	    {"two documents", "[]\n[]\n", "the input holds 2 tag documents, not one"},
	    {"two named documents", "{\"file\":\"a\",\"tags\":[]}\n{\"file\":\"b\",\"tags\":[]}",
		"the input holds 2 tag documents, not one"},
	    {"cut short", "{\"tags\":[{\"a\":\"1\"}",
		"line 1, column 19: syntax error while parsing array - unexpected end of "
		"input; expected ']'"},
	    {"not JSON", "\n\n  {x}",
		"line 3, column 4: syntax error while parsing object key - invalid literal; "
		"last read: '{x'; expected string literal"},
	    {"trailing text", "[] junk",
		"line 1, column 4: syntax error while parsing value - invalid literal; last read: 'j'"},
	    {"bytes that are not UTF-8, shown escaped", "[{\"a\":\"caf\xe9\"}]",
		"line 1, column 12: syntax error while parsing value - invalid string: "
		"ill-formed UTF-8 byte; last read: '\"caf\\xe9\"'"},
	    {"a number for a value", "{\"tags\":[\n{\"year\":2004}]}",
		"line 2, column 13: the value of a tag is a string, not a number"},
	    {"null for a value", "[{\"a\":null}]",
		"line 1, column 10: the value of a tag is a string, not null"},
	    {"a list for a value", "[{\"a\":[]}]",
		"line 1, column 7: the value of a tag is a string, not a list"},
	    {"two pairs in a tag", "[{\"a\":\"1\",\"b\":\"2\"}]",
		"line 1, column 13: a tag is an object with exactly one member"},
	    {"an empty tag", "[{}]", "line 1, column 3: a tag is an object with exactly one member"},
	    {"a string for a tag", "[\"a=b\"]",
		"line 1, column 6: a tag is an object with one member, not a string"},
	    {"a string for a document", "\"a\"",
		"line 1, column 3: a tag document is an object or a list, not a string"},
	    {"no tags member", "{\"file\":\"a.flac\"}",
		"line 1, column 17: the tag document has no \"tags\" member"},
	    {"a misspelt member", "{\"tag\":[]}",
		"line 1, column 6: unknown member \"tag\": a tag document holds \"file\" and \"tags\""},
	    {"tags given twice", "{\"tags\":[],\"tags\":[]}",
		"line 1, column 17: the member \"tags\" is given twice"},
	    {"tags not a list", "{\"tags\":{\"a\":\"b\"}}",
		"line 1, column 9: \"tags\" is a list, not an object"},
	    {"file not a string", "{\"file\":1,\"tags\":[]}",
		"line 1, column 10: \"file\" is a string, not a number"},
	    {"NUL in a value", "[{\"a\":\"x\\u0000y\"}]",
		"line 1, column 16: a tag value cannot hold a NUL character"},
	    {"NUL in a name", "[{\"a\\u0000\":\"x\"}]",
		"line 1, column 11: a tag name cannot hold a NUL character"},
	    {"lone surrogate", "[{\"a\":\"\\ud800\"}]",
		"line 1, column 14: syntax error while parsing value - invalid string: "
		"surrogate U+D800..U+DBFF must be followed by U+DC00..U+DFFF; last read: '\"\\ud800\"'"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(wt::format_read(w_json2tags, c.text), c.result);
	}
}

namespace {

// The documents of text, read and indexed as the loader does.
w_fmtinput
input_of(const std::string &text)
{
	w_fmtinput in;
	auto fp = wt::stream_of(text);
	char *msg = nullptr;
	EXPECT_EQ(w_json2docs(fp.get(), &in.docs, &msg), 0) << msg;
	std::free(msg);
	w_fmtinput_index(&in);
	return in;
}

// The tags in serves path with, or the message why it serves none.
std::variant<tags, std::string>
find(const w_fmtinput &in, const char *path, w_fmtmatch match)
{
	char *err = nullptr;
	const struct w_taglist *found = w_fmtinput_find(&in, path, match, &err);
	if (found == nullptr) {
		std::string msg = err != nullptr ? err : "(no message)";
		std::free(err);
		return msg;
	}
	EXPECT_EQ(err, nullptr);
	return wt::to_tags(found);
}

} // namespace

TEST(JsonReader, ManyDocumentsEachFindsItsFile)
{
	const w_fmtinput in = input_of("{\"file\":\"a.flac\",\"tags\":[{\"title\":\"A\"}]}\n"
				       "{\"file\":\"b.flac\",\"tags\":[]}\n"
				       "{\"file\":\"./a.flac\",\"tags\":[{\"title\":\"dot A\"}]}\n"
				       "\n"
				       "{\"tags\":[{\"title\":\"twice\"}],\"file\":\"twice.flac\"}\n"
				       "{\"file\":\"twice.flac\",\"tags\":[]}\n"
				       "{\"file\":\"twice.flac\",\"tags\":[]}\n");
	const struct {
		const char *path;
		std::variant<tags, std::string> result;
	} cases[] = {
	    {"a.flac", tags{{"title", "A"}}},
	    {"./a.flac", tags{{"title", "dot A"}}},
	    {"b.flac", tags{}},
	    {"c.flac", "c.flac: no tag document names this file"},
	    {"A.flac", "A.flac: no tag document names this file"},
	    {"twice.flac", "twice.flac: more than one tag document names this file (lines 5 and 6)"},
	};
	// Among several documents, the way of matching makes no difference.
	for (w_fmtmatch match : {w_fmtmatch::by_name, w_fmtmatch::lone_serves_any}) {
		for (const auto &c : cases) {
			SCOPED_TRACE(c.path);
			EXPECT_EQ(find(in, c.path, match), c.result);
		}
	}
}

TEST(JsonReader, WhichFilesALoneDocumentServes)
{
	const tags a = {{"title", "A"}};
	const struct {
		const char *name;
		std::string text;
		w_fmtmatch match;
		std::variant<tags, std::string> for_a, for_other;
	} cases[] = {
	    // A run over one file copies tags from another.
	    {"named, one file", R"({"file":"a.flac","tags":[{"title":"A"}]})", w_fmtmatch::lone_serves_any, a, a},
	    // A run over several never gives one file another's tags.
	    {"named, several files", R"({"file":"a.flac","tags":[{"title":"A"}]})", w_fmtmatch::by_name, a,
		"other.flac: no tag document names this file"},
	    {"a bare list", R"([{"title":"A"}])", w_fmtmatch::by_name, a, a},
	    {"an object without file", R"({"tags":[{"title":"A"}]})", w_fmtmatch::by_name, a, a},
	    {"nothing at all", "", w_fmtmatch::lone_serves_any, "a.flac: the input holds no tag document",
		"other.flac: the input holds no tag document"},
	    // Documents are told apart by the file each names.
	    {"several, one unnamed", "{\"file\":\"a.flac\",\"tags\":[{\"title\":\"A\"}]}\n[]\n",
		w_fmtmatch::by_name, "a.flac: one of several tag documents names no \"file\" (line 2)",
		"other.flac: one of several tag documents names no \"file\" (line 2)"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const w_fmtinput in = input_of(c.text);
		EXPECT_EQ(find(in, "a.flac", c.match), c.for_a);
		EXPECT_EQ(find(in, "other.flac", c.match), c.for_other);
	}
}

namespace {

// Tag lists built from the pieces that trouble a JSON writer or reader.
class tag_generator {
public:
	explicit tag_generator(std::uint32_t seed) : rng_(seed) {}

	tags list()
	{
		tags t;
		std::size_t n = pick(9);
		for (std::size_t i = 0; i < n; i++) {
			if (!t.empty() && pick(5) == 0)
				t.emplace_back(t[pick(t.size())].first, text()); // duplicate key
			else
				t.emplace_back(key(), text());
		}
		return t;
	}

	// Any byte but NUL, which no tag holds, in text of random length.
	std::string text()
	{
		static const char *const pieces[] = {"\"", "\\", "/", "\\u0041", "\\\"", "{", "}", "[",
		    "]", ":", ",", " ", "\n", "\r\n", "\t", "\x7f", "\xc3\xa9", "\xe2\x80\xa8",
		    "\xf0\x9f\x8e\xb5", "\xef\xbb\xbf", "true", "007", "null", "word"};
		std::string s;
		std::size_t n = pick(8);
		for (std::size_t i = 0; i < n; i++) {
			if (pick(3) == 0)
				s += static_cast<char>(1 + pick(0x1f)); // every control character
			else
				s += pieces[pick(std::size(pieces))];
		}
		return s;
	}

private:
	std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

	// Keys as the tag list stores them: lower case.
	std::string key()
	{
		std::string k = text();
		for (char &c : k)
			if (c >= 'A' && c <= 'Z')
				c = static_cast<char>(c - 'A' + 'a');
		return k;
	}

	std::mt19937 rng_;
};

} // namespace

TEST(JsonRoundTrip, WrittenDocumentsReadBackEqual)
{
	tag_generator gen(12);
	for (int i = 0; i < 3000; i++) {
		tags t = gen.list();
		std::string path = i % 2 == 0 ? "/music/" + gen.text() + ".flac" : "";
		auto doc = wt::format_write(w_tags2json, t, i % 2 == 0 ? path.c_str() : nullptr);
		ASSERT_TRUE(doc.has_value()) << show(t);
		ASSERT_EQ(doc->find('\n'), std::string::npos) << "one line per document:\n" << *doc;
		ASSERT_EQ(wt::format_read(w_json2tags, *doc), (std::variant<tags, std::string>(t)))
		    << "list #" << i << ":\n" << show(t) << "document:\n" << *doc;
	}
}

namespace {

// A library of real files, printed as JSON and restored from the backup.
class JsonLibrary : public testing::Test {
protected:
	void SetUp() override
	{
		wt::make_flac(dir / "a.flac", {"TITLE=Intro", "ARTIST=Some Band", "ARTIST=Guest"});
		wt::make_flac(dir / "b.flac", {"TITLE=007", "DATE=2019-03-01", "COMMENT=yes \"q\""});
		wt::make_vorbis(dir / "c.ogg", {"TITLE=Caf\xc3\xa9", "TRACKNUMBER=01"});
	}
	wt::run_result run(const std::vector<std::string> &args, std::optional<std::string> input = {})
	{
		wt::run_options opt;
		opt.cwd = dir.path();
		opt.input = std::move(input);
		return wt::wembrix(args, opt);
	}
	wt::tmpdir dir;
	const lines a_tags = {"title=Intro", "artist=Some Band", "artist=Guest"};
	const lines b_tags = {"title=007", "date=2019-03-01", "comment=yes \"q\""};
};

} // namespace

TEST_F(JsonLibrary, BackupRestoresEveryFileItsOwnTags)
{
	auto backup = run({"-F", "json", "print", "a.flac", "b.flac", "c.ogg"});
	ASSERT_EQ(backup.status, 0) << backup.err;
	EXPECT_EQ(backup.out,
	    "{\"file\":\"a.flac\",\"tags\":[{\"title\":\"Intro\"},{\"artist\":\"Some Band\"},{\"artist\":\"Guest\"}]}\n"
	    "{\"file\":\"b.flac\",\"tags\":[{\"title\":\"007\"},{\"date\":\"2019-03-01\"},{\"comment\":\"yes \\\"q\\\"\"}]}\n"
	    "{\"file\":\"c.ogg\",\"tags\":[{\"title\":\"Caf\xc3\xa9\"},{\"tracknumber\":\"01\"}]}\n");

	// Another JSON reader sees text, byte for byte, where a YAML reader
	// would see a number and a date.
	wt::write_file(dir / "backup.jsonl", backup.out);
	auto py = wt::run({"python3", "-c",
	    "import json,sys\n"
	    "for l in open(sys.argv[1], encoding='utf-8'):\n"
	    "  d = json.loads(l)\n"
	    "  print(d['file'], *('%s=%s' % tuple(t.items())[0] for t in d['tags']), sep='|')\n",
	    dir / "backup.jsonl"});
	EXPECT_EQ(py.out, "a.flac|title=Intro|artist=Some Band|artist=Guest\n"
			  "b.flac|title=007|date=2019-03-01|comment=yes \"q\"\n"
			  "c.ogg|title=Caf\xc3\xa9|tracknumber=01\n") << py.err;

	for (const char *from : {"file", "standard input"}) {
		SCOPED_TRACE(from);
		ASSERT_EQ(run({"clear:", "add:title=lost", "a.flac", "b.flac", "c.ogg"}).status, 0);
		// Given in another order than printed.
		auto r = std::string(from) == "file"
		    ? run({"-F", "json", "load:backup.jsonl", "c.ogg", "b.flac", "a.flac"})
		    : run({"-F", "json", "load:-", "c.ogg", "b.flac", "a.flac"}, backup.out);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), a_tags);
		EXPECT_EQ(wt::metaflac_tags(dir / "b.flac"), b_tags);
		EXPECT_EQ(wt::run({"vorbiscomment", "-l", dir / "c.ogg"}).out, "title=Caf\xc3\xa9\ntracknumber=01\n");
	}
}

// A backup that names one file three ways fails that file; it is listed
// once, and the others are restored.  A FIFO it names is refused at once.
TEST_F(JsonLibrary, OneFileNamedSeveralWays)
{
	ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
	ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
	wt::write_file(dir / "backup.jsonl",
	    "{\"file\":\"a.flac\",\"tags\":[{\"title\":\"one\"}]}\n"
	    "{\"file\":\"./a.flac\",\"tags\":[{\"title\":\"two\"}]}\n"
	    "{\"file\":\"sub/../a.flac\",\"tags\":[{\"title\":\"three\"}]}\n"
	    "{\"file\":\"pipe\",\"tags\":[{\"title\":\"piped\"}]}\n"
	    "{\"file\":\"b.flac\",\"tags\":[{\"title\":\"B\"}]}\n");
	const std::string a = wt::read_file(dir / "a.flac");
	wt::run_options opt;
	opt.cwd = dir.path();
	const auto r = wt::run({"timeout", "60", WEMBRIX_BIN, "-F", "json", "load:backup.jsonl"}, opt);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: a.flac: more than one tag document names this file (lines 1 and 2)\n"
			 "wembrix: pipe: not a regular file\n");
	EXPECT_TRUE(wt::read_file(dir / "a.flac") == a);
	EXPECT_EQ(wt::metaflac_tags(dir / "b.flac"), (lines{"title=B"}));
}

TEST_F(JsonLibrary, AFileWithoutItsOwnDocumentIsLeftAlone)
{
	wt::write_file(dir / "backup.jsonl",
	    "{\"file\":\"a.flac\",\"tags\":[{\"title\":\"New A\"}]}\n"
	    "{\"file\":\"b.flac\",\"tags\":[{\"title\":\"B1\"}]}\n"
	    "{\"file\":\"b.flac\",\"tags\":[{\"title\":\"B2\"}]}\n");
	wt::make_flac(dir / "d.flac", {"TITLE=D"});
	const std::string b = wt::read_file(dir / "b.flac"), c = wt::read_file(dir / "c.ogg"),
			  d = wt::read_file(dir / "d.flac");
	// ./a.flac is the file a.flac: the document naming it serves it.
	auto r = run({"-F", "json", "load:backup.jsonl", "b.flac", "c.ogg", "./a.flac", "a.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: b.flac: more than one tag document names this file (lines 2 and 3)\n"
			 "wembrix: c.ogg: no tag document names this file\n");
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), (lines{"title=New A"}));
	EXPECT_TRUE(wt::read_file(dir / "b.flac") == b);
	EXPECT_TRUE(wt::read_file(dir / "c.ogg") == c);

	// A broken backup touches nothing and says where it broke.
	wt::write_file(dir / "broken.jsonl", "{\"file\":\"d.flac\",\"tags\":[]}\n{\"file\":\"a.flac\",\"tags\":[{]}\n");
	r = run({"-F", "json", "load:broken.jsonl", "d.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: broken.jsonl: line 2, column 27: syntax error while parsing object key - "
			 "unexpected ']'; expected string literal\n");
	EXPECT_TRUE(wt::read_file(dir / "d.flac") == d);
	// Standard input is named as such, once per file it fails.
	r = run({"-F", "json", "load:-", "d.flac", "b.flac"}, "[{\"a\":1}]");
	EXPECT_EQ(r.status, 1);
	const std::string msg = "wembrix: stdin: line 1, column 8: the value of a tag is a string, "
				"not a number\n";
	EXPECT_EQ(r.err, msg + msg);
	EXPECT_TRUE(wt::read_file(dir / "d.flac") == d);
}

TEST_F(JsonLibrary, EditThroughJson)
{
	// The editor sees each file's one line and changes it; every file gets
	// its own document back, not the one edited before it, whatever file
	// the edited document names.
	wt::write_script(dir / "ed.sh",
	    "sed -i -e 's/Some Band/Other \\\\\"Band\\\\\"/' -e 's/\"tags\":\\[/&{\"mood\":\"edited\"},/' "
	    "-e 's/\"file\":\"[^\"]*\"/\"file\":\"elsewhere.flac\"/' \"$1\"\n");
	wt::run_options opt;
	opt.cwd = dir.path();
	opt.env["EDITOR"] = dir / "ed.sh";
	auto r = wt::wembrix({"-F", "json", "edit", "a.flac", "b.flac"}, opt);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"),
	    (lines{"mood=edited", "title=Intro", "artist=Other \"Band\"", "artist=Guest"}));
	lines b = b_tags;
	b.insert(b.begin(), "mood=edited");
	EXPECT_EQ(wt::metaflac_tags(dir / "b.flac"), b);
}

TEST_F(JsonLibrary, ADocumentServesOnlyItsFileWhenTheRunNamesSeveral)
{
	auto one = run({"-F", "json", "print", "a.flac"});
	ASSERT_EQ(one.status, 0) << one.err;
	wt::write_file(dir / "a.jsonl", one.out);
	const std::string a = wt::read_file(dir / "a.flac");
	const std::string b = wt::read_file(dir / "b.flac");

	for (const char *from : {"file", "standard input"}) {
		SCOPED_TRACE(from);
		auto r = std::string(from) == "file" ? run({"-F", "json", "load:a.jsonl", "a.flac", "b.flac"})
						     : run({"-F", "json", "load:-", "a.flac", "b.flac"}, one.out);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: b.flac: no tag document names this file\n");
		// a.flac gets its own tags back: nothing to write.
		EXPECT_TRUE(wt::read_file(dir / "a.flac") == a) << "a.flac rewritten";
		EXPECT_TRUE(wt::read_file(dir / "b.flac") == b) << "b.flac changed";
	}

	// One file: the document is copied onto it, whatever file it names.
	for (const char *from : {"file", "standard input"}) {
		SCOPED_TRACE(from);
		wt::make_flac(dir / "b.flac", {"TITLE=B"});
		auto r = std::string(from) == "file" ? run({"-F", "json", "load:a.jsonl", "b.flac"})
						     : run({"-F", "json", "load:-", "b.flac"}, one.out);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(wt::metaflac_tags(dir / "b.flac"), a_tags);
	}
}

TEST_F(JsonLibrary, RestoreWithoutFileNames)
{
	auto backup = run({"-F", "json", "print", "c.ogg", "a.flac", "b.flac"});
	ASSERT_EQ(backup.status, 0) << backup.err;
	wt::write_file(dir / "backup.jsonl", backup.out);
	auto lose_tags = [&] {
		ASSERT_EQ(run({"clear:", "add:title=lost", "a.flac", "b.flac", "c.ogg"}).status, 0);
	};
	auto ogg_tags = [&] { return wt::run({"vorbiscomment", "-l", dir / "c.ogg"}).out; };

	// Every file the backup names, in its order, each with its own
	// document, and the other actions applied to each.
	lose_tags();
	auto r = run({"-F", "json", "load:backup.jsonl", "add:genre=Back", "backend"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "libvorbis c.ogg\nlibFLAC a.flac\nlibFLAC b.flac\n");
	lines a = a_tags, b = b_tags;
	a.push_back("genre=Back");
	b.push_back("genre=Back");
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), a);
	EXPECT_EQ(wt::metaflac_tags(dir / "b.flac"), b);
	EXPECT_EQ(ogg_tags(), "title=Caf\xc3\xa9\ntracknumber=01\ngenre=Back\n");

	// A file named twice, or that cannot be had, fails; the others go on.
	lose_tags();
	const std::string b_before = wt::read_file(dir / "b.flac");
	wt::write_file(dir / "partial.jsonl", backup.out +
	    "{\"file\":\"b.flac\",\"tags\":[]}\n"
	    "{\"file\":\"gone.flac\",\"tags\":[]}\n");
	r = run({"-F", "json", "load:partial.jsonl"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: b.flac: more than one tag document names this file (lines 3 and 4)\n"
			 "wembrix: gone.flac: No such file or directory\n");
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), a_tags);
	EXPECT_TRUE(wt::read_file(dir / "b.flac") == b_before) << "b.flac changed";
	EXPECT_EQ(ogg_tags(), "title=Caf\xc3\xa9\ntracknumber=01\n");

	// A backup with a document that names no file touches nothing.
	lose_tags();
	const std::string a_before = wt::read_file(dir / "a.flac"), c_before = wt::read_file(dir / "c.ogg");
	wt::write_file(dir / "mixed.jsonl", backup.out + "{\"tags\":[{\"title\":\"whose?\"}]}\n");
	r = run({"-F", "json", "load:mixed.jsonl"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: mixed.jsonl: line 4: a restore without file names needs every document "
			 "to name its file\n");
	EXPECT_TRUE(wt::read_file(dir / "a.flac") == a_before) << "a.flac changed";
	EXPECT_TRUE(wt::read_file(dir / "c.ogg") == c_before) << "c.ogg changed";
}
