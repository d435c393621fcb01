#include "w_dirname.h"

#include <cerrno>
#include <cstring>

namespace w {

const char *
dirname(const char *path)
{
	static char buf[1024];

	if (path == nullptr || *path == '\0') {
		std::strcpy(buf, ".");
		return buf;
	}
	const char *end = path + std::strlen(path) - 1;
	// Trailing slashes, then the last component, then the slashes before it.
	while (end > path && *end == '/')
		end--;
	while (end > path && *end != '/')
		end--;
	if (*end != '/') {
		std::strcpy(buf, ".");
		return buf;
	}
	while (end > path && *end == '/')
		end--;
	std::size_t len = static_cast<std::size_t>(end - path) + 1;
	if (len >= sizeof(buf)) {
		errno = ENAMETOOLONG;
		return nullptr;
	}
	std::memcpy(buf, path, len);
	buf[len] = '\0';
	return buf;
}

} // namespace w
