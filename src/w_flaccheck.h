/*
 * The FLAC backend's checks of a file's metadata: where it starts, why
 * libFLAC could not read it, and whether libFLAC would write it back as
 * it stands, so that a rewrite never loses what other readers see.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <FLAC/metadata.h>

#include "w_flacio.h"

namespace w_flac {

// Where libFLAC looks for the first block header: after "fLaC", which may
// follow an ID3v2 tag.  -1 when the head bytes do not say.
off_t metadata_start(const unsigned char *head, size_t len);
// True when the file holds the FLAC signature where libFLAC looks for it.
bool looks_like_flac(const meta_reader &in);
// Tells the user why a FLAC file libFLAC cannot read is refused.
void warn_unreadable(const char *path, const meta_reader &in, FLAC__Metadata_ChainStatus status);
// The reason, into fault, when libFLAC would not write block n (the
// block at offset at, for the count) back as it stands in the file.
void check_block(const FLAC__StreamMetadata *b, unsigned n, char *fault, size_t size);
void check_count(const meta_reader &in, off_t at, const FLAC__StreamMetadata *b, unsigned n,
    char *fault, size_t size);
// Whether the audio starts right after the last block (b: the byte before
// it and the first two of it, n of them read, -1 for a read error); the
// reason into fault when not.
bool audio_follows(const unsigned char *b, ssize_t n, char *fault, size_t size);

} // namespace w_flac
