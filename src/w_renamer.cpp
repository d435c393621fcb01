#include "w_renamer.h"

#include <err.h>

// Placeholder until rename patterns arrive: every pattern is refused.
struct w_rename_tokenQ *
w_rename_parse(const char *pattern)
{
	(void)pattern;
	warnx("rename: not supported yet");
	return nullptr;
}

void w_rename_tokenQ_destroy(struct w_rename_tokenQ *) {}
char *w_rename_eval(struct w_tune *, const struct w_rename_tokenQ *) { return nullptr; }
int w_rename(struct w_tune *, const struct w_rename_tokenQ *) { return -1; }
