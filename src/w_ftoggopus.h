/* Ogg/Opus files: comments read from the OpusTags packet of the first
 * logical stream; a write puts a new OpusTags packet in place of the old
 * one (w_oggfile), everything else as it was. */
#pragma once

#include <vector>

#include "w_picture.h"

#include "w_contract.h"
#include "w_backend.h"

struct w_backend *w_ftoggopus_backend(void);
void *w_ftoggopus_init(const char *path);
struct w_taglist *w_ftoggopus_read(void *opaque);
int w_ftoggopus_write(void *opaque, const struct w_taglist *tlist);
void w_ftoggopus_clear(void *opaque);
// The audio properties (w_backend props).
struct w_taglist *w_ftoggopus_props(void *opaque);
// The pictures (w_backend pictures).
int w_ftoggopus_pictures(void *opaque, std::vector<w_picture> *out);
// Makes the file's pictures those of slots (w_backend write_pictures).
int w_ftoggopus_write_pictures(void *opaque, const std::vector<w_picture_slot> &slots);
