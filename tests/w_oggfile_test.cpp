#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "w_inprocess.h"
#include "w_oggfile.h"
#include "w_oggsupport.h"
#include "w_testsupport.h"
#include "w_tagsupport.h"

namespace {

// Vorbis as far as the writer needs to know it: three headers of the
// right kinds; the new comment header is comment, with room after it.
w_oggplan_codec
vorbis_like(const std::string &comment)
{
	w_oggplan_codec codec;
	codec.headers = 3;
	codec.check = [](unsigned n, const ogg_packet &op) {
		static const char kinds[] = {1, 3, 5};
		return op.bytes > 7 && op.packet[0] == kinds[n] && std::memcmp(op.packet + 1, "vorbis", 6) == 0 ? 0 : -1;
	};
	codec.comment = [comment](const std::string &, std::string &packet, bool &may_pad) {
		packet = comment;
		may_pad = true;
		return 0;
	};
	return codec;
}

std::string
plain(int serial = 1)
{
	wt::vorbis_options o;
	o.serial = serial;
	o.page_per_packet = true;
	o.samples = 8820;
	return wt::vorbis_bytes({"ARTIST=Old"}, o);
}

struct fail_case {
	std::string name;
	std::string bytes;
	std::string reason; // what the user is told after the path
	std::string comment = wt::vorbis_comment_packet("v", {"A=1"});
};

// What a write refuses, whichever way it would go: the file stays as it
// was and nothing is left beside it.  (A backend opens none of these files
// but the last two; a file can still turn into one of them after its tags
// were read, when nothing else stops the write.)
TEST(OggFileWrite, RefusesWhatItCannotCopy)
{
	std::string base = plain();
	std::vector<wt::ogg_page_copy> pages = wt::ogg_pages(base);
	std::vector<wt::ogg_page_copy> other = wt::ogg_pages(plain(7));
	std::vector<fail_case> cases;

	cases.push_back({"empty", "", "not written: no stream begins the file"});
	cases.push_back({"not Ogg at all", std::string(5000, 'x'), "not written: no stream begins the file"});
	cases.push_back({"cut inside the headers", base.substr(0, pages[1].offset + 20),
	    "not written: the file ends inside its headers"});
	cases.push_back({"first page only", pages[0].bytes, "not written: the file ends inside its headers"});

	std::string damaged = base;
	damaged[pages[1].offset + 27 + static_cast<unsigned char>(damaged[pages[1].offset + 26]) + 1] = 'x';
	wt::ogg_fix_checksum(damaged, pages[1].offset);
	cases.push_back({"damaged comment header", damaged, "not written: its headers cannot be read"});

	std::string early = pages[0].bytes;
	early[5] = static_cast<char>(early[5] | 0x04);
	wt::ogg_fix_checksum(early, 0);
	cases.push_back({"ends inside its headers", early + plain(2), "not written: its stream ends inside its headers"});

	std::string mux;
	for (std::size_t i = 0; i < pages.size() || i < other.size(); i++)
		mux += (i < pages.size() ? pages[i].bytes : "") + (i < other.size() ? other[i].bytes : "");
	cases.push_back({"interleaved second stream", mux,
	    "not written: a page of another stream comes inside its headers"});
	std::string late_mux;
	for (std::size_t i = 0; i < pages.size(); i++)
		late_mux += pages[i].bytes + (i >= 4 && i - 4 < other.size() ? other[i - 4].bytes : "");
	cases.push_back({"second stream begins inside the audio", late_mux,
	    "not written: a page of another stream comes before this one ends (interleaved streams)"});

	// Readers take the page after number 0xffffffff for a gap: headers
	// that grow by a page would have to number the last page past it.
	std::string top = base;
	wt::ogg_set_pageno(top, pages.back().offset, 0xffffffff);
	cases.push_back({"page numbers at the top", top, "not written: its page numbers would run past the largest there is",
	    wt::vorbis_comment_packet("v", {"COVER=" + std::string(70000, 'c')})});

	for (const fail_case &c : cases) {
		SCOPED_TRACE(c.name);
		wt::tmpdir dir;
		std::string f = dir / "song.ogg";
		wt::write_file(f, c.bytes);
		w_fileid id;
		wt::stderr_capture cap;
		EXPECT_EQ(w_oggfile_write(f.c_str(), id, vorbis_like(c.comment)), -1);
		EXPECT_EQ(wt::messages(cap.text()), std::vector<std::string>{f + ": " + c.reason});
		EXPECT_TRUE(wt::read_file(f) == c.bytes);
		EXPECT_EQ(dir.list(), std::vector<std::string>{"song.ogg"});
	}
}

} // namespace
