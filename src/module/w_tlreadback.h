/*
 * The fields as TagLib reads them, from the file opened or from a new file
 * before it is written; and, for the formats whose tags no raw walker of
 * ours covers, everything TagLib can list of their tags.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <taglib/tfile.h>
#include <taglib/tiostream.h>

#include "w_tlmodule.h"
#include "w_tlproof.h"

namespace w_tl {

// The seven fields, texts in UTF-8.
struct fields {
	std::string text[W_TL_NFIELDS];
	unsigned int number[W_TL_NFIELDS] = {};
};

// Reads the seven fields as the user is shown them.  The comment of an
// ID3v2 tag is its comment frame without a description (a described one
// is another kind of comment, which setting the field leaves alone).
void read_fields(TagLib::File *file, fields *out);

// Every item TagLib lists of the file's tags: its property map, the data
// it does not map, and the items of the format's own tags.
std::vector<tag_item> taglib_items(TagLib::File *file);

// A read-only stream over a view of a file.
class view_stream : public TagLib::IOStream {
public:
	view_stream(const file_view &view, std::string name) : view_(view), name_(std::move(name)) {}

	TagLib::FileName name() const override { return name_.c_str(); }
	TagLib::ByteVector readBlock(unsigned long length) override;
	void writeBlock(const TagLib::ByteVector &) override {}
	void insert(const TagLib::ByteVector &, unsigned long, unsigned long) override {}
	void removeBlock(unsigned long, unsigned long) override {}
	bool readOnly() const override { return true; }
	bool isOpen() const override { return true; }
	void seek(long offset, Position p) override;
	long tell() const override { return static_cast<long>(pos_); }
	long length() override { return static_cast<long>(view_.size()); }
	void truncate(long) override {}

private:
	const file_view &view_;
	std::string name_;
	std::uint64_t pos_ = 0;
};

} // namespace w_tl
