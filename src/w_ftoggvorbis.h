/* Ogg/Vorbis files: comments read through libvorbisfile; a write rewrites
 * the whole file with a new comment header. */
#pragma once

#include "w_contract.h"
#include "w_backend.h"

struct w_backend *w_ftoggvorbis_backend(void);
void *w_ftoggvorbis_init(const char *path);
struct w_taglist *w_ftoggvorbis_read(void *opaque);
int w_ftoggvorbis_write(void *opaque, const struct w_taglist *tlist);
void w_ftoggvorbis_clear(void *opaque);
