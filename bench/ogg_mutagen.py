"""Prints the comments of Ogg/Vorbis files with mutagen, one file after the
other, as a yardstick for wembrix's print action."""
import sys

from mutagen.oggvorbis import OggVorbis

for path in sys.argv[1:]:
    print("# " + path)
    print("---")
    for key, value in OggVorbis(path).tags:
        print("- %s: %s" % (key.lower(), value))
    print()
