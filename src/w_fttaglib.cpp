#include "w_fttaglib.h"

// Placeholder until the TagLib backend lands: it accepts no file.
namespace {
const char libid[] = "TagLib";
}

struct w_backend *
w_fttaglib_backend(void)
{
	static struct w_backend backend = {
		libid, "various file format but limited set of tags", w_fttaglib_init, w_fttaglib_read,
		w_fttaglib_write, w_fttaglib_clear, {},
	};
	return &backend;
}

void *w_fttaglib_init(const char *path) { assert(path != NULL); return nullptr; }
struct w_taglist *w_fttaglib_read(void *) { return nullptr; }
int w_fttaglib_write(void *, const struct w_taglist *) { return -1; }
void w_fttaglib_clear(void *) {}
