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
#include <string>

const char *
w_getprogname(void)
{
	return program_invocation_short_name;
}

namespace {

// The lower-case table of the thread's locale (the global one unless the
// thread chose its own), looked up once per string rather than per byte.
inline const std::int32_t *
lower_table()
{
	return *__ctype_tolower_loc();
}

inline unsigned char
lower_byte(const std::int32_t *lower, unsigned char c)
{
	return c < 0x80 ? static_cast<unsigned char>(lower[c]) : c;
}

} // namespace

char *
w_strtolower(char *str)
{
	assert(str != NULL);
	const std::int32_t *lower = lower_table();
	for (unsigned char *p = reinterpret_cast<unsigned char *>(str); *p != '\0'; p++)
		*p = lower_byte(lower, *p);
	return str;
}

void
w_lowercpy(char *dst, const char *src, std::size_t n)
{
	assert(dst != NULL || n == 0);
	assert(src != NULL || n == 0);
	const std::int32_t *lower = lower_table();
	const auto *s = reinterpret_cast<const unsigned char *>(src);
	auto *d = reinterpret_cast<unsigned char *>(dst);
	for (std::size_t i = 0; i < n; i++)
		d[i] = lower_byte(lower, s[i]);
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
