/*
 * What the proofs of the three layouts share: the numbers in their
 * headers, the verdict they build, the comparison of two files' items, and
 * the items of an ID3v2 tag, which an MPEG file and a RIFF chunk both hold.
 */
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "w_tlproof.h"

namespace w_tl {

inline std::uint32_t
be32(const std::string &s, std::size_t at)
{
	const auto *b = reinterpret_cast<const unsigned char *>(s.data()) + at;
	return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

inline std::uint32_t
le32(const std::string &s, std::size_t at)
{
	const auto *b = reinterpret_cast<const unsigned char *>(s.data()) + at;
	return (std::uint32_t{b[3]} << 24) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[1]} << 8) | b[0];
}

// ---- Items, and what a write may do to them ----

// A name from a tag as messages show it: escaped as paths are.
std::string escaped(const std::string &name);

// Where the proof stands: what would be lost, or what else is wrong.
struct verdict {
	std::vector<std::pair<const char *, std::vector<std::string>>> lost;
	std::string other;

	void lose(const char *kind, const std::string &name)
	{
		auto it = std::find_if(lost.begin(), lost.end(), [&](const auto &l) { return l.first == kind; });
		if (it == lost.end()) {
			lost.emplace_back(kind, std::vector<std::string>{});
			it = lost.end() - 1;
		}
		const std::string shown = escaped(name);
		if (std::find(it->second.begin(), it->second.end(), shown) == it->second.end())
			it->second.push_back(shown);
	}
	void fail(const std::string &why)
	{
		if (other.empty())
			other = why;
	}
	std::string text() const
	{
		if (!lost.empty()) {
			std::string s = "would lose";
			for (const auto &[kind, names] : lost) {
				s += (&kind == &lost.front().first ? " " : "; ") + std::string(kind);
				for (std::size_t i = 0; i < names.size(); i++)
					s += (i == 0 ? " " : ", ") + names[i];
			}
			return s;
		}
		return other;
	}
};

// Every old item outside the changed fields must be among the new ones,
// and a new item belongs to one of the fields, whose values are checked
// once the new file is read back.
void compare(const std::vector<tag_item> &old, const std::vector<tag_item> &neo, const item_rule &rule, verdict *v);

// The tag whose header is at the start of head, its whole size from the
// header (0: no tag there).
std::uint64_t id3v2_size(const std::string &head);

bool id3v2_items(const std::string &tag, std::vector<tag_item> *out);

// The header of an ASF file and its content description: five strings,
// each as stored (UTF-16 with its terminator), or not stored at all.
struct asf_description {
	std::uint64_t header_size = 0;
	std::uint32_t objects = 0;
	std::uint64_t pos = 0, size = 0; // of the object; size 0 when none
	bool present[5] = {};
	std::string text[5];
	std::uint64_t properties = 0; // where the file properties are, 0 if nowhere
	std::uint64_t file_size = 0;  // the file's size, as they state it
};
// The basic field each of the five strings is, -1 for none.
extern const int asf_fields[5];
// False when f is no ASF file, or its header objects do not add up.
bool asf_header(const file_view &f, asf_description *d);

// The proof of each layout, into *v.  They throw io_error.
void prove_mpeg(const file_view &old, const file_view &neo, const item_rule &rule, verdict *v);
void prove_riff(const file_view &old, const file_view &neo, const item_rule &rule, verdict *v);
void prove_mp4(const file_view &old, const file_view &neo, const item_rule &rule, verdict *v);
// The content description of an ASF file, which TagLib does not list.
void prove_asf(const file_view &old, const file_view &neo, const basic_change &change, verdict *v);

} // namespace w_tl
