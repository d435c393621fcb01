#include "w_yaml_plain.h"

#include <cstddef>

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

} // namespace

bool
w_yaml_plain_doc(const struct w_taglist *tlist, w_sbuf &sb)
{
	assert(tlist != NULL);

	std::size_t size = 0;
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		// "- key: value" must fit on one line to be left unfolded.
		if (!is_plain(tag->spelled, tag->keylen) || !is_plain(tag->val, tag->vallen) ||
		    tag->keylen + tag->vallen + 4 > line_width)
			return false;
		size += tag->keylen + tag->vallen + 5;
	}
	if (tlist->count == 0) {
		sb.cat("--- []\n");
		return true;
	}
	sb.reserve(sb.len() + size + 4);
	sb.cat("---\n");
	W_TAGLIST_FOREACH(tag, tlist) {
		sb.cat("- ");
		sb.bcat(tag->spelled, tag->keylen);
		sb.cat(": ");
		sb.bcat(tag->val, tag->vallen);
		sb.putc('\n');
	}
	return true;
}
