/*
 * The stream TagLib saves into: it never writes the music file, it records
 * every change as a plan of the new file.
 */
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <unistd.h>
#include <vector>

#include <taglib/tbytevector.h>
#include <taglib/tiostream.h>

#include "w_tlmodule.h"

namespace w_tl {

using TagLib::ByteVector;

/*
 * A stream over a read-only descriptor of the music file that keeps every
 * change TagLib makes as a list of pieces: ranges of the old file and
 * blocks of new bytes.  TagLib sees a normal read-write file; inserting or
 * removing bytes costs nothing, and the file on disk never changes.
 */
class plan_stream : public TagLib::IOStream {
public:
	plan_stream(int fd, std::string name, std::uint64_t size)
	    : fd_(fd), name_(std::move(name)), len_(size), old_size_(size)
	{
		if (size > 0)
			pieces_.push_back({nullptr, 0, size});
	}
	~plan_stream() override { close(fd_); }
	plan_stream(const plan_stream &) = delete;
	plan_stream &operator=(const plan_stream &) = delete;

	TagLib::FileName name() const override { return name_.c_str(); }

	ByteVector readBlock(unsigned long length) override
	{
		if (pos_ >= len_ || length == 0)
			return ByteVector();
		std::uint64_t want = std::min<std::uint64_t>(length, len_ - pos_);
		ByteVector out(static_cast<unsigned int>(want), '\0');
		char *dst = out.data();
		std::uint64_t at = 0; // offset of the current piece in the stream
		std::uint64_t done = 0;
		for (const auto &p : pieces_) {
			if (done == want)
				break;
			std::uint64_t from = pos_ + done;
			if (from >= at + p.length) {
				at += p.length;
				continue;
			}
			std::uint64_t skip = from - at;
			std::uint64_t n = std::min(p.length - skip, want - done);
			if (p.data != nullptr) {
				std::memcpy(dst + done, p.data + skip, n);
			} else if (!pread_all(dst + done, n, p.offset + skip)) {
				out.resize(static_cast<unsigned int>(done));
				pos_ += done;
				return out;
			}
			done += n;
			at += p.length;
		}
		pos_ += done;
		return out;
	}

	void writeBlock(const ByteVector &data) override
	{
		std::uint64_t replace = pos_ < len_ ? std::min<std::uint64_t>(data.size(), len_ - pos_) : 0;
		splice(pos_, replace, data);
		pos_ += data.size();
	}

	void insert(const ByteVector &data, unsigned long start, unsigned long replace) override
	{
		std::uint64_t r = start < len_ ? std::min<std::uint64_t>(replace, len_ - start) : 0;
		splice(start, r, data);
	}

	void removeBlock(unsigned long start, unsigned long length) override
	{
		if (start >= len_)
			return;
		splice(start, std::min<std::uint64_t>(length, len_ - start), ByteVector());
	}

	bool readOnly() const override { return false; }
	bool isOpen() const override { return true; }

	void seek(long offset, Position p) override
	{
		long base = p == Beginning ? 0 : p == Current ? static_cast<long>(pos_) : static_cast<long>(len_);
		if (base + offset >= 0)
			pos_ = static_cast<std::uint64_t>(base + offset);
	}

	long tell() const override { return static_cast<long>(pos_); }
	long length() override { return static_cast<long>(len_); }

	void truncate(long length) override
	{
		auto n = static_cast<std::uint64_t>(std::max(length, 0L));
		if (n < len_)
			splice(n, len_ - n, ByteVector());
		else if (n > len_)
			splice(len_, 0, ByteVector(static_cast<unsigned int>(n - len_), '\0'));
	}

	// The errno of the first read that failed, 0 if none did.
	int error() const { return error_; }

	// The new file, adjacent ranges of the old one joined.
	void plan(struct w_tlplan *out)
	{
		plan_.clear();
		for (const auto &p : pieces_) {
			if (!plan_.empty() && p.data == nullptr && plan_.back().data == nullptr &&
			    plan_.back().offset + plan_.back().length == p.offset)
				plan_.back().length += p.length;
			else
				plan_.push_back({p.data, p.offset, p.length});
		}
		out->fd = fd_;
		out->old_size = old_size_;
		out->new_size = len_;
		out->pieces = plan_.data();
		out->count = plan_.size();
	}

private:
	struct piece {
		const unsigned char *data; // null: the old file from offset
		std::uint64_t offset;
		std::uint64_t length;
	};

	// TagLib reads the old file in many small pieces, mostly near its
	// start and its end: two windows of it are kept.
	struct window {
		std::uint64_t start = 0;
		std::vector<char> bytes;
		unsigned long used = 0;
	};
	static constexpr std::uint64_t window_size = 1 << 16;

	bool pread_all(char *dst, std::uint64_t n, std::uint64_t offset)
	{
		while (n > 0) {
			window *w = nullptr;
			for (window &c : windows_) {
				if (offset >= c.start && offset < c.start + c.bytes.size())
					w = &c;
			}
			if (w == nullptr && !(w = load(offset)))
				return false;
			w->used = ++clock_;
			std::uint64_t skip = offset - w->start;
			std::uint64_t take = std::min<std::uint64_t>(n, w->bytes.size() - skip);
			std::memcpy(dst, w->bytes.data() + skip, take);
			dst += take;
			n -= take;
			offset += take;
		}
		return true;
	}

	// Reads the window around offset in place of the one used least lately.
	window *load(std::uint64_t offset)
	{
		window *w = windows_[0].used <= windows_[1].used ? &windows_[0] : &windows_[1];
		w->start = offset - offset % window_size;
		w->bytes.resize(window_size);
		std::size_t got = 0;
		while (got < window_size) {
			ssize_t r = pread(fd_, w->bytes.data() + got, window_size - got,
			    static_cast<off_t>(w->start + got));
			if (r < 0 && errno == EINTR)
				continue;
			if (r < 0) {
				if (error_ == 0)
					error_ = errno;
				w->bytes.clear();
				return nullptr;
			}
			if (r == 0)
				break;
			got += static_cast<std::size_t>(r);
		}
		w->bytes.resize(got);
		if (offset >= w->start + got) {
			if (error_ == 0)
				error_ = EIO; // the file shrank under us
			return nullptr;
		}
		return w;
	}

	// Replaces the remove bytes at start with data (start <= len_, or the
	// gap up to start is filled with zeros first).
	void splice(std::uint64_t start, std::uint64_t remove, const ByteVector &data)
	{
		if (start > len_) {
			splice(len_, 0, ByteVector(static_cast<unsigned int>(start - len_), '\0'));
			remove = 0;
		}
		std::vector<piece> next;
		next.reserve(pieces_.size() + 2);
		std::uint64_t at = 0;
		const std::uint64_t end = start + remove;
		bool placed = false;
		auto place = [&] {
			if (!placed && data.size() > 0) {
				// A copy of our own: a ByteVector shares its bytes.
				blocks_.emplace_back(data.data(), data.size());
				const ByteVector &block = blocks_.back();
				next.push_back({reinterpret_cast<const unsigned char *>(block.data()), 0,
				    block.size()});
			}
			placed = true;
		};
		for (const auto &p : pieces_) {
			std::uint64_t p_end = at + p.length;
			if (p_end <= start) {
				next.push_back(p);
			} else if (at >= end) {
				place();
				next.push_back(p);
			} else {
				if (at < start) {
					piece head = p;
					head.length = start - at;
					next.push_back(head);
				}
				place();
				if (p_end > end) {
					piece tail = p;
					std::uint64_t cut = end - at;
					if (tail.data != nullptr)
						tail.data += cut;
					else
						tail.offset += cut;
					tail.length = p_end - end;
					next.push_back(tail);
				}
			}
			at = p_end;
		}
		place();
		pieces_.swap(next);
		len_ = len_ - remove + data.size();
	}

	int fd_;
	std::string name_;
	std::uint64_t len_;
	std::uint64_t old_size_;
	std::uint64_t pos_ = 0;
	int error_ = 0;
	std::vector<piece> pieces_;
	std::deque<ByteVector> blocks_;
	std::vector<w_tlpiece> plan_;
	window windows_[2];
	unsigned long clock_ = 0;
};

} // namespace w_tl
