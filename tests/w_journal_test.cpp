#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_oggsupport.h"
#include "w_tagtools.h"
#include "w_testsupport.h"

namespace {

using lines = std::vector<std::string>;

// A small library of three formats; shown() is what wembrix prints of a
// file in the complete model (--all-tags), the tags an undo must give back.
class Journal : public testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(mkdir((dir / "in").c_str(), 0755), 0);
		wt::make_flac(dir / "in/a.flac", {"TITLE=Intro", "ARTIST=Band", "TRACKNUMBER=3/12"});
		wt::make_vorbis(dir / "in/b.ogg", {"TITLE=Song", "ARTIST=Band", "TRACKNUMBER=4"});
		wt::make_mp3(dir / "in/c.mp3", {"--tt", "Tune", "--ta", "Band", "--tn", "5", "--id3v2-only"});
		for (const char *f : files)
			before.push_back(shown(dir / f));
	}
	wt::run_result run(const std::vector<std::string> &args, const std::string &editor = "")
	{
		wt::run_options opt;
		opt.cwd = dir.path();
		if (!editor.empty())
			opt.env["EDITOR"] = editor;
		return wt::wembrix(args, opt);
	}
	std::string shown(const std::string &path)
	{
		wt::run_result r = wt::wembrix({"--all-tags", "-F", "json", path});
		EXPECT_EQ(r.status, 0) << r.err;
		return r.out.substr(r.out.find(",\"tags\""));
	}
	void expect_restored()
	{
		for (std::size_t i = 0; i < files.size(); i++) {
			SCOPED_TRACE(files[i]);
			ASSERT_TRUE(wt::exists(dir / files[i]));
			EXPECT_EQ(shown(dir / files[i]), before[i]);
		}
	}
	wt::tmpdir dir;
	const std::vector<const char *> files = {"in/a.flac", "in/b.ogg", "in/c.mp3"};
	std::vector<std::string> before;
};

} // namespace

// Whatever the run did, tags and paths, one command gives it back.
TEST_F(Journal, UndoGivesBackTagsAndPaths)
{
	const std::string lib = dir / "lib";
	const struct {
		const char *name;
		std::vector<std::string> actions;
		std::vector<std::string> moved; // where the run puts the files
	} cases[] = {
	    {"set and add", {"set:artist=Other", "add:genre=Rock"}, {}},
	    {"clear all", {"clear:"}, {}},
	    // Named twice, the file is written twice; the undo takes back both.
	    {"a file written twice", {"add:genre=Rock", "in/a.flac"}, {}},
	    {"rename in place", {"-Y", "rename:%title"}, {"in/Intro.flac", "in/Song.ogg", "in/Tune.mp3"}},
	    {"a change, then a rename into new directories", {"--all-tags", "-p", "-Y", "set:album=Al",
		"rename:" + lib + "/%artist/%album/%02tracknumber %title"},
		{"lib/Band/Al/03 Intro.flac", "lib/Band/Al/04 Song.ogg", "lib/Band/Al/05 Tune.mp3"}},
	};
	int n = 0;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string journal = dir / ("j" + std::to_string(n++));
		std::vector<std::string> args = {"--journal", journal};
		args.insert(args.end(), c.actions.begin(), c.actions.end());
		// A file among the actions is named again after the others.
		const bool twice = c.actions.back() == files[0];
		if (twice)
			args.pop_back();
		args.insert(args.end(), files.begin(), files.end());
		if (twice)
			args.push_back(files[0]);
		wt::run_result r = run(args);
		ASSERT_EQ(r.status, 0) << r.err;
		for (const std::string &m : c.moved)
			EXPECT_TRUE(wt::exists(dir / m)) << m;
		if (c.moved.empty()) {
			EXPECT_NE(shown(dir / files[0]), before[0]);
		}

		r = run({"--undo", journal});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		expect_restored();
		for (const std::string &m : c.moved)
			EXPECT_FALSE(wt::exists(dir / m)) << m;
	}
}

// The directories the run made for its renames go with the undo, the
// deepest first, each while it is empty and still the one made; a
// directory the user had, or one given something else to hold, stays.
TEST_F(Journal, UndoRemovesTheEmptyDirectoriesTheRunMade)
{
	const std::string lib = dir / "lib";
	ASSERT_EQ(mkdir(lib.c_str(), 0755), 0); // the user's
	const struct {
		const char *name;
		const char *later; // a file the user puts in, after the run
		const char *left;  // the directories that stay
	} cases[] = {
	    {"left empty", nullptr, "lib\n"},
	    {"one given a file meanwhile", "lib/Band/notes.txt", "lib\nlib/Band\nlib/Band/notes.txt\n"},
	    {"one made anew by the user", "lib/Band", "lib\nlib/Band\n"},
	};
	int n = 0;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string journal = dir / ("j" + std::to_string(n++));
		std::vector<std::string> args = {"--journal", journal, "--all-tags", "-p", "-Y", "set:album=Al",
		    "rename:" + lib + "/%artist/%album/%02tracknumber %title"};
		args.insert(args.end(), files.begin(), files.end());
		wt::run_result r = run(args);
		ASSERT_EQ(r.status, 0) << r.err;
		ASSERT_TRUE(wt::exists(dir / "lib/Band/Al/03 Intro.flac"));
		if (c.later != nullptr && std::string(c.later) == "lib/Band") {
			// The directory that holds the files' own put in a new one
			// of the old name; the files themselves are not touched.
			ASSERT_EQ(rename((dir / c.later).c_str(), (dir / "moved").c_str()), 0);
			ASSERT_EQ(mkdir((dir / c.later).c_str(), 0755), 0);
			ASSERT_EQ(rename((dir / "moved/Al").c_str(), (dir / "lib/Band/Al").c_str()), 0);
			ASSERT_EQ(rmdir((dir / "moved").c_str()), 0);
		} else if (c.later != nullptr) {
			wt::write_file(dir / c.later, "mine\n");
		}

		r = run({"--undo", journal});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		expect_restored();
		EXPECT_EQ(wt::run({"find", "lib"}, {.input = std::nullopt, .env = {}, .cwd = dir.path()}).out, c.left);
		ASSERT_EQ(wt::run({"sh", "-c", "rm -rf lib/* && ls -A lib"}, {.input = std::nullopt, .env = {},
			.cwd = dir.path()}).out, "");
	}
}

// A file changed after the run is refused with the reason and left as it
// is; the others are given back.
TEST_F(Journal, UndoRefusesAFileChangedSince)
{
	ASSERT_EQ(run({"--journal", "j", "set:artist=Run"}).status, 22); // no file named
	ASSERT_FALSE(wt::exists(dir / "j"));
	wt::run_result r = run({"--journal", "j", "set:artist=Run", "in/a.flac", "in/b.ogg"});
	ASSERT_EQ(r.status, 0) << r.err;
	ASSERT_EQ(run({"set:artist=Later", "in/b.ogg"}).status, 0);
	const std::string later = wt::read_file(dir / "in/b.ogg");

	r = run({"--undo", "j"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: in/b.ogg: changed since the run wrote it; left as it is\n");
	EXPECT_EQ(shown(dir / "in/a.flac"), before[0]);
	EXPECT_TRUE(wt::read_file(dir / "in/b.ogg") == later);
}

// A journal is never overwritten, and the command lines that make no sense
// are refused before anything is touched.
TEST_F(Journal, CommandLines)
{
	wt::write_file(dir / "old.journal", "keep me\n");
	const std::string a = wt::read_file(dir / "in/a.flac");
	const std::string try_line = "Try `wembrix -h' for help.\n";
	const struct {
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
	    {{"--journal", "old.journal", "set:title=X", "in/a.flac"},
		"wembrix: old.journal: File exists\n"},
	    {{"-n", "--journal", "new.journal", "set:title=X", "in/a.flac"},
		"wembrix: a preview (-n) writes nothing to undo: no --journal with it.\n" + try_line},
	    {{"--undo", "old.journal", "in/a.flac"},
		"wembrix: --undo takes no other action, journal or file.\n" + try_line},
	    {{"--undo", "old.journal"}, "wembrix: old.journal: line 1: not a line of a journal\n"},
	    {{"--undo", "none.journal"}, "wembrix: none.journal: No such file or directory\n"},
	    {{"--journal"}, "wembrix: option '--journal' requires an argument\n" + try_line},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.args[0] + " " + c.args.back());
		wt::run_result r = run(c.args);
		EXPECT_NE(r.status, 0);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(wt::read_file(dir / "old.journal"), "keep me\n");
		EXPECT_FALSE(wt::exists(dir / "new.journal"));
		EXPECT_TRUE(wt::read_file(dir / "in/a.flac") == a);
	}
}

// A run killed in the middle leaves an entry for every file it wrote or
// moved, the file it was on included, and the undo gives them all back.
// The editor kills the run: at the edit of the first file (after its
// change and rename), of the second, and of the third.
TEST_F(Journal, AKilledRunLeavesAnEntryForEveryFileItTouched)
{
	wt::write_file(dir / "kill.sh", "#!/bin/sh\n"
	    "n=$(cat \"$KILL_AT.count\" 2>/dev/null || echo 0); n=$((n + 1)); echo $n > \"$KILL_AT.count\"\n"
	    "[ \"$n\" -ge \"$(cat \"$KILL_AT\")\" ] && kill -9 $PPID\n"
	    "exit 0\n");
	ASSERT_EQ(chmod((dir / "kill.sh").c_str(), 0755), 0);
	for (int at = 1; at <= 3; at++) {
		SCOPED_TRACE(at);
		wt::write_file(dir / "at", std::to_string(at));
		unlink((dir / "at.count").c_str());
		const std::string journal = dir / ("k" + std::to_string(at));
		std::vector<std::string> args = {"--journal", journal, "-Y", "set:artist=Killed",
		    "rename:moved %title", "edit"};
		args.insert(args.end(), files.begin(), files.end());
		wt::run_options opt;
		opt.cwd = dir.path();
		opt.env["EDITOR"] = dir / "kill.sh";
		opt.env["KILL_AT"] = dir / "at";
		wt::run_result r = wt::wembrix(args, opt);
		EXPECT_EQ(r.status, 128 + 9);
		// The files the run got to are moved; each has its entry.
		const std::string text = wt::read_file(journal);
		for (int i = 0; i < 3; i++)
			EXPECT_EQ(text.find("\"file\":\"" + std::string(files[i]) + "\"") != std::string::npos,
			    i < at) << text;

		r = run({"--undo", journal});
		EXPECT_EQ(r.status, 0) << r.err;
		expect_restored();
	}
}
