/* Every other format TagLib opens, through its seven basic fields. */
#pragma once

#include <vector>

#include "w_picture.h"

#include "w_contract.h"
#include "w_backend.h"

struct w_backend *w_fttaglib_backend(void);
void *w_fttaglib_init(const char *path);
struct w_taglist *w_fttaglib_read(void *opaque);
int w_fttaglib_write(void *opaque, const struct w_taglist *tlist);
void w_fttaglib_clear(void *opaque);
// The audio properties (w_backend props).
struct w_taglist *w_fttaglib_props(void *opaque);
// The pictures (w_backend pictures).
int w_fttaglib_pictures(void *opaque, std::vector<w_picture> *out);
// Makes the file's pictures those of slots (w_backend write_pictures).
int w_fttaglib_write_pictures(void *opaque, const std::vector<w_picture_slot> &slots);
