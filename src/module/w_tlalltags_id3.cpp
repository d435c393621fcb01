/*
 * The --all-tags mode reads ID3v2 tags (MP3 files; WAV and AIFF files, in
 * their ID3 chunk) from TagLib's frame list: each frame of the table gives
 * its values under the table's names.  A file without an ID3v2 tag shows
 * the fields of its ID3v1 tag, or of a WAV file's INFO chunk.
 */
#include "w_tlalltags.h"
#include "w_tlalltags_id3.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include <taglib/commentsframe.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/infotag.h>
#include <taglib/popularimeterframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/uniquefileidentifierframe.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/urllinkframe.h>

#include "w_tlfixup.h"
#include "w_tlframes.h"

namespace w_tl::id3 {

using TagLib::ByteVector;
using TagLib::String;

const char musicbrainz_owner[] = "http://musicbrainz.org";

std::string
utf8(const String &s)
{
	return s.to8Bit(true);
}

String
text(const std::string &s)
{
	return String(s, String::UTF8);
}

std::string
bytes(const ByteVector &b)
{
	return std::string(b.data(), b.size());
}

std::string
spelling_of(const std::string &group, const ID3v2::Frame *frame)
{
	std::string spelled;
	if (group == "date:tdrc" || group == "originaldate:tdor")
		return group.substr(0, group.find(':') + 1) + "TD" + (group[0] == 'd' ? "RC" : "OR");
	if (auto *c = dynamic_cast<const ID3v2::CommentsFrame *>(frame)) {
		if (c->description().isEmpty())
			language_name("comment", bytes(c->language()), &spelled);
		else
			described_language_name("comment", bytes(c->language()), utf8(c->description()), &spelled);
	} else if (auto *l = dynamic_cast<const ID3v2::UnsynchronizedLyricsFrame *>(frame)) {
		if (l->description().isEmpty())
			language_name("lyrics", bytes(l->language()), &spelled);
		else
			described_language_name("lyrics", bytes(l->language()), utf8(l->description()), &spelled);
	} else if (auto *t = dynamic_cast<const ID3v2::UserTextIdentificationFrame *>(frame)) {
		if (find_entry(group) == nullptr)
			spelled = t->description().isEmpty() ? "TXXX" : utf8(t->description());
	} else if (auto *uu = dynamic_cast<const ID3v2::UserUrlLinkFrame *>(frame)) {
		spelled = "url:WXXX" + (uu->description().isEmpty() ? "" : ":" + utf8(uu->description()));
	} else if (dynamic_cast<const ID3v2::UrlLinkFrame *>(frame) != nullptr) {
		spelled = "url:" + bytes(frame->frameID());
	} else if (auto *p = dynamic_cast<const ID3v2::PopularimeterFrame *>(frame)) {
		spelled = "rating:" + utf8(p->email());
	}
	return spelled == group ? "" : spelled;
}

namespace {

bool
all_upper_id(const std::string &id)
{
	return id.size() == 4 &&
	    std::all_of(id.begin(), id.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// The bytes of a POPM frame's play counter: none when the frame has none.
// TagLib reads four of them at most.
std::size_t
counter_bytes(const ID3v2::PopularimeterFrame *p)
{
	const std::size_t head = p->email().to8Bit(false).size() + 2; // e-mail, its NUL, the rating
	return p->size() > head ? p->size() - head : 0;
}

} // namespace

bool
popm_has_counter(const ID3v2::Frame *frame)
{
	auto *p = dynamic_cast<const ID3v2::PopularimeterFrame *>(frame);
	return p != nullptr && counter_bytes(p) > 0;
}

std::string
group_of(const std::string &id, const ID3v2::Frame *frame, unsigned v)
{
	if (v <= 3 && (id == "TYER" || id == "TDAT" || id == "TIME" || id == "TRDA"))
		return "date";
	if (v <= 3 && id == "TORY")
		return "originaldate";
	// Frames version 2.3 does not know, as scripts leave them there, are
	// fields of their own: written back, they stay what they were.
	if (v <= 3 && id == "TDRC")
		return "date:tdrc";
	if (v <= 3 && id == "TDOR")
		return "originaldate:tdor";
	if (id == "TXXX") {
		auto *t = dynamic_cast<const ID3v2::UserTextIdentificationFrame *>(frame);
		if (t == nullptr)
			return "";
		return t->description().isEmpty() ? "txxx" : described_name(utf8(t->description()), &field_entry::id3);
	}
	std::string spelled;
	if (id == "COMM") {
		auto *c = dynamic_cast<const ID3v2::CommentsFrame *>(frame);
		if (c == nullptr)
			return "";
		return c->description().isEmpty()
		    ? language_name("comment", bytes(c->language()), &spelled)
		    : described_language_name("comment", bytes(c->language()), utf8(c->description()), &spelled);
	}
	if (id == "USLT") {
		auto *l = dynamic_cast<const ID3v2::UnsynchronizedLyricsFrame *>(frame);
		if (l == nullptr)
			return "";
		return l->description().isEmpty()
		    ? language_name("lyrics", bytes(l->language()), &spelled)
		    : described_language_name("lyrics", bytes(l->language()), utf8(l->description()), &spelled);
	}
	// URL frames: W*** by their id, WXXX by its description.
	if (id == "WXXX") {
		auto *u = dynamic_cast<const ID3v2::UserUrlLinkFrame *>(frame);
		if (u == nullptr)
			return "";
		return "url:wxxx" + (u->description().isEmpty() ? "" : ":" + lower(utf8(u->description())));
	}
	if (id[0] == 'W') {
		auto *u = dynamic_cast<const ID3v2::UrlLinkFrame *>(frame);
		return u != nullptr && all_upper_id(id) ? "url:" + lower(id) : "";
	}
	// A rating by its e-mail, with the play counter the frame may hold.
	if (id == "POPM") {
		auto *p = dynamic_cast<const ID3v2::PopularimeterFrame *>(frame);
		return p != nullptr && counter_bytes(p) <= 4 ? "rating:" + lower(utf8(p->email())) : "";
	}
	if (id == "UFID") {
		auto *u = dynamic_cast<const ID3v2::UniqueFileIdentifierFrame *>(frame);
		return u != nullptr && u->owner() == musicbrainz_owner ? "musicbrainz_trackid" : "";
	}
	// The first entry of each frame id: TRCK is the track number's.
	static const std::unordered_map<std::string, const char *> by_id = [] {
		std::unordered_map<std::string, const char *> m;
		for (std::size_t i = 0; i < field_table_size; i++)
			m.emplace(field_table[i].id3, field_table[i].name);
		return m;
	}();
	auto it = by_id.find(id);
	return it != by_id.end() ? it->second : "";
}

unsigned
tag_version(const host &h)
{
	ID3v2::Tag *tag = h.tag();
	return tag != nullptr ? std::max(3u, tag->header()->majorVersion()) : 4;
}

std::unique_ptr<ID3v2::Frame>
parse_plain(const std::string &id, const std::string &data)
{
	std::string raw = id;
	const auto n = static_cast<std::uint32_t>(data.size());
	for (int shift = 21; shift >= 0; shift -= 7)
		raw.push_back(static_cast<char>((n >> shift) & 0x7f));
	raw.append(2, '\0');
	raw += data;
	const ID3v2::Header header(ByteVector("ID3\x04\0\0\0\0\0\0", 10));
	std::unique_ptr<ID3v2::Frame> frame(ID3v2::FrameFactory::instance()->createFrame(
	    ByteVector(raw.data(), static_cast<unsigned int>(raw.size())), &header));
	// TagLib drops the empty description of a TXXX frame in Latin-1 or
	// UTF-8, and takes its first value for the description.
	auto *t = dynamic_cast<ID3v2::UserTextIdentificationFrame *>(frame.get());
	if (t != nullptr && id == "TXXX" && data.size() >= 2 && (data[0] == 0 || data[0] == 3) && data[1] == '\0' &&
	    !t->description().isEmpty()) {
		// Taken out as text first: TagLib's lists share their strings.
		std::vector<std::string> values;
		for (const String &v : t->fieldList())
			values.push_back(utf8(v));
		TagLib::StringList all;
		for (const std::string &v : values)
			all.append(text(v));
		t->setDescription(String());
		t->setText(all);
	}
	return frame;
}

std::string
find_tag_place(TagLib::File *file, ID3v2::Tag *tag, tag_place *place)
{
	place->mpeg = dynamic_cast<TagLib::MPEG::File *>(file) != nullptr;
	if (place->mpeg) {
		place->mpeg_size = leading_id3v2_size(*file);
		if (place->mpeg_size > 0) {
			file->seek(0);
			ByteVector b = file->readBlock(static_cast<unsigned long>(place->mpeg_size));
			if (b.size() == place->mpeg_size)
				place->old_tag.assign(b.data(), b.size());
		}
	} else {
		if (!find_id3_chunk(*file, &place->big_endian, &place->chunk))
			return "its chunks do not add up, so its ID3 chunk cannot be placed";
		place->old_tag = chunk_tag(*file, place->chunk);
	}
	if (tag != nullptr && place->old_tag.empty())
		return "its ID3v2 tag cannot be found where it can be rewritten";
	if (tag != nullptr && !id3v2_whole(*file, tag))
		return "TagLib could not read the whole ID3v2 tag; rewriting it would lose frames";
	return "";
}

namespace {

// A tag of the given header (its first six bytes) and frames, of the old
// size when they fit it, else with padding bytes of room to grow.  Empty
// when the tag would be too big for ID3v2.
std::string
make_tag(const std::string &head, const std::string &body, std::uint64_t old_size, std::uint64_t padding)
{
	std::uint64_t size = 10 + body.size();
	size = size <= old_size ? old_size : size + padding;
	if (size - 10 >= (std::uint64_t{1} << 28))
		return "";
	std::string out = head.substr(0, 6);
	const auto n = static_cast<std::uint32_t>(size - 10);
	for (int shift = 21; shift >= 0; shift -= 7)
		out.push_back(static_cast<char>((n >> shift) & 0x7f));
	out += body;
	out.resize(static_cast<std::size_t>(size), '\0');
	return out;
}

} // namespace

std::string
put_tag(TagLib::File *file, plan_stream &stream, const tag_place &place, const std::string &body)
{
	const std::string &old_tag = place.old_tag;
	const std::string head = old_tag.empty() ? std::string("ID3\x04\0\0", 6) : old_tag;
	if (place.mpeg) {
		// Nothing for a new tag to hold.
		if (old_tag.empty() && body.empty())
			return "";
		const std::string tag = make_tag(head, body, old_tag.size(), 1024);
		if (tag.empty())
			return "its ID3v2 tag would grow too big";
		stream.insert(ByteVector(tag.data(), static_cast<unsigned int>(tag.size())), 0,
		    static_cast<unsigned long>(place.mpeg_size));
		return "";
	}

	// A WAV or AIFF file: the chunk is replaced, or added at the end, and
	// the container's size follows.  A new chunk is added even when empty,
	// so that the fields of the INFO chunk no longer read as the file's.
	const id3_chunk &chunk = place.chunk;
	const std::string tag = make_tag(head, body, chunk.name.empty() ? 0 : chunk.size, 0);
	if (tag.empty())
		return "its ID3v2 tag would grow too big";
	const auto length = static_cast<std::uint64_t>(stream.length());
	const std::uint64_t at = chunk.name.empty() ? length : chunk.pos;
	const std::uint64_t replace = chunk.name.empty() ? 0 : 8 + std::uint64_t{chunk.size} + (chunk.size & 1);
	if (at + replace > length)
		return "its ID3 chunk runs past the end of the file";
	const std::string name = !chunk.name.empty()                          ? chunk.name
	    : dynamic_cast<TagLib::RIFF::WAV::File *>(file) != nullptr ? "id3 "
									: "ID3 ";
	ByteVector block(name.data(), 4);
	block.append(ByteVector::fromUInt(static_cast<unsigned int>(tag.size()), place.big_endian));
	block.append(ByteVector(tag.data(), static_cast<unsigned int>(tag.size())));
	if (tag.size() & 1)
		block.append('\0');
	const std::uint64_t container = length - replace + block.size() - 8;
	if (container > 0xffffffffu)
		return "the file would grow too big for its container";
	stream.insert(block, static_cast<unsigned long>(at), static_cast<unsigned long>(replace));
	stream.insert(ByteVector::fromUInt(static_cast<unsigned int>(container), place.big_endian), 4, 4);
	return "";
}

} // namespace w_tl::id3

namespace w_tl {

namespace {

using namespace id3;
using TagLib::ByteVector;
using TagLib::String;
using TagLib::StringList;

// Splits s at every NUL.
std::vector<std::string>
split_nul(const std::string &s)
{
	std::vector<std::string> out;
	std::size_t from = 0;
	for (;;) {
		std::size_t at = s.find('\0', from);
		out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
		if (at == std::string::npos)
			return out;
		from = at + 1;
	}
}

// Adds what one frame of the field group holds.
void
add_frame_values(fieldset &fs, const std::string &group, const std::string &id, const ID3v2::Frame *frame)
{
	const std::string spelled = spelling_of(group, frame);
	auto add = [&](const std::string &name, const std::string &value) {
		if (!value.empty())
			add_value(fs, name, value, name == group ? spelled : "");
	};
	if (auto *c = dynamic_cast<const ID3v2::CommentsFrame *>(frame)) {
		for (const std::string &v : split_nul(utf8(c->text())))
			add(group, v);
		return;
	}
	if (auto *l = dynamic_cast<const ID3v2::UnsynchronizedLyricsFrame *>(frame)) {
		add(group, utf8(l->text()));
		return;
	}
	if (auto *u = dynamic_cast<const ID3v2::UniqueFileIdentifierFrame *>(frame)) {
		const ByteVector &b = u->identifier();
		add(group, std::string(b.data(), b.size()));
		return;
	}
	if (auto *u = dynamic_cast<const ID3v2::UrlLinkFrame *>(frame)) {
		add(group, utf8(u->url()));
		return;
	}
	if (auto *p = dynamic_cast<const ID3v2::PopularimeterFrame *>(frame)) {
		add(group, std::to_string(p->rating()));
		if (popm_has_counter(p))
			add_value(fs, "playcount:" + group.substr(7), std::to_string(p->counter()),
			    "playcount:" + utf8(p->email()));
		return;
	}
	auto *t = dynamic_cast<const ID3v2::TextIdentificationFrame *>(frame);
	if (t == nullptr)
		return;
	// The time and day of a version 2.3 date are not values of their own.
	if (group == "date" && id != "TDRC" && id != "TYER")
		return;
	StringList list = t->fieldList();
	bool first = true;
	for (const String &s : list) {
		if (id == "TXXX" && first) { // the description
			first = false;
			continue;
		}
		first = false;
		if (group == "tracknumber" || group == "discnumber") {
			const std::string v = utf8(s);
			const std::size_t slash = v.find('/');
			add(group, v.substr(0, slash));
			if (slash != std::string::npos)
				add(group == "tracknumber" ? "tracktotal" : "disctotal", v.substr(slash + 1));
		} else {
			// A genre is what the frame holds: a number stays a
			// number, so that it is written back as it was.
			add(group, utf8(s));
		}
	}
}

// The fields of a file without an ID3v2 tag: its ID3v1 tag, or the INFO
// chunk of a WAV file.
void
read_fallback(const host &h, fieldset &fs)
{
	if (h.mp3 != nullptr && h.mp3->hasID3v1Tag()) {
		TagLib::ID3v1::Tag *t = h.mp3->ID3v1Tag();
		auto add = [&](const char *name, const std::string &value) {
			if (!value.empty())
				add_value(fs, name, value);
		};
		add("title", utf8(t->title()));
		add("artist", utf8(t->artist()));
		add("album", utf8(t->album()));
		add("date", t->year() > 0 ? std::to_string(t->year()) : "");
		add("tracknumber", t->track() > 0 ? std::to_string(t->track()) : "");
		add("genre", utf8(t->genre()));
		add("comment", utf8(t->comment()));
	}
	if (h.wav != nullptr && h.wav->hasInfoTag()) {
		const auto map = h.wav->InfoTag()->fieldListMap();
		for (auto it = map.begin(); it != map.end(); ++it) {
			const std::string id(it->first.data(), it->first.size());
			for (std::size_t i = 0; i < field_table_size; i++) {
				if (field_table[i].info != nullptr && id == field_table[i].info &&
				    !it->second.isEmpty())
					add_value(fs, field_table[i].name, utf8(it->second));
			}
		}
	}
}


// The date TYER, TDAT and TIME of a version 2.3 tag hold, as TagLib reads
// them: YYYY, then -MM-DD when TDAT holds DDMM, then THH:MM when TIME
// holds HHMM.
std::string
v23_date(const std::string &year, const std::string &day, const std::string &time)
{
	std::string d = year;
	if (day.size() == 4 && all_digits(day)) {
		d += "-" + day.substr(2, 2) + "-" + day.substr(0, 2);
		if (time.size() == 4 && all_digits(time))
			d += "T" + time.substr(0, 2) + ":" + time.substr(2, 2);
	}
	return d;
}

// The bytes of the file's ID3v2 tag, "" when it cannot be found whole.
std::string
tag_bytes(TagLib::File *file, const host &h)
{
	if (h.mp3 != nullptr) {
		const std::uint64_t size = leading_id3v2_size(*file);
		file->seek(0);
		ByteVector b = file->readBlock(static_cast<unsigned long>(size));
		return b.size() == size ? std::string(b.data(), b.size()) : "";
	}
	bool big_endian = false;
	id3_chunk chunk;
	if (!find_id3_chunk(*file, &big_endian, &chunk) || chunk.name.empty())
		return "";
	return chunk_tag(*file, chunk);
}

// The fields of a version 2.3 or 2.4 tag from its frames as they stand in
// the file: TagLib gives TYER the id TDRC, and so cannot tell it from a
// TDRC frame, and misreads a TXXX frame without description.  False when
// the tag cannot be walked so, and TagLib's frame list is read instead.
bool
read_raw(TagLib::File *file, const host &h, fieldset &fs)
{
	id3_tag parsed;
	const std::string raw = tag_bytes(file, h);
	if (raw.empty() || !id3v2_parse(raw, &parsed) || (parsed.version != 3 && parsed.version != 4))
		return false;
	const unsigned v = parsed.version;
	std::string day, time;
	for (const id3_item &it : parsed.items) {
		// Compressed, encrypted or grouped; in 2.4 also with a data length.
		if ((it.flags & (v == 3 ? 0x00e0 : 0x004d)) != 0 || it.itunes)
			return false;
		if (v == 3 && (it.id == "TDAT" || it.id == "TIME")) {
			const std::unique_ptr<ID3v2::Frame> f = parse_plain(it.id, it.data);
			(it.id == "TDAT" ? day : time) = f != nullptr ? utf8(f->toString()) : "";
		}
	}
	for (const id3_item &it : parsed.items) {
		if (it.id.size() != 4)
			continue;
		const std::unique_ptr<ID3v2::Frame> frame = parse_plain(it.id, it.data);
		const std::string group = group_of(it.id, frame.get(), v);
		if (group.empty() || frame == nullptr)
			continue;
		if (v == 3 && it.id == "TYER") {
			const std::string year = utf8(frame->toString());
			if (!year.empty())
				add_value(fs, "date", v23_date(year, day, time));
			continue;
		}
		add_frame_values(fs, group, it.id, frame.get());
	}
	return true;
}

} // namespace

bool
id3_covers(TagLib::File *file)
{
	return host(file).covered();
}

fieldset
id3_read(TagLib::File *file)
{
	const host h(file);
	fieldset fs;
	ID3v2::Tag *tag = h.tag();
	if (tag == nullptr) {
		read_fallback(h, fs);
		return fs;
	}
	const unsigned v = tag->header()->majorVersion();
	if ((v == 3 || v == 4) && read_raw(file, h, fs))
		return fs;
	fs.clear();
	for (const ID3v2::Frame *frame : tag->frameList()) {
		const std::string id(frame->frameID().data(), frame->frameID().size());
		// TagLib has given version 2.3's date frames the ids of 2.4.
		const std::string group = group_of(id, frame, id == "TDRC" || id == "TDOR" ? 4 : v);
		if (!group.empty())
			add_frame_values(fs, group, id, frame);
	}
	return fs;
}


unsigned
id3_version(TagLib::File *file)
{
	return tag_version(host(file));
}

std::string
id3_frame_group(const std::string &id, const std::string &data, unsigned v)
{
	return id.size() == 4 ? group_of(id, parse_plain(id, data).get(), v) : "";
}


} // namespace w_tl
