/*
 * Every wembrix module includes this header first.  Assertions guard the
 * contracts between modules and must never be compiled out.
 */
#pragma once

#ifdef NDEBUG
#error "wembrix keeps its assertions on in every build; do not define NDEBUG"
#endif

#include <cassert>
