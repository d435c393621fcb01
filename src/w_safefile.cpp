#include "w_safefile.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "w_dirname.h"
#include "w_toolkit.h"

std::string
w_write_target(const char *path)
{
	assert(path != NULL);
	char *resolved = realpath(path, nullptr);
	if (resolved == nullptr)
		return {};
	std::string target(resolved);
	std::free(resolved);
	return target;
}

w_tempfile::~w_tempfile()
{
	if (fp_ != nullptr)
		std::fclose(fp_);
	if (created_)
		unlink(path_.c_str());
}

int
w_tempfile::create(const std::string &target)
{
	assert(!created_);
	struct stat st;
	if (stat(target.c_str(), &st) == -1)
		return -1;
	const char *dir = w::dirname(target.c_str());
	if (dir == nullptr)
		return -1;
	target_ = target;
	path_ = std::string(dir) + "/.__" + w_getprogname() + "_XXXXXX";

	int fd = mkstemps(path_.data(), 0);
	if (fd == -1)
		return -1;
	created_ = true;
	// Owner first: changing it may clear the set-id bits that fchmod sets.
	if (fchown(fd, st.st_uid, st.st_gid) == -1)
		(void)!fchown(fd, static_cast<uid_t>(-1), st.st_gid);
	if (fchmod(fd, st.st_mode & 07777) == -1) {
		int saved = errno;
		close(fd);
		errno = saved;
		return -1;
	}
	fp_ = fdopen(fd, "w+b");
	if (fp_ == nullptr) {
		int saved = errno;
		close(fd);
		errno = saved;
		return -1;
	}
	return 0;
}

int
w_tempfile::commit()
{
	assert(fp_ != nullptr);
	bool ok = std::fflush(fp_) == 0 && fsync(fileno(fp_)) == 0;
	int saved = errno;
	if (std::fclose(fp_) != 0 && ok) {
		ok = false;
		saved = errno;
	}
	fp_ = nullptr;
	if (ok && std::rename(path_.c_str(), target_.c_str()) == 0) {
		created_ = false;
		return 0;
	}
	if (ok)
		saved = errno;
	errno = saved;
	return -1;
}
