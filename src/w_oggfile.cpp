#include "w_oggfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_backend.h"
#include "w_fileio.h"
#include "w_safefile.h"
#include "w_oggcopy.h"
#include "w_ogginplace.h"
#include "w_taglist.h"
#include "w_toolkit.h"
#include "w_vcomment.h"

namespace {

// Where the fields of a page header sit.
using w_oggpage::header;
using w_oggpage::segments_at;

struct sync_clear {
	void operator()(ogg_sync_state *oy) const { ogg_sync_clear(oy); }
};
struct stream_clear {
	void operator()(ogg_stream_state *os) const { ogg_stream_clear(os); }
};

class fd_guard {
public:
	explicit fd_guard(int fd) : fd_(fd) {}
	~fd_guard() { close(fd_); }
	fd_guard(const fd_guard &) = delete;
	fd_guard &operator=(const fd_guard &) = delete;

private:
	int fd_;
};

/*
 * The first header packets of a file whose first complete page is cut
 * short: the file may still plainly begin the codec's stream, and then it
 * is the codec's file, cut inside its headers.
 */
w_oggfile_probe
probe_cut_page(const ogg_sync_state &oy, const w_oggfile_check &check)
{
	const unsigned char *p = oy.data + oy.returned;
	std::size_t len = static_cast<std::size_t>(oy.fill - oy.returned);
	if (len < header || std::memcmp(p, "OggS", 4) != 0)
		return w_oggfile_probe::foreign;
	std::size_t body = header + p[segments_at];
	if (len <= body)
		return w_oggfile_probe::foreign;
	ogg_packet op{};
	op.packet = const_cast<unsigned char *>(p + body);
	op.bytes = static_cast<long>(len - body);
	op.b_o_s = 1;
	return check(0, op) == w_oggfile_probe::foreign ? w_oggfile_probe::foreign
							  : w_oggfile_probe::truncated;
}

} // namespace

w_oggfile_probe
w_oggfile_headers(const char *path, unsigned count, const w_oggfile_check &check, w_fileid &id)
{
	assert(path != NULL);
	// As far as a decoder looks for the first page in a file.
	constexpr std::size_t search_limit = 64 * 1024;
	constexpr std::size_t step = 4096;
	using probe = w_oggfile_probe;

	// The first bytes may come from an earlier backend of the probe; the
	// file is opened only when more are needed.
	const unsigned char *head = nullptr;
	const std::size_t head_len = w_backend_probe_head(path, &head);
	bool head_taken = head_len == 0;
	w_file_ptr in;
	// The tune's descriptor, when it probes the file, serves what the first
	// bytes do not hold.
	struct stat st;
	const int lent = w_backend_probe_fd(path, &st);
	off_t lent_at = static_cast<off_t>(head_len);
	// What the file is as its tags are read: taken before reading, so that
	// a change made while it is read shows too.
	if (lent != -1) {
		id = w_fileid_of(st);
	} else if (head_len == 0) {
		in.reset(std::fopen(path, "rbe"));
		if (!in || w_fileid_take(fileno(in.get()), id) == -1)
			return probe::foreign;
	} else if (w_fileid_take(path, id) == -1) {
		return probe::foreign;
	}
	ogg_sync_state oy;
	ogg_sync_init(&oy);
	std::unique_ptr<ogg_sync_state, sync_clear> oy_guard(&oy);
	ogg_stream_state os;
	std::unique_ptr<ogg_stream_state, stream_clear> os_guard;
	std::size_t scanned = 0;
	unsigned n = 0;
	// Once the first packet is the codec's, every failure is reported as
	// the codec's file gone wrong.  So is one before, when the first page
	// begins with the codec's first header: a decoder takes no stream
	// from the file, but it is plainly the codec's, and is told why.
	std::string first_body;
	bool first_numbered = true; // the first page is numbered 0
	auto codecs = [&] {
		ogg_packet op{};
		op.packet = reinterpret_cast<unsigned char *>(first_body.data());
		op.bytes = static_cast<long>(first_body.size());
		op.b_o_s = 1;
		return !first_body.empty() && check(0, op) != probe::foreign;
	};
	auto fault = [&](probe p) {
		if (n > 0)
			return p;
		if (!codecs())
			return probe::foreign;
		return first_numbered ? p : probe::misnumbered;
	};
	while (n < count) {
		ogg_page og;
		int r = ogg_sync_pageout(&oy, &og);
		if (r < 0)
			continue; // bytes skipped to find a page
		if (r == 0) {
			if (!os_guard && scanned >= search_limit)
				return probe::foreign;
			char *room = ogg_sync_buffer(&oy, static_cast<long>(std::max(step, head_len)));
			if (room == nullptr) {
				errno = ENOMEM;
				return probe::failed;
			}
			std::size_t got;
			if (!head_taken) {
				std::memcpy(room, head, head_len);
				got = head_len;
				head_taken = true;
			} else if (lent != -1) {
				const ssize_t r = lent_at >= st.st_size ? 0 : w_pread_upto(lent, room, step, lent_at);
				if (r == -1)
					return n == 0 ? probe::foreign : probe::failed;
				got = static_cast<std::size_t>(r);
				lent_at += r;
			} else {
				if (!in) {
					in.reset(std::fopen(path, "rbe"));
					if (!in || fseeko(in.get(), static_cast<off_t>(head_len), SEEK_SET) != 0)
						return n == 0 ? probe::foreign : probe::failed;
				}
				got = std::fread(room, 1, step, in.get());
				if (std::ferror(in.get()))
					return n == 0 ? probe::foreign : probe::failed;
			}
			if (got == 0) {
				if (!os_guard)
					return probe_cut_page(oy, check);
				return fault(probe::truncated);
			}
			ogg_sync_wrote(&oy, static_cast<long>(got));
			scanned += got;
			continue;
		}
		if (!os_guard) {
			first_body.assign(reinterpret_cast<const char *>(og.body),
			    static_cast<std::size_t>(std::min<long>(og.body_len, 4096)));
			first_numbered = ogg_page_pageno(&og) == 0;
			// The first page begins the first logical stream.
			if (!ogg_page_bos(&og))
				return codecs() ? probe::unbegun : probe::foreign;
			if (ogg_stream_init(&os, ogg_page_serialno(&og)) != 0) {
				errno = ENOMEM;
				return probe::failed;
			}
			os_guard.reset(&os);
		}
		if (ogg_page_serialno(&og) != os.serialno)
			continue; // another stream's page
		if (ogg_stream_pagein(&os, &og) != 0)
			return fault(probe::damaged);
		ogg_packet op;
		while (n < count && (r = ogg_stream_packetout(&os, &op)) != 0) {
			if (r < 0)
				return fault(probe::damaged); // a page missing
			probe p = check(n, op);
			if (p != probe::ok)
				return p == probe::foreign ? fault(probe::damaged) : p;
			n++;
		}
		if (n < count && ogg_page_eos(&og))
			return fault(probe::truncated);
	}
	return probe::ok;
}

int
w_oggfile_write(const char *path, w_fileid &id, const w_oggplan_codec &codec)
{
	assert(path != NULL);
	assert(codec.headers >= 2);

	// A symbolic link stays a link: the file it names is written.
	std::string target = w_write_target(path);
	if (target.empty()) {
		int saved = errno;
		warn("%s", path);
		errno = saved;
		return -1;
	}
	// Opened for writing only to write in place: a file the user may not
	// write to, in a directory they may, is still written through a copy.
	int fd = open(target.c_str(), O_RDWR | O_CLOEXEC);
	// Each way checks that the file is still id just before it writes.
	if (fd != -1) {
		fd_guard guard(fd);
		int r;
		try {
			r = w_ogginplace_write(fd, path, id, codec);
		} catch (const std::bad_alloc &) {
			r = 0; // the copy needs less memory at a time
		}
		if (r != 0)
			return r == 1 ? 0 : -1;
	}
	return w_oggcopy_write(path, target, id, codec);
}

void
w_oggfile_warn(const char *path, w_oggfile_probe p, const char *codec, const char *header)
{
	assert(path != NULL);
	switch (p) {
	case w_oggfile_probe::ok:
	case w_oggfile_probe::foreign:
		break;
	case w_oggfile_probe::damaged:
		warnx("%s: damaged %s", path, header);
		break;
	case w_oggfile_probe::truncated:
		warnx("%s: file ends inside its %s headers", path, codec);
		break;
	case w_oggfile_probe::unbegun:
		warnx("%s: first page lacks the begin-of-stream flag", path);
		break;
	case w_oggfile_probe::misnumbered:
		warnx("%s: first page is numbered as if pages before it were missing", path);
		break;
	case w_oggfile_probe::failed:
		warn("%s", path);
		break;
	}
}

struct w_taglist *
w_oggfile_tags(std::size_t count, const std::function<std::string_view(std::size_t)> &entry)
{
	struct w_taglist *tlist = w_taglist_new();
	if (tlist == nullptr)
		return nullptr;
	// Entries are counted bytes: one the tags cannot hold whole fails the
	// read, so that no write can lose it.
	for (std::size_t i = 0; i < count; i++) {
		std::string_view e = entry(i);
		// Pictures stay out of the tags; a write keeps them as they are.
		if (w_vcomment_picture(e) && e.find('=') != std::string_view::npos &&
		    e.find('\0') == std::string_view::npos)
			continue;
		if (w_vcomment_insert(tlist, e.data(), e.size()) == -1) {
			int saved = errno;
			w_taglist_destroy(tlist);
			errno = saved;
			return nullptr;
		}
	}
	return tlist;
}

int
w_oggfile_last_granule(const char *path, std::int64_t *granule, std::uint64_t *size)
{
	assert(path != NULL);
	assert(granule != NULL);
	assert(size != NULL);

	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd == -1)
		return -1;
	fd_guard guard(fd);
	struct stat st;
	if (fstat(fd, &st) == -1)
		return -1;
	unsigned char first[27];
	if (w_pread_upto(fd, first, sizeof first, 0) != static_cast<ssize_t>(sizeof first) ||
	    std::memcmp(first, "OggS", 4) != 0) {
		errno = EINVAL;
		return -1;
	}
	const std::uint32_t serial = static_cast<std::uint32_t>(first[14]) | static_cast<std::uint32_t>(first[15]) << 8 |
	    static_cast<std::uint32_t>(first[16]) << 16 | static_cast<std::uint32_t>(first[17]) << 24;
	*size = static_cast<std::uint64_t>(st.st_size);

	// A window overlaps the one after it by a page's greatest size, so
	// that a page cut by one window's start is whole in the next one.
	constexpr off_t window = 64 * 1024, page_max = 65307;
	std::vector<unsigned char> buf;
	try {
		buf.resize(static_cast<std::size_t>(window + page_max));
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
	for (off_t end = st.st_size; end > 0;) {
		const off_t start = end > window ? end - window : 0;
		const off_t stop = std::min<off_t>(st.st_size, end + page_max);
		const ssize_t got = w_pread_upto(fd, buf.data(), static_cast<std::size_t>(stop - start), start);
		if (got == -1)
			return -1;
		ogg_sync_state oy;
		ogg_sync_init(&oy);
		std::unique_ptr<ogg_sync_state, sync_clear> oy_guard(&oy);
		char *in = ogg_sync_buffer(&oy, got);
		if (in == nullptr) {
			errno = ENOMEM;
			return -1;
		}
		std::memcpy(in, buf.data(), static_cast<std::size_t>(got));
		ogg_sync_wrote(&oy, got);
		bool found = false;
		ogg_page og;
		for (int r; (r = ogg_sync_pageseek(&oy, &og)) != 0;) {
			if (r < 0)
				continue;
			if (static_cast<std::uint32_t>(ogg_page_serialno(&og)) == serial && ogg_page_granulepos(&og) != -1) {
				*granule = ogg_page_granulepos(&og);
				found = true;
			}
		}
		if (found)
			return 0;
		end = start;
	}
	errno = ENOENT;
	return -1;
}
