#include "w_oggfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <memory>
#include <vector>

#include "w_backend.h"
#include "w_safefile.h"
#include "w_sbuf.h"
#include "w_taglist.h"
#include "w_toolkit.h"
#include "w_vcomment.h"

namespace {

// Input is taken 1024 bytes at a time and output leaves in pieces of 1024
// bytes; the streams underneath get larger buffers so that the system
// calls stay few on big files.
constexpr std::size_t chunk = 1024;
constexpr std::size_t stdio_buffer = 64 * 1024;
// How much of the copy may wait in the page cache before its write to the
// disk is started: the disk then works while the rest of the copy is made,
// and the flush before the rename has little left to wait for.
constexpr std::size_t writeback_step = 8 * 1024 * 1024;

// Where the fields of a page header sit.
constexpr std::size_t flags_at = 5, granule_at = 6, seqno_at = 18, segments_at = 26;
constexpr std::size_t page_header = 27;
constexpr unsigned char continued_flag = 0x01, bos_flag = 0x02, eos_flag = 0x04;

struct sync_clear {
	void operator()(ogg_sync_state *oy) const { ogg_sync_clear(oy); }
};
struct stream_clear {
	void operator()(ogg_stream_state *os) const { ogg_stream_clear(os); }
};

ssize_t
w_oggfile_drain(void *arg, const char *bytes, ssize_t len)
{
	auto *fp = static_cast<FILE *>(arg);
	if (fp == nullptr || len < 0)
		return -1;
	std::size_t n = std::fwrite(bytes, 1, static_cast<std::size_t>(len), fp);
	return n == 0 ? -1 : static_cast<ssize_t>(n);
}

void
put_le32(unsigned char *p, std::uint32_t v)
{
	for (int i = 0; i < 4; i++)
		p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void
set_checksum(std::vector<unsigned char> &page, std::size_t header_len)
{
	ogg_page og;
	og.header = page.data();
	og.header_len = static_cast<long>(header_len);
	og.body = page.data() + header_len;
	og.body_len = static_cast<long>(page.size() - header_len);
	ogg_page_checksum_set(&og);
}

/*
 * The first header packets of a file whose first complete page is cut
 * short: the file may still plainly begin the codec's stream, and then it
 * is the codec's file, cut inside its headers.
 */
w_oggfile_probe
probe_cut_page(const ogg_sync_state &oy, const w_oggfile_check &check)
{
	const unsigned char *p = oy.data + oy.returned;
	std::size_t len = static_cast<std::size_t>(oy.fill - oy.returned);
	if (len < page_header || std::memcmp(p, "OggS", 4) != 0)
		return w_oggfile_probe::foreign;
	std::size_t body = page_header + p[segments_at];
	if (len <= body)
		return w_oggfile_probe::foreign;
	ogg_packet op{};
	op.packet = const_cast<unsigned char *>(p + body);
	op.bytes = static_cast<long>(len - body);
	op.b_o_s = 1;
	return check(0, op) == w_oggfile_probe::foreign ? w_oggfile_probe::foreign
							  : w_oggfile_probe::truncated;
}

// One rewrite of a file; see w_oggfile_rewrite.
class rewriter {
public:
	rewriter() = default;
	rewriter(const rewriter &) = delete;
	rewriter &operator=(const rewriter &) = delete;

	int run(const char *path, unsigned count, const w_oggfile_rewrite_fn &check);

private:
	int set_up(const char *path);
	int next_page();
	int headers(unsigned count, const w_oggfile_rewrite_fn &check);
	int copy_rest();
	void hold(const unsigned char *header, long header_len, const unsigned char *body, long body_len);
	void emit(unsigned char *header, const unsigned char *body, long body_len, bool first);
	int cut_open_packet();
	int refuse(const char *why);
	void release(bool last);
	void append(const unsigned char *bytes, std::size_t len);

	// Declared in the reverse order of their release; the stdio buffers
	// outlive the streams that use them.
	std::unique_ptr<char[]> in_buffer_;
	std::unique_ptr<char[]> out_buffer_;
	w_file_ptr in_;
	w_fixedbuf out_{chunk};
	w_tempfile tmp_;
	ogg_sync_state oy_;
	std::unique_ptr<ogg_sync_state, sync_clear> oy_guard_;
	ogg_stream_state is_;
	std::unique_ptr<ogg_stream_state, stream_clear> is_guard_;
	ogg_stream_state os_;
	std::unique_ptr<ogg_stream_state, stream_clear> os_guard_;
	ogg_page page_{};
	// Why the file's pages cannot be rewritten; null when a failure is an
	// error of the system, told by errno.
	const char *refused_ = nullptr;

	// The last page made, held back until the next one shows whether it
	// ends the file: a stream cut short must still end with an
	// end-of-stream page.
	std::vector<unsigned char> held_;
	std::size_t held_header_ = 0;
	bool holding_ = false;
	// The page made before it, held back too: when a gap takes the held
	// page away, this one is the last again and may have to end the
	// stream.
	std::vector<unsigned char> prev_;
	std::size_t prev_header_ = 0;
	bool has_prev_ = false;

	int serial_ = 0;            // of the logical stream being copied
	bool in_stream_ = false;    // its end-of-stream page not yet seen
	std::uint32_t out_seq_ = 0; // sequence number of its next page out
	long in_next_ = -1;         // the input page number that follows, -1 unknown
	// The output so far ends inside a packet, and where that packet began:
	// within the held page, or on a page already written.
	bool open_ = false;
	bool open_in_held_ = false;
	bool skipping_ = false;     // dropping what is left of a packet cut by a gap
	std::size_t unstarted_ = 0; // bytes appended since the last writeback
};

int
rewriter::set_up(const char *path)
{
	ogg_sync_init(&oy_);
	oy_guard_.reset(&oy_);

	// A symbolic link stays a link: the file it names is rewritten.
	std::string target = w_write_target(path);
	if (target.empty())
		return -1;
	in_.reset(std::fopen(target.c_str(), "rbe"));
	if (!in_)
		return -1;
	in_buffer_.reset(new char[stdio_buffer]);
	std::setvbuf(in_.get(), in_buffer_.get(), _IOFBF, stdio_buffer);
	if (!out_.ok()) {
		errno = ENOMEM;
		return -1;
	}
	if (tmp_.create(target) == -1)
		return -1;
	out_buffer_.reset(new char[stdio_buffer]);
	std::setvbuf(tmp_.stream(), out_buffer_.get(), _IOFBF, stdio_buffer);
	out_.set_drain(w_oggfile_drain, tmp_.stream());
	return 0;
}

// 1 with a page in page_, 0 at the end of the input, -1 on failure.
int
rewriter::next_page()
{
	for (;;) {
		int r = ogg_sync_pageout(&oy_, &page_);
		if (r == 1)
			return 1;
		// -1: bytes were skipped to find the next page; a page may
		// still follow in what has been read, so look again first.
		if (r < 0)
			continue;
		if (std::feof(in_.get()))
			return 0;
		char *room = ogg_sync_buffer(&oy_, chunk);
		if (room == nullptr) {
			errno = ENOMEM;
			return -1;
		}
		std::size_t n = std::fread(room, 1, chunk, in_.get());
		// A read error would look like a file that never ends.
		if (std::ferror(in_.get()))
			return -1;
		if (ogg_sync_wrote(&oy_, static_cast<long>(n)) == -1)
			return -1;
	}
}

void
rewriter::append(const unsigned char *bytes, std::size_t len)
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
rewriter::release(bool last)
{
	if (has_prev_) {
		append(prev_.data(), prev_.size());
		has_prev_ = false;
	}
	if (!holding_)
		return;
	if (last && (held_[flags_at] & eos_flag) == 0) {
		held_[flags_at] |= eos_flag;
		set_checksum(held_, held_header_);
	}
	append(held_.data(), held_.size());
	holding_ = false;
}

void
rewriter::hold(const unsigned char *header, long header_len, const unsigned char *body, long body_len)
{
	if (has_prev_)
		append(prev_.data(), prev_.size());
	has_prev_ = holding_;
	if (holding_) {
		prev_.swap(held_);
		prev_header_ = held_header_;
	}
	held_.assign(header, header + header_len);
	held_.insert(held_.end(), body, body + body_len);
	held_header_ = static_cast<std::size_t>(header_len);
	holding_ = true;
}

/*
 * Holds a page with its sequence number and beginning-of-stream flag made
 * right for the output: pages are numbered from 0 in each stream with no
 * gap, and only the first one begins it.  header is changed in place.
 */
void
rewriter::emit(unsigned char *header, const unsigned char *body, long body_len, bool first)
{
	bool changed = false;
	unsigned char flags = static_cast<unsigned char>(first ? header[flags_at] | bos_flag : header[flags_at] & ~bos_flag);
	if (flags != header[flags_at]) {
		header[flags_at] = flags;
		changed = true;
	}
	unsigned char seq[4];
	put_le32(seq, out_seq_++);
	if (std::memcmp(seq, header + seqno_at, 4) != 0) {
		std::memcpy(header + seqno_at, seq, 4);
		changed = true;
	}
	const std::size_t segments = header[segments_at];
	hold(header, static_cast<long>(page_header + segments), body, body_len);
	if (changed)
		set_checksum(held_, held_header_);

	if (segments == 0) {
		open_in_held_ = false;
		return;
	}
	const unsigned char *lacing = header + page_header;
	std::size_t run = segments;
	while (run > 0 && lacing[run - 1] == 255)
		run--;
	open_ = run < segments;
	open_in_held_ = open_ && (run > 0 || (flags & continued_flag) == 0);
}

/*
 * A gap follows a page that ends inside a packet.  Readers drop that
 * packet, and with the gap closed they would join its head to whatever
 * follows; so its head goes.  0, or -1 when it began on a page already
 * written (or is all of a stream's first page).
 */
int
rewriter::cut_open_packet()
{
	if (!open_)
		return 0;
	open_ = false;
	if (!open_in_held_)
		return refuse("pages are missing after a packet that began on a page already copied");
	std::size_t segments = held_[segments_at];
	std::size_t run = segments;
	while (run > 0 && held_[page_header + run - 1] == 255)
		run--;
	if (run == 0) {
		if ((held_[flags_at] & bos_flag) != 0)
			return refuse("pages are missing inside the first page's packet");
		// Nothing but the head of the packet: the page goes, and the
		// one before is the last again.
		holding_ = false;
		out_seq_--;
		if (has_prev_) {
			held_.swap(prev_);
			held_header_ = prev_header_;
			holding_ = true;
			has_prev_ = false;
		}
		return 0;
	}
	held_.resize(held_.size() - 255 * (segments - run));
	held_.erase(held_.begin() + static_cast<long>(page_header + run),
	    held_.begin() + static_cast<long>(page_header + segments));
	held_[segments_at] = static_cast<unsigned char>(run);
	held_header_ = page_header + run;
	set_checksum(held_, held_header_);
	return 0;
}

/*
 * The header packets of the first logical stream, on pages of their own.
 * Whatever follows the last header on its page (audio packets of a file
 * that does not start its audio on a fresh page) goes on a page of its own
 * with that page's flags and granule position, so that no packet and no
 * position changes.
 */
int
rewriter::headers(unsigned count, const w_oggfile_rewrite_fn &check)
{
	int got = next_page();
	if (got == -1)
		return -1;
	if (got == 0 || !ogg_page_bos(&page_))
		return refuse("no stream begins the file");
	serial_ = ogg_page_serialno(&page_);
	if (ogg_stream_init(&is_, serial_) == -1)
		return -1;
	is_guard_.reset(&is_);
	if (ogg_stream_init(&os_, serial_) == -1)
		return -1;
	os_guard_.reset(&os_);

	std::string replacement;
	unsigned n = 0;
	for (;;) {
		// Fails for a page of another serial number: interleaved
		// streams cannot be rewritten.
		if (ogg_stream_pagein(&is_, &page_) == -1)
			return refuse("a page of another stream comes inside its headers");
		while (n < count) {
			ogg_packet op;
			int r = ogg_stream_packetout(&is_, &op);
			if (r == 0)
				break;
			if (r < 0)
				return refuse("a page is missing inside its headers");
			errno = 0;
			if (check(n, op, replacement) == -1)
				return errno == ENOMEM ? -1 : refuse("its headers cannot be read");
			ogg_packet out = op;
			if (n == 1) {
				out.packet = reinterpret_cast<unsigned char *>(replacement.data());
				out.bytes = static_cast<long>(replacement.size());
			}
			out.b_o_s = n == 0;
			out.e_o_s = 0;
			out.granulepos = 0;
			out.packetno = n;
			if (ogg_stream_packetin(&os_, &out) == -1)
				return -1;
			n++;
		}
		if (n == count)
			break;
		// A stream must not end before its headers do.
		if (ogg_page_eos(&page_))
			return refuse("its stream ends inside its headers");
		got = next_page();
		if (got == -1)
			return -1;
		if (got == 0)
			return refuse("the file ends inside its headers");
	}

	// What is left of the last header page after the headers.
	const long segments = is_.lacing_fill - is_.lacing_returned;
	const bool eos = ogg_page_eos(&page_) != 0;
	if (segments == 0 && eos)
		os_.e_o_s = 1;
	ogg_page og;
	while (ogg_stream_flush(&os_, &og) != 0)
		hold(og.header, og.header_len, og.body, og.body_len);
	out_seq_ = static_cast<std::uint32_t>(os_.pageno);
	if (segments > 0) {
		unsigned char header[page_header + 255];
		std::memcpy(header, page_.header, page_header);
		header[flags_at] = eos ? eos_flag : 0;
		bool ends_packet = false;
		for (long i = 0; i < segments; i++) {
			unsigned char v = static_cast<unsigned char>(is_.lacing_vals[is_.lacing_returned + i] & 0xff);
			header[page_header + i] = v;
			ends_packet = ends_packet || v < 255;
		}
		header[segments_at] = static_cast<unsigned char>(segments);
		// The page's position belongs to the last packet it ends; a
		// page that ends none has none.
		if (!ends_packet)
			std::memset(header + granule_at, 0xff, 8);
		emit(header, is_.body_data + is_.body_returned, is_.body_fill - is_.body_returned, false);
		// The checksum covers the new layout even where emit saw no
		// change of its own.
		set_checksum(held_, held_header_);
	}
	in_next_ = ogg_page_pageno(&page_) + 1;
	in_stream_ = !eos;
	is_guard_.reset();
	os_guard_.reset();
	return 0;
}

/*
 * Every page after the first stream's headers, as it is, but numbered
 * without gaps.  Where the file has a gap (pages missing), the parts of the
 * packets it cut are left out, as readers of the file leave them out.
 */
int
rewriter::copy_rest()
{
	for (;;) {
		int r = next_page();
		if (r == -1)
			return -1;
		if (r == 0)
			break;
		if (page_.header[4] != 0)
			return refuse("a page of an unknown Ogg version");
		int serial = ogg_page_serialno(&page_);
		bool first = false;
		if (in_stream_) {
			if (serial != serial_)
				return refuse("a page of another stream comes before this one ends (interleaved streams)");
		} else {
			serial_ = serial;
			in_stream_ = true;
			out_seq_ = 0;
			in_next_ = -1;
			open_ = open_in_held_ = skipping_ = false;
			first = true;
		}
		const long pageno = ogg_page_pageno(&page_);
		const bool gap = in_next_ != -1 && pageno != in_next_;
		// No wrap-around: readers take the page after number
		// 0xffffffff for a gap, whatever its number.
		in_next_ = pageno + 1;
		if (gap && cut_open_packet() == -1)
			return -1;

		unsigned char header[page_header + 255];
		std::memcpy(header, page_.header, static_cast<std::size_t>(page_.header_len));
		const unsigned char *body = page_.body;
		long body_len = page_.body_len;
		if ((header[flags_at] & continued_flag) != 0 && (gap || skipping_)) {
			// The tail of a packet whose head is missing.
			std::size_t segments = header[segments_at], i = 0;
			bool ended = false;
			while (i < segments && !ended) {
				unsigned char v = header[page_header + i++];
				body += v;
				body_len -= v;
				ended = v < 255;
			}
			std::memmove(header + page_header, header + page_header + i, segments - i);
			header[segments_at] = static_cast<unsigned char>(segments - i);
			header[flags_at] &= static_cast<unsigned char>(~continued_flag);
			skipping_ = !ended;
			bool ends_packet = false;
			for (std::size_t k = 0; k < segments - i; k++)
				ends_packet = ends_packet || header[page_header + k] < 255;
			if (!ends_packet)
				std::memset(header + granule_at, 0xff, 8);
			if (segments == i && (header[flags_at] & eos_flag) == 0 && !first)
				continue; // nothing left of it
			emit(header, body, body_len, first);
			set_checksum(held_, held_header_);
		} else {
			skipping_ = false;
			emit(header, body, body_len, first);
		}
		if (ogg_page_eos(&page_))
			in_stream_ = false;
	}
	// Bytes after the last page that form none (an appended tag, junk)
	// are left out.
	release(true);
	return 0;
}

int
rewriter::refuse(const char *why)
{
	refused_ = why;
	errno = EINVAL;
	return -1;
}

int
rewriter::run(const char *path, unsigned count, const w_oggfile_rewrite_fn &check)
{
	int r = -1;
	if (set_up(path) == 0 && headers(count, check) == 0 && copy_rest() == 0) {
		in_.reset();
		// Flushes the copy to the disk before it takes the file's name.
		if (out_.finish() == 0)
			r = tmp_.commit();
	}
	if (r == -1) {
		// The user learns why, as for a full disk.
		int saved = errno;
		if (refused_ != nullptr)
			warnx("%s: not written: %s", path, refused_);
		else
			warn("%s", path);
		errno = saved;
	}
	return r;
}

} // namespace

w_oggfile_probe
w_oggfile_headers(const char *path, unsigned count, const w_oggfile_check &check)
{
	assert(path != NULL);
	// As far as a decoder looks for the first page in a file.
	constexpr std::size_t search_limit = 64 * 1024;
	constexpr std::size_t step = 4096;
	using probe = w_oggfile_probe;

	// The first bytes may come from an earlier backend of the probe; the
	// file is opened only when more are needed.
	const unsigned char *head = nullptr;
	const std::size_t head_len = w_backend_probe_head(path, &head);
	bool head_taken = head_len == 0;
	w_file_ptr in;
	if (head_len == 0) {
		in.reset(std::fopen(path, "rbe"));
		if (!in)
			return probe::foreign;
	}
	ogg_sync_state oy;
	ogg_sync_init(&oy);
	std::unique_ptr<ogg_sync_state, sync_clear> oy_guard(&oy);
	ogg_stream_state os;
	std::unique_ptr<ogg_stream_state, stream_clear> os_guard;
	std::size_t scanned = 0;
	unsigned n = 0;
	// Once the first packet is the codec's, every failure is reported as
	// the codec's file gone wrong.
	auto fault = [&n](probe p) { return n == 0 ? probe::foreign : p; };
	while (n < count) {
		ogg_page og;
		int r = ogg_sync_pageout(&oy, &og);
		if (r < 0)
			continue; // bytes skipped to find a page
		if (r == 0) {
			if (!os_guard && scanned >= search_limit)
				return probe::foreign;
			char *room = ogg_sync_buffer(&oy, static_cast<long>(std::max(step, head_len)));
			if (room == nullptr) {
				errno = ENOMEM;
				return probe::failed;
			}
			std::size_t got;
			if (!head_taken) {
				std::memcpy(room, head, head_len);
				got = head_len;
				head_taken = true;
			} else {
				if (!in) {
					in.reset(std::fopen(path, "rbe"));
					if (!in || fseeko(in.get(), static_cast<off_t>(head_len), SEEK_SET) != 0)
						return fault(probe::failed);
				}
				got = std::fread(room, 1, step, in.get());
				if (std::ferror(in.get()))
					return fault(probe::failed);
			}
			if (got == 0) {
				if (!os_guard)
					return probe_cut_page(oy, check);
				return fault(probe::truncated);
			}
			ogg_sync_wrote(&oy, static_cast<long>(got));
			scanned += got;
			continue;
		}
		if (!os_guard) {
			// The first page begins the first logical stream.
			if (!ogg_page_bos(&og))
				return probe::foreign;
			if (ogg_stream_init(&os, ogg_page_serialno(&og)) != 0) {
				errno = ENOMEM;
				return probe::failed;
			}
			os_guard.reset(&os);
		}
		if (ogg_page_serialno(&og) != os.serialno)
			continue; // another stream's page
		if (ogg_stream_pagein(&os, &og) != 0)
			return fault(probe::damaged);
		ogg_packet op;
		while (n < count && (r = ogg_stream_packetout(&os, &op)) != 0) {
			if (r < 0)
				return fault(probe::damaged); // a page missing
			probe p = check(n, op);
			if (p != probe::ok)
				return p == probe::foreign ? fault(probe::damaged) : p;
			n++;
		}
		if (n < count && ogg_page_eos(&og))
			return fault(probe::truncated);
	}
	return probe::ok;
}

int
w_oggfile_rewrite(const char *path, unsigned count, const w_oggfile_rewrite_fn &check)
{
	assert(path != NULL);
	assert(count >= 2);
	rewriter w;
	return w.run(path, count, check);
}

void
w_oggfile_warn(const char *path, w_oggfile_probe p, const char *codec, const char *header)
{
	assert(path != NULL);
	switch (p) {
	case w_oggfile_probe::ok:
	case w_oggfile_probe::foreign:
		break;
	case w_oggfile_probe::damaged:
		warnx("%s: damaged %s", path, header);
		break;
	case w_oggfile_probe::truncated:
		warnx("%s: file ends inside its %s headers", path, codec);
		break;
	case w_oggfile_probe::failed:
		warn("%s", path);
		break;
	}
}

struct w_taglist *
w_oggfile_tags(std::size_t count, const std::function<std::string_view(std::size_t)> &entry)
{
	struct w_taglist *tlist = w_taglist_new();
	if (tlist == nullptr)
		return nullptr;
	// Entries are counted bytes: one the tags cannot hold whole fails the
	// read, so that no write can lose it.
	for (std::size_t i = 0; i < count; i++) {
		std::string_view e = entry(i);
		if (w_vcomment_insert(tlist, e.data(), e.size()) == -1) {
			int saved = errno;
			w_taglist_destroy(tlist);
			errno = saved;
			return nullptr;
		}
	}
	return tlist;
}
