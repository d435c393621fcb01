#include "w_oggcopy.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <memory>
#include <vector>

#include "w_oggplan.h"
#include "w_sbuf.h"
#include "w_toolkit.h"

namespace {

using namespace w_oggpage;

// Input is taken 1024 bytes at a time and output leaves in pieces of 1024
// bytes; the streams underneath get larger buffers so that the system
// calls stay few on big files.
constexpr std::size_t chunk = 1024;
constexpr std::size_t stdio_buffer = 64 * 1024;
// How much of the copy may wait in the page cache before its write to the
// disk is started: the disk then works while the rest of the copy is made,
// and the flush before the rename has little left to wait for.
constexpr std::size_t writeback_step = 8 * 1024 * 1024;

ssize_t
w_oggcopy_drain(void *arg, const char *bytes, ssize_t len)
{
	auto *fp = static_cast<FILE *>(arg);
	if (fp == nullptr || len < 0)
		return -1;
	std::size_t n = std::fwrite(bytes, 1, static_cast<std::size_t>(len), fp);
	return n == 0 ? -1 : static_cast<ssize_t>(n);
}

class copier {
public:
	copier() = default;
	copier(const copier &) = delete;
	copier &operator=(const copier &) = delete;

	int run(const char *path, const std::string &target, w_fileid &id, const w_oggplan_codec &codec);

private:
	int set_up(const std::string &target, const w_fileid &id);
	int headers(const w_oggplan_codec &codec);
	int copy_rest();
	void hold(const unsigned char *page, std::size_t size);
	void release();
	void append(const unsigned char *bytes, std::size_t len);
	int refuse(const char *why);

	// Declared in the reverse order of their release; the stdio buffers
	// outlive the streams that use them.
	std::unique_ptr<char[]> in_buffer_;
	std::unique_ptr<char[]> out_buffer_;
	w_file_ptr in_;
	w_fixedbuf out_{chunk};
	w_tempfile tmp_;
	std::unique_ptr<w_oggpages> pages_;
	// Why the file's pages cannot be rewritten; null when a failure is an
	// error of the system, told by errno.
	const char *refused_ = nullptr;

	// The last page made, held back until the next one shows whether it
	// ends the file: a stream cut short must still end with an
	// end-of-stream page.
	std::vector<unsigned char> held_;
	bool holding_ = false;

	int first_serial_ = 0;
	std::int64_t delta_ = 0;    // what the first stream's later pages move by
	bool first_link_ = true;    // no later logical stream has begun yet
	int serial_ = 0;            // of the logical stream being copied
	bool in_stream_ = false;    // its end-of-stream page not yet seen
	std::size_t unstarted_ = 0; // bytes appended since the last writeback
};

int
copier::refuse(const char *why)
{
	refused_ = why;
	errno = EINVAL;
	return -1;
}

int
copier::set_up(const std::string &target, const w_fileid &id)
{
	in_.reset(std::fopen(target.c_str(), "rbe"));
	if (!in_)
		return -1;
	// The file read must be the one whose tags were read; the copy is
	// checked against it again when it takes the name.
	if (w_fileid_check(fileno(in_.get()), id) == -1)
		return -1;
	in_buffer_.reset(new char[stdio_buffer]);
	std::setvbuf(in_.get(), in_buffer_.get(), _IOFBF, stdio_buffer);
	FILE *in = in_.get();
	pages_ = std::make_unique<w_oggpages>(
	    [in](char *buf, long len) -> long {
		    std::size_t n = std::fread(buf, 1, static_cast<std::size_t>(len), in);
		    return std::ferror(in) ? -1 : static_cast<long>(n);
	    },
	    static_cast<long>(chunk));
	if (!out_.ok()) {
		errno = ENOMEM;
		return -1;
	}
	if (tmp_.create(target) == -1)
		return -1;
	tmp_.expect(id);
	out_buffer_.reset(new char[stdio_buffer]);
	std::setvbuf(tmp_.stream(), out_buffer_.get(), _IOFBF, stdio_buffer);
	out_.set_drain(w_oggcopy_drain, tmp_.stream());
	return 0;
}

void
copier::append(const unsigned char *bytes, std::size_t len)
{
	// A failed drain puts the buffer into its error state, which
	// finishing reports.
	out_.bcat(bytes, len);
	unstarted_ += len;
	if (unstarted_ >= writeback_step) {
		unstarted_ = 0;
		// Only a hint: a failure here shows, if it matters, in the flush.
		(void)sync_file_range(fileno(tmp_.stream()), 0, 0, SYNC_FILE_RANGE_WRITE);
	}
}

void
copier::hold(const unsigned char *page, std::size_t size)
{
	if (holding_)
		append(held_.data(), held_.size());
	held_.assign(page, page + size);
	holding_ = true;
}

// The last page goes out, marked as the end of its stream if the file was
// cut before one.
void
copier::release()
{
	if (!holding_)
		return;
	if ((held_[flags_at] & eos) == 0) {
		held_[flags_at] |= eos;
		set_checksum(held_.data(), held_.size());
	}
	append(held_.data(), held_.size());
	holding_ = false;
}

int
copier::headers(const w_oggplan_codec &codec)
{
	w_oggheads h;
	if (w_oggheads_read(*pages_, codec.headers, codec.check, h) == -1) {
		refused_ = h.refused;
		return -1;
	}
	std::string comment;
	bool may_pad = false;
	if (codec.comment(h.packets[1], comment, may_pad) == -1)
		return -1;
	// Room for the next edit to go in place.
	if (may_pad)
		comment.append(w_oggplan_padding(comment.size()), '\0');
	std::vector<std::string> planned;
	if (w_oggplan_pages(h, comment, planned, delta_) == -1)
		return -1;
	for (const std::string &p : planned)
		hold(reinterpret_cast<const unsigned char *>(p.data()), p.size());
	first_serial_ = serial_ = h.serial;
	in_stream_ = !h.eos;
	return 0;
}

int
copier::copy_rest()
{
	ogg_page og;
	for (;;) {
		int r = pages_->next(og);
		if (r == -1)
			return -1;
		if (r == 0)
			break;
		if (og.header[4] != 0)
			return refuse("a page of an unknown Ogg version");
		const int serial = ogg_page_serialno(&og);
		if (ogg_page_bos(&og) && !in_stream_) {
			// The next link of a chained file: copied as it is.
			first_link_ = false;
			serial_ = serial;
			in_stream_ = true;
		} else if (in_stream_ && serial != serial_) {
			return refuse("a page of another stream comes before this one ends (interleaved streams)");
		}
		// Anything else belongs where it stands: a page of the current
		// stream, or one after its end (a page repeated, an end marked
		// too early) that begins nothing and is copied as it was.
		if (ogg_page_eos(&og) && serial == serial_)
			in_stream_ = false;

		unsigned char page[max_size];
		const std::size_t size = static_cast<std::size_t>(og.header_len + og.body_len);
		std::memcpy(page, og.header, static_cast<std::size_t>(og.header_len));
		std::memcpy(page + og.header_len, og.body, static_cast<std::size_t>(og.body_len));
		if (first_link_ && serial == first_serial_ && delta_ != 0) {
			// Readers take the page after number 0xffffffff for a gap
			// whatever its number: moving a page number past either
			// end would make or hide a gap.
			const std::int64_t moved = ogg_page_pageno(&og) + delta_;
			if (moved < 0 || moved > 0xffffffff)
				return refuse("its page numbers would run past the largest there is");
			put_le32(page + seqno_at, static_cast<std::uint32_t>(moved));
			set_checksum(page, size);
		}
		hold(page, size);
	}
	// Bytes after the last page that form none (an appended tag, junk)
	// are left out.
	release();
	return 0;
}

int
copier::run(const char *path, const std::string &target, w_fileid &id, const w_oggplan_codec &codec)
{
	int r = -1;
	if (set_up(target, id) == 0 && headers(codec) == 0 && copy_rest() == 0) {
		in_.reset();
		// Flushes the copy to the disk before it takes the file's name.
		if (out_.finish() == 0 && (r = tmp_.commit()) == 0)
			id = tmp_.identity();
	}
	// The user learns why, as for a full disk.
	return r == -1 ? w_oggplan_fail(path, refused_) : r;
}

} // namespace

int
w_oggcopy_write(const char *path, const std::string &target, w_fileid &id, const w_oggplan_codec &codec)
{
	assert(path != NULL);
	try {
		copier c;
		return c.run(path, target, id, codec);
	} catch (const std::bad_alloc &) {
		warnx("%s: out of memory", path);
		errno = ENOMEM;
		return -1;
	}
}
