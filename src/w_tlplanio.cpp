#include "w_tlplanio.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "w_fileio.h"
#include "w_safefile.h"

namespace {

// True when the new file keeps every old byte at its place: only new
// bytes over old ones, and the same size.
bool
fits_in_place(const w_tlplan &plan)
{
	if (plan.new_size != plan.old_size)
		return false;
	std::uint64_t at = 0;
	for (std::size_t i = 0; i < plan.count; i++) {
		const w_tlpiece &p = plan.pieces[i];
		if (p.data == nullptr && p.offset != at)
			return false;
		at += p.length;
	}
	return true;
}

// Writes the new bytes over the old ones.  When a write fails, the bytes
// already written are put back, so the file stays as it was.  The file
// must still be id, the one TagLib read; once written, id is what it is.
int
write_in_place(const char *path, const w_tlplan &plan, w_fileid &id)
{
	// Closed on every way out, a thrown bad_alloc included; the close
	// that ends a write is checked below.
	struct fd_holder {
		int fd;
		~fd_holder()
		{
			if (fd != -1) {
				const int saved = errno;
				close(fd);
				errno = saved;
			}
		}
	} held{open(path, O_WRONLY | O_CLOEXEC)};
	const int fd = held.fd;
	if (fd == -1)
		return -1;
	// Through the descriptor that writes: the name must still lead to
	// the file TagLib read, unchanged.
	if (w_fileid_check(fd, id) == -1)
		return -1;
	if (w_safefile_rehearsing())
		return 0; // closed by the holder; the file is as it was
	struct undo {
		std::uint64_t at;
		std::vector<unsigned char> old;
	};
	std::vector<undo> done;
	std::uint64_t at = 0;
	bool ok = true;
	for (std::size_t i = 0; ok && i < plan.count; at += plan.pieces[i].length, i++) {
		const w_tlpiece &p = plan.pieces[i];
		if (p.data == nullptr)
			continue;
		// Memory running out half way is a failed write like any other:
		// what was written already is put back.
		try {
			std::vector<unsigned char> old(p.length);
			if (!w_pread_all(plan.fd, old.data(), old.size(), static_cast<off_t>(at))) {
				ok = false;
				break;
			}
			if (std::memcmp(old.data(), p.data, p.length) == 0)
				continue; // TagLib rewrote what was there
			done.push_back({at, std::move(old)});
		} catch (const std::bad_alloc &) {
			errno = ENOMEM;
			ok = false;
			break;
		}
		ok = w_pwrite_all(fd, p.data, p.length, static_cast<off_t>(at));
	}
	int saved = errno;
	if (!ok) {
		for (const undo &u : done)
			(void)w_pwrite_all(fd, u.old.data(), u.old.size(), static_cast<off_t>(u.at));
	}
	// Our own write must not make a later one in this run (after a
	// rename that was declined) take the file for changed.
	if (ok && w_fileid_take(fd, id) == -1) {
		ok = false;
		saved = errno;
	}
	held.fd = -1;
	if (close(fd) == -1 && ok) {
		ok = false;
		saved = errno;
	}
	errno = saved;
	return ok ? 0 : -1;
}

// Builds the whole new file beside the old one and puts it in its place
// once it is on the disk, if the file is then still id; id then becomes
// the copy.
int
write_copy(const char *path, const w_tlplan &plan, w_fileid &id)
{
	std::string target = w_write_target(path);
	if (target.empty())
		return -1;
	w_tempfile tmp;
	if (tmp.create(target) == -1)
		return -1;
	tmp.expect(id);
	FILE *out = tmp.stream();
	std::vector<unsigned char> buf(1 << 16);
	for (std::size_t i = 0; i < plan.count; i++) {
		const w_tlpiece &p = plan.pieces[i];
		if (p.data != nullptr) {
			if (std::fwrite(p.data, 1, p.length, out) != p.length)
				return -1;
			continue;
		}
		for (std::uint64_t off = 0; off < p.length;) {
			std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), p.length - off));
			if (!w_pread_all(plan.fd, buf.data(), n, static_cast<off_t>(p.offset + off)) ||
			    std::fwrite(buf.data(), 1, n, out) != n)
				return -1;
			off += n;
		}
	}
	if (tmp.commit() == -1)
		return -1;
	id = tmp.identity();
	return 0;
}

} // namespace

int
w_tlplan_write(const char *path, const w_tlplan &plan, w_fileid &id)
{
	if (w_fileid_check(plan.fd, id) == -1)
		return -1;
	return fits_in_place(plan) ? write_in_place(path, plan, id) : write_copy(path, plan, id);
}

