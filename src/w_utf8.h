/* Well-formed UTF-8, and bytes made safe to show on one line. */
#pragma once

#include <cstddef>
#include <string>

// True when the len bytes at s are well-formed UTF-8.
bool w_utf8_valid(const char *s, unsigned long len);

// The len bytes at s made safe to show on one line: well-formed UTF-8 other
// than control characters stays as it is; a backslash becomes \\, NUL, tab,
// newline and carriage return become \0, \t, \n and \r, and every byte of
// any other control character (C0, DEL, C1), of a line or paragraph
// separator (U+2028, U+2029), of U+FFFE or U+FFFF, or that is not part of
// well-formed UTF-8 becomes \xHH.  The result is always valid UTF-8 on a
// single line, and a YAML reader takes it whole in a comment.
std::string w_escape(const char *s, std::size_t len);
