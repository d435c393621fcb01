#include "w_oggsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

#include "w_backend.h"
#include "w_inprocess.h"
#include "w_tagsupport.h"
#include "w_tagtools.h"
#include "w_testsupport.h"
#include "w_toolkit.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>
#include <vorbis/vorbisfile.h>

namespace wt {

namespace {

void
append_page(std::string &out, const ogg_page &og)
{
	out.append(reinterpret_cast<const char *>(og.header), static_cast<std::size_t>(og.header_len));
	out.append(reinterpret_cast<const char *>(og.body), static_cast<std::size_t>(og.body_len));
}

} // namespace

std::string
vorbis_bytes(const std::vector<std::string> &comments, const vorbis_options &opt)
{
	vorbis_info vi;
	vorbis_info_init(&vi);
	if (vorbis_encode_init_vbr(&vi, 2, 44100, opt.quality) != 0)
		throw std::runtime_error("vorbis_encode_init_vbr failed");
	vorbis_comment vc;
	vorbis_comment_init(&vc);
	for (const auto &c : comments)
		vorbis_comment_add(&vc, c.c_str());

	vorbis_dsp_state vd;
	vorbis_block vb;
	vorbis_analysis_init(&vd, &vi);
	vorbis_block_init(&vd, &vb);
	ogg_stream_state os;
	ogg_stream_init(&os, opt.serial);

	std::string out;
	ogg_packet id, comm, code;
	vorbis_analysis_headerout(&vd, &vc, &id, &comm, &code);
	ogg_stream_packetin(&os, &id);
	ogg_packet raw = comm;
	if (!opt.comment_packet.empty()) {
		raw.packet = reinterpret_cast<unsigned char *>(const_cast<char *>(opt.comment_packet.data()));
		raw.bytes = static_cast<long>(opt.comment_packet.size());
	}
	ogg_stream_packetin(&os, &raw);
	ogg_stream_packetin(&os, &code);
	ogg_page og;
	while (ogg_stream_flush(&os, &og) != 0)
		append_page(out, og);

	// Tones, or noise from a fixed seed: the same bytes on every run.
	std::uint32_t seed = 12345;
	const unsigned step = 1024;
	unsigned done = 0;
	for (;;) {
		// The last round writes nothing, which tells the encoder to end
		// the stream.
		unsigned n = opt.samples - done < step ? opt.samples - done : step;
		if (n > 0) {
			float **buf = vorbis_analysis_buffer(&vd, static_cast<int>(n));
			for (unsigned i = 0; i < n; i++) {
				double t = static_cast<double>(done + i) / 44100.0;
				if (opt.noise) {
					seed = seed * 1664525u + 1013904223u;
					buf[0][i] = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
					seed = seed * 1664525u + 1013904223u;
					buf[1][i] = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
				} else {
					buf[0][i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 440 * t));
					buf[1][i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 660 * t));
				}
			}
		}
		vorbis_analysis_wrote(&vd, static_cast<int>(n));
		done += n;
		while (vorbis_analysis_blockout(&vd, &vb) == 1) {
			vorbis_analysis(&vb, nullptr);
			vorbis_bitrate_addblock(&vb);
			ogg_packet op;
			while (vorbis_bitrate_flushpacket(&vd, &op) == 1) {
				ogg_stream_packetin(&os, &op);
				if (opt.page_per_packet) {
					while (ogg_stream_flush(&os, &og) != 0)
						append_page(out, og);
				} else {
					while (ogg_stream_pageout(&os, &og) != 0)
						append_page(out, og);
				}
			}
		}
		if (n == 0)
			break;
	}
	while (ogg_stream_flush(&os, &og) != 0)
		append_page(out, og);

	ogg_stream_clear(&os);
	vorbis_block_clear(&vb);
	vorbis_dsp_clear(&vd);
	vorbis_comment_clear(&vc);
	vorbis_info_clear(&vi);
	return out;
}

void
make_vorbis(const std::string &path, const std::vector<std::string> &comments,
    const vorbis_options &opt)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << vorbis_bytes(comments, opt);
	if (!out)
		throw std::runtime_error("cannot write " + path);
}

std::vector<ogg_page_copy>
ogg_pages(const std::string &file)
{
	std::vector<ogg_page_copy> pages;
	ogg_sync_state oy;
	ogg_sync_init(&oy);
	char *buf = ogg_sync_buffer(&oy, static_cast<long>(file.size()));
	std::memcpy(buf, file.data(), file.size());
	ogg_sync_wrote(&oy, static_cast<long>(file.size()));
	std::size_t pos = 0;
	for (;;) {
		ogg_page og;
		long r = ogg_sync_pageseek(&oy, &og);
		if (r == 0)
			break;
		if (r < 0) {
			pos += static_cast<std::size_t>(-r);
			continue;
		}
		ogg_page_copy p;
		p.offset = pos;
		append_page(p.bytes, og);
		p.serial = ogg_page_serialno(&og);
		p.granule = ogg_page_granulepos(&og);
		p.pageno = static_cast<std::uint32_t>(ogg_page_pageno(&og));
		p.continued = ogg_page_continued(&og) != 0;
		p.bos = ogg_page_bos(&og) != 0;
		p.eos = ogg_page_eos(&og) != 0;
		pages.push_back(std::move(p));
		pos += static_cast<std::size_t>(r);
	}
	ogg_sync_clear(&oy);
	return pages;
}

std::string
join_pages(const std::vector<ogg_page_copy> &pages)
{
	std::string out;
	for (const auto &p : pages)
		out += p.bytes;
	return out;
}

namespace {

void
put_le32(std::string &out, std::uint32_t v)
{
	for (int i = 0; i < 4; i++)
		out += static_cast<char>((v >> (8 * i)) & 0xff);
}

// The vendor string and the entries of a comment packet, after its magic.
std::string
comment_fields(std::string p, const std::string &vendor, const std::vector<std::string> &entries)
{
	put_le32(p, static_cast<std::uint32_t>(vendor.size()));
	p += vendor;
	put_le32(p, static_cast<std::uint32_t>(entries.size()));
	for (const auto &e : entries) {
		put_le32(p, static_cast<std::uint32_t>(e.size()));
		p += e;
	}
	return p;
}

} // namespace

std::string
vorbis_comment_packet(const std::string &vendor, const std::vector<std::string> &entries)
{
	return comment_fields("\x03vorbis", vendor, entries) + '\x01';
}

std::vector<ogg_stream_copy>
ogg_streams(const std::string &file, std::size_t headers)
{
	std::vector<ogg_stream_copy> streams;
	std::vector<ogg_stream_state> states;
	std::vector<std::size_t> counted; // packets seen when the last page ended

	for (const auto &p : ogg_pages(file)) {
		std::size_t i = streams.size();
		if (!p.bos) {
			while (i > 0 && streams[i - 1].serial != p.serial)
				i--;
		}
		if (p.bos || i == 0) {
			streams.emplace_back();
			streams.back().serial = p.serial;
			states.emplace_back();
			ogg_stream_init(&states.back(), p.serial);
			counted.push_back(0);
			i = streams.size();
		}
		ogg_stream_copy &s = streams[i - 1];
		ogg_stream_state &os = states[i - 1];
		ogg_page og;
		std::string bytes = p.bytes;
		og.header = reinterpret_cast<unsigned char *>(bytes.data());
		og.header_len = 27 + static_cast<unsigned char>(bytes[26]);
		og.body = og.header + og.header_len;
		og.body_len = static_cast<long>(bytes.size()) - og.header_len;
		ogg_stream_pagein(&os, &og);
		for (;;) {
			ogg_packet op;
			int r = ogg_stream_packetout(&os, &op);
			if (r == 0)
				break;
			if (r < 0)
				continue;
			s.packets.emplace_back(reinterpret_cast<const char *>(op.packet),
			    static_cast<std::size_t>(op.bytes));
			s.packet_granules.push_back(op.granulepos);
		}
		// The page that completes the last header holds nothing else:
		// no part of an audio packet waits in the stream state.
		if (counted[i - 1] < headers && s.packets.size() >= headers) {
			s.headers_apart = s.packets.size() == headers && os.body_fill == os.body_returned;
			s.header_pages = s.page_granules.size() + 1;
		}
		counted[i - 1] = s.packets.size();
		s.page_granules.push_back(p.granule);
		s.pagenos.push_back(p.pageno);
		s.page_bos.push_back(p.bos);
		s.page_eos.push_back(p.eos);
	}
	for (auto &os : states)
		ogg_stream_clear(&os);
	return streams;
}

vorbis_comment_copy
parse_comment_header(const std::string &packet)
{
	vorbis_comment_copy c;
	std::size_t pos = 0;
	auto u32 = [&](std::uint32_t &v) {
		if (packet.size() - pos < 4)
			return false;
		v = 0;
		for (int i = 3; i >= 0; i--)
			v = (v << 8) | static_cast<unsigned char>(packet[pos + static_cast<std::size_t>(i)]);
		pos += 4;
		return true;
	};
	auto str = [&](std::string &s) {
		std::uint32_t n;
		if (!u32(n) || packet.size() - pos < n)
			return false;
		s = packet.substr(pos, n);
		pos += n;
		return true;
	};
	const bool opus = packet.compare(0, 8, "OpusTags") == 0;
	if (!opus && packet.compare(0, 7, "\x03vorbis") != 0)
		return c;
	pos = opus ? 8 : 7;
	std::uint32_t count;
	if (!str(c.vendor) || !u32(count))
		return c;
	for (std::uint32_t i = 0; i < count; i++) {
		std::string s;
		if (!str(s))
			return c;
		c.comments.push_back(s);
	}
	c.rest = packet.substr(pos);
	// The framing bit ends a Vorbis packet; what follows it is padding.
	// In an OpusTags packet, what follows the comments is padding unless
	// its first byte has the low bit set.
	c.ok = opus || (pos < packet.size() && (packet[pos] & 1) != 0);
	const std::size_t pad_from = opus ? pos : pos + 1;
	if (pad_from < packet.size() && (!opus || (packet[pos] & 1) == 0)) {
		c.padding = packet.size() - pad_from;
		c.rest.resize(c.rest.size() - c.padding);
		c.zero_padding = packet.find_first_not_of('\0', pad_from) == std::string::npos;
	}
	return c;
}

void
ogg_fix_checksum(std::string &file, std::size_t offset)
{
	ogg_page og;
	auto *p = reinterpret_cast<unsigned char *>(file.data() + offset);
	og.header = p;
	og.header_len = 27 + p[26];
	long body = 0;
	for (int i = 0; i < p[26]; i++)
		body += p[27 + i];
	og.body = p + og.header_len;
	og.body_len = body;
	ogg_page_checksum_set(&og);
}

void
ogg_set_pageno(std::string &file, std::size_t offset, std::uint32_t pageno)
{
	for (std::size_t i = 0; i < 4; i++)
		file[offset + 18 + i] = static_cast<char>((pageno >> (8 * i)) & 0xff);
	ogg_fix_checksum(file, offset);
}

std::int64_t
vorbis_pcm_total(const std::string &path)
{
	OggVorbis_File vf;
	if (ov_fopen(path.c_str(), &vf) != 0)
		return -1;
	std::int64_t total = ov_pcm_total(&vf, -1);
	ov_clear(&vf);
	return total;
}

double
vorbis_time_total(const std::string &path)
{
	OggVorbis_File vf;
	if (ov_fopen(path.c_str(), &vf) != 0)
		return -1;
	double total = ov_time_total(&vf, -1);
	ov_clear(&vf);
	return total;
}

std::string
expect_rewritten(const std::string &out, const std::string &reference, std::size_t headers)
{
	std::vector<ogg_stream_copy> got = ogg_streams(out, headers);
	std::vector<ogg_stream_copy> want = ogg_streams(reference, headers);
	EXPECT_EQ(join_pages(ogg_pages(out)), out) << "bytes outside pages";
	EXPECT_EQ(got.size(), want.size());
	if (got.empty() || got.size() != want.size())
		return {};
	for (std::size_t s = 0; s < got.size(); s++) {
		SCOPED_TRACE("stream " + std::to_string(s));
		const auto &g = got[s];
		const auto &w = want[s];
		EXPECT_EQ(g.serial, w.serial);
		EXPECT_EQ(g.packets.size(), w.packets.size());
		for (std::size_t p = 0; p < g.packets.size() && p < w.packets.size(); p++) {
			if (s == 0 && p == 1)
				continue;
			EXPECT_TRUE(g.packets[p] == w.packets[p]) << "packet " << p << " differs";
		}
		if (s == 0 || w.headers_apart) {
			EXPECT_TRUE(g.headers_apart);
		}
		if (g.packet_granules.size() > headers && w.packet_granules.size() > headers) {
			EXPECT_EQ(std::vector<std::int64_t>(g.packet_granules.begin() + static_cast<long>(headers),
				      g.packet_granules.end()),
			    std::vector<std::int64_t>(w.packet_granules.begin() + static_cast<long>(headers),
				w.packet_granules.end()));
		}
	}

	// Page by page: the first stream's new header pages are numbered from
	// 0 and only the first begins the stream; every later page of the
	// input is there as it was, but for its number, which moves by the
	// same amount in all of the first stream, and for the end mark that a
	// stream cut short gets on the file's last page.
	std::vector<ogg_page_copy> gp = ogg_pages(out), wp = ogg_pages(reference);
	const std::size_t gh = got[0].header_pages, wh = want[0].header_pages;
	EXPECT_GT(gh, 0u);
	EXPECT_GT(wh, 0u);
	for (std::size_t i = 0; i < gh && i < gp.size(); i++) {
		EXPECT_EQ(gp[i].pageno, i) << "header page " << i;
		EXPECT_EQ(gp[i].bos, i == 0) << "header page " << i;
	}
	// Audio that shared the last header page is on a page of its own.
	const std::size_t extra = want[0].headers_apart ? 0 : 1;
	EXPECT_EQ(gp.size(), wp.size() - wh + gh + extra);
	if (gp.size() != wp.size() - wh + gh + extra)
		return got[0].packets.size() > 1 ? got[0].packets[1] : std::string();
	const std::int64_t delta = static_cast<std::int64_t>(gh + extra) - static_cast<std::int64_t>(wh);
	bool first_link = true;
	for (std::size_t i = wh; i < wp.size(); i++) {
		const ogg_page_copy &w = wp[i], &g = gp[i - wh + gh + extra];
		SCOPED_TRACE("input page " + std::to_string(i));
		if (w.bos)
			first_link = false;
		const std::int64_t moved = first_link && w.serial == want[0].serial ? delta : 0;
		EXPECT_EQ(static_cast<std::int64_t>(g.pageno), static_cast<std::int64_t>(w.pageno) + moved);
		EXPECT_EQ(g.bos, w.bos);
		const bool last = i + 1 == wp.size();
		EXPECT_EQ(g.eos, w.eos || last);
		std::string gb = g.bytes, wb = w.bytes;
		for (std::string *b : {&gb, &wb}) {
			b->replace(18, 8, 8, '\0'); // number and checksum
			(*b)[5] = static_cast<char>((*b)[5] & ~0x04);
		}
		EXPECT_TRUE(gb == wb) << "page bytes differ";
	}
	return got[0].packets.size() > 1 ? got[0].packets[1] : std::string();
}

std::string
init_refusal(void *(*init)(const char *), void (*clear)(void *), const std::string &bytes)
{
	tmpdir dir;
	std::string f = dir / "file";
	write_file(f, bytes);
	testing::internal::CaptureStderr();
	void *d = init(f.c_str());
	std::string err = testing::internal::GetCapturedStderr();
	if (d != nullptr) {
		clear(d);
		err += "(opened)";
	}
	for (const auto &[from, to] : {std::pair<std::string, std::string>{std::string(w_getprogname()) + ": ", "PROG: "},
		 {f, "PATH"}}) {
		for (std::size_t at = err.find(from); at != std::string::npos; at = err.find(from, at + to.size()))
			err.replace(at, from.size(), to);
	}
	return err;
}

std::string
new_problems(const std::string &tool, const std::string &path, const std::string &reference)
{
	tmpdir other;
	std::string ref = other / "reference";
	write_file(ref, reference);
	auto problems = [&tool](const std::string &file) {
		run_result r = run({tool, file});
		std::vector<std::string> lines;
		std::istringstream all(r.out + r.err);
		for (std::string line; std::getline(all, line);) {
			for (const char *word : {"WARNING", "ERROR", "Warning", "Error", "buggy"}) {
				if (line.find(word) != std::string::npos) {
					std::size_t at = line.find(file);
					if (at != std::string::npos)
						line.replace(at, file.size(), "FILE");
					lines.push_back(line);
					break;
				}
			}
		}
		return std::make_pair(r.status, lines);
	};
	auto [status, got] = problems(path);
	auto [ref_status, want] = problems(ref);
	std::string found;
	if (status != 0 && ref_status == 0)
		found += "status " + std::to_string(status) + "\n";
	for (const auto &line : got)
		if (std::find(want.begin(), want.end(), line) == want.end())
			found += line + "\n";
	return found;
}

std::string
opus_bytes(const std::vector<std::string> &comments, const opus_options &opt)
{
	tmpdir dir;
	make_wav(dir / "in.wav", opt.samples);
	std::vector<std::string> argv = {"opusenc", "--quiet", "--serial", std::to_string(opt.serial)};
	for (const auto &c : comments) {
		argv.push_back("--comment");
		argv.push_back(c);
	}
	argv.push_back(dir / "in.wav");
	argv.push_back(dir / "out.opus");
	run_result r = run(argv);
	if (r.status != 0)
		throw std::runtime_error("opusenc failed: " + r.err);
	return read_file(dir / "out.opus");
}

std::string
opus_tags_packet(const std::string &vendor, const std::vector<std::string> &entries, const std::string &binary)
{
	return comment_fields("OpusTags", vendor, entries) + binary;
}

std::string
ogg_with_headers(const std::string &file, const std::vector<std::string> &headers)
{
	std::vector<ogg_page_copy> pages = ogg_pages(file);
	std::vector<ogg_stream_copy> streams = ogg_streams(file, headers.size());
	if (pages.empty() || streams.empty())
		throw std::runtime_error("ogg_with_headers: no stream");
	const int serial = pages[0].serial;
	ogg_stream_state os;
	ogg_stream_init(&os, serial);
	std::string out;
	ogg_page og;
	for (std::size_t i = 0; i < headers.size(); i++) {
		ogg_packet op{};
		op.packet = reinterpret_cast<unsigned char *>(const_cast<char *>(headers[i].data()));
		op.bytes = static_cast<long>(headers[i].size());
		op.b_o_s = i == 0;
		op.packetno = static_cast<ogg_int64_t>(i);
		ogg_stream_packetin(&os, &op);
		if (i == 0) {
			while (ogg_stream_flush(&os, &og) != 0)
				append_page(out, og);
		}
	}
	while (ogg_stream_flush(&os, &og) != 0)
		append_page(out, og);
	std::uint32_t pageno = static_cast<std::uint32_t>(os.pageno);
	ogg_stream_clear(&os);

	bool first = true;
	for (std::size_t i = streams[0].header_pages; i < pages.size(); i++) {
		std::string bytes = pages[i].bytes;
		if (first && pages[i].serial == serial) {
			ogg_set_pageno(bytes, 0, pageno++);
			first = !pages[i].eos;
		}
		out += bytes;
	}
	return out;
}

std::string
decoded(const std::string &decoder, const std::string &path)
{
	tmpdir dir;
	const std::string out = dir / "audio.raw";
	std::vector<std::string> argv;
	if (decoder == "oggdec")
		argv = {"oggdec", "-Q", "-R", "-o", out, path};
	else if (decoder == "opusdec")
		argv = {"opusdec", "--quiet", "--no-dither", "--rate", "48000", path, out};
	else
		argv = {"ffmpeg", "-nostdin", "-v", "quiet", "-i", path, "-f", "s16le", "-y", out};
	run_result r = run(argv);
	EXPECT_EQ(r.status, 0) << decoder << ": " << r.err;
	if (r.status != 0 || !exists(out))
		return {};
	return read_file(out);
}

std::vector<std::pair<std::string, std::string>>
marks_and_gaps(const std::string &one, const std::string &two, bool renumbered)
{
	const std::vector<ogg_page_copy> pages = ogg_pages(one), pages2 = ogg_pages(two);
	const std::size_t mid = pages.size() / 2, mid2 = pages2.size() / 2;

	std::vector<std::pair<std::string, std::string>> inputs;
	std::vector<ogg_page_copy> gap = pages;
	gap.erase(gap.begin() + static_cast<long>(mid));
	inputs.push_back({"a page missing", join_pages(gap)});
	inputs.push_back({"the last page repeated after the end", one + pages.back().bytes});
	std::string early = one;
	early[pages[mid].offset + 5] = static_cast<char>(early[pages[mid].offset + 5] | 0x04);
	ogg_fix_checksum(early, pages[mid].offset);
	inputs.push_back({"the end marked early", early});
	if (renumbered) {
		std::string altered = one;
		ogg_set_pageno(altered, pages[mid].offset, pages[mid].pageno + 7);
		inputs.push_back({"a page number altered", altered});
	}
	std::string chained = one + two;
	ogg_set_pageno(chained, one.size() + pages2[mid2].offset, pages2[mid2].pageno + 7);
	inputs.push_back({"a page number altered in a chained file", chained});
	return inputs;
}

void
expect_marks_and_gaps_kept(const std::vector<std::pair<std::string, std::string>> &inputs,
    const std::vector<std::pair<const char *, tags>> &writes, const std::string &ext, std::size_t headers,
    const std::string &decoder, const std::function<int(const std::string &, const tags &)> &rewrite,
    const std::function<void(const std::string &, const std::string &)> &also)
{
	for (const auto &[name, input] : inputs) {
		tmpdir dir;
		std::string ref = dir / ("before" + ext);
		write_file(ref, input);
		const std::string by_decoder = decoded(decoder, ref), by_ffmpeg = decoded("ffmpeg", ref);
		ASSERT_FALSE(by_decoder.empty());
		ASSERT_FALSE(by_ffmpeg.empty());
		for (const auto &[how, t] : writes) {
			SCOPED_TRACE(name + ", " + how);
			std::string f = dir / ("song" + ext);
			write_file(f, input);
			ASSERT_EQ(rewrite(f, t), 0);
			const std::string out = read_file(f);
			expect_rewritten(out, input, headers);
			EXPECT_TRUE(decoded(decoder, f) == by_decoder) << decoder << " decodes other audio";
			EXPECT_TRUE(decoded("ffmpeg", f) == by_ffmpeg) << "ffmpeg decodes other audio";
			std::vector<int> begun, begin_before;
			for (const auto &p : ogg_pages(out))
				if (p.bos)
					begun.push_back(p.serial);
			for (const auto &p : ogg_pages(input))
				if (p.bos)
					begin_before.push_back(p.serial);
			EXPECT_EQ(begun, begin_before);
			if (also)
				also(f, ref);
		}
	}
}

file_change
replaced_by(const std::string &name, const std::string &bytes)
{
	return {name,
	    [bytes](const std::string &f) {
		    write_file(f + ".new", bytes);
		    ASSERT_EQ(rename((f + ".new").c_str(), f.c_str()), 0);
	    },
	    bytes};
}

file_change
rewritten_as(const std::string &name, const std::string &bytes)
{
	return {name, [bytes](const std::string &f) { write_file(f, bytes); }, bytes};
}

void
expect_changed_file_not_written(struct w_backend *backend, const std::string &name, const std::string &before,
    const std::vector<file_change> &changes, const std::vector<std::pair<const char *, tags>> &writes)
{
	for (const file_change &c : changes) {
		for (const auto &[how, t] : writes) {
			SCOPED_TRACE(c.name + ", " + how);
			tmpdir dir;
			std::string f = dir / name;
			write_file(f, before);
			std::unique_ptr<void, void (*)(void *)> d(backend->init(f.c_str()), backend->clear);
			ASSERT_NE(d, nullptr);
			struct stat read_st;
			ASSERT_EQ(stat(f.c_str(), &read_st), 0);
			c.apply(f);
			past_change_time(f, read_st);
			w_taglist_ptr l = to_taglist(t);
			stderr_capture cap;
			EXPECT_EQ(backend->write(d.get(), l.get()), -1);
			EXPECT_EQ(messages(cap.text()),
			    std::vector<std::string>{f + ": changed since its tags were read; not written"});
			EXPECT_TRUE(read_file(f) == c.result);
			EXPECT_EQ(dir.list(), std::vector<std::string>{name});
		}
	}
}

void
past_change_time(const std::string &path, const struct stat &before)
{
	for (;;) {
		struct stat st;
		ASSERT_EQ(stat(path.c_str(), &st), 0);
		if (st.st_ctim.tv_sec != before.st_ctim.tv_sec || st.st_ctim.tv_nsec != before.st_ctim.tv_nsec ||
		    st.st_ino != before.st_ino)
			return;
		ASSERT_EQ(chmod(path.c_str(), st.st_mode & 07777), 0);
	}
}

} // namespace wt
