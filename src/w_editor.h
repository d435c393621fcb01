/* Editing a tune's tags in the user's $EDITOR. */
#pragma once

#include "w_contract.h"
#include "w_tune.h"

// 0 when the edit ran to its end (loaded, or nothing to load), else -1.
int w_edit(struct w_tune *tune);
