#include "w_backend.h"

#include "w_ftflac.h"
#include "w_ftoggopus.h"
#include "w_ftoggvorbis.h"
#include "w_fttaglib.h"

struct w_backendQ *
w_all_backends(void)
{
	static struct w_backendQ registry = TAILQ_HEAD_INITIALIZER(registry);
	static bool built = false;

	if (!built) {
		// Probe order matters: TagLib also opens FLAC and Ogg files, but
		// only through its seven basic fields, so it comes last.
		struct w_backend *(*accessors[])(void) = {
			w_ftflac_backend,
			w_ftoggvorbis_backend,
			w_ftoggopus_backend,
			w_fttaglib_backend,
		};
		for (auto accessor : accessors)
			TAILQ_INSERT_TAIL(&registry, accessor(), entries);
		built = true;
	}
	return &registry;
}
