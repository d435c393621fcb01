/*
 * The content description of an ASF file (WMA), read raw: its five
 * strings, each stored or not.  TagLib writes all five whenever it saves,
 * the empty ones as a lone terminator, which other readers take for
 * fields of their own: the fix-up of a write keeps each as it was but for
 * the changed fields, and the proof checks it.
 */
#include "w_tlproofcore.h"

namespace w_tl {

namespace {

const char header_guid[] = "\x30\x26\xb2\x75\x8e\x66\xcf\x11\xa6\xd9\x00\xaa\x00\x62\xce\x6c";
const char description_guid[] = "\x33\x26\xb2\x75\x8e\x66\xcf\x11\xa6\xd9\x00\xaa\x00\x62\xce\x6c";
const char properties_guid[] = "\xa1\xdc\xab\x8c\x47\xa9\xcf\x11\x8e\xe4\x00\xc0\x0c\x20\x53\x65";

std::uint64_t
le64(const std::string &s, std::size_t at)
{
	return (std::uint64_t{le32(s, at + 4)} << 32) | le32(s, at);
}

} // namespace

// The basic field each string is, -1 for none.
const int asf_fields[5] = {W_TL_TITLE, W_TL_ARTIST, -1, W_TL_COMMENT, -1};

bool
asf_header(const file_view &f, asf_description *d)
{
	*d = asf_description{};
	const std::string h = f.read(0, 30);
	if (h.size() < 30 || h.compare(0, 16, std::string(header_guid, 16)) != 0)
		return false;
	d->header_size = le64(h, 16);
	d->objects = le32(h, 24);
	if (d->header_size < 30 || d->header_size > f.size())
		return false;
	for (std::uint64_t pos = 30; pos + 24 <= d->header_size;) {
		const std::string o = f.read(pos, 24);
		const std::uint64_t size = le64(o, 16);
		if (size < 24 || size > d->header_size - pos)
			return false;
		if (o.compare(0, 16, std::string(properties_guid, 16)) == 0 && size >= 48) {
			d->properties = pos;
			d->file_size = le64(f.read(pos + 40, 8), 0);
		} else if (o.compare(0, 16, std::string(description_guid, 16)) == 0) {
			const std::string body = f.read(pos + 24, size - 24);
			if (body.size() < 10)
				return false;
			std::size_t at = 10;
			for (int i = 0; i < 5; i++) {
				const std::size_t n = static_cast<unsigned char>(body[2 * i]) |
				    (static_cast<unsigned char>(body[2 * i + 1]) << 8);
				if (n > body.size() - at)
					return false;
				d->present[i] = n > 0;
				d->text[i] = body.substr(at, n);
				at += n;
			}
			d->pos = pos;
			d->size = size;
		}
		pos += size;
	}
	return true;
}

void
prove_asf(const file_view &old, const file_view &neo, const basic_change &change, verdict *v)
{
	static const char *const names[5] = {"Title", "Author", "Copyright", "Description", "Rating"};
	asf_description o, n;
	if (!asf_header(old, &o))
		return;
	if (!asf_header(neo, &n))
		return v->fail("would leave an ASF header that cannot be read back");
	for (int i = 0; i < 5; i++) {
		if (asf_fields[i] >= 0 && change.changed[asf_fields[i]])
			continue;
		if (o.present[i] && (!n.present[i] || o.text[i] != n.text[i]))
			v->lose("content description", names[i]);
		else if (!o.present[i] && n.present[i])
			v->fail(std::string("would add the content description's ") + names[i]);
	}
}

} // namespace w_tl
