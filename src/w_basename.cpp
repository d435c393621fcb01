#include "w_basename.h"

#include <cerrno>
#include <cstring>

namespace w {

const char *
basename(const char *path)
{
	static char buf[1024];

	if (path == nullptr || *path == '\0') {
		std::strcpy(buf, ".");
		return buf;
	}
	const char *end = path + std::strlen(path) - 1;
	while (end > path && *end == '/')
		end--;
	if (end == path && *end == '/') {
		std::strcpy(buf, "/");
		return buf;
	}
	const char *start = end;
	while (start > path && start[-1] != '/')
		start--;
	std::size_t len = static_cast<std::size_t>(end - start) + 1;
	if (len >= sizeof(buf)) {
		errno = ENAMETOOLONG;
		return nullptr;
	}
	std::memcpy(buf, start, len);
	buf[len] = '\0';
	return buf;
}

} // namespace w
