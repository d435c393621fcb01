/* Replacing a tune's tags with those of a tag document. */
#pragma once

#include "w_contract.h"
#include "w_tune.h"

// Loads the document at fmtfile ("" or "-": standard input): 0 or -1.
int w_load(struct w_tune *tune, const char *fmtfile);
