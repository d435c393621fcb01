/*
 * Tag document formats: a static record per format and the ordered
 * registry; the first entry is the default.
 */
#pragma once

#include "w_contract.h"
#include "w_taglist.h"

#include <cstdio>
#include <sys/queue.h>

struct w_format {
	const char *libid;
	const char *fileext;
	const char *description;
	// The document for tlist (headed by path unless it is null), malloc'ed.
	char *(*tags2fmt)(const struct w_taglist *tlist, const char *path);
	// The tags of the document read from fp, or null with *errmsg set.
	struct w_taglist *(*fmt2tags)(FILE *fp, char **errmsg);
	TAILQ_ENTRY(w_format) entries;
};

TAILQ_HEAD(w_formatQ, w_format);

// The registry, built on first use; lent, never freed.
struct w_formatQ *w_all_formats(void);
