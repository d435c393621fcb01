/*
 * The header pages of an Ogg file's first logical stream: reading the ones
 * the file holds, and laying out the ones a write puts in their place.
 *
 * Both ways of writing (a copy of the whole file, or the header pages
 * replaced where they stand) read the headers and plan the new pages here,
 * so that a write in place gives the very pages a copy would; they share
 * what they know of the codec and how a failure is told from here too.
 * Both sit above this, and w_oggfile, which chooses between them, above
 * them.
 */
#pragma once

#include "w_contract.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <ogg/ogg.h>

// Where the fields of a page header sit.
namespace w_oggpage {
constexpr std::size_t flags_at = 5, granule_at = 6, serial_at = 14, seqno_at = 18, crc_at = 22,
		      segments_at = 26, header = 27;
constexpr unsigned char continued = 0x01, bos = 0x02, eos = 0x04;
// The biggest page there is: its header, 255 lacing values, 255 * 255 bytes.
constexpr std::size_t max_size = header + 255 + 255 * 255;

void put_le32(unsigned char *p, std::uint32_t v);
// Sets the checksum of the whole page held in page.
void set_checksum(unsigned char *page, std::size_t size);
} // namespace w_oggpage

/*
 * The pages of a file, in order, through libogg's page reader; bytes that
 * form no page are skipped.  The input comes from pull, which puts up to
 * len bytes into buf and returns how many: 0 at the end, -1 on an error
 * (errno set).
 */
class w_oggpages {
public:
	using pull_fn = std::function<long(char *buf, long len)>;
	w_oggpages(pull_fn pull, long step);
	~w_oggpages();
	w_oggpages(const w_oggpages &) = delete;
	w_oggpages &operator=(const w_oggpages &) = delete;

	// 1 with the next page in og (valid until the next call), 0 at the end
	// of the input, -1 on a read error or when memory runs out.
	int next(ogg_page &og);
	// Where the page next returned begins in the input.
	off_t offset() const noexcept { return offset_; }

private:
	pull_fn pull_;
	long step_;
	ogg_sync_state oy_;
	off_t fed_ = 0;    // bytes handed to the reader so far
	off_t offset_ = 0;
	bool ended_ = false;
};

// A page of the file as it was read.
struct w_oggpage_copy {
	off_t offset = 0;
	std::string bytes; // header and body
};

// The header packets of the first logical stream and the pages that hold
// them.
struct w_oggheads {
	int serial = 0;
	std::vector<std::string> packets;
	std::vector<w_oggpage_copy> pages;
	// What follows the last header on its page: the lacing values and the
	// bytes of the packets (audio) that share it.
	std::string rest_lacing, rest_body;
	bool eos = false;           // the last header page ends the stream
	std::int64_t next_page = 0; // the number a page after them would have
	// Why the pages cannot be rewritten; null for a failure of the system
	// (errno), which may also come from check.
	const char *refused = nullptr;
};

// 0 when header packet n (0 for the first) is sound, -1 when it is not (or
// errno ENOMEM when memory ran out looking at it).
using w_oggheads_check = std::function<int(unsigned n, const ogg_packet &op)>;

// Reads the first count header packets of the first logical stream from
// in, which has not given a page yet.  0, or -1 with h.refused set (a file
// that begins no stream, a header check refuses, a stream or file that ends
// inside the headers, a page missing or of another stream among them), or
// with errno set.
int w_oggheads_read(w_oggpages &in, unsigned count, const w_oggheads_check &check, w_oggheads &h);

// The pages that take the place of h.pages: the header packets, comment in
// place of the second, on pages of their own as libogg lays them out from
// number 0, and whatever followed the last header on a page of its own with
// that page's flags and granule position.  Every later page of the stream
// moves by delta.  0, or -1 with errno ENOMEM.
int w_oggplan_pages(const w_oggheads &h, const std::string &comment, std::vector<std::string> &pages,
    std::int64_t &delta);

// What a write needs to know of the codec.
struct w_oggplan_codec {
	unsigned headers = 0; // header packets at the start of a stream, 2 or more
	// Whether header packet n of the file is sound (see w_oggheads_check).
	w_oggheads_check check;
	// The new comment header made from the old one, without padding; 0,
	// or -1 with errno set.  may_pad says whether bytes the readers skip
	// may follow it (the codec's padding, zero bytes).
	std::function<int(const std::string &old, std::string &packet, bool &may_pad)> comment;
};

// The padding a copy leaves after a comment header of size bytes, so that
// the next edit goes in place: 1024 bytes and 1% of the header, at most
// 64 KiB.
std::size_t w_oggplan_padding(std::size_t size);

// Tells the user why a write of path failed: "PATH: not written: REFUSED"
// when refused is given, else that the file changed since its tags were
// read (errno ESTALE) or the reason in errno.  -1, errno as it was.
int w_oggplan_fail(const char *path, const char *refused = nullptr);
