/*
 * The YAML tag document: a sequence of one-pair mappings, one per tag, in
 * list order, optionally headed by a comment line naming the music file.
 */
#pragma once

#include "w_contract.h"
#include "w_format.h"
#include "w_taglist.h"

#include <cstddef>
#include <cstdio>

struct w_format *w_yaml_format(void);

// The document for tlist, malloc'ed; null on failure.
char *w_tags2yaml(const struct w_taglist *tlist, const char *path);
// The tags of the document read from fp, or null with *errmsg set.
struct w_taglist *w_yaml2tags(FILE *fp, char **errmsg);
// libyaml write handler appending to a w_sbuf.
int w_yaml_whdl(void *sb, unsigned char *buffer, std::size_t size);
