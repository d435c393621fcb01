/*
 * The program's own dirname: never modifies its argument and returns a
 * static buffer of 1024 bytes, overwritten by the next call.  Lives in
 * namespace w so that it does not clash with the C library's.
 */
#pragma once

#include "w_contract.h"

namespace w {
// Null with errno ENAMETOOLONG when the result needs more than 1023 bytes.
const char *dirname(const char *path);
} // namespace w
