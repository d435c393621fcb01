#include "w_safefile.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "w_dirname.h"
#include "w_toolkit.h"

namespace {

/*
 * The hidden copies that exist under a name, for the signal handler to
 * remove.  A slot is only ever changed with the caught signals blocked, so
 * the handler never sees one half made; it lives in static storage, since
 * the handler may not allocate.
 */
constexpr int caught_signals[] = {SIGHUP, SIGINT, SIGPIPE, SIGTERM};

struct named_slot {
	volatile std::sig_atomic_t used;
	char path[PATH_MAX];
};
constexpr int named_slots = 68;
named_slot slots[named_slots];
// The process the slots belong to: a child between fork and exec (the
// editor) must not remove its parent's files.
pid_t slots_pid = 0;

// Blocks the caught signals while a name of ours comes or goes.
class signals_held {
public:
	signals_held() noexcept
	{
		sigset_t set;
		sigemptyset(&set);
		for (int sig : caught_signals)
			sigaddset(&set, sig);
		(void)sigprocmask(SIG_BLOCK, &set, &old_);
	}
	~signals_held() { (void)sigprocmask(SIG_SETMASK, &old_, nullptr); }
	signals_held(const signals_held &) = delete;
	signals_held &operator=(const signals_held &) = delete;

private:
	sigset_t old_;
};

extern "C" void
remove_named_copies(int sig)
{
	const int saved = errno;
	if (getpid() == slots_pid) {
		for (named_slot &slot : slots)
			if (slot.used)
				(void)unlink(slot.path);
	}
	// The handler was reset to the default action on entry and the signal
	// stays blocked until the handler returns: then it ends the program as
	// it would have without us, with the status that says so.
	(void)raise(sig);
	errno = saved;
}

void
install_handlers()
{
	if (slots_pid == getpid())
		return;
	if (slots_pid != 0) {
		// A forked child that makes copies of its own: what its parent
		// was writing is not its to remove.
		signals_held held;
		for (named_slot &slot : slots)
			slot.used = 0;
	}
	slots_pid = getpid();
	for (int sig : caught_signals) {
		struct sigaction old;
		// An ignored signal stays ignored (nohup), and someone else's
		// handler stays theirs.
		if (sigaction(sig, nullptr, &old) == -1 || (old.sa_flags & SA_SIGINFO) != 0 ||
		    old.sa_handler != SIG_DFL)
			continue;
		struct sigaction sa {};
		sa.sa_handler = remove_named_copies;
		sigemptyset(&sa.sa_mask);
		for (int other : caught_signals)
			sigaddset(&sa.sa_mask, other);
		sa.sa_flags = SA_RESETHAND;
		(void)sigaction(sig, &sa, nullptr);
	}
}

void
free_slot(int &slot) noexcept
{
	if (slot != -1)
		slots[slot].used = 0;
	slot = -1;
}

// Whether a file opened with O_TMPFILE can be given a name later: that goes
// through /proc/self/fd.
bool
can_name_unnamed()
{
	static const bool usable = access("/proc/self/fd", X_OK) == 0;
	return usable;
}

// A file without a name in dir, or -1.
int
open_unnamed(const char *dir)
{
	if (!can_name_unnamed())
		return -1;
	return open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// A hidden file from the template name (its last six characters are
// replaced), recorded for the signal handler in slot; or -1.
int
open_named(std::string &name, int &slot)
{
	if (name.size() >= PATH_MAX) {
		errno = ENAMETOOLONG;
		return -1;
	}
	signals_held held;
	for (int i = 0; i < named_slots; i++) {
		if (slots[i].used)
			continue;
		int fd = mkostemps(name.data(), 0, O_CLOEXEC);
		if (fd == -1)
			return -1;
		std::memcpy(slots[i].path, name.c_str(), name.size() + 1);
		slots[i].used = 1;
		slot = i;
		return fd;
	}
	errno = EMFILE;
	return -1;
}

// Replaces the last six characters of name by random letters and digits.
void
randomize(std::string &name) noexcept
{
	static const char alphabet[] =
	    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
	static unsigned long counter = 0;
	unsigned char bytes[6];
	if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
		unsigned long v = static_cast<unsigned long>(std::time(nullptr)) ^
		    (static_cast<unsigned long>(getpid()) << 16) ^ (++counter * 2654435761UL);
		for (unsigned char &b : bytes) {
			b = static_cast<unsigned char>(v);
			v = v * 6364136223846793005UL + 1442695040888963407UL;
			b ^= static_cast<unsigned char>(v >> 33);
		}
	}
	char *p = name.data() + name.size() - sizeof bytes;
	for (unsigned char b : bytes)
		*p++ = alphabet[b % (sizeof alphabet - 1)];
}

/*
 * Puts the copy open as fd, whose data is on the disk, in place of target.
 * A named copy (slot set) is renamed; an unnamed one first gets a hidden
 * name from the template in name, since link cannot replace an existing
 * name.  The caught signals wait meanwhile, so that a name of ours never
 * outlives the program.  0, or -1 with errno set and no name of ours left.
 */
int
put_in_place(int fd, int &slot, std::string &name, const std::string &target) noexcept
{
	signals_held held;
	if (slot == -1) {
		char proc[40];
		std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
		int tries = 0;
		for (;;) {
			randomize(name);
			if (linkat(AT_FDCWD, proc, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
				break;
			if (errno != EEXIST || ++tries == 100)
				return -1;
		}
	}
	if (std::rename(name.c_str(), target.c_str()) == -1) {
		const int saved = errno;
		(void)unlink(name.c_str());
		free_slot(slot);
		errno = saved;
		return -1;
	}
	free_slot(slot);
	return 0;
}

} // namespace

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
	discard();
}

void
w_tempfile::discard() noexcept
{
	if (fp_ != nullptr)
		(void)std::fclose(fp_);
	fp_ = nullptr;
	if (fd_ != -1)
		(void)close(fd_);
	fd_ = -1;
	if (slot_ != -1) {
		signals_held held;
		(void)unlink(name_.c_str());
		free_slot(slot_);
	}
}

const std::string &
w_tempfile::path() const noexcept
{
	static const std::string none;
	return slot_ != -1 ? name_ : none;
}

int
w_tempfile::create(const std::string &target)
{
	assert(fd_ == -1 && fp_ == nullptr);
	struct stat st;
	if (stat(target.c_str(), &st) == -1)
		return -1;
	const char *dir = w::dirname(target.c_str());
	if (dir == nullptr)
		return -1;
	try {
		target_ = target;
		name_ = std::string(dir) + "/.__" + w_getprogname() + "_XXXXXX";
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
	install_handlers();

	fd_ = open_unnamed(dir);
	if (fd_ == -1)
		fd_ = open_named(name_, slot_);
	if (fd_ == -1)
		return -1;
	// Owner first: changing it may clear the set-id bits that fchmod sets.
	if (fchown(fd_, st.st_uid, st.st_gid) == -1)
		(void)!fchown(fd_, static_cast<uid_t>(-1), st.st_gid);
	int stream_fd = -1;
	if (fchmod(fd_, st.st_mode & 07777) == -1 ||
	    (stream_fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0)) == -1 ||
	    (fp_ = fdopen(stream_fd, "w+b")) == nullptr) {
		const int saved = errno;
		if (stream_fd != -1)
			(void)close(stream_fd);
		discard();
		errno = saved;
		return -1;
	}
	return 0;
}

int
w_tempfile::commit()
{
	assert(fp_ != nullptr);
	// The stream writes through a descriptor of its own; the copy stays
	// open through fd_ until it is in place.
	bool ok = std::fflush(fp_) == 0;
	int saved = errno;
	if (std::fclose(fp_) != 0 && ok) {
		ok = false;
		saved = errno;
	}
	fp_ = nullptr;
	if (ok && fsync(fd_) == -1) {
		ok = false;
		saved = errno;
	}
	if (ok && put_in_place(fd_, slot_, name_, target_) == -1) {
		ok = false;
		saved = errno;
	}
	discard();
	errno = saved;
	return ok ? 0 : -1;
}
