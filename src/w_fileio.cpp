#include "w_fileio.h"

#include <cerrno>
#include <memory>
#include <new>
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

off_t
w_copy_to_end(int in, off_t from, int out, off_t to, bool kernel)
{
	const off_t start = from;
	while (kernel) {
		const ssize_t n = copy_file_range(in, &from, out, &to, std::size_t{1} << 30, 0);
		if (n == 0)
			return from - start;
		if (n > 0)
			continue;
		if (errno == EINTR)
			continue;
		// Refused by the kernel or by either file system (across file
		// systems, on older kernels, or where it is not implemented):
		// the rest goes through user space.
		if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
			return -1;
		kernel = false;
	}
	constexpr std::size_t size = 256 * 1024;
	std::unique_ptr<char[]> buf(new (std::nothrow) char[size]);
	if (!buf) {
		errno = ENOMEM;
		return -1;
	}
	for (;;) {
		const ssize_t n = w_pread_upto(in, buf.get(), size, from);
		if (n == -1)
			return -1;
		if (n == 0)
			return from - start;
		if (!w_pwrite_all(out, buf.get(), static_cast<std::size_t>(n), to))
			return -1;
		from += n;
		to += n;
	}
}
