#include "w_tagsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace wt {

tags
to_tags(const struct w_taglist *tlist)
{
	tags t;
	const struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist)
		t.emplace_back(std::string(tag->key, tag->keylen), std::string(tag->val, tag->vallen));
	return t;
}

w_taglist_ptr
to_taglist(const tags &t)
{
	w_taglist_ptr tlist(w_taglist_new());
	if (tlist == nullptr)
		throw std::bad_alloc();
	for (const auto &[k, v] : t) {
		if (w_taglist_insert(tlist.get(), k.c_str(), v.c_str()) == -1)
			throw std::bad_alloc();
	}
	return tlist;
}

w_file_ptr
stream_of(const std::string &text)
{
	w_file_ptr fp(std::tmpfile());
	if (fp == nullptr)
		throw std::runtime_error("tmpfile failed");
	if (!text.empty() && std::fwrite(text.data(), 1, text.size(), fp.get()) != text.size())
		throw std::runtime_error("write failed");
	std::rewind(fp.get());
	return fp;
}

void
write_script(const std::string &path, const std::string &body)
{
	write_file(path, "#!/bin/sh\n" + body);
	if (chmod(path.c_str(), 0755) == -1)
		throw std::runtime_error("chmod failed");
}

} // namespace wt
