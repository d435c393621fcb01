#include "w_renamer.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "w_basename.h"
#include "w_dirname.h"
#include "w_journal.h"
#include "w_safefile.h"
#include "w_sbuf.h"
#include "w_settings.h"
#include "w_taglist.h"
#include "w_toolkit.h"

namespace {

struct tokenQ_deleter {
	void operator()(struct w_rename_tokenQ *q) const { w_rename_tokenQ_destroy(q); }
};
using tokenQ_ptr = std::unique_ptr<struct w_rename_tokenQ, tokenQ_deleter>;

// Appends a token holding the collected text, then empties the buffer.  A
// tag token gets width; written is the whole plain name when the buffer
// holds its part after the width.
int
append_token(struct w_rename_tokenQ *q, w_sbuf &sb, int is_tag, unsigned width = 0,
    const std::string *written = nullptr)
{
	if (sb.finish() == -1)
		return -1;
	const std::size_t len = sb.len();
	const std::size_t wlen = written != nullptr ? written->size() + 1 : 0;
	auto *token = static_cast<struct w_rename_token *>(
	    std::malloc(sizeof(struct w_rename_token) + len + 1 + wlen));
	if (token == nullptr)
		return -1;
	token->is_tag = is_tag;
	token->value = reinterpret_cast<char *>(token + 1);
	std::memcpy(token->value, sb.data(), len + 1);
	token->width = width;
	token->written = nullptr;
	if (written != nullptr) {
		token->written = token->value + len + 1;
		std::memcpy(token->written, written->c_str(), wlen);
	}
	TAILQ_INSERT_TAIL(q, token, entries);
	sb.clear();
	return 0;
}

// Widths beyond this are no widths: the digits stay part of the name.
constexpr unsigned max_width = 255;

// The width that leads a plain name ("02" of "02track"), or 0 when the
// name does not start with one followed by more of the name.
unsigned
leading_width(const char *name, std::size_t len, std::size_t *digits)
{
	std::size_t n = 0;
	unsigned width = 0;
	while (n < len && name[n] >= '0' && name[n] <= '9') {
		width = width * 10 + static_cast<unsigned>(name[n] - '0');
		if (width > max_width)
			return 0;
		n++;
	}
	if (n == 0 || n == len || width == 0)
		return 0;
	*digits = n;
	return width;
}

// Ends a plain tag name: '%02track' is the tag track padded to 2 (unless
// the file has a tag "02track"), '%track' and '%2' the tags they name.
int
append_plain(struct w_rename_tokenQ *q, w_sbuf &sb)
{
	std::size_t digits = 0;
	const unsigned width = leading_width(sb.data(), sb.len(), &digits);
	if (width == 0)
		return append_token(q, sb, 1);
	const std::string written(sb.data(), sb.len());
	sb.clear();
	sb.bcat(written.data() + digits, written.size() - digits);
	return append_token(q, sb, 1, width, &written);
}

// A width then a braced name ('%02{album artist}'): the digits read so far
// are all the plain name holds.
unsigned
braced_width(const w_sbuf &sb)
{
	if (sb.len() == 0 || sb.len() > 3)
		return 0;
	unsigned width = 0;
	for (std::size_t i = 0; i < sb.len(); i++) {
		const char c = sb.data()[i];
		if (c < '0' || c > '9')
			return 0;
		width = width * 10 + static_cast<unsigned>(c - '0');
	}
	return width <= max_width ? width : 0;
}

// Bytes of a plain '%name': alphanumerics of the locale, never a byte with
// the high bit set (as a signed char it is no character of a name).
bool
is_name_byte(char c)
{
	const auto u = static_cast<unsigned char>(c);
	return u < 0x80 && std::isalnum(u);
}

} // namespace

struct w_rename_tokenQ *
w_rename_parse(const char *pattern)
{
	assert(pattern != NULL);

	auto *raw = static_cast<struct w_rename_tokenQ *>(std::malloc(sizeof(struct w_rename_tokenQ)));
	if (raw == nullptr)
		return nullptr;
	TAILQ_INIT(raw);
	tokenQ_ptr q(raw);

	enum { LITERAL, PLAIN, BRACED } mode = LITERAL;
	unsigned width = 0; // of the braced name being read
	w_sbuf sb;
	const char *p = pattern;
	while (*p != '\0') {
		switch (mode) {
		case LITERAL:
			if (*p == '%') {
				if (sb.len() > 0 && append_token(q.get(), sb, 0) == -1)
					return nullptr;
				if (p[1] == '{') {
					mode = BRACED;
					p += 2;
				} else {
					mode = PLAIN;
					p++;
				}
			} else if (*p == '\\') {
				// A backslash at the very end stands for nothing.
				if (p[1] != '\0')
					sb.putc(*++p);
				p++;
			} else {
				sb.putc(*p++);
			}
			break;
		case PLAIN:
			if (is_name_byte(*p)) {
				sb.putc(*p++);
				break;
			}
			if (*p == '{' && (width = braced_width(sb)) != 0) {
				sb.clear();
				mode = BRACED;
				p++;
				break;
			}
			// The byte that ends the name is read again as literal text.
			if (sb.len() == 0)
				warnx("empty tag in rename pattern");
			if (append_plain(q.get(), sb) == -1)
				return nullptr;
			mode = LITERAL;
			break;
		case BRACED:
			if (*p == '\\') {
				if (p[1] != '\0')
					sb.putc(*++p);
				p++;
			} else if (*p == '}') {
				if (sb.len() == 0)
					warnx("empty tag in rename pattern");
				if (append_token(q.get(), sb, 1, width) == -1)
					return nullptr;
				width = 0;
				mode = LITERAL;
				p++;
			} else {
				sb.putc(*p++);
			}
			break;
		}
	}

	switch (mode) {
	case LITERAL:
		if (sb.len() > 0 && append_token(q.get(), sb, 0) == -1)
			return nullptr;
		break;
	case PLAIN:
		if (sb.len() == 0)
			warnx("empty tag at the end of the rename pattern");
		if (append_plain(q.get(), sb) == -1)
			return nullptr;
		break;
	case BRACED:
		warnx("missing closing `}' at the end of the rename pattern");
		return nullptr;
	}
	return q.release();
}

void
w_rename_tokenQ_destroy(struct w_rename_tokenQ *q)
{
	if (q == nullptr)
		return;
	struct w_rename_token *token;
	while ((token = TAILQ_FIRST(q)) != nullptr) {
		TAILQ_REMOVE(q, token, entries);
		std::free(token);
	}
	std::free(q);
}

namespace {

// A numeric value ("3", or "3/12" with its total) as its number padded
// with zeros to width ("03"); any other value stays as it is.
int
pad(w_cstr_ptr &value, unsigned width)
{
	const char *v = value.get();
	const std::size_t digits = std::strspn(v, "0123456789");
	if (digits == 0 || (v[digits] != '\0' && v[digits] != '/'))
		return 0;
	std::string padded(digits < width ? width - digits : 0, '0');
	padded.append(v, digits);
	char *copy = strdup(padded.c_str());
	if (copy == nullptr)
		return -1;
	value.reset(copy);
	return 0;
}

char *
eval(struct w_tune *tune, const struct w_rename_tokenQ *pattern)
{
	w_sbuf sb;
	w_taglist_ptr tags(w_tune_tags(tune));
	if (tags == nullptr)
		return nullptr;

	std::set<std::string> missing; // the names already said to be missing
	const struct w_rename_token *token;
	TAILQ_FOREACH(token, pattern, entries) {
		if (!token->is_tag) {
			sb.cat(token->value);
			continue;
		}
		const char *name = token->value;
		unsigned width = token->width;
		w_taglist_ptr found;
		// '%02track' keeps naming a tag "02track" the file has.
		if (token->written != nullptr) {
			found.reset(w_taglist_find_all(tags.get(), token->written));
			if (found == nullptr)
				return nullptr;
			if (found->count > 0) {
				name = token->written;
				width = 0;
			}
		}
		if (name == token->value)
			found.reset(w_taglist_find_all(tags.get(), name));
		if (found == nullptr)
			return nullptr;
		if (found->count == 0) {
			// An empty name has been warned about by the parser.
			if (*name != '\0' && missing.insert(name).second)
				warnx("%s: no `%s' tag; the rename pattern uses its name", w_tune_path(tune),
				    name);
			sb.cat(name);
			continue;
		}
		w_cstr_ptr joined(w_taglist_join(found.get(), " + "));
		if (joined == nullptr)
			return nullptr;
		if (found->count > 1)
			warnx("%s: has many `%s' tags, joined with `+'", w_tune_path(tune), name);
		if (width != 0 && pad(joined, width) == -1)
			return nullptr;
		// A value must not lead the file into other directories.
		char *slash = std::strchr(joined.get(), '/');
		if (slash != nullptr) {
			warnx("%s: tag `%s' has / in value, replacing by `-'", w_tune_path(tune), name);
			for (; slash != nullptr; slash = std::strchr(slash + 1, '/'))
				*slash = '-';
		}
		sb.cat(joined.get());
	}

	if (sb.len() > 1024) {
		warnx("w_rename_eval result is too long (>MAXPATHLEN)");
		return nullptr;
	}
	if (sb.finish() == -1)
		return nullptr;
	return sb.dup();
}

} // namespace

char *
w_rename_eval(struct w_tune *tune, const struct w_rename_tokenQ *pattern)
{
	assert(tune != NULL);
	assert(pattern != NULL);

	try {
		return eval(tune, pattern);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return nullptr;
	}
}

int
w_yesno(const char *question)
{
	char answer[5];

	for (;;) {
		if (std::feof(stdin) && !Yflag && !Nflag)
			return 0;
		std::memset(answer, 0, sizeof(answer));
		if (question != nullptr) {
			std::printf("%s? [y/n] ", question);
			std::fflush(stdout);
		}
		if (Yflag) {
			std::puts("yes");
			return 1;
		}
		if (Nflag) {
			std::puts("no");
			return 0;
		}
		if (std::fgets(answer, sizeof(answer), stdin) == nullptr) {
			if (std::feof(stdin))
				return 0;
			err(1, "fgets");
		}
		char *nl = std::strchr(answer, '\n');
		if (nl == nullptr) {
			// Too long to be an answer: drop the rest of the line and ask
			// again.  A read error ends the dropping too; the next fgets
			// then reports it.
			int c;
			do
				c = std::getchar();
			while (c != '\n' && c != EOF);
			continue;
		}
		*nl = '\0';
		w_strtolower(answer);
		if (std::strcmp(answer, "n") == 0 || std::strcmp(answer, "no") == 0)
			return 0;
		if (std::strcmp(answer, "y") == 0 || std::strcmp(answer, "yes") == 0)
			return 1;
	}
}

namespace {

// Makes every missing directory along path, as mkdir -p does.  The
// directories on the way are made writable and searchable by their owner
// whatever the umask says, so that the next one can be made inside; the
// last one gets the user's usual mask.  The process's mask is the same
// afterwards on every way out.  0, or -1 once it has said which directory
// it could not make and why.
int
build(char *path)
{
	int ret = 0;
	mode_t saved_mask = 0;
	bool mask_changed = false;
	char *p = path;

	if (*p == '/')
		p++;
	if (*p == '\0')
		return 0; // the root directory is always there
	for (bool last = false; !last; p++) {
		p += std::strcspn(p, "/");
		if (*p == '\0')
			last = true;
		else if (p[1] == '\0')
			last = true; // a trailing slash
		const bool cut = *p == '/';
		*p = '\0';

		if (!mask_changed) {
			saved_mask = umask(0);
			umask(saved_mask & ~static_cast<mode_t>(0300));
			mask_changed = true;
		}
		if (last)
			umask(saved_mask);
		if (mkdir(path, 0777) == -1) {
			if (errno != EEXIST && errno != EISDIR) {
				warn("build: %s", path);
				ret = -1;
				break;
			}
			struct stat sb;
			if (stat(path, &sb) == -1) {
				warn("build: %s", path);
				ret = -1;
				break;
			}
			if (!S_ISDIR(sb.st_mode)) {
				// Said as the check after building says it of the
				// last component.
				errno = ENOTDIR;
				warn("%s", path);
				ret = -1;
				break;
			}
		} else if (w_journal_made_dir(path) == -1) {
			// Made by the run, then: an undo removes it if empty.
			ret = -1;
			break;
		}
		if (cut)
			*p = '/';
	}
	if (mask_changed)
		umask(saved_mask);
	return ret;
}

// A move that cannot replace npath, for file systems that have no
// no-replace rename: link() refuses an existing name.  0 or -1 with errno.
int
link_move(const char *opath, const char *npath)
{
	if (link(opath, npath) == -1)
		return -1;
	if (unlink(opath) == -1) {
		const int saved = errno;
		// Leave things as they were: one name, the old one.
		unlink(npath);
		errno = saved;
		return -1;
	}
	return 0;
}

/*
 * Whether npath names the very directory entry that opath names: the same
 * name in the same directory, the directories compared by device and
 * inode, so that a path through "..", another spelling or a symbolic link
 * to the directory is seen through.  Another name for the same file (a
 * hard link, or a name differing in case on a file system that ignores
 * case) is another entry.
 */
bool
same_entry(const char *opath, const char *npath)
{
	std::string names[2], dirs[2];
	const char *paths[2] = {opath, npath};
	for (int i = 0; i < 2; i++) {
		const char *b = w::basename(paths[i]);
		const char *d = w::dirname(paths[i]);
		if (b == nullptr || d == nullptr)
			return false;
		names[i] = b;
		dirs[i] = d;
	}
	if (names[0] != names[1])
		return false;
	struct stat a, b;
	return stat(dirs[0].c_str(), &a) == 0 && stat(dirs[1].c_str(), &b) == 0 &&
	    a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// What a preview (-n) says instead of moving the file.
int
preview(const char *opath, const char *npath)
{
	std::printf("would rename `%s' to `%s'\n", opath, npath);
	return 0;
}

} // namespace

int
w_rename_safe(const char *opath, const char *npath)
{
	assert(opath != NULL);
	assert(npath != NULL);

	char odir[1024], ndir[1024];
	for (auto [path, dir] : {std::pair{opath, odir}, std::pair{npath, ndir}}) {
		const char *d = w::dirname(path);
		if (d == nullptr) {
			warn("dirname");
			return -1;
		}
		const std::size_t len = std::strlen(d);
		if (len >= sizeof(odir)) {
			warnx("path exceeding MAXPATHLEN");
			return -1;
		}
		std::memcpy(dir, d, len + 1);
	}

	struct stat sb;
	if (std::strcmp(odir, ndir) != 0) {
		if (pflag && !nflag) {
			w_cstr_ptr copy(strdup(ndir));
			if (copy == nullptr)
				return -1;
			if (build(copy.get()) == -1)
				return -1;
		}
		if (stat(ndir, &sb) == -1) {
			// A preview with -p: the directories would be made.
			if (errno == ENOENT && pflag && nflag)
				return preview(opath, npath);
			if (errno == ENOENT && !pflag)
				warn("`%s' (forgot -p ?)", ndir);
			else
				warn("%s", ndir);
			return -1;
		}
		if (!S_ISDIR(sb.st_mode)) {
			errno = ENOTDIR;
			warn("%s", ndir);
			return -1;
		}
	}

	if (stat(npath, &sb) == 0) {
		errno = EEXIST;
		warn("%s", npath);
		return -1;
	}
	if (nflag)
		return preview(opath, npath);
	// The check above tells the user early; the move itself refuses to
	// replace anything that appeared since (or a dangling symbolic link,
	// which stat does not see).
	int ret = renameat2(AT_FDCWD, opath, AT_FDCWD, npath, RENAME_NOREPLACE);
	if (ret == -1 && (errno == EINVAL || errno == ENOSYS))
		ret = link_move(opath, npath);
	if (ret == -1) {
		if (errno == EEXIST)
			warn("%s", npath);
		else
			warn("rename `%s' to `%s'", opath, npath);
		return -1;
	}
	return 0;
}

int
w_rename(struct w_tune *tune, const struct w_rename_tokenQ *pattern)
{
	assert(pattern != NULL);
	assert(tune != NULL);

	// Pending tag changes go to the file under its old name, and are in
	// place before anything moves it or waits for an answer (a copy that
	// fails to get there has been reported by then).  A preview
	// rehearses them: a write refused stops the rename there too.
	if (w_journal_touch(tune, true) == -1 || w_tune_commit(tune) == -1 ||
	    w_safefile_flush() == -1)
		return -1;

	const char *opath = w_tune_path(tune);
	// The extension is that of the file's own name: a '.' in a directory
	// name is no extension.
	const char *base = w::basename(opath);
	if (base == nullptr) {
		warn("basename");
		return -1;
	}
	const char *dot = std::strrchr(base, '.');
	if (dot == nullptr) {
		warnx("%s: can not find file extension", opath);
		return -1;
	}
	// A copy: basename's buffer is shared with every later caller.
	w_cstr_ptr ext(strdup(dot + 1));
	if (ext == nullptr)
		return -1;
	const bool no_dir = std::strcmp(opath, base) == 0;

	w_cstr_ptr name(w_rename_eval(tune, pattern));
	if (name == nullptr)
		return -1;

	const char *dir = w::dirname(opath);
	if (dir == nullptr) {
		warn("dirname");
		return -1;
	}
	char *raw = nullptr;
	// A name from the root ('/music/%artist/...') is not put in the
	// file's directory.
	int n = no_dir || name.get()[0] == '/' ? asprintf(&raw, "%s.%s", name.get(), ext.get())
		       : asprintf(&raw, "%s/%s.%s", dir, name.get(), ext.get());
	if (n == -1)
		return -1;
	w_cstr_ptr npath(raw);
	if (asprintf(&raw, "rename `%s' to `%s'", opath, npath.get()) == -1)
		return -1;
	w_cstr_ptr question(raw);

	// Already there: nothing to ask, nothing to move.
	if (std::strcmp(npath.get(), opath) == 0 || same_entry(opath, npath.get()))
		return 0;
	// A preview asks nothing: it says what it would do.
	if (nflag)
		return w_rename_safe(opath, npath.get());
	if (!w_yesno(question.get()))
		return 0;
	if (w_journal_moving(npath.get()) == -1 || w_rename_safe(opath, npath.get()) == -1)
		return -1;
	if (w__tune_reload__(tune, npath.get()) == -1) {
		warnx("%s: renamed, but cannot be opened again", npath.get());
		return -1;
	}
	return 0;
}
