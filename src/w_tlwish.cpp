#include "w_tlwish.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <err.h>

#include "w_tag.h"

namespace w_tlwish {

const field fields[W_TL_NFIELDS] = {
	{"title", nullptr},
	{"artist", nullptr},
	{"year", "%04u"},
	{"album", nullptr},
	{"track", "%02u"},
	{"genre", nullptr},
	{"comment", nullptr},
};

namespace {

// The names a document made from another file, or in the complete model,
// gives the fields: a date or a track number is the same field as a year
// or a track, and a track total goes with the track.
const struct {
	const char *key;
	int field;
} other_names[] = {
	{"date", W_TL_YEAR},
	{"tracknumber", W_TL_TRACK},
	{"tracktotal", W_TL_TRACK},
};

int
find_field(const char *key)
{
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (w_tag_keycmp(key, fields[i].key) == 0)
			return i;
	}
	for (const auto &o : other_names) {
		if (w_tag_keycmp(key, o.key) == 0)
			return o.field;
	}
	return -1;
}

// Parses a number field's value; a value that is not a whole unsigned
// decimal number up to max is refused with a warning.
bool
parse_number(const char *key, const char *val, unsigned long max, unsigned int *out)
{
	char *end;
	errno = 0;
	unsigned long n = std::strtoul(val, &end, 10);
	if (end == val || *end != '\0') {
		warnx("invalid unsigned int argument for %s: %s", key, val);
		return false;
	}
	// strtoul wraps a negative number around, and saturates on overflow:
	// both land above the 32-bit range.
	if (n > max || (n == ULONG_MAX && errno == ERANGE)) {
		warnx("invalid unsigned int argument for %s: %s (too large)", key, val);
		return false;
	}
	*out = static_cast<unsigned int>(n);
	return true;
}


// The number a document from another file gives a date or a track number:
// the year of a date ("2019-06-21"), the number of "3/12" (whose total is
// put in *total).  Other values are taken as they are.
std::string
number_text(const char *key, const char *val, std::string *total)
{
	std::string v = val;
	if (w_tag_keycmp(key, "date") == 0) {
		if (v.size() > 4 && v[4] == '-' && v.find_first_not_of("0123456789") == 4)
			v.resize(4);
	} else if (w_tag_keycmp(key, "tracknumber") == 0) {
		const std::size_t slash = v.find('/');
		if (slash != std::string::npos) {
			*total = v.substr(slash + 1);
			v.resize(slash);
		}
	}
	return v;
}

} // namespace

bool
shown(unsigned int n)
{
	return n >= 1 && n <= 9999;
}

void
wishes_of(const char *path, const struct w_taglist *tlist, wish (&w)[W_TL_NFIELDS],
    std::vector<std::string> &texts)
{
	std::vector<const char *> warned;
	texts.reserve(2 * tlist->count); // the texts below point into it
	struct w_tag *t;
	W_TAGLIST_FOREACH(t, tlist) {
		int i = find_field(t->key);
		if (i == -1) {
			bool again = false;
			for (const char *k : warned)
				again = again || std::strcmp(k, t->key) == 0;
			if (!again) {
				warnx("%s: unsupported tag for TagLib backend: %s", path, t->key);
				warned.push_back(t->key);
			}
			continue;
		}
		if (w_tag_keycmp(t->key, "tracktotal") == 0) {
			// Kept with the track; a total that is no number is refused.
			unsigned int n;
			if (t->val[0] != '\0' && !parse_number(t->key, t->val, 9999, &n))
				continue;
			w[i].total = t->val;
			continue;
		}
		w[i].named = true;
		const char *val = t->val;
		if (fields[i].format != nullptr) {
			std::string total;
			texts.push_back(number_text(t->key, t->val, &total));
			val = texts.back().c_str();
			if (!total.empty()) {
				texts.push_back(total);
				w[i].total = texts.back().c_str();
			}
			// Shown from 1 to 9999: another number would not read back,
			// and 0 would take the field, and a track's total, away.
			unsigned int n;
			if (!parse_number(t->key, val, 9999, &n)) {
				w[i].refused = true;
				continue;
			}
			if (n == 0) {
				warnx("invalid unsigned int argument for %s: %s (out of range)", t->key, val);
				w[i].refused = true;
				continue;
			}
			w[i].number = n;
		}
		w[i].text = val;
		w[i].accepted++;
	}
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (w[i].accepted > 1)
			warnx("TagLib backend keeps one %s only: %s", fields[i].key, w[i].text);
	}
}

bool
changes_of(const wish (&w)[W_TL_NFIELDS], const values &old, w_tlchange (&c)[W_TL_NFIELDS])
{
	bool any = false;
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		c[i] = w_tlchange{};
		if (fields[i].format != nullptr) {
			unsigned int was = old.number[i];
			if (w[i].accepted > 0)
				c[i].set = w[i].number != was;
			else if (!w[i].named && !w[i].refused)
				c[i].set = shown(was); // what print showed is gone
			c[i].number = w[i].accepted > 0 ? w[i].number : 0;
			if (i == W_TL_TRACK && w[i].accepted > 0 && w[i].total != nullptr) {
				// The total rides in the text of the track's change.
				c[i].text = w[i].total;
				c[i].set = true;
			}
		} else {
			const char *was = old.text[i] != nullptr ? old.text[i] : "";
			const char *now = w[i].accepted > 0 ? w[i].text : "";
			c[i].set = std::strcmp(was, now) != 0;
			c[i].text = now;
		}
		any = any || c[i].set;
	}
	return any;
}

} // namespace w_tlwish
