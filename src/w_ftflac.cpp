#include "w_ftflac.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <FLAC/metadata.h>

#include "w_backend.h"
#include "w_safefile.h"
#include "w_taglist.h"
#include "w_toolkit.h"
#include "w_vcomment.h"

namespace {

const char libid[] = "libFLAC";

struct w_ftflac_data {
	const char *libid;
	FLAC__Metadata_Chain *chain;
	FLAC__StreamMetadata *vc; // borrowed from chain
	const char *path;         // the tune's own copy, valid until clear
	off_t meta_start;         // offset of the first block header
	off_t audio;              // offset of the first audio frame
	// Why the metadata cannot be written back as libFLAC read it; empty
	// when it can.
	char fault[160];
	// The start of the audio lay beyond what init read: a write looks at
	// it first (printing needs none of it).
	bool tail_unchecked;
	// The file as init read it, or as our last write left it: a write
	// refuses a file that another program changed meanwhile.
	w_fileid id;
};

struct chain_deleter {
	void operator()(FLAC__Metadata_Chain *c) const { FLAC__metadata_chain_delete(c); }
};
struct iterator_deleter {
	void operator()(FLAC__Metadata_Iterator *i) const { FLAC__metadata_iterator_delete(i); }
};
using chain_ptr = std::unique_ptr<FLAC__Metadata_Chain, chain_deleter>;
using iterator_ptr = std::unique_ptr<FLAC__Metadata_Iterator, iterator_deleter>;

// The chain is read and written through callbacks, so that the tags go to
// the file a symbolic link names and a rewrite uses a temporary file of our
// own (see w_safefile.h).  Writing goes through stdio streams.
size_t
io_read(void *ptr, size_t size, size_t nmemb, FLAC__IOHandle h)
{
	return std::fread(ptr, size, nmemb, static_cast<FILE *>(h));
}

size_t
io_write(const void *ptr, size_t size, size_t nmemb, FLAC__IOHandle h)
{
	// An empty block comes with no buffer at all.
	if (size == 0 || nmemb == 0)
		return nmemb;
	return std::fwrite(ptr, size, nmemb, static_cast<FILE *>(h));
}

int
io_seek(FLAC__IOHandle h, FLAC__int64 offset, int whence)
{
	return fseeko(static_cast<FILE *>(h), static_cast<off_t>(offset), whence);
}

FLAC__int64
io_tell(FLAC__IOHandle h)
{
	return ftello(static_cast<FILE *>(h));
}

int
io_eof(FLAC__IOHandle h)
{
	return std::feof(static_cast<FILE *>(h));
}

const FLAC__IOCallbacks io = {io_read, io_write, io_seek, io_tell, io_eof, nullptr};

bool
pwrite_all(int fd, const void *buf, size_t len, off_t at)
{
	const char *p = static_cast<const char *>(buf);
	while (len > 0) {
		const ssize_t n = pwrite(fd, p, len, at);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0) {
			if (n == 0)
				errno = EIO;
			return false;
		}
		p += n;
		len -= static_cast<size_t>(n);
		at += n;
	}
	return true;
}

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
	    : fd_(open(path, O_RDWR | O_CLOEXEC)), audio_(audio)
	{
	}
	~guarded_stream()
	{
		if (fd_ != -1)
			::close(fd_);
	}
	guarded_stream(const guarded_stream &) = delete;
	guarded_stream &operator=(const guarded_stream &) = delete;
	bool ok() const { return fd_ != -1; }
	int fd() const { return fd_; }

	// Writes what is pending and closes the file: 0, or -1 with errno.
	// When id is given, it becomes what the file is once written.
	int close(w_fileid *id = nullptr)
	{
		const bool flushed = flush() && (id == nullptr || w_fileid_take(fd_, *id) == 0);
		const int saved = errno;
		const int r = ::close(fd_);
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

	static FLAC__int64 tell(FLAC__IOHandle h) { return static_cast<guarded_stream *>(h)->pos_; }
	static int eof(FLAC__IOHandle h) { return static_cast<guarded_stream *>(h)->eof_; }

private:
	// The bytes gathered so far go to where they belong.
	bool flush()
	{
		if (len_ == 0)
			return true;
		const off_t at = static_cast<off_t>(pos_) - static_cast<off_t>(len_);
		const bool ok = pwrite_all(fd_, buf_, len_, at);
		len_ = 0;
		return ok;
	}

	int fd_;
	FLAC__int64 audio_;  // first byte that must not be written
	FLAC__int64 pos_ = 0; // where the next read or write happens
	bool eof_ = false;
	char buf_[64 * 1024]; // what was written but not yet sent, up to pos_
	size_t len_ = 0;
};

const FLAC__IOCallbacks guarded_io = {guarded_stream::read, guarded_stream::write,
    guarded_stream::seek, guarded_stream::tell, guarded_stream::eof, nullptr};

/*
 * Reading the metadata goes through a small buffered reader of our own:
 * stdio, asked to skip a block (the padding), would read the next 4 KiB of
 * audio ahead, which is pure waste when all a run wants is the tags.  It
 * keeps the first bytes of the file aside, which tell where the metadata
 * begins.
 */
class meta_reader {
public:
	explicit meta_reader(const char *path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}
	~meta_reader()
	{
		if (fd_ != -1)
			close(fd_);
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
		ssize_t got;
		while ((got = pread(fd_, out, n, at)) == -1 && errno == EINTR)
			;
		return got;
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

const FLAC__IOCallbacks reader_io = {meta_reader::read, nullptr, meta_reader::seek,
    meta_reader::tell, meta_reader::eof, nullptr};

w_ftflac_data *
checked(void *opaque)
{
	assert(opaque != NULL);
	auto *data = static_cast<w_ftflac_data *>(opaque);
	assert(data->libid == libid);
	return data;
}

/*
 * Where libFLAC looks for the first block header: after "fLaC", which may
 * follow an ID3v2 tag (libFLAC skips the tag by the size in its header,
 * ignoring any footer).  -1 when the head bytes do not say.
 */
off_t
metadata_start(const unsigned char *head, size_t len)
{
	if (len >= 3 && std::memcmp(head, "ID3", 3) == 0) {
		if (len < 10)
			return -1;
		off_t size = 0;
		for (int i = 6; i < 10; i++) {
			if (head[i] & 0x80)
				return -1;
			size = size << 7 | head[i];
		}
		return 10 + size + 4;
	}
	return 4;
}

bool
pread_all(int fd, void *buf, size_t len, off_t at)
{
	ssize_t n;
	while ((n = pread(fd, buf, len, at)) == -1 && errno == EINTR)
		;
	return n == static_cast<ssize_t>(len);
}

// True when the file holds the FLAC signature where libFLAC looks for it.
bool
looks_like_flac(const meta_reader &in)
{
	const off_t start = metadata_start(in.head(), in.headlen());
	if (start == 4)
		return in.headlen() >= 4 && std::memcmp(in.head(), "fLaC", 4) == 0;
	unsigned char sig[4];
	return start != -1 && pread_all(in.fd(), sig, 4, start - 4) && std::memcmp(sig, "fLaC", 4) == 0;
}

// A block type's name for messages, kept in name (no allocation: init
// must not throw).
struct block_name {
	char text[16];
	explicit block_name(unsigned type)
	{
		if (type <= FLAC__METADATA_TYPE_PICTURE)
			std::snprintf(text, sizeof text, "%s", FLAC__MetadataTypeString[type]);
		else
			std::snprintf(text, sizeof text, "type %u", type);
	}
};

/*
 * Why a FLAC file libFLAC cannot read is refused: a block of the invalid
 * type, a STREAMINFO of the wrong length or a block that runs past the end
 * of the file, else libFLAC's own status.  Only called on failure, so it
 * may read the file again.
 */
void
warn_unreadable(const char *path, const meta_reader &in, FLAC__Metadata_ChainStatus status)
{
	char reason[128];
	std::snprintf(reason, sizeof reason, "%s", FLAC__Metadata_ChainStatusString[status]);
	struct stat st;
	off_t at = metadata_start(in.head(), in.headlen());
	if (at != -1 && fstat(in.fd(), &st) == 0) {
		for (unsigned n = 1;; n++) {
			unsigned char h[4];
			if (!pread_all(in.fd(), h, 4, at)) {
				std::snprintf(reason, sizeof reason,
				    "block %u runs past the end of the file", n);
				break;
			}
			const unsigned type = h[0] & 0x7F;
			const unsigned length = static_cast<unsigned>(h[1] << 16 | h[2] << 8 | h[3]);
			if (type == 127) {
				std::snprintf(reason, sizeof reason, "block %u has the invalid type 127", n);
				break;
			}
			if (type == FLAC__METADATA_TYPE_STREAMINFO &&
			    length != FLAC__STREAM_METADATA_STREAMINFO_LENGTH) {
				std::snprintf(reason, sizeof reason,
				    "block %u (STREAMINFO) is declared %u bytes long, not 34", n, length);
				break;
			}
			at += 4 + static_cast<off_t>(length);
			if (at > st.st_size) {
				std::snprintf(reason, sizeof reason,
				    "block %u (%s) runs past the end of the file", n,
				    block_name(type).text);
				break;
			}
			if (h[0] & 0x80)
				break;
		}
	}
	warnx("%s: unreadable FLAC metadata: %s", path, reason);
}

/*
 * The length of the body libFLAC writes back for a block, counted from what
 * it parsed.  libFLAC writes the length the block's header declared in
 * front of it, so the two must agree or the write shifts everything after
 * the block.
 */
uint64_t
body_length(const FLAC__StreamMetadata *b)
{
	switch (b->type) {
	case FLAC__METADATA_TYPE_STREAMINFO:
		return FLAC__STREAM_METADATA_STREAMINFO_LENGTH;
	case FLAC__METADATA_TYPE_SEEKTABLE:
		return uint64_t{b->data.seek_table.num_points} * FLAC__STREAM_METADATA_SEEKPOINT_LENGTH;
	case FLAC__METADATA_TYPE_VORBIS_COMMENT: {
		const FLAC__StreamMetadata_VorbisComment &vc = b->data.vorbis_comment;
		uint64_t n = 4 + uint64_t{vc.vendor_string.length} + 4;
		for (FLAC__uint32 i = 0; i < vc.num_comments; i++)
			n += 4 + uint64_t{vc.comments[i].length};
		return n;
	}
	case FLAC__METADATA_TYPE_CUESHEET: {
		// Catalog number, lead-in, flags and track count; per track its
		// offset, number, ISRC, flags and index count; per index its
		// offset, number and reserved bytes.
		const FLAC__StreamMetadata_CueSheet &cs = b->data.cue_sheet;
		uint64_t n = 128 + 8 + 259 + 1;
		for (FLAC__uint32 i = 0; i < cs.num_tracks; i++)
			n += 8 + 1 + 12 + 14 + 1 + uint64_t{cs.tracks[i].num_indices} * (8 + 1 + 3);
		return n;
	}
	case FLAC__METADATA_TYPE_PICTURE: {
		// libFLAC writes both texts as C strings.
		const FLAC__StreamMetadata_Picture &p = b->data.picture;
		return 8 * 4 + uint64_t{std::strlen(p.mime_type)} +
		    std::strlen(reinterpret_cast<const char *>(p.description)) + p.data_length;
	}
	default:
		// Padding, application data and unknown blocks go back as the
		// bytes they were.
		return b->length;
	}
}

// The check of one block in the walk of init: the reason goes to fault
// when libFLAC would not write the block back as it stands in the file.
void
check_block(const FLAC__StreamMetadata *b, unsigned n, char *fault, size_t size)
{
	if (n == 1 && b->type != FLAC__METADATA_TYPE_STREAMINFO) {
		std::snprintf(fault, size, "the first block is %s, not STREAMINFO",
		    block_name(b->type).text);
	} else if (n > 1 && b->type == FLAC__METADATA_TYPE_STREAMINFO) {
		std::snprintf(fault, size, "block %u is a second STREAMINFO", n);
	} else if (const uint64_t body = body_length(b); body != b->length) {
		std::snprintf(fault, size, "block %u (%s) is declared %u bytes long but holds %llu", n,
		    block_name(b->type).text, b->length, static_cast<unsigned long long>(body));
	}
}

/*
 * A comment block whose declared length ends right after one of its
 * entries reads as a shorter, consistent block: libFLAC drops the count it
 * could not read, and a rewrite would drop the entries it left behind
 * (which other readers still see).  The count the block itself gives tells.
 */
void
check_count(const meta_reader &in, off_t at, const FLAC__StreamMetadata *b, unsigned n,
    char *fault, size_t size)
{
	const FLAC__StreamMetadata_VorbisComment &vc = b->data.vorbis_comment;
	unsigned char c[4];
	if (in.peek(at + 4 + 4 + static_cast<off_t>(vc.vendor_string.length), c, 4) != 4)
		return; // the audio check will not find the file whole either
	const FLAC__uint32 count = c[0] | c[1] << 8 | c[2] << 16 | static_cast<FLAC__uint32>(c[3]) << 24;
	if (count != vc.num_comments)
		std::snprintf(fault, size, "block %u (VORBIS_COMMENT) counts %lu entries but holds %u", n,
		    static_cast<unsigned long>(count), vc.num_comments);
}

/*
 * The audio must start right after the last block, with a frame header, or
 * the file end there.  Metadata that leaves bytes of its own behind the
 * last block (entries other readers see) would lose them to a rewrite, and
 * a last block running past the end would make a file of nothing.  One
 * look at the byte before the audio and the first two of it (b, n of them
 * read, -1 for a read error) tells these apart.
 */
bool
audio_follows(const unsigned char *b, ssize_t n, char *fault, size_t size)
{
	if (n == -1) {
		std::snprintf(fault, size, "the start of the audio cannot be read: %s",
		    std::strerror(errno));
		return false;
	}
	if (n == 0) {
		std::snprintf(fault, size, "the last block runs past the end of the file");
		return false;
	}
	if (n > 1 && (n < 3 || b[1] != 0xFF || (b[2] & 0xFE) != 0xF8)) {
		std::snprintf(fault, size,
		    "the bytes after the last block are not the start of an audio frame");
		return false;
	}
	return true;
}

/*
 * Behind the usual padding the audio starts beyond what init read.  Only a
 * write needs to know that it is there, so the look is put off until then
 * and made through the descriptor the write opened: printing a file costs
 * one read fewer.  False (the fault kept) when the file must not be
 * written.
 */
bool
tail_ok(w_ftflac_data *data, int fd)
{
	if (!data->tail_unchecked)
		return true;
	unsigned char b[3];
	ssize_t n;
	while ((n = pread(fd, b, sizeof b, data->audio - 1)) == -1 && errno == EINTR)
		;
	data->tail_unchecked = false;
	return audio_follows(b, n, data->fault, sizeof data->fault);
}

// write_chain's result when the file turned out not to be whole.
constexpr int refused = -2;

// Writes the chain back: in place when the new metadata fits, else through
// a temporary copy that replaces the file only once it is complete.  0,
// -1 with errno, or refused (nothing written).
int
write_chain(w_ftflac_data *data)
{
	if (!FLAC__metadata_chain_check_if_tempfile_needed(data->chain, true)) {
		// Large: it lives on the heap.
		std::unique_ptr<guarded_stream> g(new guarded_stream(data->path, data->audio));
		if (!g->ok())
			return -1;
		// Checked through the descriptor that writes: the metadata goes
		// where the blocks read stood, or nowhere.
		if (w_fileid_check(g->fd(), data->id) == -1)
			return -1;
		if (!tail_ok(data, g->fd()))
			return refused;
		const bool ok = FLAC__metadata_chain_write_with_callbacks(data->chain, true, g.get(),
		    guarded_io);
		if (!ok)
			g->discard();
		// Our own write must not make a later one in this run (after a
		// rename that was declined) take the file for changed.
		return (g->close(ok ? &data->id : nullptr) == 0 && ok) ? 0 : -1;
	}
	// The copy replaces the file a symbolic link names, not the link.
	const std::string target = w_write_target(data->path);
	if (target.empty())
		return -1;
	w_file_ptr in(std::fopen(target.c_str(), "rbe"));
	if (!in)
		return -1;
	// The audio is copied from this file: it must be the one read.
	if (w_fileid_check(fileno(in.get()), data->id) == -1)
		return -1;
	if (!tail_ok(data, fileno(in.get())))
		return refused;
	w_tempfile tmp;
	if (tmp.create(target) == -1)
		return -1;
	// And still be when the copy takes its name.
	tmp.expect(data->id);
	if (!FLAC__metadata_chain_write_with_callbacks_and_tempfile(data->chain, true, in.get(), io,
		tmp.stream(), io))
		return -1;
	in.reset();
	if (tmp.commit() == -1)
		return -1;
	data->id = tmp.identity();
	return 0;
}

// Where the audio starts once the chain as it stands is in the file.
off_t
chain_end(w_ftflac_data *data)
{
	off_t at = data->meta_start;
	iterator_ptr it(FLAC__metadata_iterator_new());
	if (!it)
		return -1;
	FLAC__metadata_iterator_init(it.get(), data->chain);
	do
		at += 4 + FLAC__metadata_iterator_get_block(it.get())->length;
	while (FLAC__metadata_iterator_next(it.get()));
	return at;
}

// Vorbis comment entries made for a write, owned until the block takes them.
struct entries {
	FLAC__StreamMetadata_VorbisComment_Entry *v = nullptr;
	FLAC__uint32 n = 0;
	entries() = default;
	entries(const entries &) = delete;
	entries &operator=(const entries &) = delete;
	~entries()
	{
		for (FLAC__uint32 i = 0; i < n; i++)
			std::free(v[i].entry);
		std::free(v);
	}
};

} // namespace

struct w_backend *
w_ftflac_backend(void)
{
	static struct w_backend backend = {
		libid,
		"Free Lossless Audio Codec (FLAC) files format",
		w_ftflac_init,
		w_ftflac_read,
		w_ftflac_write,
		w_ftflac_clear,
		{},
	};
	return &backend;
}

void *
w_ftflac_init(const char *path)
{
	assert(path != NULL);

	auto *data = new (std::nothrow) w_ftflac_data{};
	if (data == nullptr)
		return nullptr;
	std::unique_ptr<w_ftflac_data> guard(data);
	data->libid = libid;
	data->path = path;

	chain_ptr chain(FLAC__metadata_chain_new());
	if (!chain)
		return nullptr;
	char tail_fault[sizeof data->fault] = "";
	iterator_ptr it;
	off_t end = 0;
	{
		meta_reader in(path);
		if (!in.ok() || w_fileid_take(in.fd(), data->id) == -1)
			return nullptr;
		errno = 0;
		if (!FLAC__metadata_chain_read_with_callbacks(chain.get(), &in, reader_io)) {
			// A file that is not FLAC is left to the other backends in
			// silence; one that is, is refused with the reason.
			const FLAC__Metadata_ChainStatus status = FLAC__metadata_chain_status(chain.get());
			if (status == FLAC__METADATA_CHAIN_STATUS_MEMORY_ALLOCATION_ERROR && errno == ENOMEM)
				return nullptr;
			if (looks_like_flac(in)) {
				warn_unreadable(path, in, status);
				errno = EINVAL;
			} else {
				in.keep_head(path);
			}
			return nullptr;
		}
		data->meta_start = metadata_start(in.head(), in.headlen());
		data->audio = in.position();
		end = data->meta_start;
		// The reader holds the start of the audio when the metadata is
		// small; otherwise a write looks at it.
		if (in.holds(data->audio - 1, 3)) {
			unsigned char b[3];
			(void)in.peek(data->audio - 1, b, 3);
			(void)audio_follows(b, 3, tail_fault, sizeof tail_fault);
		} else {
			data->tail_unchecked = true;
		}

		// One walk over the blocks finds the comment block and checks
		// that every block goes back to the file as it came, and that
		// together they fill the metadata the file holds.  A fault is
		// kept for write: the tags libFLAC read can still be shown.
		it.reset(FLAC__metadata_iterator_new());
		if (!it)
			return nullptr;
		FLAC__metadata_iterator_init(it.get(), chain.get());
		unsigned n = 0;
		do {
			FLAC__StreamMetadata *block = FLAC__metadata_iterator_get_block(it.get());
			if (block == nullptr)
				return nullptr;
			n++;
			if (data->fault[0] == '\0')
				check_block(block, n, data->fault, sizeof data->fault);
			if (data->fault[0] == '\0' && block->type == FLAC__METADATA_TYPE_VORBIS_COMMENT)
				check_count(in, end, block, n, data->fault, sizeof data->fault);
			end += 4 + static_cast<off_t>(block->length);
			if (block->type == FLAC__METADATA_TYPE_VORBIS_COMMENT && data->vc == nullptr)
				data->vc = block;
		} while (FLAC__metadata_iterator_next(it.get()));
	}
	if (data->fault[0] == '\0' && end != data->audio)
		std::snprintf(data->fault, sizeof data->fault,
		    "the blocks add up to %lld bytes, but the metadata holds %lld",
		    static_cast<long long>(end - data->meta_start),
		    static_cast<long long>(data->audio - data->meta_start));
	if (data->fault[0] == '\0')
		std::memcpy(data->fault, tail_fault, sizeof data->fault);

	if (data->vc == nullptr) {
		// No comment block: add an empty one after the last block; the
		// file only changes if tags are written.
		data->vc = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
		if (data->vc == nullptr)
			return nullptr;
		if (!FLAC__metadata_iterator_insert_block_after(it.get(), data->vc)) {
			FLAC__metadata_object_delete(data->vc);
			return nullptr;
		}
	}
	data->chain = chain.release();
	return guard.release();
}

struct w_taglist *
w_ftflac_read(void *opaque)
{
	w_ftflac_data *data = checked(opaque);

	w_taglist_ptr tlist(w_taglist_new());
	if (tlist == nullptr)
		return nullptr;
	// An entry the tags cannot hold whole fails the read, so that no
	// write can drop or cut it.
	const FLAC__StreamMetadata_VorbisComment &vc = data->vc->data.vorbis_comment;
	for (FLAC__uint32 i = 0; i < vc.num_comments; i++) {
		const FLAC__StreamMetadata_VorbisComment_Entry &entry = vc.comments[i];
		if (w_vcomment_insert(tlist.get(), reinterpret_cast<const char *>(entry.entry),
			entry.length) == -1) {
			// Among many files the warning alone does not say which.
			if (errno == EINVAL)
				warnx("%s: could not read tags from the file", data->path);
			return nullptr;
		}
	}
	return tlist.release();
}

int
w_ftflac_write(void *opaque, const struct w_taglist *tlist)
{
	w_ftflac_data *data = checked(opaque);
	assert(tlist != NULL);

	if (w_vcomment_check(tlist) == -1)
		return -1;
	if (data->fault[0] != '\0') {
		warnx("%s: inconsistent FLAC metadata, not written: %s", data->path, data->fault);
		errno = EINVAL;
		return -1;
	}

	/*
	 * libFLAC recounts the whole block's length whenever one comment is
	 * added or removed, which makes a big list quadratic.  The entries are
	 * made first, then put in place at once (the block owns and frees
	 * them) and the length is counted once.  Until the file is written
	 * the old entries are kept, so that a refused write changes nothing.
	 */
	entries made;
	made.v = static_cast<FLAC__StreamMetadata_VorbisComment_Entry *>(
	    std::calloc(tlist->count + 1, sizeof *made.v));
	if (made.v == nullptr)
		return -1;
	FLAC__StreamMetadata_VorbisComment *vc = &data->vc->data.vorbis_comment;
	const uint32_t lenlen = FLAC__STREAM_METADATA_VORBIS_COMMENT_ENTRY_LENGTH_LEN / 8;
	uint64_t length = lenlen + vc->vendor_string.length +
	    FLAC__STREAM_METADATA_VORBIS_COMMENT_NUM_COMMENTS_LEN / 8;
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		FLAC__StreamMetadata_VorbisComment_Entry &entry = made.v[made.n];
		errno = 0;
		if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, tag->key,
			tag->val)) {
			// The names were checked: the value is not UTF-8 (or memory
			// ran out).
			if (errno != ENOMEM) {
				warnx("invalid vorbis comment value for %s", tag->key);
				errno = EINVAL;
			}
			return -1;
		}
		made.n++;
		length += lenlen + entry.length;
	}
	if (length >= 1u << FLAC__STREAM_METADATA_LENGTH_LEN) {
		warnx("%s: the tags do not fit into a FLAC comment block", data->path);
		errno = EFBIG;
		return -1;
	}

	// Swap the new entries in; the old ones come back if the write fails.
	entries old;
	old.v = vc->comments;
	old.n = vc->num_comments;
	const unsigned old_length = data->vc->length;
	vc->comments = made.n != 0 ? made.v : nullptr;
	vc->num_comments = made.n;
	data->vc->length = static_cast<unsigned>(length);
	if (made.n == 0)
		std::free(made.v);
	made.v = nullptr;
	made.n = 0;

	FLAC__metadata_chain_sort_padding(data->chain);
	// The temporary file's names are C++ strings: running out of memory
	// for them is a failed write like any other.
	int r;
	errno = 0;
	try {
		r = write_chain(data);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		r = -1;
	}
	if (r != 0) {
		// The user learns why (a full disk, a file that went away), as
		// for the other formats.
		int saved = errno;
		if (r == refused) {
			warnx("%s: inconsistent FLAC metadata, not written: %s", data->path,
			    data->fault);
			saved = EINVAL;
		} else if (saved == ESTALE)
			w_fileid_warn(data->path);
		else if (saved != 0)
			warn("%s", data->path);
		else
			warnx("%s: %s", data->path,
			    FLAC__Metadata_ChainStatusString[FLAC__metadata_chain_status(data->chain)]);
		errno = saved != 0 ? saved : EIO;
		made.v = vc->comments;
		made.n = vc->num_comments;
		vc->comments = old.v;
		vc->num_comments = old.n;
		old.v = nullptr;
		old.n = 0;
		data->vc->length = old_length;
		return -1;
	}
	// A rewrite may have moved the audio.
	data->audio = chain_end(data);
	if (data->audio == -1)
		std::snprintf(data->fault, sizeof data->fault,
		    "memory ran out while measuring the metadata just written");
	return 0;
}

void
w_ftflac_clear(void *opaque)
{
	w_ftflac_data *data = checked(opaque);
	FLAC__metadata_chain_delete(data->chain);
	delete data;
}
