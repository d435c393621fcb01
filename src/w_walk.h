/*
 * Walking a directory tree for the files to work on (-r).
 *
 * The tree is walked depth first, the entries of each directory in the
 * byte order of their names, and each file is handed over as it is met:
 * only the names of the directories on the way down are held, so a walk
 * over a whole library holds little memory.  Symbolic links to directories
 * are not followed (a link loop cannot trap the walk); a link to a file is
 * a file.  Entries that are neither files nor directories (fifos, sockets,
 * devices) are left alone: opening a fifo would wait forever.
 */
#pragma once

#include "w_contract.h"

// Called with the path of each file; its result is not looked at.
using w_walk_visit = void (*)(const char *path, void *arg);

// Walks the tree under the directory root, calling visit for every file.
// 0, or -1 when a directory or entry could not be read (each said with
// warn, naming its path; the walk goes on with the rest).
int w_walk(const char *root, w_walk_visit visit, void *arg);
