/* Every write through TagLib either keeps all that it was not asked to
 * change (each frame, item and chunk byte for byte, and the audio) or is
 * refused with the file untouched: hand-built tags of the kinds that real
 * taggers leave behind, times the actions a user takes. */
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "w_tagtools.h"
#include "w_testsupport.h"

namespace {

using wt::python;
using wt::utf8;

// Builds the file named by its kind from a plain one: ID3v2 tags byte by
// byte (with flags, unsynchronisation, compression, odd encodings), WAV
// chunks put together by hand, an M4A item in an order TagLib cannot read.
const char make_script[] = R"(
import sys, zlib
kind, src, out = sys.argv[1:4]
plain = open(src, 'rb').read()

def ss(n):
    return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])
def fr(fid, data, v=3, flags=0):
    if v == 2:
        return fid.encode() + len(data).to_bytes(3, 'big') + data
    size = len(data).to_bytes(4, 'big') if v == 3 else ss(len(data))
    return fid.encode() + size + flags.to_bytes(2, 'big') + data
def txt(fid, s, v=3, flags=0, enc=0):
    return fr(fid, bytes([enc]) + s.encode('latin-1'), v, flags)
def comm(desc, text, v=3):
    return fr('COM' if v == 2 else 'COMM', b'\0eng' + desc.encode() + b'\0' + text.encode(), v)
def unsync(b):
    o = bytearray()
    for i, c in enumerate(b):
        o.append(c)
        if c == 0xff and (i + 1 == len(b) or b[i + 1] >= 0xe0 or b[i + 1] == 0):
            o.append(0)
    return bytes(o)
def tag(body, v=3, flags=0, pad=64):
    body += bytes(pad)
    if flags & 0x80 and v == 3:
        body = unsync(body)
    return b'ID3' + bytes([v, 0, flags]) + ss(len(body)) + body

# Bytes that unsynchronisation changes: 0xFF before 0xE0 and before 0x00.
RVAD = b'\x03\x10\xff\xe0\x00\x10\xff\x00\x00\x00'

def chunks(d, big):
    order = 'big' if big else 'little'
    pos, out = 12, []
    while pos + 8 <= len(d):
        n = int.from_bytes(d[pos + 4:pos + 8], order)
        out.append((d[pos:pos + 4], d[pos + 8:pos + 8 + n]))
        pos += 8 + n + (n & 1)
    return out
def container(head, cs, big, pad=True):
    order = 'big' if big else 'little'
    body = head[8:12]
    for name, data in cs:
        body += name + len(data).to_bytes(4, order) + data
        if pad and len(data) & 1:
            body += b'\0'
    return head[:4] + (len(body)).to_bytes(4, order) + body

mp3 = {
    'unsync-2.3': tag(txt('TIT2', 'Song') + fr('RVAD', RVAD) + txt('TSIZ', '1234') +
                      txt('TPE1', '\xffBand'), flags=0x80),
    'unsync-2.4': tag(txt('TIT2', 'Song', 4) + fr('RVA2', b'track\0' + RVAD, 4) +
                      txt('TPE1', 'Band', 4), 4, flags=0x80),
    '2.2': tag(txt('TT2', 'Song', 2) + txt('TYE', '1999', 2) + txt('TDA', '0512', 2) +
               txt('TIM', '1230', 2) + fr('RVA', RVAD, 2) + txt('TP1', 'Band', 2), 2),
    'flags-2.3': tag(txt('TIT2', 'Song') + txt('TPE1', 'Band') +
                     txt('TXXX', 'kept\0value', flags=0x8000) +
                     fr('TXXX', len(b'\0zip\0value').to_bytes(4, 'big') +
                        zlib.compress(b'\0zip\0value'), flags=0x0080) +
                     fr('PRIV', b'\x80' + bytes(range(16)), flags=0x0040)),
    'alter-title-2.3': tag(txt('TIT2', 'Song', flags=0x8000) + txt('TPE1', 'Band')),
    'alter-title-2.4': tag(txt('TIT2', 'Song', 4, flags=0x4000) + txt('TPE1', 'Band', 4), 4),
    'tdrc-2.3': tag(txt('TIT2', 'Song') + txt('TDRC', '1999')),
    'total-2.3': tag(txt('TIT2', 'Song') + txt('TRCK', '3/12')),
    'described-2.3': tag(txt('TIT2', 'Song') + comm('note', 'described')),
    'bad-encoding-2.3': tag(txt('TIT2', 'Song') + txt('TPE1', 'Band', enc=0x9e)),
}
if kind in mp3:
    open(out, 'wb').write(mp3[kind] + plain)
elif kind == 'text':
    open(out, 'wb').write(b'not audio\n')
elif kind.startswith('wav') or kind.startswith('aiff'):
    big = plain[:4] == b'FORM'
    cs = chunks(plain, big)
    a = tag(txt('TIT2', 'Song') + txt('TPE1', 'Band'))
    b = tag(txt('TALB', 'Record') + txt('TXXX', 'second\0tag'))
    pad = True
    if kind == 'wav-two-id3':
        cs += [(b'id3 ', a), (b'id3 ', b)]
    elif kind == 'wav-odd-unpadded':
        cs += [(b'junk', b'abc'), (b'id3 ', a)]
        pad = False
    elif kind == 'wav-info':
        info = b'INFO' + b'INAM' + (4).to_bytes(4, 'little') + b'Old\0' + \
               b'ISFT' + (6).to_bytes(4, 'little') + b'tool\0\0'
        cs = [c for c in cs if c[0] != b'LIST'] + [(b'LIST', info)]
    elif kind in ('wav-alter-title', 'aiff-alter-title'):
        cs += [(b'ID3 ' if big else b'id3 ',
                tag(txt('TIT2', 'Song', 4, flags=0x4000) + txt('TPE1', 'Band', 4), 4))]
    open(out, 'wb').write(container(plain[:12], cs, big, pad))
elif kind == 'm4a-total':
    from mutagen.mp4 import MP4
    open(out, 'wb').write(plain)
    m = MP4(out)
    m['\xa9nam'] = ['Song']
    m['trkn'] = [(3, 12)]
    m.save()
elif kind == 'm4a-freeform':
    from mutagen.mp4 import MP4, MP4FreeForm
    open(out, 'wb').write(plain)
    m = MP4(out)
    m['\xa9nam'] = ['Song']
    m['----:com.apple.iTunes:UFID'] = [MP4FreeForm(b'id-1')]
    m.save()
    # The name atom before the mean atom: TagLib skips the whole item.
    d = bytearray(open(out, 'rb').read())
    at = d.index(b'----') + 4
    mean_len = int.from_bytes(d[at:at + 4], 'big')
    name_len = int.from_bytes(d[at + mean_len:at + mean_len + 4], 'big')
    mean, name = d[at:at + mean_len], d[at + mean_len:at + mean_len + name_len]
    assert mean[4:8] == b'mean' and name[4:8] == b'name'
    d[at:at + mean_len + name_len] = name + mean
    open(out, 'wb').write(bytes(d))
else:
    sys.exit('no such kind: ' + kind)
)";

// Every tag item of the file, read raw, then as mutagen reads it (ID3v2
// without translation between versions): "field TAB what", the field
// being the basic field the item belongs to, "-" for none.  Where a frame
// is unsynchronised, it is shown as it reads once that is undone.
const char dump_script[] = R"(
import sys, io
p = sys.argv[1]
d = open(p, 'rb').read()
FIELDS = {'TIT2': 'title', 'TT2': 'title', 'TPE1': 'artist', 'TP1': 'artist',
          'TALB': 'album', 'TAL': 'album', 'TCON': 'genre', 'TCO': 'genre',
          'TRCK': 'track', 'TRK': 'track', 'TYER': 'year', 'TDAT': 'year', 'TIME': 'year',
          'TRDA': 'year', 'TDRC': 'year', 'TYE': 'year', 'TDA': 'year', 'TIM': 'year',
          'TRD': 'year', '\xa9nam': 'title', '\xa9ART': 'artist', '\xa9alb': 'album',
          '\xa9day': 'year', 'trkn': 'track', '\xa9gen': 'genre', 'gnre': 'genre',
          '\xa9cmt': 'comment', 'INAM': 'title', 'IART': 'artist', 'IPRD': 'album',
          'ICRD': 'year', 'IPRT': 'track', 'IGNR': 'genre', 'ICMT': 'comment'}
def field(fid, data=b''):
    if fid in ('COMM', 'COM'):
        enc, rest = data[0], data[4:]
        empty = rest[:1] == b'\0' if enc in (0, 3) else rest.replace(b'\xff\xfe', b'', 1)[:2] == b'\0\0'
        return 'comment' if empty else '-'
    return FIELDS.get(fid, '-')
def syncsafe(b):
    return (b[0] << 21) | (b[1] << 14) | (b[2] << 7) | b[3]
def frames(t):
    v, flags = t[3], t[5]
    body = t[10:10 + syncsafe(t[6:10])]
    if flags & 0x80 and v < 4:
        body = body.replace(b'\xff\x00', b'\xff')
    hs, pos = (6 if v == 2 else 10), 0
    while pos + hs <= len(body) and body[pos] != 0:
        if v == 2:
            fid, n, fl = body[pos:pos + 3], int.from_bytes(body[pos + 3:pos + 6], 'big'), 0
        else:
            fid, fl = body[pos:pos + 4], int.from_bytes(body[pos + 8:pos + 10], 'big')
            n = int.from_bytes(body[pos + 4:pos + 8], 'big') if v == 3 else syncsafe(body[pos + 4:pos + 8])
        data = body[pos + hs:pos + hs + n]
        if v == 4 and (fl & 2 or flags & 0x80):
            data, fl = data.replace(b'\xff\x00', b'\xff'), fl & ~2
        fid = fid.decode('latin-1')
        print(field(fid, data) + '\tframe %s %04x %s' % (fid, fl, data.hex()))
        pos += hs + n
def atoms(d, start, end):
    pos = start
    while pos + 8 <= end:
        n = int.from_bytes(d[pos:pos + 4], 'big')
        yield d[pos + 4:pos + 8].decode('latin-1'), pos, n
        pos += n
tags = []
if d[:4] in (b'RIFF', b'FORM'):
    order = 'big' if d[:4] == b'FORM' else 'little'
    pos = 12
    while pos + 8 <= len(d):
        name, n = d[pos:pos + 4], int.from_bytes(d[pos + 4:pos + 8], order)
        data = d[pos + 8:pos + 8 + n]
        if name in (b'ID3 ', b'id3 '):
            frames(data)
        elif name == b'LIST' and data[:4] == b'INFO':
            i = 4
            while i + 8 <= len(data):
                cid, m = data[i:i + 4].decode('latin-1'), int.from_bytes(data[i + 4:i + 8], 'little')
                print(FIELDS.get(cid, '-') + '\tinfo %s %s' % (cid, data[i + 8:i + 8 + m].rstrip(b'\0').hex()))
                i += 8 + m + (m & 1)
        pos += 8 + n
        if pos & 1 and (d[pos:pos + 1] == b'\0' or all(32 <= c < 128 for c in d[pos + 1:pos + 5])):
            pos += 1
elif d[4:8] == b'ftyp':
    def walk(start, end, path):
        for t, pos, n in atoms(d, start, end):
            if path == ['moov', 'udta', 'meta', 'ilst']:
                print(FIELDS.get(t, '-') + '\titem ' + d[pos:pos + n].hex())
            elif t in ('moov', 'udta', 'meta', 'ilst'):
                walk(pos + (12 if t == 'meta' else 8), pos + n, path + [t])
    walk(0, len(d), [])
elif d[:3] == b'ID3':
    frames(d)
from mutagen.id3 import ID3
from mutagen.mp4 import MP4
if d[4:8] == b'ftyp':
    for k, v in sorted((MP4(p).tags or {}).items()):
        print(FIELDS.get(k, '-') + '\tmutagen %s %r' % (k, v))
else:
    t = None
    if d[:3] == b'ID3':
        t = ID3(p, translate=False)
    elif d[:4] in (b'RIFF', b'FORM'):
        from mutagen.wave import WAVE
        from mutagen.aiff import AIFF
        t = (WAVE if d[:4] == b'RIFF' else AIFF)(p).tags
    for f in (t.values() if t else []):
        fid = f.FrameID
        data = f._writeData() if fid in ('COMM', 'COM') else b''
        print(field(fid, data) + '\tmutagen %s %r' % (f.HashKey, f))
)";

// The items of the file outside the given fields, in their order.
std::vector<std::string>
kept_items(const std::string &path, const std::set<std::string> &changed)
{
	std::vector<std::string> items;
	std::istringstream ss(python(dump_script, {path}).out);
	for (std::string line; std::getline(ss, line);) {
		const std::string field = line.substr(0, line.find('\t'));
		if (!changed.count(field))
			items.push_back(line);
	}
	// The order of MP4 items is TagLib's; what they hold is not.
	std::sort(items.begin(), items.end());
	return items;
}

std::string
audio_md5(const std::string &path)
{
	wt::run_result r = wt::run({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"});
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

// The plain files the kinds are made from, by suffix.
std::string
plain_file(const wt::tmpdir &dir, const std::string &suffix)
{
	const std::string f = dir / ("plain" + suffix);
	if (wt::exists(f))
		return f;
	if (suffix == ".mp3") {
		wt::make_mp3(f);
		// lame leaves no tag; the audio alone.
	} else if (suffix == ".wav") {
		wt::make_wav(f);
	} else {
		const char *codec = suffix == ".m4a" ? "aac" : "pcm_s16be";
		wt::run_result r = wt::run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
		    "sine=frequency=440:duration=0.3", "-c:a", codec, f});
		EXPECT_EQ(r.status, 0) << r.err;
	}
	return f;
}

std::string
make(const wt::tmpdir &dir, const std::string &kind, const std::string &suffix)
{
	const std::string f = dir / ("source-" + kind + suffix);
	python(make_script, {kind, plain_file(dir, suffix), f});
	return f;
}

struct action {
	std::vector<std::string> args;
	std::set<std::string> changed; // the fields it may change
	bool same = false;             // sets the title the file shows
};

const std::set<std::string> all_fields = {"title", "artist", "year", "album", "track", "genre", "comment"};

const action actions[] = {
    {{"set:album=Other"}, {"album"}},
    {{"set:title=Song"}, {"title"}, true},
    {{"set:year=2020"}, {"year"}},
    {{"set:track=5"}, {"track"}},
    {{"clear:"}, all_fields},
    {{"clear:comment"}, {"comment"}},
    {{"set:title=New"}, {"title"}},
    {{"set:artist=New"}, {"artist"}},
};

struct kind {
	const char *name;
	const char *suffix;
	bool refusable; // may a write be refused rather than keep everything?
};

const kind kinds[] = {
    {"unsync-2.3", ".mp3", false},
    {"unsync-2.4", ".mp3", false},
    {"2.2", ".mp3", true},
    {"flags-2.3", ".mp3", false},
    {"alter-title-2.3", ".mp3", false},
    {"alter-title-2.4", ".mp3", false},
    {"tdrc-2.3", ".mp3", false},
    {"total-2.3", ".mp3", false},
    {"described-2.3", ".mp3", false},
    {"bad-encoding-2.3", ".mp3", false},
    {"wav-two-id3", ".wav", true},
    {"wav-odd-unpadded", ".wav", true},
    {"wav-info", ".wav", false},
    {"wav-alter-title", ".wav", false},
    {"aiff-alter-title", ".aiff", false},
    {"m4a-total", ".m4a", false},
    {"m4a-freeform", ".m4a", true},
};

} // namespace

// Each kind of tag, each action: either every item outside the changed
// fields is there byte for byte (raw, and as mutagen reads it) with the
// audio decoding as before, or the write is refused, saying what it would
// lose, with the file byte for byte as it was.
TEST(TagLibProof, WritesKeepEverythingOrAreRefused)
{
	wt::tmpdir dir;
	for (const kind &k : kinds) {
		const std::string source = make(dir, k.name, k.suffix);
		const std::string original = wt::read_file(source);
		const std::string audio = audio_md5(source);
		const bool titled = wt::wembrix({source}, utf8).out.find("\n- title: Song\n") != std::string::npos;
		for (const action &a : actions) {
			SCOPED_TRACE(std::string(k.name) + ": " + a.args[0]);
			const std::string f = dir / (std::string("song") + k.suffix);
			wt::write_file(f, original);
			std::vector<std::string> args = a.args;
			args.push_back(f);
			const wt::run_result r = wt::wembrix(args, utf8);
			if (r.status == 1) {
				EXPECT_TRUE(k.refusable) << r.err;
				EXPECT_TRUE(wt::read_file(f) == original);
				EXPECT_NE(r.err.find("wembrix: " + f + ": "), std::string::npos) << r.err;
				EXPECT_TRUE(r.err.find("; not written\n") != std::string::npos ||
				    r.err.find("TagLib could not read the whole ID3v2 tag") != std::string::npos)
				    << r.err;
				continue;
			}
			ASSERT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(r.err, "");
			if (a.same && titled) {
				EXPECT_TRUE(wt::read_file(f) == original);
				continue;
			}
			EXPECT_EQ(kept_items(f, a.changed), kept_items(source, a.changed));
			EXPECT_EQ(audio_md5(f), audio);
		}
	}
}

// What the user asked is what print shows afterwards, in the cases where
// TagLib alone would write something else.
TEST(TagLibProof, FieldsReadBackAsAsked)
{
	struct {
		const char *kind;
		const char *suffix;
		std::vector<std::string> actions;
		std::string shown; // the tags print shows afterwards
		std::string frame; // a frame mid3v2 lists afterwards ("" for none)
	} cases[] = {
	    // A 2.3 tag holding the 2.4 date frame: that frame is the year.
	    {"tdrc-2.3", ".mp3", {"set:year=2020"}, "- title: Song\n- year: 2020\n", "TYER=2020"},
	    {"tdrc-2.3", ".mp3", {"clear:year"}, "- title: Song\n", ""},
	    // A new track number keeps the total; clearing takes both.
	    {"total-2.3", ".mp3", {"set:track=5"}, "- title: Song\n- track: 05\n", "TRCK=5/12"},
	    {"total-2.3", ".mp3", {"clear:track"}, "- title: Song\n", ""},
	    {"m4a-total", ".m4a", {"set:track=5"}, "- title: Song\n- track: 05\n", ""},
	    // A described comment is not the comment field.
	    {"described-2.3", ".mp3", {}, "- title: Song\n", "COMM=note=eng=described"},
	    {"described-2.3", ".mp3", {"clear:comment"}, "- title: Song\n", "COMM=note=eng=described"},
	    {"described-2.3", ".mp3", {"set:comment=Mine"}, "- title: Song\n- comment: Mine\n",
		"COMM=note=eng=described"},
	    // Fields of a WAV file go where TagLib reads them.
	    {"wav-info", ".wav", {"set:title=New"}, "- title: New\n", ""},
	    // Frames TagLib would drop on rendering.
	    {"alter-title-2.3", ".mp3", {"set:title=New"}, "- title: New\n- artist: Band\n", "TIT2=New"},
	    {"alter-title-2.4", ".mp3", {"set:title=New"}, "- title: New\n- artist: Band\n", "TIT2=New"},
	    {"wav-alter-title", ".wav", {"set:title=New"}, "- title: New\n- artist: Band\n", ""},
	    {"aiff-alter-title", ".aiff", {"set:title=New"}, "- title: New\n- artist: Band\n", ""},
	    {"bad-encoding-2.3", ".mp3", {"set:artist=New"}, "- title: Song\n- artist: New\n", "TPE1=New"},
	    // Unsynchronised tags are kept whole.
	    {"unsync-2.3", ".mp3", {"set:artist=A"}, "- title: Song\n- artist: A\n", "TSIZ=1234"},
	};
	wt::tmpdir dir;
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.kind) + ": " + (c.actions.empty() ? "print" : c.actions[0]));
		const std::string f = dir / (std::string("song") + c.suffix);
		wt::write_file(f, wt::read_file(make(dir, c.kind, c.suffix)));
		if (!c.actions.empty()) {
			std::vector<std::string> args = c.actions;
			args.push_back(f);
			const wt::run_result r = wt::wembrix(args, utf8);
			ASSERT_EQ(r.status, 0) << r.err;
		}
		const wt::run_result r = wt::wembrix({f}, utf8);
		EXPECT_EQ(r.out, "# " + f + "\n---\n" + c.shown + "\n");
		if (std::string(c.suffix) == ".m4a") {
			const wt::run_result m = python("from mutagen.mp4 import MP4; import sys; print(MP4(sys.argv[1])['trkn'])", {f});
			EXPECT_EQ(m.out, "[(5, 12)]\n");
		} else if (std::string(c.suffix) == ".mp3") {
			const wt::run_result id3 = wt::run({"mid3v2", "-l", f});
			if (c.frame.empty()) {
				EXPECT_EQ(id3.out.find(c.actions[0] == "clear:year" ? "TDRC" : "TRCK"), std::string::npos)
				    << id3.out;
			} else {
				EXPECT_NE(id3.out.find(c.frame + "\n"), std::string::npos) << id3.out;
			}
		}
	}
}

// What no write may do: lose an item TagLib cannot read or render, write
// tags into a file that holds no audio, or take a year it cannot read back.
TEST(TagLibProof, RefusalsSayWhatWouldBeLost)
{
	struct {
		const char *kind;
		const char *suffix;
		std::string action;
		std::string message; // after "wembrix: PATH: "
	} cases[] = {
	    {"2.2", ".mp3", "set:artist=A",
		"rewriting the tag would lose frames TT2, TYE, TDA, TIM, RVA; not written\n"},
	    {"m4a-freeform", ".m4a", "set:artist=X",
		"rewriting the tag would lose items ----:com.apple.iTunes:UFID; not written\n"},
	    {"wav-two-id3", ".wav", "set:artist=X", "rewriting the tag would lose frames TALB, TXXX; not written\n"},
	    {"text", ".mp3", "set:genre=T", "unsupported file format\n"},
	    {"tdrc-2.3", ".mp3", "set:year=12345", ""},
	};
	wt::tmpdir dir;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.kind);
		const std::string f = dir / (std::string("song") + c.suffix);
		const std::string original = wt::read_file(make(dir, c.kind, c.suffix));
		wt::write_file(f, original);
		const wt::run_result r = wt::wembrix({c.action, f}, utf8);
		EXPECT_TRUE(wt::read_file(f) == original);
		if (c.message.empty()) {
			EXPECT_EQ(r.status, 0);
			EXPECT_EQ(r.err, "wembrix: invalid unsigned int argument for year: 12345 (too large)\n");
			EXPECT_EQ(wt::wembrix({f}).out, "# " + f + "\n---\n- title: Song\n- year: 1999\n\n");
			continue;
		}
		EXPECT_EQ(r.status, 1);
		const std::string said = "wembrix: " + f + ": " + c.message;
		EXPECT_EQ(r.err.substr(0, said.size()), said) << r.err;
	}
}
