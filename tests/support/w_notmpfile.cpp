#include "w_notmpfile.h"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <vector>

namespace wt {

namespace {

#if defined(__x86_64__)
constexpr unsigned this_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned this_arch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this machine"
#endif

// O_TMPFILE includes O_DIRECTORY; the bit of its own is the rest.
constexpr unsigned tmpfile_bit = O_TMPFILE & ~O_DIRECTORY;

// The low half of a system call's argument (this is a little-endian machine).
constexpr unsigned
arg(unsigned i)
{
	return static_cast<unsigned>(offsetof(struct seccomp_data, args) + 8 * i);
}

} // namespace

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
