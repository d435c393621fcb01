#include "w_loader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <memory>

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

	if (*fmtfile == '\0' || std::strcmp(fmtfile, "-") == 0)
		return apply(tune, stdin_document());

	FILE *fp = std::fopen(fmtfile, "r");
	if (fp == nullptr) {
		warn("%s: fopen", fmtfile);
		return -1;
	}
	loaded document = read_document(fp);
	// Closed before the outcome is looked at; a read-only stream has
	// nothing left to lose.
	(void)std::fclose(fp);
	return apply(tune, document);
}
