#include "w_oggplan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <err.h>
#include <memory>

#include "w_fileid.h"

namespace {

struct stream_clear {
	void operator()(ogg_stream_state *os) const { ogg_stream_clear(os); }
};

int
refuse(w_oggheads &h, const char *why)
{
	h.refused = why;
	errno = EINVAL;
	return -1;
}

} // namespace

void
w_oggpage::put_le32(unsigned char *p, std::uint32_t v)
{
	for (int i = 0; i < 4; i++)
		p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void
w_oggpage::set_checksum(unsigned char *page, std::size_t size)
{
	assert(size >= header && size >= header + page[segments_at]);
	ogg_page og;
	og.header = page;
	og.header_len = static_cast<long>(header + page[segments_at]);
	og.body = page + og.header_len;
	og.body_len = static_cast<long>(size) - og.header_len;
	ogg_page_checksum_set(&og);
}

w_oggpages::w_oggpages(pull_fn pull, long step) : pull_(std::move(pull)), step_(step)
{
	ogg_sync_init(&oy_);
}

w_oggpages::~w_oggpages()
{
	ogg_sync_clear(&oy_);
}

int
w_oggpages::next(ogg_page &og)
{
	for (;;) {
		int r = ogg_sync_pageout(&oy_, &og);
		if (r == 1) {
			const off_t unread = oy_.fill - oy_.returned;
			offset_ = fed_ - unread - og.header_len - og.body_len;
			return 1;
		}
		// -1: bytes were skipped to find the next page; a page may
		// still follow in what has been read, so look again first.
		if (r < 0)
			continue;
		if (ended_)
			return 0;
		char *room = ogg_sync_buffer(&oy_, step_);
		if (room == nullptr) {
			errno = ENOMEM;
			return -1;
		}
		// A read error must not look like a file that never ends.
		long n = pull_(room, step_);
		if (n < 0)
			return -1;
		if (n == 0)
			ended_ = true;
		if (ogg_sync_wrote(&oy_, n) == -1) {
			errno = EIO;
			return -1;
		}
		fed_ += n;
	}
}

int
w_oggheads_read(w_oggpages &in, unsigned count, const w_oggheads_check &check, w_oggheads &h)
{
	assert(count >= 2);
	ogg_page og;
	int got = in.next(og);
	if (got == -1)
		return -1;
	if (got == 0 || !ogg_page_bos(&og))
		return refuse(h, "no stream begins the file");
	h.serial = ogg_page_serialno(&og);
	ogg_stream_state is;
	if (ogg_stream_init(&is, h.serial) == -1) {
		errno = ENOMEM;
		return -1;
	}
	std::unique_ptr<ogg_stream_state, stream_clear> is_guard(&is);

	for (;;) {
		// Fails for a page of another serial number: interleaved
		// streams cannot be rewritten.
		if (ogg_stream_pagein(&is, &og) == -1)
			return refuse(h, "a page of another stream comes inside its headers");
		h.pages.push_back({in.offset(), std::string(reinterpret_cast<const char *>(og.header),
							 static_cast<std::size_t>(og.header_len))});
		h.pages.back().bytes.append(reinterpret_cast<const char *>(og.body), static_cast<std::size_t>(og.body_len));
		while (h.packets.size() < count) {
			ogg_packet op;
			int r = ogg_stream_packetout(&is, &op);
			if (r == 0)
				break;
			if (r < 0)
				return refuse(h, "a page is missing inside its headers");
			errno = 0;
			if (check(static_cast<unsigned>(h.packets.size()), op) == -1)
				return errno == ENOMEM ? -1 : refuse(h, "its headers cannot be read");
			h.packets.emplace_back(reinterpret_cast<const char *>(op.packet), static_cast<std::size_t>(op.bytes));
		}
		if (h.packets.size() == count)
			break;
		// A stream must not end before its headers do.
		if (ogg_page_eos(&og))
			return refuse(h, "its stream ends inside its headers");
		got = in.next(og);
		if (got == -1)
			return -1;
		if (got == 0)
			return refuse(h, "the file ends inside its headers");
	}

	for (long i = is.lacing_returned; i < is.lacing_fill; i++)
		h.rest_lacing += static_cast<char>(is.lacing_vals[i] & 0xff);
	h.rest_body.assign(reinterpret_cast<const char *>(is.body_data + is.body_returned),
	    static_cast<std::size_t>(is.body_fill - is.body_returned));
	h.eos = ogg_page_eos(&og) != 0;
	h.next_page = ogg_page_pageno(&og) + 1;
	return 0;
}

int
w_oggplan_pages(const w_oggheads &h, const std::string &comment, std::vector<std::string> &pages,
    std::int64_t &delta)
{
	using namespace w_oggpage;
	assert(h.packets.size() >= 2 && !h.pages.empty());
	ogg_stream_state os;
	if (ogg_stream_init(&os, h.serial) == -1) {
		errno = ENOMEM;
		return -1;
	}
	std::unique_ptr<ogg_stream_state, stream_clear> os_guard(&os);
	for (std::size_t n = 0; n < h.packets.size(); n++) {
		const std::string &p = n == 1 ? comment : h.packets[n];
		ogg_packet op{};
		op.packet = reinterpret_cast<unsigned char *>(const_cast<char *>(p.data()));
		op.bytes = static_cast<long>(p.size());
		op.b_o_s = n == 0;
		op.granulepos = 0;
		op.packetno = static_cast<ogg_int64_t>(n);
		if (ogg_stream_packetin(&os, &op) == -1) {
			errno = ENOMEM;
			return -1;
		}
	}
	// A stream of nothing but headers still ends.
	if (h.rest_lacing.empty() && h.eos)
		os.e_o_s = 1;
	pages.clear();
	ogg_page og;
	while (ogg_stream_flush(&os, &og) != 0) {
		std::string page(reinterpret_cast<const char *>(og.header), static_cast<std::size_t>(og.header_len));
		page.append(reinterpret_cast<const char *>(og.body), static_cast<std::size_t>(og.body_len));
		pages.push_back(std::move(page));
	}

	if (!h.rest_lacing.empty()) {
		// The audio that shared the last header page, on a page of its
		// own: its position belongs to the last packet it ends, and a
		// page that ends none has none.
		const std::string &last = h.pages.back().bytes;
		std::string page = last.substr(0, header);
		page[flags_at] = static_cast<char>(h.eos ? eos : 0);
		page[segments_at] = static_cast<char>(h.rest_lacing.size());
		bool ends_packet = false;
		for (char v : h.rest_lacing)
			ends_packet = ends_packet || static_cast<unsigned char>(v) < 255;
		if (!ends_packet)
			page.replace(granule_at, 8, 8, '\xff');
		page += h.rest_lacing;
		page += h.rest_body;
		auto *p = reinterpret_cast<unsigned char *>(page.data());
		put_le32(p + seqno_at, static_cast<std::uint32_t>(pages.size()));
		set_checksum(p, page.size());
		pages.push_back(std::move(page));
	}
	delta = static_cast<std::int64_t>(pages.size()) - h.next_page;
	return 0;
}

std::size_t
w_oggplan_padding(std::size_t size)
{
	return std::min<std::size_t>(1024 + size / 100, 64 * 1024);
}

int
w_oggplan_fail(const char *path, const char *refused)
{
	assert(path != NULL);
	const int saved = errno;
	if (refused != nullptr)
		warnx("%s: not written: %s", path, refused);
	else if (saved == ESTALE)
		w_fileid_warn(path);
	else
		warn("%s", path);
	errno = saved;
	return -1;
}
