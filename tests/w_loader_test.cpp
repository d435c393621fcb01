#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "w_format.h"
#include "w_json.h"
#include "w_loader.h"
#include "w_settings.h"
#include "w_tagsupport.h"
#include "w_tune.h"
#include "w_yaml.h"

namespace {

using wt::tags;


class Loader : public testing::Test {
protected:
	void SetUp() override
	{
		Fflag = w_yaml_format();
		wt::make_flac(flac, {"TITLE=Old", "ARTIST=Band"});
		tune.reset(w_tune_new(flac.c_str()));
		ASSERT_NE(tune, nullptr);
	}

	tags current()
	{
		w_taglist_ptr t(w_tune_tags(tune.get()));
		return wt::to_tags(t.get());
	}

	// Loads text from a document file; returns w_load's result and what it
	// printed.
	std::pair<int, std::string> load(const std::string &text)
	{
		wt::write_file(doc, text);
		testing::internal::CaptureStderr();
		int r = w_load(tune.get(), doc.c_str());
		return {r, testing::internal::GetCapturedStderr()};
	}

	wt::tmpdir dir;
	std::string flac = dir / "a.flac";
	std::string doc = dir / "tags.yml";
	w_tune_ptr tune;
};

TEST_F(Loader, DocumentReplacesTheTagsAndMarksTheTune)
{
	struct {
		const char *name;
		const char *text;
		tags expected;
	} cases[] = {
	    {"new tags", "- title: New\n- genre: Rock\n- genre: Pop\n",
		{{"title", "New"}, {"genre", "Rock"}, {"genre", "Pop"}}},
	    {"the same tags still count as a change", "- title: Old\n- artist: Band\n",
		{{"title", "Old"}, {"artist", "Band"}}},
	    {"an empty list removes every tag", "--- []\n", {}},
	    {"an empty file is an empty list", "", {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto dirty = tune->dirty;
		auto [r, err] = load(c.text);
		EXPECT_EQ(r, 0);
		EXPECT_EQ(err, "");
		EXPECT_EQ(current(), c.expected);
		EXPECT_EQ(tune->dirty, dirty + 1);
	}
}

TEST_F(Loader, FailedLoadLeavesTheTuneAsItWas)
{
	tags before = current();
	auto [r, err] = load("- title: New\n- artist: [x]\n");
	EXPECT_EQ(r, -1);
	EXPECT_EQ(err, "w_loader_test: YAML parser: expected YAML_SCALAR_EVENT (value), "
		       "got YAML_SEQUENCE_START_EVENT\n");
	EXPECT_EQ(current(), before);
	EXPECT_EQ(tune->dirty, 0u);

	testing::internal::CaptureStderr();
	EXPECT_EQ(w_load(tune.get(), (dir / "missing.yml").c_str()), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "w_loader_test: " + (dir / "missing.yml") + ": fopen: No such file or directory\n");
	EXPECT_EQ(current(), before);
	EXPECT_EQ(tune->dirty, 0u);
}

// End to end, through the program and real FLAC files.
class LoadAction : public testing::Test {
protected:
	void SetUp() override
	{
		wt::make_flac(a, {"TITLE=Old A", "ARTIST=Band"});
		wt::make_flac(b, {"TITLE=Old B"});
	}

	wt::tmpdir dir;
	std::string a = dir / "a.flac";
	std::string b = dir / "b.flac";
	const std::string doc = "# somewhere\n---\n- title: New\n- artist: Caf\xc3\xa9\n- artist: Two\n";
	const std::vector<std::string> loaded = {"title=New", "artist=Caf\xc3\xa9", "artist=Two"};
};

TEST_F(LoadAction, FromFileOrStandardInput)
{
	wt::write_file(dir / "tags.yml", doc);
	wt::write_file(dir / "-", doc);
	struct {
		const char *name;
		std::string arg;
		std::optional<std::string> input;
	} cases[] = {
	    {"document file", "load:" + (dir / "tags.yml"), std::nullopt},
	    {"'-' is standard input", "load:-", doc},
	    {"empty path is standard input", "load:", doc},
	    {"a file named '-' through its directory", "load:./-", std::nullopt},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		wt::make_flac(a, {"TITLE=Old A", "ARTIST=Band"});
		wt::run_options opt;
		opt.input = c.input;
		opt.cwd = dir.path();
		auto r = wt::wembrix({c.arg, a}, opt);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(wt::metaflac_tags(a), loaded);
	}
}

TEST_F(LoadAction, ReplacesWhatEarlierActionsDid)
{
	wt::write_file(dir / "tags.yml", doc);
	auto r = wt::wembrix({"add:genre=Rock", "set:title=Set", "load:" + (dir / "tags.yml"), a});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::metaflac_tags(a), loaded);
}

TEST_F(LoadAction, FailureKeepsTheFileByteForByte)
{
	const std::string original = wt::read_file(a);
	wt::write_file(dir / "bad.yml", "- title: New\ntitle: x\n");
	struct {
		const char *name;
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
	    {"document does not parse", {"add:genre=Rock", "load:" + (dir / "bad.yml"), "print", a},
		"wembrix: w_yaml2tags: Parser error: while parsing a block collection at line 1, "
		"column 1\ndid not find expected '-' indicator at line 2, column 1\n\n"},
	    {"document file missing", {"add:genre=Rock", "load:" + (dir / "none.yml"), "print", a},
		"wembrix: " + (dir / "none.yml") + ": fopen: No such file or directory\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto r = wt::wembrix(c.args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.out, ""); // the actions after the load did not run
		EXPECT_EQ(wt::read_file(a), original);
	}
}

TEST_F(LoadAction, StandardInputServesEveryFileOfTheRun)
{
	wt::run_options opt;
	opt.input = doc;
	auto r = wt::wembrix({"load:-", a, b}, opt);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::metaflac_tags(a), loaded);
	EXPECT_EQ(wt::metaflac_tags(b), loaded);

	// A bad document fails every file alike, each with its message.
	wt::make_flac(a, {"TITLE=Old A"});
	wt::make_flac(b, {"TITLE=Old B"});
	const std::string before_a = wt::read_file(a), before_b = wt::read_file(b);
	opt.input = "- title: [x]\n";
	r = wt::wembrix({"load:", a, b}, opt);
	EXPECT_EQ(r.status, 1);
	const std::string msg = "wembrix: YAML parser: expected YAML_SCALAR_EVENT (value), "
				"got YAML_SEQUENCE_START_EVENT\n";
	EXPECT_EQ(r.err, msg + msg);
	EXPECT_EQ(wt::read_file(a), before_a);
	EXPECT_EQ(wt::read_file(b), before_b);
}

TEST_F(LoadAction, StandardInputIsReadAtTheFirstFileThatGetsThatFar)
{
	// The first argument is not a music file, so the document reaches the
	// second and third.
	wt::write_file(dir / "not.flac", "not music");
	wt::run_options opt;
	opt.input = doc;
	auto r = wt::wembrix({"load:-", dir / "not.flac", a, b}, opt);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: " + (dir / "not.flac") + ": unsupported file format\n");
	EXPECT_EQ(wt::metaflac_tags(a), loaded);
	EXPECT_EQ(wt::metaflac_tags(b), loaded);
}


// A document file holding many files' documents is read once for a run and
// kept; a file changed or replaced in between must be read anew.
TEST_F(Loader, ManyDocumentsFileReadAgainWhenItChanges)
{
	Fflag = w_json_format();
	auto line = [&](const std::string &title) {
		return "{\"file\":\"" + flac + "\",\"tags\":[{\"title\":\"" + title + "\"}]}\n" +
		    "{\"file\":\"other.flac\",\"tags\":[]}\n";
	};
	struct {
		const char *name;
		std::function<void()> change;
		const char *title;
	} steps[] = {
	    {"first read", [&] { wt::write_file(doc, line("One")); }, "One"},
	    {"same file again", [] {}, "One"},
	    {"rewritten in place, another size", [&] { wt::write_file(doc, line("Three")); }, "Three"},
	    {"replaced by a file of the same size", [&] {
		 wt::write_file(dir / "new.json", line("Four!"));
		 ASSERT_EQ(std::rename((dir / "new.json").c_str(), doc.c_str()), 0);
	     }, "Four!"},
	};
	for (const auto &s : steps) {
		SCOPED_TRACE(s.name);
		s.change();
		testing::internal::CaptureStderr();
		EXPECT_EQ(w_load(tune.get(), doc.c_str()), 0);
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
		EXPECT_EQ(current(), (tags{{"title", s.title}}));
	}
	Fflag = w_yaml_format();
}

// The JSON format, counting the inputs it reads.
int json_reads = 0;
int
counted_json2docs(FILE *fp, w_fmtdocs *docs, char **errmsg)
{
	json_reads++;
	return w_json_format()->fmt2docs(fp, docs, errmsg);
}

// An edit's document, loaded between two files of a run, leaves the run's
// input read: the files after it do not read the whole library again.
TEST_F(Loader, EditedDocumentLeavesTheRunsInputRead)
{
	w_format counted = *w_json_format();
	counted.fmt2docs = counted_json2docs;
	Fflag = &counted;
	const std::string edited = dir / "edited.json";
	wt::write_file(doc, "{\"file\":\"" + flac + "\",\"tags\":[{\"title\":\"Backup\"}]}\n"
	    "{\"file\":\"other.flac\",\"tags\":[]}\n");
	wt::write_file(edited, "{\"file\":\"elsewhere.flac\",\"tags\":[{\"title\":\"Edited\"}]}\n");
	const struct {
		const char *name;
		int (*load)(struct w_tune *, const char *);
		const std::string &path;
		const char *title;
		int reads;
	} steps[] = {
	    {"the run's input", w_load, doc, "Backup", 1},
	    {"the edited document", w_load_own, edited, "Edited", 2},
	    {"the run's input again", w_load, doc, "Backup", 2},
	    {"another edit", w_load_own, edited, "Edited", 3},
	    {"and the run's input once more", w_load, doc, "Backup", 3},
	};
	json_reads = 0;
	for (const auto &s : steps) {
		SCOPED_TRACE(s.name);
		testing::internal::CaptureStderr();
		EXPECT_EQ(s.load(tune.get(), s.path.c_str()), 0);
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
		EXPECT_EQ(current(), (tags{{"title", s.title}}));
		EXPECT_EQ(json_reads, s.reads);
	}
	Fflag = w_yaml_format();
}

} // namespace
