// Replacing a file through a copy: what the directory holds before, during
// and after, on file systems with and without O_TMPFILE, and what a signal
// or a failure leaves behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "w_inprocess.h"
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

// song.ogg in dir, holding "old".
std::string
old_song(const wt::tmpdir &dir)
{
	const std::string song = dir / "song.ogg";
	wt::write_file(song, "old");
	return song;
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
		const std::string song = old_song(dir);
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
			const std::string song = old_song(dir);
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
		// 0: the copy is abandoned without a commit; -1: the program
		// exits in the middle, where no destructor runs.
		int sig;
		fs kind;
	} cases[] = {
	    {0, fs::unnamed}, {0, fs::named}, {-1, fs::unnamed}, {-1, fs::named},
	    {SIGINT, fs::unnamed}, {SIGTERM, fs::unnamed}, {SIGHUP, fs::unnamed},
	    {SIGPIPE, fs::unnamed}, {SIGKILL, fs::unnamed},
	    {SIGINT, fs::named}, {SIGTERM, fs::named}, {SIGHUP, fs::named}, {SIGPIPE, fs::named},
	    // A named copy cannot outlive a kill -9: nothing runs.
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(fs_name(c.kind)) + ", signal " + std::to_string(c.sig));
		wt::tmpdir dir;
		const std::string song = old_song(dir);
		auto r = in_child(c.kind, [&] {
			// As a shell starts the program.
			signal(SIGPIPE, SIG_DFL);
			w_tempfile tmp;
			if (tmp.create(song) == -1)
				return 100;
			std::fputs("half of the new", tmp.stream());
			std::fflush(tmp.stream());
			if (c.sig == -1)
				std::exit(0);
			if (c.sig != 0)
				raise(c.sig);
			return 0;
		});
		EXPECT_EQ(r.status, c.sig <= 0 ? 0 : 128 + c.sig) << r.err;
		EXPECT_EQ(dir.list(), names{"song.ogg"});
		EXPECT_EQ(wt::read_file(song), "old");
	}
}

TEST(Tempfile, IgnoredSignalStaysIgnored)
{
	wt::tmpdir dir;
	const std::string song = old_song(dir);
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

namespace {

// song0.ogg, song1.ogg, ... holding "old" in dir.
std::vector<std::string>
songs(const wt::tmpdir &dir, std::size_t n)
{
	std::vector<std::string> paths;
	for (std::size_t i = 0; i < n; i++) {
		paths.push_back(dir / ("song" + std::to_string(i) + ".ogg"));
		wt::write_file(paths.back(), "old");
	}
	return paths;
}

// Commits "new" to each path in turn, as the front end does, labelled by
// the file's own name; 0, or the number of the first that failed plus 1.
int
commit_each(const std::vector<std::string> &paths)
{
	for (std::size_t i = 0; i < paths.size(); i++) {
		w_safefile_label(paths[i].c_str());
		if (replace(paths[i], "new") != 0)
			return static_cast<int>(i) + 1;
	}
	return 0;
}

std::string
contents(const std::vector<std::string> &paths)
{
	std::string all;
	for (const auto &p : paths)
		all += wt::read_file(p) + " ";
	return all;
}

} // namespace

TEST(Group, CopiesWaitForTheirGroupAndNoLonger)
{
	for (fs kind : {fs::unnamed, fs::named}) {
		SCOPED_TRACE(fs_name(kind));
		wt::tmpdir dir;
		auto paths = songs(dir, 2 + w_safefile_group_files + 1);
		const std::string all_old = contents(paths);
		auto r = in_child(kind, [&] {
			w_safefile_defer();
			std::vector<std::string> first(paths.begin(), paths.begin() + 2);
			if (commit_each(first) != 0)
				return 1;
			// Committed, not yet in place.
			if (contents(paths) != all_old)
				return 2;
			if (w_safefile_flush() != 0)
				return 3;
			if (wt::read_file(paths[1]) != "new" || wt::read_file(paths[2]) != "old")
				return 4;
			// A full group ends by itself; the next copy waits again.
			std::vector<std::string> rest(paths.begin() + 2, paths.end());
			if (commit_each(rest) != 0)
				return 5;
			if (wt::read_file(paths[paths.size() - 2]) != "new" ||
			    wt::read_file(paths.back()) != "old")
				return 6;
			// The end of the program ends the last group.
			std::exit(0);
		});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		for (const auto &p : paths)
			EXPECT_EQ(wt::read_file(p), "new") << p;
		EXPECT_EQ(dir.list().size(), paths.size());
	}
}

TEST(Group, FewDescriptorsStillReplaceEveryFile)
{
	wt::tmpdir dir;
	auto paths = songs(dir, 40);
	auto r = in_child(fs::unnamed, [&] {
		// Not enough for a group of copies held open.
		struct rlimit few = {32, 32};
		if (setrlimit(RLIMIT_NOFILE, &few) == -1)
			return 100;
		w_safefile_defer();
		const int failed = commit_each(paths);
		return failed != 0 ? failed : w_safefile_flush() == 0 ? 0 : 101;
	});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(contents(paths).find("old"), std::string::npos);
}

TEST(Group, AFileMetAgainEndsTheGroup)
{
	for (const char *other : {"song0.ogg", "hard.ogg", "soft.ogg"}) {
		SCOPED_TRACE(other);
		wt::tmpdir dir;
		auto paths = songs(dir, 2);
		ASSERT_EQ(link(paths[0].c_str(), (dir / "hard.ogg").c_str()), 0);
		ASSERT_EQ(symlink("song0.ogg", (dir / "soft.ogg").c_str()), 0);
		auto r = in_child(fs::unnamed, [&] {
			w_safefile_defer();
			if (commit_each({paths[0]}) != 0)
				return 1;
			// Another file does not end the group.
			w_safefile_settle(paths[1].c_str());
			if (wt::read_file(paths[0]) != "old")
				return 2;
			w_safefile_settle((dir / other).c_str());
			return wt::read_file(paths[0]) == "new" ? 0 : 3;
		});
		EXPECT_EQ(r.status, 0) << r.err;
	}
}

TEST(Group, FailuresAreReportedPerFile)
{
	// The copy of song1 cannot take its name: it became a directory.
	auto break_second = [](const std::vector<std::string> &paths) {
		unlink(paths[1].c_str());
		mkdir(paths[1].c_str(), 0755);
	};
	struct {
		const char *what;
		std::vector<wt::denial> denied;
		bool second_only;
		std::string reason;
	} cases[] = {
	    {"one rename fails", {}, true, "Is a directory"},
	    {"writing fails", {{SYS_sync_file_range, EIO}}, false, "Input/output error"},
	    {"the file system's flush fails", {{SYS_syncfs, EIO}}, false, "Input/output error"},
	    // A file system not known to make all its files durable at once
	    // (here: not known at all) gets an fsync per file.
	    {"a file's fsync fails", {{SYS_fstatfs, ENOSYS}, {SYS_fsync, EIO}}, false,
		"Input/output error"},
	};
	for (fs kind : {fs::unnamed, fs::named}) {
		for (const auto &c : cases) {
			SCOPED_TRACE(std::string(fs_name(kind)) + ", " + c.what);
			wt::tmpdir dir;
			auto paths = songs(dir, 3);
			auto r = in_child(kind, [&] {
				w_safefile_defer();
				if (commit_each(paths) != 0)
					return 100;
				if (c.second_only)
					break_second(paths);
				// The current file is the last: its failure is the
				// flush's result, earlier ones are only reported.
				const int last_failed = w_safefile_flush() == -1 ? 1 : 0;
				return static_cast<int>(w_safefile_failures()) * 10 + last_failed;
			}, c.denied);
			std::string expected;
			for (std::size_t i = 0; i < paths.size(); i++) {
				if (c.second_only && i != 1) {
					EXPECT_EQ(wt::read_file(paths[i]), "new");
					continue;
				}
				if (!c.second_only) {
					EXPECT_EQ(wt::read_file(paths[i]), "old");
				}
				expected += paths[i] + ": " + c.reason + "\n" + paths[i] +
				    ": could not write tags to the file,\n";
			}
			EXPECT_EQ(r.status, c.second_only ? 10 : 31);
			EXPECT_EQ(wt::messages(r.err), wt::messages(expected));
			EXPECT_EQ(dir.list().size(), paths.size());
		}
	}
}

TEST(Group, InterruptedGroupLeavesOldFilesAndNoCopy)
{
	struct {
		int sig;
		fs kind;
	} cases[] = {
	    {SIGINT, fs::unnamed}, {SIGTERM, fs::unnamed}, {SIGKILL, fs::unnamed},
	    {SIGINT, fs::named}, {SIGTERM, fs::named}, {SIGHUP, fs::named},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(fs_name(c.kind)) + ", signal " + std::to_string(c.sig));
		wt::tmpdir dir;
		auto paths = songs(dir, 3);
		auto r = in_child(c.kind, [&] {
			w_safefile_defer();
			if (commit_each(paths) != 0)
				return 100;
			raise(c.sig);
			return 101;
		});
		EXPECT_EQ(r.status, 128 + c.sig) << r.err;
		EXPECT_EQ(contents(paths), "old old old ");
		EXPECT_EQ(dir.list(), (names{"song0.ogg", "song1.ogg", "song2.ogg"}));
	}
}

TEST(Group, AFileChangedMeanwhileIsLeftAsTheOtherProgramMadeIt)
{
	// What another program does to song1 between our read and our rename.
	struct {
		const char *what;
		std::function<void(const std::string &)> change;
	} cases[] = {
	    {"replaced by another file", [](const std::string &p) {
		     wt::write_file(p + ".new", "theirs");
		     ASSERT_EQ(rename((p + ".new").c_str(), p.c_str()), 0);
	     }},
	    {"rewritten in place", [](const std::string &p) { wt::write_file(p, "theirs"); }},
	    // Same size, modification time put back: only the change time moves.
	    {"mode changed", [](const std::string &p) { ASSERT_EQ(chmod(p.c_str(), 0600), 0); }},
	};
	for (bool grouped : {false, true}) {
		for (const auto &c : cases) {
			SCOPED_TRACE(std::string(grouped ? "grouped, " : "at once, ") + c.what);
			wt::tmpdir dir;
			auto paths = songs(dir, 3);
			const std::string before = wt::read_file(paths[1]);
			auto r = in_child(fs::unnamed, [&] {
				if (grouped)
					w_safefile_defer();
				int failed = 0;
				for (const auto &p : paths) {
					w_safefile_label(p.c_str());
					w_fileid id;
					if (w_fileid_take(p.c_str(), id) == -1)
						return 100;
					w_tempfile tmp;
					if (tmp.create(p) == -1)
						return 101;
					tmp.expect(id);
					std::fputs("new", tmp.stream());
					if (!grouped && p == paths[1])
						c.change(p);
					if (tmp.commit() == -1)
						failed += errno == ESTALE ? 1 : 50;
				}
				if (grouped)
					c.change(paths[1]);
				const int flushed = grouped ? w_safefile_flush() : 0;
				return failed * 10 + static_cast<int>(w_safefile_failures()) +
				    (flushed == -1 ? 5 : 0);
			});
			// At once the caller hears of it; in a group, the group reports it.
			EXPECT_EQ(r.status, grouped ? 1 : 10) << r.err;
			EXPECT_EQ(wt::messages(r.err),
			    wt::messages(grouped ? paths[1] + ": changed since its tags were read; not written\n" : ""));
			EXPECT_EQ(wt::read_file(paths[0]), "new");
			EXPECT_NE(wt::read_file(paths[1]), "new");
			if (std::string(c.what) != "mode changed")
				EXPECT_EQ(wt::read_file(paths[1]), "theirs");
			else
				EXPECT_EQ(wt::read_file(paths[1]), before);
			EXPECT_EQ(wt::read_file(paths[2]), "new");
			EXPECT_EQ(dir.list().size(), paths.size());
		}
	}
}

/*
 * Stands in for the C library's fsetxattr (the test program exports its
 * symbols): an attribute of this name cannot be set, as on a disk short of
 * room for it.  Every other call goes through.
 */
extern "C" int
fsetxattr(int fd, const char *name, const void *value, size_t size, int flags)
{
	if (std::strcmp(name, "user.wembrix-refused") == 0) {
		errno = ENOSPC;
		return -1;
	}
	using fn = int (*)(int, const char *, const void *, size_t, int);
	static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "fsetxattr"));
	return real(fd, name, value, size, flags);
}

namespace {

// What getfacl shows of the file (without the header), "" when it fails.
std::string
acl_of(const std::string &path)
{
	wt::run_result r = wt::run({"getfacl", "-c", "-p", path});
	return r.status == 0 ? r.out : "";
}

// The file's extended attributes, all namespaces, as getfattr dumps them.
std::string
xattrs_of(const std::string &path)
{
	wt::run_result r = wt::run({"getfattr", "-d", "-m", "-", "--absolute-names", path});
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

} // namespace

// The copy takes the old file's ACL and extended attributes with it, but for
// the security ones; one that cannot go with it fails the copy, which leaves
// nothing behind.
TEST(Tempfile, CarriesOverACLAndAttributes)
{
	{
		wt::tmpdir probe;
		const std::string f = old_song(probe);
		if (setxattr(f.c_str(), "user.probe", "1", 1, 0) == -1)
			GTEST_SKIP() << "the file system of " << probe.path()
				     << " holds no user attributes: " << std::strerror(errno);
		if (wt::run({"setfacl", "-m", "u:nobody:rw", f}).status != 0)
			GTEST_SKIP() << "the file system of " << probe.path() << " holds no ACLs";
	}
	struct {
		const char *what;
		std::vector<wt::denial> denied;
		const char *refused; // an attribute that cannot be set, or null
		std::string message; // with PATH for the file
	} cases[] = {
	    {"all carried over", {}, nullptr, ""},
	    {"an attribute cannot be set", {}, "user.wembrix-refused",
		"setting attribute user.wembrix-refused for PATH: No space left on device\n"},
	    {"no ACL can be set", {{SYS_fsetxattr, EIO}}, nullptr,
		"preserving permissions for PATH: Input/output error\n"},
	};
	for (fs kind : {fs::unnamed, fs::named}) {
		for (const auto &c : cases) {
			SCOPED_TRACE(std::string(fs_name(kind)) + ", " + c.what);
			wt::tmpdir dir;
			const std::string song = old_song(dir);
			ASSERT_EQ(wt::run({"setfacl", "-m", "u:nobody:rw,g:daemon:r", song}).status, 0);
			ASSERT_EQ(wt::run({"setfattr", "-n", "user.origin", "-v", "CD 1", song}).status, 0);
			if (c.refused != nullptr) {
				ASSERT_EQ(setxattr(song.c_str(), c.refused, "x", 1, 0), 0);
			}
			// Only root may set a security attribute where no security
			// module takes it for its own.
			const bool labelled = setxattr(song.c_str(), "security.wembrix", "x", 1, 0) == 0;
			const std::string acl = acl_of(song);
			const std::string attrs = xattrs_of(song);
			ASSERT_NE(acl.find("user:nobody:rw-"), std::string::npos) << acl;

			auto r = in_child(kind, [&] {
				w_tempfile tmp;
				if (tmp.create(song) == -1)
					return errno == 0 ? 100 : 1;
				std::fputs("new", tmp.stream());
				return tmp.commit() == 0 ? 0 : 101;
			}, c.denied);
			EXPECT_EQ(dir.list(), names{"song.ogg"});
			if (c.message.empty()) {
				EXPECT_EQ(r.status, 0) << r.err;
				EXPECT_EQ(wt::read_file(song), "new");
				EXPECT_EQ(acl_of(song), acl);
				std::string expected = attrs;
				if (labelled) {
					const std::string line = "security.wembrix=\"x\"\n";
					ASSERT_NE(expected.find(line), std::string::npos) << attrs;
					expected.erase(expected.find(line), line.size());
				}
				EXPECT_EQ(xattrs_of(song), expected);
			} else {
				std::string message = c.message;
				message.replace(message.find("PATH"), 4, song);
				EXPECT_EQ(r.status, 1);
				EXPECT_EQ(wt::messages(r.err), wt::messages(message));
				EXPECT_EQ(wt::read_file(song), "old");
				EXPECT_EQ(acl_of(song), acl);
				EXPECT_EQ(xattrs_of(song), attrs);
			}
		}
	}
}

// A writer that wrote a file through a copy and writes it again expects the
// copy, which the rename that gave it its name changed: that is no change
// by another program, but one made after it still is.
TEST(Tempfile, ACopyOfOursIsTheFileAfterwards)
{
	for (bool grouped : {false, true}) {
		for (bool changed : {false, true}) {
			SCOPED_TRACE(std::string(grouped ? "grouped" : "at once") +
			    (changed ? ", changed after" : ", untouched"));
			wt::tmpdir dir;
			const std::string song = old_song(dir);
			auto r = in_child(fs::unnamed, [&] {
				if (grouped)
					w_safefile_defer();
				w_safefile_label(song.c_str());
				w_fileid id;
				if (w_fileid_take(song.c_str(), id) == -1)
					return 100;
				{
					w_tempfile tmp;
					if (tmp.create(song) == -1)
						return 101;
					tmp.expect(id);
					std::fputs("first", tmp.stream());
					if (tmp.commit() == -1)
						return 102;
					id = tmp.identity();
				}
				if (grouped && w_safefile_flush() == -1)
					return 103;
				if (changed)
					wt::write_file(song, "theirs");
				if (w_fileid_check(song.c_str(), id) == -1)
					return errno == ESTALE ? 1 : 104;
				w_tempfile tmp;
				if (tmp.create(song) == -1)
					return 105;
				tmp.expect(id);
				std::fputs("second", tmp.stream());
				if (tmp.commit() == -1 || (grouped && w_safefile_flush() == -1))
					return 106;
				return 0;
			});
			EXPECT_EQ(r.status, changed ? 1 : 0) << r.err;
			EXPECT_EQ(wt::read_file(song), changed ? "theirs" : "second");
			EXPECT_EQ(dir.list(), names{"song.ogg"});
		}
	}
}
