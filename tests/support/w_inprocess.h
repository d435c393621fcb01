/* Helpers for tests that call the library in the test process itself:
 * catching what it prints on standard error, and running it in a child
 * process where chosen system calls fail. */
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace wt {

// Sends everything written to file descriptor 2 into a temporary file
// until text() (or the destructor) puts the old standard error back.
class stderr_capture {
public:
	stderr_capture();
	~stderr_capture();
	stderr_capture(const stderr_capture &) = delete;
	stderr_capture &operator=(const stderr_capture &) = delete;
	// What was written since the capture began; ends the capture.
	std::string text();

private:
	void restore();
	int saved_ = -1;
	int file_ = -1;
};

// The lines of text, each with the "<program name>: " prefix of the err
// family removed when it has one.
std::vector<std::string> messages(const std::string &text);

struct child_result {
	int status = -1;  // what fn returned (its low 8 bits), or 128 + signal
	std::string err;  // what the child wrote on standard error
};

// A system call number and the errno it should fail with.
using denial = std::pair<long, int>;

// Runs fn in a forked child in which every listed system call fails at
// once with its errno (a seccomp filter), and collects the outcome.
child_result run_denying(const std::vector<denial> &denied, const std::function<int()> &fn);

// From now on every open with O_TMPFILE in this process, and in the
// programs it executes, fails with EOPNOTSUPP, as on a file system without
// it.  Only for a forked child: the filter cannot be removed.  False when
// it could not be installed.
bool deny_tmpfile();

} // namespace wt
