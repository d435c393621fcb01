/*
 * Tag document formats: a static record per format and the ordered
 * registry; the first entry is the default.
 */
#pragma once

#include "w_contract.h"
#include "w_taglist.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/queue.h>
#include <vector>

/*
 * The documents of a tag input that may hold one document per music file,
 * such as a whole library's tags printed in one run.  A document names the
 * file it belongs to, or nothing when it stands alone.
 */
struct w_fmtdoc {
	bool named = false;      // whether it names a file
	std::string file;        // the music file's path, as it was given
	w_taglist_ptr tlist;     // its tags
	std::size_t line = 0;    // where it begins in the input, from 1
	std::size_t column = 0;
};
using w_fmtdocs = std::vector<w_fmtdoc>;

struct w_format {
	const char *libid;
	const char *fileext;
	const char *description;
	// The document for tlist (headed by path unless it is null), malloc'ed.
	char *(*tags2fmt)(const struct w_taglist *tlist, const char *path);
	// The tags of the document read from fp, or null with *errmsg set.
	struct w_taglist *(*fmt2tags)(FILE *fp, char **errmsg);
	TAILQ_ENTRY(w_format) entries;
	// For a format whose input may hold the documents of several files
	// (null for the others): reads every document from fp into *docs and
	// returns 0, or returns -1 with *errmsg set.
	int (*fmt2docs)(FILE *fp, w_fmtdocs *docs, char **errmsg) = nullptr;
};

TAILQ_HEAD(w_formatQ, w_format);

// The registry, built on first use; lent, never freed.
struct w_formatQ *w_all_formats(void);

// The tags that docs hold for the music file at path: those of the only
// document when there is just one, else those of the one document naming
// path.  Lent from docs; null with *errmsg set when no document, or more
// than one, names path.
const struct w_taglist *w_fmtdocs_find(const w_fmtdocs *docs, const char *path, char **errmsg);
