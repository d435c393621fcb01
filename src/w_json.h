/*
 * The JSON tag document: one object per music file on one line,
 *
 *	{"file":"a.flac","tags":[{"title":"Intro"},{"artist":"Some Band"}]}
 *
 * the tags a list of one-member objects in list order, values strings byte
 * for byte.  An input may hold many such lines, one per file, so that the
 * tags of a whole library print into one file and load back from it; a
 * bare list of one-member objects is read as well.  With --pictures a
 * document carries the file's pictures after its tags, for a complete
 * backup: "pictures", a list of the base64 of each FLAC picture structure.
 */
#pragma once

#include "w_contract.h"
#include "w_format.h"
#include "w_taglist.h"

#include <cstdio>
#include <vector>

#include "w_picture.h"

struct w_format *w_json_format(void);

// The document for tlist, without a final line feed, malloc'ed; null on
// failure (text that is not UTF-8 is reported, errno EILSEQ).
char *w_tags2json(const struct w_taglist *tlist, const char *path);
// The same document with a "pictures" member after the tags: a list of
// the pictures, each the base64 of its FLAC picture structure.  Throws
// std::bad_alloc.
char *w_tags2json_pictures(const struct w_taglist *tlist, const char *path, const std::vector<w_picture> &pictures);
// The tags of the one document read from fp, or null with *errmsg set.
struct w_taglist *w_json2tags(FILE *fp, char **errmsg);
// Every document read from fp into *docs: 0, or -1 with *errmsg set.  Which
// of several documents serves which file is decided where they are used
// (w_fmtinput_find).
int w_json2docs(FILE *fp, w_fmtdocs *docs, char **errmsg);
