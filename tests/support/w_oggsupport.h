/* Real Ogg/Vorbis files for the tests, encoded with libvorbisenc, and the
 * means to take them apart page by page and packet by packet (libogg), so
 * that odd files can be built from sound ones. */
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "w_testsupport.h"

struct w_backend;

namespace wt {

struct vorbis_options {
	unsigned samples = 4410;       // per channel; stereo, 44.1 kHz
	int serial = 1;
	float quality = 0.0f;          // libvorbisenc VBR quality, -0.1 to 1
	bool noise = false;            // noise instead of tones: bigger packets
	bool page_per_packet = false;  // end a page after every audio packet
	std::string comment_packet;    // when set, the comment header as it is
};

// A Vorbis comment header packet with the given vendor and raw entries,
// which may hold any bytes.
std::string vorbis_comment_packet(const std::string &vendor, const std::vector<std::string> &entries);

// The bytes of an Ogg/Vorbis stream holding the given raw comment entries
// (NAME=value, or anything else, as libvorbis stores it).
std::string vorbis_bytes(const std::vector<std::string> &comments, const vorbis_options &opt = {});
void make_vorbis(const std::string &path, const std::vector<std::string> &comments,
    const vorbis_options &opt = {});

struct ogg_page_copy {
	std::size_t offset = 0; // where the page starts in the file
	std::string bytes;      // header and body
	int serial = 0;
	std::int64_t granule = 0;
	std::uint32_t pageno = 0;
	bool bos = false, eos = false, continued = false;
};

// The complete pages of a file in file order; bytes that form no page are
// skipped.
std::vector<ogg_page_copy> ogg_pages(const std::string &file);
std::string join_pages(const std::vector<ogg_page_copy> &pages);

struct ogg_stream_copy {
	int serial = 0;
	std::vector<std::string> packets;       // in order; gaps are skipped
	// The position of the page each packet ends, when it ends one.
	std::vector<std::int64_t> packet_granules;
	std::vector<std::uint32_t> pagenos;
	std::vector<bool> page_bos;
	std::vector<std::int64_t> page_granules;
	std::vector<bool> page_eos;
	std::size_t header_pages = 0; // up to the one that ends the headers
	// The header packets end a page of their own and the first audio
	// packet starts a fresh one.
	bool headers_apart = false;
};

// The logical streams of a file in order (chained streams one after the
// other); every page joins the stream of its serial number.  Each stream
// begins with the given number of header packets.
std::vector<ogg_stream_copy> ogg_streams(const std::string &file, std::size_t headers = 3);

struct vorbis_comment_copy {
	std::string vendor;
	std::vector<std::string> comments;
	std::string rest; // what follows the comments, but for padding
	std::size_t padding = 0; // bytes of it
	bool zero_padding = true;
	bool ok = false;
};
// The fields of a comment header packet: Vorbis, or OpusTags.
vorbis_comment_copy parse_comment_header(const std::string &packet);
// Recomputes the checksum of the page that starts at offset in file, after
// a test has changed its bytes on purpose.
void ogg_fix_checksum(std::string &file, std::size_t offset);

// Samples the file decodes to (libvorbisfile), -1 when it cannot be opened.
std::int64_t vorbis_pcm_total(const std::string &path);
// Its playing time in seconds (libvorbisfile), -1 when it cannot be opened.
double vorbis_time_total(const std::string &path);

// The page at offset in file with a new sequence number, checksum mended.
void ogg_set_pageno(std::string &file, std::size_t offset, std::uint32_t pageno);

// Checks (gtest) the file a rewrite made out of reference: every packet
// that readers take from it byte for byte and in order, the first stream's
// comment header (packet 1) aside; the headers of the first stream end a
// page; every audio packet that ends a page keeps its granule position;
// every page after the first stream's headers is the input's, its number
// moved by as many pages as the headers grew (in the first stream only),
// its begin mark as it was, and the last page ends its stream; no bytes
// outside pages.  Returns the new comment header.
std::string expect_rewritten(const std::string &out, const std::string &reference, std::size_t headers);

// Files with their pages' marks and numbers gone wrong, each by name: one
// (a single stream of many pages) with a page missing, with its last page
// repeated after the end, with its end marked early and, when renumbered
// is set, with a page number altered; then one followed by two (a stream
// of another serial number) with a page number altered in two.
std::vector<std::pair<std::string, std::string>> marks_and_gaps(const std::string &one, const std::string &two,
    bool renumbered);

// Writes each of writes (tags, by name) through rewrite to a file (ending
// in ext) of each input (by name), and checks (gtest) that the result is
// what expect_rewritten asks of it, that decoder and ffmpeg find the very
// audio they find in the input, and that the same streams begin in the same
// order; also, when given, then checks more of the file at its path against
// the input at its own.
void expect_marks_and_gaps_kept(const std::vector<std::pair<std::string, std::string>> &inputs,
    const std::vector<std::pair<const char *, tags>> &writes, const std::string &ext, std::size_t headers,
    const std::string &decoder, const std::function<int(const std::string &, const tags &)> &rewrite,
    const std::function<void(const std::string &path, const std::string &input_path)> &also = {});

// What another program does to a file: apply changes the file at its path,
// which then holds result.
struct file_change {
	std::string name;
	std::function<void(const std::string &path)> apply;
	std::string result;
};
// The file replaced by a new one that holds bytes (renamed over it), or
// rewritten where it stands to hold them.
file_change replaced_by(const std::string &name, const std::string &bytes);
file_change rewritten_as(const std::string &name, const std::string &bytes);

// For each change and each write (tags, by name): a file called name, alone
// in a directory of its own, holds before and is opened by backend; the
// change comes, and the file's change time moves past the one it was read
// with.  Checks (gtest) that the write then fails, tells only that the file
// changed since its tags were read, and leaves the file as the change left
// it, alone in its directory.
void expect_changed_file_not_written(struct w_backend *backend, const std::string &name, const std::string &before,
    const std::vector<file_change> &changes, const std::vector<std::pair<const char *, tags>> &writes);

// What the checker tool (ogginfo, opusinfo) finds wrong in the file at
// path that it does not find in the bytes of reference too, one line each:
// a rewrite keeps what the file holds, warts included (a gap where pages
// are missing), and adds nothing.
std::string new_problems(const std::string &tool, const std::string &path, const std::string &reference);

// Puts bytes in a file of their own and has a backend's init open it: what
// init printed, with the program name as "PROG" and the file's path as
// "PATH", and "(opened)" when it did open the file.
std::string init_refusal(void *(*init)(const char *), void (*clear)(void *), const std::string &bytes);

struct opus_options {
	unsigned samples = 8000; // of an 8 kHz tone
	int serial = 1;
};

// The bytes of an Ogg/Opus file encoded by opusenc, with the given comments
// (NAME=value; opusenc adds its own ENCODER comment first).
std::string opus_bytes(const std::vector<std::string> &comments, const opus_options &opt = {});
// An OpusTags packet with the given vendor, raw entries and binary data
// after them.
std::string opus_tags_packet(const std::string &vendor, const std::vector<std::string> &entries,
    const std::string &binary = "");

// file with the header packets of its first logical stream replaced by
// headers, laid out by libogg on pages of their own (a packet too big for
// one page spreads over several); every later page is kept, the first
// stream's renumbered to follow the new header pages.
std::string ogg_with_headers(const std::string &file, const std::vector<std::string> &headers);

// The audio an independent decoder makes of the file at path, as raw
// samples: "oggdec", "opusdec" (48 kHz, no dither) or "ffmpeg" (16-bit).
// Empty, with a test failure, when the decoder fails.
std::string decoded(const std::string &decoder, const std::string &path);

// Waits until the change time of the file at path differs from the one in
// before, touching nothing but that time: file systems keep times to the
// tick of a coarse clock, and a test that changes a file must not look
// unchanged only because it ran within one tick.
void past_change_time(const std::string &path, const struct stat &before);

} // namespace wt
