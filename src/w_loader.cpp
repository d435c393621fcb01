#include "w_loader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <memory>
#include <sys/stat.h>

#include "w_settings.h"
#include "w_taglist.h"
#include "w_toolkit.h"

namespace {


// What a format made of a document: the tags, or the message saying why
// there are none.
struct loaded {
	w_taglist_ptr tlist;
	w_cstr_ptr errmsg;
};

loaded
read_document(FILE *fp)
{
	char *errmsg = nullptr;
	struct w_taglist *tlist = Fflag->fmt2tags(fp, &errmsg);
	return {w_taglist_ptr(tlist), w_cstr_ptr(tlist == nullptr ? errmsg : nullptr)};
}

/*
 * Standard input holds one document for the whole run.  It is read at the
 * first file that asks for it and the outcome is kept, so every file of the
 * run gets the same tags (or fails with the same message); reading on would
 * give the later files an empty document and cost them all their tags.  The
 * stream is never closed: a later question still finds it at its end.
 */
const loaded &
stdin_document(void)
{
	static const loaded document = read_document(stdin);
	return document;
}

/*
 * Formats whose input may hold the documents of many files (one per file of
 * a library) read it once into a set of documents; each tune then takes the
 * one naming its path.  Reading the input again for every file would cost
 * time growing with the square of the library's size.
 */
struct document_set {
	w_fmtdocs docs;
	w_cstr_ptr errmsg; // why there are none, when reading failed
	bool ok = false;
};

document_set
read_document_set(FILE *fp)
{
	document_set set;
	char *errmsg = nullptr;
	set.ok = Fflag->fmt2docs(fp, &set.docs, &errmsg) == 0;
	if (!set.ok)
		set.errmsg.reset(errmsg);
	return set;
}

const document_set &
stdin_document_set(void)
{
	static const document_set set = read_document_set(stdin);
	return set;
}

/*
 * The set last read from a document file, kept while the same file is
 * loaded again.  The file stays open, so that its inode cannot be reused
 * for another file (such as the next temporary document of an edit) that
 * would then pass for it; a change to its size or times makes it read anew.
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

// The document set of the file open at fp, which this takes over.
const document_set &
file_document_set(w_file_ptr fp)
{
	static cached_set cache;
	struct stat st;
	if (fstat(fileno(fp.get()), &st) == -1) {
		// Nothing to recognise it by later: read it and keep nothing open.
		cache = cached_set{};
		cache.set = read_document_set(fp.get());
		return cache.set;
	}
	if (cache.fp != nullptr && Fflag == cache.format && same_file(st, cache.st))
		return cache.set;
	cache = cached_set{};
	cache.set = read_document_set(fp.get());
	cache.fp = std::move(fp);
	cache.st = st;
	cache.format = Fflag;
	return cache.set;
}

int
apply_set(struct w_tune *tune, const document_set &set)
{
	if (!set.ok) {
		warnx("%s", set.errmsg.get());
		return -1;
	}
	char *errmsg = nullptr;
	const struct w_taglist *tlist = w_fmtdocs_find(&set.docs, w_tune_path(tune), &errmsg);
	if (tlist == nullptr) {
		warnx("%s", errmsg);
		std::free(errmsg);
		return -1;
	}
	return w_tune_set_tags(tune, tlist);
}

int
apply(struct w_tune *tune, const loaded &document)
{
	if (document.tlist == nullptr) {
		if (document.errmsg != nullptr)
			warnx("%s", document.errmsg.get());
		return -1;
	}
	return w_tune_set_tags(tune, document.tlist.get());
}

} // namespace

int
w_load(struct w_tune *tune, const char *fmtfile)
{
	assert(tune != NULL);
	assert(fmtfile != NULL);

	const bool from_stdin = *fmtfile == '\0' || std::strcmp(fmtfile, "-") == 0;
	if (from_stdin)
		return Fflag->fmt2docs != nullptr ? apply_set(tune, stdin_document_set())
						  : apply(tune, stdin_document());

	FILE *fp = std::fopen(fmtfile, "r");
	if (fp == nullptr) {
		warn("%s: fopen", fmtfile);
		return -1;
	}
	if (Fflag->fmt2docs != nullptr)
		return apply_set(tune, file_document_set(w_file_ptr(fp)));
	loaded document = read_document(fp);
	// Closed before the outcome is looked at; a read-only stream has
	// nothing left to lose.
	(void)std::fclose(fp);
	return apply(tune, document);
}
