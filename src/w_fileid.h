/*
 * What a music file was when its tags were read, and whether it still is.
 */
#pragma once

#include "w_contract.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

/*
 * What a music file was when its tags were read.  Another program may
 * replace or rewrite the file meanwhile (edit waits on the user); a writer
 * checks that the file is still this one just before it writes in place,
 * and a copy just before it takes the file's name.  The change time
 * catches a program that puts the modification time back.
 */
struct w_fileid {
	dev_t dev = 0;
	ino_t ino = 0;
	off_t size = -1; // -1: nothing taken
	struct timespec mtime = {};
	struct timespec ctime = {};

	bool known() const noexcept { return size != -1; }
};

// The identity of the file open on fd: 0, or -1 with errno set.
int w_fileid_take(int fd, w_fileid &id);
// The same for the file path leads to (symbolic links followed).
int w_fileid_take(const char *path, w_fileid &id);
// The identity of the file st describes (fstat's of an open descriptor).
w_fileid w_fileid_of(const struct stat &st) noexcept;
bool w_fileid_same(const w_fileid &id, const struct stat &st) noexcept;
// 0 when the file open on fd (or that path leads to) is still id, or id
// is not known, or id is a copy of ours (w_tempfile::identity) that has
// since taken the file's name; -1 with errno ESTALE when it changed, or
// the reason it could not be looked at.
int w_fileid_check(int fd, const w_fileid &id);
int w_fileid_check(const char *path, const w_fileid &id);
// Tells the user that path changed: "PATH: changed since its tags were
// read; not written".  For every -1 with ESTALE of the checks above, and
// of w_tempfile::commit, which report nothing themselves.
void w_fileid_warn(const char *path);

// Records that a copy of ours, which was made when committed, became
// placed once it took its file's name (its change time moves then), so
// that w_fileid_check takes the file for the copy.  The latest few are
// kept, the oldest forgotten first.
void w_fileid_placed(const w_fileid &made, const w_fileid &placed) noexcept;
// Forgets every copy recorded, when the program turns to another file.
void w_fileid_forget_placed(void) noexcept;
