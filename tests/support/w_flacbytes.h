/* FLAC files taken apart and put together byte by byte, so that tests (and
 * fuzz targets) can build metadata no encoder makes and check what a write
 * did to a file.  No test framework is needed here. */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wt {

// One metadata block as it stands in the file.
struct flac_block {
	unsigned type = 0;
	std::string body;
	// The length the block's header declares; the body's size when unset.
	std::optional<std::uint32_t> declared = {};
};

// A FLAC file cut at its block headers.
struct flac_layout {
	std::string head = "fLaC";     // everything before the first block header
	std::vector<flac_block> blocks;
	std::string audio;             // everything after the last block
};

// Cuts a file the way libFLAC walks it: after an ID3v2 tag, if any, and
// "fLaC", from header to header by the declared lengths up to the block
// marked last.  nullopt when a header or a block runs past the end.  Each
// block's body holds exactly the declared bytes, so declared stays unset.
std::optional<flac_layout> flac_split(const std::string &file);

// The bytes of a file with the given layout; the last block, and only it,
// is marked last.
std::string flac_join(const flac_layout &layout);

// The audio frames of a FLAC file: what follows its last metadata block.
// A write that succeeded must leave them exactly as they were.
std::optional<std::string> flac_audio(const std::string &file);

// The entries of a VORBIS_COMMENT block's body, byte for byte; nullopt
// when the counts in it do not fill the body exactly.  A read that succeeds
// must give back each of them as a tag (the name lower-cased).
std::optional<std::vector<std::string>> vorbis_comment_entries(const std::string &body);

// The body of a VORBIS_COMMENT block holding the entries as they are.
std::string vorbis_comment_body(const std::vector<std::string> &entries,
    const std::string &vendor = "test vendor");

} // namespace wt
