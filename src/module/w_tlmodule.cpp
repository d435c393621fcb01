/*
 * wembrix's TagLib module: opens files with TagLib's C++ API over a stream
 * of our own, reads the seven basic fields, and renders changed fields into
 * a plan of the new file without ever writing the music file itself.
 *
 * Built as a shared object and loaded with dlopen at first use; see
 * w_tlmodule.h for the interface.  No C++ exception leaves this file.
 */
#include "w_tlmodule.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <taglib/aifffile.h>
#include <taglib/commentsframe.h>
#include <taglib/fileref.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/xiphcomment.h>
#include <taglib/tag.h>
#include <taglib/tiostream.h>
#include <taglib/wavfile.h>

#include "w_tlalltags.h"
#include "w_tlfixup.h"
#include "w_tlframes.h"
#include "w_tlproof.h"
#include "w_tlprops.h"
#include "w_tlreadback.h"
#include "w_tlstream.h"

using w_tl::plan_stream;

struct w_tlfile {
	std::unique_ptr<plan_stream> stream;
	std::unique_ptr<TagLib::FileRef> ref; // destroyed before the stream
	bool rendered = false;
};

namespace {

using namespace w_tl;

// The version a tag is saved in: its own, and 2.3 for a tag of version
// 2.2, which is no longer written.
TagLib::ID3v2::Version
id3v2_version(TagLib::ID3v2::Tag *tag)
{
	return tag != nullptr && tag->header()->majorVersion() <= 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
}

// ---- The operations ----

// Runs an operation so that no exception leaves the module: what it
// returns, or -1 with errno saying what it threw.
template <typename F>
int
guarded(F &&op)
{
	try {
		return op();
	} catch (const io_error &e) {
		errno = e.err;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
	return -1;
}

void
set_why(char *why, std::size_t whylen, const char *text)
{
	if (whylen > 0)
		std::snprintf(why, whylen, "%s", text);
}

struct w_tlfile *
tl_open_fd(int fd, const char *path)
{
	try {
		// Held by the guard until the stream owns it.
		struct fd_guard {
			int fd;
			~fd_guard()
			{
				if (fd != -1)
					close(fd);
			}
		} guard{fd};
		if (guard.fd == -1)
			return nullptr;
		struct stat st;
		if (fstat(guard.fd, &st) == -1)
			return nullptr;
		if (!S_ISREG(st.st_mode)) {
			errno = EINVAL;
			return nullptr;
		}
		auto stream = std::make_unique<plan_stream>(guard.fd, path, static_cast<std::uint64_t>(st.st_size));
		guard.fd = -1;
		auto f = std::make_unique<w_tlfile>();
		f->ref = std::make_unique<TagLib::FileRef>(stream.get(), true, TagLib::AudioProperties::Average);
		f->stream = std::move(stream);
		if (f->ref->isNull() || f->ref->tag() == nullptr || !f->ref->file()->isValid()) {
			errno = f->stream->error() != 0 ? f->stream->error() : EINVAL;
			return nullptr;
		}
		if (f->stream->error() != 0) {
			errno = f->stream->error();
			return nullptr;
		}
		// A file in which TagLib finds no audio stream at all (a text
		// file named .mp3, say) is not a music file to write tags into.
		const TagLib::AudioProperties *audio = f->ref->audioProperties();
		if (audio == nullptr || (audio->sampleRate() == 0 && audio->channels() == 0 &&
					    audio->lengthInMilliseconds() == 0 && audio->bitrate() == 0)) {
			errno = EINVAL;
			return nullptr;
		}
		return f.release();
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
	return nullptr;
}

struct w_tlfile *
tl_open(const char *path)
{
	// No wait on a FIFO.
	const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	return fd == -1 ? nullptr : tl_open_fd(fd, path);
}

int
tl_read(struct w_tlfile *f, struct w_tlvalues *values)
{
	*values = w_tlvalues{};
	const int r = guarded([&] {
		fields got;
		read_fields(f->ref->file(), &got);
		for (int i = 0; i < W_TL_NFIELDS; i++) {
			values->number[i] = got.number[i];
			if (i == W_TL_YEAR || i == W_TL_TRACK)
				continue;
			values->text[i] = strdup(got.text[i].c_str());
			if (values->text[i] == nullptr)
				throw std::bad_alloc();
		}
		return 0;
	});
	if (r == 0)
		return 0;
	for (char *&t : values->text) {
		std::free(t);
		t = nullptr;
	}
	return -1;
}

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

// How the proof walks the file's tags raw; false for a format it cannot.
bool
layout_of(TagLib::File *file, layout *how)
{
	if (dynamic_cast<TagLib::MPEG::File *>(file) != nullptr)
		*how = layout::mpeg;
	else if (dynamic_cast<TagLib::RIFF::WAV::File *>(file) != nullptr ||
	    dynamic_cast<TagLib::RIFF::AIFF::File *>(file) != nullptr)
		*how = layout::riff;
	else if (dynamic_cast<TagLib::MP4::File *>(file) != nullptr)
		*how = layout::mp4;
	else
		return false;
	return true;
}

// Whether a field of the new file reads as the user asked.  A genre asked
// as an ID3v1 genre number reads as that genre's name.
bool
reads_as(int i, const fields &got, const fields &want)
{
	if (i == W_TL_YEAR || i == W_TL_TRACK)
		return got.number[i] == want.number[i];
	if (got.text[i] == want.text[i])
		return true;
	const std::string &w = want.text[i];
	if (i != W_TL_GENRE || w.empty() || w.size() > 3 || w.find_first_not_of("0123456789") != std::string::npos)
		return false;
	return got.text[i] == TagLib::ID3v1::genre(std::stoi(w)).to8Bit(true);
}

const char *const field_names[W_TL_NFIELDS] = {"title", "artist", "year", "album", "track", "genre", "comment"};

/*
 * The proof of a write: the new file, before it is written, must keep
 * every tag item of the old one outside the changed fields, and its audio;
 * and TagLib must read it back with each field as asked.  Formats whose
 * tags we do not walk raw are compared as completely as TagLib lists them.
 * Empty when the write may land, else what it would lose.
 */
std::string
prove(struct w_tlfile *f, const w_tlplan &plan, const fields &want, const basic_change &change,
    const std::vector<tag_item> &old_items)
{
	const file_view old(plan.fd, plan.old_size), neo(plan);
	layout how;
	const bool raw = layout_of(f->ref->file(), &how);
	if (raw) {
		std::string lost = prove_raw(how, old, neo, change);
		if (!lost.empty())
			return lost;
	}
	view_stream stream(neo, f->stream->name());
	TagLib::FileRef ref(&stream, false);
	if (ref.isNull() || ref.tag() == nullptr || !ref.file()->isValid())
		return "would leave a file TagLib cannot read";
	fields got;
	read_fields(ref.file(), &got);
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (!reads_as(i, got, want))
			return std::string("would not keep the ") + field_names[i] + " as asked";
	}
	return raw ? "" : prove_listed(old, neo, old_items, taglib_items(ref.file()), change);
}

// The ID3v2 tag a write starts from: the leading one of an MP3 file, or
// that of a WAV or AIFF file's ID3 chunk (old_chunk), as the version it
// is saved in.  False, with why set, when it cannot be.
bool
old_id3v2(TagLib::File *file, std::string *old_tag, id3_chunk *old_chunk, std::string *why)
{
	auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(file);
	if (mp3 != nullptr) {
		const std::uint64_t size = leading_id3v2_size(*file);
		if (size > 0) {
			file->seek(0);
			ByteVector b = file->readBlock(static_cast<unsigned long>(size));
			if (b.size() == size)
				old_tag->assign(b.data(), b.size());
		}
	} else if (id3v2_of(file) != nullptr) {
		bool big_endian = false;
		if (find_id3_chunk(*file, &big_endian, old_chunk) && !old_chunk->name.empty())
			*old_tag = chunk_tag(*file, *old_chunk);
	}
	if (old_tag->size() < 10 || (*old_tag)[3] != 2)
		return true;
	// Version 2.2 is written as 2.3, frame for frame.
	std::string converted, refused;
	if (id3v22_to_23(*old_tag, &converted, &refused)) {
		*old_tag = converted;
		return true;
	}
	*why = id3v22_refusal(refused);
	return false;
}

int
tl_render(struct w_tlfile *f, const struct w_tlchange *changes, struct w_tlplan *plan, char *why,
    std::size_t whylen)
{
	set_why(why, whylen, "");
	if (f->rendered) {
		errno = EINVAL;
		return -1;
	}
	f->rendered = true;
	return guarded([&] {
		auto refuse = [&](const std::string &text) {
			set_why(why, whylen, text.c_str());
			errno = EINVAL;
			return -1;
		};
		TagLib::File *file = f->ref->file();
		TagLib::ID3v2::Tag *id3v2 = id3v2_of(file);
		if (id3v2 != nullptr && !id3v2_whole(*file, id3v2))
			return refuse("TagLib could not read the whole ID3v2 tag; rewriting it would lose frames");
		fields want;
		read_fields(file, &want);
		layout how;
		const std::vector<tag_item> old_items = layout_of(file, &how) ? std::vector<tag_item>{}
										: taglib_items(file);
		auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(file);
		std::string old_tag, refusal;
		id3_chunk old_chunk;
		if (!old_id3v2(file, &old_tag, &old_chunk, &refusal))
			return refuse(refusal + "; not written");
		const std::uint64_t id3v2_size = mp3 != nullptr ? leading_id3v2_size(*file) : 0;
		const std::string old_id3v1 = mp3 != nullptr && mp3->hasID3v1Tag() ? trailing_id3v1(*f->stream) : "";
		if (mp3 != nullptr) {
			// A new ID3v2 tag starts with what the ID3v1 tag holds, as the
			// fields read showed both.
			if (!mp3->hasID3v2Tag() && mp3->hasID3v1Tag())
				TagLib::Tag::duplicate(mp3->ID3v1Tag(), mp3->ID3v2Tag(true), false);
		}
		const bool had_id3v1 = mp3 != nullptr && mp3->hasID3v1Tag();
		ready_frames(file, changes);
		TagLib::Tag *tag = f->ref->tag();
		basic_change change;
		for (int i = 0; i < W_TL_NFIELDS; i++) {
			const w_tlchange &c = changes[i];
			if (!c.set)
				continue;
			const TagLib::String s(c.text != nullptr ? c.text : "", TagLib::String::UTF8);
			if (c.text != nullptr)
				want.text[i] = c.text;
			want.number[i] = c.number;
			change.changed[i] = true;
			change.cleared[i] = i == W_TL_YEAR || i == W_TL_TRACK ? c.number == 0 : s.isEmpty();
			switch (i) {
			case W_TL_TITLE: tag->setTitle(s); break;
			case W_TL_ARTIST: tag->setArtist(s); break;
			case W_TL_YEAR: tag->setYear(c.number); break;
			case W_TL_ALBUM: tag->setAlbum(s); break;
			case W_TL_TRACK: set_track(file, c.number, c.text); break;
			case W_TL_GENRE: tag->setGenre(s); break;
			case W_TL_COMMENT: set_comment(file, s); break;
			default: break;
			}
		}
		if (changes[W_TL_YEAR].set)
			pad_id3v2_year(file, changes[W_TL_YEAR].number);
		if (!save(file))
			return refuse("TagLib could not save the tags");
		if (had_id3v1)
			keep_empty_id3v1(*f->stream);
		if (mp3 != nullptr) {
			if (!keep_unchanged_frames(*file, *f->stream, old_tag, change.changed))
				keep_id3v2_size(*file, *f->stream, id3v2_size);
			keep_id3v1(*f->stream, old_id3v1, change.changed);
		} else if (!old_chunk.name.empty()) {
			keep_unchanged_chunk_frames(*file, *f->stream, old_tag, old_chunk, change.changed);
		}
		if (dynamic_cast<TagLib::MP4::File *>(file) != nullptr && !keep_mp4_pointers(*f->stream, &refusal))
			return refuse("rewriting the tag " + refusal + "; not written");
		if (dynamic_cast<TagLib::ASF::File *>(file) != nullptr)
			keep_asf_description(*f->stream, change);
		if (f->stream->error() != 0) {
			errno = f->stream->error();
			return -1;
		}
		f->stream->plan(plan);
		const std::string lost = prove(f, *plan, want, change, old_items);
		if (!lost.empty())
			return refuse("rewriting the tag " + lost + "; not written");
		return 0;
	});
}

void
tl_close(struct w_tlfile *f)
{
	delete f;
}

// ---- Every field under the names FLAC uses (--all-tags): w_tlalltags.cpp

int
tl_read_all(struct w_tlfile *f, struct w_tlpair **pairs, std::size_t *count)
{
	return guarded([&] { return alltags_read(f->ref->file(), pairs, count); });
}

int
tl_render_all(struct w_tlfile *f, const struct w_tlpair *pairs, std::size_t count, struct w_tlplan *plan,
    char *why, std::size_t whylen)
{
	set_why(why, whylen, "");
	if (f->rendered) {
		errno = EINVAL;
		return -1;
	}
	TagLib::File *file = f->ref->file();
	if (!id3_covers(file) && !mp4_covers(file)) {
		errno = ENOTSUP;
		return -1;
	}
	f->rendered = true;
	return guarded([&] { return alltags_render(file, *f->stream, pairs, count, plan, why, whylen); });
}

int
tl_props(struct w_tlfile *f, struct w_tlprops *props)
{
	if (f->rendered) {
		errno = EINVAL;
		return -1;
	}
	return guarded([&] {
		if (!audio_props(f->ref->file(), props)) {
			errno = ENODATA;
			return -1;
		}
		return 0;
	});
}

int
tl_pictures(struct w_tlfile *f, struct w_tlpicture **pictures, std::size_t *count)
{
	if (f->rendered) {
		errno = EINVAL;
		return -1;
	}
	return guarded([&] {
		const std::vector<picture> got = tag_pictures(f->ref->file());
		// One block: the records, then their texts and data.
		std::size_t size = got.size() * sizeof(w_tlpicture);
		for (const picture &p : got)
			size += p.mime.size() + 1 + p.description.size() + 1 + p.data.size();
		auto *block = static_cast<unsigned char *>(std::malloc(size != 0 ? size : 1));
		if (block == nullptr) {
			errno = ENOMEM;
			return -1;
		}
		auto *rec = reinterpret_cast<w_tlpicture *>(block);
		unsigned char *at = block + got.size() * sizeof(w_tlpicture);
		auto put = [&at](const std::string &s, bool nul) {
			unsigned char *start = at;
			std::memcpy(at, s.data(), s.size());
			at += s.size();
			if (nul)
				*at++ = '\0';
			return start;
		};
		for (std::size_t i = 0; i < got.size(); i++) {
			rec[i].type = got[i].type;
			rec[i].mime = reinterpret_cast<const char *>(put(got[i].mime, true));
			rec[i].description = reinterpret_cast<const char *>(put(got[i].description, true));
			rec[i].data = put(got[i].data, false);
			rec[i].length = got[i].data.size();
		}
		*pictures = rec;
		*count = got.size();
		return 0;
	});
}

const struct w_tlalltags alltags = {
	tl_read_all,
	tl_render_all,
};

const struct w_tlmodule module = {
	W_TLMODULE_VERSION,
	tl_open,
	tl_read,
	tl_render,
	tl_close,
	&alltags,
	tl_open_fd,
	tl_props,
	tl_pictures,
};

} // namespace

extern "C" __attribute__((visibility("default"))) const struct w_tlmodule *
w_tlmodule_entry(void)
{
	return &module;
}
