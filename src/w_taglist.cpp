#include "w_taglist.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "w_sbuf.h"

struct w_taglist *
w_taglist_new(void)
{
	void *block = std::malloc(sizeof(struct w_taglist));
	if (block == nullptr)
		return nullptr;
	struct w_taglist *tlist = new (block) w_taglist{};
	tlist->count = 0;
	TAILQ_INIT(&tlist->tags);
	return tlist;
}

int
w_taglist_insert(struct w_taglist *tlist, const char *key, const char *val)
{
	assert(tlist != NULL);
	assert(key != NULL);
	assert(val != NULL);

	struct w_tag *tag = w_tag_new(key, val);
	if (tag == nullptr)
		return -1;
	w_taglist_link_tail(tlist, tag);
	return 0;
}

int
w_taglist_insert_len(struct w_taglist *tlist, const char *key, std::size_t keylen, const char *val,
    std::size_t vallen)
{
	assert(tlist != NULL);

	struct w_tag *tag = w_tag_new_len(key, keylen, val, vallen);
	if (tag == nullptr)
		return -1;
	w_taglist_link_tail(tlist, tag);
	return 0;
}

int
w_taglist_insert_spelled(struct w_taglist *tlist, const char *key, const char *val)
{
	assert(tlist != NULL);
	assert(key != NULL);
	assert(val != NULL);

	struct w_tag *tag = w_tag_new_spelled(key, std::strlen(key), val, std::strlen(val));
	if (tag == nullptr)
		return -1;
	w_taglist_link_tail(tlist, tag);
	return 0;
}

struct w_taglist *
w_taglist_clone(const struct w_taglist *tlist)
{
	if (tlist == nullptr)
		return nullptr;
	struct w_taglist *copy = w_taglist_new();
	if (copy == nullptr)
		return nullptr;
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		struct w_tag *dup = w_tag_dup(tag);
		if (dup == nullptr) {
			w_taglist_destroy(copy);
			return nullptr;
		}
		w_taglist_link_tail(copy, dup);
	}
	return copy;
}

struct w_taglist *
w_taglist_find_all(const struct w_taglist *tlist, const char *key)
{
	assert(tlist != NULL);
	assert(key != NULL);

	struct w_taglist *found = w_taglist_new();
	if (found == nullptr)
		return nullptr;
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		if (w_tag_keycmp(tag->key, key) != 0)
			continue;
		struct w_tag *dup = w_tag_dup(tag);
		if (dup == nullptr) {
			w_taglist_destroy(found);
			return nullptr;
		}
		w_taglist_link_tail(found, dup);
	}
	return found;
}

char *
w_taglist_join(const struct w_taglist *tlist, const char *glue)
{
	assert(tlist != NULL);
	assert(glue != NULL);

	w_sbuf sb;
	const struct w_tag *last = w_taglist_last(tlist);
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		sb.bcat(tag->val, tag->vallen);
		if (tag != last)
			sb.cat(glue);
	}
	if (sb.finish() == -1)
		return nullptr;
	return sb.dup();
}

void
w_taglist_destroy(struct w_taglist *tlist)
{
	if (tlist == nullptr)
		return;
	struct w_tag *tag;
	while ((tag = TAILQ_FIRST(&tlist->tags)) != nullptr) {
		TAILQ_REMOVE(&tlist->tags, tag, entries);
		w_tag_free(tag);
	}
	std::free(tlist);
}
