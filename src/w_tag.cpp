#include "w_tag.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

#include "w_toolkit.h"

struct w_tag *
w_tag_new(const char *key, const char *val)
{
	assert(key != NULL);
	assert(val != NULL);
	return w_tag_new_len(key, std::strlen(key), val, std::strlen(val));
}

namespace {

struct w_tag *
make(const char *key, std::size_t keylen, const char *val, std::size_t vallen, bool spelled)
{
	assert(key != NULL);
	assert(val != NULL);

	const std::size_t extra = spelled ? keylen + 1 : 0;
	void *block = std::malloc(sizeof(struct w_tag) + keylen + vallen + 2 + extra);
	if (block == nullptr)
		return nullptr;
	struct w_tag *tag = new (block) w_tag{};
	tag->keylen = keylen;
	tag->vallen = vallen;
	// The key is lower-cased while it is copied: the same bytes as a copy
	// lower-cased in place with w_strtolower, in one pass.
	tag->key = reinterpret_cast<char *>(tag + 1);
	w_lowercpy(tag->key, key, keylen);
	tag->key[keylen] = '\0';
	tag->val = tag->key + keylen + 1;
	std::memcpy(tag->val, val, vallen);
	tag->val[vallen] = '\0';
	tag->spelled = tag->key;
	if (spelled) {
		tag->spelled = tag->val + vallen + 1;
		std::memcpy(tag->spelled, key, keylen);
		tag->spelled[keylen] = '\0';
	}
	return tag;
}

} // namespace

struct w_tag *
w_tag_new_len(const char *key, std::size_t keylen, const char *val, std::size_t vallen)
{
	return make(key, keylen, val, vallen, false);
}

struct w_tag *
w_tag_new_spelled(const char *key, std::size_t keylen, const char *val, std::size_t vallen)
{
	return make(key, keylen, val, vallen, true);
}

struct w_tag *
w_tag_dup(const struct w_tag *tag)
{
	assert(tag != NULL);
	if (tag->spelled != tag->key)
		return w_tag_new_spelled(tag->spelled, tag->keylen, tag->val, tag->vallen);
	return w_tag_new_len(tag->key, tag->keylen, tag->val, tag->vallen);
}

void
w_tag_free(struct w_tag *tag)
{
	std::free(tag);
}

int
w_tag_keycmp(const char *a, const char *b)
{
	assert(a != NULL);
	assert(b != NULL);
	return strcasecmp(a, b);
}
