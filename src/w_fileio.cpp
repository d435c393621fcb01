#include "w_fileio.h"

#include <cerrno>
#include <unistd.h>

ssize_t
w_pread_upto(int fd, void *buf, std::size_t len, off_t at)
{
	auto *p = static_cast<char *>(buf);
	std::size_t done = 0;
	while (done < len) {
		const ssize_t n = pread(fd, p + done, len - done, at + static_cast<off_t>(done));
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1)
			return -1;
		if (n == 0)
			break;
		done += static_cast<std::size_t>(n);
	}
	return static_cast<ssize_t>(done);
}

bool
w_pread_all(int fd, void *buf, std::size_t len, off_t at)
{
	const ssize_t n = w_pread_upto(fd, buf, len, at);
	if (n == -1)
		return false;
	if (static_cast<std::size_t>(n) != len) {
		errno = EIO; // the file shrank under us
		return false;
	}
	return true;
}

bool
w_pwrite_all(int fd, const void *buf, std::size_t len, off_t at, std::size_t *done)
{
	const auto *p = static_cast<const char *>(buf);
	std::size_t put = 0;
	bool ok = true;
	while (put < len) {
		const ssize_t n = pwrite(fd, p + put, len - put, at + static_cast<off_t>(put));
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0) {
			if (n == 0)
				errno = EIO;
			ok = false;
			break;
		}
		put += static_cast<std::size_t>(n);
	}
	if (done != nullptr)
		*done = put;
	return ok;
}
