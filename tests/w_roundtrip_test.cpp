/* Round trips: what print shows of a file, loaded back after a clear, gives
 * the file back exactly as an independent reader (mutagen, without
 * translation) saw it; a value a file cannot hold is refused before
 * anything is written; and a restore that changes nothing writes nothing.
 * Judged on real files of every format, and on a library of some 300
 * files tagged as a MusicBrainz-style tagger tags them. */
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "w_library.h"
#include "w_tagtools.h"
#include "w_testsupport.h"

namespace {

using rt::kind;

wt::run_options
in(const std::string &dir, const std::string &input = "")
{
	wt::run_options o = wt::utf8;
	o.cwd = dir;
	if (!input.empty())
		o.input = input;
	return o;
}

std::vector<std::string>
with(std::vector<std::string> args, const std::vector<std::string> &files)
{
	args.insert(args.end(), files.begin(), files.end());
	return args;
}

// Each file's document in what print wrote for files: a JSON line, or a
// YAML document from its heading to the next one.
std::vector<std::string>
documents(const std::string &printed, const std::vector<std::string> &files, bool json)
{
	std::vector<std::string> docs;
	std::size_t from = 0;
	for (std::size_t i = 0; i < files.size(); i++) {
		std::size_t to = json ? printed.find('\n', from) + 1
		    : i + 1 < files.size() ? printed.find("\n# " + files[i + 1] + "\n", from) + 1
					  : printed.size();
		if (to == 0 || to < from)
			to = printed.size();
		docs.push_back(printed.substr(from, to - from));
		from = to;
	}
	return docs;
}

// The print of the files in the mode opts choose, then a clear of them all,
// then a load of each file's own print: "" when every run succeeded
// quietly, else what went wrong.
std::string
print_clear_load(const std::string &dir, const std::vector<std::string> &files, const std::vector<std::string> &opts)
{
	std::string out;
	auto check = [&](const wt::run_result &r, const std::string &what) {
		if (r.status != 0 || !r.err.empty())
			out += what + ": status " + std::to_string(r.status) + ": " + r.err;
	};
	const wt::run_result p = wt::wembrix(with(opts, with({"print"}, files)), in(dir));
	check(p, "print");
	check(wt::wembrix(with(opts, with({"clear:"}, files)), in(dir)), "clear");
	const bool json = !opts.empty() && opts.back() == "json";
	const std::vector<std::string> docs = documents(p.out, files, json);
	for (std::size_t i = 0; i < files.size(); i++) {
		wt::write_file(dir + "/doc", docs[i]);
		check(wt::wembrix(with(opts, {"load:doc", files[i]}), in(dir)), files[i]);
	}
	return out;
}

// ---- A library as a MusicBrainz-style tagger leaves it ----

struct library_case {
	kind k;
	unsigned first; // the number of its first file
};

class Library : public testing::TestWithParam<library_case> {};

// 43 files of each of the seven kinds: 301 files in all.  Under the
// sanitizers every run costs several times as much: their build walks the
// same paths on a smaller library.
#ifdef __SANITIZE_ADDRESS__
constexpr unsigned library_files = 8;
#else
constexpr unsigned library_files = 43;
#endif

TEST_P(Library, BackupsGiveEveryFileBackExactly)
{
	wt::tmpdir dir;
	const std::vector<std::string> files =
	    rt::make_library(dir.path(), GetParam().k, library_files, GetParam().first);
	const auto before = rt::seen(dir.path(), files);
	rt::age(dir.path(), files);
	const auto untouched = rt::fingerprints(dir.path(), files);

	// A backup made without --all-tags holds every field all the same.
	wt::run_result r = wt::wembrix(with({"-F", "json", "print"}, files), in(dir.path()));
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	wt::write_file(dir / "backup.jsonl", r.out);

	// Restored onto the untouched library, it changes no byte and no time.
	r = wt::wembrix({"-F", "json", "load:backup.jsonl"}, in(dir.path()));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	const auto now = rt::fingerprints(dir.path(), files);
	for (const std::string &f : files)
		EXPECT_TRUE(now.at(f) == untouched.at(f)) << f << " was written";

	// Cleared by mistake, in the complete model, and restored.
	r = wt::wembrix(with({"--all-tags", "clear:"}, files), in(dir.path()));
	ASSERT_EQ(r.status, 0) << r.err;
	r = wt::wembrix({"-F", "json", "load:backup.jsonl"}, in(dir.path()));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(rt::differences(before, rt::seen(dir.path(), files)), "");

	// The YAML print of --all-tags, loaded back after a clear.
	EXPECT_EQ(print_clear_load(dir.path(), files, {"--all-tags"}), "");
	EXPECT_EQ(rt::differences(before, rt::seen(dir.path(), files)), "");
}

std::string
kind_name(const testing::TestParamInfo<library_case> &i)
{
	static const char *const names[] = {"Mp3v23", "Mp3v24", "M4a", "Wav", "Flac", "Vorbis", "Opus"};
	return names[static_cast<int>(i.param.k)];
}

INSTANTIATE_TEST_SUITE_P(EveryKind, Library,
    testing::Values(library_case{kind::mp3v23, 0}, library_case{kind::mp3v24, 43}, library_case{kind::m4a, 86},
	library_case{kind::wav, 129}, library_case{kind::flac, 172}, library_case{kind::vorbis, 215},
	library_case{kind::opus, 258}),
    kind_name);

// ---- Files with what the table of faults found ----

// Frames mutagen writes into an MP3 file's ID3v2 tag of the given version:
// each argument after the version a Python expression of a frame.
void
id3_file(const std::string &path, int version, const std::vector<std::string> &frames, bool v1 = false)
{
	wt::make_mp3(path, {"--id3v2-only"});
	std::string script = "import sys\nimport mutagen.id3\nglobals().update(vars(mutagen.id3))\nt = ID3()\n";
	for (const std::string &f : frames)
		script += "t.add(" + f + ")\n";
	script += "t.save(sys.argv[1], v2_version=" + std::to_string(version) + ", v1=" + (v1 ? "2" : "0") + ")\n";
	wt::python(script, {path});
}

// Text-bearing frames beside the table's: comments and lyrics with a
// description, a TXXX frame without one, URL frames, ratings with and
// without a play counter; and what stays unseen: a binary frame, and a
// TXXX frame named as a URL field is.
std::vector<std::string>
text_bearing_frames()
{
	return {"TIT2(encoding=3, text=['Song'])", "COMM(encoding=3, lang='fra', desc='Notes', text=['Décrit'])",
	    "USLT(encoding=3, lang='eng', desc='Verse', text='La la')", "TXXX(encoding=3, desc='', text=['bare'])",
	    "WOAR(url='http://artist.example/')", "WCOM(url='http://shop.example/a')",
	    "WCOM(url='http://shop.example/b')", "WXXX(encoding=0, desc='', url='http://plain.example/')",
	    "WXXX(encoding=3, desc='Fan Site', url='http://fans.example/')",
	    "POPM(email='Windows Media Player 9 Series', rating=196, count=12)", "POPM(email='no@count', rating=50)",
	    "PRIV(owner='x', data=b'\\x00\\x01')", "TXXX(encoding=3, desc='url:WOAR', text=['colliding'])"};
}

// The rows of the table, each a file and what it holds.
struct fixture {
	const char *name;
	void (*make)(const std::string &path);
};

const fixture fixtures[] = {
	{"v23-date-time.mp3",
	    [](const std::string &p) {
		    // TYER, TDAT and TIME; a TDOR and a TDRC the version does not
		    // know, as scripts leave them.
		    id3_file(p, 3, {"TIT2(encoding=3, text=['Song'])", "TYER(encoding=0, text=['2019'])",
				       "TDAT(encoding=0, text=['0103'])", "TIME(encoding=0, text=['1230'])",
				       "TRCK(encoding=0, text=['3/12'])"});
		    wt::python("import sys\nimport mutagen.id3\nglobals().update(vars(mutagen.id3))\nt = ID3(sys.argv[1], translate=False)\n"
			       "t.add(TDOR(encoding=0, text=['2019-06-21']))\nt.save(sys.argv[1], v2_version=3)\n",
			{p});
	    }},
	{"v23-tdrc.mp3",
	    [](const std::string &p) {
		    id3_file(p, 4, {"TIT2(encoding=3, text=['Song'])", "TDRC(encoding=0, text=['2019-06'])"});
		    wt::python("import sys\nimport mutagen.id3\nglobals().update(vars(mutagen.id3))\nt = ID3(sys.argv[1], translate=False)\n"
			       "t.save(sys.argv[1], v2_version=3)\n",
			{p});
	    }},
	{"comments.mp3",
	    [](const std::string &p) {
		    id3_file(p, 4, {"COMM(encoding=3, lang='eng', desc='', text=['English'])",
				       "COMM(encoding=3, lang='deu', desc='', text=['Deutsch'])",
				       "COMM(encoding=3, lang='XXX', desc='', text=['Unknown'])",
				       "COMM(encoding=3, lang='eng', desc='note', text=['Described'])",
				       "USLT(encoding=3, lang='fra', desc='', text='Paroles')"});
	    }},
	{"genre.mp3",
	    [](const std::string &p) { id3_file(p, 4, {"TCON(encoding=0, text=['27'])", "TIT2(encoding=0, text=['x'])"}); }},
	{"v1.mp3",
	    [](const std::string &p) {
		    id3_file(p, 3, {"TIT2(encoding=0, text=['Song'])", "TPE1(encoding=0, text=['Band'])",
				       "TRCK(encoding=0, text=['3/12'])", "TCON(encoding=0, text=['Rock'])",
				       "TYER(encoding=0, text=['1999'])"},
			true);
	    }},
	{"names.mp3",
	    [](const std::string &p) {
		    id3_file(p, 4, {"TXXX(encoding=3, desc='BARCODE', text=['123'])",
				       "TXXX(encoding=3, desc='Acoustid Id', text=['ac'])",
				       "TXXX(encoding=3, desc='ARTISTS', text=['A', 'B'])",
				       "TXXX(encoding=3, desc='Own Name', text=['own'])",
				       "TXXX(encoding=3, desc='Größe', text=['groß'])"});
	    }},
	{"frames.mp3", [](const std::string &p) { id3_file(p, 4, text_bearing_frames()); }},
	{"frames23.mp3", [](const std::string &p) { id3_file(p, 3, text_bearing_frames()); }},
	{"names.m4a",
	    [](const std::string &p) {
		    wt::make_wav(p + ".wav", 800);
		    ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-i", p + ".wav", "-c:a", "aac", "-fflags", "+bitexact", "-y", p}).status, 0);
		    wt::python("import sys\nfrom mutagen.mp4 import MP4, MP4FreeForm\nm = MP4(sys.argv[1])\n"
			       "u = lambda s: '----:com.apple.iTunes:' + s.encode().decode('latin-1')\n"
			       "m[u('ARTISTS')] = [MP4FreeForm(b'A'), MP4FreeForm(b'B')]\n"
			       "m[u('Größe')] = [MP4FreeForm('groß'.encode())]\n"
			       "m[u('Own Name')] = [MP4FreeForm(b'own')]\n"
			       "m['trkn'] = [(3, 12)]\nm['\\xa9gen'] = ['Rock', 'Pop']\n"
			       // Freeform items of another mean: text, and data kept unseen.
			       "m['----:org.example:Mood'] = [MP4FreeForm(b'calm'), MP4FreeForm(b'warm')]\n"
			       "m['----:org.example:Blob'] = [MP4FreeForm(b'\\x00\\x01', dataformat=0)]\nm.save()\n",
			{p});
	    }},
};

// One file of each kind of the library, and each row's file.
std::vector<std::string>
every_fixture(const std::string &dir)
{
	std::vector<std::string> files;
	unsigned n = 0;
	for (kind k : {kind::mp3v23, kind::mp3v24, kind::m4a, kind::wav, kind::flac, kind::vorbis, kind::opus}) {
		for (const std::string &f : rt::make_library(dir, k, 1, n++))
			files.push_back(f);
	}
	for (const fixture &f : fixtures) {
		f.make(dir + "/" + f.name);
		files.push_back(f.name);
	}
	return files;
}

// Copies of every file of from into to.
void
copy_all(const std::string &from, const std::string &to, const std::vector<std::string> &files)
{
	for (const std::string &f : files)
		std::filesystem::copy_file(from + "/" + f, to + "/" + f);
}

// The property, in each mode: print, clear, load gives back what mutagen
// saw, in the complete model (JSON, or YAML with --all-tags).  In the seven
// fields a round trip cannot be exact (a track has no total there): the
// seven come back as printed, and nothing else changes.
TEST(RoundTrip, EveryFixtureInEveryMode)
{
	wt::tmpdir made;
	const std::vector<std::string> files = every_fixture(made.path());
	const auto before = rt::seen(made.path(), files);
	for (const auto &opts : std::vector<std::vector<std::string>>{{"-F", "json"}, {"--all-tags"}}) {
		SCOPED_TRACE(opts[0]);
		wt::tmpdir dir;
		copy_all(made.path(), dir.path(), files);
		EXPECT_EQ(print_clear_load(dir.path(), files, opts), "");
		EXPECT_EQ(rt::differences(before, rt::seen(dir.path(), files)), "");
	}

	wt::tmpdir dir;
	copy_all(made.path(), dir.path(), files);
	const wt::run_result shown = wt::wembrix(with({"print"}, files), in(dir.path()));
	EXPECT_EQ(print_clear_load(dir.path(), files, {}), "");
	EXPECT_EQ(wt::wembrix(with({"print"}, files), in(dir.path())).out, shown.out);
	// The ID3v1 tag outlives the clear, and takes the fields back.
	const std::string v1 = rt::seen(dir.path(), {"v1.mp3"}).at("v1.mp3");
	EXPECT_NE(v1.find("\"v1 TIT2=Song\""), std::string::npos) << v1;
}

// A WAV file's INFO chunk shows a numeric genre as the number it is, and
// what it shows loads back.
TEST(RoundTrip, InfoChunkLoadsBack)
{
	wt::tmpdir dir;
	wt::make_wav(dir / "s.wav", 800);
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-i", dir / "s.wav", "-fflags", "+bitexact", "-metadata", "genre=10",
			  "-metadata", "title=T", "-y", dir / "i.wav"})
		      .status,
	    0);
	const std::string shown = wt::wembrix({"-F", "json", "print", "i.wav"}, in(dir.path())).out;
	EXPECT_EQ(shown, "{\"file\":\"i.wav\",\"tags\":[{\"title\":\"T\"},{\"genre\":\"10\"}]}\n");
	EXPECT_EQ(print_clear_load(dir.path(), {"i.wav"}, {"-F", "json"}), "");
	EXPECT_EQ(wt::wembrix({"-F", "json", "print", "i.wav"}, in(dir.path())).out, shown);
}

// What the rows hold, shown as they are.
TEST(RoundTrip, PrintShowsWhatTheFileHolds)
{
	wt::tmpdir dir;
	for (const fixture &f : fixtures)
		f.make(dir / f.name);
	auto shown = [&](const char *file) { return wt::wembrix({"--all-tags", "print", file}, in(dir.path())).out; };
	EXPECT_EQ(shown("v23-date-time.mp3"), "# v23-date-time.mp3\n---\n- title: Song\n- date: 2019-03-01T12:30\n"
					      "- tracknumber: '3'\n- tracktotal: '12'\n- originaldate:TDOR: '2019-06-21'\n\n");
	EXPECT_EQ(shown("comments.mp3"), "# comments.mp3\n---\n- comment: English\n- comment:XXX: Unknown\n"
					 "- comment:deu: Deutsch\n- comment:eng:note: Described\n- lyrics:fra: Paroles\n\n");
	EXPECT_EQ(shown("genre.mp3"), "# genre.mp3\n---\n- title: x\n- genre: '27'\n\n");
	EXPECT_EQ(shown("names.mp3"), "# names.mp3\n---\n- artists: A\n- artists: B\n- barcode: '123'\n"
				      "- acoustid_id: ac\n- Own Name: own\n- Größe: groß\n\n");
	EXPECT_EQ(shown("names.m4a"), "# names.m4a\n---\n- tracknumber: '3'\n- tracktotal: '12'\n- genre: Rock\n"
				      "- genre: Pop\n- artists: A\n- artists: B\n"
				      "- Größe: groß\n- Own Name: own\n"
				      "- '----:org.example:Mood': calm\n- '----:org.example:Mood': warm\n\n");
	// Neither the PRIV frame nor the TXXX frame named url:WOAR shows.
	EXPECT_EQ(shown("frames.mp3"), "# frames.mp3\n---\n- title: Song\n- comment:fra:Notes: Décrit\n"
				       "- lyrics:eng:Verse: La la\n- TXXX: bare\n- rating:no@count: '50'\n"
				       "- url:WCOM: http://shop.example/a\n- url:WCOM: http://shop.example/b\n"
				       "- url:WOAR: http://artist.example/\n- url:WXXX: http://plain.example/\n"
				       "- url:WXXX:Fan Site: http://fans.example/\n"
				       "- rating:Windows Media Player 9 Series: '196'\n"
				       "- playcount:Windows Media Player 9 Series: '12'\n\n");
}

// A write of one field of an unusual file is no business of the others:
// set and set back, the title leaves the file as it was.
TEST(RoundTrip, UnusualFieldsDoNotStopOtherWrites)
{
	const std::pair<const char *, const char *> rows[] = {
	    {"v23-date-time.mp3", "Song"}, {"v23-tdrc.mp3", "Song"}, {"comments.mp3", ""}, {"genre.mp3", "x"}};
	wt::tmpdir dir;
	for (const auto &[name, title] : rows) {
		SCOPED_TRACE(name);
		for (const fixture &f : fixtures) {
			if (std::string(f.name) == name)
				f.make(dir / name);
		}
		const auto before = rt::seen(dir.path(), {name});
		for (const auto &opts : std::vector<std::vector<std::string>>{{}, {"--all-tags"}}) {
			wt::run_result r = wt::wembrix(with(opts, {"set:title=New", name}), in(dir.path()));
			EXPECT_EQ(r.status, 0);
			EXPECT_EQ(r.err, "");
			r = wt::wembrix({"--all-tags", "print", name}, in(dir.path()));
			EXPECT_NE(r.out.find("- title: New\n"), std::string::npos) << r.out;
			const std::string back = *title != '\0' ? std::string("set:title=") + title : "clear:title";
			r = wt::wembrix(with(opts, {back, name}), in(dir.path()));
			EXPECT_EQ(r.status, 0) << r.err;
		}
		EXPECT_EQ(rt::differences(before, rt::seen(dir.path(), {name})), "");
	}
}

// The frames of an MP3 file's ID3v2 tag as they stand in it, id and bytes
// (header flags included), in order.
std::vector<std::string>
raw_frames(const std::string &path)
{
	const wt::run_result r = wt::python(R"(
import sys
b = open(sys.argv[1], 'rb').read()
v = b[3]
end = 10 + ((b[6] << 21) | (b[7] << 14) | (b[8] << 7) | b[9])
pos = 10
while pos + 10 <= end and b[pos] != 0:
    s = b[pos + 4:pos + 8]
    n = (s[0] << 21 | s[1] << 14 | s[2] << 7 | s[3]) if v == 4 else int.from_bytes(s, 'big')
    print(b[pos:pos + 4].decode() + ' ' + b[pos + 8:pos + 10 + n].hex())
    pos += 10 + n
)",
	    {path});
	std::vector<std::string> out;
	std::istringstream in(r.out);
	for (std::string line; std::getline(in, line);)
		out.push_back(line);
	return out;
}

// A write of one of the new fields rewrites its frame alone: every other
// frame keeps its bytes and its place, in both versions, and a rating
// without a play counter gets none.
TEST(RoundTrip, AWriteOfOneFrameFieldKeepsEveryOtherFrame)
{
	wt::tmpdir dir;
	const struct {
		const char *arg;
		const char *id;
		const char *data; // the new frame's bytes after its header, in hex
	} rows[] = {
	    {"set:rating:no@count=51", "POPM", "0000" "6e6f40636f756e74" "00" "33"},
	    {"set:url:WOAR=http://new.example/", "WOAR", "0000" "687474703a2f2f6e65772e6578616d706c652f"},
	};
	for (const char *file : {"frames.mp3", "frames23.mp3"}) {
		id3_file(dir / file, std::string(file) == "frames.mp3" ? 4 : 3, text_bearing_frames());
		const std::string made = wt::read_file(dir / file);
		const std::vector<std::string> before = raw_frames(dir / file);
		for (const auto &row : rows) {
			SCOPED_TRACE(std::string(file) + " " + row.arg);
			wt::write_file(dir / file, made);
			const wt::run_result r = wt::wembrix({"--all-tags", row.arg, file}, in(dir.path()));
			ASSERT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(r.err, "");
			std::vector<std::string> expected;
			for (const std::string &f : before)
				expected.push_back(f.rfind(row.id, 0) == 0 && f.find(row.id == std::string("POPM") ? "6e6f40" : "") != std::string::npos
					? std::string(row.id) + " " + row.data
					: f);
			EXPECT_EQ(raw_frames(dir / file), expected);
		}
	}
}

// Carried through a FLAC file, whose names are plain, the fields come back
// into another MP3 file as they were; only the case of the names is lost,
// as a FLAC file's names have none.
TEST(RoundTrip, NewFieldsCrossFormatsAsPlainFields)
{
	// The document without its heading, each name in lower case.
	auto names_lowered = [](const std::string &doc) {
		std::istringstream in(doc.substr(doc.find('\n') + 1));
		std::string out;
		for (std::string line; std::getline(in, line);) {
			const std::size_t colon = line.find(": ");
			for (std::size_t i = 0; i < colon && colon != std::string::npos; i++)
				line[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
			out += line + "\n";
		}
		return out;
	};
	wt::tmpdir dir;
	id3_file(dir / "a.mp3", 4, text_bearing_frames());
	wt::make_flac(dir / "b.flac", {});
	wt::make_mp3(dir / "c.mp3", {"--id3v2-only"});
	const std::string a = wt::wembrix({"--all-tags", "print", "a.mp3"}, in(dir.path())).out;
	wt::run_result r = wt::wembrix({"--all-tags", "load:-", "b.flac"}, in(dir.path(), a));
	ASSERT_EQ(r.status, 0) << r.err;
	const std::string b = wt::wembrix({"print", "b.flac"}, in(dir.path())).out;
	EXPECT_EQ(names_lowered(b), names_lowered(a));
	r = wt::wembrix({"--all-tags", "load:-", "c.mp3"}, in(dir.path(), b));
	ASSERT_EQ(r.status, 0) << r.err;
	const std::string c = wt::wembrix({"--all-tags", "print", "c.mp3"}, in(dir.path())).out;
	EXPECT_EQ(names_lowered(c), names_lowered(a));
}

// A document from a FLAC file loads into the seven fields: date and
// tracknumber are the year and the track, the total goes with the track,
// and every other name is said once, naming the file.
TEST(RoundTrip, SevenFieldsTakeAFlacDocument)
{
	wt::tmpdir dir;
	wt::make_flac(dir / "a.flac", {"TITLE=Song", "DATE=2019-06-21", "TRACKNUMBER=3", "TRACKTOTAL=12",
					  "ALBUMARTIST=X", "ALBUMARTIST=Y", "GENRE=Rock"});
	wt::make_mp3(dir / "b.mp3", {"--id3v2-only"});
	const std::string doc = wt::wembrix({"print", "a.flac"}, in(dir.path())).out;
	wt::run_result r = wt::wembrix({"load:-", "b.mp3"}, in(dir.path(), doc));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "wembrix: b.mp3: unsupported tag for TagLib backend: albumartist\n");
	EXPECT_EQ(wt::wembrix({"print", "b.mp3"}, in(dir.path())).out,
	    "# b.mp3\n---\n- title: Song\n- year: '2019'\n- track: '03'\n- genre: Rock\n\n");
	const std::string seen = rt::seen(dir.path(), {"b.mp3"}).at("b.mp3");
	EXPECT_NE(seen.find(R"(\"id\": \"TRCK\", \"text\": [\"3/12\"])"), std::string::npos) << seen;

	// With --all-tags, the totals of FLAC files of any tagger go into TRCK
	// and TPOS, never into frames of their own.
	wt::make_flac(dir / "c.flac", {"TRACKNUMBER=3", "TOTALTRACKS=12", "DISCNUMBER=1", "TOTALDISCS=2"});
	wt::make_mp3(dir / "d.mp3", {"--id3v2-only"});
	const std::string all = wt::wembrix({"--all-tags", "print", "c.flac"}, in(dir.path())).out;
	r = wt::wembrix({"--all-tags", "load:-", "d.mp3"}, in(dir.path(), all));
	EXPECT_EQ(r.status, 0) << r.err;
	const std::string d = rt::seen(dir.path(), {"d.mp3"}).at("d.mp3");
	EXPECT_NE(d.find(R"(\"id\": \"TRCK\", \"text\": [\"3/12\"])"), std::string::npos) << d;
	EXPECT_NE(d.find(R"(\"id\": \"TPOS\", \"text\": [\"1/2\"])"), std::string::npos) << d;
	EXPECT_EQ(d.find("TXXX"), std::string::npos) << d;
}

// Numbers the seven fields cannot show are skipped with a warning: the
// old value stays, and the track's total with it.
TEST(RoundTrip, NumbersOutOfRangeKeepTheOldValue)
{
	wt::tmpdir dir;
	for (const char *name : {"a.mp3", "a.m4a"}) {
		SCOPED_TRACE(name);
		if (std::string(name) == "a.mp3") {
			id3_file(dir / name, 4, {"TRCK(encoding=0, text=['3/12'])", "TDRC(encoding=0, text=['1999'])"});
		} else {
			wt::make_wav(dir / "s.wav", 800);
			ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-i", dir / "s.wav", "-c:a", "aac", "-y", dir / name}).status, 0);
			wt::python("import sys\nfrom mutagen.mp4 import MP4, MP4FreeForm\nm = MP4(sys.argv[1])\n"
				   "m['trkn'] = [(3, 12)]\nm['\\xa9day'] = ['1999']\nm.save()\n",
			    {dir / name});
		}
		const std::string bytes = wt::read_file(dir / name);
		for (const char *arg : {"set:track=0", "set:year=0", "set:track=10000", "set:year=10000"}) {
			wt::run_result r = wt::wembrix({arg, name}, in(dir.path()));
			EXPECT_EQ(r.status, 0);
			const std::string key = std::string(arg).substr(4, std::string(arg).find('=') - 4);
			const std::string value = std::string(arg).substr(std::string(arg).find('=') + 1);
			EXPECT_EQ(r.err, "wembrix: invalid unsigned int argument for " + key + ": " + value +
				(value == "0" ? " (out of range)\n" : " (too large)\n"));
			EXPECT_TRUE(wt::read_file(dir / name) == bytes) << arg;
		}
	}
}

// Restoring an untouched FLAC, Ogg or Opus file whose names are upper
// case writes nothing; a restore that changes a value writes.
TEST(RoundTrip, AnUnchangedRestoreWritesNothing)
{
	wt::tmpdir dir;
	std::vector<std::string> files;
	unsigned n = 0;
	for (kind k : {kind::flac, kind::vorbis, kind::opus, kind::mp3v23, kind::m4a, kind::wav}) {
		for (const std::string &f : rt::make_library(dir.path(), k, 1, n++))
			files.push_back(f);
	}
	rt::age(dir.path(), files);
	const auto untouched = rt::fingerprints(dir.path(), files);
	auto unwritten = [&](const char *mode) {
		const auto now = rt::fingerprints(dir.path(), files);
		for (const std::string &f : files)
			EXPECT_TRUE(now.at(f) == untouched.at(f)) << mode << ": " << f << " was written";
	};
	// A JSON backup of the files, restored.
	wt::run_result r = wt::wembrix(with({"-F", "json", "print"}, files), in(dir.path()));
	wt::write_file(dir / "backup.jsonl", r.out);
	r = wt::wembrix({"-F", "json", "load:backup.jsonl"}, in(dir.path()));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	unwritten("json");
	// Each file's YAML print loaded back, in both models.
	for (const auto &opts : std::vector<std::vector<std::string>>{{"--all-tags"}, {}}) {
		const std::vector<std::string> docs =
		    documents(wt::wembrix(with(opts, with({"print"}, files)), in(dir.path())).out, files, false);
		for (std::size_t i = 0; i < files.size(); i++) {
			r = wt::wembrix(with(opts, {"load:-", files[i]}), in(dir.path(), docs[i]));
			EXPECT_EQ(r.status, 0) << files[i];
			EXPECT_EQ(r.err, "") << files[i];
		}
		unwritten(opts.empty() ? "seven fields" : "--all-tags");
	}
	r = wt::wembrix(with({"set:title=Changed"}, files), in(dir.path()));
	EXPECT_EQ(r.status, 0) << r.err;
	const auto changed = rt::fingerprints(dir.path(), files);
	for (const std::string &f : files)
		EXPECT_FALSE(changed.at(f) == untouched.at(f)) << f << " was not written";
}

// A value the file cannot hold refuses that file before anything is
// written, and the next file of the run is written all the same.
TEST(RoundTrip, WhatCannotBeHeldIsRefusedBeforeAnyWrite)
{
	wt::tmpdir dir;
	id3_file(dir / "a.mp3", 3, {"TIT2(encoding=0, text=['A'])"});
	id3_file(dir / "b.mp3", 3, {"TIT2(encoding=0, text=['B'])"});
	const std::string a = wt::read_file(dir / "a.mp3");
	wt::write_file(dir / "backup.jsonl",
	    "{\"file\":\"a.mp3\",\"tags\":[{\"title\":\"A\"},{\"date\":\"1999\"},{\"date\":\"2000\"}]}\n"
	    "{\"file\":\"b.mp3\",\"tags\":[{\"title\":\"B2\"}]}\n");
	wt::run_result r = wt::wembrix({"-F", "json", "load:backup.jsonl"}, in(dir.path()));
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "wembrix: a.mp3: cannot hold more than one date; not written\n"
			 "wembrix: a.mp3: could not write tags to the file,\n");
	EXPECT_TRUE(wt::read_file(dir / "a.mp3") == a);
	EXPECT_EQ(wt::wembrix({"print", "b.mp3"}, in(dir.path())).out, "# b.mp3\n---\n- title: B2\n\n");

	// What the frames and items of the new fields cannot hold, loaded as a
	// document spells it.
	for (const fixture &f : fixtures) {
		if (std::string(f.name) == "names.m4a")
			f.make(dir / "c.m4a");
	}
	const struct {
		const char *file;
		const char *doc;
		const char *why;
	} rows[] = {
	    {"a.mp3", "- url:WOAR: http://例.jp/", "cannot hold url:WOAR=http://例.jp/ (a URL frame holds Latin-1 text only)"},
	    {"a.mp3", "- url:WXXX:Ünï: http://x/€",
		"cannot hold url:WXXX:Ünï=http://x/€ (a URL frame holds Latin-1 text only)"},
	    {"a.mp3", "- rating:me: '256'", "cannot hold rating:me=256 (only a number from 0 to 255)"},
	    {"a.mp3", "- playcount:me: '3'", "cannot hold playcount:me without rating:me"},
	    {"a.mp3", "- comment:en:x: y",
		"cannot hold a tag named comment:en:x (a described one is comment:LANGUAGE:DESCRIPTION)"},
	    {"c.m4a", "- '----:com.apple.iTunes:Own': x",
		"cannot hold a tag named ----:com.apple.iTunes:Own (an item of that mean goes by its name alone)"},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.doc);
		const std::string before = wt::read_file(dir / row.file);
		r = wt::wembrix({"--all-tags", "load:-", row.file}, in(dir.path(), std::string("---\n") + row.doc + "\n"));
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, std::string("wembrix: ") + row.file + ": " + row.why + "; not written\n" + "wembrix: " +
			row.file + ": could not write tags to the file,\n");
		EXPECT_TRUE(wt::read_file(dir / row.file) == before) << row.doc;
	}
}

} // namespace
