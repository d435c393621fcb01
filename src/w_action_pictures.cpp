/* The picture actions: list a file's pictures, write one to a new file. */
#include "w_action.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_dirname.h"
#include "w_fileio.h"
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

// The pictures as the run leaves them so far.
int
read_pictures(struct w_tune *tune, std::vector<w_picture> *out)
{
	const std::vector<w_picture_slot> *plan = w_tune_pictures(tune);
	if (plan == nullptr)
		return -1;
	for (const w_picture_slot &s : *plan)
		out->push_back(s.pic);
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
		for (std::size_t i = 0; i < pics.size(); i++)
			out += w_picture_line(i + 1, pics[i]) + '\n';
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
		if (!w_pwrite_all(fd, chosen->data.data(), chosen->data.size(), 0)) {
			const int saved = errno;
			warn("%s", name.c_str());
			close(fd);
			unlink(name.c_str());
			errno = saved;
			return -1;
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

/*
 * import-picture:[TYPE[:DESCRIPTION]=]PATH and remove-pictures:[WHICH]
 * change the pictures the tune will write, as set and clear change its
 * tags; the file is written with them, through its backend's checks.
 */

namespace {

struct import_arg {
	int type = 3; // front cover
	std::string description;
	std::string path;
};

// The parts of import-picture's argument; false when TYPE names no type.
bool
parse_import(const char *arg, import_arg *out)
{
	const char *eq = std::strchr(arg, '=');
	out->path = eq != nullptr ? eq + 1 : arg;
	if (eq == nullptr)
		return true;
	const std::string head(arg, static_cast<std::size_t>(eq - arg));
	const std::size_t colon = head.find(':');
	const std::string type = head.substr(0, colon);
	if (colon != std::string::npos)
		out->description = head.substr(colon + 1);
	if (type.empty())
		return true;
	out->type = w_picture_type_of(type);
	return out->type != -1;
}

// The images an import reads at most: larger than any picture block.
constexpr std::size_t image_max = 64u << 20;

// Reads the regular file at name, of at most max bytes: 0, or -1 with errno
// set (EFBIG when larger, EINVAL when no regular file).
int
read_image(const char *name, std::size_t max, std::string *out)
{
	const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd == -1)
		return -1;
	struct closer {
		int fd;
		~closer() { close(fd); }
	} guard{fd};
	struct stat st;
	if (fstat(fd, &st) == -1)
		return -1;
	if (!S_ISREG(st.st_mode)) {
		errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
		return -1;
	}
	if (static_cast<std::uint64_t>(st.st_size) > max) {
		errno = EFBIG;
		return -1;
	}
	out->resize(static_cast<std::size_t>(st.st_size));
	std::size_t got = 0;
	while (got < out->size()) {
		const ssize_t n = read(fd, out->data() + got, out->size() - got);
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1)
			return -1;
		if (n == 0)
			break; // it shrank meanwhile: what is there
		got += static_cast<std::size_t>(n);
	}
	out->resize(got);
	return 0;
}

// A path of the command line, relative to the music file's directory, as
// export-picture takes it.
std::string
beside(const char *music, const std::string &name)
{
	if (name[0] == '/')
		return name;
	const char *dir_end = std::strrchr(music, '/');
	return dir_end != nullptr ? std::string(music, static_cast<std::size_t>(dir_end - music + 1)) + name : name;
}

} // namespace

bool
w__action_import_arg_ok(const char *arg)
{
	import_arg a;
	try {
		if (!parse_import(arg, &a)) {
			errno = EINVAL;
			warnx("import-picture: %s: no picture type", std::string(arg, std::strcspn(arg, ":=")).c_str());
			return false;
		}
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return false;
	}
	if (a.path.empty()) {
		errno = EINVAL;
		warnx("import-picture: no file name");
		return false;
	}
	return true;
}

bool
w__action_remove_arg_ok(const char *arg)
{
	if (!which_ok(arg)) {
		errno = EINVAL;
		warnx("remove-pictures: %s: no picture index or type", arg);
		return false;
	}
	return true;
}

bool
w_action_writes_pictures(const struct w_action *action)
{
	return action->kind == W_ACTION_IMPORT_PICTURE || action->kind == W_ACTION_REMOVE_PICTURES;
}

int
w_action_import_picture(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_IMPORT_PICTURE);
	assert(tune != NULL);

	const char *path = w_tune_path(tune);
	try {
		import_arg a;
		if (!parse_import(static_cast<const char *>(self->data), &a)) {
			errno = EINVAL;
			return -1;
		}
		const std::string name = beside(path, a.path);
		std::string image;
		if (read_image(name.c_str(), image_max, &image) == -1) {
			const int saved = errno;
			if (saved == EFBIG)
				warnx("%s: too big for a picture", name.c_str());
			else if (saved == EINVAL)
				warnx("%s: not a regular file", name.c_str());
			else
				warn("%s", name.c_str());
			errno = saved;
			return -1;
		}
		w_picture pic;
		if (!w_picture_of_image(std::move(image), static_cast<unsigned>(a.type), a.description, &pic)) {
			warnx("%s: not a JPEG, PNG, GIF, WebP or BMP image", name.c_str());
			errno = EINVAL;
			return -1;
		}
		std::vector<w_picture_slot> *plan = w_tune_change_pictures(tune);
		if (plan == nullptr) {
			if (errno == ENOTSUP)
				warnx("%s: this kind of file holds no pictures", path);
			return -1;
		}
		// The new picture takes the place of the first of its type.
		std::size_t at = plan->size();
		for (std::size_t i = plan->size(); i-- > 0;) {
			if (static_cast<int>((*plan)[i].pic.type) == a.type) {
				plan->erase(plan->begin() + static_cast<std::ptrdiff_t>(i));
				at = i;
			}
		}
		plan->insert(plan->begin() + static_cast<std::ptrdiff_t>(at), w_picture_slot{-1, std::move(pic)});
		return 0;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

int
w_action_remove_pictures(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_REMOVE_PICTURES);
	assert(tune != NULL);

	const char *path = w_tune_path(tune);
	const std::string which = static_cast<const char *>(self->data);
	try {
		std::vector<w_picture_slot> *plan = w_tune_change_pictures(tune);
		if (plan == nullptr) {
			if (errno == ENOTSUP)
				warnx("%s: this kind of file holds no pictures", path);
			return -1;
		}
		if (which.empty()) {
			plan->clear();
		} else if (which.find_first_not_of("0123456789") == std::string::npos) {
			// An index names one picture, which must be there.
			const std::size_t n = std::stoul(which);
			if (n < 1 || n > plan->size()) {
				warnx("%s: no picture %s", path, which.c_str());
				errno = ENOENT;
				return -1;
			}
			plan->erase(plan->begin() + static_cast<std::ptrdiff_t>(n - 1));
		} else {
			// A type: none of it is left, however many there were.
			const int type = w_picture_type_of(which);
			std::erase_if(*plan, [type](const w_picture_slot &s) { return static_cast<int>(s.pic.type) == type; });
		}
		return 0;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}
