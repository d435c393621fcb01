/*
 * A tag: one key/value pair in a single allocation.  The key is stored
 * lower-cased, the value byte for byte.  Tags never change once made.
 *
 * A tag may also keep the spelling its key was given (a document's or the
 * user's): a name a tag format stores as written (an ID3 frame's
 * description, an MP4 item's name) is written back the way it came.  A
 * tag made without it spells its key lower-cased.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <sys/queue.h>

struct w_tag {
	std::size_t keylen;
	std::size_t vallen;
	char *key;
	char *val;
	char *spelled; // the key as given: key itself when not kept
	TAILQ_ENTRY(w_tag) entries;
};

// A new unlinked tag, or null (errno ENOMEM).
struct w_tag *w_tag_new(const char *key, const char *val);
// The same from counted bytes, which must hold no NUL: saves measuring
// text whose length is known.
struct w_tag *w_tag_new_len(const char *key, std::size_t keylen, const char *val,
    std::size_t vallen);
// The same, keeping the key's spelling as given.
struct w_tag *w_tag_new_spelled(const char *key, std::size_t keylen, const char *val,
    std::size_t vallen);
// A new unlinked copy of tag, made as w_tag_new would make it, or null.
struct w_tag *w_tag_dup(const struct w_tag *tag);
// Frees a tag that is in no list; null is allowed.
void w_tag_free(struct w_tag *tag);
// Case-insensitive key comparison; every key match goes through it.
int w_tag_keycmp(const char *a, const char *b);
