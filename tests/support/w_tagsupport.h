/* Helpers for tests that work with tag lists, tag documents and scripts
 * standing in for the user's programs. */
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "w_backend.h"
#include "w_taglist.h"
#include "w_toolkit.h"
#include "w_testsupport.h"

namespace wt {


// The list's tags as (key, value) pairs, in order.
tags to_tags(const struct w_taglist *tlist);
// A new list holding tags, in order.
w_taglist_ptr to_taglist(const tags &t);

// Expects the fields of the file at path, when it is an MP3 file, to read
// the same through the tune's descriptor (where our own walk reads them in
// place of TagLib) as through TagLib alone, in the seven fields and in the
// complete model.  The program is checked so on every MP3 file a test runs
// it on.
void expect_mp3_read_alike(const std::string &path);

// Opens path with backend, then (when given) puts other bytes in its place,
// and writes tags: the writer must cope with whatever it finds when it
// runs.  The write's result, or -2 (a failed test) when init refuses path.
int backend_rewrite(struct w_backend *backend, const std::string &path, const tags &t,
    const std::string *swap = nullptr);

// The document a format's writer makes of t (headed by path unless it is
// null), or nullopt when it makes none.
std::optional<std::string> format_write(char *(*tags2fmt)(const struct w_taglist *, const char *),
    const tags &t, const char *path);
// What a format's reader makes of text: the tags, or its message.  A
// rejected document without a message, or a message beside tags, fails the
// test.
std::variant<tags, std::string> format_read(struct w_taglist *(*fmt2tags)(FILE *, char **),
    const std::string &text);
// The tags one per line, printable, for the message of a failed test.
std::string show(const tags &t);

// An unnamed temporary stream holding text, positioned at its start.
w_file_ptr stream_of(const std::string &text);

// Writes an executable /bin/sh script with the given body.
void write_script(const std::string &path, const std::string &body);

} // namespace wt
