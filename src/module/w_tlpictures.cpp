#include "w_tlpictures.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <taglib/aifffile.h>
#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/wavfile.h>

#include "w_tlalltags_id3.h"
#include "w_tlfixup.h"
#include "w_tlframes.h"
#include "w_tlproof.h"
#include "w_tlprops.h"
#include "w_tlsetfields.h"

namespace w_tl {

namespace {

using TagLib::ByteVector;
using id3::find_tag_place;
using id3::put_tag;
using id3::tag_place;

// The pictures the file must read back as, in order.
std::vector<picture>
wished_pictures(const std::vector<picture> &old, const w_tlpicslot *slots, std::size_t count)
{
	std::vector<picture> out;
	for (std::size_t i = 0; i < count; i++) {
		const w_tlpicslot &s = slots[i];
		if (s.from >= 0) {
			out.push_back(old[static_cast<std::size_t>(s.from)]);
			continue;
		}
		picture p;
		p.type = s.type;
		p.mime = s.mime;
		p.description = s.description;
		p.data.assign(reinterpret_cast<const char *>(s.data), s.length);
		out.push_back(std::move(p));
	}
	return out;
}

bool
same_pictures(const std::vector<picture> &a, const std::vector<picture> &b)
{
	return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const picture &x, const picture &y) {
		return x.type == y.type && x.mime == y.mime && x.description == y.description && x.data == y.data;
	});
}

// ---- ID3v2: APIC frames ----

bool
ascii(const std::string &s)
{
	return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The UTF-16 (little endian, with its byte order mark) of UTF-8 text.
std::string
utf16_of(const std::string &s)
{
	const TagLib::String t(s, TagLib::String::UTF8);
	const ByteVector b = t.data(TagLib::String::UTF16);
	return std::string(b.data(), b.size());
}

// A new APIC frame of version 2.v, header included; empty when it would be
// too big.
std::string
apic_frame(const w_tlpicslot &s, unsigned v)
{
	const std::string desc = s.description;
	std::string body;
	if (ascii(desc)) {
		body += '\0'; // ISO-8859-1, of which ASCII is a part
		body += std::string(s.mime) + '\0';
		body += static_cast<char>(s.type);
		body += desc + '\0';
	} else if (v == 4) {
		body += '\3'; // UTF-8
		body += std::string(s.mime) + '\0';
		body += static_cast<char>(s.type);
		body += desc + '\0';
	} else {
		body += '\1'; // UTF-16 with a byte order mark, as version 2.3 has no UTF-8
		body += std::string(s.mime) + '\0';
		body += static_cast<char>(s.type);
		body += utf16_of(desc) + std::string(2, '\0');
	}
	body.append(reinterpret_cast<const char *>(s.data), s.length);
	const std::uint64_t n = body.size();
	if (n >= (std::uint64_t{1} << 28))
		return "";
	std::string frame = "APIC";
	for (int shift = 24; shift >= 0; shift -= 8) {
		// Version 2.4 counts in seven-bit bytes.
		const unsigned byte = v == 4 ? (n >> (shift / 8 * 7)) & 0x7f : (n >> shift) & 0xff;
		frame.push_back(static_cast<char>(byte));
	}
	frame += std::string(2, '\0');
	return frame + body;
}

std::string
id3_render_pictures(TagLib::File *file, plan_stream &stream, const w_tlpicslot *slots, std::size_t count,
    std::size_t old_count, std::vector<std::string> *dropped)
{
	TagLib::ID3v2::Tag *id3 = id3v2_of(file);
	tag_place place;
	if (std::string why = find_tag_place(file, id3, &place); !why.empty())
		return why;
	std::string &old_tag = place.old_tag;
	if (old_tag.size() >= 10 && old_tag[3] == 2) {
		std::string converted, refused;
		if (!id3v22_to_23(old_tag, &converted, &refused))
			return id3v22_refusal(refused);
		old_tag = converted;
	}
	id3_tag parsed;
	if (!old_tag.empty()) {
		const auto *b = reinterpret_cast<const unsigned char *>(old_tag.data());
		if ((b[3] != 3 && b[3] != 4) || (b[5] & 0xd0) != 0 || !id3v2_parse(old_tag, &parsed))
			return "its ID3v2 tag cannot be rewritten frame by frame";
		const unsigned opaque = b[3] == 3 ? 0x00e0 : 0x004c; // compressed, encrypted, grouped
		for (const id3_item &it : parsed.items) {
			if ((it.flags & opaque) != 0 || it.itunes)
				return "its ID3v2 tag holds frames that cannot be kept (compressed, encrypted or unreadable)";
		}
	}
	const unsigned v = old_tag.empty() ? 4 : static_cast<unsigned char>(old_tag[3]);

	// The old pictures are the APIC frames, one for each picture TagLib
	// listed: the frames a kept picture is written back as.
	std::vector<const id3_item *> apic;
	for (const id3_item &it : parsed.items) {
		if (it.id == "APIC")
			apic.push_back(&it);
	}
	if (apic.size() != old_count)
		return "its picture frames are not all pictures TagLib can read";
	std::vector<bool> kept(apic.size(), false);
	std::string pictures;
	for (std::size_t i = 0; i < count; i++) {
		if (slots[i].from >= 0) {
			kept[static_cast<std::size_t>(slots[i].from)] = true;
			pictures += apic[static_cast<std::size_t>(slots[i].from)]->raw;
			continue;
		}
		const std::string frame = apic_frame(slots[i], v);
		if (frame.empty())
			return "the picture is too big for an ID3v2 frame";
		pictures += frame;
	}
	for (std::size_t i = 0; i < apic.size(); i++) {
		if (!kept[i])
			dropped->push_back(apic[i]->data);
	}
	// The pictures go where the first one was, or after the other frames.
	std::string body;
	bool placed = false;
	for (const id3_item &it : parsed.items) {
		if (it.id != "APIC") {
			body += it.raw;
		} else if (!placed) {
			body += pictures;
			placed = true;
		}
	}
	if (!placed)
		body += pictures;

	return put_tag(file, stream, place, body);
}

// ---- MP4: the covr item ----

std::string
mp4_render_pictures(TagLib::MP4::File *mp4, const w_tlpicslot *slots, std::size_t count)
{
	TagLib::MP4::Tag *tag = mp4->tag();
	if (tag == nullptr)
		return "TagLib found no tag to hold the pictures";
	const TagLib::MP4::CoverArtList old =
	    tag->contains("covr") ? tag->item("covr").toCoverArtList() : TagLib::MP4::CoverArtList();
	TagLib::MP4::CoverArtList list;
	for (std::size_t i = 0; i < count; i++) {
		const w_tlpicslot &s = slots[i];
		if (s.from >= 0) {
			list.append(old[static_cast<unsigned int>(s.from)]);
			continue;
		}
		// An MP4 cover is a front cover without a description.
		if (s.type != 3)
			return "an MP4 file holds front covers only";
		if (s.description[0] != '\0')
			return "an MP4 cover has no description";
		const std::string mime = s.mime;
		TagLib::MP4::CoverArt::Format format;
		if (mime == "image/jpeg")
			format = TagLib::MP4::CoverArt::JPEG;
		else if (mime == "image/png")
			format = TagLib::MP4::CoverArt::PNG;
		else if (mime == "image/gif")
			format = TagLib::MP4::CoverArt::GIF;
		else if (mime == "image/bmp")
			format = TagLib::MP4::CoverArt::BMP;
		else
			return "an MP4 cover is a JPEG, PNG, GIF or BMP image, not " + mime;
		list.append(TagLib::MP4::CoverArt(format,
		    ByteVector(reinterpret_cast<const char *>(s.data), static_cast<unsigned int>(s.length))));
	}
	if (list.isEmpty())
		tag->removeItem("covr");
	else
		tag->setItem("covr", TagLib::MP4::Item(list));
	if (!mp4->save())
		return "TagLib could not save the tags";
	return "";
}

int
refuse(char *why, std::size_t whylen, const std::string &text)
{
	if (whylen > 0)
		std::snprintf(why, whylen, "%s", text.c_str());
	errno = EINVAL;
	return -1;
}

} // namespace

int
pictures_render(TagLib::File *file, plan_stream &stream, const w_tlpicslot *slots, std::size_t count,
    w_tlplan *plan, char *why, std::size_t whylen)
{
	if (whylen > 0)
		why[0] = '\0';
	auto *mp4 = dynamic_cast<TagLib::MP4::File *>(file);
	const bool id3 = dynamic_cast<TagLib::MPEG::File *>(file) != nullptr ||
	    dynamic_cast<TagLib::RIFF::WAV::File *>(file) != nullptr ||
	    dynamic_cast<TagLib::RIFF::AIFF::File *>(file) != nullptr;
	if (mp4 == nullptr && !id3)
		return refuse(why, whylen, "pictures are written into MP3, WAV, AIFF and MP4 files only; not written");

	const std::vector<picture> old = tag_pictures(file);
	for (std::size_t i = 0; i < count; i++) {
		if (slots[i].from >= static_cast<int>(old.size()))
			return refuse(why, whylen, "no such picture; not written");
	}
	const std::vector<picture> wished = wished_pictures(old, slots, count);
	if (same_pictures(old, wished)) {
		bool in_order = true;
		for (std::size_t i = 0; i < count; i++)
			in_order = in_order && slots[i].from == static_cast<int>(i);
		if (in_order)
			return 0;
	}

	std::vector<std::string> dropped;
	std::string refusal = mp4 != nullptr ? mp4_render_pictures(mp4, slots, count)
					     : id3_render_pictures(file, stream, slots, count, old.size(), &dropped);
	if (refusal.empty() && mp4 != nullptr && !keep_mp4_pointers(stream, &refusal))
		refusal = "rewriting the tag " + refusal;
	if (refusal.empty() && stream.error() != 0) {
		errno = stream.error();
		return -1;
	}
	if (!refusal.empty())
		return refuse(why, whylen, refusal + "; not written");

	// The new file must read back with exactly the pictures asked for.
	stream.seek(0, TagLib::IOStream::Beginning);
	{
		TagLib::FileRef again(&stream, false);
		if (again.isNull() || again.file() == nullptr || !again.file()->isValid())
			return refuse(why, whylen, "the rewritten file would not read back; not written");
		if (!same_pictures(tag_pictures(again.file()), wished))
			return refuse(why, whylen, "the rewritten file would not read back with the pictures asked for; not written");
	}
	if (stream.error() != 0) {
		errno = stream.error();
		return -1;
	}
	stream.plan(plan);

	// And keep everything else: walked raw, only picture frames (those
	// dropped) may go and only picture frames may come; for MP4, only the
	// covr item changes.
	const layout how = mp4 != nullptr ? layout::mp4
	    : dynamic_cast<TagLib::MPEG::File *>(file) != nullptr ? layout::mpeg
								   : layout::riff;
	auto may_lose = [&](const tag_item &it) {
		const std::string kind = it.kind;
		if (mp4 != nullptr)
			return kind == "items" && it.name == "covr";
		if (kind != "frames" || it.name != "APIC")
			return false;
		return std::any_of(dropped.begin(), dropped.end(), [&it](const std::string &d) {
			return it.bytes.size() == 6 + d.size() && it.bytes.compare(6, d.size(), d) == 0;
		});
	};
	auto may_add = [&](const tag_item &it) {
		const std::string kind = it.kind;
		return mp4 != nullptr ? kind == "items" && it.name == "covr" : kind == "frames" && it.name == "APIC";
	};
	const std::string lost = prove_raw(how, file_view(plan->fd, plan->old_size), file_view(*plan), {may_lose, may_add});
	if (!lost.empty())
		return refuse(why, whylen, "rewriting the tag " + lost + "; not written");
	return 1;
}

} // namespace w_tl
