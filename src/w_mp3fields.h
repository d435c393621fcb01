/*
 * The seven basic fields of an MP3 file read from its tags by our own
 * walk, without loading TagLib: a print of ten thousand MP3 files should
 * cost what reading their tags costs.
 *
 * TagLib stays the judge of what the fields are.  The walk answers only
 * for the tags it understands whole and whose reading it knows TagLib
 * shares; for anything else (unsynchronisation, compression, an extended
 * header, version 2.2, text it cannot decode exactly, an APE tag, a tag
 * that cannot be walked to its end, no audio frame where the tag ends) it
 * declines, and the file is read by TagLib as before.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "w_tlmodule.h"

namespace w_tl {

// The fields as the TagLib module reads them: texts in UTF-8, numbers as
// TagLib gives them (0: unset).
struct raw_fields {
	std::string text[W_TL_NFIELDS];
	unsigned int number[W_TL_NFIELDS] = {};
};

// Reads len bytes of the file at offset into *out (fewer at its end);
// false on a read error.
using read_at = std::function<bool(std::uint64_t offset, std::size_t len, std::string *out)>;

// Whether TagLib takes the file at path for an MPEG file by its name.
bool mp3_named(const char *path);

// The fields of the MPEG file of size bytes that read gives: true when
// our walk read them as TagLib reads them; false when it declines (or a
// read failed), and TagLib must read the file.
bool mp3_fields(const read_at &read, std::uint64_t size, raw_fields *out);

} // namespace w_tl
