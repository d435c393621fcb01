/*
 * The audio properties of a file as TagLib read them from its headers.
 */
#pragma once

#include <taglib/tfile.h>

#include "w_tlmodule.h"

namespace w_tl {

// Fills out from the file's audio properties: false when TagLib has none.
bool audio_props(TagLib::File *file, w_tlprops *out);

} // namespace w_tl
