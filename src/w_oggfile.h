/*
 * The Ogg side of the backends whose tags sit in a comment header packet at
 * the start of the file's first logical stream (Vorbis, Opus).
 *
 * Reading takes only the first header packets of that stream.  A write
 * puts a new comment header in place of the old one and changes nothing
 * else the file's readers see: where the new packet fits in the old one's
 * room, the header pages are replaced where they stand (w_ogginplace);
 * otherwise the whole file is rewritten through a copy (w_oggcopy), which
 * leaves room after the new packet for the next edit.  Both lay out the
 * header pages the same way (w_oggplan).  The safe-replace rules of
 * w_safefile apply.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "w_oggplan.h"
#include "w_safefile.h"

#include <ogg/ogg.h>

// What a codec makes of a header packet, and what reading the headers gives.
enum class w_oggfile_probe {
	ok,        // the packet is sound
	foreign,   // not this codec's stream (or not Ogg at all)
	damaged,   // this codec's stream, but the packet is not sound
	truncated, // the file ends before the headers do
	unbegun,   // the codec's first header, on a page that begins no stream
	misnumbered, // the codec's first header, on a page numbered past 0
	failed,    // the file could not be read; errno says why
};

// Checks header packet n (0 for the first) of the first logical stream.
using w_oggfile_check = std::function<w_oggfile_probe(unsigned n, const ogg_packet &op)>;

// Reads the first count header packets of the file's first logical stream
// through check.  ok when all were sound; foreign when the file does not
// begin an Ogg stream or check calls its first packet foreign; otherwise
// what went wrong.  id gets what the file was when it was read.
w_oggfile_probe w_oggfile_headers(const char *path, unsigned count, const w_oggfile_check &check, w_fileid &id);

// Writes a new comment header into the file at path (a symbolic link: the
// file it names), in place when the new header fits the old one's room,
// else through a copy.  Nothing is written unless the file is still id,
// which then becomes what the write made of it (the copy, as it takes the
// file's name: see w_fileid_check).  0, or -1 with the reason told to the user and the file as it
// was: a header that check refuses, a first stream or a file that ends
// inside the headers, a page of another stream before the current one
// ends (interleaved streams), read and write errors.
int w_oggfile_write(const char *path, w_fileid &id, const w_oggplan_codec &codec);

// The granule position of the last page of the file's first logical
// stream (the serial number of its first page) that has one, found by
// reading back from the end a window at a time, and the file's size: 0; -1
// with errno set (ENOENT: no such page).
int w_oggfile_last_granule(const char *path, std::int64_t *granule, std::uint64_t *size);

// Tells the user why a file that is plainly the codec's cannot be opened:
// "PATH: damaged HEADER", "PATH: file ends inside its CODEC headers",
// "PATH: first page lacks the begin-of-stream flag", "PATH: first page is
// numbered as if pages before it were missing", or the reason in errno.
// Nothing for ok and foreign.
void w_oggfile_warn(const char *path, w_oggfile_probe p, const char *codec, const char *header);

struct w_taglist;

// A new list of the tags held by count comment entries, entry(i) giving
// the bytes of the i-th, pictures left out (see w_vcomment_picture); null
// when one of them cannot be held whole (see w_vcomment_insert, which
// warns) or memory runs out.
struct w_taglist *w_oggfile_tags(std::size_t count, const std::function<std::string_view(std::size_t)> &entry);
