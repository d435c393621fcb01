/*
 * Backends: one static record of operations per music file library, and the
 * ordered registry that the tune probes (FLAC, Ogg/Vorbis, TagLib).
 *
 * Every backend's per-file data starts with the very libid pointer of its
 * record, so that data handed to the wrong backend is caught by assertion.
 */
#pragma once

#include "w_contract.h"
#include "w_taglist.h"

#include <cstddef>
#include <sys/queue.h>
#include <sys/stat.h>
#include <vector>

#include "w_picture.h"

struct w_backend {
	const char *libid;
	const char *description;
	void *(*init)(const char *path);
	struct w_taglist *(*read)(void *opaque);
	int (*write)(void *opaque, const struct w_taglist *tlist);
	void (*clear)(void *opaque);
	TAILQ_ENTRY(w_backend) entries;
	// The audio properties of the file, from its headers (see w_props):
	// a new list in the order a document shows them, or null with errno
	// set (and a warning naming the file where the headers are at fault).
	struct w_taglist *(*props)(void *opaque);
	// The file's pictures in file order (see w_picture), as the file
	// describes them: 0, or -1 with errno set.
	int (*pictures)(void *opaque, std::vector<w_picture> *out);
	// Makes the file's pictures those of slots, in their order, through
	// the backend's safe writer and checks, the tags and everything else
	// left as they are: 0 (nothing written when nothing changes), or -1
	// with errno set and the reason said.  A kept picture (from, an index
	// into what pictures gave) is stored again as it was.
	int (*write_pictures)(void *opaque, const std::vector<w_picture_slot> &slots);
};

TAILQ_HEAD(w_backendQ, w_backend);

// The registry, built on first use; lent, never freed.
struct w_backendQ *w_all_backends(void);

// Whether the file at path announces the backend's own format in its first
// bytes (a file starting with "fLaC" is FLAC, however damaged).  A file its
// own backend refuses is not handed to a later one, which would read it and
// rewrite it lossily.  Each backend says itself why it refused such a file.
bool w_backend_claims(const struct w_backend *backend, const char *path);

/*
 * While a tune probes its file, the backends share the first bytes of it:
 * the first backend to read them keeps them, and the next ones take them
 * from there instead of opening the file again.  A probe covers one path;
 * outside a probe nothing is kept.
 */
void w_backend_probe_begin(const char *path);
void w_backend_probe_end(void);
/*
 * The tune opens the file once, and the backends probe it through that
 * descriptor rather than opening it again.  The probe lends it (with what
 * fstat said of it) until a backend that accepts the file takes it, which
 * then owns it; a descriptor nobody took is closed when the probe ends.
 * writable: it was opened for reading and writing, because the run means
 * to write.
 */
void w_backend_probe_lend(int fd, const struct stat &st, bool writable);
// The descriptor lent for path, or -1 when there is none (path is not the
// one being probed, or a backend took it).  st and writable, when given,
// receive what the probe knows of it.
int w_backend_probe_fd(const char *path, struct stat *st = nullptr, bool *writable = nullptr);
// Takes the descriptor lent for path: the caller owns it from now on.
// -1 when there is none.
int w_backend_probe_take(const char *path);
// Keeps the first len bytes of the file at path (at most
// w_backend_probe_size), when path is the one being probed.
void w_backend_probe_keep(const char *path, const void *bytes, std::size_t len);
// The bytes kept for path, with their number; 0 when none are.
std::size_t w_backend_probe_head(const char *path, const unsigned char **bytes);
constexpr std::size_t w_backend_probe_size = 4096;
