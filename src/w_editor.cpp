#include "w_editor.h"

#include <err.h>

// Placeholder until tag documents can be read back.
int
w_edit(struct w_tune *tune)
{
	assert(tune != NULL);
	warnx("edit: not supported yet");
	return -1;
}
