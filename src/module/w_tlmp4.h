/*
 * The atoms of an MP4 file, walked raw, and the places a file points to
 * within itself: chunk offsets (stco, co64), fragments' base offsets
 * (tfhd), the fragment index (tfra), segment indexes (sidx) and auxiliary
 * information (saio).  Moving the media moves all of these; the fix-up of
 * a write updates them and its proof checks each one.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "w_tlproof.h"

namespace w_tl::mp4 {

struct atom {
	std::string type;
	std::uint64_t pos;  // of its header
	std::uint64_t size; // header included
	std::uint64_t body; // where its contents start
	std::uint64_t end() const { return pos + size; }
};

// The atoms from start to end; false when one runs past end.
bool atoms(const file_view &f, std::uint64_t start, std::uint64_t end, std::vector<atom> *out);

// The children of a container (a meta atom's after its version and flags).
bool children(const file_view &f, const atom &a, std::vector<atom> *out);

// Atoms that only pad: a write may grow, shrink, add or drop them.
bool padding(const std::string &type);

// A type as messages show it.
std::string atom_name(const std::string &type);

// A place the file points to, and where the number that says so is.
struct pointer {
	std::uint64_t at;     // the number's offset in the file; 0 when the
			      // place follows from others (a segment index's
			      // later references)
	unsigned width;       // 4 or 8 bytes, big-endian
	std::uint64_t place;  // the offset in the file it stands for
	std::uint64_t anchor; // the number is place - anchor
};

// The pointers held in the atom a, at any depth: those of a moov atom
// (chunk offsets, and auxiliary information of the sample tables), or of
// a top-level moof, mfra or sidx atom; in_stbl when a is in a sample
// table.  False when a's contents that hold them cannot be walked.
bool pointers(const file_view &f, const atom &a, std::vector<pointer> *out, bool in_stbl = false);

// Where the top-level atoms beside moov went: a place in one of them (not
// in moov, nor in padding) has the same place in its counterpart.
class placement {
public:
	// False when the two files do not hold the same atoms beside moov, in
	// the same order and of the same sizes.
	bool build(const file_view &old, const file_view &neo);
	// The new place of an old one; false when it has none.
	bool place(std::uint64_t old_place, std::uint64_t *new_place) const;

	const std::vector<atom> &old_top() const { return old_; }
	const std::vector<atom> &new_top() const { return new_; }
	const atom &old_moov() const { return old_moov_; }
	const atom &new_moov() const { return new_moov_; }

private:
	std::vector<atom> old_, new_; // beside moov, without padding
	atom old_moov_{}, new_moov_{};
};

} // namespace w_tl::mp4
