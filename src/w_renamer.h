/* Renaming files after their tags: patterns and the safe move. */
#pragma once

#include "w_contract.h"
#include "w_tune.h"

struct w_rename_tokenQ;

// The parsed pattern, or null (unclosed brace, or ENOMEM).
struct w_rename_tokenQ *w_rename_parse(const char *pattern);
void w_rename_tokenQ_destroy(struct w_rename_tokenQ *q);
// The new base name for tune, malloc'ed, or null.
char *w_rename_eval(struct w_tune *tune, const struct w_rename_tokenQ *pattern);
// 0 when moved, nothing to do, or declined; -1 on failure.
int w_rename(struct w_tune *tune, const struct w_rename_tokenQ *pattern);
