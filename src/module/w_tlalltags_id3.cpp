/*
 * The --all-tags mode reads ID3v2 tags (MP3 files; WAV and AIFF files, in
 * their ID3 chunk) from TagLib's frame list: each frame of the table gives
 * its values under the table's names.  A file without an ID3v2 tag shows
 * the fields of its ID3v1 tag, or of a WAV file's INFO chunk.
 */
#include "w_tlalltags.h"
#include "w_tlalltags_id3.h"

#include <cstdint>
#include <unordered_map>

#include <taglib/commentsframe.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/infotag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/uniquefileidentifierframe.h>
#include <taglib/unsynchronizedlyricsframe.h>

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
	if (auto *c = dynamic_cast<const ID3v2::CommentsFrame *>(frame))
		language_name("comment", bytes(c->language()), &spelled);
	else if (auto *l = dynamic_cast<const ID3v2::UnsynchronizedLyricsFrame *>(frame))
		language_name("lyrics", bytes(l->language()), &spelled);
	else if (auto *t = dynamic_cast<const ID3v2::UserTextIdentificationFrame *>(frame)) {
		if (find_entry(group) == nullptr)
			spelled = utf8(t->description());
	}
	return spelled;
}

std::string
group_of(const std::string &id, const ID3v2::Frame *frame, unsigned v)
{
	if (v <= 3 && (id == "TYER" || id == "TDAT" || id == "TIME" || id == "TRDA"))
		return "date";
	if (v <= 3 && id == "TORY")
		return "originaldate";
	if (id == "TXXX") {
		auto *t = dynamic_cast<const ID3v2::UserTextIdentificationFrame *>(frame);
		return t != nullptr ? described_name(utf8(t->description()), &field_entry::id3) : "";
	}
	std::string spelled;
	if (id == "COMM") {
		auto *c = dynamic_cast<const ID3v2::CommentsFrame *>(frame);
		return c != nullptr && c->description().isEmpty() ? language_name("comment", bytes(c->language()), &spelled)
								  : "";
	}
	if (id == "USLT") {
		auto *l = dynamic_cast<const ID3v2::UnsynchronizedLyricsFrame *>(frame);
		return l != nullptr && l->description().isEmpty() ? language_name("lyrics", bytes(l->language()), &spelled)
								  : "";
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
	return tag != nullptr ? tag->header()->majorVersion() : 4;
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
	return std::unique_ptr<ID3v2::Frame>(ID3v2::FrameFactory::instance()->createFrame(
	    ByteVector(raw.data(), static_cast<unsigned int>(raw.size())), &header));
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
	for (const ID3v2::Frame *frame : tag->frameList()) {
		const std::string id(frame->frameID().data(), frame->frameID().size());
		const std::string group = group_of(id, frame, v);
		if (!group.empty())
			add_frame_values(fs, group, id, frame);
	}
	return fs;
}


std::string
id3_frame_group(const std::string &id, const std::string &data)
{
	// Version 2.3's date frames are known by their ids.
	return id.size() == 4 ? group_of(id, parse_plain(id, data).get(), 3) : "";
}


} // namespace w_tl
