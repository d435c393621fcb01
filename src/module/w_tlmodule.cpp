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
#include "w_tlpictures.h"
#include "w_tlproof.h"
#include "w_tlprops.h"
#include "w_tlreadback.h"
#include "w_tlsetfields.h"
#include "w_tlstream.h"

using w_tl::plan_stream;

struct w_tlfile {
	std::unique_ptr<plan_stream> stream;
	std::unique_ptr<TagLib::FileRef> ref; // destroyed before the stream
	bool rendered = false;
};

namespace {

using namespace w_tl;

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

int
tl_render_pictures(struct w_tlfile *f, const struct w_tlpicslot *slots, std::size_t count, struct w_tlplan *plan,
    char *why, std::size_t whylen)
{
	set_why(why, whylen, "");
	if (f->rendered) {
		errno = EINVAL;
		return -1;
	}
	f->rendered = true;
	return guarded([&] { return pictures_render(f->ref->file(), *f->stream, slots, count, plan, why, whylen); });
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
	tl_render_pictures,
};

} // namespace

extern "C" __attribute__((visibility("default"))) const struct w_tlmodule *
w_tlmodule_entry(void)
{
	return &module;
}
