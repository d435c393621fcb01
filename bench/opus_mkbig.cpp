// Makes a large Ogg/Opus file quickly from a short one made by opusenc: its
// header pages are kept and its audio packets are repeated until the file
// reaches the size asked for, with granule positions counted from each
// packet's duration.  Decoders play it as the same sound over and over.
//
//   opus_mkbig INPUT OUTPUT MEGABYTES
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <ogg/ogg.h>

static void
put(FILE *out, const ogg_page &og)
{
	if (fwrite(og.header, 1, og.header_len, out) != static_cast<size_t>(og.header_len) ||
	    fwrite(og.body, 1, og.body_len, out) != static_cast<size_t>(og.body_len)) {
		perror("opus_mkbig: write");
		exit(1);
	}
}

// Samples at 48 kHz in an Opus packet, from its first bytes.
static long
duration(const std::string &p)
{
	if (p.empty())
		return 0;
	unsigned config = static_cast<unsigned char>(p[0]) >> 3;
	static const long silk[] = {480, 960, 1920, 2880}, celt[] = {120, 240, 480, 960};
	long frame = config < 12 ? silk[config & 3] : config < 16 ? (config & 1 ? 960 : 480) : celt[config & 3];
	switch (p[0] & 3) {
	case 0: return frame;
	case 1:
	case 2: return 2 * frame;
	default: return p.size() < 2 ? 0 : frame * (p[1] & 0x3f);
	}
}

int
main(int argc, char **argv)
{
	if (argc != 4) {
		fprintf(stderr, "usage: opus_mkbig INPUT OUTPUT MEGABYTES\n");
		return 2;
	}
	std::ifstream in(argv[1], std::ios::binary);
	std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	const std::int64_t want = std::atoll(argv[3]) * 1024 * 1024;
	FILE *out = fopen(argv[2], "wb");
	if (out == nullptr) {
		perror(argv[2]);
		return 1;
	}

	ogg_sync_state oy;
	ogg_sync_init(&oy);
	char *buf = ogg_sync_buffer(&oy, static_cast<long>(file.size()));
	file.copy(buf, file.size());
	ogg_sync_wrote(&oy, static_cast<long>(file.size()));
	ogg_stream_state is, os;
	std::vector<std::string> packets;
	ogg_page og;
	bool started = false;
	while (ogg_sync_pageout(&oy, &og) == 1) {
		if (!started) {
			ogg_stream_init(&is, ogg_page_serialno(&og));
			ogg_stream_init(&os, ogg_page_serialno(&og));
			started = true;
		}
		ogg_stream_pagein(&is, &og);
		ogg_packet op;
		while (ogg_stream_packetout(&is, &op) == 1)
			packets.emplace_back(reinterpret_cast<char *>(op.packet), op.bytes);
	}
	if (packets.size() < 3) {
		fprintf(stderr, "opus_mkbig: %s: too short\n", argv[1]);
		return 1;
	}
	const std::int64_t preskip = static_cast<unsigned char>(packets[0][10]) |
	    static_cast<unsigned char>(packets[0][11]) << 8;

	std::int64_t written = 0, granule = preskip, packetno = 0;
	for (std::size_t i = 0; i < 2; i++) {
		ogg_packet op{};
		op.packet = reinterpret_cast<unsigned char *>(packets[i].data());
		op.bytes = static_cast<long>(packets[i].size());
		op.b_o_s = i == 0;
		op.packetno = packetno++;
		ogg_stream_packetin(&os, &op);
		while (ogg_stream_flush(&os, &og) != 0)
			put(out, og);
	}
	for (bool last = false; !last;) {
		for (std::size_t i = 2; i < packets.size() && !last; i++) {
			ogg_packet op{};
			op.packet = reinterpret_cast<unsigned char *>(packets[i].data());
			op.bytes = static_cast<long>(packets[i].size());
			granule += duration(packets[i]);
			written += op.bytes;
			last = written >= want;
			op.e_o_s = last;
			op.granulepos = granule;
			op.packetno = packetno++;
			ogg_stream_packetin(&os, &op);
			while (ogg_stream_pageout(&os, &og) != 0)
				put(out, og);
		}
	}
	while (ogg_stream_flush(&os, &og) != 0)
		put(out, og);
	if (fclose(out) != 0) {
		perror(argv[2]);
		return 1;
	}
	ogg_stream_clear(&is);
	ogg_stream_clear(&os);
	ogg_sync_clear(&oy);
	return 0;
}
