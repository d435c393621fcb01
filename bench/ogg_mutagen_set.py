"""Sets the artist of Ogg/Vorbis files with mutagen, one file after the
other, as a yardstick for `wembrix set:artist=X': mutagen edits each file in
place and never flushes it to the disk."""
import sys

from mutagen.oggvorbis import OggVorbis

value = sys.argv[1]
for path in sys.argv[2:]:
    f = OggVorbis(path)
    f["artist"] = [value]
    f.save()
