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

int
backend_rewrite(struct w_backend *backend, const std::string &path, const tags &t,
    const std::string *swap)
{
	std::unique_ptr<void, void (*)(void *)> d(backend->init(path.c_str()), backend->clear);
	EXPECT_NE(d, nullptr) << path;
	if (!d)
		return -2;
	if (swap != nullptr)
		write_file(path, *swap);
	w_taglist_ptr l = to_taglist(t);
	return backend->write(d.get(), l.get());
}

std::optional<std::string>
format_write(char *(*tags2fmt)(const struct w_taglist *, const char *), const tags &t,
    const char *path)
{
	auto tlist = to_taglist(t);
	w_cstr_ptr doc(tags2fmt(tlist.get(), path));
	if (doc == nullptr)
		return std::nullopt;
	return std::string(doc.get());
}

std::variant<tags, std::string>
format_read(struct w_taglist *(*fmt2tags)(FILE *, char **), const std::string &text)
{
	auto fp = stream_of(text);
	char *msg = nullptr;
	w_taglist_ptr tlist(fmt2tags(fp.get(), &msg));
	w_cstr_ptr owned(msg);
	if (tlist == nullptr) {
		EXPECT_NE(msg, nullptr) << "a rejected document must come with a message";
		return std::string(msg != nullptr ? msg : "");
	}
	EXPECT_EQ(msg, nullptr);
	return to_tags(tlist.get());
}

std::string
show(const tags &t)
{
	std::string s;
	for (const auto &[k, v] : t)
		s += testing::PrintToString(k) + " = " + testing::PrintToString(v) + "\n";
	return s;
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
