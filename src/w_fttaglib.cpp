#include "w_fttaglib.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <err.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_fileio.h"
#include "w_mp3fields.h"
#include "w_safefile.h"
#include "w_settings.h"
#include "w_props.h"
#include "w_tlmodule.h"
#include "w_tlplanio.h"
#include "w_tlwish.h"

namespace {

using namespace w_tlwish;

const char libid[] = "TagLib";

/*
 * TagLib is reached through a module of ours, loaded when a file first
 * needs it.  Most runs never do (FLAC and Ogg/Vorbis files have backends
 * of their own), and loading TagLib's C++ library costs more than reading
 * the tags of a small FLAC file.  The module sits in lib/wembrix beside the
 * bin directory of the program, in the build tree as after installation.
 */
const w_tlmodule *
module()
{
	static const w_tlmodule *api = nullptr;
	static bool tried = false;
	if (tried)
		return api;
	tried = true;

	std::string exe(PATH_MAX, '\0');
	ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
	if (n <= 0) {
		warn("TagLib module: /proc/self/exe");
		return nullptr;
	}
	exe.resize(static_cast<std::size_t>(n));
	const std::string dir = exe.substr(0, exe.rfind('/') + 1);
	void *handle = nullptr;
	for (const char *rel : {"../lib/wembrix/", "lib/wembrix/"}) {
		handle = dlopen((dir + rel + W_TLMODULE_NAME).c_str(), RTLD_NOW | RTLD_LOCAL);
		if (handle != nullptr)
			break;
	}
	if (handle == nullptr) {
		warnx("TagLib module: %s", dlerror());
		return nullptr;
	}
	auto entry = reinterpret_cast<w_tlmodule_entry_fn>(dlsym(handle, W_TLMODULE_ENTRY));
	const w_tlmodule *m = entry != nullptr ? entry() : nullptr;
	if (m == nullptr || m->version != W_TLMODULE_VERSION) {
		warnx("TagLib module: %s: not the module of this program", W_TLMODULE_NAME);
		return nullptr;
	}
	api = m;
	return api;
}

struct w_fttaglib_data {
	const char *libid;
	const char *path; // the tune's copy
	// TagLib's view of the file as it was opened; null once a write has
	// used it, until the next read opens the file again.
	w_tlfile *file;
	// The file as its tags were read, or as our last write left it: a
	// write refuses a file that another program changed meanwhile.
	w_fileid id;
	// The fields of an MP3 file read by our own walk, TagLib not loaded,
	// until a write; fd is then the tune's descriptor, which TagLib opens
	// when something else is asked of the file.
	std::optional<w_tl::raw_fields> raw;
	int fd = -1;
};

struct tlfile_closer {
	void operator()(w_tlfile *f) const { module()->close(f); }
};
using tlfile_ptr = std::unique_ptr<w_tlfile, tlfile_closer>;

// JSON is our own format, so it holds every field: a JSON document shows
// and takes the complete model of a file whatever the options, so that a
// backup restores whole.  --all-tags selects it for YAML and the actions.
bool
complete_model()
{
	return alltagsflag || (Fflag != nullptr && std::strcmp(Fflag->fileext, "json") == 0);
}

w_fttaglib_data *
checked(void *opaque)
{
	assert(opaque != NULL);
	auto *data = static_cast<w_fttaglib_data *>(opaque);
	assert(data->libid == libid);
	return data;
}

// Warns of a write to path that failed, errno kept: a file another
// program changed meanwhile is told apart.
void
warn_write(const char *path)
{
	const int saved = errno;
	if (saved == ESTALE)
		w_fileid_warn(path);
	else
		warn("%s", path);
	errno = saved;
}

// A file is rendered once: a write takes the handle the last read used,
// or opens the file afresh.  Null, with a warning, when it cannot.
// TagLib's handle on the file: through the descriptor kept since init,
// else opened by name.
w_tlfile *
open_file(w_fttaglib_data *data)
{
	const w_tlmodule *m = module();
	if (m == nullptr) {
		errno = ENOTSUP;
		return nullptr;
	}
	if (data->fd == -1)
		return m->open(data->path);
	const int fd = data->fd;
	data->fd = -1;
	return m->open_fd(fd, data->path);
}

tlfile_ptr
take_file(w_fttaglib_data *data)
{
	data->raw.reset(); // what the write leaves is TagLib's to read
	tlfile_ptr file(data->file != nullptr ? data->file : open_file(data));
	data->file = nullptr;
	if (!file)
		warn("%s", data->path);
	return file;
}

// Warns why the module would not render the file.
void
warn_render(const char *path, const char *why)
{
	if (why[0] != '\0')
		warnx("%s: %s", path, why);
	else
		warn("%s", path);
}

// Writes the plan into the file: 0, or -1 with a warning.
int
land(w_fttaglib_data *data, const w_tlplan &plan)
{
	try {
		if (w_tlplan_write(data->path, plan, data->id) == -1) {
			warn_write(data->path);
			return -1;
		}
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", data->path);
		return -1;
	}
	return 0;
}

// ---- --all-tags: every field, under the names FLAC uses ----
//
// For the files the module's mode covers (ID3v2 and MP4 tags) the fields
// are whatever the module reads and writes, each value a tag of its own;
// any other file keeps the seven fields below.

struct pairs_block {
	w_tlpair *pairs = nullptr;
	~pairs_block() { std::free(pairs); }
};

// The file's fields as a new list in *out (null when the read failed):
// true; false, with nothing done, when the mode does not cover the file.
bool
read_all(w_tlfile *file, w_taglist **out)
{
	pairs_block got;
	std::size_t count = 0;
	*out = nullptr;
	if (module()->alltags->read(file, &got.pairs, &count) == -1)
		return errno != ENOTSUP;
	w_taglist_ptr tlist(w_taglist_new());
	if (!tlist)
		return true;
	for (std::size_t i = 0; i < count; i++) {
		if (w_taglist_insert_spelled(tlist.get(), got.pairs[i].key, got.pairs[i].value) == -1)
			return true;
	}
	*out = tlist.release();
	return true;
}

// Writes the list as the file's fields: 0 or -1; nullopt, with nothing
// done and the file handle kept for the seven fields, when the mode does
// not cover the file.
std::optional<int>
write_all(w_fttaglib_data *data, const struct w_taglist *tlist)
{
	tlfile_ptr file = take_file(data);
	if (!file)
		return -1;
	std::vector<w_tlpair> pairs;
	try {
		struct w_tag *t;
		W_TAGLIST_FOREACH(t, tlist)
			pairs.push_back({t->spelled, t->val});
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", data->path);
		return -1;
	}
	w_tlplan plan{};
	char why[512];
	int r = module()->alltags->render(file.get(), pairs.data(), pairs.size(), &plan, why, sizeof(why));
	if (r == -1 && errno == ENOTSUP) {
		data->file = file.release();
		return std::nullopt;
	}
	if (r == -1) {
		warn_render(data->path, why);
		return -1;
	}
	return r == 0 ? 0 : land(data, plan);
}

// The module's handle on the file, opened again after a write closed it.
bool
reopened(w_fttaglib_data *data)
{
	if (data->file != nullptr)
		return true;
	if (data->fd != -1) {
		// Not opened by TagLib since init: the identity is init's.
		data->file = open_file(data);
		return data->file != nullptr;
	}
	w_fileid id;
	if (w_fileid_take(data->path, id) == -1)
		return false;
	data->file = module()->open(data->path);
	if (data->file == nullptr)
		return false;
	data->id = id;
	return true;
}

// The seven fields as a new list: texts that are not empty, numbers from
// 1 to 9999.  Null on failure.
w_taglist *
list_of(const char *const text[W_TL_NFIELDS], const unsigned int number[W_TL_NFIELDS])
{
	w_taglist_ptr tlist(w_taglist_new());
	if (!tlist)
		return nullptr;
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		const field &f = fields[i];
		if (f.format == nullptr) {
			if (*text[i] != '\0' && w_taglist_insert(tlist.get(), f.key, text[i]) == -1)
				return nullptr;
			continue;
		}
		if (!shown(number[i]))
			continue; // unset, or too wide to show in four digits
		char buf[5];
		int len = std::snprintf(buf, sizeof(buf), f.format, number[i]);
		if (len < 0 || static_cast<size_t>(len) >= sizeof(buf))
			return nullptr;
		if (w_taglist_insert(tlist.get(), f.key, buf) == -1)
			return nullptr;
	}
	return tlist.release();
}

// Our own reading of an MP3 file's fields through the tune's descriptor,
// from the bytes the probe already holds where they suffice.
bool
raw_read(const char *path, int fd, std::uint64_t size, w_tl::raw_fields *out)
{
	const unsigned char *head = nullptr;
	const std::size_t headlen = w_backend_probe_head(path, &head);
	auto read = [&](std::uint64_t off, std::size_t len, std::string *got) {
		if (off + len <= headlen || (off == 0 && headlen == size && len >= headlen)) {
			got->assign(reinterpret_cast<const char *>(head) + off,
			    static_cast<std::size_t>(std::min<std::uint64_t>(len, headlen - off)));
			return true;
		}
		got->resize(len);
		const ssize_t n = w_pread_upto(fd, got->data(), len, static_cast<off_t>(off));
		if (n < 0)
			return false;
		got->resize(static_cast<std::size_t>(n));
		return true;
	};
	try {
		return w_tl::mp3_fields(read, size, out);
	} catch (const std::bad_alloc &) {
		return false; // TagLib will have its try
	}
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
		w_fttaglib_props,
		w_fttaglib_pictures,
		w_fttaglib_write_pictures,
	};
	return &backend;
}

void *
w_fttaglib_init(const char *path)
{
	assert(path != NULL);

	auto *data = new (std::nothrow) w_fttaglib_data{};
	if (data == nullptr)
		return nullptr;
	data->libid = libid;
	data->path = path;
	// A print of MP3 files does without TagLib where our walk reads them.
	struct stat st;
	const int fd = w_backend_probe_fd(path, &st);
	if (fd != -1 && !complete_model() && S_ISREG(st.st_mode) && w_tl::mp3_named(path)) {
		w_tl::raw_fields raw;
		if (raw_read(path, fd, static_cast<std::uint64_t>(st.st_size), &raw)) {
			data->id = w_fileid_of(st);
			data->raw = std::move(raw);
			data->fd = w_backend_probe_take(path);
			return data;
		}
	}
	const w_tlmodule *m = module();
	if (m == nullptr) {
		delete data;
		return nullptr;
	}
	// The tune's descriptor when it probes the file, and what it knew of
	// the file when it opened it; else the identity is taken before
	// TagLib opens the file: a file changed in between is taken for
	// changed, never the other way round.
	if (fd != -1) {
		data->id = w_fileid_of(st);
		data->file = m->open_fd(w_backend_probe_take(path), path);
	} else if (w_fileid_take(path, data->id) == -1) {
		delete data;
		return nullptr;
	} else {
		data->file = m->open(path);
	}
	if (data->file == nullptr) {
		int saved = errno;
		delete data;
		errno = saved;
		return nullptr;
	}
	return data;
}

struct w_taglist *
w_fttaglib_read(void *opaque)
{
	w_fttaglib_data *data = checked(opaque);

	if (data->raw && !complete_model()) {
		const char *text[W_TL_NFIELDS];
		for (int i = 0; i < W_TL_NFIELDS; i++)
			text[i] = data->raw->text[i].c_str();
		return list_of(text, data->raw->number);
	}
	if (!reopened(data))
		return nullptr;
	if (complete_model()) {
		w_taglist *all = nullptr;
		if (read_all(data->file, &all))
			return all;
	}
	values v;
	if (module()->read(data->file, &v) == -1)
		return nullptr;
	return list_of(v.text, v.number);
}

int
w_fttaglib_write(void *opaque, const struct w_taglist *tlist)
{
	w_fttaglib_data *data = checked(opaque);
	assert(tlist != NULL);

	// A file another program changed meanwhile is not even planned for:
	// what its new tag would lose is no longer the question.
	if (w_fileid_check(data->path, data->id) == -1) {
		warn_write(data->path);
		return -1;
	}
	if (complete_model()) {
		if (std::optional<int> r = write_all(data, tlist))
			return *r;
	}

	wish w[W_TL_NFIELDS];
	std::vector<std::string> texts;
	try {
		wishes_of(data->path, tlist, w, texts);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", data->path);
		return -1;
	}

	const w_tlmodule *m = module();
	tlfile_ptr file = take_file(data);
	if (!file)
		return -1;
	values old;
	if (m->read(file.get(), &old) == -1) {
		warn("%s", data->path);
		return -1;
	}
	w_tlchange changes[W_TL_NFIELDS];
	if (!changes_of(w, old, changes))
		return 0;

	w_tlplan plan{};
	char why[256];
	if (m->render(file.get(), changes, &plan, why, sizeof(why)) == -1) {
		warn_render(data->path, why);
		return -1;
	}
	return land(data, plan);
}

void
w_fttaglib_clear(void *opaque)
{
	w_fttaglib_data *data = checked(opaque);
	if (data->file != nullptr)
		module()->close(data->file);
	if (data->fd != -1)
		close(data->fd);
	delete data;
}


struct w_taglist *
w_fttaglib_props(void *opaque)
{
	w_fttaglib_data *data = checked(opaque);

	if (!reopened(data))
		return nullptr;
	w_tlprops got{};
	if (module()->props(data->file, &got) == -1) {
		if (errno == ENODATA)
			warnx("%s: TagLib read no audio properties", data->path);
		return nullptr;
	}
	w_audioprops p;
	p.codec = got.codec;
	p.millis = got.millis;
	p.rate = got.rate;
	p.channels = got.channels;
	p.bits = got.bits;
	p.kbps = got.kbps;
	return w_props_tags(p);
}

int
w_fttaglib_pictures(void *opaque, std::vector<w_picture> *out)
{
	w_fttaglib_data *data = checked(opaque);

	if (!reopened(data))
		return -1;
	w_tlpicture *got = nullptr;
	std::size_t count = 0;
	if (module()->pictures(data->file, &got, &count) == -1)
		return -1;
	struct freer {
		void operator()(w_tlpicture *p) const { std::free(p); }
	};
	std::unique_ptr<w_tlpicture, freer> guard(got);
	try {
		for (std::size_t i = 0; i < count; i++) {
			w_picture p;
			p.type = got[i].type;
			p.mime = got[i].mime;
			p.description = got[i].description;
			p.data.assign(reinterpret_cast<const char *>(got[i].data), got[i].length);
			out->push_back(std::move(p));
		}
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
	return 0;
}

int
w_fttaglib_write_pictures(void *opaque, const std::vector<w_picture_slot> &slots)
{
	w_fttaglib_data *data = checked(opaque);

	if (w_fileid_check(data->path, data->id) == -1) {
		warn_write(data->path);
		return -1;
	}
	std::vector<w_tlpicslot> wished;
	try {
		wished.reserve(slots.size());
		for (const w_picture_slot &s : slots)
			wished.push_back({s.from, s.pic.type, s.pic.mime.c_str(), s.pic.description.c_str(),
			    reinterpret_cast<const unsigned char *>(s.pic.data.data()), s.pic.data.size()});
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", data->path);
		return -1;
	}
	tlfile_ptr file = take_file(data);
	if (!file)
		return -1;
	w_tlplan plan{};
	char why[512];
	const int r = module()->render_pictures(file.get(), wished.data(), wished.size(), &plan, why, sizeof(why));
	if (r == -1) {
		warn_render(data->path, why);
		return -1;
	}
	return r == 0 ? 0 : land(data, plan);
}
