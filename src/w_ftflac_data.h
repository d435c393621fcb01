/*
 * What the FLAC backend's files share: the state of an open file, and the
 * write of its metadata chain.  Private to w_ftflac*.cpp.
 */
#pragma once

#include <sys/types.h>

#include <FLAC/metadata.h>

#include "w_fileid.h"

namespace w_ftflac_detail {

extern const char libid[];

struct w_ftflac_data {
	const char *libid;
	FLAC__Metadata_Chain *chain;
	FLAC__StreamMetadata *vc; // borrowed from chain
	const char *path;         // the tune's own copy, valid until clear
	off_t meta_start;         // offset of the first block header
	off_t audio;              // offset of the first audio frame
	// Why the metadata cannot be written back as libFLAC read it; empty
	// when it can.
	char fault[160];
	// The start of the audio lay beyond what init read: a write looks at
	// it first (printing needs none of it).
	bool tail_unchecked;
	// The file as init read it, or as our last write left it: a write
	// refuses a file that another program changed meanwhile.
	w_fileid id;
	// The file init read, open until clear, and whether it is open for
	// writing too; -1 once a rewrite replaced the file, so that a later
	// write opens the file the name now leads to.
	int fd;
	bool writable;
};

// The state behind a backend's opaque pointer, checked to be one.
w_ftflac_data *checked(void *opaque);

// Writes the chain back, its padding sorted to the end: in place when the
// new metadata fits, else through a copy that replaces the file once
// complete; says why when it cannot (a full disk, a file that went away,
// metadata libFLAC cannot write back).  Once written, the audio is where
// the new metadata ends.  0, or -1 with errno.
int commit_chain(w_ftflac_data *data);

} // namespace w_ftflac_detail
