#include "w_journal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <err.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "w_fileid.h"
#include "w_json.h"
#include "w_settings.h"
#include "w_toolkit.h"

const char w_journal_magic[] = "wembrix-journal";

namespace {

struct journal {
	FILE *fp = nullptr;
	std::string path;
	unsigned long entries = 0;
	// The file the run is on.
	w_taglist_ptr old_tags;
	std::string old_path;
	bool entered = false;
};

journal J;

// A line to the journal, on the disk before this returns: 0 or -1 (said).
int
put_line(const std::string &line)
{
	if (std::fputs(line.c_str(), J.fp) == EOF || std::fputc('\n', J.fp) == EOF ||
	    std::fflush(J.fp) == EOF || fsync(fileno(J.fp)) == -1) {
		warn("%s", J.path.c_str());
		return -1;
	}
	return 0;
}

// The JSON document of tags for path, or "" (said).
std::string
document(const struct w_taglist *tags, const char *path)
{
	w_cstr_ptr doc(w_tags2json(tags, path));
	if (doc == nullptr) {
		if (errno == ENOMEM)
			warn("%s", path);
		return std::string();
	}
	return doc.get();
}

std::string
timespec_text(const struct timespec &t)
{
	char buf[64];
	std::snprintf(buf, sizeof buf, "%lld.%09ld", static_cast<long long>(t.tv_sec), t.tv_nsec);
	return buf;
}

} // namespace

int
w_journal_create(const char *path)
{
	assert(path != NULL);

	const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
	if (fd == -1) {
		warn("%s", path);
		return -1;
	}
	J.fp = fdopen(fd, "w");
	if (J.fp == nullptr) {
		warn("%s", path);
		close(fd);
		unlink(path);
		return -1;
	}
	J.path = path;
	char header[128];
	std::snprintf(header, sizeof header, "{\"%s\":1,\"all-tags\":%s}", w_journal_magic,
	    alltagsflag ? "true" : "false");
	if (put_line(header) == -1) {
		std::fclose(J.fp);
		J.fp = nullptr;
		unlink(path);
		return -1;
	}
	// The directory entry too: a journal that a crash loses is none.
	std::string dir = J.path;
	const std::size_t slash = dir.rfind('/');
	dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
	const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dfd != -1) {
		(void)fsync(dfd);
		close(dfd);
	}
	return 0;
}

bool
w_journal_active(void)
{
	return J.fp != nullptr;
}

int
w_journal_begin(struct w_tune *tune)
{
	assert(tune != NULL);

	J.entered = false;
	J.old_path = w_tune_path(tune);
	J.old_tags.reset(w_tune_tags(tune));
	if (J.old_tags == nullptr) {
		warn("%s", w_tune_path(tune));
		return -1;
	}
	return 0;
}

namespace {

int
touch(struct w_tune *tune, bool moving)
{
	if (!w_journal_active() || J.entered)
		return 0;
	const struct w_taglist *now = w_tune_cached_tags(tune);
	if (now == nullptr || J.old_tags == nullptr) {
		warnx("%s: its tags cannot be read, so the journal cannot hold them; not written",
		    w_tune_path(tune));
		return -1;
	}
	const std::string old = document(J.old_tags.get(), J.old_path.c_str());
	const std::string neo = document(now, J.old_path.c_str());
	if (old.empty() || neo.empty()) {
		warnx("%s: the journal cannot hold its tags; not written", J.old_path.c_str());
		return -1;
	}
	if (old == neo && !moving)
		return 0;
	J.entries++;
	if (put_line("{\"entry\":" + std::to_string(J.entries) + ",\"old\":" + old + ",\"new\":" +
		neo + "}") == -1)
		return -1;
	J.entered = true;
	return 0;
}

int
end(struct w_tune *tune)
{
	if (!w_journal_active() || !J.entered)
		return 0;
	J.entered = false;
	const char *path = w_tune_path(tune);
	const struct w_taglist *now = w_tune_cached_tags(tune);
	w_fileid id;
	if (now == nullptr || w_fileid_take(path, id) == -1) {
		warn("%s: cannot be looked at for the journal", path);
		return -1;
	}
	const std::string doc = document(now, path);
	if (doc.empty())
		return -1;
	return put_line("{\"done\":" + std::to_string(J.entries) + ",\"now\":" + doc +
	    ",\"dev\":" + std::to_string(id.dev) + ",\"ino\":" + std::to_string(id.ino) +
	    ",\"size\":" + std::to_string(id.size) + ",\"mtime\":\"" + timespec_text(id.mtime) +
	    "\",\"ctime\":\"" + timespec_text(id.ctime) + "\"}");
}

} // namespace

int
w_journal_moving(const char *npath)
{
	assert(npath != NULL);

	if (!w_journal_active() || !J.entered)
		return 0;
	try {
		w_taglist_ptr none(w_taglist_new());
		if (none == nullptr) {
			warn("%s", J.path.c_str());
			return -1;
		}
		// The path as a JSON string, made by the document writer.
		const std::string doc = document(none.get(), npath);
		if (doc.empty())
			return -1;
		return put_line("{\"moving\":" + std::to_string(J.entries) + ",\"to\":" + doc + "}");
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", J.path.c_str());
		return -1;
	}
}

int
w_journal_touch(struct w_tune *tune, bool moving)
{
	assert(tune != NULL);

	try {
		return touch(tune, moving);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", J.path.c_str());
		return -1;
	}
}

int
w_journal_made_dir(const char *dir)
{
	assert(dir != NULL);

	if (!w_journal_active() || !J.entered)
		return 0;
	try {
		struct stat st;
		if (stat(dir, &st) == -1) {
			warn("%s", dir);
			return -1;
		}
		w_taglist_ptr none(w_taglist_new());
		if (none == nullptr) {
			warn("%s", J.path.c_str());
			return -1;
		}
		// The name as a JSON string, made by the document writer, as for
		// a move.
		const std::string doc = document(none.get(), dir);
		if (doc.empty())
			return -1;
		return put_line("{\"made\":" + std::to_string(J.entries) + ",\"dir\":" + doc +
		    ",\"dev\":" + std::to_string(st.st_dev) + ",\"ino\":" + std::to_string(st.st_ino) + "}");
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", J.path.c_str());
		return -1;
	}
}

int
w_journal_end(struct w_tune *tune)
{
	assert(tune != NULL);

	try {
		return end(tune);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", J.path.c_str());
		return -1;
	}
}

int
w_journal_close(void)
{
	if (J.fp == nullptr)
		return 0;
	FILE *fp = J.fp;
	J.fp = nullptr;
	J.old_tags.reset();
	if (std::fclose(fp) == EOF) {
		warn("%s", J.path.c_str());
		return -1;
	}
	return 0;
}
