/*
 * The properties the fuzz targets check, one function per target.  Each
 * takes one input and returns when every property holds; a broken
 * property prints what went wrong and ends the program (see broken).
 */
#pragma once

#include <cstddef>
#include <cstdint>

namespace wf {

using check_fn = void (*)(const std::uint8_t *data, std::size_t size);

struct target {
	const char *name;
	check_fn check;
};

// Read a tag document; write the list back; read that again: the same list.
void yaml_reader(const std::uint8_t *data, std::size_t size);
// A tag list (and a path) made from the input: the shortcut writer gives
// the emitter's bytes, and every document written reads back as the list.
void yaml_writer(const std::uint8_t *data, std::size_t size);
// The input as a FLAC file: read, write a changed list, check the file.
void flac(const std::uint8_t *data, std::size_t size);
// The input as an Ogg/Vorbis file (with its pages' checksums made right):
// read, rewrite, check the pages.
void oggvorbis(const std::uint8_t *data, std::size_t size);
// The input as an Ogg/Opus file, as for Ogg/Vorbis; the vendor string and
// the binary data after the comments must also stay.
void oggopus(const std::uint8_t *data, std::size_t size);
// A rename pattern and tags: parse, check the tokens, evaluate.
void rename(const std::uint8_t *data, std::size_t size);
// An MP3, WAV or AIFF file with a random ID3v2 tag and a change of one
// field: the TagLib module refuses it, or keeps every other frame and the
// audio, and the field reads back as asked (w_fuzz_taglib.cpp).
void taglib(const std::uint8_t *data, std::size_t size);

// Called after a broken property has been reported; std::abort, which
// libFuzzer takes for a crash, unless the program says otherwise.
extern void (*broken)();

// Every target, by the name of its corpus directory; null at the end.
extern const target targets[];
// The target called name, or null.
const target *find_target(const char *name);

} // namespace wf
