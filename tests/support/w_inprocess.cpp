#include "w_inprocess.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace wt {

namespace {

std::string
slurp(int fd)
{
	std::string text;
	if (lseek(fd, 0, SEEK_SET) == -1)
		return text;
	char buf[4096];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<std::size_t>(n));
	return text;
}

int
scratch_file()
{
	const char *base = std::getenv("TMPDIR");
	std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
	    "/wembrix-err-XXXXXX";
	int fd = mkstemp(tmpl.data());
	if (fd == -1)
		throw std::runtime_error("mkstemp failed");
	unlink(tmpl.c_str());
	return fd;
}

#if defined(__x86_64__)
constexpr unsigned this_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned this_arch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this machine"
#endif

bool
install_filter(const std::vector<denial> &denied)
{
	std::vector<sock_filter> prog{
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, this_arch, 1, 0),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
	};
	for (const auto &[nr, error] : denied) {
		prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 1));
		prog.push_back(BPF_STMT(BPF_RET | BPF_K,
		    SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)));
	}
	prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

// O_TMPFILE includes O_DIRECTORY; the bit of its own is the rest.
constexpr unsigned tmpfile_bit = O_TMPFILE & ~O_DIRECTORY;

// The low half of a system call's argument (this is a little-endian machine).
constexpr unsigned
arg(unsigned i)
{
	return static_cast<unsigned>(offsetof(struct seccomp_data, args) + 8 * i);
}

} // namespace

stderr_capture::stderr_capture()
{
	std::fflush(stderr);
	file_ = scratch_file();
	saved_ = dup(2);
	dup2(file_, 2);
}

stderr_capture::~stderr_capture()
{
	restore();
	if (file_ != -1)
		close(file_);
}

void
stderr_capture::restore()
{
	if (saved_ == -1)
		return;
	std::fflush(stderr);
	dup2(saved_, 2);
	close(saved_);
	saved_ = -1;
}

std::string
stderr_capture::text()
{
	restore();
	return slurp(file_);
}

std::vector<std::string>
messages(const std::string &text)
{
	const std::string prefix = std::string(program_invocation_short_name) + ": ";
	std::vector<std::string> lines;
	std::size_t start = 0;
	while (start < text.size()) {
		std::size_t end = text.find('\n', start);
		if (end == std::string::npos)
			end = text.size();
		std::string line = text.substr(start, end - start);
		if (line.compare(0, prefix.size(), prefix) == 0)
			line.erase(0, prefix.size());
		lines.push_back(line);
		start = end + 1;
	}
	return lines;
}

child_result
run_denying(const std::vector<denial> &denied, const std::function<int()> &fn)
{
	int errfd = scratch_file();
	std::fflush(nullptr);
	pid_t pid = fork();
	if (pid == -1)
		throw std::runtime_error("fork failed");
	if (pid == 0) {
		dup2(errfd, 2);
		if (!install_filter(denied)) {
			std::perror("seccomp");
			_exit(126);
		}
		int ret = fn();
		std::fflush(nullptr);
		_exit(ret & 0xff);
	}
	int status = 0;
	while (waitpid(pid, &status, 0) == -1 && errno == EINTR)
		;
	child_result r;
	r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	r.err = slurp(errfd);
	close(errfd);
	return r;
}

bool
deny_tmpfile()
{
	const unsigned deny = SECCOMP_RET_ERRNO | (EOPNOTSUPP & SECCOMP_RET_DATA);
	// Jump offsets count from the next instruction.
	std::vector<sock_filter> prog{
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, this_arch, 1, 0),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
	    // openat(dirfd, path, flags, mode)
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg(2)),
	    BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, tmpfile_bit, 0, 1),
	    BPF_STMT(BPF_RET | BPF_K, deny),
#ifdef SYS_open
	    // open(path, flags, mode)
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_open, 0, 3),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg(1)),
	    BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, tmpfile_bit, 0, 1),
	    BPF_STMT(BPF_RET | BPF_K, deny),
#endif
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

} // namespace wt
