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
#include <taglib/id3v1tag.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/tiostream.h>
#include <taglib/wavfile.h>

#include "w_tlalltags.h"
#include "w_tlfixup.h"
#include "w_tlframes.h"
#include "w_tlstream.h"

using w_tl::plan_stream;

struct w_tlfile {
	std::unique_ptr<plan_stream> stream;
	std::unique_ptr<TagLib::FileRef> ref; // destroyed before the stream
	bool rendered = false;
};

namespace {

using namespace w_tl;

TagLib::ID3v2::Version
id3v2_version(TagLib::ID3v2::Tag *tag)
{
	return tag != nullptr && tag->header()->majorVersion() == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
}

// ---- The operations ----

void
set_why(char *why, std::size_t whylen, const char *text)
{
	if (whylen > 0)
		std::snprintf(why, whylen, "%s", text);
}

struct w_tlfile *
tl_open(const char *path)
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
		} guard{open(path, O_RDONLY | O_CLOEXEC)};
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
		return f.release();
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
	return nullptr;
}

int
tl_read(struct w_tlfile *f, struct w_tlvalues *values)
{
	*values = w_tlvalues{};
	try {
		TagLib::Tag *tag = f->ref->tag();
		const TagLib::String text[W_TL_NFIELDS] = {tag->title(), tag->artist(), {},
		    tag->album(), {}, tag->genre(), tag->comment()};
		values->number[W_TL_YEAR] = tag->year();
		values->number[W_TL_TRACK] = tag->track();
		for (int i = 0; i < W_TL_NFIELDS; i++) {
			if (i == W_TL_YEAR || i == W_TL_TRACK)
				continue;
			values->text[i] = strdup(text[i].toCString(true));
			if (values->text[i] == nullptr)
				throw std::bad_alloc();
		}
		return 0;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
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
	if (auto *wav = dynamic_cast<TagLib::RIFF::WAV::File *>(file)) {
		int tags = 0;
		if (wav->hasID3v2Tag())
			tags |= TagLib::RIFF::WAV::File::ID3v2;
		if (wav->hasInfoTag())
			tags |= TagLib::RIFF::WAV::File::Info;
		if (tags == 0)
			tags = TagLib::RIFF::WAV::File::AllTags;
		return wav->save(static_cast<TagLib::RIFF::WAV::File::TagTypes>(tags),
		    TagLib::File::StripNone, id3v2_version(wav->ID3v2Tag()));
	}
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

// TagLib puts a new comment into the first comment frame when none is
// without a description, overwriting a comment of another purpose: the
// comment field gets a frame of its own first.
void
add_comment_frame(TagLib::File *file)
{
	TagLib::ID3v2::Tag *tag = id3v2_to_save(file);
	if (tag == nullptr)
		return;
	for (TagLib::ID3v2::Frame *frame : tag->frameList("COMM")) {
		auto *comment = dynamic_cast<TagLib::ID3v2::CommentsFrame *>(frame);
		if (comment == nullptr || comment->description().isEmpty())
			return;
	}
	if (!tag->frameList("COMM").isEmpty())
		tag->addFrame(new TagLib::ID3v2::CommentsFrame());
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
	try {
		TagLib::File *file = f->ref->file();
		TagLib::ID3v2::Tag *id3v2 = id3v2_of(file);
		if (id3v2 != nullptr && !id3v2_whole(*file, id3v2)) {
			set_why(why, whylen, "TagLib could not read the whole ID3v2 tag; rewriting it would lose frames");
			errno = EINVAL;
			return -1;
		}
		auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(file);
		const std::uint64_t id3v2_size = mp3 != nullptr ? leading_id3v2_size(*file) : 0;
		std::string old_tag;
		if (id3v2_size > 0) {
			file->seek(0);
			ByteVector b = file->readBlock(static_cast<unsigned long>(id3v2_size));
			if (b.size() == id3v2_size)
				old_tag.assign(b.data(), b.size());
		}
		// The tag of a WAV or AIFF file's ID3v2 chunk.
		id3_chunk old_chunk;
		bool big_endian = false;
		const bool riff = mp3 == nullptr && id3v2 != nullptr &&
		    find_id3_chunk(*file, &big_endian, &old_chunk) && !old_chunk.name.empty();
		if (riff)
			old_tag = chunk_tag(*file, old_chunk);
		if (mp3 != nullptr) {
			// A new ID3v2 tag starts with what the ID3v1 tag holds, as the
			// fields read showed both.
			if (!mp3->hasID3v2Tag() && mp3->hasID3v1Tag())
				TagLib::Tag::duplicate(mp3->ID3v1Tag(), mp3->ID3v2Tag(true), false);
		}
		const w_tlchange &comment = changes[W_TL_COMMENT];
		if (comment.set && comment.text != nullptr && comment.text[0] != '\0')
			add_comment_frame(file);
		TagLib::Tag *tag = f->ref->tag();
		for (int i = 0; i < W_TL_NFIELDS; i++) {
			const w_tlchange &c = changes[i];
			if (!c.set)
				continue;
			const TagLib::String s(c.text != nullptr ? c.text : "", TagLib::String::UTF8);
			switch (i) {
			case W_TL_TITLE: tag->setTitle(s); break;
			case W_TL_ARTIST: tag->setArtist(s); break;
			case W_TL_YEAR: tag->setYear(c.number); break;
			case W_TL_ALBUM: tag->setAlbum(s); break;
			case W_TL_TRACK: tag->setTrack(c.number); break;
			case W_TL_GENRE: tag->setGenre(s); break;
			case W_TL_COMMENT: tag->setComment(s); break;
			default: break;
			}
		}
		if (changes[W_TL_YEAR].set)
			pad_id3v2_year(file, changes[W_TL_YEAR].number);
		if (!save(file)) {
			set_why(why, whylen, "TagLib could not save the tags");
			errno = EINVAL;
			return -1;
		}
		bool changed[W_TL_NFIELDS];
		for (int i = 0; i < W_TL_NFIELDS; i++)
			changed[i] = changes[i].set;
		if (mp3 != nullptr) {
			if (!keep_unchanged_frames(*file, *f->stream, old_tag, changed))
				keep_id3v2_size(*file, *f->stream, id3v2_size);
		} else if (riff) {
			keep_unchanged_chunk_frames(*file, *f->stream, old_tag, old_chunk.name, changed);
		}
		if (f->stream->error() != 0) {
			errno = f->stream->error();
			return -1;
		}
		f->stream->plan(plan);
		return 0;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
	return -1;
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
	try {
		return alltags_read(f->ref->file(), pairs, count);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
	return -1;
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
	try {
		return alltags_render(file, *f->stream, pairs, count, plan, why, whylen);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
	return -1;
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
};

} // namespace

extern "C" __attribute__((visibility("default"))) const struct w_tlmodule *
w_tlmodule_entry(void)
{
	return &module;
}
