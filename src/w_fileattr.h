/*
 * Carrying the access control list and the extended attributes of a file
 * over to the copy that replaces it.
 */
#pragma once

#include "w_contract.h"

#include <string>

// Gives the file open on to the ACL and the extended attributes of the
// file open on from, but for the security ones, which the kernel and the
// security module set themselves.  0, or -1 with errno set, the reason
// already told the user under label.
int w_fileattr_carry(int from, int to, const std::string &label) noexcept;
