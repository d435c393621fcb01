/* Small helpers shared by every module. */
#pragma once

#include "w_contract.h"

// The name the program was run under (last component of argv[0]).
const char *w_getprogname(void);

// Lower-cases the ASCII bytes of str in place through the current locale;
// bytes 0x80 and above are left alone, so UTF-8 passes through.  Returns str.
char *w_strtolower(char *str);

// A malloc'ed copy of str converted from the locale's character set to
// UTF-8, or null with errno as left by the failing step.
char *w_iconv_loc2utf8(const char *str);

// asprintf that ends the program with "vasprintf" when it cannot format.
void w_xasprintf(char **out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// True when the len bytes at s are well-formed UTF-8.
bool w_utf8_valid(const char *s, unsigned long len);
