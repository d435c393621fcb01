#include "w_ftoggvorbis.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include "w_oggfile.h"
#include "w_props.h"
#include "w_taglist.h"
#include "w_vcomment.h"

namespace {

const char libid[] = "libvorbis";

// One allocation: this record, then the path characters it points at.
struct w_ftoggvorbis_data {
	const char *libid;
	char *path;
	vorbis_info vi;    // from the identification header of the first stream
	vorbis_comment vc; // from its comment header
	w_fileid id;       // what the file was when read, or as our last write left it
};

w_ftoggvorbis_data *
checked(void *opaque)
{
	assert(opaque != NULL);
	auto *data = static_cast<w_ftoggvorbis_data *>(opaque);
	assert(data->libid == libid);
	return data;
}

struct info_clear {
	void operator()(vorbis_info *vi) const { vorbis_info_clear(vi); }
};
struct comment_clear {
	void operator()(vorbis_comment *vc) const { vorbis_comment_clear(vc); }
};
struct packet_clear {
	void operator()(ogg_packet *op) const { ogg_packet_clear(op); }
};

const char *const header_names[] = {"Vorbis identification header", "Vorbis comment header"};

// Header packet n of a Vorbis stream, taken into vi and vc: foreign when
// the stream is not Vorbis at all.
w_oggfile_probe
take_header(unsigned n, const ogg_packet &op, vorbis_info *vi, vorbis_comment *vc)
{
	static const unsigned char magic[] = {1, 'v', 'o', 'r', 'b', 'i', 's'};
	// A first packet cut short inside the magic is this codec's, damaged:
	// the file announced Vorbis where the packet starts.
	if (n == 0 && op.bytes < 7 && std::memcmp(op.packet, magic, static_cast<std::size_t>(op.bytes)) == 0)
		return w_oggfile_probe::damaged;
	if (n == 0 && (op.bytes < 7 || std::memcmp(op.packet, magic, sizeof magic) != 0))
		return w_oggfile_probe::foreign;
	ogg_packet copy = op;
	return vorbis_synthesis_headerin(vi, vc, &copy) == 0 ? w_oggfile_probe::ok : w_oggfile_probe::damaged;
}

bool
is_setup_header(const ogg_packet &op)
{
	static const unsigned char magic[] = {5, 'v', 'o', 'r', 'b', 'i', 's'};
	return op.bytes > 7 && std::memcmp(op.packet, magic, sizeof magic) == 0;
}

// The comment header that holds the entries, in order.  The file's own
// vendor string gives way to the library's.
int
make_header(const std::vector<std::string> &entries, std::string &packet)
{
	vorbis_comment vc;
	vorbis_comment_init(&vc);
	std::unique_ptr<vorbis_comment, comment_clear> vc_guard(&vc);
	for (const std::string &e : entries)
		vorbis_comment_add(&vc, e.c_str());
	ogg_packet op;
	if (vorbis_commentheader_out(&vc, &op) != 0)
		return -1;
	std::unique_ptr<ogg_packet, packet_clear> op_guard(&op);
	packet.assign(reinterpret_cast<const char *>(op.packet), static_cast<std::size_t>(op.bytes));
	return 0;
}

} // namespace

struct w_backend *
w_ftoggvorbis_backend(void)
{
	static struct w_backend backend = {
		libid,
		"Ogg/Vorbis files format",
		w_ftoggvorbis_init,
		w_ftoggvorbis_read,
		w_ftoggvorbis_write,
		w_ftoggvorbis_clear,
		{},
		w_ftoggvorbis_props,
		w_ftoggvorbis_pictures,
		w_ftoggvorbis_write_pictures,
	};
	return &backend;
}

void *
w_ftoggvorbis_init(const char *path)
{
	assert(path != NULL);

	std::size_t len = std::strlen(path) + 1;
	auto *data = static_cast<w_ftoggvorbis_data *>(std::malloc(sizeof(w_ftoggvorbis_data) + len));
	if (data == nullptr)
		return nullptr;
	data->libid = libid;
	new (&data->id) w_fileid();
	data->path = reinterpret_cast<char *>(data + 1);
	std::memcpy(data->path, path, len);
	vorbis_info_init(&data->vi);
	vorbis_comment_init(&data->vc);
	// Only the first two headers: the comments are all a tune needs.  The
	// setup header (its codebooks are the costly part of opening a
	// decoder) is not decoded at all: a rewrite copies it as it is.
	unsigned at = 0;
	w_oggfile_probe p;
	try {
		p = w_oggfile_headers(data->path, 2, [data, &at](unsigned n, const ogg_packet &op) {
			at = n;
			return take_header(n, op, &data->vi, &data->vc);
		}, data->id);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		p = w_oggfile_probe::failed;
	}
	if (p != w_oggfile_probe::ok) {
		// A file that is plainly Ogg/Vorbis but cannot be read says
		// why; any other file is left to the next backend, in silence
		// (ENOTSUP).
		const int saved = p == w_oggfile_probe::foreign ? ENOTSUP : p == w_oggfile_probe::failed ? errno : EINVAL;
		w_oggfile_warn(path, p, "Ogg/Vorbis", header_names[at]);
		vorbis_comment_clear(&data->vc);
		vorbis_info_clear(&data->vi);
		std::free(data);
		errno = saved;
		return nullptr;
	}
	return data;
}

struct w_taglist *
w_ftoggvorbis_read(void *opaque)
{
	w_ftoggvorbis_data *data = checked(opaque);

	const vorbis_comment *vc = &data->vc;
	struct w_taglist *tlist = w_oggfile_tags(static_cast<std::size_t>(vc->comments), [vc](std::size_t i) {
		return std::string_view(vc->user_comments[i], static_cast<std::size_t>(vc->comment_lengths[i]));
	});
	if (tlist == nullptr && errno == EINVAL)
		warnx("%s: could not read tags from the file", data->path);
	return tlist;
}

namespace {

// Writes entries as the file's comments: 0, or -1 with errno set.  Throws
// std::bad_alloc.
int
write_entries(w_ftoggvorbis_data *data, const std::vector<std::string> &entries)
{
	std::string header;
	if (make_header(entries, header) == -1)
		return -1;
	// The identification and comment headers are checked, the
	// comment header it replaces too.  The setup header goes back
	// byte for byte, so its kind is all that is looked at: decoding
	// its codebooks would cost more than the rest of the write.
	vorbis_info vi;
	vorbis_info_init(&vi);
	std::unique_ptr<vorbis_info, info_clear> vi_guard(&vi);
	vorbis_comment vc;
	vorbis_comment_init(&vc);
	std::unique_ptr<vorbis_comment, comment_clear> vc_guard(&vc);
	w_oggplan_codec codec;
	codec.headers = 3;
	codec.check = [&vi, &vc](unsigned n, const ogg_packet &op) {
		if (n == 2)
			return is_setup_header(op) ? 0 : -1;
		if (n == 0) {
			// A write may read the headers twice: in place
			// first, then through a copy.
			vorbis_comment_clear(&vc);
			vorbis_info_clear(&vi);
			vorbis_info_init(&vi);
			vorbis_comment_init(&vc);
		}
		return take_header(n, op, &vi, &vc) == w_oggfile_probe::ok ? 0 : -1;
	};
	// Bytes after the framing bit are padding, which libvorbis and
	// the other readers skip.
	codec.comment = [&header](const std::string &, std::string &packet, bool &may_pad) {
		packet = header;
		may_pad = true;
		return 0;
	};
	if (w_oggfile_write(data->path, data->id, codec) == -1)
		return -1;
	// The comments the file now holds, for the next write to compare.
	vorbis_comment_clear(&data->vc);
	vorbis_comment_init(&data->vc);
	for (const std::string &e : entries)
		vorbis_comment_add(&data->vc, e.c_str());
	return 0;
}

std::vector<std::string_view>
entries_of(const w_ftoggvorbis_data *data)
{
	std::vector<std::string_view> was;
	for (int i = 0; i < data->vc.comments; i++)
		was.emplace_back(data->vc.user_comments[i], static_cast<std::size_t>(data->vc.comment_lengths[i]));
	return was;
}

} // namespace

int
w_ftoggvorbis_write(void *opaque, const struct w_taglist *tlist)
{
	w_ftoggvorbis_data *data = checked(opaque);
	assert(tlist != NULL);

	if (w_vcomment_check(tlist) == -1)
		return -1;
	try {
		const std::vector<std::string_view> was = entries_of(data);
		const std::vector<std::string> entries = w_vcomment_merge(data->path, tlist, was);
		if (w_vcomment_same(tlist, was))
			return 0;
		return write_entries(data, entries);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

int
w_ftoggvorbis_write_pictures(void *opaque, const std::vector<w_picture_slot> &slots)
{
	w_ftoggvorbis_data *data = checked(opaque);
	try {
		const std::vector<std::string_view> was = entries_of(data);
		const std::vector<std::string> entries = w_vcomment_repicture(data->path, was, slots);
		if (std::equal(entries.begin(), entries.end(), was.begin(), was.end()))
			return 0;
		return write_entries(data, entries);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

void
w_ftoggvorbis_clear(void *opaque)
{
	w_ftoggvorbis_data *data = checked(opaque);
	vorbis_comment_clear(&data->vc);
	vorbis_info_clear(&data->vi);
	std::free(data);
}

struct w_taglist *
w_ftoggvorbis_props(void *opaque)
{
	w_ftoggvorbis_data *data = checked(opaque);
	std::int64_t granule = 0;
	std::uint64_t size = 0;
	if (w_oggfile_last_granule(data->path, &granule, &size) == -1) {
		warn("%s: could not find the end of the audio", data->path);
		return nullptr;
	}
	w_audioprops p;
	p.codec = "Vorbis";
	p.rate = static_cast<unsigned>(data->vi.rate);
	p.channels = static_cast<unsigned>(data->vi.channels);
	if (granule > 0 && data->vi.rate > 0)
		p.millis = (static_cast<std::uint64_t>(granule) * 1000 + static_cast<std::uint64_t>(data->vi.rate) / 2) /
		    static_cast<std::uint64_t>(data->vi.rate);
	p.kbps = w_props_kbps(size, p.millis);
	return w_props_tags(p);
}

int
w_ftoggvorbis_pictures(void *opaque, std::vector<w_picture> *out)
{
	w_ftoggvorbis_data *data = checked(opaque);
	try {
		w_vcomment_pictures(data->path, entries_of(data), out);
		return 0;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}
