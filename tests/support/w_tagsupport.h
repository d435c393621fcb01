/* Helpers for tests that work with tag lists, tag documents and scripts
 * standing in for the user's programs. */
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "w_taglist.h"
#include "w_testsupport.h"

namespace wt {

struct taglist_deleter {
	void operator()(struct w_taglist *tlist) const { w_taglist_destroy(tlist); }
};
using taglist_ptr = std::unique_ptr<struct w_taglist, taglist_deleter>;

// The list's tags as (key, value) pairs, in order.
tags to_tags(const struct w_taglist *tlist);
// A new list holding tags, in order.
taglist_ptr to_taglist(const tags &t);

// An unnamed temporary stream holding text, positioned at its start.
struct file_closer {
	void operator()(FILE *fp) const { std::fclose(fp); }
};
std::unique_ptr<FILE, file_closer> stream_of(const std::string &text);

// Writes an executable /bin/sh script with the given body.
void write_script(const std::string &path, const std::string &body);

} // namespace wt
