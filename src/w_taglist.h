/*
 * An ordered list of tags.  Order and duplicate keys are kept exactly; the
 * list owns its tags.  The link operations below keep count in step.
 */
#pragma once

#include "w_contract.h"
#include "w_tag.h"

#include <cstddef>
#include <memory>
#include <sys/queue.h>

TAILQ_HEAD(w_tagQ, w_tag);

struct w_taglist {
	std::size_t count;
	struct w_tagQ tags;
};

// An empty list, or null (errno ENOMEM).
struct w_taglist *w_taglist_new(void);
// Appends a new tag made from key and val: 0, or -1 (list unchanged).
int w_taglist_insert(struct w_taglist *tlist, const char *key, const char *val);
// The same from counted bytes without NUL (see w_tag_new_len).
int w_taglist_insert_len(struct w_taglist *tlist, const char *key, std::size_t keylen,
    const char *val, std::size_t vallen);
// The same keeping the key's spelling (see w_tag_new_spelled).
int w_taglist_insert_spelled(struct w_taglist *tlist, const char *key, const char *val);
// A deep copy, or null; a null tlist gives null.
struct w_taglist *w_taglist_clone(const struct w_taglist *tlist);
// Copies of the tags whose key matches key, in order; null only on ENOMEM.
struct w_taglist *w_taglist_find_all(const struct w_taglist *tlist, const char *key);
// The values joined with glue, malloc'ed; null on ENOMEM.
char *w_taglist_join(const struct w_taglist *tlist, const char *glue);
// Frees every tag, then the list; null is allowed.
void w_taglist_destroy(struct w_taglist *tlist);

struct w_taglist_deleter {
	void operator()(struct w_taglist *tlist) const { w_taglist_destroy(tlist); }
};
// A list that is destroyed on every way out of a scope.
using w_taglist_ptr = std::unique_ptr<struct w_taglist, w_taglist_deleter>;

// Link operations.
inline struct w_tag *
w_taglist_first(const struct w_taglist *tlist)
{
	return TAILQ_FIRST(&tlist->tags);
}

inline struct w_tag *
w_taglist_next(const struct w_tag *tag)
{
	return TAILQ_NEXT(tag, entries);
}

inline struct w_tag *
w_taglist_last(const struct w_taglist *tlist)
{
	return TAILQ_LAST(&tlist->tags, w_tagQ);
}

inline void
w_taglist_link_tail(struct w_taglist *tlist, struct w_tag *tag)
{
	TAILQ_INSERT_TAIL(&tlist->tags, tag, entries);
	tlist->count++;
}

inline void
w_taglist_link_before(struct w_taglist *tlist, struct w_tag *at, struct w_tag *tag)
{
	TAILQ_INSERT_BEFORE(at, tag, entries);
	tlist->count++;
}

inline void
w_taglist_unlink(struct w_taglist *tlist, struct w_tag *tag)
{
	TAILQ_REMOVE(&tlist->tags, tag, entries);
	tlist->count--;
}

#define W_TAGLIST_FOREACH(var, tlist) TAILQ_FOREACH(var, &(tlist)->tags, entries)
