/*
 * Setting the seven basic fields through TagLib: the frames TagLib would
 * otherwise lose or change on the way (a track total, a padded year, a
 * described comment, an emptied ID3v1 tag), and the save that keeps each
 * tag in the version and kind the file has.
 */
#pragma once

#include <taglib/tfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/tstring.h>

#include "w_tlmodule.h"
#include "w_tlstream.h"

namespace w_tl {

// Saves the tags the file already has, in the ID3v2 version it has (2.3
// for 2.2), and nothing else: no tag type is added beside an existing one.
bool save(TagLib::File *file);

// The file's ID3v2 tag, if it is of a kind that has one and has one.
TagLib::ID3v2::Tag *id3v2_of(TagLib::File *file);

// Sets the fields' frames apart from those TagLib's setters would replace
// with theirs, before the changes are made (see the definition).
void ready_frames(TagLib::File *file, const w_tlchange *changes);

// The year in an ID3v2 tag as four digits.
void pad_id3v2_year(TagLib::File *file, unsigned int year);

// Sets the comment without a description, leaving described ones.
void set_comment(TagLib::File *file, const TagLib::String &s);

// Sets the track number, keeping its total, or setting total (digits)
// when not null.
void set_track(TagLib::File *file, unsigned int n, const char *total);

// Puts an empty ID3v1 tag back at the end when TagLib took it away.
void keep_empty_id3v1(plan_stream &stream);

} // namespace w_tl
