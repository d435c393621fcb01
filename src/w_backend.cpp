#include "w_backend.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "w_ftflac.h"
#include "w_ftoggopus.h"
#include "w_ftoggvorbis.h"
#include "w_fttaglib.h"

struct w_backendQ *
w_all_backends(void)
{
	static struct w_backendQ registry = TAILQ_HEAD_INITIALIZER(registry);
	static bool built = false;

	if (!built) {
		// Probe order matters: TagLib also opens FLAC and Ogg files, but
		// only through its seven basic fields, so it comes last.
		struct w_backend *(*accessors[])(void) = {
			w_ftflac_backend,
			w_ftoggvorbis_backend,
			w_ftoggopus_backend,
			w_fttaglib_backend,
		};
		for (auto accessor : accessors)
			TAILQ_INSERT_TAIL(&registry, accessor(), entries);
		built = true;
	}
	return &registry;
}

namespace {

struct probe_state {
	const char *path = nullptr; // the path being probed, or null
	unsigned char head[w_backend_probe_size];
	std::size_t len = 0;
	int fd = -1; // lent by the tune, owned here until taken
	struct stat st = {};
	bool writable = false;
};

probe_state probe;

// The file being claimed: its first bytes from the probe when they hold
// what is asked for, else read from the file, opened on first need.
class claim_reader {
public:
	explicit claim_reader(const char *path) : path_(path)
	{
		len_ = w_backend_probe_head(path, &head_);
		struct stat st;
		whole_ = len_ > 0 && w_backend_probe_fd(path, &st) != -1 &&
		    static_cast<off_t>(len_) == st.st_size;
	}
	~claim_reader()
	{
		if (fd_ >= 0 && owned_)
			close(fd_);
	}
	claim_reader(const claim_reader &) = delete;
	claim_reader &operator=(const claim_reader &) = delete;

	// Reads exactly n bytes at offset.
	bool read_at(void *buf, std::size_t n, off_t offset)
	{
		return read_some(buf, n, offset) == n;
	}

	// Reads up to n bytes at offset: how many there were.
	std::size_t read_some(void *buf, std::size_t n, off_t offset)
	{
		if (offset >= 0 && static_cast<std::size_t>(offset) <= len_ &&
		    (whole_ || n <= len_ - static_cast<std::size_t>(offset))) {
			n = std::min(n, len_ - static_cast<std::size_t>(offset));
			std::memcpy(buf, head_ + offset, n);
			return n;
		}
		if (whole_)
			return 0; // beyond the end of the file
		if (fd_ == -1) {
			fd_ = w_backend_probe_fd(path_);
			if (fd_ == -1) {
				fd_ = open(path_, O_RDONLY | O_CLOEXEC);
				owned_ = true;
			}
		}
		std::size_t got = 0;
		while (fd_ >= 0 && got < n) {
			ssize_t r = pread(fd_, static_cast<char *>(buf) + got, n - got,
			    offset + static_cast<off_t>(got));
			if (r <= 0)
				break;
			got += static_cast<std::size_t>(r);
		}
		return got;
	}

private:
	const char *path_;
	const unsigned char *head_ = nullptr;
	std::size_t len_ = 0;
	int fd_ = -1;
	bool owned_ = false; // not the probe's
	bool whole_ = false; // head_ holds the whole file, as the probe opened it
};

// "fLaC" at the start, or right after an ID3v2 tag.
bool
starts_like_flac(claim_reader &in)
{
	unsigned char b[10];
	if (!in.read_at(b, 4, 0))
		return false;
	if (std::memcmp(b, "fLaC", 4) == 0)
		return true;
	if (std::memcmp(b, "ID3", 3) != 0 || !in.read_at(b, 10, 0))
		return false;
	std::uint32_t size = 0;
	for (int i = 6; i < 10; i++)
		size = (size << 7) | (b[i] & 0x7f);
	off_t at = 10 + static_cast<off_t>(size) + ((b[5] & 0x10) != 0 ? 10 : 0);
	return in.read_at(b, 4, at) && std::memcmp(b, "fLaC", 4) == 0;
}

// Whether the first packet of the first Ogg page (the first stream's
// header) starts with magic.  The first page is looked for as far as the
// Ogg backends look for it, past whatever bytes come before it.
bool
ogg_first_packet_is(claim_reader &in, const char *magic, std::size_t len)
{
	constexpr std::size_t search_limit = 64 * 1024;
	constexpr std::size_t header = 27;
	static_assert(w_backend_probe_size > header);
	unsigned char buf[w_backend_probe_size];
	for (std::size_t at = 0; at < search_limit; at += sizeof buf - header) {
		// Windows overlap by a page header, so none is missed.
		const std::size_t got = in.read_some(buf, sizeof buf, static_cast<off_t>(at));
		for (std::size_t i = 0; i + 4 <= got; i++) {
			if (std::memcmp(buf + i, "OggS", 4) != 0)
				continue;
			unsigned char page[header];
			const off_t start = static_cast<off_t>(at + i);
			if (!in.read_at(page, header, start))
				return false;
			unsigned char packet[16];
			return len <= sizeof(packet) &&
			    in.read_at(packet, len, start + static_cast<off_t>(header + page[26])) &&
			    std::memcmp(packet, magic, len) == 0;
		}
		if (got < sizeof buf)
			break;
	}
	return false;
}

bool
starts_like_ogg_vorbis(claim_reader &in)
{
	return ogg_first_packet_is(in, "\x01vorbis", 7);
}

bool
starts_like_ogg_opus(claim_reader &in)
{
	return ogg_first_packet_is(in, "OpusHead", 8);
}

// Which backend owns which first bytes.  Ogg streams of other codecs are
// left to whatever backend takes them.
const struct {
	struct w_backend *(*accessor)(void);
	bool (*announced)(claim_reader &in);
} claims[] = {
	{w_ftflac_backend, starts_like_flac},
	{w_ftoggvorbis_backend, starts_like_ogg_vorbis},
	{w_ftoggopus_backend, starts_like_ogg_opus},
};

} // namespace

bool
w_backend_claims(const struct w_backend *backend, const char *path)
{
	assert(backend != NULL);
	assert(path != NULL);

	for (const auto &c : claims) {
		if (c.accessor() != backend)
			continue;
		claim_reader in(path);
		return c.announced(in);
	}
	return false;
}

void
w_backend_probe_begin(const char *path)
{
	probe.path = path;
	probe.len = 0;
}

void
w_backend_probe_end(void)
{
	probe.path = nullptr;
	probe.len = 0;
	if (probe.fd != -1)
		close(probe.fd);
	probe.fd = -1;
}

void
w_backend_probe_lend(int fd, const struct stat &st, bool writable)
{
	assert(probe.path != NULL);
	assert(probe.fd == -1);
	probe.fd = fd;
	probe.st = st;
	probe.writable = writable;
}

namespace {

// Whether path is the one being probed (backends may pass copies of it).
bool
probing(const char *path)
{
	return path != nullptr && probe.path != nullptr &&
	    (path == probe.path || std::strcmp(path, probe.path) == 0);
}

} // namespace

void
w_backend_probe_keep(const char *path, const void *bytes, std::size_t len)
{
	if (!probing(path) || probe.len != 0)
		return;
	probe.len = std::min(len, sizeof probe.head);
	std::memcpy(probe.head, bytes, probe.len);
}

std::size_t
w_backend_probe_head(const char *path, const unsigned char **bytes)
{
	if (!probing(path) || probe.len == 0)
		return 0;
	*bytes = probe.head;
	return probe.len;
}

int
w_backend_probe_fd(const char *path, struct stat *st, bool *writable)
{
	if (!probing(path) || probe.fd == -1)
		return -1;
	if (st != nullptr)
		*st = probe.st;
	if (writable != nullptr)
		*writable = probe.writable;
	return probe.fd;
}

int
w_backend_probe_take(const char *path)
{
	const int fd = w_backend_probe_fd(path);
	if (fd != -1)
		probe.fd = -1;
	return fd;
}
