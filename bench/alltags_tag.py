# Gives MP3 files the tags a tagged library holds (MusicBrainz Picard's
# kind): the common text frames, a track and disc total, several artists,
# MusicBrainz ids, ReplayGain, a described comment and a small picture.
#
#   python3 bench/alltags_tag.py FILE...
import sys
from mutagen.id3 import (ID3, TIT2, TPE1, TALB, TPE2, TDRC, TRCK, TPOS, TCOM, TCON, COMM, TBPM,
                         TSRC, TPUB, TMED, TSOP, TXXX, UFID, APIC)

for i, path in enumerate(sys.argv[1:]):
    t = ID3(path)
    for f in (TIT2(encoding=3, text=['Title %d' % i]), TPE1(encoding=3, text=['Artist %d' % i, 'Guest']),
              TALB(encoding=3, text=['Album']), TPE2(encoding=3, text=['Album Artist']),
              TDRC(encoding=3, text=['2004-05-06']), TRCK(encoding=3, text=['%d/12' % (i % 12 + 1)]),
              TPOS(encoding=3, text=['1/2']), TCOM(encoding=3, text=['Composer']),
              TCON(encoding=3, text=['Jazz']), COMM(encoding=3, lang='eng', desc='', text=['comment']),
              COMM(encoding=3, lang='eng', desc='note', text=['a described comment']),
              TBPM(encoding=3, text=['120']), TSRC(encoding=3, text=['XX0000000%03d' % (i % 1000)]),
              TPUB(encoding=3, text=['Label']), TMED(encoding=3, text=['CD']),
              TSOP(encoding=3, text=['Artist %d, The' % i]),
              UFID(owner='http://musicbrainz.org', data=b'0f3ac2d2-1c41-4f7b-9a0e-%012d' % i),
              TXXX(encoding=3, desc='MusicBrainz Album Id', text=['9d1e7a3c-4b2f-4f11-8c5e-000000000001']),
              TXXX(encoding=3, desc='MusicBrainz Artist Id', text=['5b11f4ce-a62d-471e-81fc-a69a8278c7da']),
              TXXX(encoding=3, desc='MusicBrainz Album Artist Id', text=['89ad4ac3-39f7-470e-963a-56509c546377']),
              TXXX(encoding=3, desc='REPLAYGAIN_TRACK_GAIN', text=['-6.50 dB']),
              TXXX(encoding=3, desc='REPLAYGAIN_TRACK_PEAK', text=['0.988']),
              TXXX(encoding=3, desc='CATALOGNUMBER', text=['CAT-%d' % i]),
              APIC(encoding=0, mime='image/png', type=3, desc='front', data=b'\x89PNG\r\n\x1a\n' + bytes(200))):
        t.add(f)
    t.save(path)
