// The least that replacing a file safely costs on a disk, as a yardstick
// for tools that must do it: every file named is read whole, written
// unchanged to a new unnamed file in its directory, and once a group of
// them is written the file system is flushed and each copy takes its
// file's name.  No tag is parsed or changed.  What wembrix costs above this
// is its own; what this costs above a tool that writes in place is the
// price of never leaving a torn file.
//
//   safe_floor FILE...
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t group_files = 256; // as wembrix groups its flushes

[[noreturn]] void
fail(const std::string &what)
{
	std::fprintf(stderr, "safe_floor: %s: %s\n", what.c_str(), std::strerror(errno));
	_exit(1);
}

struct copy {
	int fd;
	dev_t dev;
	std::string path;
};

void
put_in_place(std::vector<copy> &group)
{
	// One flush per file system, as wembrix does.
	std::vector<dev_t> flushed;
	for (const copy &c : group) {
		if (std::find(flushed.begin(), flushed.end(), c.dev) != flushed.end())
			continue;
		if (syncfs(c.fd) == -1)
			fail("syncfs");
		flushed.push_back(c.dev);
	}
	for (auto &[fd, dev, path] : group) {
		const std::string proc = "/proc/self/fd/" + std::to_string(fd);
		const std::string tmp = path + ".floor-tmp";
		if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) == -1)
			fail(tmp);
		if (rename(tmp.c_str(), path.c_str()) == -1)
			fail(path);
		close(fd);
	}
	group.clear();
}

} // namespace

int
main(int argc, char **argv)
{
	std::vector<copy> group;
	std::vector<char> bytes;
	for (int i = 1; i < argc; i++) {
		const std::string path = argv[i];
		const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
		struct stat st;
		if (in == -1 || fstat(in, &st) == -1)
			fail(path);
		bytes.resize(static_cast<std::size_t>(st.st_size));
		for (std::size_t done = 0; done < bytes.size();) {
			const ssize_t n = read(in, bytes.data() + done, bytes.size() - done);
			if (n <= 0) {
				if (n == 0)
					errno = EIO; // the file shrank
				fail(path);
			}
			done += static_cast<std::size_t>(n);
		}
		close(in);
		const std::size_t slash = path.rfind('/');
		const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
		const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
		if (fd == -1)
			fail(dir);
		for (std::size_t done = 0; done < bytes.size();) {
			const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
			if (n <= 0)
				fail(path);
			done += static_cast<std::size_t>(n);
		}
		if (fchmod(fd, st.st_mode & 07777) == -1)
			fail(path);
		group.push_back({fd, st.st_dev, path});
		if (group.size() == group_files)
			put_in_place(group);
	}
	put_in_place(group);
	return 0;
}
