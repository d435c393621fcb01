/*
 * The rules every tag writer follows when it replaces a music file:
 *
 * - a symbolic link stays a link: the file it points to gets the tags;
 * - the new file keeps the permission bits, owner and group of the old one
 *   (owner and group where the process may set them);
 * - the new content reaches the disk before it takes the old file's name,
 *   so that the name always holds either the old file or the whole new one;
 * - a temporary file never outlives a failed write.
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

	// Creates a hidden file beside target, with target's mode, owner and
	// group; opens it for reading and writing.  0, or -1 with errno set.
	int create(const std::string &target);
	FILE *stream() const noexcept { return fp_; }
	const std::string &path() const noexcept { return path_; }
	// Flushes the data to the disk, closes the file and renames it over
	// the target.  0, or -1 (the temporary file is then removed).
	int commit();

private:
	std::string path_;
	std::string target_;
	FILE *fp_ = nullptr;
	bool created_ = false;
};
