/*
 * Undoing a run from its journal (--undo FILE): file by file, the last
 * first, each renamed file is moved back and gets its old tags again.  A
 * file that changed since the run left it is refused with the reason and
 * left alone.
 */
#pragma once

#include "w_contract.h"

// 0 when every file of the journal was restored, -1 otherwise (each
// failure said).
int w_undo(const char *journal);
