#include "w_fttaglib.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <err.h>
#include <memory>
#include <new>
#include <taglib/tag_c.h>

namespace {

const char libid[] = "TagLib";

/*
 * TagLib is loaded when a file first needs it.  Most runs never do (FLAC
 * and Ogg/Vorbis files have backends of their own), and loading its C++
 * library costs more than reading the tags of a small FLAC file.  The
 * functions are looked up the way the linker would have bound them.
 */
#define W_TAGLIB_FUNCTIONS(X)                                                      \
	X(taglib_set_strings_unicode)                                              \
	X(taglib_set_string_management_enabled)                                    \
	X(taglib_free)                                                             \
	X(taglib_file_new)                                                         \
	X(taglib_file_free)                                                        \
	X(taglib_file_is_valid)                                                    \
	X(taglib_file_tag)                                                         \
	X(taglib_file_save)                                                        \
	X(taglib_tag_title)                                                        \
	X(taglib_tag_artist)                                                       \
	X(taglib_tag_album)                                                        \
	X(taglib_tag_comment)                                                      \
	X(taglib_tag_genre)                                                        \
	X(taglib_tag_year)                                                         \
	X(taglib_tag_track)                                                        \
	X(taglib_tag_set_title)                                                    \
	X(taglib_tag_set_artist)                                                   \
	X(taglib_tag_set_album)                                                    \
	X(taglib_tag_set_comment)                                                  \
	X(taglib_tag_set_genre)                                                    \
	X(taglib_tag_set_year)                                                     \
	X(taglib_tag_set_track)

struct taglib_api {
#define W_TAGLIB_MEMBER(name) decltype(&::name) name;
	W_TAGLIB_FUNCTIONS(W_TAGLIB_MEMBER)
#undef W_TAGLIB_MEMBER
};

taglib_api tl;
bool tl_loaded = false;
bool tl_unicode = false; // what LC_ALL asked for when the record was taken

// The library settings: strings are UTF-8 when LC_ALL names UTF-8, and
// every string a getter returns is ours to free.
void
apply_settings()
{
	if (tl_unicode)
		tl.taglib_set_strings_unicode(1);
	tl.taglib_set_string_management_enabled(0);
}

// True once TagLib's C binding is loaded and configured.
bool
load_taglib()
{
	static bool tried = false;
	if (tried)
		return tl_loaded;
	tried = true;
	if (dlopen("libtag_c.so.0", RTLD_NOW | RTLD_GLOBAL) == nullptr &&
	    dlopen("libtag_c.so", RTLD_NOW | RTLD_GLOBAL) == nullptr)
		return false;
	taglib_api api;
#define W_TAGLIB_LOOKUP(name)                                                       \
	api.name = reinterpret_cast<decltype(&::name)>(dlsym(RTLD_DEFAULT, #name)); \
	if (api.name == nullptr)                                                    \
		return false;
	W_TAGLIB_FUNCTIONS(W_TAGLIB_LOOKUP)
#undef W_TAGLIB_LOOKUP
	tl = api;
	tl_loaded = true;
	apply_settings();
	return true;
}

struct w_fttaglib_data {
	const char *libid;
	TagLib_File *file;
	TagLib_Tag *tag; // belongs to file
};

// With string management off, every string a getter returns is ours.
struct taglib_string_deleter {
	void operator()(char *s) const { tl.taglib_free(s); }
};
using taglib_string = std::unique_ptr<char, taglib_string_deleter>;

struct taglib_file_deleter {
	void operator()(TagLib_File *f) const { tl.taglib_file_free(f); }
};
using taglib_file_ptr = std::unique_ptr<TagLib_File, taglib_file_deleter>;

// The seven basic fields, in the order they are read and matched.  A field
// is either text or a number; a number is shown only from 1 to 9999.
struct field {
	const char *key;
	decltype(&::taglib_tag_title) taglib_api::*get_text;
	decltype(&::taglib_tag_set_title) taglib_api::*set_text;
	decltype(&::taglib_tag_year) taglib_api::*get_number;
	decltype(&::taglib_tag_set_year) taglib_api::*set_number;
	const char *format;
};

const field fields[] = {
	{"title", &taglib_api::taglib_tag_title, &taglib_api::taglib_tag_set_title, nullptr, nullptr,
	    nullptr},
	{"artist", &taglib_api::taglib_tag_artist, &taglib_api::taglib_tag_set_artist, nullptr,
	    nullptr, nullptr},
	{"year", nullptr, nullptr, &taglib_api::taglib_tag_year, &taglib_api::taglib_tag_set_year,
	    "%04u"},
	{"album", &taglib_api::taglib_tag_album, &taglib_api::taglib_tag_set_album, nullptr, nullptr,
	    nullptr},
	{"track", nullptr, nullptr, &taglib_api::taglib_tag_track, &taglib_api::taglib_tag_set_track,
	    "%02u"},
	{"genre", &taglib_api::taglib_tag_genre, &taglib_api::taglib_tag_set_genre, nullptr, nullptr,
	    nullptr},
	{"comment", &taglib_api::taglib_tag_comment, &taglib_api::taglib_tag_set_comment, nullptr,
	    nullptr, nullptr},
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
		taglib_string s((tl.*f.get_text)(tag));
		if (!s)
			return -1;
		if (*s == '\0')
			return 0;
		return w_taglist_insert(tlist, f.key, s.get());
	}
	unsigned int n = (tl.*f.get_number)(tag);
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
	(tl.*f.set_number)(tag, static_cast<unsigned int>(n));
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
	// anything else leaves TagLib's own default alone.  TagLib would
	// otherwise keep every string it hands out until told to free them
	// all; we free each one as soon as it is used.  The settings reach the
	// library now if it is loaded, else as soon as it is.
	const char *lc_all = std::getenv("LC_ALL");
	const char *dot = lc_all != nullptr ? std::strchr(lc_all, '.') : nullptr;
	tl_unicode = dot != nullptr && std::strcmp(dot + 1, "UTF-8") == 0;
	if (tl_loaded)
		apply_settings();
	return &backend;
}

void *
w_fttaglib_init(const char *path)
{
	assert(path != NULL);

	if (!load_taglib())
		return nullptr;
	auto *data = new (std::nothrow) w_fttaglib_data{};
	if (data == nullptr)
		return nullptr;
	std::unique_ptr<w_fttaglib_data> guard(data);
	data->libid = libid;
	try {
		taglib_file_ptr file(tl.taglib_file_new(path));
		if (!file || !tl.taglib_file_is_valid(file.get()))
			return nullptr;
		// Every later operation goes through the tag handle: a file that
		// has none is not one this backend can handle.
		data->tag = tl.taglib_file_tag(file.get());
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
				(tl.*f.set_text)(data->tag, "");
			else
				(tl.*f.set_number)(data->tag, 0);
		}
		struct w_tag *t;
		W_TAGLIST_FOREACH(t, tlist) {
			const field *f = find_field(t->key);
			if (f == nullptr)
				warnx("unsupported tag for TagLib backend: %s", t->key);
			else if (f->set_text != nullptr)
				(tl.*f->set_text)(data->tag, t->val);
			else
				write_number(*f, data->tag, t->key, t->val);
		}
		return tl.taglib_file_save(data->file) ? 0 : -1;
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
	tl.taglib_file_free(data->file);
	delete data;
}
