/*
 * The rules that FLAC, Ogg/Vorbis and Opus share for Vorbis comments.
 *
 * A Vorbis comment is counted bytes, "NAME=value"; inside the program a tag
 * is two C strings.  Reading therefore refuses an entry the tag model
 * cannot hold whole (no "=", or a NUL byte), so that no later write can
 * drop or cut it; writing refuses a name a Vorbis comment cannot hold.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct w_tag;
struct w_taglist;

// Appends the tag held in the len bytes at entry to tlist: 0, or -1.  An
// entry without "=" or with a NUL byte warns "invalid vorbis comment: %s"
// with the entry escaped, and fails with errno EINVAL; ENOMEM as from
// w_taglist_insert.
int w_vcomment_insert(struct w_taglist *tlist, const char *entry, std::size_t len);

// True when key may name a Vorbis comment: printable ASCII from 0x20 to
// 0x7D, without "=".
bool w_vcomment_keyok(const char *key);

// 0 when every key of tlist may name a Vorbis comment; otherwise warns
// "invalid vorbis comment name: %s" with the first bad key escaped, and
// returns -1 with errno EINVAL.  Called before a writer touches any file.
int w_vcomment_check(const struct w_taglist *tlist);

// Whether tlist holds the comments already in the file, the entries
// ("NAME=value"): names compared without regard to case, values byte for
// byte, in the same order; pictures, on either side, are left out.  Such a write would change nothing, and is not
// made: the file, its time of change included, stays as it is.
bool w_vcomment_same(const struct w_taglist *tlist, const std::vector<std::string_view> &entries);

/*
 * Pictures are not tags.  In Ogg/Vorbis and Opus files a picture is a
 * comment (METADATA_BLOCK_PICTURE, or the older COVERART with its
 * COVERARTMIME), where FLAC, MP3 and MP4 keep it apart from the tags; so
 * that a clear or a load does the same to every format, those comments are
 * neither read as tags nor replaced by a write.
 */

// Whether the entry ("NAME=value", or a bare name) holds a picture.
bool w_vcomment_picture(std::string_view entry);

// The entries a write of tlist puts in a file whose comments were was: the
// tags of tlist in order, then the pictures of was as they were.  A tag of
// tlist under a picture's name is left out, with a warning naming path.
// Throws std::bad_alloc.
std::vector<std::string> w_vcomment_merge(const char *path, const struct w_taglist *tlist,
    const std::vector<std::string_view> &was);

struct w_picture;

// The pictures among the entries, in order: a METADATA_BLOCK_PICTURE is a
// FLAC picture structure in base64; a COVERART is the image itself in
// base64, of the type "other", its MIME type from the COVERARTMIME after it.
// One that does not decode is skipped with a warning naming path.  Throws
// std::bad_alloc.
void w_vcomment_pictures(const char *path, const std::vector<std::string_view> &entries,
    std::vector<w_picture> *out);

struct w_picture_slot;

// The entries a picture write puts in a file whose comments were was: the
// tags as they were, then the picture comments no listed picture holds,
// then the pictures of slots in order, a kept one as it was stored, a new
// one as a METADATA_BLOCK_PICTURE.  from indexes the pictures as
// w_vcomment_pictures lists them.  Throws std::bad_alloc.
std::vector<std::string> w_vcomment_repicture(const char *path, const std::vector<std::string_view> &was,
    const std::vector<w_picture_slot> &slots);
