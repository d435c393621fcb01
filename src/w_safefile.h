/*
 * The rules every tag writer follows when it replaces a music file:
 *
 * - a symbolic link stays a link: the file it points to gets the tags;
 * - the new file keeps the permission bits, owner and group of the old one
 *   (owner and group where the process may set them);
 * - the new content reaches the disk before it takes the old file's name,
 *   so that the name always holds either the old file or the whole new one;
 * - a temporary file never outlives a failed write, nor a program ended by
 *   SIGHUP, SIGINT, SIGPIPE or SIGTERM.  Where the file system allows it the
 *   copy has no name at all until it is complete (O_TMPFILE), so that not
 *   even a kill -9 leaves it behind; elsewhere it is a hidden file beside
 *   the old one, which those signals remove before the program ends.
 */
#pragma once

#include "w_contract.h"

#include <cstdio>
#include <string>

// The file that path names once every symbolic link is followed; empty
// with errno set when it cannot be resolved.
std::string w_write_target(const char *path);

class w_tempfile {
public:
	w_tempfile() = default;
	w_tempfile(const w_tempfile &) = delete;
	w_tempfile &operator=(const w_tempfile &) = delete;
	~w_tempfile();

	// Creates the copy beside target, with target's mode, owner and group;
	// opens it for reading and writing.  0, or -1 with errno set.
	int create(const std::string &target);
	FILE *stream() const noexcept { return fp_; }
	// The copy's hidden name; empty while it has none.
	const std::string &path() const noexcept;
	// Flushes the copy to the disk and renames it over the target.  0, or
	// -1 with errno set (the copy is then gone, the target as it was).
	int commit();

private:
	void discard() noexcept;

	FILE *fp_ = nullptr;
	int fd_ = -1;
	int slot_ = -1; // the signal handler's record of a named copy
	std::string name_;
	std::string target_;
};

