/*
 * The rules every tag writer follows when it replaces a music file:
 *
 * - a symbolic link stays a link: the file it points to gets the tags;
 * - the new file keeps the permission bits, owner and group of the old one
 *   (owner and group where the process may set them), its access control
 *   list and its extended attributes, but for the security ones, with which
 *   the kernel and the security module label a new file themselves; an
 *   attribute that cannot be carried over fails the copy;
 * - the new content reaches the disk before it takes the old file's name,
 *   so that the name always holds either the old file or the whole new one;
 * - a temporary file never outlives a failed write, nor a program ended by
 *   SIGHUP, SIGINT, SIGPIPE or SIGTERM.  Where the file system allows it the
 *   copy has no name at all until it is complete (O_TMPFILE), so that not
 *   even a kill -9 leaves it behind; elsewhere it is a hidden file beside
 *   the old one, which those signals remove before the program ends.
 *
 * Flushing one file at a time makes every file wait for the disk on its
 * own.  A program that replaces many files calls w_safefile_defer first:
 * from then on a commit only starts writing the copy to the disk and leaves
 * it pending; the copies of a group are then waited for together and each
 * is renamed over its file.  A group ends by itself at a bounded size and
 * at the end of the program, and whenever the caller says so: before
 * anything needs a file's new content under its name, or waits on the
 * user.  No file is replaced before its copy is on the disk.
 */
#pragma once

#include "w_contract.h"
#include "w_fileid.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

// The file that path names once every symbolic link is followed; empty
// with errno set when it cannot be resolved.
std::string w_write_target(const char *path);

// A group of pending copies ends by itself once it holds this many files
// or this many bytes.  Each pending copy holds a file descriptor.
constexpr std::size_t w_safefile_group_files = 256;
constexpr off_t w_safefile_group_bytes = off_t{64} << 20;

// One copy, while it is written and while it waits to be put in place.
struct w_copy {
	int fd = -1;
	int slot = -1; // the signal handler's record of a named copy
	std::string name; // hidden name, or the template of one
	std::string target;
	std::string label; // the file as the user named it
	dev_t dev = 0;     // of the target
	ino_t ino = 0;
	unsigned long owner = 0;
	int error = 0;
	w_fileid expect; // what the target must still be when replaced
	w_fileid made;   // the copy itself, once committed
};

class w_tempfile {
public:
	w_tempfile() = default;
	w_tempfile(const w_tempfile &) = delete;
	w_tempfile &operator=(const w_tempfile &) = delete;
	~w_tempfile();

	// Creates the copy beside target, with target's mode, owner, group,
	// access control list and extended attributes; opens it for reading
	// and writing.  0, or -1 with errno set; an attribute that could not
	// be carried over has been reported, naming it.
	int create(const std::string &target);
	FILE *stream() const noexcept { return fp_; }
	// The target must still be id when the copy takes its name (at once,
	// or when its group ends); else the copy is thrown away and the commit
	// fails with ESTALE (a grouped one is reported with w_fileid_warn).
	void expect(const w_fileid &id) noexcept { copy_.expect = id; }
	// The copy's hidden name; empty while it has none.
	const std::string &path() const noexcept;
	// Flushes the copy to the disk and renames it over the target, at once
	// or, once commits are deferred, when its group ends.  0, or -1 with
	// errno set (the copy is then gone, the target as it was).  A deferred
	// copy that fails later is reported when its group ends.
	int commit();
	// What the copy was when committed (not known before a commit that
	// succeeded).  A writer that writes the same file again expects this:
	// w_fileid_check takes the file for it once the copy has its name.
	const w_fileid &identity() const noexcept { return made_; }

private:
	FILE *fp_ = nullptr;
	w_copy copy_;
	w_fileid made_;
};

// From now on commits are grouped (unless the process may not open enough
// files for a group).  A group still open when the program exits ends then.
void w_safefile_defer(void);
// The file the coming commits belong to, by the name the user gave it:
// failures of its copies are reported under that name.  What the copies
// of the file before became (for w_fileid_check) is forgotten.
void w_safefile_label(const char *name);
// Ends the group if path (by any of its names) is a file whose copy is
// pending, so that whoever opens it next finds its new content.
void w_safefile_settle(const char *path);
// Ends the group: flushes every pending copy and renames each over its
// file.  Each one that fails is reported on standard error (the file, why,
// and that its tags could not be written) and leaves its file as it was.
// -1 with errno set when a copy of the current file (w_safefile_label)
// failed, else 0.
int w_safefile_flush(void);
// How many pending copies failed so far.
unsigned long w_safefile_failures(void);

/*
 * A rehearsal (a preview of a run) goes through every write as far as it
 * can without changing any file: a copy is made into nothing, its
 * directory only checked for room to make it in (the check a real copy
 * meets first), and its commit checks that the file is still the one read,
 * then replaces nothing.  Writers that change a file where it stands ask
 * w_safefile_rehearsing() and stop before their first write, once every
 * check that comes before it has passed.  What only the disk can refuse (a
 * full disk, an attribute the copy cannot take) is not met.
 */
void w_safefile_rehearse(bool on);
bool w_safefile_rehearsing(void);

