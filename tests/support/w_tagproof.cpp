#include "w_tagproof.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "w_tagtools.h"

namespace wt {

namespace {

// Builds the file named by its kind from a plain one: ID3v2 tags byte by
// byte (with flags, unsynchronisation, compression, odd encodings, version
// 2.2), what ends an MP3 file (ID3v1, APE and Lyrics3 tags, APE footers
// that claim too much), WAV chunks put together by hand, M4A files
// fragmented by ffmpeg and items TagLib cannot read, WMA attributes of
// several values.
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
    '2.2-pic': tag(txt('TT2', 'Song', 2) + txt('TP1', 'Band', 2) +
                   fr('PIC', b'\0JPG\x03cover\0' + b'\xff\xd8\xff\xe0' + bytes(12), 2), 2),
    '2.2-crm': tag(txt('TT2', 'Song', 2) + fr('CRM', b'owner\0explained' + bytes(4), 2), 2),
    # Two comments without description, the second in UTF-16.
    'two-comm': tag(txt('TIT2', 'Song') + comm('', 'first') +
                    fr('COMM', b'\x01eng\xff\xfe\0\0' + '\ufeffsecond'.encode('utf-16-le'))),
    # The footer flag set, and no footer.
    'footer-2.4': tag(txt('TIT2', 'Song', 4), 4, flags=0x10, pad=16),
    'footer-2.3': tag(txt('TIT2', 'Song'), flags=0x10, pad=16),
}

def le(n, size=4):
    return n.to_bytes(size, 'little')
def ape(items, header=True):
    body = b''.join(le(len(v)) + le(0) + k.encode() + b'\0' + v for k, v in items)
    def part(flags):
        return b'APETAGEX' + le(2000) + le(len(body) + 32) + le(len(items)) + le(flags) + bytes(8)
    return (part(0xa0000000) if header else b'') + body + part(0x80000000 if header else 0)
def lyrics3(text):
    def field(i, d):
        return i + b'%05d' % len(d) + d
    body = b'LYRICSBEGIN' + field(b'IND', b'11') + field(b'LYR', text)
    return body + b'%06d' % len(body) + b'LYRICS200'
def v1(comment, track=None, pad=b'\0'):
    f = lambda s, n: s.ljust(n, pad)[:n]
    c = f(comment, 30) if track is None else f(comment, 28) + b'\0' + bytes([track])
    return b'TAG' + f(b'Song', 30) + f(b'Band', 30) + f(b'Record', 30) + b'1999' + c + bytes([17])
# What ends an MP3 file: an APE tag, a Lyrics3 tag, ID3v1 tags of both
# versions, and lone APE footers that claim more than any tag holds (the
# second as a fuzzed file has it).
tails = {
    'ape-v1': ape([('Artist', b'Band'), ('MP3GAIN_MINMAX', b'093,200')]) + v1(b'note'),
    'lyrics3-v1': lyrics3(b'la la') + v1(b'note', track=3),
    'v1-30': v1(b'c' * 30, pad=b' '),
    'ape-overclaim': b'APETAGEX' + le(2000) + le(632) + le(0) + le(0) + bytes(8),
    'ape-rva': b'APETAGEX' + b'\0RVA' + le(561) + le(0) + le(0) + bytes(8),
}
if kind in tails:
    head = tag(txt('TIT2', 'Song')) if kind in ('ape-v1', 'lyrics3-v1', 'v1-30') else b''
    open(out, 'wb').write(head + plain + tails[kind])
elif kind in mp3:
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
    elif kind.startswith('wav-info') or kind == 'wav-two-info':
        def info(*items):
            b = b'INFO'
            for k, v in items:
                b += k + len(v).to_bytes(4, 'little') + v + (b'\0' if len(v) & 1 else b'')
            return (b'LIST', b)
        lists = {
            'wav-info': [info((b'INAM', b'Old\0'), (b'ISFT', b'tool\0\0'))],
            'wav-info-latin1': [info((b'INAM', b'caf\xe9\0'))],
            'wav-info-empty': [info((b'INAM', b''), (b'ICMT', b'x\0'))],
            'wav-info-nul': [info((b'IART', b'a\0b\0'))],
            'wav-two-info': [info((b'INAM', b'One\0')), info((b'ICMT', b'Two\0'))],
        }[kind]
        cs = [c for c in cs if c[0] != b'LIST'] + lists
    elif kind == 'wav-id3-first':
        cs = cs[:1] + [(b'id3 ', a)] + cs[1:]
    elif kind in ('wav-alter-title', 'aiff-alter-title'):
        cs += [(b'ID3 ' if big else b'id3 ',
                tag(txt('TIT2', 'Song', 4, flags=0x4000) + txt('TPE1', 'Band', 4), 4))]
    open(out, 'wb').write(container(plain[:12], cs, big, pad))
elif kind.startswith('m4a-frag') or kind == 'm4a-sidx':
    import subprocess
    flags = {'m4a-frag': 'frag_keyframe+empty_moov+default_base_moof',
             'm4a-frag-base': 'frag_keyframe+empty_moov',
             'm4a-sidx': 'frag_keyframe+empty_moov+default_base_moof+global_sidx'}[kind]
    subprocess.run(['ffmpeg', '-v', 'error', '-y', '-i', src, '-c', 'copy', '-movflags', flags,
                    '-frag_duration', '100000', out], check=True)
    if kind == 'm4a-sidx':
        # The segment index before moov: its offset counts moov.
        d = open(out, 'rb').read()
        top, pos = {}, 0
        while pos + 8 <= len(d):
            n = int.from_bytes(d[pos:pos + 4], 'big')
            top.setdefault(d[pos + 4:pos + 8], (pos, n))
            pos += n
        (mp, mn), (sp, sn) = top[b'moov'], top[b'sidx']
        s = bytearray(d[sp:sp + sn])
        w = 4 if s[8] == 0 else 8
        at = 8 + 12 + w
        s[at:at + w] = (int.from_bytes(s[at:at + w], 'big') + mn).to_bytes(w, 'big')
        open(out, 'wb').write(d[:mp] + bytes(s) + d[mp:sp] + d[sp + sn:])
elif kind == 'm4a-nul-item':
    from mutagen.mp4 import MP4
    open(out, 'wb').write(plain)
    m = MP4(out)
    m['\xa9nam'] = ['Song']
    m['\xa9wrt'] = ['Composer']
    m.save()
    d = open(out, 'rb').read()
    open(out, 'wb').write(d.replace(b'\xa9wrt', b'\0\0\0\0', 1))
elif kind.startswith('wma'):
    from mutagen.asf import ASF
    open(out, 'wb').write(plain)
    if kind == 'wma-multi':
        m = ASF(out)
        m['Title'] = ['Song']
        m['WM/ARTISTS'] = ['A1', 'B2', 'C3']
        m['WM/Composer'] = ['X1', 'Y2']
        m.save()
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
          'ICRD': 'year', 'IPRT': 'track', 'IGNR': 'genre', 'ICMT': 'comment',
          'TITLE': 'title', 'ARTIST': 'artist', 'ALBUM': 'album', 'YEAR': 'year', 'TRACK': 'track',
          'GENRE': 'genre', 'COMMENT': 'comment', 'Title': 'title', 'Author': 'artist',
          'Description': 'comment', 'WM/AlbumTitle': 'album', 'WM/Year': 'year',
          'WM/TrackNumber': 'track', 'WM/Genre': 'genre', 'TPE2': 'albumartist'}
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
        if v == 2:
            # Under the id version 2.3 gives the frame, as mutagen knows it.
            from mutagen.id3 import Frames_2_2
            fid = Frames_2_2[fid].__base__.__name__ if fid in Frames_2_2 else fid
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
    pos, names = 12, []
    while pos + 8 <= len(d):
        name = d[pos:pos + 4].decode('latin-1')
        if name in ('ID3 ', 'id3 '):
            print('-\tid3 chunk after ' + (names[-1] if names else ''))
        else:
            names.append(name)
        name, n = d[pos:pos + 4], int.from_bytes(d[pos + 4:pos + 8], order)
        data = d[pos + 8:pos + 8 + n]
        if name in (b'ID3 ', b'id3 '):
            frames(data)
        elif name == b'LIST' and data[:4] == b'INFO':
            i = 4
            while i + 8 <= len(data):
                cid, m = data[i:i + 4].decode('latin-1'), int.from_bytes(data[i + 4:i + 8], 'little')
                print(FIELDS.get(cid, '-') + '\tinfo %s %s' % (cid, data[i + 8:i + 8 + m].hex()))
                i += 8 + m + (m & 1)
        pos += 8 + n
        if pos & 1 and (d[pos:pos + 1] == b'\0' or all(32 <= c < 128 for c in d[pos + 1:pos + 5])):
            pos += 1
    print('-\tchunks ' + ','.join(names))
elif d[4:8] == b'ftyp':
    def walk(start, end, path):
        for t, pos, n in atoms(d, start, end):
            if path == ['moov', 'udta', 'meta', 'ilst']:
                print(FIELDS.get(t, '-') + '\titem ' + d[pos:pos + n].hex())
            elif t in ('moov', 'udta', 'meta', 'ilst'):
                walk(pos + (12 if t == 'meta' else 8), pos + n, path + [t])
    walk(0, len(d), [])
elif d[:4] != b'\x30\x26\xb2\x75':
    if d[:3] == b'ID3':
        frames(d)
    end = len(d)
    if d[end - 128:end - 125] == b'TAG':
        t = d[end - 128:]
        v11 = t[125] == 0 and t[126] != 0
        for name, a, b in (('title', 3, 33), ('artist', 33, 63), ('album', 63, 93), ('year', 93, 97),
                           ('comment', 97, 125), ('genre', 127, 128)):
            print(name + '\tid3v1 %s %s' % (name, t[a:b].hex()))
        if v11:
            print('track\tid3v1 track %02x' % t[126])
        elif t[125:127].strip(b' \0'):
            # The end of a comment of 30 characters, where version 1.1
            # keeps its track number.
            print('comment\tid3v1 comment-end %s' % t[125:127].hex())
        end -= 128
    while True:
        if d[end - 32:end - 24] == b'APETAGEX':
            size, count = int.from_bytes(d[end - 20:end - 16], 'little'), int.from_bytes(d[end - 16:end - 12], 'little')
            pos = end - size
            for i in range(count):
                n, flags = int.from_bytes(d[pos:pos + 4], 'little'), d[pos + 4:pos + 8]
                nul = d.index(b'\0', pos + 8)
                key = d[pos + 8:nul].decode()
                print(FIELDS.get(key.upper(), '-') + '\tape %s %s %s' % (key, flags.hex(), d[nul + 1:nul + 1 + n].hex()))
                pos = nul + 1 + n
            end -= size + (32 if int.from_bytes(d[end - 12:end - 8], 'little') & 0x80000000 else 0)
        elif d[end - 9:end] == b'LYRICS200':
            n = int(d[end - 15:end - 9])
            print('-\tlyrics3 ' + d[end - 15 - n:end].hex())
            end -= 15 + n
        else:
            break
from mutagen.id3 import ID3
from mutagen.mp4 import MP4
if d[:4] == b'\x30\x26\xb2\x75':
    from mutagen.asf import ASF
    for k, v in ASF(p).tags:
        print(FIELDS.get(k, '-') + '\tasf %s %r' % (k, v))
elif d[4:8] == b'ftyp':
    for k, v in sorted((MP4(p).tags or {}).items()):
        print(FIELDS.get(k, '-') + '\tmutagen %s %r' % (k, v))
else:
    t = None
    if d[:3] == b'ID3':
        t = ID3(p, translate=False, load_v1=False)
    elif d[:4] in (b'RIFF', b'FORM'):
        from mutagen.wave import WAVE
        from mutagen.aiff import AIFF
        t = (WAVE if d[:4] == b'RIFF' else AIFF)(p).tags
    for f in (t.values() if t else []):
        fid = f.FrameID
        data = f._writeData() if fid in ('COMM', 'COM') else b''
        print(field(fid, data) + '\tmutagen %s %r' % (f.HashKey, f))
)";

} // namespace

std::string
proof_file(const tmpdir &dir, const std::string &kind, const std::string &suffix)
{
	const std::string plain = dir / ("plain" + suffix);
	if (!exists(plain)) {
		if (suffix == ".mp3") {
			make_mp3(plain); // lame leaves no tag; the audio alone
		} else if (suffix == ".wav") {
			make_wav(plain);
		} else {
			const char *codec = suffix == ".m4a" ? "aac" : suffix == ".wma" ? "wmav2" : "pcm_s16be";
			run_result r = run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
			    "sine=frequency=440:duration=0.3", "-c:a", codec, plain});
			EXPECT_EQ(r.status, 0) << r.err;
		}
	}
	const std::string f = dir / ("source-" + kind + suffix);
	python(make_script, {kind, plain, f});
	return f;
}

std::vector<std::string>
tag_items(const std::string &path)
{
	std::vector<std::string> items;
	std::istringstream ss(python(dump_script, {path}).out);
	for (std::string line; std::getline(ss, line);)
		items.push_back(line);
	// The order of MP4 items is TagLib's; what they hold is not.
	if (read_file(path).compare(4, 4, "ftyp") == 0)
		std::sort(items.begin(), items.end());
	return items;
}

std::vector<std::string>
kept_items(const std::vector<std::string> &items, const std::set<std::string> &changed)
{
	std::vector<std::string> out;
	for (const std::string &line : items) {
		if (!changed.count(line.substr(0, line.find('\t'))))
			out.push_back(line);
	}
	return out;
}

void
expect_kept(const std::vector<std::string> &items, const std::vector<std::string> &before,
    const std::set<std::string> &changed)
{
	std::vector<std::string> now = kept_items(items, changed), was = kept_items(before, changed);
	// An ID3 chunk may be added to a file that had none, or go with its
	// last frame; where it stays, it stays in its place.
	auto id3_chunk = [](const std::string &line) { return line.rfind("-\tid3 chunk ", 0) == 0; };
	if (std::none_of(was.begin(), was.end(), id3_chunk) || std::none_of(now.begin(), now.end(), id3_chunk)) {
		now.erase(std::remove_if(now.begin(), now.end(), id3_chunk), now.end());
		was.erase(std::remove_if(was.begin(), was.end(), id3_chunk), was.end());
	}
	EXPECT_EQ(now, was);
}

namespace {

std::string
ffmpeg_out(const std::vector<std::string> &argv)
{
	run_result r = run(argv);
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

} // namespace

std::string
audio_md5(const std::string &path)
{
	return ffmpeg_out({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"});
}

std::string
packets_md5(const std::string &path)
{
	return ffmpeg_out({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-c", "copy", "-f", "md5", "-"});
}

std::string
frame_count(const std::string &path)
{
	return ffmpeg_out({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "a:0", "-show_entries",
	    "stream=nb_read_frames", "-of", "csv=p=0", path});
}

std::string
seek_md5(const std::string &path, const std::string &at)
{
	return ffmpeg_out({"ffmpeg", "-v", "error", "-use_mfra_for", "pts", "-ss", at, "-i", path, "-map", "0:a",
	    "-f", "md5", "-"});
}

} // namespace wt
