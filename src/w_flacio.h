/*
 * How the FLAC backend's metadata chain meets the file: libFLAC reads and
 * writes it through callbacks, so that the tags go to the file a symbolic
 * link names and a rewrite uses a temporary file of our own.
 */
#pragma once

#include "w_contract.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/types.h>
#include <unistd.h>
#include <FLAC/metadata.h>

#include "w_backend.h"
#include "w_fileid.h"
#include "w_fileio.h"

namespace w_flac {

struct chain_deleter {
	void operator()(FLAC__Metadata_Chain *c) const { FLAC__metadata_chain_delete(c); }
};
struct iterator_deleter {
	void operator()(FLAC__Metadata_Iterator *i) const { FLAC__metadata_iterator_delete(i); }
};
using chain_ptr = std::unique_ptr<FLAC__Metadata_Chain, chain_deleter>;
using iterator_ptr = std::unique_ptr<FLAC__Metadata_Iterator, iterator_deleter>;

// Through stdio streams (the FLAC__IOHandle is a FILE *): the copy path.
extern const FLAC__IOCallbacks io;

/*
 * The in-place rewrite goes through a stream that knows where the audio
 * frames begin and refuses any write that would reach them: whatever goes
 * wrong with the metadata, the audio stays as it was.  libFLAC hands it the
 * metadata in many small pieces; they are gathered and go to the file at
 * once, so that the usual rewrite of a few kilobytes is one system call.
 */
class guarded_stream {
public:
	guarded_stream(const char *path, FLAC__int64 audio)
	    : fd_(open(path, O_RDWR | O_CLOEXEC)), owned_(true), audio_(audio)
	{
	}
	// Through a descriptor open for writing that the caller keeps.
	guarded_stream(int fd, FLAC__int64 audio) : fd_(fd), owned_(false), audio_(audio) {}
	~guarded_stream()
	{
		if (fd_ != -1 && owned_)
			::close(fd_);
	}
	guarded_stream(const guarded_stream &) = delete;
	guarded_stream &operator=(const guarded_stream &) = delete;
	bool ok() const { return fd_ != -1; }
	int fd() const { return fd_; }

	// Writes what is pending and closes the file (if it is ours): 0, or
	// -1 with errno.  When id is given, it becomes what the file is once
	// written.
	int close(w_fileid *id = nullptr)
	{
		const bool flushed = flush() && (id == nullptr || w_fileid_take(fd_, *id) == 0);
		const int saved = errno;
		const int r = owned_ ? ::close(fd_) : 0;
		fd_ = -1;
		if (!flushed) {
			errno = saved;
			return -1;
		}
		return r == 0 ? 0 : -1;
	}

	static size_t read(void *ptr, size_t size, size_t nmemb, FLAC__IOHandle h)
	{
		auto *g = static_cast<guarded_stream *>(h);
		if (size == 0 || !g->flush())
			return 0;
		ssize_t n;
		while ((n = pread(g->fd_, ptr, size * nmemb, g->pos_)) == -1 && errno == EINTR)
			;
		if (n <= 0) {
			g->eof_ = n == 0;
			return 0;
		}
		g->pos_ += n;
		return static_cast<size_t>(n) / size;
	}
	static size_t write(const void *ptr, size_t size, size_t nmemb, FLAC__IOHandle h)
	{
		auto *g = static_cast<guarded_stream *>(h);
		const size_t len = size * nmemb;
		if (len == 0) // an empty block comes with no buffer at all
			return nmemb;
		if (g->pos_ + static_cast<FLAC__int64>(len) > g->audio_) {
			errno = EIO;
			return 0;
		}
		const char *p = static_cast<const char *>(ptr);
		for (size_t done = 0; done < len;) {
			if (g->len_ == sizeof g->buf_ && !g->flush())
				return 0;
			const size_t n = std::min(len - done, sizeof g->buf_ - g->len_);
			std::memcpy(g->buf_ + g->len_, p + done, n);
			g->len_ += n;
			g->pos_ += static_cast<FLAC__int64>(n);
			done += n;
		}
		return nmemb;
	}
	static int seek(FLAC__IOHandle h, FLAC__int64 offset, int whence)
	{
		auto *g = static_cast<guarded_stream *>(h);
		if (!g->flush())
			return -1;
		if (whence == SEEK_CUR)
			offset += g->pos_;
		else if (whence != SEEK_SET)
			return -1; // the in-place rewrite never seeks from the end
		if (offset < 0)
			return -1;
		g->pos_ = offset;
		g->eof_ = false;
		return 0;
	}
	// Drops what has not reached the file yet: a rewrite that libFLAC
	// gave up on then leaves no part of its metadata behind (all of it,
	// whenever it fitted the buffer).
	void discard() { len_ = 0; }
	// From now on nothing reaches the file (a rehearsal, see
	// w_safefile_rehearse): the write goes through every check of its
	// own, the bound of the audio included, and its bytes go nowhere.
	void rehearse() { rehearsal_ = true; }

	static FLAC__int64 tell(FLAC__IOHandle h) { return static_cast<guarded_stream *>(h)->pos_; }
	static int eof(FLAC__IOHandle h) { return static_cast<guarded_stream *>(h)->eof_; }

private:
	// The bytes gathered so far go to where they belong.
	bool flush()
	{
		if (len_ == 0)
			return true;
		if (rehearsal_) {
			len_ = 0;
			return true;
		}
		const off_t at = static_cast<off_t>(pos_) - static_cast<off_t>(len_);
		const bool ok = w_pwrite_all(fd_, buf_, len_, at);
		len_ = 0;
		return ok;
	}

	int fd_;
	bool owned_;
	FLAC__int64 audio_;  // first byte that must not be written
	bool rehearsal_ = false;
	FLAC__int64 pos_ = 0; // where the next read or write happens
	bool eof_ = false;
	char buf_[64 * 1024]; // what was written but not yet sent, up to pos_
	size_t len_ = 0;
};

extern const FLAC__IOCallbacks guarded_io;

/*
 * Reading the metadata goes through a small buffered reader of our own:
 * stdio, asked to skip a block (the padding), would read the next 4 KiB of
 * audio ahead, which is pure waste when all a run wants is the tags.  It
 * keeps the first bytes of the file aside, which tell where the metadata
 * begins.
 */
class meta_reader {
public:
	// Through fd, which the caller keeps, or, when fd is -1, through a
	// descriptor of its own on path.
	meta_reader(const char *path, int fd)
	    : fd_(fd != -1 ? fd : open(path, O_RDONLY | O_CLOEXEC)), owned_(fd == -1)
	{
	}
	~meta_reader()
	{
		if (fd_ != -1 && owned_)
			close(fd_);
	}
	// Gives up the descriptor to the caller, who closes it from now on
	// (when it was not the caller's already).
	int release()
	{
		owned_ = false;
		return fd_;
	}
	meta_reader(const meta_reader &) = delete;
	meta_reader &operator=(const meta_reader &) = delete;
	bool ok() const { return fd_ != -1; }
	int fd() const { return fd_; }
	off_t position() const { return pos_; }
	// Hands the first bytes of the file, when they are what the buffer
	// holds, to the backends probed next.
	void keep_head(const char *path) const
	{
		if (base_ == 0 && len_ > 0)
			w_backend_probe_keep(path, buf_, len_);
	}
	bool holds(off_t at, size_t n) const
	{
		return at >= base_ && at + static_cast<off_t>(n) <= base_ + static_cast<off_t>(len_);
	}
	// The first bytes of the file, as far as they were read.
	const unsigned char *head() const { return head_; }
	size_t headlen() const { return headlen_; }

	static size_t read(void *ptr, size_t size, size_t nmemb, FLAC__IOHandle h)
	{
		auto *r = static_cast<meta_reader *>(h);
		if (size == 0)
			return 0;
		char *out = static_cast<char *>(ptr);
		size_t want = size * nmemb, got = 0;
		while (got < want) {
			if (!r->holds(r->pos_, 1) && !r->fill())
				break;
			const size_t at = static_cast<size_t>(r->pos_ - r->base_);
			const size_t n = std::min(want - got, r->len_ - at);
			std::memcpy(out + got, r->buf_ + at, n);
			r->pos_ += static_cast<off_t>(n);
			got += n;
		}
		return got / size;
	}
	static int seek(FLAC__IOHandle h, FLAC__int64 offset, int whence)
	{
		// Nothing is read until it is needed: skipping the padding at
		// the end costs no system call, and the buffer stays as it is.
		auto *r = static_cast<meta_reader *>(h);
		off_t target = static_cast<off_t>(offset);
		if (whence == SEEK_CUR)
			target += r->pos_;
		else if (whence != SEEK_SET)
			return -1; // libFLAC's chain reader never seeks from the end
		if (target < 0)
			return -1;
		r->pos_ = target;
		r->eof_ = false;
		return 0;
	}
	static FLAC__int64 tell(FLAC__IOHandle h) { return static_cast<meta_reader *>(h)->pos_; }
	static int eof(FLAC__IOHandle h) { return static_cast<meta_reader *>(h)->eof_; }

	// Up to n bytes at offset at, from the buffer when it holds them: the
	// number of bytes, fewer at the end of the file, or -1.
	ssize_t peek(off_t at, void *out, size_t n) const
	{
		if (holds(at, n)) {
			std::memcpy(out, buf_ + (at - base_), n);
			return static_cast<ssize_t>(n);
		}
		return w_pread_upto(fd_, out, n, at);
	}

private:
	bool fill()
	{
		ssize_t n;
		while ((n = pread(fd_, buf_, sizeof buf_, pos_)) == -1 && errno == EINTR)
			;
		if (n <= 0) {
			eof_ = n == 0;
			return false;
		}
		base_ = pos_;
		len_ = static_cast<size_t>(n);
		if (base_ == 0) {
			headlen_ = std::min(len_, sizeof head_);
			std::memcpy(head_, buf_, headlen_);
		}
		return true;
	}

	int fd_;
	bool owned_;
	// A larger first read, meant to hold the start of the audio behind
	// the usual padding, costs more in copying than the one small read of
	// it that it saves.
	char buf_[4096];
	off_t base_ = 0; // file offset of buf_[0]
	size_t len_ = 0; // bytes of the file in buf_
	off_t pos_ = 0;  // where the next read starts
	bool eof_ = false;
	unsigned char head_[10];
	size_t headlen_ = 0;
};

extern const FLAC__IOCallbacks reader_io;

/*
 * The file up to where its audio starts, read through a descriptor that the
 * caller keeps.  A rewrite lets libFLAC copy what comes before the first
 * block and write the metadata, and finds the end of the file here; the
 * audio is then moved by the kernel, not through libFLAC's buffer.
 */
class head_stream {
public:
	head_stream(int fd, FLAC__int64 end) : fd_(fd), end_(end) {}

	static size_t read(void *ptr, size_t size, size_t nmemb, FLAC__IOHandle h)
	{
		auto *r = static_cast<head_stream *>(h);
		if (size == 0 || nmemb == 0)
			return 0;
		if (r->pos_ >= r->end_) {
			r->eof_ = true;
			return 0;
		}
		const size_t want = static_cast<size_t>(
		    std::min<FLAC__int64>(static_cast<FLAC__int64>(size * nmemb), r->end_ - r->pos_));
		const ssize_t n = w_pread_upto(r->fd_, ptr, want, static_cast<off_t>(r->pos_));
		if (n <= 0) {
			r->eof_ = n == 0;
			return 0;
		}
		r->pos_ += n;
		return static_cast<size_t>(n) / size;
	}
	static int seek(FLAC__IOHandle h, FLAC__int64 offset, int whence)
	{
		auto *r = static_cast<head_stream *>(h);
		if (whence == SEEK_CUR)
			offset += r->pos_;
		else if (whence != SEEK_SET)
			return -1; // the rewrite never seeks from the end
		if (offset < 0)
			return -1;
		r->pos_ = offset;
		r->eof_ = false;
		return 0;
	}
	static FLAC__int64 tell(FLAC__IOHandle h) { return static_cast<head_stream *>(h)->pos_; }
	static int eof(FLAC__IOHandle h) { return static_cast<head_stream *>(h)->eof_; }

private:
	int fd_;
	FLAC__int64 end_;
	FLAC__int64 pos_ = 0;
	bool eof_ = false;
};

extern const FLAC__IOCallbacks head_io;

} // namespace w_flac
