// The built program, run as a user runs it: exit statuses, exact output.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "w_inprocess.h"
#include "w_oggsupport.h"
#include "w_testsupport.h"

namespace {

using lines = std::vector<std::string>;

const std::string try_line = "Try `wembrix -h' for help.\n";

const std::string usage_text =
    "wembrix v3.1\n"
    "\n"
    "usage: wembrix [OPTION]... [ACTION:ARG]... [FILE]...\n"
    "Modify or display music file's tag.\n"
    "\n"
    "Options:\n"
    "  -h     show this help\n"
    "  -p     create destination directories if needed (used by rename)\n"
    "  -F fmt use the fmt format for print, edit and load actions (see Formats)\n"
    "  -Y     answer yes to all questions\n"
    "  -N     answer no  to all questions\n"
    "\n"
    "Actions:\n"
    "  print            print tags (default action)\n"
    "  backend          print the backend used (see Backend)\n"
    "  clear:TAG        clear all tag TAG. If TAG is empty, all tags are cleared\n"
    "  add:TAG=VALUE    add a TAG=VALUE pair\n"
    "  set:TAG=VALUE    set TAG to VALUE\n"
    "  edit             prompt for editing\n"
    "  load:PATH        load PATH yaml tag file\n"
    "  rename:PATTERN   rename to PATTERN\n"
    "\n"
    "Formats:\n"
    "         yml: YAML - YAML Ain't Markup Language\n"
    "        json: JSON - JavaScript Object Notation, one line per file\n"
    "\n"
    "Backends:\n"
    "     libFLAC: Free Lossless Audio Codec (FLAC) files format\n"
    "   libvorbis: Ogg/Vorbis files format\n"
    "      libogg: Ogg/Opus files format\n"
    "      TagLib: various file format but limited set of tags\n"
    "\n";

// --help lists the options -h leaves out after those of -h.
const std::string usage_long = [] {
	std::string u = usage_text;
	const std::string last = "  -N     answer no  to all questions\n";
	u.insert(u.find(last) + last.size(),
	    "  -n     preview: run every action, write nothing, show what would change\n"
	    "  -r     walk the directories named for their music files, depth first\n"
	    "  --all-tags    every field of MP3, M4A and WAV files, under FLAC's names\n"
	    "  --dry-run     the same as -n\n"
	    "  --journal FILE  record what the run changes in FILE, a new file, to undo it\n"
	    "  --undo FILE   undo the run recorded in the journal FILE\n"
	    "  --pictures    JSON documents carry the files' pictures (complete backups)\n"
	    "  --help        show this help on standard output\n"
	    "  --version     print the version\n");
	const std::string rename = "  rename:PATTERN   rename to PATTERN\n";
	u.insert(u.find(rename) + rename.size(),
	    "  info             print the audio properties (codec, duration, ...)\n"
	    "  pictures         list the pictures (cover art)\n"
	    "  export-picture:[WHICH=]PATH\n"
	    "                   write the front cover, or picture WHICH, to the new file PATH\n"
	    "  import-picture:[TYPE[:DESCRIPTION]=]PATH\n"
	    "                   make the image PATH the front cover, or a picture of TYPE\n"
	    "  remove-pictures:[WHICH]\n"
	    "                   remove every picture, or picture WHICH\n");
	return u;
}();

const std::string a_doc = "# a.flac\n---\n- title: Intro\n- artist: Some Band\n\n";

// A scratch directory holding a.flac (title, artist) and notes.txt.
class Cli : public ::testing::Test {
protected:
	void SetUp() override
	{
		wt::make_flac(dir / "a.flac", {"TITLE=Intro", "ARTIST=Some Band"});
		wt::write_file(dir / "notes.txt", "not music\n");
	}
	wt::run_result run(const std::vector<std::string> &args)
	{
		wt::run_options opt;
		opt.cwd = dir.path();
		opt.env["LC_ALL"] = "C.UTF-8";
		return wt::wembrix(args, opt);
	}
	wt::tmpdir dir;
};

} // namespace

TEST_F(Cli, CommandLines)
{
	// Files a backend knows but cannot read, each said once.
	ASSERT_EQ(mkdir((dir / "folder.flac").c_str(), 0755), 0);
	const std::string flac = wt::read_file(dir / "a.flac");
	wt::write_file(dir / "cut.flac", flac.substr(0, 50)); // inside the second block
	wt::write_file(dir / "cut.ogg", wt::vorbis_bytes({"TITLE=T"}).substr(0, 100));
	// Players skip bytes before the first page, and so does the Ogg reader.
	wt::write_file(dir / "late.ogg", std::string(5000, 'x') + wt::read_file(dir / "cut.ogg"));
	std::string opus = wt::opus_bytes({"TITLE=T"});
	const std::size_t tags_at = opus.find("OpusTags");
	ASSERT_NE(tags_at, std::string::npos);
	opus.replace(tags_at + 8, 4, "\xff\xff\xff\x7f"); // a vendor longer than the packet
	wt::ogg_fix_checksum(opus, opus.rfind("OggS", tags_at));
	wt::write_file(dir / "bad.opus", opus);
	wt::write_file(dir / "empty.jsonl", "\n");
	wt::write_file(dir / "bare.json", "{\"file\":\"a.flac\",\"tags\":[]}\n[{\"title\":\"x\"}]\n");
	wt::write_file(dir / "bad.json", "[{\"title\":\"x\"},\n {\"a\": nul}]\n");

	struct {
		std::vector<std::string> args;
		int status;
		std::string out;
		std::string err;
	} cases[] = {
	    {{}, 22, "", "wembrix: missing file argument.\n" + try_line},
	    {{"print"}, 22, "", "wembrix: missing file argument.\n" + try_line},
	    {{"-h"}, 0, "", usage_text},
	    {{"-h", "-F", "bad"}, 0, "", usage_text},
	    {{"-F", "bad", "-h"}, 22, "",
		"wembrix: bad: invalid -F option, try `wembrix -h' to see supported formats.\n"},
	    {{"-F", "yaml", "a.flac"}, 22, "",
		"wembrix: yaml: invalid -F option, try `wembrix -h' to see supported formats.\n"},
	    {{"-F", "YML", "a.flac"}, 22, "",
		"wembrix: YML: invalid -F option, try `wembrix -h' to see supported formats.\n"},
	    {{"-F", "yml", "a.flac"}, 0, a_doc, ""},
	    {{"-F", "json", "a.flac"}, 0,
		"{\"file\":\"a.flac\",\"tags\":[{\"title\":\"Intro\"},{\"artist\":\"Some Band\"}]}\n", ""},
	    {{"-F", "JSON", "a.flac"}, 22, "",
		"wembrix: JSON: invalid -F option, try `wembrix -h' to see supported formats.\n"},
	    {{"-x", "a.flac"}, 1, "", "wembrix: invalid option -- 'x'\n" + usage_text},
	    {{"-F"}, 1, "", "wembrix: option requires an argument -- 'F'\n" + usage_text},
	    // Asked for by name, help and version go to standard output.
	    {{"--help"}, 0, usage_long, ""},
	    {{"--help", "a.flac"}, 0, usage_long, ""},
	    {{"-p", "--version", "a.flac"}, 0, "wembrix 3.1\n", ""},
	    {{"-F", "bad", "--help"}, 22, "",
		"wembrix: bad: invalid -F option, try `wembrix -h' to see supported formats.\n"},
	    {{"--verbose", "a.flac"}, 1, "", "wembrix: unrecognized option '--verbose'\n" + try_line},
	    {{"--help=all"}, 1, "", "wembrix: option '--help' doesn't allow an argument\n" + try_line},
	    {{"-h", "--version"}, 0, "", usage_text},
	    {{"print", "--version", "a.flac"}, 1, a_doc,
		"wembrix: --version: No such file or directory\n"},
	    {{"-Y", "-N", "a.flac"}, 1, "", "wembrix: cannot set both -Y and -N: Invalid argument\n"},
	    {{"-N", "-Y", "a.flac"}, 1, "", "wembrix: cannot set both -Y and -N: Invalid argument\n"},
	    {{"-Y", "-Y", "a.flac"}, 0, a_doc, ""},
	    {{"clear", "a.flac"}, 1, "", "wembrix: option clear requires an argument\n" + try_line},
	    {{"add:title", "a.flac"}, 1, "", "wembrix: add: missing '=': Invalid argument\n" + try_line},
	    {{"add:", "a.flac"}, 1, "", "wembrix: add: missing '=': Invalid argument\n" + try_line},
	    {{"set:", "a.flac"}, 1, "", "wembrix: set: missing '=': Invalid argument\n" + try_line},
	    {{"rename:", "a.flac"}, 1, "", "wembrix: empty rename pattern: Invalid argument\n" + try_line},
	    // Action errors are reported before a missing file.
	    {{"set:x"}, 1, "", "wembrix: set: missing '=': Invalid argument\n" + try_line},
	    {{"set:a=\xFF", "a.flac"}, 1, "",
		"wembrix: set:a=\\xff: cannot be converted from the locale's character set UTF-8 to "
		"UTF-8\n" + try_line},
	    {{"a.flac"}, 0, a_doc, ""},
	    {{"print:anything", "a.flac"}, 0, a_doc, ""},
	    {{"backend", "a.flac"}, 0, "libFLAC a.flac\n", ""},
	    {{"backend:", "print", "a.flac"}, 0, "libFLAC a.flac\n" + a_doc, ""},
	    // Options stop at the first action word; the rest are files.
	    {{"print", "-Y", "a.flac"}, 1, a_doc, "wembrix: -Y: No such file or directory\n"},
	    {{"a.flac", "print"}, 1, a_doc, "wembrix: print: No such file or directory\n"},
	    {{"Print", "a.flac"}, 1, a_doc, "wembrix: Print: No such file or directory\n"},
	    {{"pr", "a.flac"}, 1, a_doc, "wembrix: pr: No such file or directory\n"},
	    {{"add=x", "a.flac"}, 1, a_doc, "wembrix: add=x: No such file or directory\n"},
	    {{"notes.txt", "a.flac"}, 1, a_doc, "wembrix: notes.txt: unsupported file format\n"},
	    {{"missing.flac", "a.flac"}, 1, a_doc, "wembrix: missing.flac: No such file or directory\n"},
	    {{"--", "a.flac"}, 0, a_doc, ""},
	    {{"folder.flac", "a.flac"}, 1, a_doc, "wembrix: folder.flac: Is a directory\n"},
	    {{"cut.flac", "a.flac"}, 1, a_doc,
		"wembrix: cut.flac: unreadable FLAC metadata: block 2 (VORBIS_COMMENT) runs past the end "
		"of the file\n"},
	    {{"cut.ogg", "a.flac"}, 1, a_doc, "wembrix: cut.ogg: file ends inside its Ogg/Vorbis headers\n"},
	    {{"late.ogg", "a.flac"}, 1, a_doc, "wembrix: late.ogg: file ends inside its Ogg/Vorbis headers\n"},
	    {{"bad.opus", "a.flac"}, 1, a_doc, "wembrix: bad.opus: damaged Opus comment header\n"},
	    // A restore may leave out the files its backup names, and only then.
	    {{"-F", "json", "load:bare.json"}, 1, "",
		"wembrix: bare.json: line 2: a restore without file names needs every document to name "
		"its file\n"},
	    {{"-F", "json", "load:empty.jsonl"}, 1, "", "wembrix: empty.jsonl: the input holds no tag document\n"},
	    // A document that does not parse is named with the place it fails.
	    {{"-F", "json", "load:bad.json", "a.flac"}, 1, "",
		"wembrix: bad.json: line 2, column 11: syntax error while parsing value - invalid "
		"literal; last read: '\"a\": nul}'\n"},
	    {{"load:bare.json"}, 22, "", "wembrix: missing file argument.\n" + try_line},
	    {{"-F", "json", "load:-"}, 22, "", "wembrix: missing file argument.\n" + try_line},
	    {{"-F", "json", "load:"}, 22, "", "wembrix: missing file argument.\n" + try_line},
	    {{"-F", "json", "load:bare.json", "load:bare.json"}, 22, "",
		"wembrix: missing file argument.\n" + try_line},
	    {{"-F", "json", "set:title=x"}, 22, "", "wembrix: missing file argument.\n" + try_line},
	    {{"-F", "json", "load:none.jsonl"}, 1, "",
		"wembrix: none.jsonl: fopen: No such file or directory\n"},
	};
	const std::string before = wt::read_file(dir / "a.flac");
	for (const auto &c : cases) {
		std::string cmd;
		for (const auto &a : c.args)
			cmd += " " + a;
		wt::run_result r = run(c.args);
		EXPECT_EQ(r.status, c.status) << cmd;
		EXPECT_EQ(r.out, c.out) << cmd;
		EXPECT_EQ(r.err, c.err) << cmd;
	}
	EXPECT_TRUE(wt::read_file(dir / "a.flac") == before) << "file changed";
}

// An argument the locale cannot hold is named, with the locale's character
// set, before anything is touched.
TEST_F(Cli, ArgumentOutsideTheLocaleIsNamed)
{
	const std::string c_locale = "the locale's character set ANSI_X3.4-1968 to UTF-8\n";
	struct {
		std::optional<std::string> lc_all;
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
	    {std::nullopt, {"set:title=caf\xC3\xA9", "a.flac"},
		"wembrix: set:title=caf\xC3\xA9: cannot be converted from " + c_locale},
	    {"C", {"print", "add:artist=Bj\xC3\xB6rk", "a.flac"},
		"wembrix: add:artist=Bj\xC3\xB6rk: cannot be converted from " + c_locale},
	    {"POSIX", {"rename:%title-\xE2\x82\xAC", "a.flac"},
		"wembrix: rename:%title-\xE2\x82\xAC: cannot be converted from " + c_locale},
	    {"C", {"load:caf\xE9\n.yml", "a.flac"},
		"wembrix: load:caf\\xe9\\n.yml: cannot be converted from " + c_locale},
	};
	const std::string before = wt::read_file(dir / "a.flac");
	for (const auto &c : cases) {
		SCOPED_TRACE(c.args[0]);
		wt::run_options opt;
		opt.cwd = dir.path();
		opt.env = {{"LC_ALL", c.lc_all}, {"LC_CTYPE", std::nullopt}, {"LANG", std::nullopt}};
		wt::run_result r = wt::wembrix(c.args, opt);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err + try_line);
	}
	EXPECT_TRUE(wt::read_file(dir / "a.flac") == before) << "file changed";
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), (lines{"TITLE=Intro", "ARTIST=Some Band"}));
}

// -r walks a directory depth first, in the byte order of the names; what
// no backend opens beside the music is passed over, other failures are
// said, and links to directories are not followed.
TEST_F(Cli, RecursiveWalk)
{
	const std::string lib = dir / "lib";
	for (const char *d : {"lib", "lib/m", "lib/m/deep", "lib/n", "lib/locked"})
		ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0);
	for (const char *f : {"lib/Z.flac", "lib/a.flac", "lib/m/x.flac", "lib/m/deep/y.flac",
		 "lib/n.flac", "lib/locked/hidden.flac"})
		wt::make_flac(dir / f, {"TITLE=T"});
	wt::write_file(dir / "lib/m/cover.jpg", "\xff\xd8\xff\xe0 not really a picture");
	wt::write_file(dir / "lib/m/list.m3u", "x.flac\n");
	wt::write_file(dir / "lib/n/cut.flac", wt::read_file(dir / "a.flac").substr(0, 50));
	ASSERT_EQ(symlink("..", (dir / "lib/m/loop").c_str()), 0);
	ASSERT_EQ(symlink("m", (dir / "lib/to-m").c_str()), 0);
	ASSERT_EQ(symlink("a.flac", (dir / "lib/link.flac").c_str()), 0);
	ASSERT_EQ(mkfifo((dir / "lib/n/fifo.flac").c_str(), 0644), 0);
	ASSERT_EQ(chmod((dir / "lib/locked").c_str(), 0), 0);
	const bool root = geteuid() == 0; // reads any directory

	wt::run_result r = run({"-r", "backend", "lib", "a.flac"});
	chmod((dir / "lib/locked").c_str(), 0755);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "libFLAC lib/Z.flac\nlibFLAC lib/a.flac\nlibFLAC lib/link.flac\n" +
	    std::string(root ? "libFLAC lib/locked/hidden.flac\n" : "") +
	    "libFLAC lib/m/deep/y.flac\nlibFLAC lib/m/x.flac\nlibFLAC lib/n.flac\nlibFLAC a.flac\n");
	EXPECT_EQ(r.err, std::string(root ? "" : "wembrix: lib/locked: Permission denied\n") +
	    "wembrix: lib/n/cut.flac: unreadable FLAC metadata: block 2 (VORBIS_COMMENT) runs past "
	    "the end of the file\n");

	// A trailing slash, and a run that finds nothing wrong.
	r = run({"-r", "set:genre=G", "lib/m/"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(wt::metaflac_tags(dir / "lib/m/deep/y.flac"), (lines{"title=T", "genre=G"}));
	EXPECT_EQ(wt::read_file(dir / "lib/m/list.m3u"), "x.flac\n");

	// Without -r a directory is no file.
	r = run({"backend", "lib", "a.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "libFLAC a.flac\n");
	EXPECT_EQ(r.err, "wembrix: lib: Is a directory\n");
}

TEST_F(Cli, ChangesAreSavedAndSeenByLaterActions)
{
	wt::run_result r = run({"set:ARTIST=Björk", "add:genre=Pop", "print", "a.flac"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "# a.flac\n---\n- title: Intro\n- artist: Björk\n- genre: Pop\n\n");
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), (lines{"title=Intro", "artist=Björk", "genre=Pop"}));

	r = run({"clear:Artist", "a.flac"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), (lines{"title=Intro", "genre=Pop"}));

	r = run({"clear:", "add:title=Only", "a.flac"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), (lines{"title=Only"}));
}

TEST_F(Cli, AFailedFileDoesNotStopTheOthers)
{
	wt::make_flac(dir / "b.flac", {"TITLE=B"});
	wt::run_result r = run({"set:artist=X", "notes.txt", "missing.flac", "a.flac", "b.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: notes.txt: unsupported file format\n"
			 "wembrix: missing.flac: No such file or directory\n");
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), (lines{"title=Intro", "artist=X"}));
	EXPECT_EQ(wt::metaflac_tags(dir / "b.flac"), (lines{"title=B", "artist=X"}));
}

TEST_F(Cli, UnsplittableCommentIsNamedAndNothingIsLost)
{
	wt::make_flac(dir / "odd.flac", {"TITLE=T", "NOEQUALSIGN"});
	const std::string before = wt::read_file(dir / "odd.flac");
	for (const auto &args : {std::vector<std::string>{"odd.flac", "a.flac"},
		 std::vector<std::string>{"set:artist=X", "odd.flac", "a.flac"}}) {
		wt::run_result r = run(args);
		EXPECT_EQ(r.status, 1);
		// Among several files, the second line says which one failed.
		EXPECT_EQ(r.err, "wembrix: invalid vorbis comment: NOEQUALSIGN\n"
				 "wembrix: odd.flac: could not read tags from the file\n");
		EXPECT_TRUE(wt::read_file(dir / "odd.flac") == before) << "file changed";
	}
	EXPECT_EQ(wt::metaflac_tags(dir / "a.flac"), (lines{"title=Intro", "artist=X"}));
}

TEST_F(Cli, RefusedTagFailsTheSaveAndLeavesTheFile)
{
	// '~' is outside the characters of a Vorbis comment field name.
	const std::string before = wt::read_file(dir / "a.flac");
	wt::run_result r = run({"set:ti~tle=x", "a.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: invalid vorbis comment name: ti~tle\n"
			 "wembrix: a.flac: could not write tags to the file,\n");
	EXPECT_TRUE(wt::read_file(dir / "a.flac") == before) << "file changed";
	EXPECT_EQ(dir.list(), (lines{"a.flac", "notes.txt"}));
}

TEST_F(Cli, OutputThatCannotBeWrittenFails)
{
	wt::run_options opt;
	opt.cwd = dir.path();
	for (const char *args : {" a.flac", " --help", " --version"}) {
		wt::run_result r =
		    wt::run({"sh", "-c", std::string(WEMBRIX_BIN) + args + " >/dev/full"}, opt);
		EXPECT_EQ(r.status, 1) << args;
		EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << args << r.err;
	}
}

namespace {

// A FLAC file of about megabytes MB without padding, so that any change of
// its tags rewrites all of it: a short encoded file whose audio frames are
// repeated.  Players only see the same frames again.
std::string
big_flac(const wt::tmpdir &dir, unsigned megabytes)
{
	const std::string small = dir / "small.flac";
	wt::make_flac(small, {"TITLE=Big"}, {true, 0, 44100});
	const std::string bytes = wt::read_file(small);
	std::size_t audio = 4; // past "fLaC" and every metadata block
	for (bool last = false; !last;) {
		last = (bytes[audio] & 0x80) != 0;
		audio += 4 + ((static_cast<unsigned char>(bytes[audio + 1]) << 16) |
				 (static_cast<unsigned char>(bytes[audio + 2]) << 8) |
				 static_cast<unsigned char>(bytes[audio + 3]));
	}
	std::string big = bytes;
	while (big.size() < megabytes * std::size_t{1} << 20)
		big.append(bytes, audio);
	std::remove(small.c_str());
	return big;
}

// Starts wembrix in dir the way a shell does (default signal actions, no
// signal blocked), on a file system without O_TMPFILE when named is set.
pid_t
start(const std::vector<std::string> &args, const std::string &dir, bool named)
{
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	int null = open("/dev/null", O_RDWR);
	dup2(null, 0);
	dup2(null, 1);
	dup2(null, 2);
	for (int sig : {SIGHUP, SIGINT, SIGPIPE, SIGTERM})
		signal(sig, SIG_DFL);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	if (chdir(dir.c_str()) == -1 || (named && !wt::deny_tmpfile()))
		_exit(126);
	std::vector<char *> argv{const_cast<char *>(WEMBRIX_BIN)};
	for (const auto &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	execv(WEMBRIX_BIN, argv.data());
	_exit(127);
}

// Waits until process pid holds a copy in dir (a hidden file, or one
// without a name) with at least bytes in it: true; false when the process
// ended first.
bool
wait_for_copy(pid_t pid, const std::string &dir, off_t bytes)
{
	const std::string proc = "/proc/" + std::to_string(pid);
	char real[PATH_MAX];
	if (realpath(dir.c_str(), real) == nullptr)
		return false;
	const std::string prefix = std::string(real) + "/";
	for (;;) {
		std::ifstream stat_file(proc + "/stat");
		std::string pid_field, comm, state;
		stat_file >> pid_field >> comm >> state;
		if (!stat_file || state == "Z")
			return false;
		DIR *fds = opendir((proc + "/fd").c_str());
		if (fds == nullptr)
			continue;
		bool found = false;
		while (dirent *e = readdir(fds)) {
			const std::string fd = proc + "/fd/" + e->d_name;
			char link[PATH_MAX];
			ssize_t n = readlink(fd.c_str(), link, sizeof link - 1);
			if (n <= 0)
				continue;
			const std::string target(link, static_cast<std::size_t>(n));
			if (target.compare(0, prefix.size(), prefix) != 0)
				continue;
			const std::string name = target.substr(prefix.size());
			struct stat st;
			if ((name[0] == '#' || name.compare(0, 3, ".__") == 0) &&
			    stat(fd.c_str(), &st) == 0 && st.st_size >= bytes)
				found = true;
		}
		closedir(fds);
		if (found)
			return true;
	}
}

} // namespace

TEST(Interrupted, RewriteLeavesNoCopyAndAWholeFile)
{
	wt::tmpdir store;
	const std::string big = big_flac(store, 32);
	struct {
		int sig;
		bool named; // a file system without O_TMPFILE
	} cases[] = {
	    {SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGKILL, false},
	    // A hidden copy is removed by the signals a program can catch.
	    {SIGINT, true}, {SIGTERM, true}, {SIGHUP, true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.named ? ", without O_TMPFILE" : ""));
		wt::tmpdir dir;
		wt::write_file(dir / "big.flac", big);
		pid_t pid = start({"set:comment=x", "big.flac"}, dir.path(), c.named);
		ASSERT_GT(pid, 0);
		const bool caught = wait_for_copy(pid, dir.path(), 1 << 20);
		if (caught)
			kill(pid, c.sig);
		int status = 0;
		ASSERT_EQ(waitpid(pid, &status, 0), pid);
		ASSERT_TRUE(caught) << "the rewrite ended before it could be interrupted";
		EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << status;
		EXPECT_EQ(dir.list(), (lines{"big.flac"}));
		// Old or new, never torn: a whole file, which metaflac reads.
		const std::string after = wt::read_file(dir / "big.flac");
		if (after != big) {
			EXPECT_EQ(wt::metaflac_tags(dir / "big.flac"), (lines{"TITLE=Big", "comment=x"}));
			EXPECT_EQ(after.substr(after.size() - (1 << 20)), big.substr(big.size() - (1 << 20)));
		}
	}
}

namespace {

// Ogg/Vorbis files, rewritten whole at every change, so that their copies
// are flushed in groups.
class Rewrites : public ::testing::Test {
protected:
	void make(const std::string &name, const std::vector<std::string> &comments)
	{
		wt::make_vorbis(dir / name, comments);
	}
	wt::run_result run(const std::vector<std::string> &args, const wt::run_options &extra = {})
	{
		wt::run_options opt = extra;
		opt.cwd = dir.path();
		opt.env["LC_ALL"] = "C.UTF-8";
		return wt::wembrix(args, opt);
	}
	// The file's comments as vorbiscomment lists them.
	lines comments(const std::string &name)
	{
		wt::run_result r = wt::run({"vorbiscomment", "-l", dir / name});
		EXPECT_EQ(r.status, 0) << r.err;
		lines out;
		std::size_t start = 0;
		for (std::size_t end; (end = r.out.find('\n', start)) != std::string::npos;
		     start = end + 1)
			out.push_back(r.out.substr(start, end - start));
		return out;
	}
	wt::tmpdir dir;
};

} // namespace

TEST_F(Rewrites, AFileMetAgainIsReadWithItsNewContent)
{
	make("a.ogg", {"TITLE=A"});
	ASSERT_EQ(symlink("a.ogg", (dir / "link.ogg").c_str()), 0);
	wt::run_result r = run({"add:genre=X", "a.ogg", "link.ogg", "a.ogg"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(comments("a.ogg"), (lines{"title=A", "genre=X", "genre=X", "genre=X"}));
	EXPECT_EQ(dir.list(), (lines{"a.ogg", "link.ogg"}));
}

TEST_F(Rewrites, RenameMovesTheNewContent)
{
	make("a.ogg", {"TITLE=A"});
	make("b.ogg", {"TITLE=B"});
	wt::run_result r = run({"-Y", "set:artist=X", "rename:%title", "a.ogg", "b.ogg"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(dir.list(), (lines{"A.ogg", "B.ogg"}));
	EXPECT_EQ(comments("A.ogg"), (lines{"title=A", "artist=X"}));
	EXPECT_EQ(comments("B.ogg"), (lines{"title=B", "artist=X"}));
}

TEST_F(Rewrites, NothingIsPendingWhileTheEditorRuns)
{
	make("a.ogg", {"ARTIST=A"});
	make("b.ogg", {"ARTIST=B"});
	// The editor changes nothing; it notes what a.ogg holds each time.
	const std::string editor = dir / "editor.sh";
	wt::write_file(editor, "#!/bin/sh\nvorbiscomment -l a.ogg >>seen.txt\n");
	ASSERT_EQ(chmod(editor.c_str(), 0755), 0);
	wt::run_options opt;
	opt.env["EDITOR"] = editor;
	wt::run_result r = run({"set:artist=Edited", "edit", "a.ogg", "b.ogg"}, opt);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::read_file(dir / "seen.txt"), "ARTIST=A\nartist=Edited\n");
	EXPECT_EQ(comments("b.ogg"), (lines{"artist=Edited"}));
}

TEST_F(Rewrites, FilesWhoseCopiesFailAreReportedAndLeftAsTheyWere)
{
	make("a.ogg", {"TITLE=A"});
	make("b.ogg", {"TITLE=B"});
	const std::string a = wt::read_file(dir / "a.ogg"), b = wt::read_file(dir / "b.ogg");
	// With a rename the file's copy must be in place first: it fails
	// there, and the file is not moved.
	for (const std::vector<std::string> &actions :
	    {std::vector<std::string>{"set:artist=X"}, {"-Y", "set:artist=X", "rename:%title"}}) {
		std::vector<std::string> argv{WEMBRIX_BIN};
		argv.insert(argv.end(), actions.begin(), actions.end());
		argv.insert(argv.end(), {"a.ogg", "b.ogg"});
		SCOPED_TRACE(argv[1]);
		// The disk fails to take the group's data.
		auto r = wt::run_denying({{SYS_syncfs, EIO}}, [&] {
			if (chdir(dir.path().c_str()) == -1)
				return 126;
			std::vector<char *> args;
			for (auto &arg : argv)
				args.push_back(arg.data());
			args.push_back(nullptr);
			execv(WEMBRIX_BIN, args.data());
			return 127;
		});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: a.ogg: Input/output error\n"
				 "wembrix: a.ogg: could not write tags to the file,\n"
				 "wembrix: b.ogg: Input/output error\n"
				 "wembrix: b.ogg: could not write tags to the file,\n");
		EXPECT_TRUE(wt::read_file(dir / "a.ogg") == a) << "a.ogg changed";
		EXPECT_TRUE(wt::read_file(dir / "b.ogg") == b) << "b.ogg changed";
		EXPECT_EQ(dir.list(), (lines{"a.ogg", "b.ogg"}));
	}
}
