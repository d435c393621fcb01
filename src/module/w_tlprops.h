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

#include <string>
#include <vector>

namespace w_tl {

struct picture {
	unsigned type = 3;
	std::string mime, description, data;
};

// The pictures of the file's tags in file order.
std::vector<picture> tag_pictures(TagLib::File *file);

} // namespace w_tl
