#include "w_loader.h"

#include <err.h>

// Placeholder until tag documents can be read back.
int
w_load(struct w_tune *tune, const char *fmtfile)
{
	assert(tune != NULL);
	assert(fmtfile != NULL);
	warnx("load: not supported yet");
	return -1;
}
