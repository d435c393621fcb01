/*
 * The Ogg side of the backends whose tags sit in a comment header packet at
 * the start of the file's first logical stream (Vorbis, Opus).
 *
 * Reading takes only the first header packets of that stream.  A rewrite
 * lays those header packets out on fresh pages, with the codec's new
 * comment header in place of the old one, and copies every later page as
 * it is: packets, granule positions and page boundaries stay what the file
 * declares.  Only the page sequence numbers of the first stream move, by
 * as many pages as the headers grew or shrank, so that gaps in the file
 * stay gaps.  Later logical streams of a chained file are copied unchanged.
 * The safe-replace rules of w_safefile apply.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include <ogg/ogg.h>

// What a codec makes of a header packet, and what reading the headers gives.
enum class w_oggfile_probe {
	ok,        // the packet is sound
	foreign,   // not this codec's stream (or not Ogg at all)
	damaged,   // this codec's stream, but the packet is not sound
	truncated, // the file ends before the headers do
	failed,    // the file could not be read; errno says why
};

// Checks header packet n (0 for the first) of the first logical stream.
using w_oggfile_check = std::function<w_oggfile_probe(unsigned n, const ogg_packet &op)>;

// Reads the first count header packets of the file's first logical stream
// through check.  ok when all were sound; foreign when the file does not
// begin an Ogg stream or check calls its first packet foreign; otherwise
// what went wrong.
w_oggfile_probe w_oggfile_headers(const char *path, unsigned count, const w_oggfile_check &check);

// Checks header packet n of the stream being rewritten: 0, or -1 when it is
// not sound.  For the comment header (n == 1) it also puts the packet to
// write in its place into replacement.
using w_oggfile_rewrite_fn = std::function<int(unsigned n, const ogg_packet &op, std::string &replacement)>;

// Rewrites the file at path (a symbolic link: the file it names) with a new
// comment header, through a temporary file that replaces it only when
// complete.  0, or -1 and the file untouched: a header that check refuses,
// a first stream that ends or a file that is cut inside the headers, a
// page of another stream before the current one ends (interleaved
// streams), read and write errors; each is told to the user with the path.
int w_oggfile_rewrite(const char *path, unsigned count, const w_oggfile_rewrite_fn &check);

// Tells the user why a file that is plainly the codec's cannot be opened:
// "PATH: damaged HEADER", "PATH: file ends inside its CODEC headers", or
// the reason in errno.  Nothing for ok and foreign.
void w_oggfile_warn(const char *path, w_oggfile_probe p, const char *codec, const char *header);

struct w_taglist;

// A new list of the tags held by count comment entries, entry(i) giving
// the bytes of the i-th; null when one of them cannot be held whole (see
// w_vcomment_insert, which warns) or memory runs out.
struct w_taglist *w_oggfile_tags(std::size_t count, const std::function<std::string_view(std::size_t)> &entry);
