#include "w_ftoggvorbis.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/types.h>

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include "w_safefile.h"
#include "w_sbuf.h"
#include "w_toolkit.h"

namespace {

const char libid[] = "libvorbis";

// One allocation: this record, then the path characters it points at.
struct w_ftoggvorbis_data {
	const char *libid;
	char *path;
	vorbis_info vi;    // from the identification header of the first stream
	vorbis_comment vc; // from its comment header
};

// Input is taken 1024 bytes at a time and output leaves in pieces of 1024
// bytes; the streams underneath get larger buffers so that the system
// calls stay few on big files.
constexpr std::size_t chunk = 1024;
constexpr std::size_t stdio_buffer = 64 * 1024;
// How much of the copy may wait in the page cache before its write to the
// disk is started: the disk then works while the rest of the copy is made,
// and the flush before the rename has little left to wait for.
constexpr std::size_t writeback_step = 8 * 1024 * 1024;

w_ftoggvorbis_data *
checked(void *opaque)
{
	assert(opaque != NULL);
	auto *data = static_cast<w_ftoggvorbis_data *>(opaque);
	assert(data->libid == libid);
	return data;
}

ssize_t
w_ftoggvorbis_drain(void *arg, const char *bytes, ssize_t len)
{
	auto *fp = static_cast<FILE *>(arg);
	if (fp == nullptr || len < 0)
		return -1;
	std::size_t n = std::fwrite(bytes, 1, static_cast<std::size_t>(len), fp);
	return n == 0 ? -1 : static_cast<ssize_t>(n);
}

// Deleters: a guard holds its object exactly while the object needs its
// clear call, so every way out of a write releases what was set up.
struct sync_clear {
	void operator()(ogg_sync_state *oy) const { ogg_sync_clear(oy); }
};
struct stream_clear {
	void operator()(ogg_stream_state *os) const { ogg_stream_clear(os); }
};
struct info_clear {
	void operator()(vorbis_info *vi) const { vorbis_info_clear(vi); }
};
struct comment_clear {
	void operator()(vorbis_comment *vc) const { vorbis_comment_clear(vc); }
};
struct packet_clear {
	void operator()(ogg_packet *op) const { ogg_packet_clear(op); }
};

enum class stage {
	not_started,
	stream_begun,
	streams_set_up,
	in_headers,
	audio_nothing_pending,
	audio_flush_pending,
	audio_pageout_pending,
	finishing_failed,
	rename_failed,
	done,
};

// One rewrite of a file: the comment header of the first logical stream is
// replaced, every other packet is copied as it is and paged anew.
class rewriter {
public:
	rewriter() = default;
	rewriter(const rewriter &) = delete;
	rewriter &operator=(const rewriter &) = delete;

	int run(const char *path, const struct w_taglist *tlist);

private:
	enum class outcome { failed, ended, next };

	int make_header(const struct w_taglist *tlist);
	int set_up(const char *path);
	outcome copy_stream();
	int next_page();
	int take_packet(ogg_packet op);
	void end_stream();
	void append(const ogg_page &og);
	bool headers_complete() const
	{
		return stage_ >= stage::audio_nothing_pending && stage_ <= stage::audio_pageout_pending;
	}

	// Declared in the reverse order of their release; the stdio buffers
	// outlive the streams that use them.
	std::unique_ptr<char[]> in_buffer_;
	std::unique_ptr<char[]> out_buffer_;
	vorbis_comment new_vc_;
	std::unique_ptr<vorbis_comment, comment_clear> new_vc_guard_;
	ogg_packet header_{};
	std::unique_ptr<ogg_packet, packet_clear> header_guard_;
	w_file_ptr in_;
	w_fixedbuf out_{chunk};
	w_tempfile tmp_;
	ogg_sync_state oy_;
	std::unique_ptr<ogg_sync_state, sync_clear> oy_guard_;
	vorbis_info vi_;
	std::unique_ptr<vorbis_info, info_clear> vi_guard_;
	vorbis_comment vc_;
	std::unique_ptr<vorbis_comment, comment_clear> vc_guard_;
	ogg_stream_state is_;
	std::unique_ptr<ogg_stream_state, stream_clear> is_guard_;
	ogg_stream_state os_;
	std::unique_ptr<ogg_stream_state, stream_clear> os_guard_;
	ogg_page page_{};

	stage stage_ = stage::not_started;
	unsigned index_ = 0;      // logical stream, 0 for the first
	unsigned long packets_ = 0; // taken from the current stream
	unsigned long pages_ = 0;
	long prev_blocksize_ = 0;
	ogg_int64_t granule_ = 0;
	std::size_t unstarted_ = 0; // bytes appended since the last writeback
};

int
rewriter::make_header(const struct w_taglist *tlist)
{
	vorbis_comment_init(&new_vc_);
	new_vc_guard_.reset(&new_vc_);
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist)
		vorbis_comment_add_tag(&new_vc_, tag->key, tag->val);
	if (vorbis_commentheader_out(&new_vc_, &header_) != 0)
		return -1;
	header_guard_.reset(&header_);
	// Only the packet is used from here on; the file's own vendor string
	// gives way to the library's.
	new_vc_guard_.reset();
	return 0;
}

int
rewriter::set_up(const char *path)
{
	ogg_sync_init(&oy_);
	oy_guard_.reset(&oy_);

	// A symbolic link stays a link: the file it names is rewritten.
	std::string target = w_write_target(path);
	if (target.empty())
		return -1;
	in_.reset(std::fopen(target.c_str(), "rb"));
	if (!in_)
		return -1;
	in_buffer_.reset(new char[stdio_buffer]);
	std::setvbuf(in_.get(), in_buffer_.get(), _IOFBF, stdio_buffer);
	if (!out_.ok())
		return -1;
	if (tmp_.create(target) == -1)
		return -1;
	out_buffer_.reset(new char[stdio_buffer]);
	std::setvbuf(tmp_.stream(), out_buffer_.get(), _IOFBF, stdio_buffer);
	out_.set_drain(w_ftoggvorbis_drain, tmp_.stream());
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
		if (room == nullptr)
			return -1;
		std::size_t n = std::fread(room, 1, chunk, in_.get());
		// A read error would look like a file that never ends.
		if (std::ferror(in_.get()))
			return -1;
		if (ogg_sync_wrote(&oy_, static_cast<long>(n)) == -1)
			return -1;
	}
}

void
rewriter::append(const ogg_page &og)
{
	// A failed drain puts the buffer into its error state, which
	// finishing reports.
	if (out_.bcat(og.header, static_cast<std::size_t>(og.header_len)) == 0)
		out_.bcat(og.body, static_cast<std::size_t>(og.body_len));
	unstarted_ += static_cast<std::size_t>(og.header_len + og.body_len);
	if (unstarted_ >= writeback_step) {
		unstarted_ = 0;
		// Only a hint: a failure here shows, if it matters, in the flush.
		(void)sync_file_range(fileno(tmp_.stream()), 0, 0, SYNC_FILE_RANGE_WRITE);
	}
}

int
rewriter::take_packet(ogg_packet op)
{
	packets_++;
	ogg_packet *pass = (packets_ == 2 && index_ == 0) ? &header_ : &op;

	if (packets_ <= 3) {
		// Even the comment header that is replaced must be sound.
		if (vorbis_synthesis_headerin(&vi_, &vc_, &op) != 0)
			return -1;
		stage_ = packets_ == 3 ? stage::audio_flush_pending : stage::in_headers;
	} else {
		long blocksize = vorbis_packet_blocksize(&vi_, &op);
		if (blocksize < 0)
			return -1;
		ogg_int64_t increment = prev_blocksize_ == 0 ? 0 : (prev_blocksize_ + blocksize) >> 2;
		ogg_page og;
		if (stage_ == stage::audio_flush_pending) {
			while (ogg_stream_flush(&os_, &og) != 0)
				append(og);
		} else if (stage_ == stage::audio_pageout_pending) {
			while (ogg_stream_pageout(&os_, &og) != 0)
				append(og);
		}
		ogg_int64_t sum = granule_ + increment;
		if (op.granulepos == -1) {
			op.granulepos = sum;
			granule_ = sum;
			stage_ = stage::audio_nothing_pending;
		} else if (sum > op.granulepos) {
			// The stream ends short of its last block (or its
			// positions run behind ours): keep the file's own
			// position and end the page with it.
			granule_ = op.granulepos;
			stage_ = stage::audio_flush_pending;
		} else {
			granule_ = sum;
			stage_ = stage::audio_pageout_pending;
		}
		prev_blocksize_ = blocksize;
	}
	return ogg_stream_packetin(&os_, pass) == -1 ? -1 : 0;
}

void
rewriter::end_stream()
{
	os_.e_o_s = 1;
	ogg_page og;
	while (ogg_stream_flush(&os_, &og) != 0)
		append(og);
}

rewriter::outcome
rewriter::copy_stream()
{
	vorbis_info_init(&vi_);
	vi_guard_.reset(&vi_);
	vorbis_comment_init(&vc_);
	vc_guard_.reset(&vc_);
	packets_ = 0;
	pages_ = 0;
	prev_blocksize_ = 0;
	granule_ = 0;
	stage_ = stage::stream_begun;

	for (;;) {
		int r = next_page();
		if (r == -1)
			return outcome::failed;
		if (r == 0) {
			// A stream cut off within its audio is copied up to its
			// last complete page.
			if (headers_complete()) {
				end_stream();
				return outcome::ended;
			}
			// Bytes after the last stream that hold no page (an
			// appended tag, junk) are left out, wherever the reads
			// happened to fall.
			if (stage_ == stage::stream_begun && index_ > 0)
				return outcome::ended;
			return outcome::failed;
		}
		if (pages_ == 0) {
			int serial = ogg_page_serialno(&page_);
			if (ogg_stream_init(&is_, serial) == -1)
				return outcome::failed;
			is_guard_.reset(&is_);
			if (ogg_stream_init(&os_, serial) == -1)
				return outcome::failed;
			os_guard_.reset(&os_);
			stage_ = stage::streams_set_up;
		}
		// Fails for a page of another serial number: interleaved
		// streams cannot be rewritten.
		if (ogg_stream_pagein(&is_, &page_) == -1)
			return outcome::failed;
		pages_++;
		for (;;) {
			ogg_packet op;
			int p = ogg_stream_packetout(&is_, &op);
			if (p == 0)
				break;
			// -1 marks a gap (a page missing from the file): the
			// packets after it are still there to copy.
			if (p < 0)
				continue;
			if (take_packet(op) == -1)
				return outcome::failed;
		}
		if (ogg_page_eos(&page_)) {
			// A stream must not end before its headers do.
			if (!headers_complete())
				return outcome::failed;
			end_stream();
			return outcome::next;
		}
	}
}

int
rewriter::run(const char *path, const struct w_taglist *tlist)
{
	if (make_header(tlist) == -1)
		return -1;
	if (set_up(path) == -1)
		return -1;

	for (;;) {
		outcome o = copy_stream();
		if (o == outcome::failed)
			return -1;
		os_guard_.reset();
		is_guard_.reset();
		vc_guard_.reset();
		vi_guard_.reset();
		if (o == outcome::ended)
			break;
		index_++;
	}

	in_.reset();
	if (out_.finish() == -1) {
		stage_ = stage::finishing_failed;
		return -1;
	}
	// Flushes the copy to the disk before it takes the file's name.
	if (tmp_.commit() == -1) {
		stage_ = stage::rename_failed;
		return -1;
	}
	stage_ = stage::done;
	return 0;
}

/*
 * Reads the identification and comment headers of the file's first logical
 * stream into vi and vc: 0, or -1 when the file does not begin as an
 * Ogg/Vorbis stream.  Reading stops there: the comments are all a tune
 * needs, and the setup header that follows (its codebooks are the costly
 * part of opening a decoder) is checked by every rewrite anyway.
 */
int
read_headers(const char *path, vorbis_info *vi, vorbis_comment *vc)
{
	// As far as a decoder looks for the first page in a file.
	constexpr std::size_t search_limit = 64 * 1024;

	w_file_ptr in(std::fopen(path, "rb"));
	if (!in)
		return -1;
	ogg_sync_state oy;
	ogg_sync_init(&oy);
	std::unique_ptr<ogg_sync_state, sync_clear> oy_guard(&oy);
	ogg_stream_state os;
	std::unique_ptr<ogg_stream_state, stream_clear> os_guard;
	std::size_t scanned = 0;
	int headers = 0;
	while (headers < 2) {
		ogg_page og;
		int r = ogg_sync_pageout(&oy, &og);
		if (r < 0)
			continue; // bytes skipped to find a page
		if (r == 0) {
			if (!os_guard && scanned >= search_limit)
				return -1;
			char *room = ogg_sync_buffer(&oy, 4096);
			if (room == nullptr)
				return -1;
			std::size_t n = std::fread(room, 1, 4096, in.get());
			if (n == 0 || ogg_sync_wrote(&oy, static_cast<long>(n)) == -1)
				return -1;
			scanned += n;
			continue;
		}
		if (!os_guard) {
			// The first page begins the first logical stream.
			if (!ogg_page_bos(&og) || ogg_stream_init(&os, ogg_page_serialno(&og)) != 0)
				return -1;
			os_guard.reset(&os);
		}
		if (ogg_page_serialno(&og) != os.serialno)
			continue; // another stream's page
		if (ogg_stream_pagein(&os, &og) != 0)
			return -1;
		ogg_packet op;
		while (headers < 2 && (r = ogg_stream_packetout(&os, &op)) != 0) {
			if (r < 0 || vorbis_synthesis_headerin(vi, vc, &op) != 0)
				return -1;
			headers++;
		}
	}
	return 0;
}

} // namespace

struct w_backend *
w_ftoggvorbis_backend(void)
{
	static struct w_backend backend = {
		libid,
		"Ogg/Vorbis files format",
		w_ftoggvorbis_init,
		w_ftoggvorbis_read,
		w_ftoggvorbis_write,
		w_ftoggvorbis_clear,
		{},
	};
	return &backend;
}

void *
w_ftoggvorbis_init(const char *path)
{
	assert(path != NULL);

	std::size_t len = std::strlen(path) + 1;
	auto *data = static_cast<w_ftoggvorbis_data *>(std::malloc(sizeof(w_ftoggvorbis_data) + len));
	if (data == nullptr)
		return nullptr;
	data->libid = libid;
	data->path = reinterpret_cast<char *>(data + 1);
	std::memcpy(data->path, path, len);
	vorbis_info_init(&data->vi);
	vorbis_comment_init(&data->vc);
	// This is what turns away files that are not Ogg/Vorbis, so that
	// TagLib gets to try them.
	if (read_headers(data->path, &data->vi, &data->vc) != 0) {
		int saved = errno;
		vorbis_comment_clear(&data->vc);
		vorbis_info_clear(&data->vi);
		std::free(data);
		errno = saved;
		return nullptr;
	}
	return data;
}

struct w_taglist *
w_ftoggvorbis_read(void *opaque)
{
	w_ftoggvorbis_data *data = checked(opaque);

	vorbis_comment *vc = &data->vc;
	struct w_taglist *tlist = w_taglist_new();
	if (tlist == nullptr)
		return nullptr;
	for (int i = 0; i < vc->comments; i++) {
		char *comment = vc->user_comments[i];
		char *eq = std::strchr(comment, '=');
		if (eq == nullptr) {
			warnx("invalid vorbis comment: %s", comment);
			continue;
		}
		// Split in place for the insert, then leave the library's
		// record as it was.
		*eq = '\0';
		int r = w_taglist_insert(tlist, comment, eq + 1);
		*eq = '=';
		if (r == -1) {
			w_taglist_destroy(tlist);
			return nullptr;
		}
	}
	return tlist;
}

int
w_ftoggvorbis_write(void *opaque, const struct w_taglist *tlist)
{
	w_ftoggvorbis_data *data = checked(opaque);
	assert(tlist != NULL);

	try {
		rewriter w;
		return w.run(data->path, tlist);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

void
w_ftoggvorbis_clear(void *opaque)
{
	w_ftoggvorbis_data *data = checked(opaque);
	vorbis_comment_clear(&data->vc);
	vorbis_info_clear(&data->vi);
	std::free(data);
}
