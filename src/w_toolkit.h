/* Small helpers shared by every module. */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <string>

#include "w_utf8.h"

// The name the program was run under (last component of argv[0]).
const char *w_getprogname(void);

// Lower-cases the ASCII bytes of str in place through the current locale;
// bytes 0x80 and above are left alone, so UTF-8 passes through.  Returns str.
char *w_strtolower(char *str);
// Copies n bytes from src to dst lower-cased as w_strtolower does, in one
// pass; dst[n] is not written.
void w_lowercpy(char *dst, const char *src, std::size_t n);

// A malloc'ed copy of str converted from the locale's character set to
// UTF-8, or null with errno as left by the failing step.
char *w_iconv_loc2utf8(const char *str);

// asprintf that ends the program with "vasprintf" when it cannot format.
void w_xasprintf(char **out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));


// Owners for what C interfaces hand out: malloc'ed text and stdio streams.
struct w_free_deleter {
	void operator()(void *p) const { std::free(p); }
};
using w_cstr_ptr = std::unique_ptr<char, w_free_deleter>;
struct w_file_closer {
	void operator()(FILE *fp) const { std::fclose(fp); }
};
using w_file_ptr = std::unique_ptr<FILE, w_file_closer>;

// Owner of a file descriptor: closed when the owner goes.
class w_fd {
public:
	w_fd() = default;
	explicit w_fd(int fd) : fd_(fd) {}
	w_fd(const w_fd &) = delete;
	w_fd &operator=(const w_fd &) = delete;
	~w_fd() { reset(); }
	int get() const { return fd_; }
	void reset(int fd = -1)
	{
		if (fd_ >= 0)
			::close(fd_);
		fd_ = fd;
	}

private:
	int fd_ = -1;
};
