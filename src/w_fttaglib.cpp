#include "w_fttaglib.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <memory>
#include <new>
#include <taglib/tag_c.h>

namespace {

const char libid[] = "TagLib";

struct w_fttaglib_data {
	const char *libid;
	TagLib_File *file;
	TagLib_Tag *tag; // belongs to file
};

// With string management off, every string a getter returns is ours.
struct taglib_string_deleter {
	void operator()(char *s) const { taglib_free(s); }
};
using taglib_string = std::unique_ptr<char, taglib_string_deleter>;

struct taglib_file_deleter {
	void operator()(TagLib_File *f) const { taglib_file_free(f); }
};
using taglib_file_ptr = std::unique_ptr<TagLib_File, taglib_file_deleter>;

// The seven basic fields, in the order they are read and matched.  A field
// is either text or a number; a number is shown only from 1 to 9999.
struct field {
	const char *key;
	char *(*get_text)(const TagLib_Tag *);
	void (*set_text)(TagLib_Tag *, const char *);
	unsigned int (*get_number)(const TagLib_Tag *);
	void (*set_number)(TagLib_Tag *, unsigned int);
	const char *format;
};

const field fields[] = {
	{"title", taglib_tag_title, taglib_tag_set_title, nullptr, nullptr, nullptr},
	{"artist", taglib_tag_artist, taglib_tag_set_artist, nullptr, nullptr, nullptr},
	{"year", nullptr, nullptr, taglib_tag_year, taglib_tag_set_year, "%04u"},
	{"album", taglib_tag_album, taglib_tag_set_album, nullptr, nullptr, nullptr},
	{"track", nullptr, nullptr, taglib_tag_track, taglib_tag_set_track, "%02u"},
	{"genre", taglib_tag_genre, taglib_tag_set_genre, nullptr, nullptr, nullptr},
	{"comment", taglib_tag_comment, taglib_tag_set_comment, nullptr, nullptr, nullptr},
};

const field *
find_field(const char *key)
{
	for (const field &f : fields) {
		if (w_tag_keycmp(key, f.key) == 0)
			return &f;
	}
	return nullptr;
}

w_fttaglib_data *
checked(void *opaque)
{
	assert(opaque != NULL);
	auto *data = static_cast<w_fttaglib_data *>(opaque);
	assert(data->libid == libid);
	return data;
}

// Adds the field's tag to tlist when the file has a value for it: 0, or -1.
int
read_field(const field &f, const TagLib_Tag *tag, struct w_taglist *tlist)
{
	if (f.get_text != nullptr) {
		taglib_string s(f.get_text(tag));
		if (!s)
			return -1;
		if (*s == '\0')
			return 0;
		return w_taglist_insert(tlist, f.key, s.get());
	}
	unsigned int n = f.get_number(tag);
	if (n < 1 || n > 9999)
		return 0; // unset, or too wide to show in four digits
	char buf[5];
	int len = std::snprintf(buf, sizeof(buf), f.format, n);
	if (len < 0 || static_cast<size_t>(len) >= sizeof(buf))
		return -1;
	return w_taglist_insert(tlist, f.key, buf);
}

// Sets the number field from val; a value that is not a whole unsigned
// 32-bit decimal number is skipped with a warning.
void
write_number(const field &f, TagLib_Tag *tag, const char *key, const char *val)
{
	char *end;
	errno = 0;
	unsigned long n = std::strtoul(val, &end, 10);
	if (end == val || *end != '\0') {
		warnx("invalid unsigned int argument for %s: %s", key, val);
		return;
	}
	// strtoul wraps a negative number around, and saturates on overflow:
	// both land above the 32-bit range.
	if (n > UINT32_MAX || (n == ULONG_MAX && errno == ERANGE)) {
		warnx("invalid unsigned int argument for %s: %s (too large)", key, val);
		return;
	}
	f.set_number(tag, static_cast<unsigned int>(n));
}

} // namespace

struct w_backend *
w_fttaglib_backend(void)
{
	static struct w_backend backend = {
		libid,
		"various file format but limited set of tags",
		w_fttaglib_init,
		w_fttaglib_read,
		w_fttaglib_write,
		w_fttaglib_clear,
		{},
	};

	// Only a locale that names UTF-8 exactly asks for Unicode strings;
	// anything else leaves TagLib's own default alone.
	const char *lc_all = std::getenv("LC_ALL");
	if (lc_all != nullptr) {
		const char *dot = std::strchr(lc_all, '.');
		if (dot != nullptr && std::strcmp(dot + 1, "UTF-8") == 0)
			taglib_set_strings_unicode(1);
	}
	// TagLib would otherwise keep every string it hands out until told to
	// free them all; we free each one as soon as it is used.
	taglib_set_string_management_enabled(0);
	return &backend;
}

void *
w_fttaglib_init(const char *path)
{
	assert(path != NULL);

	auto *data = new (std::nothrow) w_fttaglib_data{};
	if (data == nullptr)
		return nullptr;
	std::unique_ptr<w_fttaglib_data> guard(data);
	data->libid = libid;
	try {
		taglib_file_ptr file(taglib_file_new(path));
		if (!file || !taglib_file_is_valid(file.get()))
			return nullptr;
		// Every later operation goes through the tag handle: a file that
		// has none is not one this backend can handle.
		data->tag = taglib_file_tag(file.get());
		if (data->tag == nullptr)
			return nullptr;
		data->file = file.release();
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return nullptr;
	} catch (...) {
		return nullptr;
	}
	return guard.release();
}

struct w_taglist *
w_fttaglib_read(void *opaque)
{
	w_fttaglib_data *data = checked(opaque);

	struct w_taglist *tlist = w_taglist_new();
	if (tlist == nullptr)
		return nullptr;
	try {
		for (const field &f : fields) {
			if (read_field(f, data->tag, tlist) == -1) {
				w_taglist_destroy(tlist);
				return nullptr;
			}
		}
	} catch (const std::bad_alloc &) {
		w_taglist_destroy(tlist);
		errno = ENOMEM;
		return nullptr;
	} catch (...) {
		w_taglist_destroy(tlist);
		return nullptr;
	}
	return tlist;
}

int
w_fttaglib_write(void *opaque, const struct w_taglist *tlist)
{
	w_fttaglib_data *data = checked(opaque);
	assert(tlist != NULL);

	try {
		// The list is the whole tag set: a field it does not set goes.
		for (const field &f : fields) {
			if (f.set_text != nullptr)
				f.set_text(data->tag, "");
			else
				f.set_number(data->tag, 0);
		}
		struct w_tag *t;
		W_TAGLIST_FOREACH(t, tlist) {
			const field *f = find_field(t->key);
			if (f == nullptr)
				warnx("unsupported tag for TagLib backend: %s", t->key);
			else if (f->set_text != nullptr)
				f->set_text(data->tag, t->val);
			else
				write_number(*f, data->tag, t->key, t->val);
		}
		return taglib_file_save(data->file) ? 0 : -1;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	} catch (...) {
		return -1;
	}
}

void
w_fttaglib_clear(void *opaque)
{
	w_fttaglib_data *data = checked(opaque);
	taglib_file_free(data->file);
	delete data;
}
