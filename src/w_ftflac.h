/* FLAC files, through libFLAC's metadata chain: tags are the entries of
 * the file's first Vorbis comment block, in order. */
#pragma once

#include <vector>

#include "w_picture.h"

#include "w_contract.h"
#include "w_backend.h"

struct w_backend *w_ftflac_backend(void);
void *w_ftflac_init(const char *path);
struct w_taglist *w_ftflac_read(void *opaque);
int w_ftflac_write(void *opaque, const struct w_taglist *tlist);
void w_ftflac_clear(void *opaque);
// The audio properties (w_backend props).
struct w_taglist *w_ftflac_props(void *opaque);
// The pictures (w_backend pictures).
int w_ftflac_pictures(void *opaque, std::vector<w_picture> *out);
// Makes the file's pictures those of slots (w_backend write_pictures).
int w_ftflac_write_pictures(void *opaque, const std::vector<w_picture_slot> &slots);
