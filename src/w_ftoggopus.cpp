#include "w_ftoggopus.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <err.h>

#include <ogg/ogg.h>

#include "w_oggfile.h"
#include "w_props.h"
#include "w_taglist.h"
#include "w_vcomment.h"

namespace {

// No Opus library is involved: libogg reads the pages and packets, and
// the two header packets are simple enough to take apart here.
const char libid[] = "libogg";

struct w_ftoggopus_data {
	const char *libid;
	std::string path;
	std::vector<std::string> comments; // of the OpusTags packet, as stored
	unsigned channels = 0, preskip = 0; // from the OpusHead packet
	w_fileid id; // what the file was when read, or as our last write left it
};

w_ftoggopus_data *
checked(void *opaque)
{
	assert(opaque != NULL);
	auto *data = static_cast<w_ftoggopus_data *>(opaque);
	assert(data->libid == libid);
	return data;
}

const char *const header_names[] = {"Opus identification header", "Opus comment header"};

std::string_view
bytes_of(const ogg_packet &op)
{
	return {reinterpret_cast<const char *>(op.packet), static_cast<std::size_t>(op.bytes)};
}

// The identification header: foreign when it is not Opus at all.
w_oggfile_probe
check_head(std::string_view p)
{
	// A first packet cut short inside the magic is this codec's, damaged:
	// the file announced Opus where the packet starts.
	if (p.size() < 8 && std::string_view("OpusHead").substr(0, p.size()) == p)
		return w_oggfile_probe::damaged;
	if (p.size() < 8 || p.substr(0, 8) != "OpusHead")
		return w_oggfile_probe::foreign;
	if (p.size() < 19)
		return w_oggfile_probe::damaged;
	auto byte = [&p](std::size_t i) { return static_cast<unsigned char>(p[i]); };
	// A version this reader does not know the layout of, or no channel.
	if ((byte(8) & 0xf0) != 0 || byte(9) == 0)
		return w_oggfile_probe::damaged;
	const unsigned channels = byte(9), family = byte(18);
	if (family == 0)
		return channels <= 2 ? w_oggfile_probe::ok : w_oggfile_probe::damaged;
	// The channel mapping table: stream and coupled counts, then one
	// entry per channel.
	if (p.size() < 21 + channels || byte(19) == 0 || byte(20) > byte(19))
		return w_oggfile_probe::damaged;
	return w_oggfile_probe::ok;
}

std::uint32_t
get_le32(std::string_view p, std::size_t at)
{
	std::uint32_t v = 0;
	for (int i = 3; i >= 0; i--)
		v = (v << 8) | static_cast<unsigned char>(p[at + static_cast<std::size_t>(i)]);
	return v;
}

void
put_le32(std::string &out, std::size_t v)
{
	for (int i = 0; i < 4; i++)
		out += static_cast<char>((v >> (8 * i)) & 0xff);
}

// The fields of an OpusTags packet; views into it.
struct opus_tags {
	std::string_view vendor;
	std::vector<std::string_view> comments;
	std::string_view binary; // what follows the comments, when kept
};

// False when the packet is not a sound OpusTags packet: a length that
// runs past its end, or more comments claimed than it can hold.
bool
parse_tags(std::string_view p, opus_tags &tags)
{
	if (p.size() < 16 || p.substr(0, 8) != "OpusTags")
		return false;
	std::size_t pos = 8;
	std::uint32_t len = get_le32(p, pos);
	pos += 4;
	if (len > p.size() - pos || p.size() - pos - len < 4)
		return false;
	tags.vendor = p.substr(pos, len);
	pos += len;
	std::uint32_t count = get_le32(p, pos);
	pos += 4;
	// Each comment takes at least its four length bytes.
	if (count > (p.size() - pos) / 4)
		return false;
	tags.comments.clear();
	tags.comments.reserve(count);
	for (std::uint32_t i = 0; i < count; i++) {
		if (p.size() - pos < 4)
			return false;
		len = get_le32(p, pos);
		pos += 4;
		if (len > p.size() - pos)
			return false;
		tags.comments.push_back(p.substr(pos, len));
		pos += len;
	}
	// Binary data after the comments is kept when its first byte has the
	// low bit set; anything else there is padding.
	tags.binary = pos < p.size() && (static_cast<unsigned char>(p[pos]) & 1) != 0 ? p.substr(pos)
										: std::string_view();
	return true;
}

// The OpusTags packet that holds the tags of tlist in list order, with the
// file's own vendor string and binary data.
void
make_tags(const opus_tags &old, const std::vector<std::string> &entries, std::string &packet)
{
	std::size_t size = 8 + 4 + old.vendor.size() + 4 + old.binary.size();
	for (const std::string &e : entries)
		size += 4 + e.size();
	packet.clear();
	packet.reserve(size);
	packet += "OpusTags";
	put_le32(packet, old.vendor.size());
	packet += old.vendor;
	put_le32(packet, entries.size());
	for (const std::string &e : entries) {
		put_le32(packet, e.size());
		packet += e;
	}
	packet += old.binary;
}

} // namespace

struct w_backend *
w_ftoggopus_backend(void)
{
	static struct w_backend backend = {
		libid,
		"Ogg/Opus files format",
		w_ftoggopus_init,
		w_ftoggopus_read,
		w_ftoggopus_write,
		w_ftoggopus_clear,
		{},
		w_ftoggopus_props,
		w_ftoggopus_pictures,
		w_ftoggopus_write_pictures,
	};
	return &backend;
}

void *
w_ftoggopus_init(const char *path)
{
	assert(path != NULL);

	try {
		std::unique_ptr<w_ftoggopus_data> data(new w_ftoggopus_data{libid, path, {}, 0, 0, {}});
		unsigned at = 0;
		w_oggfile_probe p = w_oggfile_headers(path, 2, [&data, &at](unsigned n, const ogg_packet &op) {
			at = n;
			if (n == 0) {
				const std::string_view head = bytes_of(op);
				const w_oggfile_probe p = check_head(head);
				if (p == w_oggfile_probe::ok) {
					data->channels = static_cast<unsigned char>(head[9]);
					data->preskip = static_cast<unsigned char>(head[10]) |
					    static_cast<unsigned>(static_cast<unsigned char>(head[11])) << 8;
				}
				return p;
			}
			opus_tags tags;
			if (!parse_tags(bytes_of(op), tags))
				return w_oggfile_probe::damaged;
			data->comments.assign(tags.comments.begin(), tags.comments.end());
			return w_oggfile_probe::ok;
		}, data->id);
		if (p != w_oggfile_probe::ok) {
			// A file that is plainly Ogg/Opus but cannot be read says
			// why; any other file is left to the next backend, in silence
			// (ENOTSUP).
			const int saved = p == w_oggfile_probe::foreign ? ENOTSUP : p == w_oggfile_probe::failed ? errno : EINVAL;
			w_oggfile_warn(path, p, "Ogg/Opus", header_names[at]);
			data.reset();
			errno = saved;
			return nullptr;
		}
		return data.release();
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return nullptr;
	}
}

struct w_taglist *
w_ftoggopus_read(void *opaque)
{
	w_ftoggopus_data *data = checked(opaque);

	const std::vector<std::string> &c = data->comments;
	struct w_taglist *tlist =
	    w_oggfile_tags(c.size(), [&c](std::size_t i) { return std::string_view(c[i]); });
	if (tlist == nullptr && errno == EINVAL)
		warnx("%s: could not read tags from the file", data->path.c_str());
	return tlist;
}

namespace {

// Writes entries as the file's comments: 0, or -1 with errno set.  Throws
// std::bad_alloc.
int
write_entries(w_ftoggopus_data *data, std::vector<std::string> entries)
{
	w_oggplan_codec codec;
	codec.headers = 2;
	codec.check = [](unsigned n, const ogg_packet &op) {
		opus_tags tags;
		if (n == 0)
			return check_head(bytes_of(op)) == w_oggfile_probe::ok ? 0 : -1;
		return parse_tags(bytes_of(op), tags) ? 0 : -1;
	};
	// Binary data after the comments stays, and then nothing may
	// follow it; anything else there is padding, made anew.
	codec.comment = [&entries](const std::string &old, std::string &packet, bool &may_pad) {
		opus_tags tags;
		if (!parse_tags(old, tags)) {
			errno = EINVAL;
			return -1;
		}
		make_tags(tags, entries, packet);
		may_pad = tags.binary.empty();
		return 0;
	};
	if (w_oggfile_write(data->path.c_str(), data->id, codec) == -1)
		return -1;
	// The comments the file now holds, for the next write to compare.
	data->comments = std::move(entries);
	return 0;
}

} // namespace

int
w_ftoggopus_write(void *opaque, const struct w_taglist *tlist)
{
	w_ftoggopus_data *data = checked(opaque);
	assert(tlist != NULL);

	if (w_vcomment_check(tlist) == -1)
		return -1;
	try {
		const std::vector<std::string_view> was(data->comments.begin(), data->comments.end());
		std::vector<std::string> entries = w_vcomment_merge(data->path.c_str(), tlist, was);
		if (w_vcomment_same(tlist, was))
			return 0;
		return write_entries(data, std::move(entries));
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

int
w_ftoggopus_write_pictures(void *opaque, const std::vector<w_picture_slot> &slots)
{
	w_ftoggopus_data *data = checked(opaque);
	try {
		const std::vector<std::string_view> was(data->comments.begin(), data->comments.end());
		std::vector<std::string> entries = w_vcomment_repicture(data->path.c_str(), was, slots);
		if (entries == data->comments)
			return 0;
		return write_entries(data, std::move(entries));
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

void
w_ftoggopus_clear(void *opaque)
{
	delete checked(opaque);
}

struct w_taglist *
w_ftoggopus_props(void *opaque)
{
	w_ftoggopus_data *data = checked(opaque);
	std::int64_t granule = 0;
	std::uint64_t size = 0;
	if (w_oggfile_last_granule(data->path.c_str(), &granule, &size) == -1) {
		warn("%s: could not find the end of the audio", data->path.c_str());
		return nullptr;
	}
	// Opus always decodes at 48 kHz; the first samples, the pre-skip, are
	// the decoder's to drop.
	w_audioprops p;
	p.codec = "Opus";
	p.rate = 48000;
	p.channels = data->channels;
	const std::int64_t samples = granule - static_cast<std::int64_t>(data->preskip);
	if (samples > 0)
		p.millis = (static_cast<std::uint64_t>(samples) + 24) / 48;
	p.kbps = w_props_kbps(size, p.millis);
	return w_props_tags(p);
}

int
w_ftoggopus_pictures(void *opaque, std::vector<w_picture> *out)
{
	w_ftoggopus_data *data = checked(opaque);
	try {
		const std::vector<std::string_view> entries(data->comments.begin(), data->comments.end());
		w_vcomment_pictures(data->path.c_str(), entries, out);
		return 0;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}
