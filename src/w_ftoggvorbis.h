/* Ogg/Vorbis files: comments read from the first logical stream's headers;
 * a write puts a new comment header in place of the old one, where it
 * stands when it fits, else in a copy of the whole file (w_oggfile). */
#pragma once

#include <vector>

#include "w_picture.h"

#include "w_contract.h"
#include "w_backend.h"

struct w_backend *w_ftoggvorbis_backend(void);
void *w_ftoggvorbis_init(const char *path);
struct w_taglist *w_ftoggvorbis_read(void *opaque);
int w_ftoggvorbis_write(void *opaque, const struct w_taglist *tlist);
void w_ftoggvorbis_clear(void *opaque);
// The audio properties (w_backend props).
struct w_taglist *w_ftoggvorbis_props(void *opaque);
// The pictures (w_backend pictures).
int w_ftoggvorbis_pictures(void *opaque, std::vector<w_picture> *out);
// Makes the file's pictures those of slots (w_backend write_pictures).
int w_ftoggvorbis_write_pictures(void *opaque, const std::vector<w_picture_slot> &slots);
