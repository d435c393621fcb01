#include "w_ftoggvorbis.h"

// Placeholder until the Ogg/Vorbis backend lands: it accepts no file.
namespace {
const char libid[] = "libvorbis";
}

struct w_backend *
w_ftoggvorbis_backend(void)
{
	static struct w_backend backend = {
		libid, "Ogg/Vorbis files format", w_ftoggvorbis_init, w_ftoggvorbis_read,
		w_ftoggvorbis_write, w_ftoggvorbis_clear, {},
	};
	return &backend;
}

void *w_ftoggvorbis_init(const char *path) { assert(path != NULL); return nullptr; }
struct w_taglist *w_ftoggvorbis_read(void *) { return nullptr; }
int w_ftoggvorbis_write(void *, const struct w_taglist *) { return -1; }
void w_ftoggvorbis_clear(void *) {}
