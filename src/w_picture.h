/*
 * Pictures: cover art and the other images a music file carries beside its
 * tags (FLAC PICTURE blocks, Vorbis comment pictures, ID3v2 APIC frames,
 * MP4 covr items), seen through one model whatever the format.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct w_picture {
	unsigned type = 3;        // the picture type of FLAC and ID3v2: 3 is the front cover
	std::string mime;         // "image/jpeg", ...; "" when unknown
	std::string description;  // UTF-8
	unsigned width = 0, height = 0; // 0 when unknown
	unsigned depth = 0, colors = 0; // bits per pixel, palette size; 0 when unknown
	std::string data;         // the image file's bytes
};

/*
 * One picture of a file as a picture write leaves it: one the file holds
 * already (from, its index in the file's own order), which the write keeps
 * byte for byte as it is stored, or a new one (from -1).  pic describes
 * either, so that a plan can be looked at and changed further.
 */
struct w_picture_slot {
	int from = -1;
	w_picture pic;
};

// The standard name of a picture type ("front cover"), or "type N" beyond
// the table.
std::string w_picture_type_name(unsigned type);

// The picture type a word names: the standard name or its first word where
// that is unambiguous ("front", "back"), spaces or hyphens, in any case; or
// -1.
int w_picture_type_of(std::string_view word);

// Reads a FLAC picture structure (as METADATA_BLOCK_PICTURE holds it,
// base64-decoded): false when it is cut short or its lengths run past it.
bool w_picture_parse(std::string_view block, w_picture *out);

// The FLAC picture structure of p (as a PICTURE block's body, or what a
// METADATA_BLOCK_PICTURE comment holds in base64).  Throws std::bad_alloc.
std::string w_picture_render(const w_picture &p);

// Encodes in base64 (RFC 4648, with padding).  Throws std::bad_alloc.
std::string w_base64_encode(std::string_view in);

// Decodes base64 (RFC 4648, padding optional): false on any other byte.
bool w_base64_decode(std::string_view in, std::string *out);

// The MIME type and size of an image from its first bytes (JPEG, PNG, GIF,
// WebP, BMP): false when it is none of these or its header is cut short.
bool w_image_probe(std::string_view data, std::string *mime, unsigned *width, unsigned *height);

// Fills in what the picture's own header tells and the container did not:
// the MIME type when empty or a bare image format ("PNG"), width and
// height when 0.
void w_picture_complete(w_picture *p);

// A picture of the given type and description made of an image file's
// bytes, its MIME type and size read from its header: false when the
// header is none of those w_image_probe knows.
bool w_picture_of_image(std::string data, unsigned type, std::string description, w_picture *out);

// One line of a picture listing: index, type name, MIME type, WxH, size in
// bytes and description, tab-separated and escaped.  Throws
// std::bad_alloc.
std::string w_picture_line(std::size_t index, const w_picture &p);

// The extension for a MIME type: "jpg", "png", "gif", "webp", "bmp", or
// "img" for any other.
const char *w_picture_extension(const std::string &mime);
