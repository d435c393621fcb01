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
#include <deque>
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

namespace {

using TagLib::ByteVector;

/*
 * A stream over a read-only descriptor of the music file that keeps every
 * change TagLib makes as a list of pieces: ranges of the old file and
 * blocks of new bytes.  TagLib sees a normal read-write file; inserting or
 * removing bytes costs nothing, and the file on disk never changes.
 */
class plan_stream : public TagLib::IOStream {
public:
	plan_stream(int fd, std::string name, std::uint64_t size)
	    : fd_(fd), name_(std::move(name)), len_(size), old_size_(size)
	{
		if (size > 0)
			pieces_.push_back({nullptr, 0, size});
	}
	~plan_stream() override { close(fd_); }
	plan_stream(const plan_stream &) = delete;
	plan_stream &operator=(const plan_stream &) = delete;

	TagLib::FileName name() const override { return name_.c_str(); }

	ByteVector readBlock(unsigned long length) override
	{
		if (pos_ >= len_ || length == 0)
			return ByteVector();
		std::uint64_t want = std::min<std::uint64_t>(length, len_ - pos_);
		ByteVector out(static_cast<unsigned int>(want), '\0');
		char *dst = out.data();
		std::uint64_t at = 0; // offset of the current piece in the stream
		std::uint64_t done = 0;
		for (const auto &p : pieces_) {
			if (done == want)
				break;
			std::uint64_t from = pos_ + done;
			if (from >= at + p.length) {
				at += p.length;
				continue;
			}
			std::uint64_t skip = from - at;
			std::uint64_t n = std::min(p.length - skip, want - done);
			if (p.data != nullptr) {
				std::memcpy(dst + done, p.data + skip, n);
			} else if (!pread_all(dst + done, n, p.offset + skip)) {
				out.resize(static_cast<unsigned int>(done));
				pos_ += done;
				return out;
			}
			done += n;
			at += p.length;
		}
		pos_ += done;
		return out;
	}

	void writeBlock(const ByteVector &data) override
	{
		std::uint64_t replace = pos_ < len_ ? std::min<std::uint64_t>(data.size(), len_ - pos_) : 0;
		splice(pos_, replace, data);
		pos_ += data.size();
	}

	void insert(const ByteVector &data, unsigned long start, unsigned long replace) override
	{
		std::uint64_t r = start < len_ ? std::min<std::uint64_t>(replace, len_ - start) : 0;
		splice(start, r, data);
	}

	void removeBlock(unsigned long start, unsigned long length) override
	{
		if (start >= len_)
			return;
		splice(start, std::min<std::uint64_t>(length, len_ - start), ByteVector());
	}

	bool readOnly() const override { return false; }
	bool isOpen() const override { return true; }

	void seek(long offset, Position p) override
	{
		long base = p == Beginning ? 0 : p == Current ? static_cast<long>(pos_) : static_cast<long>(len_);
		if (base + offset >= 0)
			pos_ = static_cast<std::uint64_t>(base + offset);
	}

	long tell() const override { return static_cast<long>(pos_); }
	long length() override { return static_cast<long>(len_); }

	void truncate(long length) override
	{
		auto n = static_cast<std::uint64_t>(std::max(length, 0L));
		if (n < len_)
			splice(n, len_ - n, ByteVector());
		else if (n > len_)
			splice(len_, 0, ByteVector(static_cast<unsigned int>(n - len_), '\0'));
	}

	// The errno of the first read that failed, 0 if none did.
	int error() const { return error_; }

	// The new file, adjacent ranges of the old one joined.
	void plan(struct w_tlplan *out)
	{
		plan_.clear();
		for (const auto &p : pieces_) {
			if (!plan_.empty() && p.data == nullptr && plan_.back().data == nullptr &&
			    plan_.back().offset + plan_.back().length == p.offset)
				plan_.back().length += p.length;
			else
				plan_.push_back({p.data, p.offset, p.length});
		}
		out->fd = fd_;
		out->old_size = old_size_;
		out->new_size = len_;
		out->pieces = plan_.data();
		out->count = plan_.size();
	}

private:
	struct piece {
		const unsigned char *data; // null: the old file from offset
		std::uint64_t offset;
		std::uint64_t length;
	};

	// TagLib reads the old file in many small pieces, mostly near its
	// start and its end: two windows of it are kept.
	struct window {
		std::uint64_t start = 0;
		std::vector<char> bytes;
		unsigned long used = 0;
	};
	static constexpr std::uint64_t window_size = 1 << 16;

	bool pread_all(char *dst, std::uint64_t n, std::uint64_t offset)
	{
		while (n > 0) {
			window *w = nullptr;
			for (window &c : windows_) {
				if (offset >= c.start && offset < c.start + c.bytes.size())
					w = &c;
			}
			if (w == nullptr && !(w = load(offset)))
				return false;
			w->used = ++clock_;
			std::uint64_t skip = offset - w->start;
			std::uint64_t take = std::min<std::uint64_t>(n, w->bytes.size() - skip);
			std::memcpy(dst, w->bytes.data() + skip, take);
			dst += take;
			n -= take;
			offset += take;
		}
		return true;
	}

	// Reads the window around offset in place of the one used least lately.
	window *load(std::uint64_t offset)
	{
		window *w = windows_[0].used <= windows_[1].used ? &windows_[0] : &windows_[1];
		w->start = offset - offset % window_size;
		w->bytes.resize(window_size);
		std::size_t got = 0;
		while (got < window_size) {
			ssize_t r = pread(fd_, w->bytes.data() + got, window_size - got,
			    static_cast<off_t>(w->start + got));
			if (r < 0 && errno == EINTR)
				continue;
			if (r < 0) {
				if (error_ == 0)
					error_ = errno;
				w->bytes.clear();
				return nullptr;
			}
			if (r == 0)
				break;
			got += static_cast<std::size_t>(r);
		}
		w->bytes.resize(got);
		if (offset >= w->start + got) {
			if (error_ == 0)
				error_ = EIO; // the file shrank under us
			return nullptr;
		}
		return w;
	}

	// Replaces the remove bytes at start with data (start <= len_, or the
	// gap up to start is filled with zeros first).
	void splice(std::uint64_t start, std::uint64_t remove, const ByteVector &data)
	{
		if (start > len_) {
			splice(len_, 0, ByteVector(static_cast<unsigned int>(start - len_), '\0'));
			remove = 0;
		}
		std::vector<piece> next;
		next.reserve(pieces_.size() + 2);
		std::uint64_t at = 0;
		const std::uint64_t end = start + remove;
		bool placed = false;
		auto place = [&] {
			if (!placed && data.size() > 0) {
				// A copy of our own: a ByteVector shares its bytes.
				blocks_.emplace_back(data.data(), data.size());
				const ByteVector &block = blocks_.back();
				next.push_back({reinterpret_cast<const unsigned char *>(block.data()), 0,
				    block.size()});
			}
			placed = true;
		};
		for (const auto &p : pieces_) {
			std::uint64_t p_end = at + p.length;
			if (p_end <= start) {
				next.push_back(p);
			} else if (at >= end) {
				place();
				next.push_back(p);
			} else {
				if (at < start) {
					piece head = p;
					head.length = start - at;
					next.push_back(head);
				}
				place();
				if (p_end > end) {
					piece tail = p;
					std::uint64_t cut = end - at;
					if (tail.data != nullptr)
						tail.data += cut;
					else
						tail.offset += cut;
					tail.length = p_end - end;
					next.push_back(tail);
				}
			}
			at = p_end;
		}
		place();
		pieces_.swap(next);
		len_ = len_ - remove + data.size();
	}

	int fd_;
	std::string name_;
	std::uint64_t len_;
	std::uint64_t old_size_;
	std::uint64_t pos_ = 0;
	int error_ = 0;
	std::vector<piece> pieces_;
	std::deque<ByteVector> blocks_;
	std::vector<w_tlpiece> plan_;
	window windows_[2];
	unsigned long clock_ = 0;
};

} // namespace

struct w_tlfile {
	std::unique_ptr<plan_stream> stream;
	std::unique_ptr<TagLib::FileRef> ref; // destroyed before the stream
	bool rendered = false;
};

namespace {

// ---- Does TagLib's reading of an ID3v2 tag cover the whole tag? ----
//
// TagLib stops reading an ID3v2 tag's frames at the first frame it cannot
// parse and takes the rest for padding; a rewrite would then drop every
// later frame.  The walk below stops where TagLib's does, and the tag was
// read whole only if nothing but zero bytes follows that point.

// An ID3v2 size: synchsafe, unless a byte has its high bit set, in which
// case the writer stored a plain big-endian number (TagLib reads it so).
std::uint32_t
id3_size(const unsigned char *b, bool synchsafe)
{
	bool plain = !synchsafe;
	for (int i = 0; i < 4 && !plain; i++)
		plain = (b[i] & 0x80) != 0;
	std::uint32_t v = 0;
	for (int i = 0; i < 4; i++)
		v = plain ? (v << 8) | b[i] : (v << 7) | (b[i] & 0x7f);
	return v;
}

bool
frame_id_ok(const unsigned char *id, std::size_t n)
{
	for (std::size_t i = 0; i < n; i++) {
		if (!((id[i] >= 'A' && id[i] <= 'Z') || (id[i] >= '0' && id[i] <= '9')))
			return false;
	}
	return true;
}

// Whether a 4-byte frame id starts at data[at] (false past the end).
bool
frame_id_at(const std::string &d, std::size_t at)
{
	return at + 4 <= d.size() && frame_id_ok(reinterpret_cast<const unsigned char *>(d.data()) + at, 4);
}

// One frame of a tag body as the walk below finds it.
struct raw_frame {
	std::size_t pos;  // of its header in the body
	std::size_t size; // header included
	bool itunes;      // a version 2.2 id padded with a NUL
};

// Walks the frames of the tag body d (major version v) from pos to len the
// way TagLib does, stopping at the first zero byte, and records them in
// frames (if given).  False at a frame TagLib cannot parse; *end is where
// the walk stopped.
bool
walk_frames(const std::string &d, unsigned v, std::size_t pos, std::size_t len,
    std::vector<raw_frame> *frames, std::size_t *end)
{
	const auto *b = reinterpret_cast<const unsigned char *>(d.data());
	const std::size_t hsize = v < 3 ? 6 : 10;
	*end = pos;
	while (len > hsize && pos < len - hsize) {
		if (b[pos] == 0)
			break;
		std::uint32_t size;
		bool dli = false;
		bool itunes = false;
		if (v < 3) {
			if (!frame_id_ok(b + pos, 3))
				return false;
			size = (std::uint32_t{b[pos + 3]} << 16) | (b[pos + 4] << 8) | b[pos + 5];
		} else {
			// iTunes writes version 2.2 frame ids padded with a NUL.
			itunes = v == 3 && b[pos + 3] == 0;
			if (!frame_id_ok(b + pos, itunes ? 3 : 4))
				return false;
			if (v == 3) {
				size = id3_size(b + pos + 4, false);
			} else {
				size = id3_size(b + pos + 4, true);
				// iTunes also writes 2.4 frame sizes as plain numbers.
				if (size > 127 && !frame_id_at(d, pos + size + 10)) {
					std::uint32_t plain = id3_size(b + pos + 4, false);
					if (frame_id_at(d, pos + plain + 10))
						size = plain;
				}
				dli = (b[pos + 9] & 0x01) != 0;
			}
		}
		if (size <= (dli ? 4u : 0u) || size > d.size() - pos - hsize)
			return false;
		if (frames != nullptr)
			frames->push_back({pos, hsize + size, itunes});
		pos += hsize + size;
		*end = pos;
	}
	return true;
}

// Whether d holds nothing but zero bytes from pos on.
bool
zeros_from(const std::string &d, std::size_t pos)
{
	return pos >= d.size() || std::all_of(d.begin() + static_cast<std::ptrdiff_t>(pos), d.end(),
	    [](char c) { return c == '\0'; });
}

// True when the frames of the tag body d (major version v) are read whole.
bool
id3v2_body_whole(std::string d, unsigned v, bool unsync, bool extended, bool footer)
{
	if (unsync && v <= 3) {
		// Whole-tag unsynchronisation: every 0xFF 0x00 stands for 0xFF.
		std::string out;
		out.reserve(d.size());
		for (std::size_t i = 0; i < d.size(); i++) {
			out.push_back(d[i]);
			if (static_cast<unsigned char>(d[i]) == 0xff && i + 1 < d.size() && d[i + 1] == '\0')
				i++;
		}
		d.swap(out);
	}
	const auto *b = reinterpret_cast<const unsigned char *>(d.data());
	std::size_t pos = 0;
	std::size_t len = d.size();
	if (extended && len >= 4) {
		std::uint32_t ext = id3_size(b, true);
		// TagLib shortens the length it walks by the extended header
		// as well as starting after it; the bytes it thus never looks at
		// still count below.
		if (ext <= len) {
			pos += ext;
			len -= ext;
		}
	}
	if (footer && len >= 10)
		len -= 10;
	std::size_t end;
	return walk_frames(d, v, pos, len, nullptr, &end) && zeros_from(d, end);
}

// Whether TagLib read the file's ID3v2 tag whole; false when the tag cannot
// even be found again.
bool
id3v2_whole(TagLib::File &file, TagLib::ID3v2::Tag *tag)
{
	const TagLib::ID3v2::Header *h = tag->header();
	const unsigned v = h->majorVersion();
	ByteVector id("ID3");
	id.append(static_cast<char>(v));
	long at = 0;
	for (int tries = 0; tries < 16; tries++, at++) {
		at = file.find(id, at);
		if (at < 0)
			return false;
		file.seek(at);
		ByteVector head = file.readBlock(10);
		if (head.size() < 10)
			return false;
		const auto *b = reinterpret_cast<const unsigned char *>(head.data());
		bool synchsafe = (b[6] | b[7] | b[8] | b[9]) < 0x80;
		// A size TagLib refused to read is a tag it did not read at all.
		if (!synchsafe)
			return false;
		if (id3_size(b + 6, true) != h->tagSize())
			continue;
		ByteVector body = file.readBlock(h->tagSize());
		if (body.size() != h->tagSize())
			return false;
		return id3v2_body_whole(std::string(body.data(), body.size()), v,
		    (b[5] & 0x80) != 0, (b[5] & 0x40) != 0, (b[5] & 0x10) != 0);
	}
	return false;
}

// The size of the ID3v2 tag at the start of the stream, header included;
// 0 when there is none, or one with a footer (which is left alone).
std::uint64_t
leading_id3v2_size(TagLib::File &file)
{
	file.seek(0);
	ByteVector head = file.readBlock(10);
	const auto *b = reinterpret_cast<const unsigned char *>(head.data());
	if (head.size() < 10 || !head.startsWith("ID3") || (b[5] & 0x10) != 0 ||
	    (b[6] | b[7] | b[8] | b[9]) >= 0x80)
		return 0;
	return 10 + std::uint64_t{id3_size(b + 6, true)};
}

/*
 * TagLib gives a rewritten ID3v2 tag padding of its own choosing, which
 * often changes the tag's size even when the frames would fit the old one;
 * every byte of audio would then move.  Once TagLib has saved, a leading
 * tag whose frames fit the old size gets the old size back, the rest of it
 * zero padding, so that the file keeps its size and is written in place.
 */
void
keep_id3v2_size(TagLib::File &file, plan_stream &stream, std::uint64_t old_size)
{
	std::uint64_t new_size = leading_id3v2_size(file);
	if (old_size == 0 || new_size == 0 || new_size == old_size)
		return;
	file.seek(0);
	ByteVector tag = file.readBlock(static_cast<unsigned long>(new_size));
	const auto *b = reinterpret_cast<const unsigned char *>(tag.data());
	const unsigned v = b[3];
	if (tag.size() != new_size || (v != 3 && v != 4) || (b[5] & 0xc0) != 0)
		return; // not as TagLib writes it
	// Where the frames end and the padding starts.
	std::size_t pos = 10;
	while (pos + 10 <= tag.size() && b[pos] != 0)
		pos += 10 + id3_size(b + pos + 4, v == 4);
	if (pos > tag.size() || pos > old_size)
		return;
	ByteVector neo(tag.data(), static_cast<unsigned int>(pos));
	neo.resize(static_cast<unsigned int>(old_size), '\0');
	std::uint32_t body = static_cast<std::uint32_t>(old_size - 10);
	for (int i = 9; i >= 6; i--, body >>= 7)
		neo[i] = static_cast<char>(body & 0x7f);
	stream.insert(neo, 0, static_cast<unsigned long>(new_size));
}

/*
 * TagLib reads an ID3v2 tag into frames of its own and renders every one of
 * them again on save: a version 2.3 tag comes back with other text
 * encodings, genres and dates, and frames in another order, however little
 * was asked.  Once TagLib has saved, the leading tag is therefore rebuilt
 * from the old one: each frame of a field that did not change is the old
 * frame byte for byte and in its place, and only the frames of the changed
 * fields come from TagLib's rendering, where the field's first old frame
 * was, or at the end when the field is new.
 */

// The field an ID3v2 frame stands for, -1 for none.  Of the comment
// frames, only those without a description are the comment field.
int
frame_field(const std::string &tag, const raw_frame &fr, unsigned v)
{
	const std::string id = tag.substr(fr.pos, 4);
	if (id == "TIT2")
		return W_TL_TITLE;
	if (id == "TPE1")
		return W_TL_ARTIST;
	if (id == "TALB")
		return W_TL_ALBUM;
	if (id == "TCON")
		return W_TL_GENRE;
	if (id == "TRCK")
		return W_TL_TRACK;
	if (v == 4 ? id == "TDRC" : (id == "TYER" || id == "TDAT" || id == "TIME" || id == "TRDA"))
		return W_TL_YEAR;
	if (id != "COMM")
		return -1;
	// Encoding, language, then the description up to its terminator.
	const auto *b = reinterpret_cast<const unsigned char *>(tag.data()) + fr.pos + 10;
	std::size_t n = fr.size - 10;
	if (n < 5)
		return -1;
	const unsigned enc = b[0];
	b += 4;
	n -= 4;
	if (enc == 0 || enc == 3)
		return b[0] == 0 ? W_TL_COMMENT : -1;
	if (enc == 1 && n >= 2 && ((b[0] == 0xff && b[1] == 0xfe) || (b[0] == 0xfe && b[1] == 0xff))) {
		b += 2;
		n -= 2;
	}
	return n >= 2 && b[0] == 0 && b[1] == 0 ? W_TL_COMMENT : -1;
}

// The frames of a whole ID3v2.3 or 2.4 tag (header included) that can be
// copied as they are: no unsynchronisation, no extended header or footer,
// no frame compressed, encrypted or grouped, nothing but zeros after them.
bool
plain_frames(const std::string &tag, std::vector<raw_frame> *frames)
{
	const auto *b = reinterpret_cast<const unsigned char *>(tag.data());
	if (tag.size() < 10 || (b[3] != 3 && b[3] != 4) || (b[5] & 0xd0) != 0)
		return false;
	const unsigned v = b[3];
	std::size_t end;
	if (!walk_frames(tag, v, 10, tag.size(), frames, &end) || !zeros_from(tag, end))
		return false;
	const unsigned char unhandled = v == 3 ? 0xe0 : 0x4f;
	return std::none_of(frames->begin(), frames->end(),
	    [&](const raw_frame &fr) { return fr.itunes || (b[fr.pos + 9] & unhandled) != 0; });
}

// Rebuilds neo, the ID3v2 tag TagLib saved (empty when it saved none), from
// old_tag, the file's tag before the save, so that only the fields in
// changed are TagLib's.  *out is the new tag, empty when none is left.
// False when either tag is not one this can do.
bool
rebuild_tag(const std::string &old_tag, const std::string &neo, const bool changed[W_TL_NFIELDS],
    std::string *out)
{
	std::vector<raw_frame> old_frames, new_frames;
	if (old_tag.empty() || !plain_frames(old_tag, &old_frames) ||
	    (!neo.empty() && (neo[3] != old_tag[3] || !plain_frames(neo, &new_frames))))
		return false;
	const unsigned v = static_cast<unsigned char>(old_tag[3]);

	// The frames TagLib rendered for each changed field, in its order.
	std::string fresh[W_TL_NFIELDS];
	std::size_t rendered_end = 10;
	for (const raw_frame &fr : new_frames) {
		int field = frame_field(neo, fr, v);
		if (field >= 0 && changed[field])
			fresh[field].append(neo, fr.pos, fr.size);
		rendered_end = fr.pos + fr.size;
	}
	std::string body;
	bool placed[W_TL_NFIELDS] = {};
	for (const raw_frame &fr : old_frames) {
		int field = frame_field(old_tag, fr, v);
		if (field < 0 || !changed[field]) {
			body.append(old_tag, fr.pos, fr.size);
		} else if (!placed[field]) {
			body += fresh[field];
			placed[field] = true;
		}
	}
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (changed[i] && !placed[i])
			body += fresh[i];
	}

	out->clear();
	if (body.empty() && neo.empty())
		return true; // nothing is left to keep

	// The old size when the frames fit it, else TagLib's padding.
	std::uint64_t size = 10 + body.size();
	if (size <= old_tag.size())
		size = old_tag.size();
	else if (neo.size() > rendered_end)
		size += neo.size() - rendered_end;
	if (size - 10 >= (std::uint64_t{1} << 28))
		return false;
	*out = old_tag.substr(0, 6);
	std::uint32_t n = static_cast<std::uint32_t>(size - 10);
	for (int shift = 21; shift >= 0; shift -= 7)
		out->push_back(static_cast<char>((n >> shift) & 0x7f));
	*out += body;
	out->resize(static_cast<std::size_t>(size), '\0');
	return true;
}

// Rebuilds the leading tag TagLib saved from old_tag, the file's leading
// tag before the save.  False, with nothing done, when it cannot.
bool
keep_unchanged_frames(TagLib::File &file, plan_stream &stream, const std::string &old_tag,
    const bool changed[W_TL_NFIELDS])
{
	if (old_tag.empty())
		return false;
	// TagLib drops a tag left without frames of its own, whatever frames
	// of other fields the old one has.
	const std::uint64_t new_size = leading_id3v2_size(file);
	file.seek(0);
	ByteVector rendered = file.readBlock(static_cast<unsigned long>(new_size > 0 ? new_size : 3));
	if (new_size == 0 && rendered.startsWith("ID3"))
		return false;
	const std::string neo = new_size > 0 ? std::string(rendered.data(), rendered.size()) : "";
	std::string out;
	if (neo.size() != new_size || !rebuild_tag(old_tag, neo, changed, &out))
		return false;
	if (out.empty() && new_size == 0)
		return true;
	stream.insert(ByteVector(out.data(), static_cast<unsigned int>(out.size())), 0,
	    static_cast<unsigned long>(new_size));
	return true;
}

/*
 * WAV and AIFF files keep their ID3v2 tag in a chunk of the RIFF or FORM
 * container ("id3 " or "ID3 "), which TagLib removes and writes anew on
 * save.  The tag in it is rebuilt as a leading one is, and the chunk and
 * container sizes follow.
 */

// Where a file's ID3v2 chunk is: its header's offset, the size its header
// gives, and its name.
struct id3_chunk {
	std::uint64_t pos = 0;
	std::uint32_t size = 0;
	std::string name;
};

// The ID3v2 chunk of a RIFF/WAVE or FORM/AIFF file, if it has one.  False
// when the file is not such a container or its chunks do not add up.
bool
find_id3_chunk(TagLib::File &file, bool *big_endian, id3_chunk *chunk)
{
	*chunk = id3_chunk{};
	file.seek(0);
	ByteVector head = file.readBlock(12);
	if (head.size() < 12)
		return false;
	if (head.startsWith("RIFF") && head.containsAt("WAVE", 8))
		*big_endian = false;
	else if (head.startsWith("FORM") && (head.containsAt("AIFF", 8) || head.containsAt("AIFC", 8)))
		*big_endian = true;
	else
		return false;
	const auto length = static_cast<std::uint64_t>(file.length());
	std::uint64_t pos = 12;
	while (pos + 8 <= length) {
		file.seek(static_cast<long>(pos));
		ByteVector h = file.readBlock(8);
		if (h.size() < 8)
			return false;
		const std::uint32_t size = h.toUInt(4, *big_endian);
		const std::string name(h.data(), 4);
		if (name == "ID3 " || name == "id3 ") {
			if (!chunk->name.empty() || pos + 8 + size > length)
				return false; // two tags, or one cut short
			*chunk = {pos, size, name};
		}
		pos += 8 + std::uint64_t{size} + (size & 1);
	}
	return true;
}

// The ID3v2 tag at the start of the chunk, empty when there is none that
// fits it.
std::string
chunk_tag(TagLib::File &file, const id3_chunk &chunk)
{
	if (chunk.name.empty() || chunk.size < 10)
		return "";
	file.seek(static_cast<long>(chunk.pos + 8));
	ByteVector head = file.readBlock(10);
	const auto *b = reinterpret_cast<const unsigned char *>(head.data());
	if (head.size() < 10 || !head.startsWith("ID3") || (b[6] | b[7] | b[8] | b[9]) >= 0x80)
		return "";
	const std::uint64_t size = 10 + std::uint64_t{id3_size(b + 6, true)};
	if (size > chunk.size)
		return "";
	file.seek(static_cast<long>(chunk.pos + 8));
	ByteVector tag = file.readBlock(static_cast<unsigned long>(size));
	return tag.size() == size ? std::string(tag.data(), tag.size()) : "";
}

// Rebuilds the tag of the ID3v2 chunk TagLib saved from old_tag, the tag of
// the file's chunk (named old_name) before the save, keeping that name.
// False, with nothing done, when it cannot.
bool
keep_unchanged_chunk_frames(TagLib::File &file, plan_stream &stream, const std::string &old_tag,
    const std::string &old_name, const bool changed[W_TL_NFIELDS])
{
	bool big_endian = false;
	id3_chunk chunk;
	if (old_tag.empty() || !find_id3_chunk(file, &big_endian, &chunk))
		return false;
	const std::string neo = chunk_tag(file, chunk);
	if (!chunk.name.empty() && neo.empty())
		return false;
	std::string out;
	if (!rebuild_tag(old_tag, neo, changed, &out))
		return false;
	if (out.empty() && chunk.name.empty())
		return true;
	const auto length = static_cast<std::uint64_t>(file.length());
	const std::uint64_t at = chunk.name.empty() ? length : chunk.pos;
	const std::uint64_t replace = chunk.name.empty() ? 0 : 8 + std::uint64_t{chunk.size} + (chunk.size & 1);
	if (at + replace > length)
		return false;
	ByteVector block;
	if (!out.empty()) {
		block = ByteVector(old_name.data(), 4);
		block.append(ByteVector::fromUInt(static_cast<unsigned int>(out.size()), big_endian));
		block.append(ByteVector(out.data(), static_cast<unsigned int>(out.size())));
		if (out.size() & 1)
			block.append('\0');
	}
	const std::uint64_t container = length - replace + block.size() - 8;
	if (container > 0xffffffffu)
		return false;
	stream.insert(block, static_cast<unsigned long>(at), static_cast<unsigned long>(replace));
	stream.insert(ByteVector::fromUInt(static_cast<unsigned int>(container), big_endian), 4, 4);
	return true;
}

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

const struct w_tlmodule module = {
	W_TLMODULE_VERSION,
	tl_open,
	tl_read,
	tl_render,
	tl_close,
};

} // namespace

extern "C" __attribute__((visibility("default"))) const struct w_tlmodule *
w_tlmodule_entry(void)
{
	return &module;
}
