/*
 * The plain C interface between wembrix and its TagLib module, a shared
 * object loaded when a file first needs TagLib.  The module is the only
 * code that links TagLib's C++ library; nothing but C types, pointers and
 * errno cross this line, never a C++ object or exception.
 *
 * The module never writes a music file.  Asked for new field values, it
 * lets TagLib save them into a stream of its own that records every change
 * in memory, and hands back a plan of the new file: pieces that are either
 * new bytes or a range of the old file.  The program writes the plan, in
 * place when nothing moves, else as a complete new copy beside the old one.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define W_TLMODULE_VERSION 5
#define W_TLMODULE_NAME "wembrix-taglib.so"
#define W_TLMODULE_ENTRY "w_tlmodule_entry"

/* The seven basic fields, in the order they are read. */
enum w_tlfield {
	W_TL_TITLE,
	W_TL_ARTIST,
	W_TL_YEAR,
	W_TL_ALBUM,
	W_TL_TRACK,
	W_TL_GENRE,
	W_TL_COMMENT,
	W_TL_NFIELDS
};

/* The fields as the file holds them: text fields in malloc'ed UTF-8 (freed
 * by the caller with free), number fields in number (0: unset). */
struct w_tlvalues {
	char *text[W_TL_NFIELDS];
	unsigned int number[W_TL_NFIELDS];
};

/* One field to change: text (UTF-8, "" clears) or number (0 clears).
 * Fields whose set is 0 are not touched at all.  The track's text, when
 * not null, is its new total (digits); null keeps the old one. */
struct w_tlchange {
	int set;
	const char *text;
	unsigned int number;
};

/* A run of the new file: data bytes, or when data is null the bytes of the
 * old file (read through the plan's fd) from offset on. */
struct w_tlpiece {
	const unsigned char *data;
	uint64_t offset;
	uint64_t length;
};

/* The new file, valid until the file handle is closed or rendered again.
 * fd is the module's read-only descriptor of the old file. */
struct w_tlplan {
	int fd;
	uint64_t old_size;
	uint64_t new_size;
	const struct w_tlpiece *pieces;
	size_t count;
};

struct w_tlfile;

/* ---- Every field under the names FLAC uses (--all-tags) ----
 * The mode covers the files whose tag is ID3v2 (MP3, WAV, AIFF) or an MP4
 * item list; read and render fail with ENOTSUP, touching nothing, for any
 * other kind of file, which then keeps the seven fields. */

/* One tag: key and value, UTF-8. */
struct w_tlpair {
	const char *key;
	const char *value;
};

struct w_tlalltags {
	/* Every field the file holds, one pair per value, in read order:
	 * *pairs is a single malloc'ed block (pairs and texts; free it with
	 * free) of *count pairs.  0, or -1 with errno set. */
	int (*read)(struct w_tlfile *file, struct w_tlpair **pairs, size_t *count);
	/* Makes the file's fields those of the count pairs, touching only the
	 * fields whose values change, and renders the new file into plan: 1;
	 * 0 when nothing changes; -1 with errno set, and why filled (possibly
	 * empty) when the file cannot hold what is asked or the module refuses
	 * to rewrite it.  As render, a file is rendered once. */
	int (*render)(struct w_tlfile *file, const struct w_tlpair *pairs, size_t count,
	    struct w_tlplan *plan, char *why, size_t whylen);
};

/* The audio properties TagLib read from the file's headers; codec is a
 * static string, a number TagLib does not know is 0. */
struct w_tlprops {
	const char *codec;
	unsigned long long millis;
	unsigned int rate;
	unsigned int channels;
	unsigned int bits;
	unsigned int kbps;
};

/* A picture of the file's tags: type as in ID3v2, texts UTF-8. */
struct w_tlpicture {
	unsigned int type;
	const char *mime;
	const char *description;
	const unsigned char *data;
	size_t length;
};

/* A picture a picture write leaves in the file: one the file holds (from,
 * its index as pictures lists them), written back as it is stored, or a
 * new one (from -1) made of the other members. */
struct w_tlpicslot {
	int from;
	unsigned int type;
	const char *mime;
	const char *description;
	const unsigned char *data;
	size_t length;
};

struct w_tlmodule {
	unsigned int version;
	/* Opens path if TagLib handles it; null with errno set otherwise. */
	struct w_tlfile *(*open)(const char *path);
	/* 0, or -1 with errno set. */
	int (*read)(struct w_tlfile *file, struct w_tlvalues *values);
	/* Applies the changes and renders the new file into plan: 0; or -1
	 * with errno set, and why filled (NUL-terminated, possibly empty) when
	 * the module refuses to rewrite the file.  A file is rendered once:
	 * after render, the handle serves nothing but close. */
	int (*render)(struct w_tlfile *file, const struct w_tlchange *changes,
	    struct w_tlplan *plan, char *why, size_t whylen);
	void (*close)(struct w_tlfile *file);
	const struct w_tlalltags *alltags;
	/* As open, through fd, a descriptor open for reading on path, which
	 * the module takes: it is closed with the file, or at once when the
	 * file cannot be opened. */
	struct w_tlfile *(*open_fd)(int fd, const char *path);
	/* The file's audio properties: 0, or -1 with errno set (ENODATA when
	 * TagLib has none).  Not after render. */
	int (*props)(struct w_tlfile *file, struct w_tlprops *props);
	/* The pictures of the file's tags (ID3v2 APIC, MP4 covr, ASF
	 * WM/Picture) in file order: *pictures is a single malloc'ed block of
	 * *count (free it with free).  0, or -1 with errno set.  Not after
	 * render. */
	int (*pictures)(struct w_tlfile *file, struct w_tlpicture **pictures, size_t *count);
	/* Makes the file's pictures those of the count slots, in order,
	 * everything else left as it is, and renders the new file into plan
	 * once it has proven that: 1; 0 when nothing changes; -1 with errno
	 * set, and why filled (possibly empty) when the module refuses.  As
	 * render, a file is rendered once. */
	int (*render_pictures)(struct w_tlfile *file, const struct w_tlpicslot *slots, size_t count,
	    struct w_tlplan *plan, char *why, size_t whylen);
};

typedef const struct w_tlmodule *(*w_tlmodule_entry_fn)(void);

#ifdef __cplusplus
}
#endif
