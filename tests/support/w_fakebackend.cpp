#include "w_fakebackend.h"

#include <cstdlib>
#include <cstring>

namespace wt {

namespace {

const char fake_libid[] = "fake";

fake_file *
data(void *opaque)
{
	auto *f = static_cast<fake_file *>(opaque);
	if (f == nullptr || f->libid != fake_libid)
		std::abort();
	return f;
}

struct w_taglist *
fake_read(void *opaque)
{
	fake_file *f = data(opaque);
	f->reads++;
	if (f->fail_read)
		return nullptr;
	struct w_taglist *l = w_taglist_new();
	for (const auto &[k, v] : f->stored)
		w_taglist_insert(l, k.c_str(), v.c_str());
	return l;
}

int
fake_write(void *opaque, const struct w_taglist *tlist)
{
	fake_file *f = data(opaque);
	f->writes++;
	if (f->fail_write)
		return -1;
	f->stored.clear();
	struct w_tag *t;
	W_TAGLIST_FOREACH(t, tlist)
		f->stored.emplace_back(t->key, t->val);
	return 0;
}

void
fake_clear(void *opaque)
{
	data(opaque)->clears++;
}

} // namespace

struct w_backend *
fake_backend()
{
	static struct w_backend b = {fake_libid, "in-memory files", nullptr, fake_read, fake_write,
	    fake_clear, {}, nullptr, nullptr, nullptr};
	return &b;
}

struct w_tune *
fake_tune(fake_file &file, const char *path)
{
	file.libid = fake_libid;
	auto *tune = static_cast<struct w_tune *>(std::calloc(1, sizeof(struct w_tune)));
	tune->path = strdup(path);
	tune->backend = fake_backend();
	tune->opaque = &file;
	return tune;
}

} // namespace wt
