#include "w_editor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "w_loader.h"
#include "w_safefile.h"
#include "w_settings.h"
#include "w_taglist.h"
#include "w_toolkit.h"

namespace {


// The document file goes away however the edit ends.
struct file_remover {
	const char *name;
	~file_remover() { (void)unlink(name); }
};

/*
 * Runs program with the one argument arg, looked up in PATH the way execlp
 * looks it up, but never through a shell: a file the kernel cannot execute
 * is an error (ENOEXEC), not a script for /bin/sh.  Returns only on
 * failure, with errno set.
 */
void
exec_no_shell(const char *program, const char *arg)
{
	char *const argv[] = {const_cast<char *>(program), const_cast<char *>(arg), nullptr};
	if (*program == '\0') {
		errno = ENOENT;
		return;
	}
	if (std::strchr(program, '/') != nullptr) {
		execv(program, argv);
		return;
	}
	const char *path = std::getenv("PATH");
	if (path == nullptr)
		path = "/bin:/usr/bin";
	bool denied = false;
	for (const char *dir = path;; dir++) {
		const char *end = strchrnul(dir, ':');
		// An empty entry means the current directory.
		std::string candidate = end == dir ? std::string(".")
		                                   : std::string(dir, static_cast<std::size_t>(end - dir));
		candidate += '/';
		candidate += program;
		execv(candidate.c_str(), argv);
		switch (errno) {
		case EACCES:
			denied = true;
			break;
		case ENOENT:
		case ENOTDIR:
		case ESTALE:
		case ENODEV:
		case ETIMEDOUT:
			break;
		default:
			return; // found, but it cannot run
		}
		if (*end == '\0')
			break;
		dir = end;
	}
	errno = denied ? EACCES : ENOENT;
}

/*
 * In the child before exec: closes every descriptor above standard error
 * except keep, so that no music file a backend holds open (TagLib keeps
 * its files open read-write) reaches the editor, whatever flags it was
 * opened with.
 */
void
close_inherited(int keep)
{
	const auto closed = [](unsigned first, unsigned last) {
		if (first > last || close_range(first, last, 0) == 0)
			return;
		// A kernel without close_range: close them one by one, up to the
		// limit below which descriptors are given out.
		long limit = sysconf(_SC_OPEN_MAX);
		if (limit <= 0)
			limit = 1024;
		const unsigned long end =
		    std::min(static_cast<unsigned long>(last), static_cast<unsigned long>(limit) - 1);
		for (unsigned long fd = first; fd <= end; fd++)
			(void)close(static_cast<int>(fd));
	};
	// Started without standard input or output, keep may be below 3.
	const auto k = static_cast<unsigned>(keep);
	if (k < 3) {
		closed(3, ~0U);
		return;
	}
	closed(3, k - 1);
	closed(k + 1, ~0U);
}

/*
 * Sets the file's modification time a second back.  An editor that saves
 * within the same clock tick as our own write would otherwise leave the
 * time as it was, and the edit would be taken for no edit.  On failure the
 * time stays as it is.
 */
void
backdate(const char *name)
{
	struct stat st;
	if (stat(name, &st) == -1)
		return;
	const struct timespec times[2] = {
		{0, UTIME_OMIT},
		{st.st_mtim.tv_sec - 1, 0},
	};
	(void)utimensat(AT_FDCWD, name, times, 0);
}

} // namespace

int
w_edit(struct w_tune *tune)
{
	assert(tune != NULL);

	w_taglist_ptr tags(w_tune_tags(tune));
	if (tags == nullptr)
		return -1;
	w_cstr_ptr doc(Fflag->tags2fmt(tags.get(), w_tune_path(tune)));
	tags.reset();
	if (doc == nullptr)
		return -1;

	// A set but empty TMPDIR is taken as it is: the root directory.
	const char *tmpdir = std::getenv("TMPDIR");
	if (tmpdir == nullptr)
		tmpdir = "/tmp";
	char *formed = nullptr;
	if (asprintf(&formed, "%s/%s-XXXXXX.%s", tmpdir, w_getprogname(), Fflag->fileext) < 0)
		return -1;
	w_cstr_ptr name(formed);

	int fd = mkstemps(name.get(), static_cast<int>(std::strlen(Fflag->fileext) + 1));
	if (fd == -1) {
		warn("mkstemps");
		return -1;
	}
	// Only a file we created is ever removed.
	file_remover remover{name.get()};

	// The descriptor mkstemps opened, so the stream writes to the very file
	// it created.
	FILE *fp = fdopen(fd, "w");
	if (fp == nullptr) {
		warn("%s: fopen", name.get());
		(void)close(fd);
		return -1;
	}
	if (std::fprintf(fp, "%s", doc.get()) < 0) {
		warn("%s: fprintf", name.get());
		(void)std::fclose(fp);
		return -1;
	}
	if (std::fclose(fp) != 0) {
		warn("%s: fclose", name.get());
		return -1;
	}

	const char *editor = std::getenv("EDITOR");
	if (editor == nullptr) {
		warnx("please set the $EDITOR environment variable.");
		return -1;
	}

	backdate(name.get());
	struct stat before;
	if (stat(name.get(), &before) == -1)
		return -1;

	// The child reports a failed exec through this pipe; a successful exec
	// closes it, so the parent reads end of file.
	int report[2];
	if (pipe2(report, O_CLOEXEC) == -1) {
		warn("pipe");
		return -1;
	}
	// What we printed so far belongs before anything the editor prints,
	// and the child must not flush a copy of it.
	(void)std::fflush(stdout);
	// Nothing stays pending while a person types.
	(void)w_safefile_flush();
	pid_t pid = fork();
	if (pid == -1) {
		warn("fork");
		(void)close(report[0]);
		(void)close(report[1]);
		return -1;
	}
	if (pid == 0) {
		close_inherited(report[1]);
		exec_no_shell(editor, name.get());
		int e = errno;
		(void)!write(report[1], &e, sizeof e);
		_exit(127);
	}
	(void)close(report[1]);
	int exec_errno = 0;
	ssize_t got;
	while ((got = read(report[0], &exec_errno, sizeof exec_errno)) == -1 && errno == EINTR)
		;
	(void)close(report[0]);

	int status;
	pid_t waited;
	while ((waited = waitpid(pid, &status, 0)) == -1 && errno == EINTR)
		;
	if (got == static_cast<ssize_t>(sizeof exec_errno)) {
		// No editor ran, so nobody edited anything: the edit failed.
		errno = exec_errno;
		warn("cannot start the editor `%s'", w_escape(editor, std::strlen(editor)).c_str());
		return -1;
	}
	if (waited == -1) {
		// Without the editor's status there is nothing to trust the file by.
		warn("waitpid");
		return -1;
	}
	struct stat after;
	if (stat(name.get(), &after) == -1)
		return -1;

	// Seconds and nanoseconds are compared each on its own.
	const bool changed = after.st_mtim.tv_sec > before.st_mtim.tv_sec ||
	    after.st_mtim.tv_nsec > before.st_mtim.tv_nsec;
	const bool succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
	if (!changed || !succeeded)
		return 0;
	// The document is the tune's own, whatever file it says it is.
	return w_load_own(tune, name.get()) == 0 ? 0 : -1;
}
