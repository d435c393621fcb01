/* What a write through TagLib leaves in a file: every frame it was not
 * asked to change, the audio, and, when it fails, the file as it was. */
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "w_oggsupport.h"
#include "w_tagsupport.h"
#include "w_tagtools.h"
#include "w_testsupport.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

using wt::python;
using wt::utf8;

// Every frame or item of the file as mutagen sees it (ID3v2 without any
// translation between versions), and the fields of an ID3v1 tag as raw
// bytes: key TAB value, one per line.
const char dump_script[] = R"(
import sys
from mutagen.id3 import ID3, ID3NoHeaderError
from mutagen.mp4 import MP4
from mutagen.wave import WAVE
p = sys.argv[1]
out = {}
if p.endswith('.mp3'):
    try:
        t = ID3(p, translate=False, load_v1=False)
        out['version'] = str(t.version)
        for k, v in t.items():
            out[k] = repr(v)
    except ID3NoHeaderError:
        pass
    d = open(p, 'rb').read()
    if len(d) >= 128 and d[-128:-125] == b'TAG':
        v1 = d[-128:]
        for name, a, b in (('title', 3, 33), ('artist', 33, 63), ('album', 63, 93),
                           ('year', 93, 97), ('comment', 97, 125)):
            out['v1:' + name] = v1[a:b].rstrip(b'\0').hex()
        out['v1:track'] = str(v1[126]) if v1[125] == 0 else ''
        out['v1:genre'] = str(v1[127])
elif p.endswith('.wav'):
    t = WAVE(p).tags
    if t is not None:
        out['version'] = str(t.version)
        for k, v in t.items():
            out[k] = repr(v)
else:
    t = MP4(p).tags
    for k, v in (t or {}).items():
        out[k] = repr(v)
for k in sorted(out):
    print(k + '\t' + out[k].replace('\n', ' '))
)";

using dump = std::map<std::string, std::string>;
using frame_list = std::vector<std::pair<std::string, std::string>>;

// The key TAB value lines a script printed, in their order.
frame_list
tab_lines(const std::string &out)
{
	frame_list l;
	std::istringstream ss(out);
	for (std::string line; std::getline(ss, line);) {
		auto tab = line.find('\t');
		l.emplace_back(line.substr(0, tab), line.substr(tab + 1));
	}
	return l;
}

dump
frames(const std::string &path)
{
	const frame_list l = tab_lines(python(dump_script, {path}).out);
	return dump(l.begin(), l.end());
}

// The decoded audio, as ffmpeg hashes it.
std::string
audio_md5(const std::string &path)
{
	wt::run_result r = wt::run({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"});
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

std::string
hex(const std::string &s)
{
	static const char digits[] = "0123456789abcdef";
	std::string out;
	for (unsigned char c : s) {
		out.push_back(digits[c >> 4]);
		out.push_back(digits[c & 15]);
	}
	return out;
}

const char png[] = "b'\\x89PNG\\r\\n\\x1a\\n' + bytes(range(256))";

// An MP3 from lame (ID3v2.3 and ID3v1) with the frames a real library
// holds besides the seven: a track total, a second comment, an album
// artist, a user text frame and a picture; and an ID3v1 title that is not
// Latin-1.  With tight set, the tag has no padding, so that any growth
// moves the audio.
void
make_rich_mp3(const std::string &path, bool tight)
{
	wt::make_mp3(path, {"--tt", "Song", "--ta", "Band", "--tl", "Record", "--ty", "2001", "--tg",
			       "Latin", "--add-id3v2"});
	python(std::string(R"(
import sys
from mutagen.id3 import ID3, COMM, TPE2, TXXX, APIC, TRCK
p = sys.argv[1]
t = ID3(p)
t.add(TRCK(encoding=3, text=['1/12']))
t.add(COMM(encoding=3, lang='eng', desc='', text=['main comment']))
t.add(COMM(encoding=3, lang='eng', desc='note', text=['second comment']))
t.add(TPE2(encoding=3, text=['Album Band']))
t.add(TXXX(encoding=3, desc='CATALOG', text=['CAT-1']))
t.add(APIC(encoding=0, mime='image/png', type=3, desc='front', data=)") +
		   png + R"())
t.update_to_v23()
t.save(p, v2_version=3, v1=1, padding=(lambda info: 0) if sys.argv[2] == '1' else None)
with open(p, 'r+b') as f:
    f.seek(-128, 2)
    assert f.read(3) == b'TAG'
    f.write('Ñandú 日本'.encode('utf-8').ljust(30, b'\0'))
)",
	    {path, tight ? "1" : "0"});
}

// A WAV file with an ID3v2.4 chunk holding a full date.
void
make_rich_wav(const std::string &path)
{
	wt::make_wav(path);
	python(R"(
import sys
from mutagen.wave import WAVE
from mutagen.id3 import TIT2, TPE1, TDRC, TALB, TRCK, TCON, COMM, TPE2, TXXX
w = WAVE(sys.argv[1])
w.add_tags()
for f in (TIT2(encoding=3, text=['Song']), TPE1(encoding=3, text=['Band']),
          TDRC(encoding=3, text=['2001-05-01']), TALB(encoding=3, text=['Record']),
          TRCK(encoding=3, text=['2/4']), TCON(encoding=3, text=['Latin']),
          COMM(encoding=3, lang='eng', desc='', text=['main comment']),
          COMM(encoding=3, lang='eng', desc='note', text=['second comment']),
          TPE2(encoding=3, text=['Album Band']), TXXX(encoding=3, desc='CATALOG', text=['CAT-1'])):
    w.tags.add(f)
w.save()
)",
	    {path});
}

// An M4A file from ffmpeg's AAC encoder with items written by mutagen.
void
make_rich_m4a(const std::string &path)
{
	wt::run_result r = wt::run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
	    "sine=frequency=440:duration=0.3", "-c:a", "aac", "-b:a", "32k", path});
	ASSERT_EQ(r.status, 0) << r.err;
	python(std::string(R"(
import sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
m = MP4(sys.argv[1])
m['\xa9nam'] = ['Song']
m['\xa9ART'] = ['Band']
m['\xa9alb'] = ['Record']
m['\xa9day'] = ['2001-05-01']
m['trkn'] = [(2, 4)]
m['\xa9gen'] = ['Latin']
m['\xa9cmt'] = ['main comment']
m['aART'] = ['Album Band']
m['----:com.apple.iTunes:CATALOG'] = [MP4FreeForm(b'CAT-1')]
m['covr'] = [MP4Cover()") +
		   png + R"(, MP4Cover.FORMAT_PNG)]
m.save()
)",
	    {path});
}

struct kind {
	const char *name;
	void (*make)(const std::string &path);
	// The keys behind artist and genre, and every key that clear: takes
	// away (all of the seven the file has, with only the comment without a
	// description behind the comment field).
	std::vector<std::string> artist, genre;
	std::set<std::string> cleared;
	bool v1; // keys v1:* stand for an ID3v1 tag
};

const std::vector<kind> kinds = {
    {"padded.mp3", [](const std::string &p) { make_rich_mp3(p, false); }, {"TPE1", "v1:artist"},
	{"TCON", "v1:genre"},
	{"TIT2", "TPE1", "TYER", "TALB", "TRCK", "TCON", "COMM::eng"}, true},
    {"tight.mp3", [](const std::string &p) { make_rich_mp3(p, true); }, {"TPE1", "v1:artist"},
	{"TCON", "v1:genre"},
	{"TIT2", "TPE1", "TYER", "TALB", "TRCK", "TCON", "COMM::eng"}, true},
    {"tone.wav", make_rich_wav, {"TPE1"}, {"TCON"},
	{"TIT2", "TPE1", "TDRC", "TALB", "TRCK", "TCON", "COMM::eng"}, false},
    {"tone.m4a", make_rich_m4a, {"©ART"}, {"©gen"},
	{"©nam", "©ART", "©day", "©alb", "trkn", "©gen", "©cmt"},
	false},
};

} // namespace

// Each action on each file changes what it names and not one other frame;
// a value the field cannot take, or the value the field already has,
// leaves the file byte for byte as it was.
TEST(TagLibWrite, OnlyWhatChangesIsWritten)
{
	enum expect { artist_only, untouched, genre_only, seven_gone };
	struct {
		std::vector<std::string> actions;
		expect what;
		std::string warning;
	} actions[] = {
	    {{"set:artist=Xyz Longer Artist Name"}, artist_only, ""},
	    {{"set:title=Song", "set:album=Record"}, untouched, ""},
	    {{"set:year=2024-05-01"}, untouched,
		"wembrix: invalid unsigned int argument for year: 2024-05-01\n"},
	    {{"set:track=3/12"}, untouched, "wembrix: invalid unsigned int argument for track: 3/12\n"},
	    {{"add:genre=Bop"}, genre_only, "wembrix: TagLib backend keeps one genre only: Bop\n"},
	    {{"clear:"}, seven_gone, ""},
	};
	wt::tmpdir dir;
	for (const kind &k : kinds) {
		const std::string source = dir / (std::string("source-") + k.name);
		k.make(source);
		const dump before = frames(source);
		ASSERT_FALSE(before.empty()) << k.name;
		const std::string original = wt::read_file(source);
		const std::string audio = audio_md5(source);
		for (const auto &a : actions) {
			SCOPED_TRACE(std::string(k.name) + ": " + a.actions[0]);
			const std::string f = dir / k.name;
			fs::copy_file(source, f, fs::copy_options::overwrite_existing);
			std::vector<std::string> args = a.actions;
			args.push_back(f);
			wt::run_result r = wt::wembrix(args, utf8);
			EXPECT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(r.err, a.warning);

			if (a.what == untouched) {
				EXPECT_TRUE(wt::read_file(f) == original);
				continue;
			}
			EXPECT_EQ(audio_md5(f), audio);
			dump after = frames(f);
			dump expected = before;
			if (a.what == artist_only || a.what == genre_only) {
				for (const std::string &key : a.what == artist_only ? k.artist : k.genre) {
					ASSERT_TRUE(after.count(key)) << key;
					EXPECT_NE(after[key], before.at(key)) << key;
					expected[key] = after[key];
				}
				if (a.what == artist_only) {
					EXPECT_NE(after[k.artist[0]].find("Xyz Longer Artist Name"), std::string::npos);
					if (k.v1) {
						EXPECT_EQ(after["v1:artist"], hex("Xyz Longer Artist Name"));
					}
				} else {
					EXPECT_NE(after[k.genre[0]].find("Bop"), std::string::npos);
				}
			} else {
				// The ID3v1 tag stays, every field of it empty.
				for (auto it = expected.begin(); it != expected.end();) {
					if (it->first.rfind("v1:", 0) == 0) {
						it->second = it->first == "v1:genre" ? "255" : it->first == "v1:track" ? "0" : "";
						++it;
						continue;
					}
					it = k.cleared.count(it->first) ? expected.erase(it) : std::next(it);
				}
			}
			EXPECT_EQ(after, expected);
		}
	}
}

// What the file holds, and what the user sees, are the same after a write.
TEST(TagLibWrite, PrintShowsWhatWasKept)
{
	wt::tmpdir dir;
	const std::string f = dir / "rich.mp3";
	make_rich_mp3(f, false);
	wt::run_result r = wt::wembrix({"set:artist=New", f}, utf8);
	ASSERT_EQ(r.status, 0) << r.err;
	r = wt::wembrix({f}, utf8);
	EXPECT_EQ(r.out, "# " + f +
			     "\n---\n- title: Song\n- artist: New\n- year: '2001'\n- album: Record\n"
			     "- track: '01'\n- genre: Latin\n- comment: main comment\n\n");
	wt::run_result id3 = wt::run({"mid3v2", "-l", f});
	EXPECT_NE(id3.out.find("TRCK=1/12"), std::string::npos) << id3.out;
	EXPECT_NE(id3.out.find("COMM=note=eng=second comment"), std::string::npos) << id3.out;
	EXPECT_NE(id3.out.find("COMM==eng=main comment"), std::string::npos) << id3.out;
}

namespace {

// ---- Files built byte by byte ----

std::string
be32(std::uint32_t v, bool synchsafe)
{
	std::string s(4, '\0');
	for (int i = 3; i >= 0; i--) {
		s[i] = static_cast<char>(synchsafe ? v & 0x7f : v & 0xff);
		v >>= synchsafe ? 7 : 8;
	}
	return s;
}

// An ID3v2 frame of the given major version (3 or 4).
std::string
frame(const std::string &id, const std::string &payload, int version = 4)
{
	return id + be32(static_cast<std::uint32_t>(payload.size()), version == 4) +
	    std::string(2, '\0') + payload;
}

std::string
text_frame(const std::string &id, const std::string &text, int version = 4)
{
	// UTF-8 in 2.4, Latin-1 in 2.3.
	return frame(id, std::string(1, version == 4 ? '\3' : '\0') + text, version);
}

std::string
id3v2_tag(const std::string &body, int version = 4)
{
	return std::string("ID3") + static_cast<char>(version) + std::string(2, '\0') +
	    be32(static_cast<std::uint32_t>(body.size()), true) + body;
}

// The MPEG audio of a short lame encoding, without any tag.
std::string
mpeg_audio(const wt::tmpdir &dir)
{
	const std::string f = dir / "audio.mp3";
	wt::make_mp3(f);
	std::string audio = wt::read_file(f);
	std::remove(f.c_str());
	return audio;
}

} // namespace

// TagLib stops reading an ID3v2 tag at the first frame it cannot parse; a
// rewrite would keep only what it read.  Such a tag is shown as far as it
// was read, and never written.
TEST(TagLibWrite, TagsTagLibCouldNotReadWholeAreNotRewritten)
{
	const std::string tail = text_frame("TIT2", "Song") + text_frame("TPE1", "Band") +
	    text_frame("TRCK", "3/12") + text_frame("TDRC", "2024-05-01") +
	    text_frame("TCON", "Jazz") + text_frame("TALB", "Record") +
	    frame("COMM", std::string("\3eng") + '\0' + "notes");
	struct {
		const char *name;
		std::string tag;
		const char *shown; // what print shows
		bool refused;
	} cases[] = {
	    // Empty frames first, as some taggers write them.
	    {"empty frames", id3v2_tag(frame("TENC", "") + frame("TCOP", "") + tail), "--- []", true},
	    {"empty frame later", id3v2_tag(text_frame("TIT2", "Song") + frame("TENC", "") + tail),
		"---\n- title: Song", true},
	    {"junk in the padding", id3v2_tag(text_frame("TIT2", "Song") + std::string(20, '\0') + "junk" +
				     std::string(20, '\0')),
		"---\n- title: Song", true},
	    {"bad frame id", id3v2_tag(text_frame("TIT2", "Song") + text_frame("tpe1", "Band")),
		"---\n- title: Song", true},
	    {"whole", id3v2_tag(tail), nullptr, false},
	    {"whole with padding", id3v2_tag(tail + std::string(64, '\0')), nullptr, false},
	    {"whole 2.3", id3v2_tag(text_frame("TIT2", "Song", 3) + text_frame("TPE1", "Band", 3), 3),
		nullptr, false},
	};
	wt::tmpdir dir;
	const std::string audio = mpeg_audio(dir);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string f = dir / "t.mp3";
		wt::write_file(f, c.tag + audio);
		if (c.shown) {
			wt::run_result r = wt::wembrix({f});
			EXPECT_EQ(r.status, 0);
			EXPECT_EQ(r.out.rfind("# " + f + "\n" + c.shown, 0), 0u) << r.out;
		}
		wt::run_result r = wt::wembrix({"set:artist=Xyz", f});
		if (c.refused) {
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(r.err, "wembrix: " + f +
					     ": TagLib could not read the whole ID3v2 tag; rewriting it would "
					     "lose frames\nwembrix: " +
					     f + ": could not write tags to the file,\n");
			EXPECT_TRUE(wt::read_file(f) == c.tag + audio);
		} else {
			EXPECT_EQ(r.status, 0) << r.err;
			wt::run_result id3 = wt::run({"mid3v2", "-l", f});
			EXPECT_NE(id3.out.find("TPE1=Xyz"), std::string::npos) << id3.out;
			EXPECT_NE(id3.out.find("TIT2=Song"), std::string::npos) << id3.out;
		}
	}
	// mutagen reads every frame of the first file, which TagLib shows empty.
	const std::string f = dir / "first.mp3";
	wt::write_file(f, cases[0].tag + audio);
	wt::run_result id3 = wt::run({"mid3v2", "-l", f});
	for (const char *frame : {"TIT2=Song", "TPE1=Band", "TRCK=3/12", "TDRC=2024-05-01", "TCON=Jazz",
		 "TALB=Record", "COMM==eng=notes"})
		EXPECT_NE(id3.out.find(frame), std::string::npos) << frame << "\n" << id3.out;
}

// A FLAC or Ogg/Vorbis file that its own backend cannot open is refused,
// not rewritten lossily by TagLib; Ogg streams of other codecs still go to
// TagLib.
TEST(TagLibWrite, DamagedFlacAndVorbisFilesAreRefused)
{
	wt::tmpdir dir;
	// A PICTURE block whose MIME type claims more bytes than the whole
	// file has; `flac -t` still decodes the file.
	const std::string good = dir / "good.flac";
	wt::make_flac(good, {"ARTIST=A1", "ARTIST=A2", "DATE=2024-05-01", "TRACKNUMBER=3/12"});
	std::string flac = wt::read_file(good);
	ASSERT_EQ(flac.substr(0, 4), "fLaC");
	const std::size_t info_end = 8 + 34;
	std::string picture = be32(3, false) + be32(static_cast<std::uint32_t>(flac.size()) + 1000, false) +
	    "image/png" + std::string(23, '\0');
	std::string block = std::string(1, '\6') + be32(static_cast<std::uint32_t>(picture.size()), false).substr(1) + picture;
	const std::string bad_flac = flac.substr(0, info_end) + block + flac.substr(info_end);
	const std::string id3_flac = id3v2_tag(text_frame("TIT2", "Song")) + bad_flac;

	// A comment header whose vendor string is longer than the packet.
	std::string vorbis = wt::vorbis_bytes({"ARTIST=A1", "ARTIST=A2"});
	const std::size_t page = wt::ogg_pages(vorbis).at(1).offset;
	const std::size_t packet = page + 27 + static_cast<unsigned char>(vorbis[page + 26]);
	ASSERT_EQ(vorbis.substr(packet, 7), "\3vorbis");
	vorbis.replace(packet + 7, 4, "\xff\xff\xff\x7f");
	wt::ogg_fix_checksum(vorbis, page);

	// An OpusTags packet that claims more comments than it holds.
	const std::string wav = dir / "tone.wav";
	wt::make_wav(wav);
	const std::string opus = dir / "tone.opus";
	ASSERT_EQ(wt::run({"opusenc", "--quiet", "--artist", "Band", wav, opus}).status, 0);
	std::string bad_opus = wt::read_file(opus);
	const std::size_t tags_page = wt::ogg_pages(bad_opus).at(1).offset;
	const std::size_t tags = tags_page + 27 + static_cast<unsigned char>(bad_opus[tags_page + 26]);
	ASSERT_EQ(bad_opus.substr(tags, 8), "OpusTags");
	std::uint32_t vendor = 0;
	for (int i = 3; i >= 0; i--)
		vendor = (vendor << 8) | static_cast<unsigned char>(bad_opus[tags + 8 + i]);
	bad_opus.replace(tags + 12 + vendor, 4, "\xff\xff\xff\x0f");
	wt::ogg_fix_checksum(bad_opus, tags_page);
	struct {
		const char *name;
		std::string bytes;
		const char *message;
	} cases[] = {
	    {"bad.flac", bad_flac, "unreadable FLAC metadata: FLAC__METADATA_CHAIN_STATUS_READ_ERROR"},
	    {"id3.flac", id3_flac, "unreadable FLAC metadata: FLAC__METADATA_CHAIN_STATUS_READ_ERROR"},
	    {"bad.ogg", vorbis, "damaged Vorbis comment header"},
	    {"bad.opus", bad_opus, "damaged Opus comment header"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string f = dir / c.name;
		wt::write_file(f, c.bytes);
		if (std::string(c.name).find(".flac") != std::string::npos) {
			wt::run_result t = wt::run({"flac", "-t", "-s", f});
			EXPECT_EQ(t.status, 0) << t.err;
		}
		for (const std::vector<std::string> &args :
		    {std::vector<std::string>{f}, std::vector<std::string>{"set:artist=X", f}}) {
			std::vector<std::string> argv = args;
			wt::run_result r = wt::wembrix(argv);
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(r.out, "");
			// The reason alone: the format is known.
			EXPECT_EQ(r.err, "wembrix: " + f + ": " + c.message + "\n");
			EXPECT_TRUE(wt::read_file(f) == c.bytes);
		}
	}

	// FLAC in Ogg has no backend of its own here; Opus has.
	const std::string oga = dir / "tone.oga";
	wt::make_ogg_flac(oga, {"ARTIST=Band"});
	for (const std::string &f : {opus, oga}) {
		wt::run_result r = wt::wembrix({"backend", "set:title=T", f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out, std::string(f == opus ? "libogg " : "TagLib ") + f + "\n");
		r = wt::wembrix({f});
		if (f == opus) {
			// Every comment, opusenc's own among them.
			EXPECT_NE(r.out.find("\n- artist: Band\n"), std::string::npos) << r.out;
			EXPECT_NE(r.out.find("\n- title: T\n"), std::string::npos) << r.out;
		} else {
			EXPECT_EQ(r.out, "# " + f + "\n---\n- title: T\n- artist: Band\n\n");
		}
	}
}

namespace {

// A large MP3 whose ID3v2 tag has no padding, so that any growth of the
// tag moves all the audio; it ends with an ID3v1 tag.
std::string
large_mp3(const wt::tmpdir &dir, std::size_t audio_bytes)
{
	const std::string audio = mpeg_audio(dir);
	std::string frames;
	while (frames.size() < audio_bytes)
		frames += audio;
	std::string v1 = "TAG" + std::string("Song").append(26, '\0') + std::string(30, '\0') +
	    std::string(30, '\0') + "2001" + std::string(30, '\0') + "\x08";
	return id3v2_tag(text_frame("TIT2", "Song") + text_frame("TPE1", "Band")) + frames + v1;
}

// Runs wembrix with the file size limited to limit_kb and SIGXFSZ
// ignored, as on a full disk.
wt::run_result
wembrix_limited(unsigned limit_kb, const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {"/bin/bash", "-c",
	    "trap '' XFSZ; ulimit -f " + std::to_string(limit_kb) + "; exec \"$@\"", "bash",
	    WEMBRIX_BIN};
	argv.insert(argv.end(), args.begin(), args.end());
	return wt::run(argv);
}

} // namespace

// A write that fails half-way leaves the file as it was and says why: a
// copy that cannot be completed is thrown away, and bytes already written
// in place are put back.
TEST(TagLibWrite, FailedWritesLeaveTheFileAsItWas)
{
	wt::tmpdir dir;
	const std::string original = large_mp3(dir, 300000);
	const std::string f = dir / "big.mp3";
	struct {
		const char *name;
		std::string action;
	} cases[] = {
	    // The tag grows past its end: a whole new copy, cut short.
	    {"copy", "set:comment=a comment that makes the tag grow"},
	    // Fits the tag (the title frame keeps its size), but the ID3v1
	    // tag at the end of the file lies past the limit.
	    {"in place", "set:title=Tune"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		wt::write_file(f, original);
		wt::run_result r = wembrix_limited(100, {c.action, f});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: " + f + ": File too large\nwembrix: " + f +
				     ": could not write tags to the file,\n");
		EXPECT_TRUE(wt::read_file(f) == original);
		EXPECT_EQ(dir.list(), std::vector<std::string>{"big.mp3"});

		// With room enough, the same write succeeds.
		r = wembrix_limited(1000, {c.action, f});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(dir.list(), std::vector<std::string>{"big.mp3"});
		EXPECT_EQ(wt::read_file(f).substr(wt::read_file(f).size() - 128 + 3, 4),
		    c.action == "set:title=Tune" ? "Tune" : "Song");
	}
}

// A kill -9 at any moment of a write that moves the audio leaves either the
// old file or the whole new one under the file's name.
TEST(TagLibWrite, KilledWritesLeaveTheOldOrTheNewFile)
{
	wt::tmpdir dir;
	const std::string original = large_mp3(dir, 40 << 20);
	const std::string f = dir / "big.mp3";
	const std::string action = "set:comment=a comment that makes the tag grow";
	wt::write_file(f, original);
	ASSERT_EQ(wt::wembrix({action, f}).status, 0);
	const std::string finished = wt::read_file(f);
	ASSERT_NE(finished, original);

	int old_seen = 0, new_seen = 0;
	for (int delay_ms = 0; delay_ms < 400; delay_ms += 20) {
		SCOPED_TRACE(delay_ms);
		wt::write_file(f, original);
		pid_t pid;
		std::vector<std::string> args = {WEMBRIX_BIN, action, f};
		std::vector<char *> argv;
		for (auto &a : args)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		ASSERT_EQ(posix_spawn(&pid, WEMBRIX_BIN, nullptr, nullptr, argv.data(), environ), 0);
		std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
		kill(pid, SIGKILL);
		int status;
		ASSERT_EQ(waitpid(pid, &status, 0), pid);
		const std::string now = wt::read_file(f);
		bool is_old = now == original, is_new = now == finished;
		EXPECT_TRUE(is_old || is_new) << "size " << now.size();
		old_seen += is_old;
		new_seen += is_new;
		// What a killed writer leaves is its hidden copy, never the file.
		for (const std::string &name : dir.list()) {
			if (name != "big.mp3")
				fs::remove(dir / name);
		}
	}
	EXPECT_GT(old_seen, 0);
}

// The music file's descriptors are not inherited by the editor.
TEST(TagLibWrite, TheEditorGetsNoDescriptorOfTheFile)
{
	wt::tmpdir dir;
	const std::string f = dir / "song.mp3";
	make_rich_mp3(f, false);
	const std::string editor = dir / "editor.sh";
	wt::write_script(editor, "for fd in /proc/$$/fd/*; do readlink \"$fd\"; done > '" +
				     dir / "fds" + "'\n");
	wt::run_options opt = utf8;
	opt.env["EDITOR"] = editor;
	wt::run_result r = wt::wembrix({"edit", f}, opt);
	ASSERT_EQ(r.status, 0) << r.err;
	const std::string fds = wt::read_file(dir / "fds");
	EXPECT_NE(fds, "");
	EXPECT_EQ(fds.find("song.mp3"), std::string::npos) << fds;
}

// A change that fits the tag another tagger padded is written in place,
// whatever padding TagLib would have chosen: the file keeps its size, its
// inode and every byte of audio where it was.
TEST(TagLibWrite, ChangesThatFitAreWrittenInPlace)
{
	wt::tmpdir dir;
	const std::string f = dir / "padded.mp3";
	wt::make_mp3(f, {"--tt", "Song", "--ta", "Band", "--add-id3v2"});
	ASSERT_EQ(wt::run({"mid3v2", "-a", "An artist name long enough to leave room", f}).status, 0);
	for (const char *artist : {"Yy", "A longer artist name", "Z"}) {
		SCOPED_TRACE(artist);
		struct stat before, after;
		ASSERT_EQ(stat(f.c_str(), &before), 0);
		const std::string old = wt::read_file(f);
		wt::run_result r = wt::wembrix({std::string("set:artist=") + artist, f});
		ASSERT_EQ(r.status, 0) << r.err;
		ASSERT_EQ(stat(f.c_str(), &after), 0);
		EXPECT_EQ(after.st_ino, before.st_ino);
		EXPECT_EQ(after.st_size, before.st_size);
		const std::string now = wt::read_file(f);
		// The audio between the tags did not move.
		std::size_t start = 10;
		for (int i = 6; i < 10; i++)
			start += static_cast<std::size_t>(static_cast<unsigned char>(old[i])) << (7 * (9 - i));
		ASSERT_LT(start, old.size() - 128);
		EXPECT_TRUE(now.substr(start, now.size() - start - 128) == old.substr(start, old.size() - start - 128));
		wt::run_result id3 = wt::run({"mid3v2", "-l", f});
		EXPECT_NE(id3.out.find(std::string("TPE1=") + artist + "\n"), std::string::npos) << id3.out;
		EXPECT_NE(id3.out.find("TIT2=Song\n"), std::string::npos) << id3.out;
	}
}

namespace {

// The frames of the file's ID3v2 tag (leading, or in the ID3 chunk of a WAV
// or AIFF file) in their order, read from the raw bytes: the key ("COMM:"
// with the description for a comment frame), then the whole frame, header
// included, in hex.  mutagen (translate=False) must also read the tag; its
// values of the seven frames follow as "=key".
const char raw_frames_script[] = R"(
import io, sys
from mutagen.id3 import ID3
from mutagen.wave import WAVE
from mutagen.aiff import AIFF
p = sys.argv[1]
d = open(p, 'rb').read()
base = 0
if d[:4] in (b'RIFF', b'FORM'):
    order = 'big' if d[:4] == b'FORM' else 'little'
    assert int.from_bytes(d[4:8], order) == len(d) - 8, 'container size'
    pos, found = 12, []
    while pos + 8 <= len(d):
        n = int.from_bytes(d[pos + 4:pos + 8], order)
        if d[pos:pos + 4] in (b'ID3 ', b'id3 '):
            found.append(pos + 8)
        pos += 8 + n + (n & 1)
    assert pos == len(d), 'chunks do not add up'
    assert len(found) == 1, 'no single ID3 chunk'
    base = found[0]
assert d[base:base + 3] == b'ID3', 'no tag'
v = d[base + 3]
end = 0
for c in d[base + 6:base + 10]:
    end = end * 128 + c
end += base + 10
pos = base + 10
while pos + 10 <= end and d[pos] != 0:
    fid = d[pos:pos + 4].decode('ascii')
    b = d[pos + 4:pos + 8]
    n = int.from_bytes(b, 'big') if v == 3 else (b[0] << 21) | (b[1] << 14) | (b[2] << 7) | b[3]
    data = d[pos + 10:pos + 10 + n]
    key = fid
    if fid == 'COMM':
        rest = data[4:]
        if data[0] in (1, 2):
            i = next(i for i in range(0, len(rest) - 1, 2) if rest[i:i + 2] == b'\0\0')
            desc = rest[:i].decode('utf-16' if data[0] == 1 else 'utf-16-be')
        else:
            desc = rest.split(b'\0')[0].decode('utf-8' if data[0] == 3 else 'latin-1')
        key = 'COMM:' + desc
    print(key + '\t' + d[pos:pos + 10 + n].hex())
    pos += 10 + n
assert all(c == 0 for c in d[pos:end]), 'no padding after the frames'
if base == 0:
    t = ID3(p, translate=False)
else:
    assert (AIFF if d[:4] == b'FORM' else WAVE)(p).tags is not None
    t = ID3(io.BytesIO(d[base:end]), translate=False)
print('=version\t%d' % t.version[1])
for k in ('TIT2', 'TPE1', 'TRCK', 'TCON', 'TALB', 'TYER', 'TDRC', 'COMM::eng'):
    if k in t:
        print('=' + k + '\t' + str(t[k]))
)";

frame_list
raw_frames(const std::string &path)
{
	return tab_lines(python(raw_frames_script, {path}).out);
}

// An MP3, WAV or AIFF file whose ID3v2.3 or 2.4 tag was written by mutagen
// with UTF-16 text, a numeric genre, a track total and a second comment:
// everything TagLib renders differently when it saves the tag again.
void
make_mutagen_file(const std::string &path, int version)
{
	if (path.ends_with(".mp3")) {
		wt::make_mp3(path);
	} else {
		wt::run_result r = wt::run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
		    "sine=frequency=440:duration=0.3", path});
		ASSERT_EQ(r.status, 0) << r.err;
	}
	python(R"(
import sys
from mutagen.id3 import ID3, TIT2, TPE1, TRCK, TCON, TYER, TDRC, COMM, TXXX
from mutagen.wave import WAVE
from mutagen.aiff import AIFF
p, v = sys.argv[1], int(sys.argv[2])
if p.endswith('.mp3'):
    t = ID3()
else:
    f = (WAVE if p.endswith('.wav') else AIFF)(p)
    f.add_tags()
    t = f.tags
t.add(TIT2(encoding=1, text=['Song']))
t.add(TPE1(encoding=1, text=['Band']))
t.add(TRCK(encoding=1, text=['1/12']))
t.add(TCON(encoding=1, text=['(17)Rock']))
t.add((TYER if v == 3 else TDRC)(encoding=1, text=['2001']))
t.add(COMM(encoding=1, lang='eng', desc='', text=['hello']))
t.add(COMM(encoding=1, lang='eng', desc='note', text=['kept']))
t.add(TXXX(encoding=1, desc='CATALOG', text=['CAT-1']))
if p.endswith('.mp3'):
    t.save(p, v2_version=v)
else:
    f.save(v2_version=v)
)",
	    {path, std::to_string(version)});
}

} // namespace

// A write changes the frames of the fields that changed and nothing else:
// every other frame stays the file's own, byte for byte and in its place,
// in version 2.3 as in 2.4, in an MP3's leading tag as in the ID3 chunk of
// a WAV or AIFF file, whose audio stays as it was.
TEST(TagLibWrite, UnchangedFramesKeepTheirBytes)
{
	struct {
		std::vector<std::string> actions;
		std::set<std::string> changed; // keys whose frames may change
		bool removed;                  // ... and are gone
		std::string appended;          // a field new to the tag, at its end
		std::map<std::string, std::string> values; // as mutagen reads them
	} actions[] = {
	    {{"set:artist=X"}, {"TPE1"}, false, "", {{"=TPE1", "X"}, {"=TCON", "(17)Rock"}}},
	    {{"set:artist=Band"}, {}, false, "", {}},
	    {{"set:year=2024"}, {"TYER", "TDRC"}, false, "", {{"=TRCK", "1/12"}}},
	    {{"set:comment=new one"}, {"COMM:"}, false, "", {{"=COMM::eng", "new one"}}},
	    {{"set:genre=Jazz", "set:title=Other"}, {"TCON", "TIT2"}, false, "",
		{{"=TCON", "Jazz"}, {"=TIT2", "Other"}}},
	    {{"set:album=Record"}, {"TALB"}, false, "TALB", {{"=TALB", "Record"}}},
	    {{"clear:"}, {"TIT2", "TPE1", "TRCK", "TCON", "TYER", "TDRC", "COMM:"}, true, "", {}},
	};
	const std::pair<const char *, int> files[] = {
	    {"song.mp3", 3}, {"song.mp3", 4}, {"tone.wav", 3}, {"tone.wav", 4}, {"tone.aiff", 3}};
	wt::tmpdir dir;
	for (const auto &[name, version] : files) {
		const std::string source = dir / ("source-v" + std::to_string(version) + "-" + name);
		make_mutagen_file(source, version);
		const frame_list before = raw_frames(source);
		const std::string original = wt::read_file(source);
		const bool chunk = !std::string(name).ends_with(".mp3");
		const std::string audio = chunk ? audio_md5(source) : "";
		for (const auto &a : actions) {
			SCOPED_TRACE(std::string(name) + " v2." + std::to_string(version) + ": " + a.actions[0]);
			const std::string f = dir / name;
			fs::copy_file(source, f, fs::copy_options::overwrite_existing);
			std::vector<std::string> args = a.actions;
			args.push_back(f);
			wt::run_result r = wt::wembrix(args, utf8);
			ASSERT_EQ(r.status, 0) << r.err;
			const std::string now = wt::read_file(f);
			EXPECT_EQ(now.size(), original.size()); // the padding took it
			if (a.changed.empty()) {
				EXPECT_TRUE(now == original);
				continue;
			}
			// The frames expected, in order: a changed one by its key
			// only, where it was (and not at all when cleared).
			frame_list expected, got;
			for (const auto &fr : before) {
				if (fr.first[0] == '=')
					continue;
				if (!a.changed.count(fr.first))
					expected.push_back(fr);
				else if (!a.removed)
					expected.emplace_back(fr.first, "");
			}
			if (!a.appended.empty())
				expected.emplace_back(a.appended, "");
			std::map<std::string, std::string> values;
			for (const auto &fr : raw_frames(f)) {
				if (fr.first[0] == '=')
					values[fr.first] = fr.second;
				else if (a.changed.count(fr.first))
					got.emplace_back(fr.first, "");
				else
					got.push_back(fr);
			}
			EXPECT_EQ(got, expected);
			EXPECT_EQ(values["=version"], std::to_string(version));
			if (chunk) {
				EXPECT_EQ(audio_md5(f), audio);
			}
			for (const auto &[key, value] : a.values)
				EXPECT_EQ(values[key], value) << key;
			if (a.actions[0] == "set:year=2024") {
				EXPECT_EQ(values[version == 3 ? "=TYER" : "=TDRC"], "2024");
			}
		}
	}
}

// A comment set on a file whose only comment has a description (which is
// what the comment field shows) gets a frame of its own: the described one
// keeps its text, and stays when clear: leaves it alone in the tag.
TEST(TagLibWrite, DescribedCommentsAreNotTheCommentField)
{
	wt::tmpdir dir;
	const std::string f = dir / "note.mp3";
	wt::make_mp3(f);
	python(R"(
import sys
from mutagen.id3 import ID3, TIT2, COMM
t = ID3()
t.add(TIT2(encoding=1, text=['Song']))
t.add(COMM(encoding=1, lang='eng', desc='note', text=['kept']))
t.save(sys.argv[1], v2_version=3)
)",
	    {f});
	wt::run_result r = wt::wembrix({"set:comment=Hi", f}, utf8);
	ASSERT_EQ(r.status, 0) << r.err;
	wt::run_result id3 = wt::run({"mid3v2", "-l", f});
	EXPECT_NE(id3.out.find("COMM=note=eng=kept\n"), std::string::npos) << id3.out;
	EXPECT_NE(id3.out.find("COMM==XXX=Hi\n"), std::string::npos) << id3.out;
	r = wt::wembrix({f}, utf8);
	EXPECT_EQ(r.out, "# " + f + "\n---\n- title: Song\n- comment: Hi\n\n");

	r = wt::wembrix({"clear:", f}, utf8);
	ASSERT_EQ(r.status, 0) << r.err;
	id3 = wt::run({"mid3v2", "-l", f});
	EXPECT_EQ(id3.out, "IDv2 tag info for " + f + "\nCOMM=note=eng=kept\n") << id3.out;
}
