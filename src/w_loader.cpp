#include "w_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include <sys/stat.h>

#include "w_journal.h"
#include "w_picture.h"
#include "w_settings.h"
#include "w_taglist.h"
#include "w_toolkit.h"

namespace {

/*
 * What a format made of its input: the documents, or the message saying why
 * there are none.  Most formats hold one document per input, which serves
 * every file; some may hold one document per file of a whole library, each
 * naming its file.
 */
struct document_set {
	w_fmtinput in;
	w_cstr_ptr errmsg;
	bool ok = false;
	// The documents by the file each names, known by its device and
	// inode, so that one file named two ways takes no document by either
	// name: built when first needed.
	mutable std::optional<std::map<std::pair<dev_t, ino_t>, w_fmtinput::names>> by_inode;
	// The documents that carry pictures, by their tags: built with the
	// set, empty for the usual input that carries none.
	std::map<const struct w_taglist *, const w_fmtdoc *> with_pictures;
};

// The documents of fp, read from the input called name.  A format that
// reads whole libraries leaves its messages to name the input.
document_set
read_document_set(FILE *fp, const char *name)
{
	document_set set;
	char *errmsg = nullptr;
	try {
		if (Fflag->fmt2docs != nullptr) {
			set.ok = Fflag->fmt2docs(fp, &set.in.docs, &errmsg) == 0;
		} else {
			w_fmtdoc doc;
			doc.tlist.reset(Fflag->fmt2tags(fp, &errmsg));
			set.ok = doc.tlist != nullptr;
			if (set.ok)
				set.in.docs.push_back(std::move(doc));
		}
		if (set.ok) {
			w_fmtinput_index(&set.in);
			for (const w_fmtdoc &doc : set.in.docs) {
				if (doc.has_pictures)
					set.with_pictures[doc.tlist.get()] = &doc;
			}
		}
	} catch (const std::bad_alloc &) {
		set.ok = false;
		set.in = w_fmtinput{};
		if (errmsg == nullptr)
			w_xasprintf(&errmsg, "%s", std::strerror(ENOMEM));
	}
	if (!set.ok && errmsg != nullptr && Fflag->fmt2docs != nullptr) {
		char *named = nullptr;
		w_xasprintf(&named, "%s: %s", w_escape(name, std::strlen(name)).c_str(), errmsg);
		std::free(errmsg);
		errmsg = named;
	}
	if (!set.ok)
		set.errmsg.reset(errmsg);
	return set;
}

/*
 * Standard input holds one input for the whole run.  It is read at the
 * first file that asks for it and the outcome is kept, so every file of the
 * run gets its tags from it (or fails with the same message); reading on
 * would give the later files an empty document and cost them all their
 * tags.  The stream is never closed: a later question still finds it at its
 * end.
 */
const document_set &
stdin_document_set(void)
{
	static const document_set set = read_document_set(stdin, "stdin");
	return set;
}

/*
 * An input that may hold a whole library's documents is read once for the
 * run and kept while the same file is loaded again: reading it for every
 * file would cost time growing with the square of the library's size.  The
 * file stays open, so that its inode cannot be reused for another file
 * that would then pass for it; a change to its size or times makes it read
 * anew.
 */
struct cached_set {
	w_file_ptr fp;
	struct stat st {};
	const struct w_format *format = nullptr;
	document_set set;
};

bool
same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
	    a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
	    a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The documents of the file open at fp, called name, which this takes over.
const document_set &
file_document_set(w_file_ptr fp, const char *name)
{
	static cached_set cache;
	struct stat st;
	const bool keep = Fflag->fmt2docs != nullptr && fstat(fileno(fp.get()), &st) == 0;
	if (keep && cache.fp != nullptr && Fflag == cache.format && same_file(st, cache.st))
		return cache.set;
	cache = cached_set{};
	cache.set = read_document_set(fp.get(), name);
	if (keep) {
		cache.fp = std::move(fp);
		cache.st = st;
		cache.format = Fflag;
	} else {
		// Closed before the outcome is looked at; a read-only stream has
		// nothing left to lose.
		fp.reset();
	}
	return cache.set;
}

// How the files of this run take their documents; see w_load_run_files.
w_fmtmatch run_match = w_fmtmatch::lone_serves_any;

// The documents naming the file st is, by any name.
const w_fmtinput::names &
naming(const document_set &set, const struct stat &st)
{
	if (!set.by_inode) {
		auto &index = set.by_inode.emplace();
		for (std::size_t i = 0; i < set.in.docs.size(); i++) {
			struct stat named;
			const w_fmtdoc &doc = set.in.docs[i];
			if (!doc.named || stat(doc.file.c_str(), &named) == -1)
				continue;
			w_fmtinput::names &n = index[{named.st_dev, named.st_ino}];
			if (n.first == w_fmtinput::none)
				n.first = i;
			else if (n.second == w_fmtinput::none)
				n.second = i;
		}
	}
	static const w_fmtinput::names nothing;
	auto it = set.by_inode->find({st.st_dev, st.st_ino});
	return it != set.by_inode->end() ? it->second : nothing;
}

/*
 * The tags for the music file at path.  Where documents name their files,
 * the file's own is the one that names it by any name (a.ogg, ./a.ogg and
 * sub/../a.ogg are one file), and two that name it fail it.  The input's
 * other rules are those of w_fmtinput_find.
 */
const struct w_taglist *
find_document(const document_set &set, const char *path, w_fmtmatch match, char **errmsg)
{
	const w_fmtinput &in = set.in;
	struct stat st;
	if (in.unnamed == w_fmtinput::none && (in.docs.size() > 1 || match == w_fmtmatch::by_name) &&
	    stat(path, &st) == 0) {
		const w_fmtinput::names &n = naming(set, st);
		if (n.second != w_fmtinput::none) {
			w_xasprintf(errmsg, "%s: more than one tag document names this file (lines %zu and %zu)",
			    w_escape(path, std::strlen(path)).c_str(), in.docs[n.first].line, in.docs[n.second].line);
			return nullptr;
		}
		if (n.first != w_fmtinput::none)
			return in.docs[n.first].tlist.get();
	}
	return w_fmtinput_find(&in, path, match, errmsg);
}

/*
 * A document that carries pictures (a complete backup) gives the file
 * exactly those pictures.  The same pictures as the file's, in the same
 * order, change nothing, so that loading a backup into the files it was
 * made of writes nothing.
 */
int
restore_pictures(struct w_tune *tune, const w_fmtdoc &doc)
{
	const char *path = w_tune_path(tune);
	try {
		std::vector<w_picture> now;
		if (w_tune_stored_pictures(tune, &now) == -1) {
			if (errno == ENOTSUP)
				warnx("%s: this kind of file holds no pictures", path);
			return -1;
		}
		bool same = now.size() == doc.pictures.size();
		for (std::size_t i = 0; same && i < now.size(); i++)
			same = w_picture_render(now[i]) == doc.pictures[i];
		if (same)
			return 0;
		if (w_journal_active()) {
			warnx("%s: a journal records tags, not pictures: the document's pictures are not loaded", path);
			errno = EINVAL;
			return -1;
		}
		std::vector<w_picture_slot> wished;
		for (const std::string &raw : doc.pictures) {
			w_picture_slot s;
			if (!w_picture_parse(raw, &s.pic)) {
				errno = EINVAL;
				return -1;
			}
			wished.push_back(std::move(s));
		}
		std::vector<w_picture_slot> *plan = w_tune_change_pictures(tune);
		if (plan == nullptr)
			return -1;
		*plan = std::move(wished);
		return 0;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

int
apply(struct w_tune *tune, const document_set &set, w_fmtmatch match)
{
	if (!set.ok) {
		if (set.errmsg != nullptr)
			warnx("%s", set.errmsg.get());
		return -1;
	}
	char *errmsg = nullptr;
	const struct w_taglist *tlist = find_document(set, w_tune_path(tune), match, &errmsg);
	if (tlist == nullptr) {
		warnx("%s", errmsg);
		std::free(errmsg);
		return -1;
	}
	if (w_tune_set_tags(tune, tlist) == -1)
		return -1;
	const auto carried = set.with_pictures.find(tlist);
	return carried == set.with_pictures.end() ? 0 : restore_pictures(tune, *carried->second);
}

/*
 * Loads the documents at fmtfile into tune.  The run's own input is kept
 * for the files after this one; an edit's document (own) serves its tune
 * once and is read past the cache, so that it never puts out the run's
 * input, which every later file would then read again.
 */
int
load(struct w_tune *tune, const char *fmtfile, bool own)
{
	assert(tune != NULL);
	assert(fmtfile != NULL);

	const w_fmtmatch match = own ? w_fmtmatch::lone_serves_any : run_match;
	if (*fmtfile == '\0' || std::strcmp(fmtfile, "-") == 0)
		return apply(tune, stdin_document_set(), match);

	FILE *fp = std::fopen(fmtfile, "r");
	if (fp == nullptr) {
		warn("%s: fopen", fmtfile);
		return -1;
	}
	w_file_ptr file(fp);
	if (own)
		return apply(tune, read_document_set(fp, fmtfile), match);
	return apply(tune, file_document_set(std::move(file), fmtfile), match);
}

} // namespace

void
w_load_run_files(std::size_t count)
{
	run_match = count > 1 ? w_fmtmatch::by_name : w_fmtmatch::lone_serves_any;
}

int
w_load(struct w_tune *tune, const char *fmtfile)
{
	return load(tune, fmtfile, false);
}

int
w_load_own(struct w_tune *tune, const char *fmtfile)
{
	return load(tune, fmtfile, true);
}

int
w_load_named_files(const char *backup, std::vector<std::string> *files)
{
	assert(backup != NULL);
	assert(files != NULL);
	assert(Fflag->fmt2docs != nullptr);

	FILE *fp = std::fopen(backup, "r");
	if (fp == nullptr) {
		warn("%s: fopen", backup);
		return -1;
	}
	// Read through the cache, so that the files' loads find it read.
	const document_set &set = file_document_set(w_file_ptr(fp), backup);
	if (!set.ok) {
		if (set.errmsg != nullptr)
			warnx("%s", set.errmsg.get());
		return -1;
	}
	const w_fmtinput &in = set.in;
	if (in.docs.empty()) {
		warnx("%s: the input holds no tag document", backup);
		return -1;
	}
	if (in.unnamed != w_fmtinput::none) {
		warnx("%s: line %zu: a restore without file names needs every document to name its file",
		    backup, in.docs[in.unnamed].line);
		return -1;
	}
	try {
		files->clear();
		files->reserve(in.by_file.size());
		// Each file once, where it is first named by any name; its load
		// then finds any other document naming it and fails.
		std::set<std::pair<dev_t, ino_t>> listed;
		for (std::size_t i = 0; i < in.docs.size(); i++) {
			const w_fmtdoc &doc = in.docs[i];
			struct stat st;
			if (in.by_file.at(doc.file).first != i ||
			    (stat(doc.file.c_str(), &st) == 0 && !listed.insert({st.st_dev, st.st_ino}).second))
				continue;
			files->push_back(doc.file);
		}
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", backup);
		return -1;
	}
	return 0;
}
