// Replacing a file through a copy: what the directory holds before, during
// and after, on file systems with and without O_TMPFILE, and what a signal
// or a failure leaves behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "w_inprocess.h"
#include "w_notmpfile.h"
#include "w_safefile.h"
#include "w_testsupport.h"

namespace {

using names = std::vector<std::string>;

// Where the copy lives while it is written.
enum class fs { unnamed, named };

const char *
fs_name(fs kind)
{
	return kind == fs::unnamed ? "with O_TMPFILE" : "without O_TMPFILE";
}

// Runs fn in a child process, on a file system without O_TMPFILE when
// kind says so, with the listed system calls failing.
wt::child_result
in_child(fs kind, const std::function<int()> &fn, const std::vector<wt::denial> &denied = {})
{
	return wt::run_denying(denied, [&] {
		if (kind == fs::named && !wt::deny_tmpfile())
			return 126;
		// Nothing may unwind into the test framework's copy in the child.
		try {
			return fn();
		} catch (...) {
			return 125;
		}
	});
}

// Writes text as the new content of target through a w_tempfile; the
// result of commit, or -2 when the copy could not be made.
int
replace(const std::string &target, const std::string &text)
{
	w_tempfile tmp;
	if (tmp.create(target) == -1)
		return -2;
	if (std::fputs(text.c_str(), tmp.stream()) == EOF)
		return -2;
	return tmp.commit();
}

bool
is_hidden_copy(const std::string &name)
{
	return name.rfind(".__", 0) == 0;
}

} // namespace

TEST(Tempfile, CopyIsNamedOnlyWhereItMustBe)
{
	for (fs kind : {fs::unnamed, fs::named}) {
		SCOPED_TRACE(fs_name(kind));
		wt::tmpdir dir;
		const std::string song = dir / "song.ogg";
		wt::write_file(song, "old");
		auto r = in_child(kind, [&] {
			w_tempfile tmp;
			if (tmp.create(song) == -1)
				return 1;
			std::fputs("new", tmp.stream());
			std::fflush(tmp.stream());
			names during = dir.list();
			// Unnamed: nothing but the song; named: one hidden copy,
			// the one path() gives.
			if (kind == fs::unnamed) {
				if (during != names{"song.ogg"} || !tmp.path().empty())
					return 2;
			} else {
				if (during.size() != 2 || !is_hidden_copy(during[0]) ||
				    tmp.path() != dir / during[0])
					return 3;
			}
			if (wt::read_file(song) != "old")
				return 4;
			return tmp.commit() == 0 ? 0 : 5;
		});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(wt::read_file(song), "new");
		EXPECT_EQ(dir.list(), names{"song.ogg"});
	}
}

TEST(Tempfile, KeepsModeOwnerAndLinks)
{
	for (fs kind : {fs::unnamed, fs::named}) {
		SCOPED_TRACE(fs_name(kind));
		wt::tmpdir dir;
		ASSERT_EQ(mkdir((dir / "store").c_str(), 0755), 0);
		const std::string real = dir / "store/song.flac";
		const std::string link = dir / "link.flac";
		wt::write_file(real, "old");
		ASSERT_EQ(chmod(real.c_str(), 0640), 0);
		// Another owner can only be given by root.
		const bool root = geteuid() == 0;
		if (root) {
			ASSERT_EQ(chown(real.c_str(), 1234, 5678), 0);
		}
		ASSERT_EQ(symlink("store/song.flac", link.c_str()), 0);

		auto r = in_child(kind, [&] { return replace(w_write_target(link.c_str()), "new"); });
		EXPECT_EQ(r.status, 0) << r.err;

		struct stat st;
		ASSERT_EQ(lstat(link.c_str(), &st), 0);
		EXPECT_TRUE(S_ISLNK(st.st_mode));
		ASSERT_EQ(stat(real.c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0640u);
		if (root) {
			EXPECT_EQ(st.st_uid, 1234u);
			EXPECT_EQ(st.st_gid, 5678u);
		}
		EXPECT_EQ(wt::read_file(link), "new");
		EXPECT_EQ(dir.list(), (names{"link.flac", "store"}));
		EXPECT_TRUE(wt::exists(real));
	}
}

TEST(Tempfile, FailuresLeaveTheFileAndNoCopy)
{
	struct {
		const char *what;
		std::vector<wt::denial> denied;
		// Done between create and commit.
		std::function<void(const std::string &song)> meanwhile;
		int error;
	} cases[] = {
	    {"the flush fails", {{SYS_fsync, EIO}}, nullptr, EIO},
	    {"the name became a directory", {},
		[](const std::string &song) {
			unlink(song.c_str());
			mkdir(song.c_str(), 0755);
		},
		EISDIR},
	};
	for (fs kind : {fs::unnamed, fs::named}) {
		for (const auto &c : cases) {
			SCOPED_TRACE(std::string(fs_name(kind)) + ", " + c.what);
			wt::tmpdir dir;
			const std::string song = dir / "song.ogg";
			wt::write_file(song, "old");
			auto r = in_child(kind, [&] {
				w_tempfile tmp;
				if (tmp.create(song) == -1)
					return 100;
				std::fputs("new", tmp.stream());
				if (c.meanwhile)
					c.meanwhile(song);
				if (tmp.commit() != -1)
					return 101;
				return errno;
			}, c.denied);
			EXPECT_EQ(r.status, c.error) << r.err;
			EXPECT_EQ(dir.list(), names{"song.ogg"});
			if (!c.meanwhile) {
				EXPECT_EQ(wt::read_file(song), "old");
			}
		}
	}
}

TEST(Tempfile, AbandonedOrInterruptedCopiesLeaveNothing)
{
	struct {
		int sig; // 0: the copy is abandoned without a commit
		fs kind;
	} cases[] = {
	    {0, fs::unnamed}, {0, fs::named},
	    {SIGINT, fs::unnamed}, {SIGTERM, fs::unnamed}, {SIGHUP, fs::unnamed},
	    {SIGPIPE, fs::unnamed}, {SIGKILL, fs::unnamed},
	    {SIGINT, fs::named}, {SIGTERM, fs::named}, {SIGHUP, fs::named}, {SIGPIPE, fs::named},
	    // A named copy cannot outlive a kill -9: nothing runs.
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(fs_name(c.kind)) + ", signal " + std::to_string(c.sig));
		wt::tmpdir dir;
		const std::string song = dir / "song.ogg";
		wt::write_file(song, "old");
		auto r = in_child(c.kind, [&] {
			// As a shell starts the program.
			signal(SIGPIPE, SIG_DFL);
			w_tempfile tmp;
			if (tmp.create(song) == -1)
				return 100;
			std::fputs("half of the new", tmp.stream());
			std::fflush(tmp.stream());
			if (c.sig != 0)
				raise(c.sig);
			return 0;
		});
		EXPECT_EQ(r.status, c.sig == 0 ? 0 : 128 + c.sig) << r.err;
		EXPECT_EQ(dir.list(), names{"song.ogg"});
		EXPECT_EQ(wt::read_file(song), "old");
	}
}

TEST(Tempfile, IgnoredSignalStaysIgnored)
{
	wt::tmpdir dir;
	const std::string song = dir / "song.ogg";
	wt::write_file(song, "old");
	auto r = in_child(fs::named, [&] {
		signal(SIGHUP, SIG_IGN); // nohup
		w_tempfile tmp;
		if (tmp.create(song) == -1)
			return 100;
		std::fputs("new", tmp.stream());
		raise(SIGHUP);
		return tmp.commit() == 0 ? 0 : 101;
	});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::read_file(song), "new");
	EXPECT_EQ(dir.list(), names{"song.ogg"});
}
