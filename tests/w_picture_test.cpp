#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
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

// The same short tone encoded by each format's own encoder, made once for
// the test program; tests copy them.
struct encoded {
	wt::tmpdir dir;
	const char *const names[5] = {"a.flac", "a.ogg", "a.opus", "a.mp3", "a.m4a"};

	encoded()
	{
		const std::string wav = dir / "tone.wav";
		EXPECT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=0.2", wav}).status, 0);
		const std::vector<std::string> make[5] = {{"flac", "-s", wav, "-o", "FILE"},
		    {"oggenc", "-Q", wav, "-o", "FILE"}, {"opusenc", "--quiet", wav, "FILE"},
		    {"lame", "--silent", wav, "FILE"}, {"ffmpeg", "-v", "error", "-i", wav, "-c:a", "aac", "FILE"}};
		for (int i = 0; i < 5; i++)
			EXPECT_EQ(wt::run_on(make[i], dir / names[i]).status, 0) << names[i];
	}
	// A copy of the file of that name at path.
	void copy(const std::string &name, const std::string &path) const
	{
		wt::write_file(path, wt::read_file(dir / name));
	}
};

const encoded &
plain()
{
	static const encoded e;
	return e;
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
	const std::string front = dir / "front.png", back = dir / "back.png";
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:s=4x2", "-frames:v", "1", front})
		      .status,
	    0);
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=blue:s=6x4", "-frames:v", "1", back})
		      .status,
	    0);
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
		std::string listed;
		std::string second; // the picture listed second
	} cases[] = {
	    {"a.flac", both, back},
	    {"a.ogg", both, back},
	    {"a.opus", both, back},
	    // mutagen writes its APIC frames in an order of its own.
	    {"a.mp3", "1\t" + back_line + "2\t" + front_line, front},
	    // An MP4 cover has no type, and no description.
	    {"a.m4a", "1\tfront cover\timage/png\t4x2\t" + std::to_string(wt::read_file(front).size()) + "\t\n", ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string f = dir / c.name;
		plain().copy(c.name, f);
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

// Picture writes on every format, judged by mutagen (and metaflac and
// ffprobe): an import lands as asked, exports byte for byte, replaces the
// picture of its type in its place, survives a tag write, and goes again
// by index, by type or all at once; nothing else of the file changes.
TEST(PictureWrite, ImportReplaceRemoveOnEveryFormat)
{
	wt::tmpdir dir;
	const struct {
		const char *name, *size;
	} images[] = {{"front.png", "4x2"}, {"back.jpg", "6x4"}, {"new.gif", "2x4"}};
	for (const auto &im : images)
		ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", std::string("color=red:s=") + im.size,
			      "-frames:v", "1", dir / im.name})
			      .status,
		    0);
	auto bytes = [&dir](const char *name) { return wt::read_file(dir / name); };
	auto line = [&bytes](int i, const char *type, const char *mime, const char *size, const char *file,
			const char *desc) {
		return std::to_string(i) + '\t' + type + '\t' + mime + '\t' + size + '\t' +
		    std::to_string(bytes(file).size()) + '\t' + desc + '\n';
	};
	// Of each file, the title and each picture as mutagen reads it (type,
	// MIME type, description, the image's digest), sorted.
	const std::string judge = R"(
import sys, base64, hashlib
import mutagen
from mutagen.flac import Picture
for path in sys.argv[1:]:
  f = mutagen.File(path)
  h = lambda d: hashlib.sha1(d).hexdigest()[:12]
  out = []
  if path.endswith('.flac'):
      out = ['%d %s %s %s' % (p.type, p.mime, p.desc, h(p.data)) for p in f.pictures]
      title = f.get('title', [''])[0]
  elif path.endswith('.mp3'):
      out = ['%d %s %s %s' % (p.type, p.mime, p.desc, h(p.data)) for p in f.tags.getall('APIC')]
      title = str(f.tags.get('TIT2', ''))
  elif path.endswith('.m4a'):
      fmt = {13: 'image/jpeg', 14: 'image/png'}
      out = ['3 %s  %s' % (fmt.get(c.imageformat, '?'), h(bytes(c))) for c in f.tags.get('covr', [])]
      title = f.tags.get('\xa9nam', [''])[0]
  else:
      for b in f.get('metadata_block_picture', []):
          p = Picture(base64.b64decode(b))
          out.append('%d %s %s %s' % (p.type, p.mime, p.desc, h(p.data)))
      title = f.get('title', [''])[0]
  print('title=' + title)
  print('\n'.join(sorted(out)))
)";
	std::string sha[3];
	for (int i = 0; i < 3; i++)
		sha[i] = wt::run({"sha1sum", dir / images[i].name}).out.substr(0, 12);
	// mutagen judges copies of the files as they were at each step, all in
	// one run at the end.
	std::vector<std::string> judged;
	std::string want;
	auto judge_later = [&](const std::string &f, const std::string &step, const std::string &seen) {
		judged.push_back(f + "." + step + f.substr(f.rfind('.')));
		wt::write_file(judged.back(), wt::read_file(f));
		want += seen;
	};
	for (const char *name : plain().names) {
		SCOPED_TRACE(name);
		const std::string f = dir / name;
		const bool typed = std::string(name) != "a.m4a"; // holds types and descriptions
		plain().copy(name, f);
		ASSERT_EQ(wt::wembrix({"set:title=T", f}).status, 0);
		auto listed = [&f]() { return wt::wembrix({"pictures", f}).out; };
		const std::string head = "# " + f + "\n";

		// The front cover by default, from the music file's directory.
		wt::run_result r = wt::wembrix({"import-picture:front.png", f});
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(listed(), head + line(1, "front cover", "image/png", "4x2", "front.png", "") + "\n");
		r = wt::wembrix({"export-picture:" + dir / "out", f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_TRUE(wt::read_file(dir / "out.png") == bytes("front.png"));
		std::remove((dir / "out.png").c_str());

		if (typed) {
			// Another type, with a description, goes after it.
			r = wt::wembrix({"import-picture:back:Sleeve é=" + dir / "back.jpg", f});
			ASSERT_EQ(r.status, 0) << r.err;
			judge_later(f, "1", "title=T\n3 image/png  " + sha[0] + "\n4 image/jpeg Sleeve é " + sha[1] + "\n");
			// A preview writes nothing and shows what would change.
			const std::string before = wt::read_file(f);
			r = wt::wembrix({"-n", "import-picture:new.gif", f});
			EXPECT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(r.out, f + ": pictures\n-" + line(1, "front cover", "image/png", "4x2", "front.png", "") +
				      "+" + line(1, "front cover", "image/gif", "2x4", "new.gif", ""));
			EXPECT_TRUE(wt::read_file(f) == before);
			// A front cover replaces the front cover, in its place;
			// a tag write then keeps both pictures.
			r = wt::wembrix({"import-picture:front=new.gif", "set:title=New", f});
			ASSERT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(listed(), head + line(1, "front cover", "image/gif", "2x4", "new.gif", "") +
						line(2, "back cover", "image/jpeg", "6x4", "back.jpg", "Sleeve é") + "\n");
			ASSERT_EQ(wt::wembrix({"set:title=Newer", f}).status, 0);
			judge_later(f, "2", "title=Newer\n3 image/gif  " + sha[2] + "\n4 image/jpeg Sleeve é " + sha[1] + "\n");
			r = wt::wembrix({"export-picture:back=" + dir / "out", f});
			EXPECT_EQ(r.status, 0) << r.err;
			EXPECT_TRUE(wt::read_file(dir / "out.jpg") == bytes("back.jpg"));
			std::remove((dir / "out.jpg").c_str());
			// By type, then by index.
			ASSERT_EQ(wt::wembrix({"remove-pictures:back", f}).status, 0);
			EXPECT_EQ(listed(), head + line(1, "front cover", "image/gif", "2x4", "new.gif", "") + "\n");
			r = wt::wembrix({"remove-pictures:2", f});
			EXPECT_EQ(r.status, 1);
			EXPECT_NE(r.err.find(f + ": no picture 2"), std::string::npos) << r.err;
			ASSERT_EQ(wt::wembrix({"remove-pictures:1", f}).status, 0);
		} else {
			// An MP4 cover has no type or description: refused whole.
			const std::string before = wt::read_file(f);
			r = wt::wembrix({"import-picture:back=back.jpg", f});
			EXPECT_EQ(r.status, 1);
			EXPECT_NE(r.err.find("an MP4 file holds front covers only"), std::string::npos) << r.err;
			EXPECT_TRUE(wt::read_file(f) == before);
			// Replaced, kept through a tag write, removed.
			r = wt::wembrix({"import-picture:back.jpg", "set:title=New", f});
			ASSERT_EQ(r.status, 0) << r.err;
			ASSERT_EQ(wt::wembrix({"set:title=Newer", f}).status, 0);
			judge_later(f, "2", "title=Newer\n3 image/jpeg  " + sha[1] + "\n");
			ASSERT_EQ(wt::wembrix({"remove-pictures:", f}).status, 0);
		}
		EXPECT_EQ(listed(), head + "\n");
		judge_later(f, "3", "title=Newer\n\n");
	}
	EXPECT_EQ(mutagen(judge, judged), want);

	// FLAC: metaflac and ffprobe see the block as it was asked.
	const std::string f = dir / "a.flac";
	ASSERT_EQ(wt::wembrix({"import-picture:back:Sleeve=back.jpg", f}).status, 0);
	wt::run_result r = wt::run({"metaflac", "--list", "--block-type=PICTURE", f});
	for (const char *want : {"type: 4 (Cover (back))", "MIME type: image/jpeg", "description: Sleeve", "width: 6",
		 "height: 4"})
		EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
	r = wt::run({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "stream=width,height:stream_disposition=attached_pic",
	    "-of", "csv=p=0", f});
	EXPECT_EQ(r.out, "6,4,1\n") << r.err;

	// Without padding the picture goes through a copy of the whole file,
	// its audio intact.
	const std::string tight = dir / "tight.flac";
	plain().copy("a.flac", tight);
	ASSERT_EQ(wt::run({"metaflac", "--remove", "--block-type=PADDING", "--dont-use-padding", tight}).status, 0);
	r = wt::wembrix({"import-picture:front.png", tight});
	ASSERT_EQ(r.status, 0) << r.err;
	r = wt::run({"metaflac", "--list", "--block-type=PICTURE", tight});
	EXPECT_NE(r.out.find("type: 3 (Cover (front))"), std::string::npos) << r.out;
	r = wt::run({"flac", "-t", "-s", tight});
	EXPECT_EQ(r.status, 0) << r.err;
}

// Refused before any file is touched: an argument that names no type, a
// file that is no image, a journal, which cannot take pictures back.
TEST(PictureWrite, RefusedArguments)
{
	wt::tmpdir dir;
	const std::string f = dir / "a.flac";
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=0.1", f}).status, 0);
	wt::write_file(dir / "text.png", "not an image");
	const std::string before = wt::read_file(f);
	const struct {
		std::vector<std::string> args;
		const char *said;
		int status;
	} cases[] = {
	    {{"import-picture:zz=x.png", f}, "import-picture: zz: no picture type", 1},
	    {{"import-picture:front=", f}, "import-picture: no file name", 1},
	    {{"remove-pictures:zz", f}, "remove-pictures: zz: no picture index or type", 1},
	    {{"import-picture:text.png", f}, "text.png: not a JPEG, PNG, GIF, WebP or BMP image", 1},
	    {{"import-picture:missing.png", f}, "missing.png: No such file or directory", 1},
	    // As every refused combination of options, with EINVAL's status.
	    {{"--journal", dir / "j", "remove-pictures:", f}, "no --journal with import-picture or remove-pictures",
		22},
	};
	for (const auto &c : cases) {
		wt::run_result r = wt::wembrix(c.args);
		EXPECT_EQ(r.status, c.status) << c.said;
		EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
		EXPECT_TRUE(wt::read_file(f) == before) << c.said;
	}
}

// --pictures: a JSON document carries the pictures as FLAC picture
// structures (as mutagen reads them), and loading it gives a file exactly
// those pictures; loaded into the file it was made of, it writes nothing.
TEST(PictureBackup, JsonCarriesAndRestoresPictures)
{
	wt::tmpdir dir;
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:s=4x2", "-frames:v", "1",
			  dir / "front.png"})
		      .status,
	    0);
	const std::string f = dir / "a.flac", mp3 = dir / "a.mp3", backup = dir / "backup.json";
	plain().copy("a.flac", f);
	plain().copy("a.mp3", mp3);
	wt::run_result r = wt::wembrix({"set:title=T", "import-picture:front.png",
	    "import-picture:back:Sleeve=front.png", f});
	ASSERT_EQ(r.status, 0) << r.err;
	r = wt::wembrix({"-F", "json", "--pictures", "print", f});
	ASSERT_EQ(r.status, 0) << r.err;
	wt::write_file(backup, r.out);
	// The document's pictures are the file's, byte for byte.
	const std::string same = mutagen(R"(
import sys, json, base64
from mutagen.flac import FLAC
doc = json.loads(open(sys.argv[1]).read())
print(doc['tags'], [base64.b64decode(p) for p in doc['pictures']] == [p.write() for p in FLAC(sys.argv[2]).pictures])
)",
	    {backup, f});
	EXPECT_EQ(same, "[{'title': 'T'}] True\n");

	const std::string listed = wt::wembrix({"pictures", f}).out;
	ASSERT_EQ(wt::wembrix({"remove-pictures:", "set:title=X", f}).status, 0);
	r = wt::wembrix({"-F", "json", "load:" + backup, f});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::wembrix({"pictures", f}).out, listed);
	EXPECT_EQ(wt::wembrix({"-F", "json", "--pictures", "print", f}).out, wt::read_file(backup));
	// Again: nothing to write, and nothing written.
	const std::string before = wt::read_file(f);
	struct stat st0, st1;
	ASSERT_EQ(stat(f.c_str(), &st0), 0);
	r = wt::wembrix({"-F", "json", "load:" + backup, f});
	EXPECT_EQ(r.status, 0) << r.err;
	ASSERT_EQ(stat(f.c_str(), &st1), 0);
	EXPECT_TRUE(wt::read_file(f) == before);
	EXPECT_EQ(st0.st_mtim.tv_nsec, st1.st_mtim.tv_nsec);
	// Into another format: its own kind of picture.
	r = wt::wembrix({"-F", "json", "load:" + backup, mp3});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(wt::wembrix({"pictures", mp3}).out, "# " + mp3 + listed.substr(listed.find('\n')));

	// Refused: a picture that is none, pictures in a YAML document, and a
	// journal, which would not take them back.
	wt::write_file(dir / "bad.json", "{\"tags\":[],\"pictures\":[\"AAAA\"]}\n");
	r = wt::wembrix({"-F", "json", "load:" + dir / "bad.json", f});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("a picture is the base64 of a FLAC picture structure"), std::string::npos) << r.err;
	r = wt::wembrix({"--pictures", "print", f});
	EXPECT_NE(r.status, 0);
	EXPECT_NE(r.err.find("--pictures: only a JSON document (-F json) carries pictures"), std::string::npos) << r.err;
	ASSERT_EQ(wt::wembrix({"remove-pictures:", f}).status, 0);
	const std::string bare = wt::read_file(f);
	r = wt::wembrix({"--journal", dir / "j", "-F", "json", "load:" + backup, f});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("a journal records tags, not pictures"), std::string::npos) << r.err;
	EXPECT_TRUE(wt::read_file(f) == bare);
}
