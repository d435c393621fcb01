/* The picture actions: list a file's pictures, write one to a new file. */
#include "w_action.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_dirname.h"
#include "w_picture.h"
#include "w_settings.h"
#include "w_toolkit.h"

namespace {

// The WHICH of export-picture:[WHICH=]PATH, "" when not given.
std::string
export_which(const char *arg)
{
	const char *eq = std::strchr(arg, '=');
	return eq != nullptr ? std::string(arg, static_cast<std::size_t>(eq - arg)) : std::string();
}

bool
which_ok(const std::string &which)
{
	if (which.empty())
		return true;
	if (which.find_first_not_of("0123456789") == std::string::npos)
		return which.size() < 6 && std::stoul(which) >= 1;
	return w_picture_type_of(which) != -1;
}

} // namespace

bool
w__action_export_arg_ok(const char *arg)
{
	const char *eq = std::strchr(arg, '=');
	const char *path = eq != nullptr ? eq + 1 : arg;
	if (*path == '\0') {
		errno = EINVAL;
		warnx("export-picture: no file name");
		return false;
	}
	if (!which_ok(export_which(arg))) {
		errno = EINVAL;
		warnx("export-picture: %s: no picture index or type", export_which(arg).c_str());
		return false;
	}
	return true;
}

namespace {

int
read_pictures(struct w_tune *tune, std::vector<w_picture> *out)
{
	struct w_backend *b = w_tune_backend(tune);
	if (b->pictures == nullptr) {
		errno = ENOTSUP;
		return -1;
	}
	if (b->pictures(tune->opaque, out) == -1)
		return -1;
	// What the container does not say of an image, its header does.
	for (w_picture &p : *out)
		w_picture_complete(&p);
	return 0;
}

// What a preview (-n) says instead of writing the picture to name, once it
// has met what the open of a real run would refuse: a name taken (even by
// a dangling symbolic link), a directory that is missing or takes no new
// file.  0, or -1 (said).
int
preview_export(const std::string &name)
{
	struct stat st;
	if (lstat(name.c_str(), &st) == 0)
		errno = EEXIST;
	if (errno == ENOENT) {
		const char *dir = w::dirname(name.c_str());
		if (dir != nullptr && faccessat(AT_FDCWD, dir, W_OK | X_OK, AT_EACCESS) == 0) {
			std::printf("would write `%s'\n", name.c_str());
			return 0;
		}
	}
	warn("%s", name.c_str());
	return -1;
}

} // namespace

int
w_action_pictures(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_PICTURES);
	assert(tune != NULL);

	try {
		std::vector<w_picture> pics;
		if (read_pictures(tune, &pics) == -1)
			return -1;
		std::string out = "# " + w_escape(w_tune_path(tune), std::strlen(w_tune_path(tune))) + "\n";
		for (std::size_t i = 0; i < pics.size(); i++) {
			const w_picture &p = pics[i];
			out += std::to_string(i + 1) + '\t' + w_picture_type_name(p.type) + '\t' +
			    (p.mime.empty() ? "-" : w_escape(p.mime.data(), p.mime.size())) + '\t' +
			    (p.width != 0 && p.height != 0 ? std::to_string(p.width) + "x" + std::to_string(p.height) : "-") +
			    '\t' + std::to_string(p.data.size()) + '\t' +
			    w_escape(p.description.data(), p.description.size()) + '\n';
		}
		out += '\n';
		return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : -1;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

int
w_action_export_picture(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_EXPORT_PICTURE);
	assert(tune != NULL);

	const char *path = w_tune_path(tune);
	try {
		const char *arg = static_cast<const char *>(self->data);
		const std::string which = export_which(arg);
		const char *eq = std::strchr(arg, '=');
		std::string name = eq != nullptr ? eq + 1 : arg;
		std::vector<w_picture> pics;
		if (read_pictures(tune, &pics) == -1)
			return -1;
		const w_picture *chosen = nullptr;
		const bool by_index = !which.empty() && which.find_first_not_of("0123456789") == std::string::npos;
		const int type = by_index ? -1 : which.empty() ? 3 : w_picture_type_of(which);
		if (by_index) {
			const std::size_t n = std::stoul(which);
			if (n >= 1 && n <= pics.size())
				chosen = &pics[n - 1];
		} else {
			for (const w_picture &p : pics) {
				if (static_cast<int>(p.type) == type) {
					chosen = &p;
					break;
				}
			}
		}
		if (chosen == nullptr) {
			if (by_index)
				warnx("%s: no picture %s", path, which.c_str());
			else
				warnx("%s: no %s picture", path, w_picture_type_name(static_cast<unsigned>(type)).c_str());
			errno = ENOENT;
			return -1;
		}
		// A name without an extension takes the image's; a relative
		// name is taken from the music file's directory.
		const std::size_t slash = name.rfind('/');
		if (name.find('.', slash == std::string::npos ? 0 : slash + 1) == std::string::npos)
			name += std::string(".") + w_picture_extension(chosen->mime);
		if (name[0] != '/') {
			const char *dir_end = std::strrchr(path, '/');
			if (dir_end != nullptr)
				name = std::string(path, static_cast<std::size_t>(dir_end - path + 1)) + name;
		}
		if (nflag)
			return preview_export(name);
		// O_EXCL: an existing file, or one that appears meanwhile, is
		// never replaced.
		const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
		if (fd == -1) {
			warn("%s", name.c_str());
			return -1;
		}
		const char *at = chosen->data.data();
		std::size_t left = chosen->data.size();
		while (left > 0) {
			const ssize_t n = write(fd, at, left);
			if (n == -1 && errno == EINTR)
				continue;
			if (n <= 0) {
				const int saved = n == -1 ? errno : EIO;
				warn("%s", name.c_str());
				close(fd);
				unlink(name.c_str());
				errno = saved;
				return -1;
			}
			at += n;
			left -= static_cast<std::size_t>(n);
		}
		if (close(fd) == -1) {
			const int saved = errno;
			warn("%s", name.c_str());
			unlink(name.c_str());
			errno = saved;
			return -1;
		}
		return 0;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}
