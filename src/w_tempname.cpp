#include "w_tempname.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "w_safefile.h"

namespace w_tempname {

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
// Room for every pending copy and the one being written.
constexpr int named_slots = static_cast<int>(w_safefile_group_files) + 4;
named_slot slots[named_slots];
// The process the slots belong to: a child between fork and exec (the
// editor) must not remove its parent's files.
pid_t slots_pid = 0;

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

// Whether a file opened with O_TMPFILE can be given a name later: that goes
// through /proc/self/fd.
bool
can_name_unnamed()
{
	static const bool usable = access("/proc/self/fd", X_OK) == 0;
	return usable;
}

} // namespace

signals_held::signals_held() noexcept
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig : caught_signals)
		sigaddset(&set, sig);
	(void)sigprocmask(SIG_BLOCK, &set, &old_);
}

signals_held::~signals_held()
{
	(void)sigprocmask(SIG_SETMASK, &old_, nullptr);
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

int
open_unnamed(const char *dir)
{
	if (!can_name_unnamed())
		return -1;
	return open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

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

void
remove_named() noexcept
{
	if (slots_pid != getpid())
		return;
	signals_held held;
	for (named_slot &slot : slots) {
		if (slot.used)
			(void)unlink(slot.path);
		slot.used = 0;
	}
}

} // namespace w_tempname
