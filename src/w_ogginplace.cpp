#include "w_ogginplace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <err.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_fileio.h"
#include "w_oggplan.h"

namespace {

using namespace w_oggpage;

// The header pages are read in steps of this size; the end of the file is
// looked at over this much, which holds any page whole.
constexpr long step = 4096;
constexpr off_t tail_size = 64 * 1024;
static_assert(static_cast<std::size_t>(tail_size) >= max_size);

// The planned pages are the old ones but for their payload and checksum,
// and the old ones follow each other from the start of the file.
bool
same_layout(const w_oggheads &h, const std::vector<std::string> &planned, std::int64_t delta)
{
	if (delta != 0 || planned.size() != h.pages.size())
		return false;
	off_t at = 0;
	for (std::size_t i = 0; i < planned.size(); i++) {
		const std::string &old = h.pages[i].bytes, &neo = planned[i];
		if (h.pages[i].offset != at || old.size() != neo.size())
			return false;
		const std::size_t header_len = header + static_cast<unsigned char>(old[segments_at]);
		if (old.compare(0, crc_at, neo, 0, crc_at) != 0 ||
		    old.compare(crc_at + 4, header_len - crc_at - 4, neo, crc_at + 4, header_len - crc_at - 4) != 0)
			return false;
		at += static_cast<off_t>(old.size());
	}
	return true;
}

// The last page of the file ends it, and ends its stream: a copy would
// leave out bytes after it, or mark it.  Looks at the last 64 KiB only.
bool
ends_cleanly(int fd, off_t size)
{
	const off_t from = std::max<off_t>(0, size - tail_size);
	std::string tail(static_cast<std::size_t>(size - from), '\0');
	if (w_pread_upto(fd, tail.data(), tail.size(), from) != static_cast<ssize_t>(tail.size()))
		return false;
	bool given = false;
	w_oggpages pages(
	    [&](char *buf, long len) -> long {
		    if (given)
			    return 0;
		    given = true;
		    std::memcpy(buf, tail.data(), std::min(tail.size(), static_cast<std::size_t>(len)));
		    return static_cast<long>(tail.size());
	    },
	    static_cast<long>(tail.size()));
	ogg_page og;
	off_t end = -1;
	bool last_eos = false;
	int r;
	while ((r = pages.next(og)) == 1) {
		end = pages.offset() + og.header_len + og.body_len;
		last_eos = ogg_page_eos(&og) != 0;
	}
	return r == 0 && from + end == size && last_eos;
}

} // namespace

int
w_ogginplace_write(int fd, const char *path, w_fileid &id, const w_oggplan_codec &codec)
{
	assert(fd >= 0);
	assert(path != NULL);

	off_t pos = 0;
	w_oggpages pages(
	    [fd, &pos](char *buf, long len) -> long {
		    ssize_t n = w_pread_upto(fd, buf, static_cast<std::size_t>(len), pos);
		    if (n > 0)
			    pos += n;
		    return n;
	    },
	    step);
	w_oggheads h;
	if (w_oggheads_read(pages, codec.headers, codec.check, h) == -1)
		return 0; // the copy tells why
	std::string comment;
	bool may_pad = false;
	if (codec.comment(h.packets[1], comment, may_pad) == -1)
		return 0;
	const std::size_t room = h.packets[1].size();
	if (comment.size() > room || (comment.size() < room && !may_pad))
		return 0;
	comment.resize(room, '\0');
	std::vector<std::string> planned;
	std::int64_t delta = 0;
	if (w_oggplan_pages(h, comment, planned, delta) == -1 || !same_layout(h, planned, delta))
		return 0;
	struct stat st;
	if (fstat(fd, &st) == -1 || !ends_cleanly(fd, st.st_size))
		return 0;

	std::string before, after;
	for (std::size_t i = 0; i < planned.size(); i++) {
		before += h.pages[i].bytes;
		after += planned[i];
	}
	// Just before the write: the file is still the one whose tags were
	// read, and the pages to be replaced are still as they were parsed.
	std::string now(before.size(), '\0');
	ssize_t got = -1;
	if (w_fileid_check(fd, id) == 0) {
		got = w_pread_upto(fd, now.data(), now.size(), 0);
		if (got != -1 && (static_cast<std::size_t>(got) != now.size() || now != before)) {
			got = -1;
			errno = ESTALE;
		}
	}
	if (got == -1)
		return w_oggplan_fail(path);
	// A rehearsal stops here: every check has passed.
	if (w_safefile_rehearsing())
		return 1;
	// One system call in the usual case; should it fail part way, the
	// bytes that did reach the file are put back as they were.
	std::size_t done = 0;
	if (after != before && !w_pwrite_all(fd, after.data(), after.size(), 0, &done)) {
		int saved = errno;
		std::size_t undone = 0;
		bool restored = done == 0 || w_pwrite_all(fd, before.data(), done, 0, &undone);
		warnx("%s: %s", path, std::strerror(saved));
		if (!restored)
			warnx("%s: its header pages could not be put back as they were", path);
		errno = saved;
		return -1;
	}
	// Our own write changed the file's times: the next write checks
	// against the file as it is now.
	(void)w_fileid_take(fd, id);
	return 1;
}
