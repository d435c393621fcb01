/* Making the process behave as on a file system without O_TMPFILE, to test
 * the way a program takes there. */
#pragma once

namespace wt {

// From now on every open with O_TMPFILE in this process, and in the
// programs it executes, fails with EOPNOTSUPP.  Only for a forked child:
// the filter cannot be removed.  False when it could not be installed.
bool deny_tmpfile();

} // namespace wt
