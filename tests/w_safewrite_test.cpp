/* Every writer, end to end: a file that another program changed after its
 * tags were read is left as that program made it, and a file replaced by a
 * copy keeps its ACL and extended attributes. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "w_inprocess.h"
#include "w_oggsupport.h"
#include "w_safefile.h"
#include "w_tagsupport.h"
#include "w_tagtools.h"
#include "w_testsupport.h"
#include "w_tune.h"

namespace {

using names = std::vector<std::string>;

// The value of the first NAME=value line for name, in any case.
std::string
value_of(const std::string &lines, const std::string &name)
{
	const std::string key = name + "=";
	for (std::size_t at = 0; at < lines.size();) {
		std::size_t nl = lines.find('\n', at);
		if (nl == std::string::npos)
			nl = lines.size();
		if (strncasecmp(lines.c_str() + at, key.c_str(), key.size()) == 0)
			return lines.substr(at + key.size(), nl - at - key.size());
		at = nl + 1;
	}
	return "(none)";
}

std::string
joined(const std::vector<std::string> &entries)
{
	std::string all;
	for (const std::string &e : entries)
		all += e + "\n";
	return all;
}

// A kind of music file made by a real encoder, and its tags as an
// independent tool reads them.
struct kind {
	const char *ext;
	std::function<void(const std::string &path, const std::string &title)> make;
	// NAME=value lines: TITLE, ARTIST and COMMENT among them.
	std::function<std::string(const std::string &path)> tags;
	// Another tagger writing into the file where it stands (same inode),
	// its tag growing by 3000 bytes: a shell command for the file $F.
	const char *rewrite;
	// A value too long for the room the file has: it goes through a copy.
	std::size_t too_long;
};

const kind flac = {
    "flac",
    [](const std::string &path, const std::string &title) {
	    wt::make_flac(path, {"TITLE=" + title});
    },
    [](const std::string &path) { return joined(wt::metaflac_tags(path)); },
    // Within the padding, metaflac writes in place.
    "metaflac --set-tag=COMMENT=$(head -c 3000 /dev/zero | tr '\\0' c) \"$F\"",
    9000,
};

const kind mp3 = {
    "mp3",
    [](const std::string &path, const std::string &title) {
	    wt::make_mp3(path, {"--tt", title, "--add-id3v2"});
	    // mutagen leaves room in the tag: a short change fits in place.
	    ASSERT_EQ(wt::run({"mid3v2", "-a", "An artist name long enough to leave room", path}).status, 0);
    },
    [](const std::string &path) {
	    wt::run_result r = wt::run({"/usr/bin/python3", "-c",
		"import sys\n"
		"from mutagen.id3 import ID3\n"
		"t = ID3(sys.argv[1])\n"
		"for k, f in (('TITLE', 'TIT2'), ('ARTIST', 'TPE1')):\n"
		"    if f in t: print(k + '=' + str(t[f]))\n"
		"for c in t.getall('COMM'): print('COMMENT=' + str(c))\n",
		path});
	    EXPECT_EQ(r.status, 0) << r.err;
	    return r.out;
    },
    // mutagen grows a tag in the file itself.
    "mid3v2 -c \"$(head -c 3000 /dev/zero | tr '\\0' c)\" \"$F\"",
    3000,
};

ino_t
inode_of(const std::string &path)
{
	struct stat st;
	EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
	return st.st_ino;
}

// What another program does to a file between our read and our write.
enum class meddling { replaced, rewritten };

const char *
meddling_name(meddling m)
{
	return m == meddling::replaced ? "replaced by mv" : "rewritten in place";
}

// The shell command that does it to the file $F (a replacement comes from
// other.EXT beside it), then keeps what the file holds in $F.theirs.
std::string
meddle_command(meddling m, const kind &k)
{
	const std::string ext = k.ext;
	const std::string change = m == meddling::rewritten
	    ? std::string(k.rewrite)
	    : "cp \"$(dirname \"$F\")/other." + ext + "\" \"$F.new\" && mv \"$F.new\" \"$F\"";
	return change + " && cp \"$F\" \"$F.theirs\"";
}

void
meddle(meddling m, const kind &k, const std::string &path)
{
	wt::run_options opt;
	opt.env["F"] = path;
	wt::run_result r = wt::run({"sh", "-c", meddle_command(m, k)}, opt);
	ASSERT_EQ(r.status, 0) << r.err;
}

} // namespace

// edit waits on the user; meanwhile another program changes the first
// file.  Neither our short title (written in place) nor our long one
// (through a copy) reaches it, and the second file is written as usual.
TEST(ChangedMeanwhile, EditLeavesTheFileAsTheOtherProgramMadeIt)
{
	for (const kind *k : {&flac, &mp3}) {
		for (meddling m : {meddling::replaced, meddling::rewritten}) {
			for (bool long_title : {false, true}) {
				const std::string ext = k->ext;
				SCOPED_TRACE(ext + ", " + meddling_name(m) +
				    (long_title ? ", through a copy" : ", in place"));
				const std::string ours = long_title ? std::string(k->too_long, 't') : "Ours";
				wt::tmpdir dir;
				const std::string a = "a." + ext, b = "b." + ext;
				k->make(dir / a, "Song");
				k->make(dir / b, "Song");
				k->make(dir / ("other." + ext), "Theirs");
				const ino_t a_inode = inode_of(dir / a);
				wt::write_file(dir / "ours.yml", "- title: " + ours + "\n");
				// The other program strikes while the first document is
				// being edited.
				wt::write_script(dir / "editor.sh",
				    "if [ ! -e meddled ]; then\n"
				    "  : > meddled\n"
				    "  F=" + a + "\n" +
				    meddle_command(m, *k) + " || exit 1\n"
				    "fi\n"
				    "cat ours.yml > \"$1\"\n");
				wt::run_options opt;
				opt.cwd = dir.path();
				opt.env["EDITOR"] = dir / "editor.sh";
				wt::run_result r = wt::wembrix({"edit", a, b}, opt);

				EXPECT_EQ(r.status, 1);
				// Said once, and nothing is said of b.
				EXPECT_EQ(r.err, "wembrix: " + a + ": changed since its tags were read; not written\n");
				// a is byte for byte what the other program left.
				EXPECT_TRUE(wt::read_file(dir / a) == wt::read_file(dir / (a + ".theirs")));
				if (m == meddling::rewritten) {
					EXPECT_EQ(inode_of(dir / a), a_inode);
				}
				EXPECT_TRUE(value_of(k->tags(dir / b), "TITLE") == ours);
				EXPECT_EQ(dir.list(), (names{a, a + ".theirs", b, "editor.sh", "meddled",
							   "other." + ext, "ours.yml"}));
			}
		}
	}
}

// A copy that waits for its group is checked when the group ends, not when
// it was written: the file changed in between keeps the other program's
// content, and the other files of the group are written.
TEST(ChangedMeanwhile, AGroupedCopyIsCheckedWhenItsGroupEnds)
{
	for (const kind *k : {&flac, &mp3}) {
		for (meddling m : {meddling::replaced, meddling::rewritten}) {
			const std::string ext = k->ext;
			SCOPED_TRACE(ext + ", " + meddling_name(m));
			wt::tmpdir dir;
			const std::vector<std::string> paths = {dir / ("a." + ext), dir / ("b." + ext),
			    dir / ("c." + ext)};
			for (const std::string &p : paths)
				k->make(p, "Song");
			k->make(dir / ("other." + ext), "Theirs");
			const std::string ours(k->too_long, 't');
			auto r = wt::run_denying({}, [&] {
				w_safefile_defer();
				for (const std::string &p : paths) {
					w_safefile_label(p.c_str());
					w_tune_ptr tune(w_tune_new(p.c_str()));
					w_taglist_ptr tags(w_taglist_new());
					if (!tune || !tags || w_taglist_insert(tags.get(), "title", ours.c_str()) == -1 ||
					    w_tune_set_tags(tune.get(), tags.get()) == -1 || w_tune_save(tune.get()) == -1)
						return 100;
					// b's copy is written and waits; then b changes.
					if (p == paths[1])
						meddle(m, *k, p);
				}
				if (w_safefile_flush() == -1)
					return 101;
				return static_cast<int>(w_safefile_failures());
			});
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(wt::messages(r.err),
			    wt::messages(paths[1] + ": changed since its tags were read; not written\n"));
			EXPECT_TRUE(wt::read_file(paths[1]) == wt::read_file(paths[1] + ".theirs"));
			EXPECT_TRUE(value_of(k->tags(paths[0]), "TITLE") == ours);
			EXPECT_TRUE(value_of(k->tags(paths[2]), "TITLE") == ours);
			EXPECT_EQ(dir.list().size(), 5u);
		}
	}
}

// Our own write is no change by another program: a rename saves the tags
// before it asks, and when the answer is no the file is saved again, in
// place or through a copy, after either kind of first write.
TEST(ChangedMeanwhile, OurOwnWritesDoNotCount)
{
	for (const kind *k : {&flac, &mp3}) {
		for (bool copy : {false, true}) {
			const std::string ext = k->ext;
			SCOPED_TRACE(ext + (copy ? ", first through a copy" : ", first in place"));
			wt::tmpdir dir;
			const std::string f = dir / ("f." + ext);
			k->make(f, "Song");
			const std::string comment = copy ? std::string(k->too_long, 'c') : "short";
			const ino_t before = inode_of(f);
			wt::run_result r = wt::wembrix({"-N", "set:title=Ours", "set:comment=" + comment,
			    "rename:%title", "set:artist=Later", f});
			EXPECT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(r.err, "");
			const std::string tags = k->tags(f);
			EXPECT_EQ(value_of(tags, "TITLE"), "Ours");
			EXPECT_TRUE(value_of(tags, "COMMENT") == comment);
			EXPECT_EQ(value_of(tags, "ARTIST"), "Later");
			EXPECT_EQ(inode_of(f) != before, copy);
			EXPECT_EQ(dir.list(), names{"f." + ext});
		}
	}
}

namespace {

// What getfacl shows of the file, without its header.
std::string
acl_of(const std::string &path)
{
	wt::run_result r = wt::run({"getfacl", "-c", "-p", path});
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

// The file's extended attributes in every namespace, as getfattr dumps them.
std::string
xattrs_of(const std::string &path)
{
	wt::run_result r = wt::run({"getfattr", "-d", "-m", "-", "--absolute-names", path});
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

// Why the file system of dir cannot hold what the test needs, or "".
std::string
without_acls_or_xattrs(const wt::tmpdir &dir)
{
	const std::string f = dir / "probe";
	wt::write_file(f, "");
	std::string why;
	if (setxattr(f.c_str(), "user.probe", "1", 1, 0) == -1)
		why = std::string("no user attributes: ") + std::strerror(errno);
	else if (wt::run({"setfacl", "-m", "u:nobody:rw", f}).status != 0)
		why = "no ACLs";
	unlink(f.c_str());
	return why.empty() ? "" : "the file system of " + dir.path() + " holds " + why;
}

} // namespace

// Whatever the writer and the way it writes, the file keeps its ACL and
// its own attributes.  A copy is a new file: the security attributes are
// the system's to give, and another hard link keeps the old content; a
// write in place changes the file every link leads to.
TEST(CarriedOver, ACLAndAttributesSurviveEveryWrite)
{
	wt::tmpdir dir;
	if (const std::string why = without_acls_or_xattrs(dir); !why.empty())
		GTEST_SKIP() << why;
	struct {
		const char *what;
		const char *file;
		std::function<void(const std::string &)> make;
		std::string action;
		bool copy;
	} cases[] = {
	    {"FLAC, in place", "f.flac", [](const std::string &p) { flac.make(p, "Song"); },
		"set:title=Ours", false},
	    {"FLAC, through a copy", "f.flac", [](const std::string &p) { flac.make(p, "Song"); },
		"set:comment=" + std::string(flac.too_long, 'c'), true},
	    {"TagLib, in place", "f.mp3", [](const std::string &p) { mp3.make(p, "Song"); },
		"set:title=Ours", false},
	    {"TagLib, through a copy", "f.mp3", [](const std::string &p) { mp3.make(p, "Song"); },
		"set:comment=" + std::string(mp3.too_long, 'c'), true},
	    {"Ogg/Vorbis", "f.ogg", [](const std::string &p) { wt::make_vorbis(p, {"TITLE=Song"}); },
		"set:artist=Q", true},
	    {"Ogg/Opus", "f.opus",
		[](const std::string &p) { wt::write_file(p, wt::opus_bytes({"TITLE=Song"})); },
		"set:artist=Q", false}, // in place: the packet's padding holds it
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		wt::tmpdir here;
		const std::string f = here / c.file;
		const std::string other_name = here / "other-name";
		c.make(f);
		ASSERT_EQ(wt::run({"setfacl", "-m", "u:nobody:rw,g:daemon:r", f}).status, 0);
		ASSERT_EQ(wt::run({"setfattr", "-n", "user.origin", "-v", "CD 1", f}).status, 0);
		// Root may set a security attribute where no security module
		// claims it.
		const bool labelled = setxattr(f.c_str(), "security.wembrix", "x", 1, 0) == 0;
		ASSERT_EQ(link(f.c_str(), other_name.c_str()), 0);
		const std::string acl = acl_of(f), attrs = xattrs_of(f), old = wt::read_file(f);
		ASSERT_NE(acl.find("user:nobody:rw-"), std::string::npos) << acl;
		const ino_t before = inode_of(f);

		wt::run_result r = wt::wembrix({c.action, f});
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(inode_of(f) != before, c.copy);
		EXPECT_FALSE(wt::read_file(f) == old) << "not written";
		EXPECT_EQ(acl_of(f), acl);
		std::string expected = attrs;
		const std::string label = "security.wembrix=\"x\"\n";
		if (labelled && c.copy) {
			ASSERT_NE(expected.find(label), std::string::npos) << attrs;
			expected.erase(expected.find(label), label.size());
		}
		EXPECT_EQ(xattrs_of(f), expected);
		EXPECT_TRUE(wt::read_file(other_name) == (c.copy ? old : wt::read_file(f)));
		EXPECT_EQ(here.list().size(), 2u);
	}
}
