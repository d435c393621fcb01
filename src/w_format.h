/*
 * Tag document formats: a static record per format and the ordered
 * registry; the first entry is the default.
 */
#pragma once

#include "w_contract.h"
#include "w_taglist.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <sys/queue.h>
#include <unordered_map>
#include <utility>
#include <vector>

/*
 * The documents of a tag input that may hold one document per music file,
 * such as a whole library's tags printed in one run.  A document names the
 * file it belongs to, or nothing when it stands alone.
 */
struct w_fmtdoc {
	bool named = false;      // whether it names a file
	std::string file;        // the music file's path, as it was given
	w_taglist_ptr tlist;     // its tags
	// The pictures it carries, each a FLAC picture structure, when it
	// carries any member for them (a JSON document made with --pictures).
	bool has_pictures = false;
	std::vector<std::string> pictures;
	std::size_t line = 0;    // where it begins in the input, from 1
	std::size_t column = 0;
};
using w_fmtdocs = std::vector<w_fmtdoc>;

struct w_format {
	const char *libid;
	const char *fileext;
	const char *description;
	// The document for tlist (headed by path unless it is null), malloc'ed.
	char *(*tags2fmt)(const struct w_taglist *tlist, const char *path);
	// The tags of the document read from fp, or null with *errmsg set.
	struct w_taglist *(*fmt2tags)(FILE *fp, char **errmsg);
	TAILQ_ENTRY(w_format) entries;
	// For a format whose input may hold the documents of several files
	// (null for the others): reads every document from fp into *docs and
	// returns 0, or returns -1 with *errmsg set; the message does not name
	// the input, which its caller puts before it.
	int (*fmt2docs)(FILE *fp, w_fmtdocs *docs, char **errmsg) = nullptr;
};

TAILQ_HEAD(w_formatQ, w_format);

// The registry, built on first use; lent, never freed.
struct w_formatQ *w_all_formats(void);

/*
 * The documents of one input with an index of them by the file each names,
 * built once for the input, so that finding a file's document costs the
 * same whatever the size of the library.  The index refers to the file
 * names held in docs: docs must not change once it is built.  Moving the
 * whole input keeps both valid; copying it is refused.
 */
struct w_fmtinput {
	static constexpr std::size_t none = static_cast<std::size_t>(-1);
	struct names {
		std::size_t first = none;  // the first document naming the file
		std::size_t second = none; // the next one, when another names it too
	};

	w_fmtdocs docs;
	std::unordered_map<std::string_view, names> by_file;
	std::size_t unnamed = none; // the first document that names no file

	w_fmtinput() = default;
	w_fmtinput(w_fmtinput &&) = default;
	w_fmtinput &operator=(w_fmtinput &&) = default;
	w_fmtinput(const w_fmtinput &) = delete;
	w_fmtinput &operator=(const w_fmtinput &) = delete;
};

// Indexes in->docs, once they are all read.  May throw std::bad_alloc.
void w_fmtinput_index(w_fmtinput *in);

// How a file takes its document from an input.
enum class w_fmtmatch {
	// A lone document serves the file whatever file it names, so that tags
	// are copied from one file to another.  For a run over one file, and
	// for the file's own document in an edit.
	lone_serves_any,
	// The file takes only the document that names it.  For a run over
	// several files, which must never take each other's tags.
	by_name,
};

// The tags in for the music file at path: a lone document that names no
// file serves any; otherwise as match says.  Lent from in; null with
// *errmsg set when no document serves path, or more than one names it.
const struct w_taglist *w_fmtinput_find(const w_fmtinput *in, const char *path, w_fmtmatch match, char **errmsg);
