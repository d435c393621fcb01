#include "w_fileid.h"

#include <cerrno>
#include <err.h>
#include <iterator>
#include <sys/stat.h>

namespace {

/*
 * What copies of ours became when they took their file's name.  A
 * writer that wrote the file through a copy and writes it again (a rename
 * saves before it asks, and the file is saved again when the answer is no)
 * expects the copy as it was committed, and finds it with the change time
 * the rename gave it.
 */
struct placement {
	w_fileid made;
	w_fileid placed;
};
placement placements[8]; // the latest, oldest overwritten first
unsigned placed_count = 0;

bool
same_id(const w_fileid &a, const w_fileid &b) noexcept
{
	return a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
	    a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec &&
	    a.ctime.tv_sec == b.ctime.tv_sec && a.ctime.tv_nsec == b.ctime.tv_nsec;
}

// True when id is a copy of ours that became the file st describes.
bool
placed_as(const w_fileid &id, const struct stat &st) noexcept
{
	const unsigned n = placed_count < std::size(placements) ? placed_count : std::size(placements);
	for (unsigned i = 0; i < n; i++) {
		if (same_id(placements[i].made, id) && w_fileid_same(placements[i].placed, st))
			return true;
	}
	return false;
}

w_fileid
id_of(const struct stat &st) noexcept
{
	return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// What the checks conclude once they have the file's status.
int
still(const w_fileid &id, const struct stat &st) noexcept
{
	if (w_fileid_same(id, st) || placed_as(id, st))
		return 0;
	errno = ESTALE;
	return -1;
}

} // namespace

int
w_fileid_take(int fd, w_fileid &id)
{
	struct stat st;
	if (fstat(fd, &st) == -1)
		return -1;
	id = id_of(st);
	return 0;
}

int
w_fileid_take(const char *path, w_fileid &id)
{
	assert(path != NULL);
	struct stat st;
	if (stat(path, &st) == -1)
		return -1;
	id = id_of(st);
	return 0;
}

w_fileid
w_fileid_of(const struct stat &st) noexcept
{
	return id_of(st);
}

bool
w_fileid_same(const w_fileid &id, const struct stat &st) noexcept
{
	return same_id(id, id_of(st));
}

int
w_fileid_check(int fd, const w_fileid &id)
{
	struct stat st;
	if (!id.known())
		return 0;
	if (fstat(fd, &st) == -1)
		return -1;
	return still(id, st);
}

int
w_fileid_check(const char *path, const w_fileid &id)
{
	assert(path != NULL);
	struct stat st;
	if (!id.known())
		return 0;
	if (stat(path, &st) == -1)
		return errno == ENOENT ? (errno = ESTALE, -1) : -1;
	return still(id, st);
}

void
w_fileid_warn(const char *path)
{
	assert(path != NULL);
	warnx("%s: changed since its tags were read; not written", path);
}

void
w_fileid_placed(const w_fileid &made, const w_fileid &placed) noexcept
{
	placements[placed_count++ % std::size(placements)] = {made, placed};
}

void
w_fileid_forget_placed(void) noexcept
{
	placed_count = 0;
}
