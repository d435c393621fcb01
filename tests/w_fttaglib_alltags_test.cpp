/* --all-tags: every text field of MP3, M4A and WAV files under the names
 * FLAC uses, judged by mutagen (ID3 read without translation) and by the
 * decoded audio; and the seven fields, exactly as before, without it. */
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "w_tagtools.h"
#include "w_testsupport.h"

namespace {

using wt::python;

// Every frame or item as mutagen sees it: the whole frame (encoding and
// all), and its values alone.
const char dump_script[] = R"(
import sys
from mutagen.id3 import ID3, ID3NoHeaderError
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
from mutagen.wave import WAVE
p = sys.argv[1]
out = []
def values(f):
    if hasattr(f, 'text'):
        return [str(x) for x in f.text]
    if hasattr(f, 'data'):
        return [repr(f.data)]
    return [repr(f)]
def id3(t):
    out.append(('version', '%d.%d' % t.version[:2], ''))
    for k, f in t.items():
        out.append((k, repr(f), '|'.join(values(f))))
if p.endswith('.mp3'):
    try:
        id3(ID3(p, translate=False, load_v1=False))
    except ID3NoHeaderError:
        pass
elif p.endswith('.wav'):
    t = WAVE(p).tags
    if t is not None:
        id3(t)
else:
    for k, v in (MP4(p).tags or {}).items():
        vs = [x.decode('utf-8') if isinstance(x, MP4FreeForm) else repr(x) if isinstance(x, MP4Cover)
              else str(x) for x in v] if isinstance(v, list) else [str(v)]
        out.append((k, repr(v), '|'.join(vs)))
for k, r, v in sorted(out):
    print(k + '\t' + r.replace('\n', ' ') + '\t' + v.replace('\n', ' '))
)";

struct item {
	std::string whole;  // the frame as mutagen shows it
	std::string values; // its values, joined by |
	bool operator==(const item &) const = default;
};
using dump = std::map<std::string, item>;

dump
items(const std::string &path)
{
	dump d;
	std::istringstream ss(python(dump_script, {path}).out);
	for (std::string line; std::getline(ss, line);) {
		auto a = line.find('\t');
		auto b = line.find('\t', a + 1);
		d[line.substr(0, a)] = {line.substr(a + 1, b - a - 1), line.substr(b + 1)};
	}
	return d;
}

// The values alone, with the names of user-defined items in lower case:
// tag names are lower case, so an item's own spelling of a name outside
// the table cannot outlive the item.
std::map<std::string, std::string>
values_of(const dump &d)
{
	std::map<std::string, std::string> v;
	for (const auto &[key, it] : d) {
		std::string k = key;
		if (k.rfind("TXXX:", 0) == 0 || k.rfind("----:", 0) == 0)
			for (char &c : k)
				c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
		v[k] = it.values;
	}
	return v;
}

std::string
audio_md5(const std::string &path)
{
	wt::run_result r = wt::run({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"});
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

// The frames every ID3v2 fixture holds: the table's fields, several values
// in one frame, a user-defined frame, and frames outside the table.
const char id3_frames[] = R"(
from mutagen.id3 import (TIT2, TPE1, TALB, TPE2, TDRC, TRCK, TPOS, TCOM, TCON, COMM, TBPM, TCMP,
                         TXXX, UFID, APIC, PRIV)
frames = [TIT2(encoding=3, text=['Song']), TPE1(encoding=3, text=['Beastie Boys', 'Q-Tip']),
          TALB(encoding=3, text=['Récord']), TPE2(encoding=3, text=['VA']),
          TDRC(encoding=3, text=['2001-05-01']), TRCK(encoding=3, text=['3/12']),
          TPOS(encoding=3, text=['1/2']), TCOM(encoding=3, text=['Composer']),
          TCON(encoding=3, text=['Latin']), COMM(encoding=3, lang='eng', desc='', text=['main comment']),
          COMM(encoding=3, lang='eng', desc='note', text=['second comment']),
          TBPM(encoding=3, text=['120']), TCMP(encoding=3, text=['1']),
          TXXX(encoding=3, desc='MusicBrainz Album Id', text=['album-id']),
          TXXX(encoding=3, desc='My Thing', text=['x', 'y']),
          UFID(owner='http://musicbrainz.org', data=b'track-id'),
          APIC(encoding=0, mime='image/png', type=3, desc='front', data=b'\x89PNG\r\n\x1a\n' + bytes(range(64))),
          PRIV(owner='wembrix.test', data=b'private')]
)";

// An MP3 from lame with an ID3v2.4 or 2.3 tag and an ID3v1 tag, by mutagen.
void
make_mp3_fixture(const std::string &path, int version)
{
	wt::make_mp3(path);
	python(std::string(id3_frames) + R"(
import sys
from mutagen.id3 import ID3
t = ID3()
for f in frames:
    t.add(f)
if sys.argv[2] == '3':
    t.update_to_v23()
    t.save(sys.argv[1], v2_version=3, v23_sep=None, v1=2)
else:
    t.save(sys.argv[1], v1=2)
)",
	    {path, std::to_string(version)});
}

// A WAV file with the same frames in an ID3v2.4 chunk.
void
make_wav_fixture(const std::string &path)
{
	wt::make_wav(path);
	python(std::string(id3_frames) + R"(
import sys
from mutagen.wave import WAVE
w = WAVE(sys.argv[1])
w.add_tags()
for f in frames:
    w.tags.add(f)
w.save()
)",
	    {path});
}

// An M4A file from ffmpeg's AAC encoder with the same fields as items.
void
make_m4a_fixture(const std::string &path)
{
	wt::run_result r = wt::run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
	    "sine=frequency=440:duration=0.3", "-c:a", "aac", "-b:a", "32k", path});
	ASSERT_EQ(r.status, 0) << r.err;
	python(R"(
import sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
m = MP4(sys.argv[1])
m.tags.clear()
m['\xa9nam'] = ['Song']
m['\xa9ART'] = ['Beastie Boys', 'Q-Tip']
m['\xa9alb'] = ['Récord']
m['aART'] = ['VA']
m['\xa9day'] = ['2001-05-01']
m['trkn'] = [(3, 12)]
m['disk'] = [(1, 2)]
m['\xa9wrt'] = ['Composer']
m['\xa9gen'] = ['Latin']
m['\xa9cmt'] = ['main comment']
m['tmpo'] = [120]
m['cpil'] = True
m['----:com.apple.iTunes:MusicBrainz Album Id'] = [MP4FreeForm(b'album-id')]
m['----:com.apple.iTunes:My Thing'] = [MP4FreeForm(b'x'), MP4FreeForm(b'y')]
m['----:com.apple.iTunes:MusicBrainz Track Id'] = [MP4FreeForm(b'track-id')]
m['covr'] = [MP4Cover(b'\x89PNG\r\n\x1a\n' + bytes(range(64)), imageformat=MP4Cover.FORMAT_PNG)]
m.save()
)",
	    {path});
}

struct fixture {
	const char *name;
	void (*make)(const std::string &);
};

const fixture fixtures[] = {
	{"v24.mp3", [](const std::string &p) { make_mp3_fixture(p, 4); }},
	{"v23.mp3", [](const std::string &p) { make_mp3_fixture(p, 3); }},
	{"tags.m4a", make_m4a_fixture},
	{"id3.wav", make_wav_fixture},
};

// What every fixture reads as: the table's order, then the rest.
const char every_field[] = "---\n"
			   "- title: Song\n"
			   "- artist: Beastie Boys\n"
			   "- artist: Q-Tip\n"
			   "- album: Récord\n"
			   "- albumartist: VA\n"
			   "- date: '2001-05-01'\n"
			   "- tracknumber: '3'\n"
			   "- tracktotal: '12'\n"
			   "- discnumber: '1'\n"
			   "- disctotal: '2'\n"
			   "- composer: Composer\n"
			   "- genre: Latin\n"
			   "- comment: main comment\n"
			   "- bpm: '120'\n"
			   "- compilation: '1'\n"
			   "- musicbrainz_trackid: track-id\n"
			   "- musicbrainz_albumid: album-id\n"
			   "- My Thing: x\n"
			   "- My Thing: y\n"
			   "\n";

// What a fixture reads as: the ID3v2 fixtures' comment with a
// description is a field too.
std::string
every_field_of(const std::string &name)
{
	std::string expected = every_field;
	if (!name.ends_with(".m4a"))
		expected.insert(expected.find("- bpm:"), "- comment:eng:note: second comment\n");
	return expected;
}

using wt::utf8;

wt::run_result
all_tags(std::vector<std::string> args, const wt::run_options &opt = utf8)
{
	args.insert(args.begin(), "--all-tags");
	return wt::wembrix(args, opt);
}

TEST(AllTags, PrintShowsEveryFieldUnderTheSharedNames)
{
	wt::tmpdir dir;
	for (const fixture &f : fixtures) {
		SCOPED_TRACE(f.name);
		const std::string path = dir / f.name;
		f.make(path);
		wt::run_result r = all_tags({path});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.out, "# " + path + "\n" + every_field_of(f.name));
	}
}

// Each write changes exactly the items it names: every other frame or item
// stays as mutagen saw it (encoding included), and the audio is the same.
TEST(AllTags, WritesTouchOnlyTheChangedFields)
{
	struct action {
		std::vector<std::string> args;
		// Per kind of tag: the item that changes and its values after.
		std::map<std::string, std::pair<std::string, std::string>> expect;
	};
	const std::vector<action> actions = {
		{{"set:lyricist=Somebody"},
		    {{"id3", {"TEXT", "Somebody"}}, {"mp4", {"----:com.apple.iTunes:LYRICIST", "Somebody"}}}},
		{{"set:artist=Ñandú", "add:artist=日本"},
		    {{"id3", {"TPE1", "Ñandú|日本"}}, {"mp4", {"©ART", "Ñandú|日本"}}}},
		{{"set:tracktotal=13"}, {{"id3", {"TRCK", "3/13"}}, {"mp4", {"trkn", "(3, 13)"}}}},
		// A user-defined item keeps its own spelling.
		{{"set:my thing=z"},
		    {{"id3", {"TXXX:My Thing", "z"}}, {"mp4", {"----:com.apple.iTunes:My Thing", "z"}}}},
		{{"set:musicbrainz_releasegroupid=rg"},
		    {{"id3", {"TXXX:MusicBrainz Release Group Id", "rg"}},
			{"mp4", {"----:com.apple.iTunes:MusicBrainz Release Group Id", "rg"}}}},
		{{"clear:albumartist"}, {{"id3", {"TPE2", ""}}, {"mp4", {"aART", ""}}}},
		{{"set:year=1999"}, {{"id3", {"TDRC", "1999"}}, {"mp4", {"©day", "1999"}}}},
	};
	wt::tmpdir dir;
	for (const fixture &f : fixtures) {
		const std::string ref = dir / (std::string("ref-") + f.name);
		f.make(ref);
		const dump before = items(ref);
		const std::string md5 = audio_md5(ref);
		const bool mp4 = std::string(f.name).ends_with(".m4a");
		for (const action &a : actions) {
			SCOPED_TRACE(std::string(f.name) + " " + a.args[0]);
			const std::string path = dir / f.name;
			wt::write_file(path, wt::read_file(ref));
			wt::run_result r = all_tags([&] { auto v = a.args; v.push_back(path); return v; }());
			ASSERT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(r.err, "");
			auto [key, value] = a.expect.at(mp4 ? "mp4" : "id3");
			bool v23 = std::string(f.name) == "v23.mp3";
			if (v23 && key == "TDRC")
				key = "TYER"; // and the TDAT frame of the day goes
			dump after = items(path);
			if (value.empty())
				EXPECT_EQ(after.count(key), 0u);
			else
				EXPECT_EQ(after[key].values, value);
			dump rest_before = before, rest_after = after;
			for (dump *d : {&rest_before, &rest_after}) {
				d->erase(key);
				if (v23 && key == "TYER")
					d->erase("TDAT");
			}
			EXPECT_EQ(rest_after, rest_before);
			EXPECT_EQ(audio_md5(path), md5);
		}
	}
}

// Tag names are lower case; an ID3v2.3 tag holds several values NUL
// separated, as 2.4 does; the ID3v1 tag follows the changed fields.
TEST(AllTags, Id3v23AndId3v1)
{
	wt::tmpdir dir;
	const std::string path = dir / "a.mp3";
	make_mp3_fixture(path, 3);
	ASSERT_EQ(all_tags({"set:title=Neu", "set:artist=A", "add:artist=B", path}).status, 0);
	dump d = items(path);
	EXPECT_EQ(d["version"].whole, "2.3");
	EXPECT_EQ(d["TPE1"].values, "A|B");
	const std::string bytes = wt::read_file(path);
	const std::string v1 = bytes.substr(bytes.size() - 128);
	ASSERT_EQ(v1.substr(0, 3), "TAG");
	EXPECT_EQ(v1.substr(3, 30), std::string("Neu") + std::string(27, '\0'));
	EXPECT_EQ(v1.substr(33, 30), std::string("A") + std::string(29, '\0'));
}

TEST(AllTags, ClearLeavesOnlyWhatIsOutsideTheTable)
{
	wt::tmpdir dir;
	for (const fixture &f : fixtures) {
		SCOPED_TRACE(f.name);
		const std::string path = dir / f.name;
		f.make(path);
		const std::string md5 = audio_md5(path);
		ASSERT_EQ(all_tags({"clear:", path}).status, 0);
		std::set<std::string> keys;
		for (const auto &[k, v] : items(path))
			keys.insert(k);
		if (std::string(f.name).ends_with(".m4a"))
			EXPECT_EQ(keys, (std::set<std::string>{"covr"}));
		else
			EXPECT_EQ(keys, (std::set<std::string>{"version", "APIC:front", "PRIV:wembrix.test:private"}));
		EXPECT_EQ(all_tags({path}).out, "# " + path + "\n--- []\n\n");
		EXPECT_EQ(audio_md5(path), md5);
	}
}

// print -F json, clear:, load: gives back every value, as mutagen reads it.
TEST(AllTags, JsonBackupRestoredAfterClearLosesNothing)
{
	wt::tmpdir dir;
	for (const fixture &f : fixtures) {
		SCOPED_TRACE(f.name);
		const std::string path = dir / f.name;
		f.make(path);
		const dump before = items(path);
		wt::run_result backup = all_tags({"-F", "json", "print", path});
		ASSERT_EQ(backup.status, 0) << backup.err;
		wt::write_file(dir / "backup.json", backup.out);
		ASSERT_EQ(all_tags({"clear:", path}).status, 0);
		wt::run_result r = all_tags({"-F", "json", "load:" + (dir / "backup.json"), path});
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(values_of(items(path)), values_of(before));
		EXPECT_EQ(all_tags({path}).out, "# " + path + "\n" + every_field_of(f.name));
	}
}

// FLAC to each format and back: the common fields cross both ways.
TEST(AllTags, CopiesAcrossFormatsCarryTheCommonFields)
{
	wt::tmpdir dir;
	const std::string flac = dir / "a.flac";
	// In the table's order, which a copy back follows.
	wt::make_flac(flac, {"TITLE=T", "ARTIST=A1", "ARTIST=A2", "ALBUM=Al", "ALBUMARTIST=VA",
				"DATE=2003-02-01", "TRACKNUMBER=3", "TRACKTOTAL=9", "DISCNUMBER=1",
				"COMPOSER=C", "GENRE=Rock"});
	const std::string doc = all_tags({flac}).out;
	const std::string body = doc.substr(doc.find('\n') + 1);
	const std::map<std::string, std::map<std::string, std::string>> expect = {
		{"id3", {{"TIT2", "T"}, {"TPE1", "A1|A2"}, {"TALB", "Al"}, {"TDRC", "2003-02-01"},
			    {"TRCK", "3/9"}, {"TPOS", "1"}, {"TPE2", "VA"}, {"TCOM", "C"}, {"TCON", "Rock"}}},
		{"mp4", {{"©nam", "T"}, {"©ART", "A1|A2"}, {"©alb", "Al"}, {"©day", "2003-02-01"},
			    {"trkn", "(3, 9)"}, {"disk", "(1, 0)"}, {"aART", "VA"}, {"©wrt", "C"},
			    {"©gen", "Rock"}}},
	};
	for (const fixture &f : fixtures) {
		SCOPED_TRACE(f.name);
		const std::string path = dir / f.name;
		f.make(path);
		const std::string md5 = audio_md5(path);
		wt::run_result r = all_tags({"load:-", path}, {doc, {{"LC_ALL", "C.UTF-8"}}, ""});
		ASSERT_EQ(r.status, 0) << r.err;
		const dump after = items(path);
		for (const auto &[key, value] : expect.at(std::string(f.name).ends_with(".m4a") ? "mp4" : "id3")) {
			std::string k = key;
			if (std::string(f.name) == "v23.mp3" && k == "TDRC") {
				EXPECT_EQ(after.at("TDAT").values, "0102");
				k = "TYER";
				ASSERT_EQ(after.count(k), 1u);
				EXPECT_EQ(after.at(k).values, "2003");
				continue;
			}
			ASSERT_EQ(after.count(k), 1u) << k;
			EXPECT_EQ(after.at(k).values, value) << k;
		}
		EXPECT_EQ(audio_md5(path), md5);

		// And back into an empty FLAC file.
		const std::string back = dir / "back.flac";
		wt::make_flac(back, {});
		const std::string copy = all_tags({path}).out;
		ASSERT_EQ(all_tags({"load:-", back}, {copy, {{"LC_ALL", "C.UTF-8"}}, ""}).status, 0);
		const std::string again = all_tags({back}).out;
		EXPECT_EQ(again.substr(again.find('\n') + 1), body);
	}
}

// A document made without the option names the date year and the track
// number track; the mode takes both.
TEST(AllTags, YearAndTrackAreOtherNamesOfDateAndTracknumber)
{
	wt::tmpdir dir;
	const std::string path = dir / "a.mp3";
	make_mp3_fixture(path, 4);
	wt::run_result r = all_tags({"load:-", path}, {"- title: T\n- year: 1999\n- track: 07\n", {}, ""});
	ASSERT_EQ(r.status, 0) << r.err;
	dump d = items(path);
	EXPECT_EQ(d["TDRC"].values, "1999");
	EXPECT_EQ(d["TRCK"].values, "07");
	EXPECT_EQ(all_tags({path}).out, "# " + path + "\n---\n- title: T\n- date: '1999'\n- tracknumber: '07'\n\n");
}

// A value the format cannot hold fails the file, and nothing is written.
TEST(AllTags, ANameTheFileCannotHoldFailsTheFile)
{
	struct row {
		const char *fixture;
		std::vector<std::string> args;
		const char *message;
	};
	const row rows[] = {
		{"tags.m4a", {"set:tracknumber=A1"}, "cannot hold tracknumber=A1 (only a number from 1 to 32767)"},
		{"tags.m4a", {"set:compilation=yes"}, "cannot hold compilation=yes (only 0 or 1)"},
		{"tags.m4a", {"add:bpm=90"}, "cannot hold more than one bpm"},
		{"v23.mp3", {"add:date=2002"}, "cannot hold more than one date"},
		{"v24.mp3", {"add:lyrics=a", "add:lyrics=b"}, "cannot hold more than one lyrics"},
		{"v24.mp3", {"set:tracknumber=3/12"}, "cannot hold tracknumber=3/12 (a total has a name of its own)"},
		{"id3.wav", {"set:=x"}, "cannot hold a tag without a name"},
	};
	wt::tmpdir dir;
	for (const row &w : rows) {
		SCOPED_TRACE(std::string(w.fixture) + " " + w.args[0]);
		const std::string path = dir / w.fixture;
		for (const fixture &f : fixtures) {
			if (std::string(f.name) == w.fixture)
				f.make(path);
		}
		const std::string bytes = wt::read_file(path);
		std::vector<std::string> args = w.args;
		args.push_back(path);
		wt::run_result r = all_tags(args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: " + path + ": " + w.message + "; not written\nwembrix: " + path +
			": could not write tags to the file,\n");
		EXPECT_EQ(wt::read_file(path), bytes);
	}
}

// A tag whose frames cannot be copied into a new tag of its kind is read,
// but never rewritten: version 2.2 with a frame that version 2.3, which it
// is written as, has none for, and a tag under unsynchronisation.
TEST(AllTags, TagsThatCannotBeRebuiltAreNotWritten)
{
	const char hand_made[] = R"(
import sys
p, kind = sys.argv[1], sys.argv[2]
audio = open(p, 'rb').read()
def size(n):
    return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])
if kind == '2.2':
    frames = (b'TT2' + (4).to_bytes(3, 'big') + b'\0Old' + b'TP1' + (2).to_bytes(3, 'big') + b'\0A' +
              b'CRM' + (9).to_bytes(3, 'big') + b'owner\0xyz')
    head = b'ID3\x02\x00\x00'
else:
    frames = (b'TIT2' + (4).to_bytes(4, 'big') + b'\0\0\0Old' +
              b'TPE1' + (2).to_bytes(4, 'big') + b'\0\0\0A')
    head = b'ID3\x03\x00\x80'
body = frames + bytes(20)
open(p, 'wb').write(head + size(len(body)) + body + audio)
)";
	const std::pair<const char *, const char *> rows[] = {
		{"2.2", "its ID3v2.2 tag holds a frame CRM that version 2.3 has no counterpart for; rewriting it would "
			"lose it"},
		{"unsync", "its unsynchronised ID3v2 tag cannot be rewritten without losing frames"},
	};
	wt::tmpdir dir;
	const std::string path = dir / "a.mp3";
	for (const auto &[kind, message] : rows) {
		SCOPED_TRACE(kind);
		wt::make_mp3(path);
		python(hand_made, {path, kind});
		const std::string bytes = wt::read_file(path);
		EXPECT_EQ(all_tags({path}).out, "# " + path + "\n---\n- title: Old\n- artist: A\n\n");
		wt::run_result r = all_tags({"set:title=New", path});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "wembrix: " + path + ": " + message + "; not written\nwembrix: " + path +
			": could not write tags to the file,\n");
		EXPECT_EQ(wt::read_file(path), bytes);
	}
}

// The fields of a file without an ID3v2 tag come from its other tag, and
// the first write puts every one of them in a new ID3v2 tag.
TEST(AllTags, FilesWithoutId3v2)
{
	wt::tmpdir dir;
	const std::string mp3 = dir / "v1.mp3";
	wt::make_mp3(mp3, {"--tt", "Old", "--ta", "Band", "--ty", "1999", "--tn", "4", "--id3v1-only"});
	const std::string wav = dir / "info.wav";
	wt::make_wav(wav);
	python(R"(
import sys, struct
p = sys.argv[1]
d = bytearray(open(p, 'rb').read())
info = b'INFO'
for k, v in ((b'INAM', b'Old'), (b'IART', b'Band'), (b'ICRD', b'1999'), (b'IPRT', b'4')):
    v += b'\0'
    info += k + struct.pack('<I', len(v)) + v + (b'\0' if len(v) % 2 else b'')
d += b'LIST' + struct.pack('<I', len(info)) + info
d[4:8] = struct.pack('<I', len(d) - 8)
open(p, 'wb').write(bytes(d))
)",
	    {wav});
	for (const std::string &path : {mp3, wav}) {
		SCOPED_TRACE(path);
		const std::string md5 = audio_md5(path);
		EXPECT_EQ(all_tags({path}).out,
		    "# " + path + "\n---\n- title: Old\n- artist: Band\n- date: '1999'\n- tracknumber: '4'\n\n");
		wt::run_result r = all_tags({"set:albumartist=VA", path});
		ASSERT_EQ(r.status, 0) << r.err;
		dump d = items(path);
		EXPECT_EQ(d["TIT2"].values, "Old");
		EXPECT_EQ(d["TPE1"].values, "Band");
		EXPECT_EQ(d["TDRC"].values, "1999");
		EXPECT_EQ(d["TRCK"].values, "4");
		EXPECT_EQ(d["TPE2"].values, "VA");
		EXPECT_EQ(audio_md5(path), md5);
	}
}

// Without the option the TagLib backend is what it always was; FLAC and
// Ogg files are the same with it as without.
TEST(AllTags, WithoutTheOptionNothingChanges)
{
	wt::tmpdir dir;
	const std::string mp3 = dir / "a.mp3";
	make_mp3_fixture(mp3, 4);
	const std::string m4a = dir / "a.m4a";
	make_m4a_fixture(m4a);

	wt::run_result r = wt::wembrix({mp3}, utf8);
	EXPECT_EQ(r.out, "# " + mp3 +
			     "\n---\n- title: Song\n- artist: Beastie Boys Q-Tip\n- year: '2001'\n- album: Récord\n"
			     "- track: '03'\n- genre: Latin\n- comment: main comment\n\n");
	r = wt::wembrix({m4a}, utf8);
	EXPECT_EQ(r.out, "# " + m4a +
			     "\n---\n- title: Song\n- artist: Beastie Boys, Q-Tip\n- year: '2001'\n- album: Récord\n"
			     "- track: '03'\n- genre: Latin\n- comment: main comment\n\n");
	const std::string bytes = wt::read_file(mp3);
	r = wt::wembrix({"set:albumartist=X", mp3}, utf8);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "wembrix: " + mp3 + ": unsupported tag for TagLib backend: albumartist\n");
	EXPECT_EQ(wt::read_file(mp3), bytes);

	const std::string flac = dir / "a.flac";
	wt::make_flac(flac, {"TITLE=T", "YEAR=1999", "TRACK=2"});
	EXPECT_EQ(all_tags({flac}).out, wt::wembrix({flac}, utf8).out);
	const std::string copy = dir / "b.flac";
	wt::write_file(copy, wt::read_file(flac));
	ASSERT_EQ(all_tags({"set:year=2000", "add:foo=bar", flac}).status, 0);
	ASSERT_EQ(wt::wembrix({"set:year=2000", "add:foo=bar", copy}, utf8).status, 0);
	EXPECT_EQ(wt::read_file(flac), wt::read_file(copy));
}

} // namespace
