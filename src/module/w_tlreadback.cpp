#include "w_tlreadback.h"

#include <algorithm>

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/commentsframe.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/trueaudiofile.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include "w_tlframes.h"

namespace w_tl {

TagLib::ByteVector
view_stream::readBlock(unsigned long length)
{
	const std::string s = view_.read(pos_, length);
	pos_ += s.size();
	return TagLib::ByteVector(s.data(), static_cast<unsigned int>(s.size()));
}

void
view_stream::seek(long offset, Position p)
{
	long base = p == Beginning ? 0 : p == Current ? static_cast<long>(pos_) : static_cast<long>(view_.size());
	if (base + offset >= 0)
		pos_ = static_cast<std::uint64_t>(base + offset);
}

namespace {

std::string
utf8(const TagLib::String &s)
{
	return s.to8Bit(true);
}

// The text of the first comment frame without a description.
std::string
id3v2_comment(TagLib::ID3v2::Tag *tag)
{
	for (TagLib::ID3v2::Frame *frame : tag->frameList("COMM")) {
		auto *comment = dynamic_cast<TagLib::ID3v2::CommentsFrame *>(frame);
		if (comment != nullptr && comment->description().isEmpty())
			return utf8(comment->text());
	}
	return "";
}

// The comment the user is shown: the tags of the file in the order TagLib
// reads them, the first with a comment.
std::string
comment_of(TagLib::File *file)
{
	if (auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(file)) {
		std::string c = mp3->hasID3v2Tag() ? id3v2_comment(mp3->ID3v2Tag()) : "";
		if (c.empty() && mp3->hasAPETag())
			c = utf8(mp3->APETag()->comment());
		if (c.empty() && mp3->hasID3v1Tag())
			c = utf8(mp3->ID3v1Tag()->comment());
		return c;
	}
	// TagLib reads the fields of a WAV file from its ID3v2 tag alone.
	if (auto *wav = dynamic_cast<TagLib::RIFF::WAV::File *>(file))
		return wav->hasID3v2Tag() ? id3v2_comment(wav->ID3v2Tag()) : "";
	if (auto *aiff = dynamic_cast<TagLib::RIFF::AIFF::File *>(file))
		return aiff->hasID3v2Tag() ? id3v2_comment(aiff->tag()) : "";
	return utf8(file->tag()->comment());
}

int
key_field(TagLib::String key)
{
	key = key.upper();
	static const std::pair<const char *, int> keys[] = {{"TITLE", W_TL_TITLE}, {"ARTIST", W_TL_ARTIST},
	    {"DATE", W_TL_YEAR}, {"YEAR", W_TL_YEAR}, {"ALBUM", W_TL_ALBUM}, {"TRACKNUMBER", W_TL_TRACK},
	    {"TRACK", W_TL_TRACK}, {"GENRE", W_TL_GENRE}, {"COMMENT", W_TL_COMMENT},
	    {"DESCRIPTION", W_TL_COMMENT}, {"WM/ALBUMTITLE", W_TL_ALBUM}, {"WM/YEAR", W_TL_YEAR},
	    {"WM/TRACKNUMBER", W_TL_TRACK}, {"WM/TRACK", W_TL_TRACK}, {"WM/GENRE", W_TL_GENRE},
	    {"WM/GENREID", W_TL_GENRE}};
	for (const auto &[k, field] : keys) {
		if (key == k)
			return field;
	}
	return -1;
}

std::string
bytes(const TagLib::ByteVector &b)
{
	return std::string(b.data(), b.size());
}

void
ape_items(TagLib::APE::Tag *tag, std::vector<tag_item> *out)
{
	if (tag == nullptr)
		return;
	for (const auto &[key, it] : tag->itemListMap())
		out->push_back({"APE items", utf8(it.key()), bytes(it.render()), key_field(it.key())});
}

void
id3v2_frames(TagLib::ID3v2::Tag *tag, std::vector<tag_item> *out)
{
	if (tag == nullptr)
		return;
	for (TagLib::ID3v2::Frame *frame : tag->frameList()) {
		id3_item it;
		it.id = bytes(frame->frameID());
		const TagLib::ByteVector r = frame->render();
		it.data = r.size() > 10 ? bytes(r.mid(10)) : "";
		out->push_back({"frames", it.id, it.id + it.data, item_field(it, 4)});
	}
}

void
xiph_items(TagLib::Ogg::XiphComment *x, std::vector<tag_item> *out)
{
	if (x == nullptr)
		return;
	for (const auto &[key, values] : x->fieldListMap()) {
		for (const TagLib::String &value : values)
			out->push_back({"comments", utf8(key), utf8(key) + '=' + utf8(value), key_field(key)});
	}
	for (TagLib::FLAC::Picture *p : x->pictureList())
		out->push_back({"pictures", utf8(p->description()), bytes(p->render()), -1});
}

void
asf_items(TagLib::ASF::Tag *tag, std::vector<tag_item> *out)
{
	for (const auto &[key, attributes] : tag->attributeListMap()) {
		for (const TagLib::ASF::Attribute &a : attributes) {
			std::string b = utf8(key) + '\0' + std::to_string(a.type()) + '\0' +
			    std::to_string(a.language()) + '\0' + std::to_string(a.stream()) + '\0';
			switch (a.type()) {
			case TagLib::ASF::Attribute::UnicodeType: b += utf8(a.toString()); break;
			case TagLib::ASF::Attribute::BoolType: b += std::to_string(a.toBool()); break;
			case TagLib::ASF::Attribute::DWordType: b += std::to_string(a.toUInt()); break;
			case TagLib::ASF::Attribute::QWordType: b += std::to_string(a.toULongLong()); break;
			case TagLib::ASF::Attribute::WordType: b += std::to_string(a.toUShort()); break;
			default: b += bytes(a.toByteVector()) + bytes(a.toPicture().render()); break;
			}
			out->push_back({"attributes", utf8(key), b, key_field(key)});
		}
	}
}

} // namespace

void
read_fields(TagLib::File *file, fields *out)
{
	*out = fields{};
	TagLib::Tag *tag = file->tag();
	out->text[W_TL_TITLE] = utf8(tag->title());
	out->text[W_TL_ARTIST] = utf8(tag->artist());
	out->text[W_TL_ALBUM] = utf8(tag->album());
	out->text[W_TL_GENRE] = utf8(tag->genre());
	out->text[W_TL_COMMENT] = comment_of(file);
	out->number[W_TL_YEAR] = tag->year();
	out->number[W_TL_TRACK] = tag->track();
}

std::vector<tag_item>
taglib_items(TagLib::File *file)
{
	std::vector<tag_item> out;
	const TagLib::PropertyMap map = file->properties();
	for (const auto &[key, values] : map) {
		for (const TagLib::String &value : values)
			out.push_back({"properties", utf8(key), utf8(key) + '=' + utf8(value), key_field(key)});
	}
	for (const TagLib::String &name : map.unsupportedData())
		out.push_back({"unmapped items", utf8(name), utf8(name), -1});
	if (auto *f = dynamic_cast<TagLib::APE::File *>(file))
		ape_items(f->APETag(false), &out);
	else if (auto *f = dynamic_cast<TagLib::MPC::File *>(file))
		ape_items(f->APETag(false), &out);
	else if (auto *f = dynamic_cast<TagLib::WavPack::File *>(file))
		ape_items(f->APETag(false), &out);
	else if (auto *f = dynamic_cast<TagLib::TrueAudio::File *>(file))
		id3v2_frames(f->ID3v2Tag(false), &out);
	else if (auto *f = dynamic_cast<TagLib::FLAC::File *>(file)) {
		id3v2_frames(f->ID3v2Tag(false), &out);
		xiph_items(f->xiphComment(false), &out);
		for (TagLib::FLAC::Picture *p : f->pictureList())
			out.push_back({"pictures", utf8(p->description()), bytes(p->render()), -1});
	} else if (auto *f = dynamic_cast<TagLib::ASF::File *>(file))
		asf_items(f->tag(), &out);
	else if (auto *x = dynamic_cast<TagLib::Ogg::XiphComment *>(file->tag()))
		xiph_items(x, &out);
	return out;
}

} // namespace w_tl
