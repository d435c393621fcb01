#include "w_library.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <sys/stat.h>

#include "w_oggsupport.h"
#include "w_tagtools.h"
#include "w_testsupport.h"

namespace rt {

namespace {

namespace fs = std::filesystem;

// Tags every file named after the first two arguments (the directory and
// the kind): the fields a MusicBrainz-style tagger writes, each file its
// own values.  ID3v2.3 tags are saved as such taggers save them, dates in
// TYER and TDAT, several values joined by a slash.
const char tag_script[] = R"(
import sys, os
from mutagen.id3 import (ID3, TIT2, TPE1, TALB, TPE2, TDRC, TDOR, TRCK, TPOS, TCON, TCOM,
    TPUB, TMED, TSRC, TSOP, TXXX, UFID, COMM, APIC)
from mutagen.mp4 import MP4, MP4FreeForm, MP4Cover
from mutagen.wave import WAVE
from mutagen.flac import FLAC, Picture
from mutagen.oggvorbis import OggVorbis
from mutagen.oggopus import OggOpus
import base64
d, kind = sys.argv[1], sys.argv[2]
png = b'\x89PNG\r\n\x1a\n' + bytes(range(64))
def fields(i):
    f = [
        ('title', ['Track %d' % i]),
        ('artist', ['Artist %d' % (i % 7)] + (['Guest Ä'] if i % 3 == 0 else [])),
        ('album', ['Album %d' % (i // 12)]),
        ('albumartist', ['Artist %d' % (i // 12)]),
        ('date', ['2019-06-21' if i % 2 else '2019']),
        ('originaldate', ['2001-02-03' if i % 4 else '2001']),
        ('tracknumber', [str(i % 12 + 1)]), ('tracktotal', ['12']),
        ('discnumber', [str(i % 2 + 1)]), ('disctotal', ['2']),
        ('genre', ['Rock', 'Pop'] if i % 2 else ['Trip-Hop']),
        ('composer', ['Composer %d' % i]),
        ('label', ['Label']), ('media', ['CD']), ('isrc', ['GBAAA%07d' % i]),
        ('artistsort', ['Artist %d, The' % (i % 7)]),
        ('barcode', ['0123456789%03d' % i]), ('catalognumber', ['CAT-%d' % i]),
        ('artists', ['Artist %d' % (i % 7), 'Guest Ä']),
        ('releasestatus', ['official']), ('releasetype', ['album']), ('releasecountry', ['GB']),
        ('script', ['Latn']),
        ('musicbrainz_albumid', ['a-%d' % (i // 12)]), ('musicbrainz_artistid', ['r-%d' % (i % 7)]),
        ('musicbrainz_releasegroupid', ['g-%d' % (i // 12)]), ('musicbrainz_trackid', ['t-%d' % i]),
        ('acoustid_id', ['ac-%d' % i]),
        ('replaygain_track_gain', ['-%d.50 dB' % (i % 9)]),
        ('My Custom Tag', ['custom %d' % i]),
        ('comment', ['comment %d' % i]),
    ]
    return f
txxx = {'barcode': 'BARCODE', 'catalognumber': 'CATALOGNUMBER', 'artists': 'ARTISTS',
    'releasestatus': 'MusicBrainz Album Status', 'releasetype': 'MusicBrainz Album Type',
    'releasecountry': 'MusicBrainz Album Release Country', 'script': 'SCRIPT',
    'musicbrainz_albumid': 'MusicBrainz Album Id', 'musicbrainz_artistid': 'MusicBrainz Artist Id',
    'musicbrainz_releasegroupid': 'MusicBrainz Release Group Id', 'acoustid_id': 'Acoustid Id',
    'replaygain_track_gain': 'REPLAYGAIN_TRACK_GAIN', 'My Custom Tag': 'My Custom Tag'}
id3 = {'title': TIT2, 'artist': TPE1, 'album': TALB, 'albumartist': TPE2, 'date': TDRC,
    'originaldate': TDOR, 'genre': TCON, 'composer': TCOM, 'label': TPUB, 'media': TMED,
    'isrc': TSRC, 'artistsort': TSOP}
mp4 = {'title': '\xa9nam', 'artist': '\xa9ART', 'album': '\xa9alb', 'albumartist': 'aART',
    'date': '\xa9day', 'genre': '\xa9gen', 'composer': '\xa9wrt', 'comment': '\xa9cmt',
    'artistsort': 'soar'}
for n, name in enumerate(sys.argv[3:]):
    i = int(name.split('.')[0][1:])
    p = os.path.join(d, name)
    f = dict(fields(i))
    if kind in ('mp3v23', 'mp3v24', 'wav'):
        t = ID3()
        for k, v in fields(i):
            if k in id3:
                t.add(id3[k](encoding=3, text=v))
            elif k in txxx:
                t.add(TXXX(encoding=3, desc=txxx[k], text=v))
        t.add(TRCK(encoding=3, text=[f['tracknumber'][0] + '/12']))
        t.add(TPOS(encoding=3, text=[f['discnumber'][0] + '/2']))
        t.add(UFID(owner='http://musicbrainz.org', data=f['musicbrainz_trackid'][0].encode()))
        t.add(COMM(encoding=3, lang='eng', desc='', text=f['comment']))
        if i % 3 == 1:
            t.add(COMM(encoding=3, lang='deu', desc='', text=['Kommentar %d' % i]))
        t.add(COMM(encoding=3, lang='eng', desc='iTunNORM', text=[' 0000 0001']))
        t.add(APIC(encoding=0, mime='image/png', type=3, desc='', data=png))
        v23 = kind == 'mp3v23' or (kind == 'wav' and i % 2)
        if v23:
            t.update_to_v23()
        if kind == 'wav':
            w = WAVE(p)
            w.add_tags()
            for fr in t.values():
                w.tags.add(fr)
            w.save(v2_version=3 if v23 else 4)
        else:
            t.save(p, v2_version=3 if v23 else 4, v1=2 if i % 5 == 0 else 0)
    elif kind == 'm4a':
        m = MP4(p)
        if m.tags is None:
            m.add_tags()
        for k, v in fields(i):
            if k in mp4:
                m[mp4[k]] = v
            elif k in txxx or k in ('label', 'media', 'isrc', 'musicbrainz_trackid'):
                name = txxx.get(k, {'label': 'LABEL', 'media': 'MEDIA', 'isrc': 'ISRC',
                    'musicbrainz_trackid': 'MusicBrainz Track Id'}.get(k))
                m['----:com.apple.iTunes:' + name] = [MP4FreeForm(x.encode()) for x in v]
        m['trkn'] = [(int(f['tracknumber'][0]), 12)]
        m['disk'] = [(int(f['discnumber'][0]), 2)]
        m['covr'] = [MP4Cover(png, MP4Cover.FORMAT_PNG)]
        m.save()
    else:
        a = {'flac': FLAC, 'vorbis': OggVorbis, 'opus': OggOpus}[kind](p)
        entries = []
        for k, v in fields(i):
            name = k.upper() if k != 'My Custom Tag' else 'MY CUSTOM TAG'
            entries += [(name, x) for x in v]
        if i % 3 == 1:
            entries.append(('COMMENT', 'Kommentar %d' % i))
        entries.append(('TOTALTRACKS', '12'))
        pic = Picture()
        pic.type, pic.mime, pic.data = 3, 'image/png', png
        if kind == 'flac':
            a.add_picture(pic)
        else:
            entries.append(('METADATA_BLOCK_PICTURE', base64.b64encode(pic.write()).decode()))
        if a.tags is None:
            a.add_tags()
        a.tags.clear()
        a.tags.extend(entries)
        a.save()
)";

// What mutagen sees; see seen().
const char seen_script[] = R"(
import sys, os, json, hashlib, struct
from mutagen.id3 import ID3, ID3NoHeaderError, ParseID3v1
from mutagen.mp4 import MP4, MP4FreeForm, MP4Cover
from mutagen.wave import WAVE
from mutagen.flac import FLAC
from mutagen.oggvorbis import OggVorbis
from mutagen.oggopus import OggOpus
d = sys.argv[1]
def h(b):
    return hashlib.sha1(b).hexdigest()[:16]
def frames(t):
    out = ['version %d.%d' % t.version[:2]]
    for f in t.values():
        x = {'id': f.FrameID}
        for a in ('lang', 'desc', 'owner', 'mime', 'url', 'email'):
            if hasattr(f, a):
                x[a] = str(getattr(f, a))
        for a in ('rating', 'count'):
            if hasattr(f, a):
                x[a] = int(getattr(f, a))
        if hasattr(f, 'type'):
            x['type'] = int(f.type)
        if hasattr(f, 'text'):
            x['text'] = [str(v) for v in f.text]
        if hasattr(f, 'data'):
            x['data'] = h(f.data)
        out.append(json.dumps(x, sort_keys=True, ensure_ascii=False))
    return sorted(out)
def info(p):
    b = open(p, 'rb').read()
    out, pos = [], 12
    while pos + 8 <= len(b):
        cid, n = b[pos:pos + 4], struct.unpack('<I', b[pos + 4:pos + 8])[0]
        if cid == b'LIST' and b[pos + 8:pos + 12] == b'INFO':
            q = pos + 12
            while q + 8 <= pos + 8 + n:
                sid, m = b[q:q + 4], struct.unpack('<I', b[q + 4:q + 8])[0]
                out.append('INFO %s=%s' % (sid.decode('latin-1'), b[q + 8:q + 8 + m].rstrip(b'\0').decode('latin-1')))
                q += 8 + m + (m & 1)
        pos += 8 + n + (n & 1)
    return out
def v1(p):
    # Its fields follow the ID3v2 tag's first values, by rules of each
    # writer of its own: the tag is there, and its plain fields.
    b = open(p, 'rb').read()
    if len(b) < 128 or b[-128:-125] != b'TAG':
        return []
    return ['v1'] + sorted('v1 %s=%s' % (k, v) for k, v in ParseID3v1(b[-128:]).items()
                           if k in ('TIT2', 'TALB', 'TDRC', 'TRCK', 'TCON'))
def vorbis(a):
    return ['%s=%s' % (k.lower(), v) for k, v in (a.tags or [])]
for name in sys.argv[2:]:
    p = os.path.join(d, name)
    if name.endswith('.mp3'):
        try:
            s = frames(ID3(p, translate=False, load_v1=False))
        except ID3NoHeaderError:
            s = []
        s += v1(p)
    elif name.endswith('.wav'):
        t = WAVE(p).tags
        s = (frames(t) if t is not None else []) + info(p)
    elif name.endswith('.m4a'):
        s = []
        for k, v in sorted((MP4(p).tags or {}).items()):
            vs = []
            for x in v:
                if isinstance(x, MP4FreeForm):
                    vs.append('%d:%s' % (x.dataformat, bytes(x).decode('utf-8', 'replace')))
                elif isinstance(x, MP4Cover):
                    vs.append('cover %d %s' % (x.imageformat, h(bytes(x))))
                else:
                    vs.append(repr(x))
            s.append('%s %s' % (k, json.dumps(vs, ensure_ascii=False)))
    elif name.endswith('.flac'):
        a = FLAC(p)
        s = vorbis(a) + ['picture %d %s %s %s' % (x.type, x.mime, x.desc, h(x.data)) for x in a.pictures]
    else:
        s = vorbis(OggOpus(p) if name.endswith('.opus') else OggVorbis(p))
    print(name + '\t' + json.dumps(s, ensure_ascii=False))
)";

// One encoded file of the kind, untagged.
void
make_source(const std::string &path, kind k)
{
	switch (k) {
	case kind::mp3v23:
	case kind::mp3v24:
		wt::make_mp3(path, {"--id3v2-only"});
		return;
	case kind::wav:
		wt::make_wav(path, 800);
		return;
	case kind::flac:
		wt::make_flac(path, {}, {true, 1024, 1024});
		return;
	case kind::vorbis:
		wt::make_vorbis(path, {});
		return;
	case kind::m4a:
	case kind::opus: {
		const std::string wav = path + ".wav";
		wt::make_wav(wav, 800);
		wt::run_result r = k == kind::m4a
		    ? wt::run({"ffmpeg", "-v", "error", "-i", wav, "-c:a", "aac", "-b:a", "16k", "-y", path})
		    : wt::run({"opusenc", "--quiet", wav, path});
		std::remove(wav.c_str());
		ASSERT_EQ(r.status, 0) << r.err;
		return;
	}
	}
}

} // namespace

const char *
extension(kind k)
{
	switch (k) {
	case kind::mp3v23:
	case kind::mp3v24: return "mp3";
	case kind::m4a: return "m4a";
	case kind::wav: return "wav";
	case kind::flac: return "flac";
	case kind::vorbis: return "ogg";
	case kind::opus: return "opus";
	}
	return "";
}

std::vector<std::string>
make_library(const std::string &dir, kind k, unsigned count, unsigned first)
{
	static const char *const names[] = {"mp3v23", "mp3v24", "m4a", "wav", "flac", "vorbis", "opus"};
	const std::string source = dir + "/source." + extension(k);
	make_source(source, k);
	std::vector<std::string> files;
	std::vector<std::string> args = {dir, names[static_cast<int>(k)]};
	for (unsigned i = first; i < first + count; i++) {
		files.push_back("t" + std::to_string(i) + "." + extension(k));
		fs::copy_file(source, dir + "/" + files.back());
		args.push_back(files.back());
	}
	fs::remove(source);
	wt::python(tag_script, args);
	return files;
}

std::map<std::string, std::string>
seen(const std::string &dir, const std::vector<std::string> &files)
{
	std::vector<std::string> args = {dir};
	args.insert(args.end(), files.begin(), files.end());
	std::map<std::string, std::string> out;
	std::istringstream ss(wt::python(seen_script, args).out);
	for (std::string line; std::getline(ss, line);) {
		const std::size_t tab = line.find('\t');
		out[line.substr(0, tab)] = line.substr(tab + 1);
	}
	EXPECT_EQ(out.size(), files.size());
	return out;
}

std::string
differences(const std::map<std::string, std::string> &before, const std::map<std::string, std::string> &after)
{
	std::string out;
	unsigned n = 0;
	for (const auto &[file, was] : before) {
		auto it = after.find(file);
		const std::string now = it != after.end() ? it->second : "(gone)";
		if (now == was)
			continue;
		if (++n <= 3) {
			std::size_t at = 0;
			while (at < was.size() && at < now.size() && was[at] == now[at])
				at++;
			at = at > 60 ? at - 60 : 0;
			out += file + ": was ..." + was.substr(at, 200) + "\n    now ..." + now.substr(at, 200) + "\n";
		}
	}
	if (n > 0)
		out = std::to_string(n) + " of " + std::to_string(before.size()) + " files differ\n" + out;
	return out;
}

void
age(const std::string &dir, const std::vector<std::string> &files)
{
	for (const std::string &f : files)
		fs::last_write_time(dir + "/" + f, fs::file_time_type::clock::now() - std::chrono::hours(24 * 365));
}

std::map<std::string, std::string>
fingerprints(const std::string &dir, const std::vector<std::string> &files)
{
	std::map<std::string, std::string> out;
	for (const std::string &f : files) {
		struct stat st;
		EXPECT_EQ(stat((dir + "/" + f).c_str(), &st), 0) << f;
		out[f] = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
		    wt::read_file(dir + "/" + f);
	}
	return out;
}

} // namespace rt
