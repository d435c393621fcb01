/*
 * A shortcut for the common tag document: when every key and value would
 * be written by the YAML emitter as a short plain scalar, the document is
 * produced directly, byte for byte as the emitter would produce it, without
 * setting up an emitter per file.  Anything unusual goes to the emitter.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include "w_sbuf.h"
#include "w_taglist.h"

// True when a YAML reader that resolves plain scalars by their look (the
// YAML 1.1 types PyYAML knows, the YAML 1.2 core schema of yq) would take
// this text, written plain, as something other than the same string: a
// null, a boolean, a number, a date, a merge key.  Such text is written
// single-quoted; our own reader takes every scalar as text either way.
bool w_yaml_plain_resolves(const char *s, std::size_t len);

// Appends the document's YAML stream for tlist to sb and returns true, or
// returns false, leaving sb unchanged, when the emitter must decide.
bool w_yaml_plain_doc(const struct w_taglist *tlist, w_sbuf &sb);
