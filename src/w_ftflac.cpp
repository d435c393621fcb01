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
#include <unistd.h>
#include <FLAC/metadata.h>

#include "w_safefile.h"
#include "w_toolkit.h"

namespace {

const char libid[] = "libFLAC";

struct w_ftflac_data {
	const char *libid;
	FLAC__Metadata_Chain *chain;
	FLAC__StreamMetadata *vc; // borrowed from chain
	const char *path;         // the tune's own copy, valid until clear
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

/*
 * Reading the metadata goes through a small buffered reader of our own:
 * stdio, asked to skip a block (the padding), would read the next 4 KiB of
 * audio ahead, which is pure waste when all a run wants is the tags.
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

	static size_t read(void *ptr, size_t size, size_t nmemb, FLAC__IOHandle h)
	{
		auto *r = static_cast<meta_reader *>(h);
		if (size == 0)
			return 0;
		char *out = static_cast<char *>(ptr);
		size_t want = size * nmemb, got = 0;
		while (got < want) {
			if (r->pos_ == r->len_ && !r->fill())
				break;
			size_t n = std::min(want - got, r->len_ - r->pos_);
			std::memcpy(out + got, r->buf_ + r->pos_, n);
			r->pos_ += n;
			got += n;
		}
		return got / size;
	}
	static int seek(FLAC__IOHandle h, FLAC__int64 offset, int whence)
	{
		auto *r = static_cast<meta_reader *>(h);
		off_t target = static_cast<off_t>(offset);
		if (whence == SEEK_CUR)
			target += r->tell_now();
		else if (whence != SEEK_SET)
			return -1; // libFLAC's chain reader never seeks from the end
		if (target >= r->base_ && target <= r->base_ + static_cast<off_t>(r->len_)) {
			r->pos_ = static_cast<size_t>(target - r->base_);
		} else {
			if (lseek(r->fd_, target, SEEK_SET) == -1)
				return -1;
			r->base_ = target;
			r->pos_ = r->len_ = 0;
		}
		r->eof_ = false;
		return 0;
	}
	static FLAC__int64 tell(FLAC__IOHandle h) { return static_cast<meta_reader *>(h)->tell_now(); }
	static int eof(FLAC__IOHandle h) { return static_cast<meta_reader *>(h)->eof_; }

private:
	off_t tell_now() const { return base_ + static_cast<off_t>(pos_); }
	bool fill()
	{
		base_ += static_cast<off_t>(len_);
		pos_ = len_ = 0;
		ssize_t n;
		while ((n = ::read(fd_, buf_, sizeof buf_)) == -1 && errno == EINTR)
			;
		if (n <= 0) {
			eof_ = n == 0;
			return false;
		}
		len_ = static_cast<size_t>(n);
		return true;
	}

	int fd_;
	char buf_[4096];
	off_t base_ = 0; // file offset of buf_[0]
	size_t pos_ = 0, len_ = 0;
	bool eof_ = false;
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

// Writes the chain back: in place when the new metadata fits, else through
// a temporary copy that replaces the file only once it is complete.
int
write_chain(w_ftflac_data *data)
{
	if (!FLAC__metadata_chain_check_if_tempfile_needed(data->chain, true)) {
		w_file_ptr fp(std::fopen(data->path, "r+b"));
		if (!fp)
			return -1;
		bool ok = FLAC__metadata_chain_write_with_callbacks(data->chain, true, fp.get(), io);
		return (std::fclose(fp.release()) == 0 && ok) ? 0 : -1;
	}
	// The copy replaces the file a symbolic link names, not the link.
	const std::string target = w_write_target(data->path);
	if (target.empty())
		return -1;
	w_file_ptr in(std::fopen(target.c_str(), "rb"));
	if (!in)
		return -1;
	w_tempfile tmp;
	if (tmp.create(target) == -1)
		return -1;
	if (!FLAC__metadata_chain_write_with_callbacks_and_tempfile(data->chain, true, in.get(), io,
		tmp.stream(), io))
		return -1;
	in.reset();
	return tmp.commit();
}

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
	{
		meta_reader in(path);
		if (!in.ok() || !FLAC__metadata_chain_read_with_callbacks(chain.get(), &in, reader_io))
			return nullptr;
	}
	iterator_ptr it(FLAC__metadata_iterator_new());
	if (!it)
		return nullptr;
	FLAC__metadata_iterator_init(it.get(), chain.get());
	do {
		if (FLAC__metadata_iterator_get_block_type(it.get()) == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
			data->vc = FLAC__metadata_iterator_get_block(it.get());
			if (data->vc != nullptr)
				break;
		}
	} while (FLAC__metadata_iterator_next(it.get()));

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

	struct w_taglist *tlist = w_taglist_new();
	if (tlist == nullptr)
		return nullptr;
	const FLAC__StreamMetadata_VorbisComment &vc = data->vc->data.vorbis_comment;
	for (FLAC__uint32 i = 0; i < vc.num_comments; i++) {
		const FLAC__StreamMetadata_VorbisComment_Entry &entry = vc.comments[i];
		char *name = nullptr;
		char *value = nullptr;
		if (!FLAC__metadata_object_vorbiscomment_entry_to_name_value_pair(entry, &name, &value)) {
			// The whole read fails, so that no write can drop the entry;
			// but the user learns which entry it was.
			if (!FLAC__format_vorbiscomment_entry_is_legal(entry.entry, entry.length))
				warnx("invalid vorbis comment: %.*s", static_cast<int>(entry.length),
				    reinterpret_cast<const char *>(entry.entry));
			w_taglist_destroy(tlist);
			return nullptr;
		}
		int r = w_taglist_insert(tlist, name, value);
		std::free(name);
		std::free(value);
		if (r == -1) {
			w_taglist_destroy(tlist);
			return nullptr;
		}
	}
	return tlist;
}

int
w_ftflac_write(void *opaque, const struct w_taglist *tlist)
{
	w_ftflac_data *data = checked(opaque);
	assert(tlist != NULL);

	/*
	 * libFLAC recounts the whole block's length whenever one comment is
	 * added or removed, which makes a big list quadratic.  The entries are
	 * therefore put in place directly (the block owns and frees them) and
	 * the length is counted once.
	 */
	FLAC__StreamMetadata_VorbisComment *vc = &data->vc->data.vorbis_comment;
	if (!FLAC__metadata_object_vorbiscomment_resize_comments(data->vc, 0) ||
	    !FLAC__metadata_object_vorbiscomment_resize_comments(data->vc,
		static_cast<uint32_t>(tlist->count)))
		return -1;
	const uint32_t lenlen = FLAC__STREAM_METADATA_VORBIS_COMMENT_ENTRY_LENGTH_LEN / 8;
	uint32_t length = lenlen + vc->vendor_string.length +
	    FLAC__STREAM_METADATA_VORBIS_COMMENT_NUM_COMMENTS_LEN / 8;
	uint32_t i = 0;
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		FLAC__StreamMetadata_VorbisComment_Entry entry;
		if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, tag->key,
			tag->val)) {
			// The entries not yet made stay empty; drop them all.
			(void)FLAC__metadata_object_vorbiscomment_resize_comments(data->vc, 0);
			return -1;
		}
		// Some libFLAC versions give new slots an empty string of their own.
		std::free(vc->comments[i].entry);
		vc->comments[i++] = entry;
		length += lenlen + entry.length;
	}
	data->vc->length = length;
	FLAC__metadata_chain_sort_padding(data->chain);
	// The temporary file's names are C++ strings: running out of memory
	// for them is a failed write like any other.
	try {
		return write_chain(data);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

void
w_ftflac_clear(void *opaque)
{
	w_ftflac_data *data = checked(opaque);
	FLAC__metadata_chain_delete(data->chain);
	delete data;
}
