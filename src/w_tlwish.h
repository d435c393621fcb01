/*
 * The seven basic fields of a file TagLib reads, as a tag list names them:
 * what a list asks of each field, and the change that gives it to the file.
 */
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "w_taglist.h"
#include "w_tlmodule.h"

namespace w_tlwish {

// The field values TagLib read, their texts freed on every path.
struct values : w_tlvalues {
	values() : w_tlvalues{} {}
	~values()
	{
		for (char *t : text)
			std::free(t);
	}
	values(const values &) = delete;
	values &operator=(const values &) = delete;
};

// The seven basic fields, in the order they are read and matched.  A field
// is either text or a number; a number is shown only from 1 to 9999.
struct field {
	const char *key;
	const char *format; // numbers only
};

extern const field fields[W_TL_NFIELDS];

// Whether a number field's value is shown (from 1 to 9999).
bool shown(unsigned int n);

// What the list asks of one field.
struct wish {
	bool named = false;           // some tag names the field
	bool refused = false;         // some value of it was refused
	int accepted = 0;             // values taken (refused ones are not)
	const char *text = nullptr;   // the last one taken
	unsigned int number = 0;
	const char *total = nullptr;  // a track's total, digits, when named
};

// Reads through the list once: unsupported keys and refused numbers are
// warned about and skipped, an unsupported key once for the file; of
// several values for one field the last is kept, and said so.  The texts
// of w point into texts.
void wishes_of(const char *path, const struct w_taglist *tlist, wish (&w)[W_TL_NFIELDS],
    std::vector<std::string> &texts);

// The changes that turn the file's fields into the wished ones; a field
// whose value stays the same is left alone.  False when nothing changes.
bool changes_of(const wish (&w)[W_TL_NFIELDS], const values &old, w_tlchange (&c)[W_TL_NFIELDS]);

} // namespace w_tlwish
