/*
 * The preview of a run (-n): what a file's tags would become, shown as the
 * lines of its tag document that would go ('-') and come ('+'), the lines
 * that stay left out.
 */
#pragma once

#include "w_contract.h"
#include "w_taglist.h"
#include "w_tune.h"

#include <cstdio>
#include <string>
#include <vector>

// The lines of a and b, marked "-" (only in a) and "+" (only in b), in
// document order along a longest common run of lines; none when equal.
std::vector<std::string> w_preview_diff(const std::string &a, const std::string &b);

// Prints to out the path of the file and the change from old to neo, as
// documents of the selected format, when they differ; nothing when they do
// not.  0, or -1 (said) when a document cannot be made.
int w_preview_tags(FILE *out, const char *path, const struct w_taglist *old,
    const struct w_taglist *neo);

// Puts in *was the picture listing of what the file holds, taken before
// its write is rehearsed (a rehearsal changes the backend's own view of
// the file).  0, or -1 (said) when the file's pictures cannot be read.
int w_preview_picture_listing(struct w_tune *tune, std::string *was);

// Prints to out, when the tune's pictures were changed, the path of the
// file and the lines of its picture listing (was, as made by
// w_preview_picture_listing) that would go and come.  0, or -1 (said).
int w_preview_pictures(FILE *out, struct w_tune *tune, const std::string &was);
