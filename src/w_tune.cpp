#include "w_tune.h"

#include "w_safefile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/*
 * Only a regular file is a music file: a FIFO with no writer, which the
 * backends would open and wait on for ever, a device or a socket is
 * refused before any backend opens it.  The name is looked at first,
 * without opening anything, then the file through a descriptor opened
 * without waiting, in case the name changed in between.  A directory is
 * said as the system says it.
 */
int
kind_of(const struct stat &st, const char *path)
{
	if (S_ISDIR(st.st_mode)) {
		errno = EISDIR;
		return -1;
	}
	if (!S_ISREG(st.st_mode)) {
		warnx("%s: not a regular file", path);
		errno = EINVAL;
		return -1;
	}
	return 0;
}

// Whether tunes open their files for writing too (w_tune_open_writable).
bool open_writable = false;

/*
 * Opens the file that the backends probe, read and write through, once it
 * is known to be a regular file: the descriptor, with what fstat says of
 * it, or -1.  Opened for writing too when the run means to write, so that
 * a file that may not be written is refused before anything is read.
 */
int
open_regular(const char *path, struct stat &st)
{
	if (stat(path, &st) == -1 || kind_of(st, path) == -1)
		return -1;
	const int fd = open(path, (open_writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY |
	    O_CLOEXEC);
	if (fd == -1)
		return -1;
	if (fstat(fd, &st) == -1 || kind_of(st, path) == -1) {
		const int saved = errno;
		close(fd);
		errno = saved;
		return -1;
	}
	return fd;
}

// The probe shared by opening and re-opening.
int
w_tune_init(struct w_tune *tune, const char *path)
{
	*tune = w_tune{};
	struct stat st;
	const int fd = open_regular(path, st);
	if (fd == -1)
		return -1;
	tune->path = strdup(path);
	if (tune->path == nullptr) {
		close(fd);
		return -1;
	}

	// The backends share the first bytes of the file they probe.
	struct probe_guard {
		explicit probe_guard(const char *path) { w_backend_probe_begin(path); }
		~probe_guard() { w_backend_probe_end(); }
		probe_guard(const probe_guard &) = delete;
		probe_guard &operator=(const probe_guard &) = delete;
	} guard(tune->path);
	w_backend_probe_lend(fd, st, open_writable);
	errno = ENOTSUP;
	struct w_backend *b;
	TAILQ_FOREACH(b, w_all_backends(), entries) {
		if (b->init == nullptr)
			continue;
		void *opaque = b->init(tune->path);
		if (opaque != nullptr) {
			tune->backend = b;
			tune->opaque = opaque;
			return 0;
		}
		// A damaged file of this backend's format stops here: a later
		// backend would take it and rewrite it lossily.  The backend has
		// said why it refused it, unless it took the file for another
		// format (ENOTSUP), reading it otherwise than the first bytes
		// announce it: then the file is damaged all the same.
		const int saved = errno;
		if (saved != ENOMEM && w_backend_claims(b, tune->path)) {
			if (saved == ENOTSUP)
				warnx("%s: damaged file; %s cannot read it", tune->path, b->libid);
			errno = EINVAL;
			break;
		}
		errno = saved == ENOMEM ? ENOMEM : ENOTSUP;
	}
	std::free(tune->path);
	tune->path = nullptr;
	return -1;
}

} // namespace

void
w_tune_open_writable(bool writable)
{
	open_writable = writable;
}

struct w_tune *
w_tune_new(const char *path)
{
	assert(path != NULL);

	auto *tune = static_cast<struct w_tune *>(std::malloc(sizeof(struct w_tune)));
	if (tune == nullptr)
		return nullptr;
	if (w_tune_init(tune, path) == -1) {
		int saved = errno;
		std::free(tune);
		errno = saved;
		return nullptr;
	}
	return tune;
}

struct w_taglist *
w_tune_tags(struct w_tune *tune)
{
	assert(tune != NULL);
	return w_taglist_clone(w_tune_cached_tags(tune));
}

const struct w_taglist *
w_tune_cached_tags(struct w_tune *tune)
{
	assert(tune != NULL);
	if (tune->tlist == nullptr)
		tune->tlist = tune->backend->read(tune->opaque);
	return tune->tlist;
}

struct w_taglist *
w_tune_change_tags(struct w_tune *tune)
{
	assert(tune != NULL);
	if (w_tune_cached_tags(tune) == nullptr)
		return nullptr;
	tune->dirty++;
	return tune->tlist;
}

const std::vector<w_picture_slot> *
w_tune_pictures(struct w_tune *tune)
{
	assert(tune != NULL);
	if (tune->pictures != nullptr)
		return tune->pictures;
	if (tune->backend->pictures == nullptr) {
		errno = ENOTSUP;
		return nullptr;
	}
	try {
		std::vector<w_picture> got;
		if (tune->backend->pictures(tune->opaque, &got) == -1)
			return nullptr;
		auto plan = std::make_unique<std::vector<w_picture_slot>>();
		plan->reserve(got.size());
		for (std::size_t i = 0; i < got.size(); i++) {
			// What the container does not say of an image, its header does.
			w_picture_complete(&got[i]);
			plan->push_back({static_cast<int>(i), std::move(got[i])});
		}
		tune->pictures = plan.release();
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return nullptr;
	}
	return tune->pictures;
}

std::vector<w_picture_slot> *
w_tune_change_pictures(struct w_tune *tune)
{
	assert(tune != NULL);
	if (w_tune_pictures(tune) == nullptr)
		return nullptr;
	tune->pictures_dirty++;
	return tune->pictures;
}

int
w_tune_stored_pictures(struct w_tune *tune, std::vector<w_picture> *out)
{
	assert(tune != NULL);
	if (tune->backend->pictures == nullptr) {
		errno = ENOTSUP;
		return -1;
	}
	try {
		std::vector<w_picture> raw;
		if (tune->backend->pictures(tune->opaque, &raw) == -1)
			return -1;
		if (tune->pictures == nullptr) {
			*out = std::move(raw);
			return 0;
		}
		out->clear();
		for (const w_picture_slot &s : *tune->pictures)
			out->push_back(s.from >= 0 ? raw[static_cast<std::size_t>(s.from)] : s.pic);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
	return 0;
}

bool
w_tune_pictures_changed(const struct w_tune *tune)
{
	assert(tune != NULL);
	return tune->pictures_dirty != 0;
}

const char *
w_tune_path(const struct w_tune *tune)
{
	assert(tune != NULL);
	return tune->path;
}

struct w_backend *
w_tune_backend(const struct w_tune *tune)
{
	assert(tune != NULL);
	return tune->backend;
}

int
w_tune_set_tags(struct w_tune *tune, const struct w_taglist *neo)
{
	assert(tune != NULL);
	assert(neo != NULL);

	if (neo == tune->tlist)
		return 0;
	struct w_taglist *copy = w_taglist_clone(neo);
	if (copy == nullptr)
		return -1;
	w_taglist_destroy(tune->tlist);
	tune->tlist = copy;
	tune->dirty++;
	return 0;
}

int
w_tune_save(struct w_tune *tune)
{
	assert(tune != NULL);

	if (tune->pictures_dirty != 0) {
		if (tune->backend->write_pictures == nullptr) {
			errno = ENOTSUP;
			return -1;
		}
		if (tune->backend->write_pictures(tune->opaque, *tune->pictures) != 0)
			return -1;
		// Read again when next needed: the kept ones have new indices.
		// A rehearsal wrote nothing: its plan is what the preview shows.
		if (!w_safefile_rehearsing()) {
			delete tune->pictures;
			tune->pictures = nullptr;
			tune->pictures_dirty = 0;
		}
		// A copy put off with others must take the file's name before
		// the tags are written into it.
		if (tune->dirty != 0)
			w_safefile_settle(tune->path);
	}
	if (tune->dirty == 0)
		return 0;
	if (tune->backend->write(tune->opaque, tune->tlist) != 0)
		return -1;
	tune->dirty = 0;
	return 0;
}

int
w_tune_commit(struct w_tune *tune)
{
	const bool pictures = w_tune_pictures_changed(tune);
	if (w_tune_save(tune) == 0)
		return 0;
	if (errno != ESTALE)
		warnx("%s: could not write %s to the file,", w_tune_path(tune),
		    pictures && w_tune_pictures_changed(tune) ? "pictures" : "tags");
	return -1;
}

int
w__tune_reload__(struct w_tune *tune, const char *path)
{
	assert(tune != NULL);
	assert(path != NULL);

	if (tune->backend != nullptr)
		tune->backend->clear(tune->opaque);
	w_taglist_destroy(tune->tlist);
	delete tune->pictures;
	std::free(tune->path);
	return w_tune_init(tune, path);
}

void
w_tune_destroy(struct w_tune *tune)
{
	if (tune == nullptr)
		return;
	if (tune->backend != nullptr)
		tune->backend->clear(tune->opaque);
	w_taglist_destroy(tune->tlist);
	delete tune->pictures;
	std::free(tune->path);
	std::free(tune);
}
