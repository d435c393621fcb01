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

	std::size_t kl = std::strlen(key);
	std::size_t vl = std::strlen(val);
	void *block = std::malloc(sizeof(struct w_tag) + kl + vl + 2);
	if (block == nullptr)
		return nullptr;
	struct w_tag *tag = new (block) w_tag{};
	tag->keylen = kl;
	tag->vallen = vl;
	tag->key = reinterpret_cast<char *>(tag + 1);
	std::memcpy(tag->key, key, kl + 1);
	w_strtolower(tag->key);
	tag->val = tag->key + kl + 1;
	std::memcpy(tag->val, val, vl + 1);
	return tag;
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
