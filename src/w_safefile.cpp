#include "w_safefile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <new>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

#include "w_dirname.h"
#include "w_fileattr.h"
#include "w_tempname.h"
#include "w_toolkit.h"

namespace {

using namespace w_tempname;

// The copies committed but not yet in place, and what the program said
// about the file they belong to.
struct pending_group {
	bool deferred = false;
	std::vector<w_copy> copies; // never grows past the capacity reserved
	off_t bytes = 0;
	unsigned long owner = 0;
	std::string label;
	unsigned long failures = 0;
};
pending_group group;

// A rehearsal: no copy is made or put in place (w_safefile_rehearse).
bool rehearsal = false;

void
remember_placed(const w_copy &c) noexcept
{
	w_fileid placed;
	if (c.owner != group.owner || !c.made.known() || w_fileid_take(c.fd, placed) == -1)
		return;
	w_fileid_placed(c.made, placed);
}

/*
 * Puts a copy whose data is on the disk in place of its target.  A named
 * copy is renamed; an unnamed one first gets a hidden name, since link
 * cannot replace an existing name.  The caught signals wait meanwhile, so
 * that a name of ours never outlives the program (only a kill -9 between
 * link and rename can leave the hidden name).  0, or -1 with errno set and
 * no name of ours left.
 */
int
put_in_place(w_copy &c) noexcept
{
	signals_held held;
	if (w_fileid_check(c.target.c_str(), c.expect) == -1)
		return -1;
	if (c.slot == -1) {
		char proc[40];
		std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", c.fd);
		for (int tries = 0;; tries++) {
			randomize(c.name);
			if (linkat(AT_FDCWD, proc, AT_FDCWD, c.name.c_str(), AT_SYMLINK_FOLLOW) == 0)
				break;
			if (errno != EEXIST || tries == 100)
				return -1;
		}
	}
	if (std::rename(c.name.c_str(), c.target.c_str()) == -1) {
		const int saved = errno;
		(void)unlink(c.name.c_str());
		free_slot(c.slot);
		errno = saved;
		return -1;
	}
	free_slot(c.slot);
	remember_placed(c);
	return 0;
}

// Closes the copy; a named one that is still there is removed.
void
release(w_copy &c) noexcept
{
	if (c.fd != -1)
		(void)close(c.fd);
	c.fd = -1;
	if (c.slot != -1) {
		signals_held held;
		(void)unlink(c.name.c_str());
		free_slot(c.slot);
	}
}

void
report(const w_copy &c) noexcept
{
	group.failures++;
	if (c.error == ESTALE) {
		w_fileid_warn(c.label.c_str());
		return;
	}
	errno = c.error;
	warn("%s", c.label.c_str());
	warnx("%s: could not write tags to the file,", c.label.c_str());
}

// Whether syncfs on the file system of fd makes everything written to it
// durable, as fsync does for one file.  Elsewhere (FUSE, network file
// systems) it may only hand the data on.
bool
syncfs_is_durable(int fd) noexcept
{
	struct statfs fs;
	if (fstatfs(fd, &fs) == -1)
		return false;
	switch (fs.f_type) {
	case EXT4_SUPER_MAGIC: // ext2, ext3 too
	case XFS_SUPER_MAGIC:
	case BTRFS_SUPER_MAGIC:
	case F2FS_SUPER_MAGIC:
	case TMPFS_MAGIC:
		return true;
	default:
		return false;
	}
}

/*
 * Brings every pending copy to the disk.  Write-back of each copy began
 * when it was committed; waiting for it tells each file's own write errors.
 * One syncfs per file system then commits the journal and flushes the
 * disk's cache once for the whole group, where an fsync per file would do
 * both for every file.  A syncfs that fails cannot say for which file, so
 * it fails every copy on its file system.  Where syncfs is not known to be
 * enough, each copy gets its fsync.
 */
void
flush_copies(std::vector<w_copy> &copies) noexcept
{
	constexpr unsigned wait_all =
	    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
	for (w_copy &c : copies) {
		c.error = sync_file_range(c.fd, 0, 0, wait_all) == 0 ? 0 : errno;
		// A kernel that cannot wait this way: the copy's own fsync does.
		if (c.error == ENOSYS || c.error == EINVAL)
			c.error = fsync(c.fd) == 0 ? 0 : errno;
	}
	for (std::size_t i = 0; i < copies.size(); i++) {
		bool first_of_its_fs = true;
		for (std::size_t j = 0; j < i && first_of_its_fs; j++)
			first_of_its_fs = copies[j].dev != copies[i].dev;
		if (!first_of_its_fs)
			continue;
		const bool whole_fs = syncfs_is_durable(copies[i].fd);
		const int error = whole_fs && syncfs(copies[i].fd) == -1 ? errno : 0;
		for (std::size_t j = i; j < copies.size(); j++) {
			w_copy &c = copies[j];
			if (c.dev != copies[i].dev || c.error != 0)
				continue;
			if (whole_fs)
				c.error = error;
			else if (fsync(c.fd) == -1)
				c.error = errno;
		}
	}
}

/*
 * Flushes every pending copy, then puts each in place.  A failed copy is
 * reported, unless the_callers is set and it is the last one: that one the
 * caller reports.  -1 with errno set when the caller's copy, or (without
 * the_callers) a copy of the current file, failed.
 */
int
end_group(bool the_callers) noexcept
{
	flush_copies(group.copies);
	int error = 0;
	for (std::size_t i = 0; i < group.copies.size(); i++) {
		w_copy &c = group.copies[i];
		if (c.error == 0 && put_in_place(c) == -1)
			c.error = errno;
		release(c);
		if (c.error == 0)
			continue;
		if (the_callers && i + 1 == group.copies.size()) {
			error = c.error;
			continue;
		}
		report(c);
		if (!the_callers && c.owner == group.owner)
			error = c.error;
	}
	group.copies.clear();
	group.bytes = 0;
	if (error != 0) {
		errno = error;
		return -1;
	}
	return 0;
}

/*
 * At exit the open group ends, and a named copy still being written (exit
 * called in the middle of a write, where no destructor runs) is removed.
 */
extern "C" void
finish_at_exit(void)
{
	if (!group.copies.empty())
		(void)end_group(false);
	remove_named();
}

// 0, or -1 when the exit handler cannot be registered.
int
register_at_exit() noexcept
{
	static bool registered = false;
	if (!registered && std::atexit(finish_at_exit) == 0)
		registered = true;
	return registered ? 0 : -1;
}

} // namespace

std::string
w_write_target(const char *path)
{
	assert(path != NULL);
	char *resolved = realpath(path, nullptr);
	if (resolved == nullptr)
		return {};
	std::string target(resolved);
	std::free(resolved);
	return target;
}

w_tempfile::~w_tempfile()
{
	if (fp_ != nullptr)
		(void)std::fclose(fp_);
	release(copy_);
}

const std::string &
w_tempfile::path() const noexcept
{
	static const std::string none;
	return copy_.slot != -1 ? copy_.name : none;
}

int
w_tempfile::create(const std::string &target)
{
	assert(copy_.fd == -1 && fp_ == nullptr);
	// The file itself, for what the copy carries over from it.
	struct source {
		int fd;
		~source()
		{
			if (fd != -1)
				(void)close(fd);
		}
	} src{open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
	struct stat st;
	if (src.fd == -1 || fstat(src.fd, &st) == -1)
		return -1;
	const char *dir = w::dirname(target.c_str());
	if (dir == nullptr)
		return -1;
	try {
		copy_.target = target;
		copy_.name = std::string(dir) + "/.__" + w_getprogname() + "_XXXXXX";
		copy_.label = group.label.empty() ? target : group.label;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
	copy_.dev = st.st_dev;
	copy_.ino = st.st_ino;
	copy_.owner = group.owner;
	if (rehearsal) {
		// What would refuse the copy first: a directory that takes no
		// new file.  The content goes nowhere.
		if (faccessat(AT_FDCWD, dir, W_OK | X_OK, AT_EACCESS) == -1)
			return -1;
		fp_ = std::fopen("/dev/null", "w+be");
		return fp_ != nullptr ? 0 : -1;
	}
	install_handlers();
	(void)register_at_exit();

	copy_.fd = open_unnamed(dir);
	if (copy_.fd == -1)
		copy_.fd = open_named(copy_.name, copy_.slot);
	if (copy_.fd == -1)
		return -1;
	// Owner first: changing it may clear the set-id bits that fchmod sets.
	if (fchown(copy_.fd, st.st_uid, st.st_gid) == -1)
		(void)!fchown(copy_.fd, static_cast<uid_t>(-1), st.st_gid);
	// The stream writes through a descriptor of its own, so that the copy
	// stays open after the stream is closed, until it is in place.
	int stream_fd = -1;
	if (fchmod(copy_.fd, st.st_mode & 07777) == -1 || w_fileattr_carry(src.fd, copy_.fd, copy_.label) == -1 ||
	    (stream_fd = fcntl(copy_.fd, F_DUPFD_CLOEXEC, 0)) == -1 ||
	    (fp_ = fdopen(stream_fd, "w+b")) == nullptr) {
		const int saved = errno;
		if (stream_fd != -1)
			(void)close(stream_fd);
		release(copy_);
		errno = saved;
		return -1;
	}
	return 0;
}

int
w_tempfile::commit()
{
	assert(fp_ != nullptr);
	bool ok = std::fflush(fp_) == 0;
	int saved = errno;
	if (std::fclose(fp_) != 0 && ok) {
		ok = false;
		saved = errno;
	}
	fp_ = nullptr;
	if (!ok) {
		release(copy_);
		errno = saved;
		return -1;
	}
	if (rehearsal) {
		// The check the copy would meet as it takes the name; the file
		// stays what it was.
		if (w_fileid_check(copy_.target.c_str(), copy_.expect) == -1)
			return -1;
		made_ = copy_.expect;
		return 0;
	}
	// Nothing changes the copy's content or modification time from here,
	// only the link and rename that give it its name change its change
	// time.  A writer that writes the file again expects what it is now.
	if (w_fileid_take(copy_.fd, copy_.made) == -1) {
		saved = errno;
		release(copy_);
		errno = saved;
		return -1;
	}

	if (!group.deferred) {
		if (fsync(copy_.fd) == -1 || put_in_place(copy_) == -1) {
			saved = errno;
			release(copy_);
			errno = saved;
			return -1;
		}
		release(copy_);
		made_ = copy_.made;
		return 0;
	}
	made_ = copy_.made;
	// Only a hint to start writing now; a failure shows in the flush.
	(void)sync_file_range(copy_.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
	const off_t size = lseek(copy_.fd, 0, SEEK_END);
	assert(group.copies.size() < group.copies.capacity());
	group.copies.push_back(std::move(copy_));
	copy_.fd = -1;
	copy_.slot = -1;
	group.bytes += size > 0 ? size : 0;
	if (group.copies.size() >= w_safefile_group_files || group.bytes >= w_safefile_group_bytes)
		return end_group(true);
	return 0;
}

void
w_safefile_defer(void)
{
	if (group.deferred)
		return;
	// Without room for a group the copies are put in place one by one.
	// Room means descriptors too: a group's, and as many again for the
	// program's own use.
	struct rlimit files;
	const rlim_t need = 2 * w_safefile_group_files;
	if (getrlimit(RLIMIT_NOFILE, &files) == -1)
		return;
	if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < need) {
		if (files.rlim_max != RLIM_INFINITY && files.rlim_max < need)
			return;
		files.rlim_cur = need;
		if (setrlimit(RLIMIT_NOFILE, &files) == -1)
			return;
	}
	try {
		group.copies.reserve(w_safefile_group_files);
	} catch (const std::bad_alloc &) {
		return;
	}
	if (register_at_exit() == -1)
		return;
	group.deferred = true;
}

void
w_safefile_label(const char *name)
{
	assert(name != NULL);
	group.owner++;
	w_fileid_forget_placed();
	try {
		group.label = name;
	} catch (const std::bad_alloc &) {
		group.label.clear();
	}
}

void
w_safefile_settle(const char *path)
{
	assert(path != NULL);
	if (group.copies.empty())
		return;
	struct stat st;
	if (stat(path, &st) == -1)
		return;
	for (const w_copy &c : group.copies) {
		if (c.dev == st.st_dev && c.ino == st.st_ino) {
			(void)end_group(false);
			return;
		}
	}
}

int
w_safefile_flush(void)
{
	return end_group(false);
}

unsigned long
w_safefile_failures(void)
{
	return group.failures;
}

void
w_safefile_rehearse(bool on)
{
	rehearsal = on;
}

bool
w_safefile_rehearsing(void)
{
	return rehearsal;
}
