/* Helpers for tests that work with tag lists, tag documents and scripts
 * standing in for the user's programs. */
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "w_taglist.h"
#include "w_toolkit.h"
#include "w_testsupport.h"

namespace wt {


// The list's tags as (key, value) pairs, in order.
tags to_tags(const struct w_taglist *tlist);
// A new list holding tags, in order.
w_taglist_ptr to_taglist(const tags &t);

// An unnamed temporary stream holding text, positioned at its start.
w_file_ptr stream_of(const std::string &text);

// Writes an executable /bin/sh script with the given body.
void write_script(const std::string &path, const std::string &body);

} // namespace wt
