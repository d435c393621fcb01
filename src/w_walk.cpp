#include "w_walk.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <err.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

struct dir_closer {
	void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// What an entry is, as far as the walk cares.
enum class kind { file, directory, other, unknown };

kind
kind_of(mode_t mode)
{
	if (S_ISREG(mode))
		return kind::file;
	if (S_ISDIR(mode))
		return kind::directory;
	return kind::other;
}

/*
 * The names in dir, sorted by their bytes, or false with errno.  The
 * directory is closed before its subdirectories are opened, so a deep tree
 * does not use up the descriptors.
 */
bool
sorted_names(const std::string &dir, std::vector<std::string> &names)
{
	dir_ptr d(opendir(dir.c_str()));
	if (d == nullptr)
		return false;
	errno = 0;
	struct dirent *e;
	while ((e = readdir(d.get())) != nullptr) {
		const std::string name = e->d_name;
		if (name != "." && name != "..")
			names.push_back(name);
		errno = 0;
	}
	if (errno != 0)
		return false;
	// std::string compares as unsigned bytes: the order of the bytes.
	std::sort(names.begin(), names.end());
	return true;
}

int
walk(const std::string &dir, w_walk_visit visit, void *arg)
{
	std::vector<std::string> names;
	if (!sorted_names(dir, names)) {
		warn("%s", dir.c_str());
		return -1;
	}
	int ret = 0;
	const std::string prefix = dir.back() == '/' ? dir : dir + "/";
	for (const std::string &name : names) {
		const std::string path = prefix + name;
		struct stat st;
		if (lstat(path.c_str(), &st) == -1) {
			if (errno == ENOENT)
				continue; // gone since the directory was read
			warn("%s", path.c_str());
			ret = -1;
			continue;
		}
		kind k = kind_of(st.st_mode);
		if (S_ISLNK(st.st_mode)) {
			// A link to a file is the file; a link to a directory is
			// not followed.  A dangling link is said as a file would be.
			k = stat(path.c_str(), &st) == 0 ? kind_of(st.st_mode) : kind::file;
			if (k == kind::directory)
				continue;
		}
		if (k == kind::directory) {
			if (walk(path, visit, arg) == -1)
				ret = -1;
		} else if (k == kind::file) {
			visit(path.c_str(), arg);
		}
	}
	return ret;
}

} // namespace

int
w_walk(const char *root, w_walk_visit visit, void *arg)
{
	assert(root != NULL);
	assert(visit != NULL);

	try {
		return walk(root, visit, arg);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", root);
		return -1;
	}
}
