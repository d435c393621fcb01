/*
 * Every text field of an ID3v2 or MP4 tag under the names FLAC and Ogg
 * files use (the --all-tags mode): the field table, and the readers and
 * writers of each kind of tag.  Built on TagLib's frame lists and item
 * maps, never on its property map, which changes the spelling of the names
 * it does not know and drops what it cannot place.
 */
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include <taglib/tfile.h>

#include "w_tlmodule.h"
#include "w_tlstream.h"

namespace w_tl {

// One field: a name of the table (or of a user-defined item) and its
// values, in order.  name is lower case, as fields are matched; spelled is
// the name as the file or the document spells it, where that matters (a
// user-defined item, a comment's language), else empty.
struct field {
	std::string name;
	std::vector<std::string> values;
	std::string spelled;

	const std::string &shown() const { return spelled.empty() ? name : spelled; }
};

// Fields with distinct names, in order.
using fieldset = std::vector<field>;

// ---- The field table (w_tlfields.cpp) ----

// Where a name lives in each kind of tag.
struct field_entry {
	const char *name;
	// ID3v2: a frame id; "TXXX:description" or "UFID:owner" for those
	// frames; TRCK and TPOS hold a number and a total.
	const char *id3;
	// MP4: an item key; "----:com.apple.iTunes:name" for a freeform item.
	const char *mp4;
	// RIFF INFO: the chunk id read from a WAV file without ID3v2, or null.
	const char *info;
};

extern const field_entry field_table[];
extern const std::size_t field_table_size;

std::string lower(const std::string &s);

// The entry of the table for name (lower case), null for none.
const field_entry *find_entry(const std::string &name);

// The name a key of a tag list stands for: lower-cased, and year and track
// taken as date and tracknumber.
std::string canonical_name(const std::string &key);

// The name a user-defined item (a TXXX frame's description, a freeform
// item's name) stands for: the entry whose item it spells case-blind, or
// its text lower-cased; "" for an item named after a field the tag keeps
// in an item of its own, or after nothing, which is left alone.
// item_of gives the entry's item in this kind of tag.
std::string described_name(const std::string &text, const char *const field_entry::*item_of);

// Whether name (lower case) is one that frames or items other than the
// user-defined ones take in this kind of tag: a comment or lyrics frame in
// a language or with a description, a URL frame, a rating, a TXXX frame
// without description; an MP4 freeform item outside iTunes' mean.
bool reserved_name(const std::string &name, const char *const field_entry::*item_of);

// The field a name is written in: a total goes with its number.
std::string group_of_name(const std::string &name);

// Appends value to the field name, which is added at the end if new,
// spelled as given.
void add_value(fieldset &fs, const std::string &name, const std::string &value,
    const std::string &spelled = "");

// The field a comment or lyrics frame without description stands for:
// base ("comment", "lyrics") in English, else base:language, spelled as
// the frame spells it in *spelled; "" for a language that is no three
// printable characters.
std::string language_name(const std::string &base, const std::string &language, std::string *spelled);

// The field a comment or lyrics frame with a description stands for:
// base:language:description, spelled as the frame spells it in *spelled
// (the language always named); "" for a language language_name refuses.
std::string described_language_name(const std::string &base, const std::string &language,
    const std::string &description, std::string *spelled);

// The language and description of such a field's name as spelled; false
// when it is no name of that form (no description, or no language).
bool split_described(const std::string &spelled, std::string *language, std::string *description);

// The language of such a field's name as spelled (base:language), "eng"
// for the plain name.
std::string language_of(const std::string &spelled);

// The field called name, null for none.
const field *find_field(const fieldset &fs, const std::string &name);

// The fields of the table in its order, then the others as they came.
void table_order(fieldset &fs);

// Whether two sets hold the same names with the same values, in any order
// of names.
bool same_fields(const fieldset &a, const fieldset &b);

// The names whose values differ between the two sets.
std::vector<std::string> changed_names(const fieldset &old, const fieldset &wished);

// Whether s is a decimal number without sign.
bool all_digits(const std::string &s);

// ---- The tags (w_tlalltags_id3.cpp, w_tlalltags_mp4.cpp) ----

// Whether the file's tags are ID3v2 (MP3, WAV, AIFF) or MP4 items.
bool id3_covers(TagLib::File *file);
bool mp4_covers(TagLib::File *file);

// Every field the file holds, in file order.
fieldset id3_read(TagLib::File *file);
fieldset mp4_read(TagLib::File *file);

// The values as this file will hold them; "" when it can hold them all,
// else why it cannot.
std::string id3_check(TagLib::File *file, fieldset &wished);
std::string mp4_check(TagLib::File *file, fieldset &wished);

// Puts the wished fields into the file through stream, touching only the
// fields named in changed: "" when done, else why not (nothing done).
// *touched gets the fields (by the first name of each) whose frames or
// items the write may take away or add.
std::string id3_render(TagLib::File *file, plan_stream &stream, const fieldset &wished,
    const std::vector<std::string> &changed, std::set<std::string> *touched);
std::string mp4_render(TagLib::File *file, const fieldset &wished,
    const std::vector<std::string> &changed, std::set<std::string> *touched);

// The field a frame or item stands for, from its bytes as the proof of a
// write walks them ("" for none).
std::string id3_frame_group(const std::string &id, const std::string &data, unsigned v);
// The major version of the file's ID3v2 tag (4 for a new one).
unsigned id3_version(TagLib::File *file);

// Folds the names of the date frames only version 2.3 tags keep apart
// (date:tdrc, originaldate:tdor) into the plain names, for a tag that
// keeps every date in one frame.
void fold_date_frames(fieldset &wished);
std::string mp4_item_group(const std::string &name, const std::string &atom);

// ---- The operations of the mode (w_tlalltags.cpp) ----

// As the read and render of struct w_tlalltags, for an open TagLib file
// over stream.
int alltags_read(TagLib::File *file, struct w_tlpair **pairs, std::size_t *count);
int alltags_render(TagLib::File *file, plan_stream &stream, const struct w_tlpair *pairs,
    std::size_t count, struct w_tlplan *plan, char *why, std::size_t whylen);

} // namespace w_tl
