/*
 * The undo journal of a run (--journal FILE).
 *
 * Before the run first writes or moves a music file, one line goes to the
 * journal and reaches the disk: the file's path and tags as the run found
 * them and the tags it is about to give it.  Once the run is done with the
 * file, a second line says where the file is and what it is then (its tags
 * and its identity: device, inode, size, times), so that an undo can tell
 * a file changed since.  A run killed between the two leaves the first:
 * no file is ever written without its old tags on the disk.
 *
 * Each line is a JSON object; tags are JSON tag documents, the complete
 * model.  The first line names the journal and the tag mode of the run.
 */
#pragma once

#include "w_contract.h"
#include "w_taglist.h"
#include "w_tune.h"

// Creates the journal at path, which must not exist yet (a journal is
// never overwritten or mixed with another).  0, or -1 (said).
int w_journal_create(const char *path);
// Whether this run keeps a journal.
bool w_journal_active(void);
// The file the run turns to, as it is before any action: 0, or -1 (said).
int w_journal_begin(struct w_tune *tune);
// Before the file is written or moved (moving: a move is coming whatever
// its tags): its entry, flushed to the disk, unless written already or
// there is nothing to record.  0, or -1 (said): the file must not be
// touched.
int w_journal_touch(struct w_tune *tune, bool moving);
// Before the file is moved to npath: where it goes, on the disk, so that a
// run killed in the middle leaves it to be found.  0, or -1 (said).
int w_journal_moving(const char *npath);
// A rename of the file made the directory dir (mkdir, just now): recorded
// with what it is, so that an undo removes it again if it is left empty,
// and only that directory.  0, or -1 (said).
int w_journal_made_dir(const char *dir);
// The run is done with the file: where it is and what it is now, when an
// entry was made.  0, or -1 (said).
int w_journal_end(struct w_tune *tune);
// Closes the journal, flushed: 0, or -1 (said).
int w_journal_close(void);

// The header line's journal name, and the names of the members of its
// entries, shared with the undo.
extern const char w_journal_magic[];
