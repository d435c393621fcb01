#include "w_picture.h"
#include "w_toolkit.h"

#include <cstdint>
#include <cstring>
#include <strings.h>

namespace {

const char *const type_names[] = {
    "other", "file icon", "other file icon", "front cover", "back cover", "leaflet page", "media",
    "lead artist", "artist", "conductor", "band", "composer", "lyricist", "recording location",
    "during recording", "during performance", "movie screen capture", "bright coloured fish", "illustration",
    "band logotype", "publisher logotype",
};
constexpr unsigned ntypes = sizeof type_names / sizeof type_names[0];

std::uint32_t
be32(std::string_view s, std::size_t at)
{
	return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) << 24 |
	    static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16 |
	    static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8 |
	    static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

unsigned
be16(std::string_view s, std::size_t at)
{
	return static_cast<unsigned>(static_cast<unsigned char>(s[at])) << 8 | static_cast<unsigned char>(s[at + 1]);
}

unsigned
le16(std::string_view s, std::size_t at)
{
	return static_cast<unsigned>(static_cast<unsigned char>(s[at + 1])) << 8 | static_cast<unsigned char>(s[at]);
}

unsigned
le24(std::string_view s, std::size_t at)
{
	return static_cast<unsigned>(static_cast<unsigned char>(s[at + 2])) << 16 | le16(s, at);
}

} // namespace

std::string
w_picture_type_name(unsigned type)
{
	return type < ntypes ? type_names[type] : "type " + std::to_string(type);
}

int
w_picture_type_of(std::string_view word)
{
	std::string w(word);
	for (char &c : w) {
		if (c == '-' || c == '_')
			c = ' ';
	}
	for (unsigned i = 0; i < ntypes; i++) {
		if (strcasecmp(w.c_str(), type_names[i]) == 0)
			return static_cast<int>(i);
	}
	// The first word alone, where one type only starts with it.
	int found = -1;
	for (unsigned i = 0; i < ntypes; i++) {
		const std::size_t n = std::strcspn(type_names[i], " ");
		if (n == w.size() && strncasecmp(w.c_str(), type_names[i], n) == 0) {
			if (found != -1)
				return -1;
			found = static_cast<int>(i);
		}
	}
	return found;
}

bool
w_picture_parse(std::string_view b, w_picture *out)
{
	std::size_t at = 0;
	auto u32 = [&](std::uint32_t *v) {
		if (b.size() - at < 4)
			return false;
		*v = be32(b, at);
		at += 4;
		return true;
	};
	auto bytes = [&](std::string *s) {
		std::uint32_t n;
		if (!u32(&n) || b.size() - at < n)
			return false;
		s->assign(b.substr(at, n));
		at += n;
		return true;
	};
	std::uint32_t type, width, height, depth, colors;
	if (!u32(&type) || !bytes(&out->mime) || !bytes(&out->description) || !u32(&width) || !u32(&height) ||
	    !u32(&depth) || !u32(&colors) || !bytes(&out->data))
		return false;
	out->type = type;
	out->width = width;
	out->height = height;
	out->depth = depth;
	out->colors = colors;
	return true;
}

std::string
w_picture_render(const w_picture &p)
{
	std::string b;
	b.reserve(32 + p.mime.size() + p.description.size() + p.data.size());
	auto u32 = [&b](std::size_t v) {
		for (int shift = 24; shift >= 0; shift -= 8)
			b.push_back(static_cast<char>((v >> shift) & 0xFF));
	};
	u32(p.type);
	u32(p.mime.size());
	b += p.mime;
	u32(p.description.size());
	b += p.description;
	u32(p.width);
	u32(p.height);
	u32(p.depth);
	u32(p.colors);
	u32(p.data.size());
	b += p.data;
	return b;
}

std::string
w_base64_encode(std::string_view in)
{
	static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	std::string out;
	out.reserve((in.size() + 2) / 3 * 4);
	std::size_t i = 0;
	for (; i + 3 <= in.size(); i += 3) {
		const std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << 16 |
		    static_cast<std::uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8 |
		    static_cast<unsigned char>(in[i + 2]);
		out += digits[v >> 18];
		out += digits[(v >> 12) & 63];
		out += digits[(v >> 6) & 63];
		out += digits[v & 63];
	}
	if (i < in.size()) {
		std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << 16;
		if (i + 1 < in.size())
			v |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
		out += digits[v >> 18];
		out += digits[(v >> 12) & 63];
		out += i + 1 < in.size() ? digits[(v >> 6) & 63] : '=';
		out += '=';
	}
	return out;
}

bool
w_base64_decode(std::string_view in, std::string *out)
{
	out->clear();
	out->reserve(in.size() / 4 * 3);
	std::uint32_t acc = 0;
	int bits = 0;
	std::size_t pad = 0;
	for (char c : in) {
		int v;
		if (c >= 'A' && c <= 'Z')
			v = c - 'A';
		else if (c >= 'a' && c <= 'z')
			v = c - 'a' + 26;
		else if (c >= '0' && c <= '9')
			v = c - '0' + 52;
		else if (c == '+')
			v = 62;
		else if (c == '/')
			v = 63;
		else if (c == '=') {
			pad++;
			continue;
		} else
			return false;
		if (pad != 0)
			return false; // data after padding
		acc = (acc << 6) | static_cast<std::uint32_t>(v);
		bits += 6;
		if (bits >= 8) {
			bits -= 8;
			out->push_back(static_cast<char>((acc >> bits) & 0xFF));
		}
	}
	return pad <= 2 && bits < 6;
}

bool
w_image_probe(std::string_view d, std::string *mime, unsigned *width, unsigned *height)
{
	if (d.size() >= 24 && d.substr(0, 8) == "\x89PNG\r\n\x1a\n" && d.substr(12, 4) == "IHDR") {
		*mime = "image/png";
		*width = be32(d, 16);
		*height = be32(d, 20);
		return true;
	}
	if (d.size() >= 10 && (d.substr(0, 6) == "GIF87a" || d.substr(0, 6) == "GIF89a")) {
		*mime = "image/gif";
		*width = le16(d, 6);
		*height = le16(d, 8);
		return true;
	}
	if (d.size() >= 26 && d.substr(0, 2) == "BM") {
		*mime = "image/bmp";
		*width = le16(d, 18) | le16(d, 20) << 16;
		const std::uint32_t h = le16(d, 22) | le16(d, 24) << 16;
		*height = static_cast<std::int32_t>(h) < 0 ? 0u - h : h; // rows stored top down
		return true;
	}
	if (d.size() >= 30 && d.substr(0, 4) == "RIFF" && d.substr(8, 4) == "WEBP") {
		*mime = "image/webp";
		const std::string_view chunk = d.substr(12, 4);
		if (chunk == "VP8 " && d.size() >= 30) {
			*width = le16(d, 26) & 0x3FFF;
			*height = le16(d, 28) & 0x3FFF;
		} else if (chunk == "VP8L" && d.size() >= 25) {
			const std::uint32_t b = static_cast<std::uint32_t>(static_cast<unsigned char>(d[21])) |
			    static_cast<std::uint32_t>(static_cast<unsigned char>(d[22])) << 8 |
			    static_cast<std::uint32_t>(static_cast<unsigned char>(d[23])) << 16 |
			    static_cast<std::uint32_t>(static_cast<unsigned char>(d[24])) << 24;
			*width = (b & 0x3FFF) + 1;
			*height = ((b >> 14) & 0x3FFF) + 1;
		} else if (chunk == "VP8X") {
			*width = le24(d, 24) + 1;
			*height = le24(d, 27) + 1;
		} else {
			*width = *height = 0;
		}
		return true;
	}
	if (d.size() >= 4 && static_cast<unsigned char>(d[0]) == 0xFF && static_cast<unsigned char>(d[1]) == 0xD8) {
		*mime = "image/jpeg";
		*width = *height = 0;
		// Segments up to the first start of frame, which holds the size.
		std::size_t at = 2;
		while (at + 4 <= d.size()) {
			if (static_cast<unsigned char>(d[at]) != 0xFF)
				return true;
			const unsigned marker = static_cast<unsigned char>(d[at + 1]);
			if (marker == 0xFF) {
				at++;
				continue;
			}
			if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
				at += 2;
				continue;
			}
			const unsigned len = be16(d, at + 2);
			const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
			    marker != 0xCC;
			if (sof && at + 9 <= d.size()) {
				*height = be16(d, at + 5);
				*width = be16(d, at + 7);
				return true;
			}
			if (len < 2)
				return true;
			at += 2 + len;
		}
		return true;
	}
	return false;
}

void
w_picture_complete(w_picture *p)
{
	std::string mime;
	unsigned width = 0, height = 0;
	if (!w_image_probe(p->data, &mime, &width, &height))
		return;
	if (p->mime.empty() || p->mime.find('/') == std::string::npos)
		p->mime = mime;
	if (p->width == 0 || p->height == 0) {
		p->width = width;
		p->height = height;
	}
}

const char *
w_picture_extension(const std::string &mime)
{
	const struct {
		const char *mime, *ext;
	} table[] = {{"image/jpeg", "jpg"}, {"image/jpg", "jpg"}, {"image/png", "png"}, {"image/gif", "gif"},
	    {"image/webp", "webp"}, {"image/bmp", "bmp"}};
	for (const auto &t : table) {
		if (strcasecmp(mime.c_str(), t.mime) == 0)
			return t.ext;
	}
	return "img";
}

bool
w_picture_of_image(std::string data, unsigned type, std::string description, w_picture *out)
{
	w_picture p;
	if (!w_image_probe(data, &p.mime, &p.width, &p.height))
		return false;
	p.type = type;
	p.description = std::move(description);
	p.data = std::move(data);
	*out = std::move(p);
	return true;
}

std::string
w_picture_line(std::size_t index, const w_picture &p)
{
	return std::to_string(index) + '\t' + w_picture_type_name(p.type) + '\t' +
	    (p.mime.empty() ? "-" : w_escape(p.mime.data(), p.mime.size())) + '\t' +
	    (p.width != 0 && p.height != 0 ? std::to_string(p.width) + "x" + std::to_string(p.height) : "-") + '\t' +
	    std::to_string(p.data.size()) + '\t' + w_escape(p.description.data(), p.description.size());
}
