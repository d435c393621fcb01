/*
 * Writing the plan of a new file that the TagLib module rendered: in place
 * when only new bytes go over old ones, else as a complete copy that takes
 * the file's name once flushed (w_safefile).
 */
#pragma once

#include "w_contract.h"
#include "w_fileid.h"
#include "w_tlmodule.h"

// Writes plan to the file at path, whose old bytes the plan reads through
// its descriptor: that file must still be id, which then becomes what the
// write made of it.  0, or -1 with errno set and the file as it was.
int w_tlplan_write(const char *path, const w_tlplan &plan, w_fileid &id);
