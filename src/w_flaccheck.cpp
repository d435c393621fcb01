#include "w_flaccheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <sys/stat.h>

namespace w_flac {

/*
 * Where libFLAC looks for the first block header: after "fLaC", which may
 * follow an ID3v2 tag (libFLAC skips the tag by the size in its header,
 * ignoring any footer).  -1 when the head bytes do not say.
 */
off_t
metadata_start(const unsigned char *head, size_t len)
{
	if (len >= 3 && std::memcmp(head, "ID3", 3) == 0) {
		if (len < 10)
			return -1;
		off_t size = 0;
		for (int i = 6; i < 10; i++) {
			if (head[i] & 0x80)
				return -1;
			size = size << 7 | head[i];
		}
		return 10 + size + 4;
	}
	return 4;
}

// True when the file holds the FLAC signature where libFLAC looks for it.
bool
looks_like_flac(const meta_reader &in)
{
	const off_t start = metadata_start(in.head(), in.headlen());
	if (start == 4)
		return in.headlen() >= 4 && std::memcmp(in.head(), "fLaC", 4) == 0;
	unsigned char sig[4];
	return start != -1 && in.peek(start - 4, sig, 4) == 4 && std::memcmp(sig, "fLaC", 4) == 0;
}

// A block type's name for messages, kept in name (no allocation: init
// must not throw).
struct block_name {
	char text[16];
	explicit block_name(unsigned type)
	{
		if (type <= FLAC__METADATA_TYPE_PICTURE)
			std::snprintf(text, sizeof text, "%s", FLAC__MetadataTypeString[type]);
		else
			std::snprintf(text, sizeof text, "type %u", type);
	}
};

/*
 * Why a FLAC file libFLAC cannot read is refused: a block of the invalid
 * type, a STREAMINFO of the wrong length or a block that runs past the end
 * of the file, else libFLAC's own status.  Only called on failure, so it
 * may read the file again.
 */
void
warn_unreadable(const char *path, const meta_reader &in, FLAC__Metadata_ChainStatus status)
{
	char reason[128];
	std::snprintf(reason, sizeof reason, "%s", FLAC__Metadata_ChainStatusString[status]);
	struct stat st;
	off_t at = metadata_start(in.head(), in.headlen());
	if (at != -1 && fstat(in.fd(), &st) == 0) {
		for (unsigned n = 1;; n++) {
			unsigned char h[4];
			if (!w_pread_all(in.fd(), h, 4, at)) {
				std::snprintf(reason, sizeof reason,
				    "block %u runs past the end of the file", n);
				break;
			}
			const unsigned type = h[0] & 0x7F;
			const unsigned length = static_cast<unsigned>(h[1] << 16 | h[2] << 8 | h[3]);
			if (type == 127) {
				std::snprintf(reason, sizeof reason, "block %u has the invalid type 127", n);
				break;
			}
			if (type == FLAC__METADATA_TYPE_STREAMINFO &&
			    length != FLAC__STREAM_METADATA_STREAMINFO_LENGTH) {
				std::snprintf(reason, sizeof reason,
				    "block %u (STREAMINFO) is declared %u bytes long, not 34", n, length);
				break;
			}
			at += 4 + static_cast<off_t>(length);
			if (at > st.st_size) {
				std::snprintf(reason, sizeof reason,
				    "block %u (%s) runs past the end of the file", n,
				    block_name(type).text);
				break;
			}
			if (h[0] & 0x80)
				break;
		}
	}
	warnx("%s: unreadable FLAC metadata: %s", path, reason);
}

/*
 * The length of the body libFLAC writes back for a block, counted from what
 * it parsed.  libFLAC writes the length the block's header declared in
 * front of it, so the two must agree or the write shifts everything after
 * the block.
 */
uint64_t
body_length(const FLAC__StreamMetadata *b)
{
	switch (b->type) {
	case FLAC__METADATA_TYPE_STREAMINFO:
		return FLAC__STREAM_METADATA_STREAMINFO_LENGTH;
	case FLAC__METADATA_TYPE_SEEKTABLE:
		return uint64_t{b->data.seek_table.num_points} * FLAC__STREAM_METADATA_SEEKPOINT_LENGTH;
	case FLAC__METADATA_TYPE_VORBIS_COMMENT: {
		const FLAC__StreamMetadata_VorbisComment &vc = b->data.vorbis_comment;
		uint64_t n = 4 + uint64_t{vc.vendor_string.length} + 4;
		for (FLAC__uint32 i = 0; i < vc.num_comments; i++)
			n += 4 + uint64_t{vc.comments[i].length};
		return n;
	}
	case FLAC__METADATA_TYPE_CUESHEET: {
		// Catalog number, lead-in, flags and track count; per track its
		// offset, number, ISRC, flags and index count; per index its
		// offset, number and reserved bytes.
		const FLAC__StreamMetadata_CueSheet &cs = b->data.cue_sheet;
		uint64_t n = 128 + 8 + 259 + 1;
		for (FLAC__uint32 i = 0; i < cs.num_tracks; i++)
			n += 8 + 1 + 12 + 14 + 1 + uint64_t{cs.tracks[i].num_indices} * (8 + 1 + 3);
		return n;
	}
	case FLAC__METADATA_TYPE_PICTURE: {
		// libFLAC writes both texts as C strings.
		const FLAC__StreamMetadata_Picture &p = b->data.picture;
		return 8 * 4 + uint64_t{std::strlen(p.mime_type)} +
		    std::strlen(reinterpret_cast<const char *>(p.description)) + p.data_length;
	}
	default:
		// Padding, application data and unknown blocks go back as the
		// bytes they were.
		return b->length;
	}
}

// The check of one block in the walk of init: the reason goes to fault
// when libFLAC would not write the block back as it stands in the file.
void
check_block(const FLAC__StreamMetadata *b, unsigned n, char *fault, size_t size)
{
	if (n == 1 && b->type != FLAC__METADATA_TYPE_STREAMINFO) {
		std::snprintf(fault, size, "the first block is %s, not STREAMINFO",
		    block_name(b->type).text);
	} else if (n > 1 && b->type == FLAC__METADATA_TYPE_STREAMINFO) {
		std::snprintf(fault, size, "block %u is a second STREAMINFO", n);
	} else if (const uint64_t body = body_length(b); body != b->length) {
		std::snprintf(fault, size, "block %u (%s) is declared %u bytes long but holds %llu", n,
		    block_name(b->type).text, b->length, static_cast<unsigned long long>(body));
	}
}

/*
 * A comment block whose declared length ends right after one of its
 * entries reads as a shorter, consistent block: libFLAC drops the count it
 * could not read, and a rewrite would drop the entries it left behind
 * (which other readers still see).  The count the block itself gives tells.
 */
void
check_count(const meta_reader &in, off_t at, const FLAC__StreamMetadata *b, unsigned n,
    char *fault, size_t size)
{
	const FLAC__StreamMetadata_VorbisComment &vc = b->data.vorbis_comment;
	unsigned char c[4];
	if (in.peek(at + 4 + 4 + static_cast<off_t>(vc.vendor_string.length), c, 4) != 4)
		return; // the audio check will not find the file whole either
	const FLAC__uint32 count = c[0] | c[1] << 8 | c[2] << 16 | static_cast<FLAC__uint32>(c[3]) << 24;
	if (count != vc.num_comments)
		std::snprintf(fault, size, "block %u (VORBIS_COMMENT) counts %lu entries but holds %u", n,
		    static_cast<unsigned long>(count), vc.num_comments);
}

/*
 * The audio must start right after the last block, with a frame header, or
 * the file end there.  Metadata that leaves bytes of its own behind the
 * last block (entries other readers see) would lose them to a rewrite, and
 * a last block running past the end would make a file of nothing.  One
 * look at the byte before the audio and the first two of it (b, n of them
 * read, -1 for a read error) tells these apart.
 */
bool
audio_follows(const unsigned char *b, ssize_t n, char *fault, size_t size)
{
	if (n == -1) {
		std::snprintf(fault, size, "the start of the audio cannot be read: %s",
		    std::strerror(errno));
		return false;
	}
	if (n == 0) {
		std::snprintf(fault, size, "the last block runs past the end of the file");
		return false;
	}
	if (n > 1 && (n < 3 || b[1] != 0xFF || (b[2] & 0xFE) != 0xF8)) {
		std::snprintf(fault, size,
		    "the bytes after the last block are not the start of an audio frame");
		return false;
	}
	return true;
}

} // namespace w_flac
