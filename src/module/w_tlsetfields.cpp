#include "w_tlsetfields.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <taglib/aifffile.h>
#include <taglib/apetag.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2header.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include "w_tlframes.h"

namespace w_tl {

namespace {

// The version a tag is saved in: its own, and 2.3 for a tag of version
// 2.2, which is no longer written.
TagLib::ID3v2::Version
id3v2_version(TagLib::ID3v2::Tag *tag)
{
	return tag != nullptr && tag->header()->majorVersion() <= 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
}

} // namespace

// Saves the tags the file already has, in the ID3v2 version it has, and
// nothing else: no tag type is added beside an existing one.
bool
save(TagLib::File *file)
{
	if (auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(file)) {
		int tags = TagLib::MPEG::File::ID3v2;
		if (mp3->hasID3v1Tag())
			tags |= TagLib::MPEG::File::ID3v1;
		if (mp3->hasAPETag())
			tags |= TagLib::MPEG::File::APE;
		return mp3->save(tags, TagLib::File::StripNone, id3v2_version(mp3->ID3v2Tag()),
		    TagLib::File::DoNotDuplicate);
	}
	// TagLib reads the fields of a WAV file from its ID3v2 tag alone, and
	// would render its INFO chunks anew from what it understood of them:
	// they stay as they are, as the --all-tags mode leaves them.
	if (auto *wav = dynamic_cast<TagLib::RIFF::WAV::File *>(file))
		return wav->save(TagLib::RIFF::WAV::File::ID3v2, TagLib::File::StripNone,
		    id3v2_version(wav->ID3v2Tag()));
	if (auto *aiff = dynamic_cast<TagLib::RIFF::AIFF::File *>(file))
		return aiff->save(id3v2_version(aiff->tag()));
	return file->save();
}

// The file's ID3v2 tag, if it is of a kind that has one and has one.
TagLib::ID3v2::Tag *
id3v2_of(TagLib::File *file)
{
	if (auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(file))
		return mp3->hasID3v2Tag() ? mp3->ID3v2Tag() : nullptr;
	if (auto *wav = dynamic_cast<TagLib::RIFF::WAV::File *>(file))
		return wav->hasID3v2Tag() ? wav->ID3v2Tag() : nullptr;
	if (auto *aiff = dynamic_cast<TagLib::RIFF::AIFF::File *>(file))
		return aiff->hasID3v2Tag() ? aiff->tag() : nullptr;
	return nullptr;
}

// The ID3v2 tag that a save will write, if any.
TagLib::ID3v2::Tag *
id3v2_to_save(TagLib::File *file)
{
	if (auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(file))
		return mp3->ID3v2Tag(true);
	if (auto *wav = dynamic_cast<TagLib::RIFF::WAV::File *>(file))
		return wav->ID3v2Tag();
	if (auto *aiff = dynamic_cast<TagLib::RIFF::AIFF::File *>(file))
		return aiff->tag();
	return nullptr;
}

// TagLib stores a year as plain digits; an ID3v2 year has four, and
// TagLib drops a shorter one when it writes version 2.3.
void
pad_id3v2_year(TagLib::File *file, unsigned int year)
{
	TagLib::ID3v2::Tag *tag = id3v2_to_save(file);
	if (tag == nullptr || year < 1 || year > 999)
		return;
	char text[5];
	std::snprintf(text, sizeof(text), "%04u", year);
	for (TagLib::ID3v2::Frame *frame : tag->frameList("TDRC"))
		frame->setText(text);
}

// The comment field of an ID3v2 tag is its comment frame without a
// description: TagLib would otherwise write into a described one, or clear
// them all.  The file's other tags take the comment as TagLib gives it.
void
set_comment(TagLib::File *file, const TagLib::String &s)
{
	TagLib::ID3v2::Tag *v2 = id3v2_to_save(file);
	if (v2 == nullptr) {
		file->tag()->setComment(s);
		return;
	}
	TagLib::ID3v2::CommentsFrame *field = nullptr;
	const TagLib::ID3v2::FrameList &list = v2->frameList("COMM");
	for (TagLib::ID3v2::Frame *frame : std::vector<TagLib::ID3v2::Frame *>(list.begin(), list.end())) {
		auto *comment = dynamic_cast<TagLib::ID3v2::CommentsFrame *>(frame);
		if (comment == nullptr || !comment->description().isEmpty())
			continue;
		if (s.isEmpty())
			v2->removeFrame(comment);
		else if (field == nullptr)
			field = comment;
	}
	if (!s.isEmpty()) {
		if (field == nullptr) {
			field = new TagLib::ID3v2::CommentsFrame();
			v2->addFrame(field);
		}
		field->setText(s);
	}
	if (auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(file)) {
		if (TagLib::Tag *ape = mp3->APETag(false))
			ape->setComment(s);
		if (TagLib::Tag *v1 = mp3->ID3v1Tag(false))
			v1->setComment(s);
	}
}

// What follows the track number ("/12"), in the tag that holds it as text.
std::string
total_of(const TagLib::String &text)
{
	const int slash = text.find("/");
	return slash >= 0 ? text.substr(static_cast<unsigned int>(slash)).to8Bit(true) : "";
}

// A new track number keeps the total the old one had, unless total (its
// digits) gives a new one; 0 takes both away.
void
set_track(TagLib::File *file, unsigned int n, const char *total)
{
	TagLib::ID3v2::Tag *v2 = id3v2_to_save(file);
	auto *mp4 = dynamic_cast<TagLib::MP4::Tag *>(file->tag());
	auto *xiph = dynamic_cast<TagLib::Ogg::XiphComment *>(file->tag());
	TagLib::APE::Tag *ape = nullptr;
	if (auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(file))
		ape = mp3->APETag(false);
	else
		ape = dynamic_cast<TagLib::APE::Tag *>(file->tag());
	std::string v2_total, ape_total, xiph_total;
	int mp4_total = 0;
	if (v2 != nullptr && !v2->frameList("TRCK").isEmpty())
		v2_total = total_of(v2->frameList("TRCK").front()->toString());
	if (ape != nullptr && ape->itemListMap().contains("TRACK"))
		ape_total = total_of(ape->itemListMap()["TRACK"].toString());
	if (xiph != nullptr && xiph->contains("TRACKNUMBER"))
		xiph_total = total_of(xiph->fieldListMap()["TRACKNUMBER"].front());
	if (mp4 != nullptr && mp4->contains("trkn"))
		mp4_total = mp4->item("trkn").toIntPair().second;

	file->tag()->setTrack(n);
	if (n == 0)
		return;
	if (total != nullptr && total[0] != '\0') {
		const std::string t = std::string("/") + total;
		v2_total = v2 != nullptr ? t : "";
		ape_total = ape != nullptr ? t : "";
		xiph_total = xiph != nullptr ? t : "";
		mp4_total = mp4 != nullptr ? std::atoi(total) : 0;
	}
	const TagLib::String number = TagLib::String::number(static_cast<int>(n));
	if (!v2_total.empty() && !v2->frameList("TRCK").isEmpty())
		v2->frameList("TRCK").front()->setText(number + TagLib::String(v2_total, TagLib::String::UTF8));
	if (!ape_total.empty())
		ape->addValue("TRACK", number + TagLib::String(ape_total, TagLib::String::UTF8), true);
	if (!xiph_total.empty())
		xiph->addField("TRACKNUMBER", number + TagLib::String(xiph_total, TagLib::String::UTF8), true);
	if (mp4_total != 0)
		mp4->setItem("trkn", TagLib::MP4::Item(static_cast<int>(n), mp4_total));
}

// TagLib takes an ID3v1 tag away once its fields are all empty; the file
// keeps it, empty, so that the fields set later go there again.
void
keep_empty_id3v1(plan_stream &stream)
{
	const long length = stream.length();
	if (length >= 128) {
		stream.seek(length - 128, TagLib::IOStream::Beginning);
		if (stream.readBlock(3) == "TAG")
			return;
	}
	TagLib::ID3v1::Tag empty;
	stream.insert(empty.render(), static_cast<unsigned long>(length), 0);
}

// The frames TagLib holds a field in, once it has read the tag.
bool
frame_of_field(TagLib::ID3v2::Frame *frame, int field)
{
	static const char *const ids[W_TL_NFIELDS] = {"TIT2", "TPE1", "TDRC", "TALB", "TRCK", "TCON", "COMM"};
	if (frame->frameID() != ids[field])
		return false;
	auto *comment = dynamic_cast<TagLib::ID3v2::CommentsFrame *>(frame);
	return field != W_TL_COMMENT || (comment != nullptr && comment->description().isEmpty());
}

// Readies the frames of the fields about to change for TagLib's rendering:
// TagLib leaves out a frame that asks to be dropped when the tag changes
// (and would so drop the new value with it), and renders nothing but the
// encoding byte for text in an encoding it does not know.  TagLib keeps
// both flags to itself, so every such frame is replaced by a plain one
// with the same text, which the change then sets.
void
ready_frames(TagLib::File *file, const w_tlchange *changes)
{
	TagLib::ID3v2::Tag *v2 = id3v2_of(file);
	if (v2 == nullptr)
		return;
	// A copy of TagLib's list would own the frames: a plain one.
	const std::vector<TagLib::ID3v2::Frame *> frames(v2->frameList().begin(), v2->frameList().end());
	for (TagLib::ID3v2::Frame *frame : frames) {
		int field = -1;
		for (int i = 0; i < W_TL_NFIELDS && field < 0; i++) {
			if (changes[i].set && frame_of_field(frame, i))
				field = i;
		}
		if (field < 0)
			continue;
		TagLib::ID3v2::Frame *plain = nullptr;
		if (auto *text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame *>(frame)) {
			auto *t = new TagLib::ID3v2::TextIdentificationFrame(frame->frameID(), TagLib::String::Latin1);
			t->setText(text->fieldList());
			plain = t;
		} else if (auto *comment = dynamic_cast<TagLib::ID3v2::CommentsFrame *>(frame)) {
			auto *c = new TagLib::ID3v2::CommentsFrame();
			c->setLanguage(comment->language());
			c->setText(comment->text());
			plain = c;
		}
		if (plain != nullptr) {
			v2->removeFrame(frame);
			v2->addFrame(plain);
		}
	}
}

} // namespace w_tl
