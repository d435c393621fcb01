/*
 * A write of an Ogg file through a copy of it: the new header pages of the
 * first logical stream, then every later page of the file as it is.
 *
 * A page keeps its bytes; only the first stream's pages after the headers
 * get new sequence numbers, moved by as many pages as the headers grew or
 * shrank, so that a gap (pages missing) stays a gap for the readers of the
 * file.  A page begins a logical stream in the copy only when it began one
 * in the file.  Bytes that form no page are left out, and a file cut short
 * gets its last page marked as the end of its stream.
 */
#pragma once

#include "w_contract.h"

#include <string>

#include "w_oggplan.h"
#include "w_safefile.h"


// Rewrites the file target (which the user calls path) through a copy that
// takes its name only when complete, and only while the file is still id.
// 0, or -1 with the reason told to the user.  On success, id becomes the
// copy as committed, which is the file from then on (see w_fileid_check).
int w_oggcopy_write(const char *path, const std::string &target, w_fileid &id, const w_oggplan_codec &codec);
