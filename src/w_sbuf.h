/*
 * Text buffers.
 *
 * w_sbuf grows as text is appended.  A failed allocation is remembered and
 * makes finish() fail, so callers can append without checking every step.
 *
 * w_fixedbuf holds at most a fixed number of bytes and hands them to a drain
 * whenever it is full; a drain failure is sticky.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <sys/types.h>

class w_sbuf {
public:
	w_sbuf() = default;

	void cat(std::string_view text) noexcept;
	void bcat(const void *bytes, std::size_t len) noexcept;
	void putc(char c) noexcept;
	void printf(const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3)));

	std::size_t len() const noexcept { return text_.size(); }
	void reserve(std::size_t n) noexcept;
	void clear() noexcept { text_.clear(); error_ = false; finished_ = false; }
	bool failed() const noexcept { return error_; }
	// 0 when every append succeeded, -1 (errno ENOMEM) otherwise.
	int finish() noexcept;
	// The finished text, NUL-terminated.
	const char *data() const noexcept { return text_.c_str(); }
	const std::string &str() const noexcept { return text_; }
	// A malloc'ed copy of the finished text for callers that free(), or null.
	char *dup() const noexcept;

private:
	std::string text_;
	bool error_ = false;
	bool finished_ = false;
};

class w_fixedbuf {
public:
	// drain(arg, bytes, len) returns the count it consumed (> 0), or <= 0 on failure.
	using drain_fn = ssize_t (*)(void *arg, const char *bytes, ssize_t len);

	explicit w_fixedbuf(std::size_t capacity) noexcept : capacity_(capacity) {}
	w_fixedbuf(const w_fixedbuf &) = delete;
	w_fixedbuf &operator=(const w_fixedbuf &) = delete;
	~w_fixedbuf();

	// False when the storage cannot be allocated.
	bool ok() const noexcept { return buf_ != nullptr; }
	void set_drain(drain_fn fn, void *arg) noexcept { drain_ = fn; arg_ = arg; }
	// 0, or -1 once the buffer is in its error state.
	int bcat(const void *bytes, std::size_t len) noexcept;
	// Drains what is left: 0, or -1 when any drain failed.
	int finish() noexcept;
	bool failed() const noexcept { return error_; }

private:
	int flush_once() noexcept;

	std::size_t capacity_;
	char *buf_ = static_cast<char *>(::operator new(capacity_ + 1, std::nothrow));
	std::size_t used_ = 0;
	bool error_ = false;
	drain_fn drain_ = nullptr;
	void *arg_ = nullptr;
};
