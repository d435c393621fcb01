"""Prints the comments of Ogg/Vorbis files (Ogg/Opus files after --opus)
with mutagen, one file after the other, as a yardstick for wembrix's print
action."""
import sys

from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

kind, paths = OggVorbis, sys.argv[1:]
if paths[:1] == ["--opus"]:
    kind, paths = OggOpus, paths[1:]
for path in paths:
    print("# " + path)
    print("---")
    for key, value in kind(path).tags:
        print("- %s: %s" % (key.lower(), value))
    print()
