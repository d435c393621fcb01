/*
 * A write of an Ogg file's new comment header where the old header pages
 * stand, when that gives the very file a copy would give: the new comment
 * packet, padded to the old one's length, lays out on header pages of the
 * old sizes and lacing, so that only their payload and checksums change.
 * The file keeps its inode, and with it its hard links.
 *
 * A file qualifies when its first stream's header pages are whole, begin
 * the file one after the other and hold no audio, and its last page ends
 * the file and its stream: a copy would change nothing else.
 */
#pragma once

#include "w_contract.h"

#include "w_oggplan.h"
#include "w_safefile.h"


// Writes the new headers into the file open for reading and writing on fd,
// which the user calls path, and which must still be id.  1 when they went
// in place (id then describes the file as written), 0 when the file does
// not qualify or cannot be looked at (nothing written), -1 when it changed
// since id was taken or the write failed: told to the user, and the old
// bytes put back.
int w_ogginplace_write(int fd, const char *path, w_fileid &id, const w_oggplan_codec &codec);
