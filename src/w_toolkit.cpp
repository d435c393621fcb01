#include "w_toolkit.h"

#include <cctype>
#include <cstdint>
#include <ctype.h>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <memory>

const char *
w_getprogname(void)
{
	return program_invocation_short_name;
}

char *
w_strtolower(char *str)
{
	assert(str != NULL);
	// The lower-case table of the thread's locale (the global one unless
	// the thread chose its own), looked up once rather than per byte.
	const std::int32_t *lower = *__ctype_tolower_loc();
	for (unsigned char *p = reinterpret_cast<unsigned char *>(str); *p != '\0'; p++) {
		if (*p < 0x80)
			*p = static_cast<unsigned char>(lower[*p]);
	}
	return str;
}

namespace {

bool locale_set = false;

struct iconv_closer {
	void operator()(iconv_t cd) const { iconv_close(cd); }
};

iconv_t
open_loc2utf8()
{
	iconv_t cd = iconv_open("utf-8", "");
	if (cd == reinterpret_cast<iconv_t>(-1)) {
		// Not every C library takes "" for the locale's own codeset.
		cd = iconv_open("utf-8", nl_langinfo(CODESET));
	}
	return cd;
}

} // namespace

char *
w_iconv_loc2utf8(const char *str)
{
	assert(str != NULL);
	if (!locale_set) {
		setlocale(LC_ALL, "");
		locale_set = true;
	}
	iconv_t cd = open_loc2utf8();
	if (cd == reinterpret_cast<iconv_t>(-1))
		return nullptr;

	size_t n = std::strlen(str);
	char *out = static_cast<char *>(std::calloc(4, n + 1));
	char *copy = strdup(str);
	if (out == nullptr || copy == nullptr) {
		int saved = errno;
		std::free(out);
		std::free(copy);
		iconv_close(cd);
		errno = saved;
		return nullptr;
	}
	char *in = copy, *o = out;
	size_t inleft = n, outleft = 4 * n;
	size_t r = iconv(cd, &in, &inleft, &o, &outleft);
	int saved = errno;
	std::free(copy);
	iconv_close(cd);
	if (r == static_cast<size_t>(-1)) {
		std::free(out);
		errno = saved;
		return nullptr;
	}
	return out;
}

void
w_xasprintf(char **out, const char *fmt, ...)
{
	assert(out != NULL);
	va_list ap;
	va_start(ap, fmt);
	int n = vasprintf(out, fmt, ap);
	va_end(ap);
	if (n < 0)
		err(1, "vasprintf");
}

bool
w_utf8_valid(const char *s, unsigned long len)
{
	const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
	const unsigned char *end = p + len;
	while (p < end) {
		unsigned char c = *p;
		unsigned long need;
		unsigned long cp;
		if (c < 0x80) {
			p++;
			continue;
		} else if ((c & 0xE0) == 0xC0) {
			need = 1;
			cp = c & 0x1F;
		} else if ((c & 0xF0) == 0xE0) {
			need = 2;
			cp = c & 0x0F;
		} else if ((c & 0xF8) == 0xF0) {
			need = 3;
			cp = c & 0x07;
		} else {
			return false;
		}
		if (static_cast<unsigned long>(end - p) <= need)
			return false;
		for (unsigned long i = 1; i <= need; i++) {
			if ((p[i] & 0xC0) != 0x80)
				return false;
			cp = (cp << 6) | (p[i] & 0x3F);
		}
		// Overlong forms, surrogates and values past U+10FFFF.
		if ((need == 1 && cp < 0x80) || (need == 2 && cp < 0x800) ||
		    (need == 3 && cp < 0x10000) || cp > 0x10FFFF ||
		    (cp >= 0xD800 && cp <= 0xDFFF))
			return false;
		p += need + 1;
	}
	return true;
}
