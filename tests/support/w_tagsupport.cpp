#include "w_tagsupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "w_fttaglib.h"
#include "w_mp3fields.h"
#include "w_settings.h"

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

namespace {

// The file's tags as the TagLib backend reads them: probe, through a
// descriptor lent as the tune lends it (with the first bytes kept), else
// by name.
tags
taglib_read(const std::string &path, bool probe)
{
	struct w_backend *b = w_fttaglib_backend();
	if (probe) {
		const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
		struct stat st;
		unsigned char head[w_backend_probe_size];
		if (fd == -1 || fstat(fd, &st) == -1)
			return {{"(cannot open)", path}};
		w_backend_probe_begin(path.c_str());
		const ssize_t n = pread(fd, head, sizeof head, 0);
		if (n > 0)
			w_backend_probe_keep(path.c_str(), head, static_cast<std::size_t>(n));
		w_backend_probe_lend(fd, st, false);
	}
	tags t{{"(refused)", ""}};
	if (void *d = b->init(path.c_str())) {
		w_taglist_ptr l(b->read(d));
		t = l ? to_tags(l.get()) : tags{{"(unread)", ""}};
		b->clear(d);
	}
	if (probe)
		w_backend_probe_end();
	return t;
}

} // namespace

void
expect_mp3_read_alike(const std::string &path)
{
	struct stat st;
	if (!w_tl::mp3_named(path.c_str()) || stat(path.c_str(), &st) == -1 || !S_ISREG(st.st_mode))
		return;
	const int saved_all = alltagsflag;
	const struct w_format *saved_format = Fflag;
	// The seven fields (a YAML print), then the complete model (JSON's).
	for (int all : {0, 1}) {
		alltagsflag = all;
		Fflag = nullptr;
		EXPECT_EQ(taglib_read(path, true), taglib_read(path, false))
		    << path << (all ? " (complete model)" : " (seven fields)");
	}
	alltagsflag = saved_all;
	Fflag = saved_format;
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
