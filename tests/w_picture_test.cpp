#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "w_picture.h"
#include "w_testsupport.h"

namespace {

// Runs a Python script with mutagen on its arguments; its output.
std::string
mutagen(const std::string &script, const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {"/usr/bin/python3", "-c", script};
	argv.insert(argv.end(), args.begin(), args.end());
	wt::run_result r = wt::run(argv);
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

} // namespace

// Images made by ffmpeg's encoders: the type and size come from their
// headers alone.
TEST(Picture, ImageHeadersGiveTypeAndSize)
{
	wt::tmpdir dir;
	const struct {
		const char *ext, *mime;
	} cases[] = {{"jpg", "image/jpeg"}, {"png", "image/png"}, {"gif", "image/gif"}, {"bmp", "image/bmp"},
	    {"webp", "image/webp"}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.ext);
		const std::string f = dir / (std::string("t.") + c.ext);
		ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:s=8x6", "-frames:v", "1", f})
			      .status,
		    0);
		const std::string data = wt::read_file(f);
		std::string mime;
		unsigned w = 0, h = 0;
		ASSERT_TRUE(w_image_probe(data, &mime, &w, &h));
		EXPECT_EQ(mime, c.mime);
		EXPECT_EQ(w, 8u);
		EXPECT_EQ(h, 6u);
		EXPECT_STREQ(w_picture_extension(mime), c.ext);
		// Cut short, an image still has a type but no size to tell.
		for (std::size_t n : {std::size_t{0}, std::size_t{3}}) {
			std::string m;
			unsigned cw = 0, ch = 0;
			if (w_image_probe(data.substr(0, n), &m, &cw, &ch)) {
				EXPECT_EQ(cw * ch, 0u);
			}
		}
	}
	std::string mime;
	unsigned w, h;
	EXPECT_FALSE(w_image_probe("not an image at all, just text", &mime, &w, &h));
}

TEST(Picture, TypeNamesAndBase64)
{
	const struct {
		const char *word;
		int type;
	} names[] = {{"front", 3}, {"Front Cover", 3}, {"front-cover", 3}, {"back", 4}, {"other", 0},
	    {"band", 10}, {"band logotype", 19}, {"during", -1}, {"publisher", 20}, {"fish", -1}, {"bright-coloured-fish", 17}, {"", -1}, {"3", -1}};
	for (const auto &n : names)
		EXPECT_EQ(w_picture_type_of(n.word), n.type) << n.word;
	EXPECT_EQ(w_picture_type_name(3), "front cover");
	EXPECT_EQ(w_picture_type_name(99), "type 99");

	std::string out;
	EXPECT_TRUE(w_base64_decode("aGVsbG8=", &out));
	EXPECT_EQ(out, "hello");
	EXPECT_TRUE(w_base64_decode("aGVsbG8", &out));
	EXPECT_EQ(out, "hello");
	for (const char *bad : {"aGV sbG8=", "aGVs=bG8", "a===", "a"})
		EXPECT_FALSE(w_base64_decode(bad, &out)) << bad;
}

// One syntax on every format: the pictures as mutagen stored them are
// listed in file order, exported byte for byte, and outlive a clear of the
// tags; an existing file is never replaced.
TEST(Picture, ListExportAndKeepOnEveryFormat)
{
	wt::tmpdir dir;
	const std::string front = dir / "front.png", back = dir / "back.png", wav = dir / "tone.wav";
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:s=4x2", "-frames:v", "1", front})
		      .status,
	    0);
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=blue:s=6x4", "-frames:v", "1", back})
		      .status,
	    0);
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=0.2", wav}).status, 0);
	const std::string add = R"(
import sys, base64
from mutagen.flac import Picture
from mutagen.id3 import ID3, APIC, TIT2
from mutagen.mp4 import MP4, MP4Cover
import mutagen
path, front, back = sys.argv[1:4]
imgs = [(3, 'Front', open(front, 'rb').read()), (4, 'Back', open(back, 'rb').read())]
def pic(t, desc, data):
    p = Picture(); p.type, p.mime, p.desc, p.data = t, 'image/png', desc, data
    return p
if path.endswith('.mp3'):
    t = ID3()
    t.add(TIT2(encoding=3, text='T'))
    for ty, desc, data in imgs:
        t.add(APIC(encoding=3, mime='image/png', type=ty, desc=desc, data=data))
    t.save(path)
elif path.endswith('.m4a'):
    m = MP4(path); m['\xa9nam'] = 'T'
    m['covr'] = [MP4Cover(data, MP4Cover.FORMAT_PNG) for _, _, data in imgs[:1]]
    m.save()
else:
    f = mutagen.File(path); f['TITLE'] = 'T'
    if path.endswith('.flac'):
        for i in imgs: f.add_picture(pic(*i))
    else:
        f['METADATA_BLOCK_PICTURE'] = [base64.b64encode(pic(*i).write()).decode() for i in imgs]
    f.save()
)";
	const std::string front_line = "front cover\timage/png\t4x2\t" + std::to_string(wt::read_file(front).size()) +
	    "\tFront\n";
	const std::string back_line = "back cover\timage/png\t6x4\t" + std::to_string(wt::read_file(back).size()) +
	    "\tBack\n";
	const std::string both = "1\t" + front_line + "2\t" + back_line;
	const struct {
		const char *name;
		std::vector<std::string> make; // FILE stands for the new file
		std::string listed;
		std::string second; // the picture listed second
	} cases[] = {
	    {"a.flac", {"flac", "-s", wav, "-o", "FILE"}, both, back},
	    {"a.ogg", {"oggenc", "-Q", wav, "-o", "FILE"}, both, back},
	    {"a.opus", {"opusenc", "--quiet", wav, "FILE"}, both, back},
	    // mutagen writes its APIC frames in an order of its own.
	    {"a.mp3", {"lame", "--silent", wav, "FILE"}, "1\t" + back_line + "2\t" + front_line, front},
	    // An MP4 cover has no type, and no description.
	    {"a.m4a", {"ffmpeg", "-v", "error", "-i", wav, "-c:a", "aac", "FILE"},
		"1\tfront cover\timage/png\t4x2\t" + std::to_string(wt::read_file(front).size()) + "\t\n", ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string f = dir / c.name;
		ASSERT_EQ(wt::run_on(c.make, f).status, 0);
		mutagen(add, {f, front, back});

		wt::run_result r = wt::wembrix({"pictures", f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out, "# " + f + "\n" + c.listed + "\n");

		// The front cover by default, the name's extension from the
		// image, relative to the music file's directory.
		const std::string cover = dir / "cover.png";
		r = wt::wembrix({"export-picture:cover", f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_TRUE(wt::read_file(cover) == wt::read_file(front));
		r = wt::wembrix({"export-picture:back=cover", f});
		EXPECT_EQ(r.status, 1);
		EXPECT_TRUE(wt::read_file(cover) == wt::read_file(front)) << "an existing file was replaced";
		if (!c.second.empty()) {
			EXPECT_NE(r.err.find("cover.png: File exists"), std::string::npos) << r.err;
			r = wt::wembrix({"export-picture:2=" + dir / "second", f});
			EXPECT_EQ(r.status, 0) << r.err;
			EXPECT_TRUE(wt::read_file(dir / "second.png") == wt::read_file(c.second));
			std::remove((dir / "second.png").c_str());
		} else {
			EXPECT_NE(r.err.find(f + ": no back cover picture"), std::string::npos) << r.err;
		}
		std::remove(cover.c_str());

		r = wt::wembrix({"clear:", f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(wt::wembrix({"pictures", f}).out, "# " + f + "\n" + c.listed + "\n");
		EXPECT_EQ(wt::wembrix({"--all-tags", "clear:", f}).status, 0);
		EXPECT_EQ(wt::wembrix({"pictures", f}).out, "# " + f + "\n" + c.listed + "\n");
	}

	wt::run_result r = wt::wembrix({"export-picture:zz=x", dir / "a.flac"});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("export-picture: zz: no picture index or type"), std::string::npos) << r.err;
}
