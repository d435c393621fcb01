/*
 * A shortcut for the common tag document: when every key and value would
 * be written by the YAML emitter as a short plain scalar, the document is
 * produced directly, byte for byte as the emitter would produce it, without
 * setting up an emitter per file.  Anything unusual goes to the emitter.
 */
#pragma once

#include "w_contract.h"
#include "w_sbuf.h"
#include "w_taglist.h"

// Appends the document's YAML stream for tlist to sb and returns true, or
// returns false, leaving sb unchanged, when the emitter must decide.
bool w_yaml_plain_doc(const struct w_taglist *tlist, w_sbuf &sb);
