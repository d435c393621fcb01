/*
 * UTF-8 as the program shows it: whether bytes are well-formed UTF-8, and
 * any bytes made safe to show on one line.  Shared with the TagLib module,
 * whose messages name what a tag holds.
 */
#include "w_utf8.h"

namespace {

// The length of the well-formed UTF-8 sequence at p (1 for ASCII), or 0
// when the bytes there are not one.
unsigned long
utf8_seqlen(const unsigned char *p, const unsigned char *end)
{
	unsigned char c = *p;
	unsigned long need;
	unsigned long cp;
	if (c < 0x80)
		return 1;
	else if ((c & 0xE0) == 0xC0) {
		need = 1;
		cp = c & 0x1F;
	} else if ((c & 0xF0) == 0xE0) {
		need = 2;
		cp = c & 0x0F;
	} else if ((c & 0xF8) == 0xF0) {
		need = 3;
		cp = c & 0x07;
	} else {
		return 0;
	}
	if (static_cast<unsigned long>(end - p) <= need)
		return 0;
	for (unsigned long i = 1; i <= need; i++) {
		if ((p[i] & 0xC0) != 0x80)
			return 0;
		cp = (cp << 6) | (p[i] & 0x3F);
	}
	// Overlong forms, surrogates and values past U+10FFFF.
	if ((need == 1 && cp < 0x80) || (need == 2 && cp < 0x800) ||
	    (need == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
		return 0;
	return need + 1;
}

} // namespace

bool
w_utf8_valid(const char *s, unsigned long len)
{
	const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
	const unsigned char *end = p + len;
	while (p < end) {
		unsigned long n = utf8_seqlen(p, end);
		if (n == 0)
			return false;
		p += n;
	}
	return true;
}

namespace {

// True for the multibyte characters that are no text to show on a line:
// the C1 controls (U+0080 to U+009F, NEL among them), the line and
// paragraph separators U+2028 and U+2029, which YAML and some terminals
// take as line breaks, and the noncharacters U+FFFE and U+FFFF, which a
// YAML reader refuses.  p holds a well-formed sequence of n bytes.
bool
unshowable(const unsigned char *p, unsigned long n)
{
	if (n == 2)
		return p[0] == 0xC2 && p[1] <= 0x9F;
	if (n == 3)
		return (p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) ||
		    (p[0] == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF));
	return false;
}

} // namespace

std::string
w_escape(const char *s, std::size_t len)
{
	static const char hex[] = "0123456789abcdef";
	const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
	const unsigned char *end = p + len;
	std::string out;
	out.reserve(len);
	const auto hex_escape = [&](unsigned char c) {
		out += "\\x";
		out += hex[c >> 4];
		out += hex[c & 0xF];
	};
	while (p < end) {
		unsigned long n = utf8_seqlen(p, end);
		if (n > 1) {
			if (unshowable(p, n)) {
				for (unsigned long i = 0; i < n; i++)
					hex_escape(p[i]);
			} else {
				out.append(reinterpret_cast<const char *>(p), n);
			}
			p += n;
			continue;
		}
		unsigned char c = *p++;
		switch (c) {
		case '\\': out += "\\\\"; break;
		case '\n': out += "\\n"; break;
		case '\t': out += "\\t"; break;
		case '\r': out += "\\r"; break;
		case '\0': out += "\\0"; break;
		default:
			if (n == 1 && c >= 0x20 && c != 0x7F)
				out += static_cast<char>(c);
			else
				hex_escape(c);
		}
	}
	return out;
}
