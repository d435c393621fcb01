/*
 * Renaming files after their tags.
 *
 * A pattern such as '%artist/%{album artist} - %title' is parsed once into
 * a queue of literal and tag-name tokens, evaluated for every file into a
 * new base name, and the file is moved next to where it was (or into the
 * directories the pattern names), keeping its extension, after the user
 * said yes.  An existing file is never replaced.
 */
#pragma once

#include "w_contract.h"
#include "w_tune.h"

#include <sys/queue.h>

struct w_rename_token {
	int is_tag;  // 0: literal text, 1: a tag name
	char *value; // escapes resolved; a tag name without '%', width and braces
	// A tag's width: a numeric value is padded with zeros to it ('%02track',
	// '%02{track}'); 0 for none.
	unsigned width;
	// For '%02track', the name as written ("02track"): a tag of that name,
	// if the file has one, is taken as it always was, unpadded.  Else null.
	char *written;
	TAILQ_ENTRY(w_rename_token) entries;
	// value and written point here: one allocation holds the token and its
	// text.
};

TAILQ_HEAD(w_rename_tokenQ, w_rename_token);

// The parsed pattern, or null (unclosed brace, or ENOMEM).
struct w_rename_tokenQ *w_rename_parse(const char *pattern);
void w_rename_tokenQ_destroy(struct w_rename_tokenQ *q);
// The new base name for tune, malloc'ed, or null.
char *w_rename_eval(struct w_tune *tune, const struct w_rename_tokenQ *pattern);
// 0 when moved, nothing to do, or declined; -1 on failure.
int w_rename(struct w_tune *tune, const struct w_rename_tokenQ *pattern);
// Moves opath to npath, never replacing an existing file: 0 when moved,
// -1 otherwise.  Makes the missing directories of npath when -p was given.
int w_rename_safe(const char *opath, const char *npath);
// Asks question (unless null) on standard output and reads the answer from
// standard input; -Y and -N answer for the user.  Non-zero for yes.
int w_yesno(const char *question);
