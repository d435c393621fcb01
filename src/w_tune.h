/*
 * A tune is one open music file: the backend that opened it, the backend's
 * per-file data, and the tags, read once and cached.  Readers get copies;
 * replacements raise the dirty count; save writes only when dirty.
 */
#pragma once

#include "w_contract.h"
#include "w_backend.h"
#include "w_taglist.h"

#include <cstdint>
#include <memory>
#include <vector>

struct w_tune {
	char *path;
	std::uint32_t dirty;
	void *opaque;
	struct w_backend *backend;
	struct w_taglist *tlist;
	// The pictures as the run will leave them, read when first needed;
	// pictures_dirty counts the changes not yet written.
	std::vector<w_picture_slot> *pictures;
	std::uint32_t pictures_dirty;
};

// A tune opened by the first backend that accepts path, or null with errno:
// ENOMEM when memory ran out, EISDIR for a directory, EINVAL when the file
// is no regular file ("PATH: not a regular file" said) or the backend
// whose format the file announces refused it (it has said why), ENOTSUP
// when no backend knows the file, or why the file could not be opened.
struct w_tune *w_tune_new(const char *path);
// Whether the tunes opened from now on open their files for writing too,
// for a run that means to write them (a file that may not be written then
// fails to open, with EACCES or EROFS).  Off at first.
void w_tune_open_writable(bool writable);
// A copy of the tags that the caller destroys, or null.
struct w_taglist *w_tune_tags(struct w_tune *tune);
// The cached tags themselves, lent for reading until the next change,
// reload or destroy (read first when nothing is cached), or null when the
// read fails.  Saves a copy where one is only looked at.
const struct w_taglist *w_tune_cached_tags(struct w_tune *tune);
// The cached tags lent for a change in place, which counts as one
// replacement (dirty is raised now), or null when the read fails (nothing
// changed).  The caller makes its whole change at once, with nothing left
// that can fail, so that the cache is never left half changed.
struct w_taglist *w_tune_change_tags(struct w_tune *tune);
// The file's pictures as the run will leave them (each picture's
// description completed from its image's header), lent for reading until
// the next change or destroy, or null with errno set when they cannot be
// read (ENOTSUP: the backend has none).
const std::vector<w_picture_slot> *w_tune_pictures(struct w_tune *tune);
// The same, lent for a change in place, which counts as one change.
std::vector<w_picture_slot> *w_tune_change_pictures(struct w_tune *tune);
// The pictures as the run will leave them, as the file describes them
// (nothing completed from the images' headers): 0, or -1 with errno set.
int w_tune_stored_pictures(struct w_tune *tune, std::vector<w_picture> *out);
// Whether the pictures were changed and not yet written.
bool w_tune_pictures_changed(const struct w_tune *tune);
const char *w_tune_path(const struct w_tune *tune);
struct w_backend *w_tune_backend(const struct w_tune *tune);
// Stores a copy of neo and raises dirty: 0, or -1 (nothing changed).
int w_tune_set_tags(struct w_tune *tune, const struct w_taglist *neo);
// Writes the pictures, then the tags, when changed: 0, or -1 (what was not
// written still dirty).
int w_tune_save(struct w_tune *tune);
// The same, and on failure tells the user that the tags could not be
// written, unless the file changed since its tags were read: that has been
// said already, and nothing was tried on it.
int w_tune_commit(struct w_tune *tune);
// Re-opens the tune for the file now at path: 0, or -1 (tune is empty).
int w__tune_reload__(struct w_tune *tune, const char *path);
// Releases everything without saving; null is allowed.
void w_tune_destroy(struct w_tune *tune);

struct w_tune_deleter {
	void operator()(struct w_tune *tune) const { w_tune_destroy(tune); }
};
using w_tune_ptr = std::unique_ptr<struct w_tune, w_tune_deleter>;
