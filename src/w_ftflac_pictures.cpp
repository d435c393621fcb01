// The pictures of a FLAC file: its PICTURE blocks, read from the chain
// and written through the same commit as its tags.
#include "w_ftflac.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>
#include <err.h>
#include <FLAC/format.h>
#include <FLAC/metadata.h>

#include "w_contract.h"
#include "w_flacio.h"
#include "w_ftflac_data.h"

using namespace w_flac;
using namespace w_ftflac_detail;

int
w_ftflac_pictures(void *opaque, std::vector<w_picture> *out)
{
	w_ftflac_data *data = checked(opaque);
	iterator_ptr it(FLAC__metadata_iterator_new());
	if (it == nullptr) {
		errno = ENOMEM;
		return -1;
	}
	try {
		FLAC__metadata_iterator_init(it.get(), data->chain);
		do {
			const FLAC__StreamMetadata *b = FLAC__metadata_iterator_get_block(it.get());
			if (b->type != FLAC__METADATA_TYPE_PICTURE)
				continue;
			const FLAC__StreamMetadata_Picture &pic = b->data.picture;
			w_picture p;
			p.type = static_cast<unsigned>(pic.type);
			p.mime = pic.mime_type != nullptr ? pic.mime_type : "";
			p.description = pic.description != nullptr ? reinterpret_cast<const char *>(pic.description) : "";
			p.width = pic.width;
			p.height = pic.height;
			p.data.assign(reinterpret_cast<const char *>(pic.data), pic.data_length);
			out->push_back(std::move(p));
		} while (FLAC__metadata_iterator_next(it.get()));
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
	return 0;
}

namespace {

struct block_deleter {
	void operator()(FLAC__StreamMetadata *b) const { FLAC__metadata_object_delete(b); }
};

// A new PICTURE block holding p, or null (errno set).
FLAC__StreamMetadata *
picture_block(const w_picture &p)
{
	FLAC__StreamMetadata *b = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PICTURE);
	if (b == nullptr) {
		errno = ENOMEM;
		return nullptr;
	}
	FLAC__StreamMetadata_Picture &pic = b->data.picture;
	pic.type = static_cast<FLAC__StreamMetadata_Picture_Type>(p.type);
	pic.width = p.width;
	pic.height = p.height;
	pic.depth = p.depth;
	pic.colors = p.colors;
	std::string mime = p.mime, desc = p.description;
	if (!FLAC__metadata_object_picture_set_mime_type(b, mime.data(), true) ||
	    !FLAC__metadata_object_picture_set_description(b, reinterpret_cast<FLAC__byte *>(desc.data()), true) ||
	    !FLAC__metadata_object_picture_set_data(b,
		reinterpret_cast<FLAC__byte *>(const_cast<char *>(p.data.data())),
		static_cast<FLAC__uint32>(p.data.size()), true)) {
		FLAC__metadata_object_delete(b);
		errno = ENOMEM;
		return nullptr;
	}
	return b;
}

} // namespace

int
w_ftflac_write_pictures(void *opaque, const std::vector<w_picture_slot> &slots)
{
	w_ftflac_data *data = checked(opaque);

	if (data->fault[0] != '\0') {
		warnx("%s: inconsistent FLAC metadata, not written: %s", data->path, data->fault);
		errno = EINVAL;
		return -1;
	}
	// The new blocks first, each checked as a FLAC picture: nothing in
	// the chain changes before all of them are made.
	std::vector<std::unique_ptr<FLAC__StreamMetadata, block_deleter>> made;
	bool changes = false;
	int next_kept = 0;
	for (const w_picture_slot &s : slots) {
		if (s.from >= 0) {
			// Kept pictures keep their order among themselves.
			if (s.from < next_kept) {
				errno = EINVAL;
				return -1;
			}
			changes = changes || s.from != next_kept;
			next_kept = s.from + 1;
			made.emplace_back(nullptr);
			continue;
		}
		changes = true;
		const char *violation = nullptr;
		if (s.pic.data.size() >= (1u << FLAC__STREAM_METADATA_LENGTH_LEN) - 1024) {
			warnx("%s: the picture does not fit into a FLAC metadata block", data->path);
			errno = EFBIG;
			return -1;
		}
		made.emplace_back(picture_block(s.pic));
		if (made.back() == nullptr)
			return -1;
		if (!FLAC__format_picture_is_legal(&made.back()->data.picture, &violation)) {
			warnx("%s: not a FLAC picture: %s", data->path, violation);
			errno = EINVAL;
			return -1;
		}
	}
	iterator_ptr it(FLAC__metadata_iterator_new());
	if (!it) {
		errno = ENOMEM;
		return -1;
	}
	int count = 0;
	FLAC__metadata_iterator_init(it.get(), data->chain);
	do
		count += FLAC__metadata_iterator_get_block_type(it.get()) == FLAC__METADATA_TYPE_PICTURE;
	while (FLAC__metadata_iterator_next(it.get()));
	if (!changes && next_kept == count)
		return 0;

	/*
	 * From here on the chain in memory is changed; should the write fail,
	 * it no longer says what the file holds, and the tune refuses any
	 * further write.  A new picture takes the place of the first picture
	 * dropped before the next kept one, or else goes after the last
	 * picture (or the comment block).
	 */
	std::size_t j = 0;
	int index = 0;
	FLAC__metadata_iterator_init(it.get(), data->chain);
	FLAC__StreamMetadata *anchor = data->vc;
	bool more = true;
	while (more) {
		if (FLAC__metadata_iterator_get_block_type(it.get()) != FLAC__METADATA_TYPE_PICTURE) {
			more = FLAC__metadata_iterator_next(it.get());
			continue;
		}
		while (j < slots.size() && slots[j].from < 0) {
			if (!FLAC__metadata_iterator_insert_block_before(it.get(), made[j].get()))
				goto broken;
			made[j].release();
			j++;
			// The iterator now stands on the block inserted.
			if (!FLAC__metadata_iterator_next(it.get()))
				goto broken;
		}
		if (j < slots.size() && slots[j].from == index) {
			j++;
			more = FLAC__metadata_iterator_next(it.get());
		} else {
			// The iterator steps back onto the block before.
			if (!FLAC__metadata_iterator_delete_block(it.get(), false))
				goto broken;
			more = FLAC__metadata_iterator_next(it.get());
		}
		index++;
	}
	if (j < slots.size()) {
		// After the last picture, or the comment block.
		FLAC__metadata_iterator_init(it.get(), data->chain);
		do {
			if (FLAC__metadata_iterator_get_block_type(it.get()) == FLAC__METADATA_TYPE_PICTURE)
				anchor = FLAC__metadata_iterator_get_block(it.get());
		} while (FLAC__metadata_iterator_next(it.get()));
		FLAC__metadata_iterator_init(it.get(), data->chain);
		while (FLAC__metadata_iterator_get_block(it.get()) != anchor)
			if (!FLAC__metadata_iterator_next(it.get()))
				goto broken;
		for (; j < slots.size(); j++) {
			if (slots[j].from >= 0 || !FLAC__metadata_iterator_insert_block_after(it.get(), made[j].get()))
				goto broken;
			made[j].release();
		}
	}
	if (commit_chain(data) != 0) {
		std::snprintf(data->fault, sizeof data->fault,
		    "a picture write failed, so the metadata in memory is not the file's");
		return -1;
	}
	return 0;
broken:
	std::snprintf(data->fault, sizeof data->fault,
	    "a picture write failed, so the metadata in memory is not the file's");
	warnx("%s: the pictures could not be placed in the metadata", data->path);
	errno = ENOMEM;
	return -1;
}
