// Makes a large Ogg/Vorbis file quickly: a few seconds of noise are encoded
// once with libvorbisenc and their audio packets are repeated until the file
// reaches the size asked for, with granule positions counted as an encoder
// would.  Decoders play it as the same noise over and over.
//
//   ogg_mkbig OUTPUT MEGABYTES
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <vector>

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

static void
put(FILE *out, const ogg_page &og)
{
	if (fwrite(og.header, 1, og.header_len, out) != static_cast<size_t>(og.header_len) ||
	    fwrite(og.body, 1, og.body_len, out) != static_cast<size_t>(og.body_len)) {
		perror("ogg_mkbig: write");
		exit(1);
	}
}

int
main(int argc, char **argv)
{
	if (argc != 3) {
		fprintf(stderr, "usage: ogg_mkbig OUTPUT MEGABYTES\n");
		return 2;
	}
	const std::int64_t want = std::atoll(argv[2]) * 1024 * 1024;
	FILE *out = fopen(argv[1], "wb");
	if (out == nullptr) {
		perror(argv[1]);
		return 1;
	}

	vorbis_info vi;
	vorbis_info_init(&vi);
	vorbis_encode_init_vbr(&vi, 2, 44100, 1.0f);
	vorbis_comment vc;
	vorbis_comment_init(&vc);
	vorbis_comment_add_tag(&vc, "ARTIST", "Bench");
	vorbis_comment_add_tag(&vc, "TITLE", "Noise");
	vorbis_dsp_state vd;
	vorbis_block vb;
	vorbis_analysis_init(&vd, &vi);
	vorbis_block_init(&vd, &vb);

	ogg_packet id, comm, code;
	vorbis_analysis_headerout(&vd, &vc, &id, &comm, &code);
	ogg_stream_state os;
	ogg_stream_init(&os, 4242);
	ogg_stream_packetin(&os, &id);
	ogg_stream_packetin(&os, &comm);
	ogg_stream_packetin(&os, &code);
	ogg_page og;
	while (ogg_stream_flush(&os, &og) != 0)
		put(out, og);

	// Ten seconds of noise.
	std::vector<std::string> audio;
	std::uint32_t seed = 1;
	const int total = 44100 * 10;
	for (int done = 0;;) {
		int n = total - done < 4096 ? total - done : 4096;
		if (n > 0) {
			float **buf = vorbis_analysis_buffer(&vd, n);
			for (int i = 0; i < n; i++)
				for (int c = 0; c < 2; c++) {
					seed = seed * 1664525u + 1013904223u;
					buf[c][i] = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
				}
		}
		vorbis_analysis_wrote(&vd, n);
		done += n;
		while (vorbis_analysis_blockout(&vd, &vb) == 1) {
			vorbis_analysis(&vb, nullptr);
			vorbis_bitrate_addblock(&vb);
			ogg_packet op;
			while (vorbis_bitrate_flushpacket(&vd, &op) == 1)
				audio.emplace_back(reinterpret_cast<char *>(op.packet), op.bytes);
		}
		if (n == 0)
			break;
	}

	std::int64_t written = 0, granule = 0, packetno = 3;
	long prev = 0;
	bool last = false;
	while (!last) {
		for (std::size_t i = 0; i < audio.size() && !last; i++) {
			ogg_packet op{};
			op.packet = reinterpret_cast<unsigned char *>(audio[i].data());
			op.bytes = static_cast<long>(audio[i].size());
			long bs = vorbis_packet_blocksize(&vi, &op);
			if (prev != 0)
				granule += (prev + bs) / 4;
			prev = bs;
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
		perror(argv[1]);
		return 1;
	}
	ogg_stream_clear(&os);
	vorbis_block_clear(&vb);
	vorbis_dsp_clear(&vd);
	vorbis_comment_clear(&vc);
	vorbis_info_clear(&vi);
	return 0;
}
