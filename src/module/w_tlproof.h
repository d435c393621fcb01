/*
 * The proof a write must pass before it lands: the new file, as the plan
 * describes it, is walked raw beside the old one, and everything outside
 * the changed fields must still be there byte for byte: each ID3v2 frame,
 * APE item, ID3v1 field, RIFF INFO chunk and MP4 ilst item, every other
 * chunk or atom, and the audio, wherever it now sits.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "w_tlmodule.h"

namespace w_tl {

// Thrown by a view when the file cannot be read; errno's value.
struct io_error {
	int err;
};

// A file as a plan describes it: runs of new bytes and ranges of a file
// read through a descriptor.  The old file is a plan of one range.
class file_view {
public:
	file_view(int fd, std::uint64_t size);
	explicit file_view(const w_tlplan &plan);

	std::uint64_t size() const { return size_; }
	// The n bytes at off, fewer at the end of the file.
	std::string read(std::uint64_t off, std::uint64_t n) const;
	// Whether the n bytes at a are those of other at b (both in range).
	// Ranges of the same file at the same place are not read at all.
	bool same(std::uint64_t a, const file_view &other, std::uint64_t b, std::uint64_t n) const;

private:
	struct run {
		const unsigned char *data; // null: the file from offset
		std::uint64_t offset;
		std::uint64_t length;
		std::uint64_t at; // where the run starts in this view
	};
	std::size_t find(std::uint64_t pos) const;

	int fd_;
	std::uint64_t size_ = 0;
	std::vector<run> runs_;
};

// One thing a tag holds, as it must be kept.
struct tag_item {
	const char *kind;  // "frames", "APE items", ... (for the message)
	std::string name;  // for the message
	std::string bytes; // what must be equal
	int field;         // the basic field it belongs to, -1 for none
	// A comment without description after the first: not the comment
	// field while it is set, and gone with it when it is cleared.
	bool secondary = false;
};

// What a write of the basic fields does: the fields it changes, and those
// of them it clears.
struct basic_change {
	bool changed[W_TL_NFIELDS] = {};
	bool cleared[W_TL_NFIELDS] = {};
};

// The proof of a file whose tags no walker of ours reads raw, from the
// items TagLib lists of the old file and of the new one: empty when every
// old item outside the changed fields is there, in its order among those
// of its name, and no item of another field appears; else what the write
// would lose ("would lose properties COMPOSER") or do.  Throws io_error.
std::string prove_listed(const file_view &old, const file_view &neo, const std::vector<tag_item> &old_items,
    const std::vector<tag_item> &new_items, const basic_change &change);

// How the file keeps its tags and its audio.
enum class layout {
	mpeg, // ID3v2 at the start, APE and ID3v1 at the end, frames between
	riff, // RIFF/WAVE or FORM/AIFF chunks
	mp4,  // atoms, the tags in moov/udta/meta/ilst
};

// Empty when neo keeps all of old outside the changed fields, else what it
// would lose ("would lose frames RVAD, TSIZ").  Throws io_error.
std::string prove_raw(layout how, const file_view &old, const file_view &neo, const basic_change &change);

// For a write of other fields than the basic ones (--all-tags): which old
// items it may take away, and which new ones it may add; every other item
// must stay.
struct item_rule {
	std::function<bool(const tag_item &)> may_lose;
	std::function<bool(const tag_item &)> may_add;
};
std::string prove_raw(layout how, const file_view &old, const file_view &neo, const item_rule &rule);

} // namespace w_tl
