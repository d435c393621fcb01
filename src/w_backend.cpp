#include "w_backend.h"

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

// Reads exactly n bytes at offset.
bool
read_at(int fd, void *buf, std::size_t n, off_t offset)
{
	return pread(fd, buf, n, offset) == static_cast<ssize_t>(n);
}

// "fLaC" at the start, or right after an ID3v2 tag.
bool
starts_like_flac(int fd)
{
	unsigned char b[10];
	if (!read_at(fd, b, 4, 0))
		return false;
	if (std::memcmp(b, "fLaC", 4) == 0)
		return true;
	if (std::memcmp(b, "ID3", 3) != 0 || !read_at(fd, b, 10, 0))
		return false;
	std::uint32_t size = 0;
	for (int i = 6; i < 10; i++)
		size = (size << 7) | (b[i] & 0x7f);
	off_t at = 10 + static_cast<off_t>(size) + ((b[5] & 0x10) != 0 ? 10 : 0);
	return read_at(fd, b, 4, at) && std::memcmp(b, "fLaC", 4) == 0;
}

// Whether the first packet of the first Ogg page (the first stream's
// header) starts with magic.
bool
ogg_first_packet_is(int fd, const char *magic, std::size_t len)
{
	unsigned char page[27 + 255];
	if (!read_at(fd, page, 27, 0) || std::memcmp(page, "OggS", 4) != 0)
		return false;
	std::size_t segments = page[26];
	unsigned char packet[16];
	return len <= sizeof(packet) && read_at(fd, packet, len, static_cast<off_t>(27 + segments)) &&
	    std::memcmp(packet, magic, len) == 0;
}

bool
starts_like_ogg_vorbis(int fd)
{
	return ogg_first_packet_is(fd, "\x01vorbis", 7);
}

bool
starts_like_ogg_opus(int fd)
{
	return ogg_first_packet_is(fd, "OpusHead", 8);
}

// Which backend owns which first bytes.  Ogg streams of other codecs are
// left to whatever backend takes them.
const struct {
	struct w_backend *(*accessor)(void);
	bool (*announced)(int fd);
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
		int fd = open(path, O_RDONLY | O_CLOEXEC);
		if (fd == -1)
			return false;
		bool announced = c.announced(fd);
		close(fd);
		return announced;
	}
	return false;
}
