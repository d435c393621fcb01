#include <gtest/gtest.h>

#include <dirent.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_oggsupport.h"
#include "w_preview.h"
#include "w_tagtools.h"
#include "w_testsupport.h"

namespace {

using lines = std::vector<std::string>;

TEST(PreviewDiff, LinesThatGoAndCome)
{
	const struct {
		const char *name;
		std::string a, b;
		lines diff;
	} cases[] = {
	    {"equal", "# f\n---\n- a: x\n", "# f\n---\n- a: x\n", {}},
	    {"a value changed", "---\n- a: x\n- b: y\n", "---\n- a: z\n- b: y\n",
		{"-- a: x", "+- a: z"}},
	    {"a tag added at the end", "---\n- a: x\n", "---\n- a: x\n- g: Rock\n", {"+- g: Rock"}},
	    {"all cleared", "---\n- a: x\n- b: y\n", "--- []\n", {"----", "-- a: x", "-- b: y", "+--- []"}},
	    {"from nothing", "--- []\n", "---\n- a: x\n", {"---- []", "+---", "+- a: x"}},
	    {"a middle line removed, the rest kept", "---\n- a: 1\n- b: 2\n- c: 3\n- d: 4\n",
		"---\n- a: 1\n- c: 3\n- d: 4\n", {"-- b: 2"}},
	    {"a duplicate line moved", "- x\n- y\n- x\n", "- y\n- x\n- x\n", {"-- x", "+- x"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(w_preview_diff(c.a, c.b), c.diff);
	}
}

// Every file under dir by name, with its bytes and modification time: a
// preview must leave all three as they were.
struct entry {
	std::string bytes;
	long long mtime_ns;
	bool operator==(const entry &) const = default;
};

void
snapshot(const std::string &dir, const std::string &rel, std::map<std::string, entry> &out)
{
	DIR *d = opendir(dir.c_str());
	ASSERT_NE(d, nullptr) << dir;
	while (struct dirent *e = readdir(d)) {
		const std::string name = e->d_name;
		if (name == "." || name == "..")
			continue;
		const std::string path = dir + "/" + name;
		struct stat st;
		ASSERT_EQ(lstat(path.c_str(), &st), 0);
		const long long mtime = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
		if (S_ISDIR(st.st_mode)) {
			out[rel + name + "/"] = {"", mtime};
			snapshot(path, rel + name + "/", out);
		} else {
			out[rel + name] = {wt::read_file(path), mtime};
		}
	}
	closedir(d);
}

std::map<std::string, entry>
snapshot(const std::string &dir)
{
	std::map<std::string, entry> out;
	snapshot(dir, "", out);
	return out;
}

class Preview : public testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(mkdir((dir / "m").c_str(), 0755), 0);
		wt::make_flac(dir / "m/a.flac", {"TITLE=Intro", "ARTIST=Band", "TRACKNUMBER=3/12"});
		wt::make_vorbis(dir / "m/b.ogg", {"TITLE=Song", "ARTIST=Band"});
		wt::make_mp3(dir / "m/c.mp3", {"--tt", "Tune", "--ta", "Band", "--id3v2-only"});
		wt::make_flac(dir / "m/same.flac", {"TITLE=Same"});
		wt::write_file(dir / "new.yml", "- title: Loaded\n- date: '2001'\n");
		wt::write_file(dir / "editor.sh", "#!/bin/sh\nsed -i 's/Intro/Edited/' \"$1\"\n");
		ASSERT_EQ(chmod((dir / "editor.sh").c_str(), 0755), 0);
	}
	wt::run_result run(const std::vector<std::string> &args)
	{
		wt::run_options opt;
		opt.cwd = dir.path();
		opt.env["EDITOR"] = dir / "editor.sh";
		opt.input = "y\ny\ny\n"; // would answer yes, were it asked
		return wt::wembrix(args, opt);
	}
	wt::tmpdir dir;
};

} // namespace

// For every kind of action: what would change is shown, exit status and
// messages are those of a real run, and no file, directory or time moves.
TEST_F(Preview, ShowsEveryActionAndWritesNothing)
{
	const struct {
		const char *name;
		std::vector<std::string> args;
		int status;
		std::string out;
		std::string err;
	} cases[] = {
	    {"set and add on three formats", {"-n", "set:artist=New", "add:genre=Rock", "m/a.flac", "m/b.ogg",
		"m/c.mp3", "m/same.flac"}, 0,
		"m/a.flac\n-- artist: Band\n+- artist: New\n+- genre: Rock\n"
		"m/b.ogg\n-- artist: Band\n+- artist: New\n+- genre: Rock\n"
		"m/c.mp3\n-- artist: Band\n+- artist: New\n+- genre: Rock\n"
		"m/same.flac\n+- artist: New\n+- genre: Rock\n", ""},
	    {"a change to what the file has already shows nothing", {"--dry-run", "set:title=Same",
		"m/same.flac"}, 0, "", ""},
	    {"clear", {"-n", "clear:", "m/a.flac"}, 0,
		"m/a.flac\n----\n-- title: Intro\n-- artist: Band\n-- tracknumber: 3/12\n+--- []\n", ""},
	    {"load", {"-n", "load:new.yml", "m/b.ogg"}, 0,
		"m/b.ogg\n-- title: Song\n-- artist: Band\n+- title: Loaded\n+- date: '2001'\n", ""},
	    {"edit", {"-n", "edit", "m/a.flac"}, 0, "m/a.flac\n-- title: Intro\n+- title: Edited\n", ""},
	    {"JSON", {"-n", "-F", "json", "set:title=X", "m/same.flac"}, 0,
		"m/same.flac\n-{\"file\":\"m/same.flac\",\"tags\":[{\"title\":\"Same\"}]}\n"
		"+{\"file\":\"m/same.flac\",\"tags\":[{\"title\":\"X\"}]}\n", ""},
	    {"rename asks nothing", {"-n", "rename:%artist - %title", "m/a.flac"}, 0,
		"would rename `m/a.flac' to `m/Band - Intro.flac'\n", ""},
	    {"rename into new directories with -p", {"-n", "-p", "rename:" + (dir / "lib/%artist/%02tracknumber %title"),
		"m/a.flac"}, 0, "would rename `m/a.flac' to `" + (dir / "lib/Band/03 Intro.flac") + "'\n", ""},
	    {"a change and a rename", {"-n", "set:title=New", "rename:%title", "m/same.flac"}, 0,
		"would rename `m/same.flac' to `m/New.flac'\nm/same.flac\n-- title: Same\n+- title: New\n", ""},
	    // The refusals of a real run.
	    {"rename without -p into a missing directory", {"-n", "rename:x/%title", "m/a.flac"}, 1, "",
		"wembrix: `m/x' (forgot -p ?): No such file or directory\n"},
	    {"rename onto an existing file", {"-n", "rename:same", "m/a.flac"}, 1, "",
		"wembrix: m/same.flac: File exists\n"},
	    {"a missing tag in the pattern", {"-n", "rename:%album", "m/same.flac"}, 0,
		"would rename `m/same.flac' to `m/album.flac'\n",
		"wembrix: m/same.flac: no `album' tag; the rename pattern uses its name\n"},
	    {"a file that cannot be read", {"-n", "set:a=b", "new.yml", "m/same.flac"}, 1,
		"m/same.flac\n+- a: b\n", "wembrix: new.yml: unsupported file format\n"},
	};
	const auto before = snapshot(dir.path());
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const wt::run_result r = run(c.args);
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, c.err);
		EXPECT_TRUE(snapshot(dir.path()) == before) << "the tree changed";
	}
}
