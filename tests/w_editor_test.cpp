#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <unistd.h>

#include "w_editor.h"
#include "w_settings.h"
#include "w_tagsupport.h"
#include "w_tagtools.h"
#include "w_tune.h"
#include "w_yaml.h"

namespace {

using wt::tags;

/*
 * Every editor script first leaves a record in the test's directory: the
 * name it was given, the file's mode, the text it found, and the file's
 * modification time next to the current time.  It only reads the file.
 */
std::string
record(const std::string &log)
{
	return "log='" + log + "'\n"
	       "printf '%s' \"$1\" > \"$log/name\"\n"
	       "stat -c %a \"$1\" > \"$log/mode\"\n"
	       "cat \"$1\" > \"$log/seen\"\n"
	       "echo \"$(stat -c %Y \"$1\") $(date +%s)\" > \"$log/times\"\n";
}

/*
 * An editor script that lists its shell's open descriptors, one "number
 * target" line each, into the file fds.  The shell keeps its own at 10 and
 * above (the script it reads, a saved standard output).
 */
std::string
list_descriptors(const std::string &log)
{
	return "find /proc/$$/fd -mindepth 1 -printf '%f %l\\n' > '" + log + "/fds'\n";
}

// The descriptors of such a list that the editor was handed: those from 3
// to 9, and any, whatever its number, that is open on one of the files.
std::vector<std::string>
inherited(const std::string &listing, const std::vector<std::string> &files)
{
	std::vector<std::string> found;
	std::istringstream in(listing);
	int fd;
	std::string target;
	while (in >> fd && std::getline(in >> std::ws, target)) {
		if ((fd > 2 && fd < 10) || std::find(files.begin(), files.end(), target) != files.end())
			found.push_back(std::to_string(fd) + " " + target);
	}
	return found;
}

class EditAction : public testing::Test {
protected:
	void SetUp() override { wt::make_flac(flac, {"TITLE=Old", "ARTIST=Band"}); }

	// Runs `wembrix edit` on the file with the given EDITOR and TMPDIR.
	wt::run_result edit(std::optional<std::string> editor, std::optional<std::string> tmp,
	    std::vector<std::string> before = {}, std::vector<std::string> after = {})
	{
		wt::run_options opt;
		opt.env["EDITOR"] = editor;
		opt.env["TMPDIR"] = tmp;
		std::vector<std::string> args = before;
		args.push_back("edit");
		args.insert(args.end(), after.begin(), after.end());
		args.push_back(flac);
		return wt::wembrix(args, opt);
	}

	// Writes an editor script that records, then runs body.
	std::string editor(const std::string &body)
	{
		wt::write_script(script, record(dir.path()) + body);
		return script;
	}

	bool editor_ran() { return wt::exists(dir / "name"); }
	std::string given_name() { return wt::read_file(dir / "name"); }

	wt::tmpdir dir;
	wt::tmpdir tmp; // TMPDIR of the run
	std::string flac = dir / "a.flac";
	std::string script = dir / "editor.sh";
	const std::vector<std::string> original_tags = {"TITLE=Old", "ARTIST=Band"};
};

TEST_F(EditAction, SavedEditIsLoaded)
{
	auto r = edit(editor("printf -- '- title: Edited\\n- genre: Jazz\\n- genre: Bop\\n' > \"$1\"\n"),
	    tmp.path());
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(wt::metaflac_tags(flac),
	    (std::vector<std::string>{"title=Edited", "genre=Jazz", "genre=Bop"}));

	// The editor got the document, in a file of its own kind and mode ...
	EXPECT_EQ(wt::read_file(dir / "seen"), "# " + flac + "\n---\n- title: Old\n- artist: Band\n");
	EXPECT_EQ(wt::read_file(dir / "mode"), "600\n");
	std::string name = given_name();
	EXPECT_EQ(name.rfind(tmp.path() + "/wembrix-", 0), 0u) << name;
	EXPECT_EQ(name.size(), (tmp.path() + "/wembrix-XXXXXX.yml").size()) << name;
	EXPECT_TRUE(name.ends_with(".yml")) << name;
	// ... which already looked older than anything the editor writes, so
	// that even an editor saving at once is seen to have saved.
	long mtime = 0, now = 0;
	std::istringstream(wt::read_file(dir / "times")) >> mtime >> now;
	EXPECT_LT(mtime, now);
	// And the file is gone.
	EXPECT_TRUE(tmp.list().empty());
}

TEST_F(EditAction, OnlyAChangedFileFromASuccessfulEditorIsLoaded)
{
	struct {
		const char *name;
		std::string body;
		int status;
		std::string err;
		std::vector<std::string> tags_after;
	} cases[] = {
	    {"saved by renaming over the file",
		"printf -- '- title: Moved\\n' > \"$1.new\" && mv \"$1.new\" \"$1\"\n", 0, "",
		{"title=Moved"}},
	    {"saved empty: no tags left", ": > \"$1\"\n", 0, "", {}},
	    {"saved, then exit 1", "printf -- '- title: No\\n' > \"$1\"\nexit 1\n", 0, "",
		original_tags},
	    {"saved, then killed", "printf -- '- title: No\\n' > \"$1\"\nkill -9 $$\n", 0, "",
		original_tags},
	    {"exit 0 without saving", "exit 0\n", 0, "", original_tags},
	    {"saved with a syntax error", "printf -- '- title: x\\n  bad\\n' > \"$1\"\n", 1,
		"wembrix: w_yaml2tags: Scanner error: while scanning a simple key at line 2, "
		"column 3\ncould not find expected ':' at line 3, column 1\n\n",
		original_tags},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		wt::make_flac(flac, {"TITLE=Old", "ARTIST=Band"});
		const std::string before = wt::read_file(flac);
		auto r = edit(editor(c.body), tmp.path());
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.err, c.err);
		EXPECT_TRUE(editor_ran());
		EXPECT_EQ(wt::metaflac_tags(flac), c.tags_after);
		if (c.tags_after == original_tags) {
			EXPECT_EQ(wt::read_file(flac), before); // not even rewritten
		}
		EXPECT_TRUE(tmp.list().empty());
		std::remove((dir / "name").c_str());
	}
}

TEST_F(EditAction, EditorIsOneProgramNameNeverAShellCommand)
{
	// Would change the tags if anything ran it as a shell script.
	wt::write_file(dir / "plain", "printf -- '- title: Shell\\n' > \"$1\"\ntouch '" +
	    (dir / "ran") + "'\n");
	ASSERT_EQ(chmod((dir / "plain").c_str(), 0755), 0);
	editor("printf -- '- title: Edited\\n' > \"$1\"\n");

	// An editor that cannot be started edited nothing: the file fails, and
	// the message says which editor it was.
	const auto not_started = [](const std::string &editor, const std::string &why) {
		return "wembrix: cannot start the editor `" + editor + "': " + why + "\n";
	};
	const std::string shell_line = "touch '" + (dir / "ran") + "'; " + script;
	struct {
		const char *name;
		std::optional<std::string> value;
		int status;
		std::string err;
	} cases[] = {
	    {"no such program", dir / "nothing-here", 1,
		not_started(dir / "nothing-here", "No such file or directory")},
	    {"no such program in the path", "nothing-here", 1,
		not_started("nothing-here", "No such file or directory")},
	    {"program with an argument", script + " -x", 1,
		not_started(script + " -x", "No such file or directory")},
	    {"shell command line", shell_line, 1,
		not_started(shell_line, "No such file or directory")},
	    {"empty", "", 1, not_started("", "No such file or directory")},
	    {"executable text without interpreter line", dir / "plain", 1,
		not_started(dir / "plain", "Exec format error")},
	    {"not executable", dir / "a.flac", 1, not_started(dir / "a.flac", "Permission denied")},
	    {"name with a line feed", "ed\nit", 1, not_started("ed\\nit", "No such file or directory")},
	    {"unset", std::nullopt, 1, "wembrix: please set the $EDITOR environment variable.\n"},
	};
	const std::string before = wt::read_file(flac);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto r = edit(c.value, tmp.path());
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.err, c.err);
		EXPECT_FALSE(editor_ran());
		EXPECT_FALSE(wt::exists(dir / "ran"));
		EXPECT_EQ(wt::read_file(flac), before);
		EXPECT_TRUE(tmp.list().empty());
	}
}

// Whatever bytes the file's name holds, the document stays one the edit
// can load back, and the user's change reaches the file.
TEST_F(EditAction, AnyFileNameCanBeEdited)
{
	struct {
		const char *name;
		std::string file;  // in dir
		std::string shown; // on the document's comment line
	} cases[] = {
	    {"line feed", "new\nline.flac", "new\\nline.flac"},
	    {"Latin-1", "caf\xe9.flac", "caf\\xe9.flac"},
	    {"next line", "nel\xc2\x85.flac", "nel\\xc2\\x85.flac"},
	    {"escape", "\x1b]0;x\x07.flac", "\\x1b]0;x\\x07.flac"},
	};
	const std::string body = "sed -i 's/^- title: Old$/- title: Edited/' \"$1\"\n";
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string file = dir / c.file;
		wt::make_flac(file, {"TITLE=Old", "ARTIST=Band"});
		wt::run_options opt;
		opt.env["EDITOR"] = editor(body);
		opt.env["TMPDIR"] = tmp.path();
		auto r = wt::wembrix({"edit", file}, opt);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(wt::read_file(dir / "seen"),
		    "# " + dir.path() + "/" + c.shown + "\n---\n- title: Old\n- artist: Band\n");
		EXPECT_EQ(wt::metaflac_tags(file), (std::vector<std::string>{"title=Edited", "artist=Band"}));
		EXPECT_TRUE(tmp.list().empty());
	}
}

TEST_F(EditAction, EditorFoundThroughThePath)
{
	wt::tmpdir bin;
	wt::write_script(bin / "my editor", record(dir.path()) +
	    "printf -- '- title: Found\\n' > \"$1\"\n");
	wt::run_options opt;
	opt.env["EDITOR"] = "my editor";
	opt.env["TMPDIR"] = tmp.path();
	opt.env["PATH"] = "/nonexistent:" + bin.path() + ":/usr/bin:/bin";
	auto r = wt::wembrix({"edit", flac}, opt);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::metaflac_tags(flac), (std::vector<std::string>{"title=Found"}));
}

TEST_F(EditAction, NoMusicFileDescriptorReachesTheEditor)
{
	// TagLib keeps the file it opened open for reading and writing while
	// the editor runs.
	const std::string mp3 = dir / "a.mp3";
	wt::make_mp3(mp3, {"--tt", "Old", "--id3v2-only"});
	wt::run_options opt;
	opt.env["EDITOR"] = editor(list_descriptors(dir.path()));
	opt.env["TMPDIR"] = tmp.path();
	for (const auto &file : {flac, mp3}) {
		SCOPED_TRACE(file);
		std::remove((dir / "fds").c_str());
		auto r = wt::wembrix({"edit", file}, opt);
		EXPECT_EQ(r.status, 0) << r.err;
		const std::string listing = wt::read_file(dir / "fds");
		EXPECT_NE(listing.find("0 "), std::string::npos) << listing;
		EXPECT_EQ(inherited(listing, {flac, mp3}), std::vector<std::string>{}) << listing;
	}
}

TEST_F(EditAction, TemporaryDirectory)
{
	const std::string body = "printf -- '- title: Edited\\n' > \"$1\"\n";
	struct {
		const char *name;
		std::optional<std::string> tmpdir;
		std::string prefix; // of the editor's file name
	} cases[] = {
	    {"unset: /tmp", std::nullopt, "/tmp/wembrix-"},
	    {"empty: the root directory", "", "/wembrix-"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		wt::make_flac(flac, {"TITLE=Old"});
		auto r = edit(editor(body), c.tmpdir);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(wt::metaflac_tags(flac), (std::vector<std::string>{"title=Edited"}));
		std::string name = given_name();
		EXPECT_EQ(name.rfind(c.prefix, 0), 0u) << name;
		EXPECT_EQ(name.find('/', c.prefix.size()), std::string::npos) << name;
		EXPECT_FALSE(wt::exists(name));
	}

	// A directory that does not exist: no file, no editor, no change.
	const std::string before = wt::read_file(flac);
	std::remove((dir / "name").c_str());
	auto r = edit(editor(body), dir / "missing");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: mkstemps: No such file or directory\n");
	EXPECT_FALSE(editor_ran());
	EXPECT_EQ(wt::read_file(flac), before);
}

TEST_F(EditAction, OutputBeforeTheEditorIsPrintedOnce)
{
	// Standard output is a pipe here, so the document printed first is
	// still buffered when the editor is started.
	auto r = edit(dir / "nothing-here", tmp.path(), {"print"}, {});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "# " + flac + "\n---\n- title: Old\n- artist: Band\n\n");

	r = edit(editor("echo from the editor\nprintf -- '- title: New\\n' > \"$1\"\n"), tmp.path(),
	    {"print"}, {"print"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "# " + flac + "\n---\n- title: Old\n- artist: Band\n\n"
			 "from the editor\n"
			 "# " + flac + "\n---\n- title: New\n\n");
}

// In-process: what w_edit returns and what it does to the tune.
class Editor : public testing::Test {
protected:
	void SetUp() override
	{
		Fflag = w_yaml_format();
		wt::make_flac(flac, {"TITLE=Old"});
		tune = w_tune_new(flac.c_str());
		ASSERT_NE(tune, nullptr);
		setenv("TMPDIR", tmp.path().c_str(), 1);
	}
	void TearDown() override
	{
		w_tune_destroy(tune);
		unsetenv("EDITOR");
		unsetenv("TMPDIR");
	}

	tags current()
	{
		w_taglist_ptr t(w_tune_tags(tune));
		return wt::to_tags(t.get());
	}

	wt::tmpdir dir;
	wt::tmpdir tmp;
	std::string flac = dir / "a.flac";
	struct w_tune *tune = nullptr;
};

TEST_F(Editor, ResultAndTune)
{
	wt::write_script(dir / "keep.sh", "exit 0\n");
	setenv("EDITOR", (dir / "keep.sh").c_str(), 1);
	EXPECT_EQ(w_edit(tune), 0);
	EXPECT_EQ(current(), (tags{{"title", "Old"}}));
	EXPECT_EQ(tune->dirty, 0u);

	wt::write_script(dir / "change.sh", "printf -- '- title: New\\n' > \"$1\"\n");
	setenv("EDITOR", (dir / "change.sh").c_str(), 1);
	EXPECT_EQ(w_edit(tune), 0);
	EXPECT_EQ(current(), (tags{{"title", "New"}}));
	EXPECT_EQ(tune->dirty, 1u);
	EXPECT_TRUE(tmp.list().empty());
}

TEST_F(Editor, DescriptorsOpenedWithoutCloseOnExecStayBehind)
{
	// Whoever opened them, and however: none reaches the editor.
	int music = open(flac.c_str(), O_RDWR);
	ASSERT_GE(music, 0);
	int high = fcntl(music, F_DUPFD, 40);
	ASSERT_GE(high, 0);
	wt::write_script(dir / "list.sh", list_descriptors(dir.path()));
	setenv("EDITOR", (dir / "list.sh").c_str(), 1);
	EXPECT_EQ(w_edit(tune), 0);
	close(music);
	close(high);
	const std::string listing = wt::read_file(dir / "fds");
	EXPECT_EQ(inherited(listing, {flac}), std::vector<std::string>{}) << listing;
	// The program's own descriptors are left open.
	EXPECT_NE(fcntl(2, F_GETFD), -1);
}

TEST_F(Editor, LostEditorStatusLoadsNothing)
{
	// With SIGCHLD ignored the child is reaped by the system, and the wait
	// for it fails.
	wt::write_script(dir / "change.sh", "printf -- '- title: New\\n' > \"$1\"\n");
	setenv("EDITOR", (dir / "change.sh").c_str(), 1);
	auto *old = std::signal(SIGCHLD, SIG_IGN);
	testing::internal::CaptureStderr();
	int r = w_edit(tune);
	std::string err = testing::internal::GetCapturedStderr();
	std::signal(SIGCHLD, old);
	EXPECT_EQ(r, -1);
	EXPECT_EQ(err, "w_editor_test: waitpid: No child processes\n");
	EXPECT_EQ(current(), (tags{{"title", "Old"}}));
	EXPECT_EQ(tune->dirty, 0u);
	EXPECT_TRUE(tmp.list().empty());
}

} // namespace
