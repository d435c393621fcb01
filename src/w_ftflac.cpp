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
#include <string_view>
#include <vector>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <FLAC/metadata.h>

#include "w_backend.h"
#include "w_fileio.h"
#include "w_flaccheck.h"
#include "w_flacio.h"
#include "w_ftflac_data.h"
#include "w_props.h"
#include "w_safefile.h"
#include "w_taglist.h"
#include "w_toolkit.h"
#include "w_vcomment.h"

namespace w_ftflac_detail {

const char libid[] = "libFLAC";

w_ftflac_data *
checked(void *opaque)
{
	assert(opaque != NULL);
	auto *data = static_cast<w_ftflac_data *>(opaque);
	assert(data->libid == libid);
	return data;
}

} // namespace w_ftflac_detail

namespace {

using namespace w_flac;
using namespace w_ftflac_detail;

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
	const ssize_t n = w_pread_upto(fd, b, sizeof b, data->audio - 1);
	data->tail_unchecked = false;
	return audio_follows(b, n, data->fault, sizeof data->fault);
}

// write_chain's result when the file turned out not to be whole.
constexpr int refused = -2;

// Writes the metadata in place, through the descriptor init read when it is
// open for writing, else through one opened now.  0, -1 with errno, or
// refused (nothing written).
int
write_in_place(w_ftflac_data *data)
{
	// Large: it lives on the heap.
	std::unique_ptr<guarded_stream> g;
	if (data->fd != -1 && data->writable) {
		// The name must still lead to the file read, unchanged: the
		// descriptor would write to a file that another program has
		// replaced, which nobody would ever read again.
		if (w_fileid_check(data->path, data->id) == -1)
			return -1;
		g.reset(new guarded_stream(data->fd, data->audio));
	} else {
		g.reset(new guarded_stream(data->path, data->audio));
		if (!g->ok())
			return -1;
		// Checked through the descriptor that writes: the metadata goes
		// where the blocks read stood, or nowhere.
		if (w_fileid_check(g->fd(), data->id) == -1)
			return -1;
	}
	if (!tail_ok(data, g->fd()))
		return refused;
	if (w_safefile_rehearsing())
		g->rehearse();
	const bool ok = FLAC__metadata_chain_write_with_callbacks(data->chain, true, g.get(),
	    guarded_io);
	if (!ok)
		g->discard();
	// Our own write must not make a later one in this run (after a
	// rename that was declined) take the file for changed.
	return (g->close(ok ? &data->id : nullptr) == 0 && ok) ? 0 : -1;
}

/*
 * Writes the file anew beside the old one: what comes before the first
 * block and the metadata through libFLAC, then the audio moved by the
 * kernel.  The copy replaces the file only once it is complete and on the
 * disk.  0, -1 with errno, or refused (nothing written).
 */
int
rewrite(w_ftflac_data *data)
{
	// The copy replaces the file a symbolic link names, not the link.
	const std::string target = w_write_target(data->path);
	if (target.empty())
		return -1;
	int fd = data->fd;
	w_fd own;
	if (fd != -1) {
		// The audio is copied from the file read: the name must still
		// lead to it.
		if (w_fileid_check(data->path, data->id) == -1)
			return -1;
	} else {
		own.reset(open(target.c_str(), O_RDONLY | O_CLOEXEC));
		fd = own.get();
		if (fd == -1 || w_fileid_check(fd, data->id) == -1)
			return -1;
	}
	if (!tail_ok(data, fd))
		return refused;
	w_tempfile tmp;
	if (tmp.create(target) == -1)
		return -1;
	// And still be when the copy takes its name.
	tmp.expect(data->id);
	head_stream head(fd, data->audio);
	if (!FLAC__metadata_chain_write_with_callbacks_and_tempfile(data->chain, true, &head,
		head_io, tmp.stream(), io))
		return -1;
	const off_t at = std::fflush(tmp.stream()) == 0 ? ftello(tmp.stream()) : -1;
	if (at == -1 || w_copy_to_end(fd, data->audio, fileno(tmp.stream()), at) == -1)
		return -1;
	if (tmp.commit() == -1)
		return -1;
	data->id = tmp.identity();
	// The descriptor holds the old file, which no write may reach now.
	if (data->fd != -1)
		close(data->fd);
	data->fd = -1;
	return 0;
}

// Writes the chain back: in place when the new metadata fits, else through
// a temporary copy that replaces the file only once it is complete.  0,
// -1 with errno, or refused (nothing written).
int
write_chain(w_ftflac_data *data)
{
	if (!FLAC__metadata_chain_check_if_tempfile_needed(data->chain, true))
		return write_in_place(data);
	return rewrite(data);
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

} // namespace

int
w_ftflac_detail::commit_chain(w_ftflac_data *data)
{
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
		int saved = errno;
		if (r == refused) {
			warnx("%s: inconsistent FLAC metadata, not written: %s", data->path, data->fault);
			saved = EINVAL;
		} else if (saved == ESTALE)
			w_fileid_warn(data->path);
		else if (saved != 0)
			warn("%s", data->path);
		else
			warnx("%s: %s", data->path,
			    FLAC__Metadata_ChainStatusString[FLAC__metadata_chain_status(data->chain)]);
		errno = saved != 0 ? saved : EIO;
		return -1;
	}
	// A rewrite may have moved the audio.
	data->audio = chain_end(data);
	if (data->audio == -1)
		std::snprintf(data->fault, sizeof data->fault,
		    "memory ran out while measuring the metadata just written");
	return 0;
}

namespace {

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
		w_ftflac_props,
		w_ftflac_pictures,
		w_ftflac_write_pictures,
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

	data->fd = -1;

	chain_ptr chain(FLAC__metadata_chain_new());
	if (!chain)
		return nullptr;
	char tail_fault[sizeof data->fault] = "";
	iterator_ptr it;
	off_t end = 0;
	// The tune's descriptor when it probes the file: no second open, and
	// what it knows of the file is the identity.
	struct stat st;
	bool writable = false;
	const int lent = w_backend_probe_fd(path, &st, &writable);
	{
		meta_reader in(path, lent);
		if (!in.ok())
			return nullptr;
		if (lent != -1)
			data->id = w_fileid_of(st);
		else if (w_fileid_take(in.fd(), data->id) == -1)
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
				errno = ENOTSUP; // not FLAC: nothing to say
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
		// Kept open for the write, whichever opened it.
		if (lent != -1) {
			data->fd = w_backend_probe_take(path);
			data->writable = writable;
		} else {
			data->fd = in.release();
		}
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

	FLAC__StreamMetadata_VorbisComment *vc = &data->vc->data.vorbis_comment;
	std::vector<std::string_view> was;
	try {
		was.reserve(vc->num_comments);
		for (FLAC__uint32 i = 0; i < vc->num_comments; i++)
			was.emplace_back(reinterpret_cast<const char *>(vc->comments[i].entry), vc->comments[i].length);
		if (w_vcomment_same(tlist, was))
			return 0;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
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

	if (commit_chain(data) != 0) {
		made.v = vc->comments;
		made.n = vc->num_comments;
		vc->comments = old.v;
		vc->num_comments = old.n;
		old.v = nullptr;
		old.n = 0;
		data->vc->length = old_length;
		return -1;
	}
	return 0;
}

void
w_ftflac_clear(void *opaque)
{
	w_ftflac_data *data = checked(opaque);
	FLAC__metadata_chain_delete(data->chain);
	if (data->fd != -1)
		close(data->fd);
	delete data;
}

struct w_taglist *
w_ftflac_props(void *opaque)
{
	w_ftflac_data *data = checked(opaque);
	iterator_ptr it(FLAC__metadata_iterator_new());
	if (it == nullptr) {
		errno = ENOMEM;
		return nullptr;
	}
	FLAC__metadata_iterator_init(it.get(), data->chain);
	const FLAC__StreamMetadata *block = FLAC__metadata_iterator_get_block(it.get());
	// libFLAC reads no chain whose first block is not the stream info.
	assert(block->type == FLAC__METADATA_TYPE_STREAMINFO);
	const FLAC__StreamMetadata_StreamInfo &si = block->data.stream_info;
	w_audioprops p;
	p.codec = "FLAC";
	p.rate = si.sample_rate;
	p.channels = si.channels;
	p.bits = si.bits_per_sample;
	if (si.sample_rate != 0)
		p.millis = (si.total_samples * 1000 + si.sample_rate / 2) / si.sample_rate;
	const off_t size = data->id.size;
	if (data->audio > 0 && size > data->audio)
		p.kbps = w_props_kbps(static_cast<std::uint64_t>(size - data->audio), p.millis);
	return w_props_tags(p);
}
