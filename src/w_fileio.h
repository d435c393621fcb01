/*
 * Reading and writing whole runs of bytes at an offset, through the short
 * counts and interruptions that pread and pwrite may give.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <sys/types.h>

// Reads up to len bytes at at, fewer only where the file ends: how many,
// or -1 with errno set.
ssize_t w_pread_upto(int fd, void *buf, std::size_t len, off_t at);
// Reads exactly len bytes at at: true, or false with errno set (EIO where
// the file ends first).
bool w_pread_all(int fd, void *buf, std::size_t len, off_t at);
// Writes len bytes at at: true, or false with errno set.  done, when
// given, says how many reached the file, on failure too.
bool w_pwrite_all(int fd, const void *buf, std::size_t len, off_t at, std::size_t *done = nullptr);

// Copies everything of in from offset from to its end into out at offset
// to, inside the kernel (copy_file_range) where the kernel and the file
// systems allow it, else through a buffer; kernel false always takes the
// buffer.  The number of bytes copied, or -1 with errno set.
off_t w_copy_to_end(int in, off_t from, int out, off_t to, bool kernel = true);
