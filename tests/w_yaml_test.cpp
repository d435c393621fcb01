#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "w_tagsupport.h"
#include "w_yaml.h"

namespace {

using wt::tags;

std::optional<std::string>
write(const tags &t, const char *path)
{
	return wt::format_write(w_tags2yaml, t, path);
}

std::variant<tags, std::string>
read(const std::string &text)
{
	return wt::format_read(w_yaml2tags, text);
}

struct written {
	const char *name;
	tags t;
	const char *path;
	const char *text;
};

TEST(YamlWriter, ExactDocuments)
{
	const written cases[] = {
	    {"two tags headed by the path", {{"title", "Intro"}, {"artist", "Some Band"}},
		"/music/a.flac", "# /music/a.flac\n---\n- title: Intro\n- artist: Some Band\n"},
	    {"no tags: empty flow sequence", {}, "/music/a.flac", "# /music/a.flac\n--- []\n"},
	    {"no path: no comment line", {{"title", "x"}}, nullptr, "---\n- title: x\n"},
	    {"path written byte for byte", {}, "/m/it's: #1.flac", "# /m/it's: #1.flac\n--- []\n"},
	    {"duplicates kept in order", {{"a", "x1"}, {"b", "x2"}, {"a", "x3"}}, nullptr,
		"---\n- a: x1\n- b: x2\n- a: x3\n"},
	    {"line feed: literal style", {{"comment", "line one\nline two"}}, nullptr,
		"---\n- comment: |-\n    line one\n    line two\n"},
	    {"leading blank quoted", {{"y", " lead"}}, nullptr, "---\n- y: ' lead'\n"},
	    {"': ' quoted", {{"y", "a: b"}}, nullptr, "---\n- y: 'a: b'\n"},
	    {"leading '#' quoted", {{"y", "#x"}}, nullptr, "---\n- y: '#x'\n"},
	    {"empty key quoted", {{"", "v"}}, nullptr, "---\n- '': v\n"},
	    {"yes, 2004, null quoted", {{"a", "yes"}, {"b", "2004"}, {"c", "null"}}, nullptr,
		"---\n- a: 'yes'\n- b: '2004'\n- c: 'null'\n"},
	    {"a key another reader takes as a number", {{"1", "x"}}, nullptr, "---\n- '1': x\n"},
	    {"a typed value needing the emitter", {{"len", "3:45"}}, nullptr, "---\n- len: '3:45'\n"},
	    {"an empty value", {{"title", ""}}, nullptr, "---\n- title: ''\n"},
	    {"non-ASCII as UTF-8, not escaped", {{"title", "Café Ölmühle"}}, nullptr,
		"---\n- title: Café Ölmühle\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(write(c.t, c.path), std::string(c.text));
	}
}

// A path may hold any byte but NUL.  Its comment line shows it escaped
// where it would break the line or the document, so that what the writer
// gives is always a document our reader and an independent one read back.
TEST(YamlWriter, PathCommentAlwaysLeavesAReadableDocument)
{
	struct {
		const char *name;
		std::string path;
		std::string comment;
	} cases[] = {
	    {"line feed", "/m/a\nb.flac", "# /m/a\\nb.flac"},
	    {"carriage return and tab", "/m/a\rb\tc.flac", "# /m/a\\rb\\tc.flac"},
	    {"escape sequence and DEL", "/m/\x1b[2Jx\x7f.flac", "# /m/\\x1b[2Jx\\x7f.flac"},
	    {"Latin-1 byte", "/m/caf\xe9.flac", "# /m/caf\\xe9.flac"},
	    {"truncated sequence at the end", "/m/a\xe2\x82", "# /m/a\\xe2\\x82"},
	    {"overlong slash", "/m/a\xc0\xaf" "b", "# /m/a\\xc0\\xafb"},
	    {"next line (C1)", "/m/a\xc2\x85" "b", "# /m/a\\xc2\\x85b"},
	    {"other C1 control", "/m/a\xc2\x9b" "b", "# /m/a\\xc2\\x9bb"},
	    {"line separator", "/m/a\xe2\x80\xa8" "b", "# /m/a\\xe2\\x80\\xa8b"},
	    {"paragraph separator", "/m/a\xe2\x80\xa9" "b", "# /m/a\\xe2\\x80\\xa9b"},
	    {"noncharacter", "/m/a\xef\xbf\xbe" "b", "# /m/a\\xef\\xbf\\xbeb"},
	    {"backslash", "/m/a\\nb.flac", "# /m/a\\\\nb.flac"},
	    {"text stays as it is", "/m/Caf\xc3\xa9 \xe2\x82\xac \xef\xbb\xbf: #1.flac",
		"# /m/Caf\xc3\xa9 \xe2\x82\xac \xef\xbb\xbf: #1.flac"},
	};
	const tags t = {{"title", "Intro"}, {"comment", "two\nlines"}};
	wt::tmpdir docs;
	std::vector<std::string> pyyaml = {"python3", "-c",
	    "import sys, yaml\n"
	    "for name in sys.argv[1:]:\n"
	    "    with open(name, 'rb') as f: print(yaml.safe_load(f))\n"};
	std::string expected;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto doc = write(t, c.path.c_str());
		ASSERT_TRUE(doc.has_value());
		EXPECT_EQ(doc->substr(0, doc->find('\n')), c.comment);
		EXPECT_EQ(read(*doc), (std::variant<tags, std::string>(t))) << *doc;
		pyyaml.push_back(docs / std::to_string(pyyaml.size()));
		wt::write_file(pyyaml.back(), *doc);
		expected += "[{'title': 'Intro'}, {'comment': 'two\\nlines'}]\n";
	}
	// PyYAML, an independent reader, reads every document the same.
	auto py = wt::run(pyyaml);
	EXPECT_EQ(py.status, 0) << py.err;
	EXPECT_EQ(py.out, expected);
}

// Text that a YAML reader resolving plain scalars by their look would
// take for a null, a boolean, a number or a date is quoted, so that PyYAML
// reads the same strings as our reader; text that reads as text anyway
// stays plain.
TEST(YamlWriter, QuotesWhatAnotherReaderWouldTakeForAnotherType)
{
	const struct {
		const char *value;
		bool quoted;
	} cases[] = {
	    {"", true}, {"~", true}, {"null", true}, {"Null", true}, {"NULL", true},
	    {"yes", true}, {"No", true}, {"TRUE", true}, {"false", true}, {"on", true}, {"OFF", true},
	    {"0", true}, {"3", true}, {"03", true}, {"007", true}, {"09", true}, {"-12", true},
	    {"+1", true}, {"1_000", true}, {"0x1F", true}, {"0b101", true}, {"0o17", true},
	    {"1.5", true}, {"1.", true}, {".5", true}, {"1e3", true}, {"1.0e+3", true},
	    {".inf", true}, {"-.Inf", true}, {".NaN", true},
	    {"1:30", true}, {"190:20:30.15", true},
	    {"2004", true}, {"2004-05-12", true}, {"2001-12-14t21:59:43.10-05:00", true},
	    {"2001-12-14 21:59:43.10 -5", true}, {"<<", true}, {"=", true},
	    // Text, plain as before.
	    {"Intro", false}, {"Some Band", false}, {"y", false}, {"N", false}, {"yess", false}, {"nulls", false},
	    {"3/12", false}, {"1e", false}, {"2004-5-12", false}, {"2019-03-01T12:30", false},
	    {"0x", false}, {"1.2.3", false}, {"Track 1", false}, {"On the Run", false},
	    {"inf", false}, {"nan", false}, {"+", false}, {".", false},
	};
	wt::tmpdir docs;
	std::vector<std::string> pyyaml = {"python3", "-c",
	    "import sys, yaml\n"
	    "for name in sys.argv[1:]:\n"
	    "    with open(name, 'rb') as f:\n"
	    "        for item in yaml.safe_load(f):\n"
	    "            for k, v in item.items(): print(type(k).__name__, type(v).__name__, repr(v))\n"};
	std::string expected;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.value);
		// As the key too (keys are kept in lower case): a key is text
		// to every reader.
		const std::string v = c.value;
		std::string k = v.empty() ? "k" : v;
		for (char &ch : k)
			ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
		const tags t = {{"k", v}, {k, "v"}};
		auto doc = write(t, nullptr);
		ASSERT_TRUE(doc.has_value());
		const std::string shown = c.quoted ? "'" + v + "'" : v;
		const std::string key = v.empty() ? "k" : c.quoted ? "'" + k + "'" : k;
		EXPECT_EQ(*doc, "---\n- k: " + shown + "\n- " + key + ": v\n");
		EXPECT_EQ(read(*doc), (std::variant<tags, std::string>(t)));
		pyyaml.push_back(docs / std::to_string(pyyaml.size()));
		wt::write_file(pyyaml.back(), *doc);
		std::string py = "'" + v + "'";
		expected += "str str " + py + "\nstr str 'v'\n";
	}
	auto py = wt::run(pyyaml);
	EXPECT_EQ(py.status, 0) << py.err;
	EXPECT_EQ(py.out, expected);
}

TEST(YamlWriter, RefusesTextThatIsNotUtf8)
{
	struct {
		const char *name;
		tags t;
		const char *path;
		const char *what; // the file, or how a pathless document is named
	} cases[] = {
	    {"Latin-1 value", {{"title", "ok"}, {"artist", "Mot\xf6rhead"}}, "/m/a.flac", "/m/a.flac"},
	    {"Latin-1 key", {{"tit\xe9", "x"}}, "/m/b.flac", "/m/b.flac"},
	    {"truncated sequence, no path", {{"title", "caf\xc3"}}, nullptr, "tags"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		testing::internal::CaptureStderr();
		EXPECT_EQ(write(c.t, c.path), std::nullopt);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_NE(err.find(std::string(c.what) + ": "), std::string::npos) << err;
		EXPECT_NE(err.find("not valid UTF-8"), std::string::npos) << err;
	}
}

struct readcase {
	const char *name;
	std::string text;
	std::variant<tags, std::string> result;
};

TEST(YamlReader, DocumentsAndTheirResults)
{
	using msg = std::string;
	const readcase cases[] = {
	    {"empty input", "", tags{}},
	    {"comments only", "# /music/a.flac\n# nothing else\n", tags{}},
	    {"empty flow sequence", "# /m/a.flac\n--- []\n", tags{}},
	    {"no '---' marker", "- title: x\n", tags{{"title", "x"}}},
	    {"flow style", "[{title: x}, {artist: y}]", tags{{"title", "x"}, {"artist", "y"}}},
	    {"explicit document end", "---\n- a: b\n...\n", tags{{"a", "b"}}},
	    {"empty value", "- title:\n", tags{{"title", ""}}},
	    {"key lower-cased", "- TITLE: X\n", tags{{"title", "X"}}},
	    {"duplicates in document order", "- a: 1\n- b: 2\n- A: 3\n",
		tags{{"a", "1"}, {"b", "2"}, {"a", "3"}}},
	    {"quoted, literal and folded scalars",
		"- a: 'it''s'\n- b: \"tab\\there\"\n- c: |\n    lit\n    eral\n- d: >-\n    fold\n    ed\n",
		tags{{"a", "it's"}, {"b", "tab\there"}, {"c", "lit\neral\n"}, {"d", "fold ed"}}},
	    {"scalars are text", "- y: 2004\n- b: yes\n- n: ~\n- i: !!int 5\n",
		tags{{"y", "2004"}, {"b", "yes"}, {"n", "~"}, {"i", "5"}}},
	    {"escaped NUL ends the value", "- a: \"x\\0y\"\n", tags{{"a", "x"}}},
	    {"UTF-16 with a byte-order mark", std::string("\xff\xfe-\0 \0a\0:\0 \0\xe9\0\n\0", 16),
		tags{{"a", "\xc3\xa9"}}},
	    {"the empty document", "---\n",
		msg("YAML parser: expected YAML_SEQUENCE_START_EVENT or YAML_DOCUMENT_END_EVENT, "
		    "got YAML_SCALAR_EVENT")},
	    {"top-level mapping", "title: x\n",
		msg("YAML parser: expected YAML_SEQUENCE_START_EVENT or YAML_DOCUMENT_END_EVENT, "
		    "got YAML_MAPPING_START_EVENT")},
	    {"scalar item", "- x\n",
		msg("YAML parser: expected YAML_MAPPING_START_EVENT or YAML_SEQUENCE_END_EVENT, "
		    "got YAML_SCALAR_EVENT")},
	    {"two pairs in an item", "- {a: 1, b: 2}\n",
		msg("YAML parser: expected YAML_MAPPING_END_EVENT, got YAML_SCALAR_EVENT")},
	    {"sequence as key", "- ? [k]\n  : v\n",
		msg("YAML parser: expected YAML_SCALAR_EVENT (key), got YAML_SEQUENCE_START_EVENT")},
	    {"sequence as value", "- a: [1]\n",
		msg("YAML parser: expected YAML_SCALAR_EVENT (value), got YAML_SEQUENCE_START_EVENT")},
	    {"alias as value", "- a: &v x\n- b: *v\n",
		msg("YAML parser: expected YAML_SCALAR_EVENT (value), got YAML_ALIAS_EVENT")},
	    {"second document", "- a: x\n---\n- b: y\n",
		msg("YAML parser: expected YAML_STREAM_END_EVENT, got YAML_DOCUMENT_START_EVENT")},
	    {"byte that is not UTF-8", "- title: \xff\n",
		msg("w_yaml2tags: Reader error: invalid leading UTF-8 octet: #FF at 9\n")},
	    {"input ends inside a character", "- a: \xc3",
		msg("w_yaml2tags: Reader error: incomplete UTF-8 octet sequence at 5\n")},
	    {"parser error with context", "- {a: 1\n",
		msg("w_yaml2tags: Parser error: while parsing a flow mapping at line 1, column 3\n"
		    "did not find expected ',' or '}' at line 2, column 1\n")},
	    {"scanner error without context", "- a: x\n- a: b: c\n",
		msg("w_yaml2tags: Scanner error: mapping values are not allowed in this context "
		    "at line 2, column 7\n")},
	    {"scanner error with context", "\t- a: x\n",
		msg("w_yaml2tags: Scanner error: while scanning for the next token at line 1, column 1\n"
		    "found character that cannot start any token at line 1, column 1\n")},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(read(c.text), c.result);
	}
}

TEST(YamlReader, ReadsFromWhereTheStreamStandsAndLeavesItOpen)
{
	auto fp = wt::stream_of("garbage: [\n- a: b\n");
	ASSERT_EQ(std::fseek(fp.get(), 11, SEEK_SET), 0);
	w_taglist_ptr tlist(w_yaml2tags(fp.get(), nullptr));
	ASSERT_NE(tlist, nullptr);
	EXPECT_EQ(wt::to_tags(tlist.get()), (tags{{"a", "b"}}));
	// Still open and usable: the caller closes it.
	EXPECT_EQ(std::fseek(fp.get(), 0, SEEK_SET), 0);
	EXPECT_EQ(std::fgetc(fp.get()), 'g');
}

TEST(YamlReader, RejectedDocumentWithoutMessageSlot)
{
	// Tags read before the error and the message are released (the
	// sanitizer build checks); nothing is handed out.
	auto fp = wt::stream_of("- a: 1\n- b: 2\n- c: [3]\n");
	EXPECT_EQ(w_yaml2tags(fp.get(), nullptr), nullptr);
}

// Text built from the pieces that trouble a YAML writer or reader.
class tag_generator {
public:
	explicit tag_generator(std::uint32_t seed) : rng_(seed) {}

	tags list()
	{
		tags t;
		std::size_t n = pick(9);
		for (std::size_t i = 0; i < n; i++) {
			if (!t.empty() && pick(5) == 0)
				t.emplace_back(t[pick(t.size())].first, text(false)); // duplicate key
			else
				t.emplace_back(key(), text(true));
		}
		return t;
	}

private:
	std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

	// Keys as the tag list stores them: lower case.
	std::string key()
	{
		static const char *const keys[] = {"title", "artist", "", "a b", "x: y", "#c", "yes",
		    "2004", "~", "-", "? q", "'s", "\"d", "back\\slash", "caf\xc3\xa9",
		    "\xe6\x97\xa5\xe6\x9c\xac", " lead", "trail ", "line\nfeed", "[x]", "{y}", "a,b",
		    "&anchor", "*alias", "!tag", "%pct", "@at", "`tick", "|", ">", "null"};
		return keys[pick(std::size(keys))];
	}

	std::string text(bool allow_long)
	{
		static const char *const pieces[] = {"", " ", "  ", "\n", "\n\n", "a", "word", ": ",
		    ":", "#", " #", "'", "\"", "\\", "\\n", "yes", "no", "~", "null", "2004", "0x1F",
		    "1e3", "-", "- ", "---", "...", "? ", "[", "]", "{", "}", ",", "&a", "*a", "!!str",
		    "%", "@", "`", "|", ">", "\t", "\r", "\r\n", "caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac",
		    "\xf0\x9f\x8e\xb5", "\xc2\x85", "\xe2\x80\xa8", "\xef\xbb\xbf", "\x01", "\x7f"};
		std::string s;
		std::size_t n = pick(7);
		for (std::size_t i = 0; i < n; i++)
			s += pieces[pick(std::size(pieces))];
		if (allow_long && pick(20) == 0) {
			// Long enough to be folded over several lines.
			std::size_t words = 20 + pick(200);
			for (std::size_t i = 0; i < words; i++)
				s += std::string(1 + pick(12), static_cast<char>('a' + pick(26))) +
				    (pick(8) == 0 ? "  " : " ");
		}
		return s;
	}

	std::mt19937 rng_;
};

using wt::show;

TEST(YamlRoundTrip, WrittenDocumentsReadBackEqual)
{
	tag_generator gen(20041);
	for (int i = 0; i < 3000; i++) {
		tags t = gen.list();
		auto doc = write(t, i % 2 == 0 ? "/music/some dir/track: #1.flac" : nullptr);
		ASSERT_TRUE(doc.has_value()) << show(t);
		ASSERT_EQ(read(*doc), (std::variant<tags, std::string>(t)))
		    << "list #" << i << ":\n" << show(t) << "document:\n" << *doc;
	}
}

} // namespace
