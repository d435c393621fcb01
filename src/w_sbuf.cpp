#include "w_sbuf.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

void
w_sbuf::cat(std::string_view text) noexcept
{
	bcat(text.data(), text.size());
}

void
w_sbuf::bcat(const void *bytes, std::size_t len) noexcept
{
	if (error_)
		return;
	try {
		text_.append(static_cast<const char *>(bytes), len);
	} catch (const std::bad_alloc &) {
		error_ = true;
	}
}

void
w_sbuf::reserve(std::size_t n) noexcept
{
	if (error_)
		return;
	try {
		text_.reserve(n);
	} catch (const std::bad_alloc &) {
		error_ = true;
	}
}

void
w_sbuf::putc(char c) noexcept
{
	bcat(&c, 1);
}

void
w_sbuf::printf(const char *fmt, ...) noexcept
{
	if (error_)
		return;
	va_list ap;
	va_start(ap, fmt);
	char *s = nullptr;
	int n = vasprintf(&s, fmt, ap);
	va_end(ap);
	if (n < 0) {
		error_ = true;
		return;
	}
	bcat(s, static_cast<std::size_t>(n));
	std::free(s);
}

int
w_sbuf::finish() noexcept
{
	finished_ = true;
	if (error_) {
		errno = ENOMEM;
		return -1;
	}
	return 0;
}

char *
w_sbuf::dup() const noexcept
{
	assert(finished_ && !error_);
	return strdup(text_.c_str());
}

w_fixedbuf::~w_fixedbuf()
{
	::operator delete(buf_);
}

int
w_fixedbuf::flush_once() noexcept
{
	ssize_t n = drain_ ? drain_(arg_, buf_, static_cast<ssize_t>(used_)) : -1;
	if (n <= 0) {
		error_ = true;
		return -1;
	}
	std::size_t done = static_cast<std::size_t>(n) > used_ ? used_ : static_cast<std::size_t>(n);
	std::memmove(buf_, buf_ + done, used_ - done);
	used_ -= done;
	return 0;
}

int
w_fixedbuf::bcat(const void *bytes, std::size_t len) noexcept
{
	const char *p = static_cast<const char *>(bytes);
	if (error_ || buf_ == nullptr) {
		error_ = true;
		return -1;
	}
	while (len > 0) {
		if (used_ == capacity_ && flush_once() == -1)
			return -1;
		std::size_t room = capacity_ - used_;
		std::size_t n = len < room ? len : room;
		std::memcpy(buf_ + used_, p, n);
		used_ += n;
		p += n;
		len -= n;
	}
	return 0;
}

int
w_fixedbuf::finish() noexcept
{
	while (!error_ && used_ > 0)
		flush_once();
	return error_ ? -1 : 0;
}
