#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_flacbytes.h"
#include "w_oggsupport.h"
#include "w_preview.h"
#include "w_tagproof.h"
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
		// A PNG of one pixel.
		static const char png[] = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\x08\x06\0\0\0\x1f\x15\xc4\x89"
					  "\0\0\0\nIDATx\x9c\x63\0\1\0\0\x05\0\1\r\n-\xb4\0\0\0\0IEND\xae\x42\x60\x82";
		static_assert(sizeof png - 1 == 67);
		wt::write_file(dir / "cover.png", std::string(png, sizeof png - 1));
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
	    // The backend's own view of the file changes with the rehearsal:
	    // what the file held is taken before it.
	    {"a picture import with a change of tags", {"-n", "set:title=Same", "import-picture:" + (dir / "cover.png"),
		"m/same.flac", "m/b.ogg", "m/c.mp3"}, 0,
		"m/same.flac: pictures\n+1\tfront cover\timage/png\t1x1\t67\t\n"
		"m/b.ogg\n-- title: Song\n+- title: Same\nm/b.ogg: pictures\n+1\tfront cover\timage/png\t1x1\t67\t\n"
		"m/c.mp3\n-- title: Tune\n+- title: Same\nm/c.mp3: pictures\n+1\tfront cover\timage/png\t1x1\t67\t\n",
		""},
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

namespace {

// The files of the refusal table, made once: odd ones a write refuses and
// plain ones it takes.
void
make_refusal_fixtures(const std::string &src)
{
	// A second STREAMINFO block: libFLAC reads the file, a write refuses it.
	wt::make_flac(src + "/plain.flac", {"TITLE=Intro"});
	std::optional<wt::flac_layout> l = wt::flac_split(wt::read_file(src + "/plain.flac"));
	ASSERT_TRUE(l.has_value());
	l->blocks.push_back(l->blocks[0]);
	wt::write_file(src + "/odd.flac", wt::flac_join(*l));

	// Ogg/Vorbis files only a rewrite through a copy refuses: a second
	// stream that begins inside the first one's audio, and pages numbered
	// up to the largest there is.
	wt::vorbis_options o;
	o.samples = 8820;
	o.page_per_packet = true;
	const std::string base = wt::vorbis_bytes({"ARTIST=Old"}, o);
	o.serial = 7;
	const std::vector<wt::ogg_page_copy> pages = wt::ogg_pages(base),
					     other = wt::ogg_pages(wt::vorbis_bytes({"ARTIST=Other"}, o));
	std::string mux;
	for (std::size_t i = 0; i < pages.size(); i++)
		mux += pages[i].bytes + (i >= 4 && i - 4 < other.size() ? other[i - 4].bytes : "");
	wt::write_file(src + "/mux.ogg", mux);
	std::string top = base;
	wt::ogg_set_pageno(top, pages.back().offset, 0xffffffff);
	wt::write_file(src + "/top.ogg", top);

	// An MP4 file with an item TagLib cannot read, which a rewrite would
	// lose, and a plain one.
	wt::tmpdir made;
	ASSERT_EQ(rename(wt::proof_file(made, "m4a-nul-item", ".m4a").c_str(), (src + "/nul.m4a").c_str()), 0);
	ASSERT_EQ(rename((made / "plain.m4a").c_str(), (src + "/plain.m4a").c_str()), 0);
	wt::make_mp3(src + "/plain.mp3", {"--tt", "Tune", "--id3v2-only"});

	// A FLAC file with a front cover, and a name an export would take.
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:s=4x2", "-frames:v", "1",
			  made / "front.png"})
		      .status,
	    0);
	wt::make_flac(src + "/cover.flac", {"TITLE=Covered"});
	ASSERT_EQ(wt::run({"metaflac", "--import-picture-from=3||||" + (made / "front.png"), src + "/cover.flac"})
		      .status,
	    0);
	wt::write_file(src + "/taken.png", "x");

	// A directory its user may not write, for a file that must be copied.
	ASSERT_EQ(mkdir((src + "/ro").c_str(), 0755), 0);
	wt::make_flac(src + "/ro/a.flac", {"TITLE=Intro"});
}

} // namespace

// What only a write finds out, a preview finds out too: the same messages
// and exit status as the real run, the change of a refused file not shown,
// and not a byte or a time of the tree changed.
TEST(PreviewRefusals, TheSameAsTheRealRun)
{
	const bool root = geteuid() == 0;
	const bool as_nobody = !root || wt::run({"setpriv", "--version"}).status == 0;
	wt::tmpdir top;
	ASSERT_EQ(chmod(top.path().c_str(), 0755), 0);
	const std::string src = top / "src";
	ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
	make_refusal_fixtures(src);
	const std::string big(20000, 'x');
	const struct {
		const char *name;
		std::vector<std::string> args;
		int status;
		std::string says; // part of what the real run says
		bool nobody = false; // run as a user without privileges
	} cases[] = {
	    {"FLAC metadata that cannot be rewritten", {"set:title=X", "odd.flac"}, 1,
		"odd.flac: inconsistent FLAC metadata, not written: block 4 is a second STREAMINFO"},
	    {"the same, among files that are written", {"set:title=X", "plain.flac", "odd.flac", "plain.mp3"}, 1,
		"odd.flac: could not write tags to the file,"},
	    {"an Ogg copy that meets a second stream", {"set:title=" + big, "mux.ogg"}, 1,
		"mux.ogg: not written: a page of another stream comes before this one ends (interleaved streams)"},
	    {"an Ogg copy whose page numbers would overflow", {"set:comment=" + std::string(70000, 'c'), "top.ogg"}, 1,
		"top.ogg: not written: its page numbers would run past the largest there is"},
	    {"an MP4 rewrite that would lose an item", {"set:artist=X", "nul.m4a"}, 1,
		"nul.m4a: rewriting the tag would lose items \\0\\0\\0\\0; not written"},
	    {"an MP4 value the file cannot hold", {"--all-tags", "set:compilation=yes", "plain.m4a"}, 1,
		"plain.m4a: cannot hold compilation=yes (only 0 or 1); not written"},
	    {"a number the field cannot hold, warned of, the rest written", {"set:year=abc", "set:title=New",
		"plain.mp3"}, 0, "invalid unsigned int argument for year: abc"},
	    {"a change and a rename, the change refused", {"set:title=X", "rename:%title", "odd.flac"}, 1,
		"odd.flac: could not write tags to the file,"},
	    {"a picture exported under a name that is taken", {"export-picture:taken", "cover.flac"}, 1,
		"taken.png: File exists"},
	    {"a picture exported", {"export-picture:cover", "cover.flac"}, 0, ""},
	    {"a copy in a directory its user may not write", {"set:title=" + big, "ro/a.flac"}, 1,
		"ro/a.flac: Permission denied", true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		if (c.nobody && !as_nobody)
			continue;
		std::map<std::string, wt::run_result> said;
		for (const char *how : {"real", "dry"}) {
			const std::string dir = top / how;
			ASSERT_EQ(wt::run({"rm", "-rf", dir}).status, 0);
			ASSERT_EQ(wt::run({"cp", "-a", src, dir}).status, 0);
			std::vector<std::string> argv = {WEMBRIX_BIN};
			if (std::string(how) == "dry")
				argv.push_back("-n");
			argv.insert(argv.end(), c.args.begin(), c.args.end());
			if (c.nobody) {
				ASSERT_EQ(wt::run({"chmod", "-R", "a+rwX", dir}).status, 0);
				ASSERT_EQ(chmod((dir + "/ro").c_str(), 0555), 0);
				if (root)
					argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534",
					    "--clear-groups"});
			}
			const auto before = snapshot(dir);
			said[how] = wt::run(argv, {.input = std::nullopt, .env = {}, .cwd = dir});
			if (std::string(how) == "dry") {
				EXPECT_TRUE(snapshot(dir) == before) << "the tree changed";
			}
			chmod((dir + "/ro").c_str(), 0755);
		}
		const wt::run_result &real = said["real"], &dry = said["dry"];
		EXPECT_EQ(real.status, c.status) << real.err;
		EXPECT_NE(real.err.find(c.says), std::string::npos) << real.err;
		EXPECT_EQ(dry.status, real.status);
		EXPECT_EQ(dry.err, real.err);
		// A file a write would refuse shows no change.
		EXPECT_EQ(dry.out.find("odd.flac\n"), std::string::npos) << dry.out;
	}
}
