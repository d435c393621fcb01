#include "w_flacbytes.h"

namespace wt {

namespace {

void
put_le32(std::string &out, std::uint32_t v)
{
	for (int i = 0; i < 4; i++)
		out.push_back(static_cast<char>(v >> (8 * i) & 0xFF));
}

unsigned
byte(const std::string &s, std::size_t i)
{
	return static_cast<unsigned char>(s[i]);
}

// The little-endian 32-bit count at at, moving at past it.
std::optional<std::size_t>
get_le32(const std::string &s, std::size_t &at)
{
	if (s.size() < 4 || at > s.size() - 4)
		return std::nullopt;
	std::size_t v = 0;
	for (std::size_t i = 0; i < 4; i++)
		v |= static_cast<std::size_t>(byte(s, at + i)) << (8 * i);
	at += 4;
	return v;
}

} // namespace

std::optional<flac_layout>
flac_split(const std::string &file)
{
	std::size_t at = 0;
	if (file.compare(0, 3, "ID3") == 0) {
		if (file.size() < 10)
			return std::nullopt;
		std::size_t size = 0;
		for (std::size_t i = 6; i < 10; i++)
			size = size << 7 | (byte(file, i) & 0x7F);
		at = 10 + size;
	}
	if (file.size() < at + 4 || file.compare(at, 4, "fLaC") != 0)
		return std::nullopt;
	at += 4;
	flac_layout layout;
	layout.head = file.substr(0, at);
	for (bool last = false; !last;) {
		if (file.size() < at + 4)
			return std::nullopt;
		last = (byte(file, at) & 0x80) != 0;
		const std::size_t length =
		    byte(file, at + 1) << 16 | byte(file, at + 2) << 8 | byte(file, at + 3);
		if (file.size() < at + 4 + length)
			return std::nullopt;
		layout.blocks.push_back({byte(file, at) & 0x7F, file.substr(at + 4, length)});
		at += 4 + length;
	}
	layout.audio = file.substr(at);
	return layout;
}

std::string
flac_join(const flac_layout &layout)
{
	std::string out = layout.head;
	for (std::size_t i = 0; i < layout.blocks.size(); i++) {
		const flac_block &b = layout.blocks[i];
		const std::uint32_t length =
		    b.declared.value_or(static_cast<std::uint32_t>(b.body.size()));
		out.push_back(static_cast<char>((i + 1 == layout.blocks.size() ? 0x80 : 0) | b.type));
		out.push_back(static_cast<char>(length >> 16 & 0xFF));
		out.push_back(static_cast<char>(length >> 8 & 0xFF));
		out.push_back(static_cast<char>(length & 0xFF));
		out += b.body;
	}
	return out + layout.audio;
}

std::optional<std::string>
flac_audio(const std::string &file)
{
	std::optional<flac_layout> layout = flac_split(file);
	if (!layout)
		return std::nullopt;
	return layout->audio;
}

std::optional<std::vector<std::string>>
vorbis_comment_entries(const std::string &body)
{
	std::size_t at = 0;
	std::optional<std::size_t> vendor = get_le32(body, at);
	if (!vendor || *vendor > body.size() - at)
		return std::nullopt;
	at += *vendor;
	std::optional<std::size_t> count = get_le32(body, at);
	if (!count)
		return std::nullopt;
	std::vector<std::string> entries;
	for (std::size_t i = 0; i < *count; i++) {
		std::optional<std::size_t> len = get_le32(body, at);
		if (!len || *len > body.size() - at)
			return std::nullopt;
		entries.push_back(body.substr(at, *len));
		at += *len;
	}
	if (at != body.size())
		return std::nullopt;
	return entries;
}

std::string
vorbis_comment_body(const std::vector<std::string> &entries, const std::string &vendor)
{
	std::string out;
	put_le32(out, static_cast<std::uint32_t>(vendor.size()));
	out += vendor;
	put_le32(out, static_cast<std::uint32_t>(entries.size()));
	for (const std::string &e : entries) {
		put_le32(out, static_cast<std::uint32_t>(e.size()));
		out += e;
	}
	return out;
}

} // namespace wt
