#include "w_yaml_plain.h"

#include <cstddef>
#include <cstring>
#include <regex>

namespace {

// The emitter's preferred line width: beyond it, it folds plain scalars
// at spaces.
constexpr std::size_t line_width = 80;

bool
is_alnum(unsigned char c)
{
	return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// True for text the emitter writes unquoted and unchanged: printable ASCII
// that starts with a letter or digit (so no indicator and no document
// marker), does not end in a blank, and holds neither ':' nor '#', the
// only characters that become indicators inside a block-context scalar.
bool
is_plain(const char *s, std::size_t len)
{
	if (len == 0 || !is_alnum(static_cast<unsigned char>(s[0])) || s[len - 1] == ' ')
		return false;
	for (std::size_t i = 0; i < len; i++) {
		unsigned char c = static_cast<unsigned char>(s[i]);
		if (c < 0x20 || c > 0x7E || c == ':' || c == '#')
			return false;
	}
	return true;
}

// A plain-safe text as the emitter writes it: single-quoted when another
// reader would take it for something else (it holds no quote to double).
void
scalar(w_sbuf &sb, const char *s, std::size_t len)
{
	if (w_yaml_plain_resolves(s, len)) {
		sb.putc('\'');
		sb.bcat(s, len);
		sb.putc('\'');
	} else {
		sb.bcat(s, len);
	}
}

// The plain scalars that resolve to another type, for the YAML 1.1 types
// (null, bool, int with octal, binary and base 60, float, timestamp, merge,
// value) and the YAML 1.2 core schema (whose ints and floats take forms
// 1.1 does not, such as 09 and 1e3).
const std::regex &
typed_plain(void)
{
	static const std::regex re(
	    "~|null|Null|NULL"
	    "|yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF"
	    "|[-+]?0b[01_]+|[-+]?0[0-7_]+|[-+]?(0|[1-9][0-9_]*)|[-+]?0x[0-9a-fA-F_]+"
	    "|[-+]?[1-9][0-9_]*(:[0-5]?[0-9])+"
	    "|[-+]?[0-9]+|0o[0-7]+"
	    "|[-+]?[0-9][0-9_]*\\.[0-9_]*([eE][-+][0-9]+)?|\\.[0-9][0-9_]*([eE][-+][0-9]+)?"
	    "|[-+]?[0-9][0-9_]*(:[0-5]?[0-9])+\\.[0-9_]*"
	    "|[-+]?(\\.[0-9]+|[0-9]+(\\.[0-9]*)?)([eE][-+]?[0-9]+)?"
	    "|[-+]?\\.(inf|Inf|INF)|\\.(nan|NaN|NAN)"
	    "|[0-9]{4}-[0-9]{2}-[0-9]{2}"
	    "|[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}([Tt]|[ \\t]+)[0-9]{1,2}:[0-9]{2}:[0-9]{2}(\\.[0-9]*)?"
	    "([ \\t]*(Z|[-+][0-9]{1,2}(:[0-9]{2})?))?"
	    "|<<|=",
	    std::regex::ECMAScript | std::regex::optimize);
	return re;
}

} // namespace

bool
w_yaml_plain_resolves(const char *s, std::size_t len)
{
	if (len == 0)
		return true;
	// Every typed form starts with one of these; most text does not.
	if (std::memchr("~nNtTfFyYoO0123456789+-.<=", s[0], 27) == nullptr)
		return false;
	return std::regex_match(s, s + len, typed_plain());
}

bool
w_yaml_plain_doc(const struct w_taglist *tlist, w_sbuf &sb)
{
	assert(tlist != NULL);

	std::size_t size = 0;
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		// "- key: value" must fit on one line to be left unfolded.
		if (!is_plain(tag->spelled, tag->keylen) || !is_plain(tag->val, tag->vallen))
			return false;
		const std::size_t width = tag->keylen + tag->vallen + 4 +
		    (w_yaml_plain_resolves(tag->spelled, tag->keylen) ? 2 : 0) +
		    (w_yaml_plain_resolves(tag->val, tag->vallen) ? 2 : 0);
		if (width > line_width)
			return false;
		size += width + 1;
	}
	if (tlist->count == 0) {
		sb.cat("--- []\n");
		return true;
	}
	sb.reserve(sb.len() + size + 4);
	sb.cat("---\n");
	W_TAGLIST_FOREACH(tag, tlist) {
		sb.cat("- ");
		scalar(sb, tag->spelled, tag->keylen);
		sb.cat(": ");
		scalar(sb, tag->val, tag->vallen);
		sb.putc('\n');
	}
	return true;
}
