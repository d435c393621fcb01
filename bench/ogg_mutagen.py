"""Prints the comments of Ogg/Vorbis files (Ogg/Opus files after --opus)
with mutagen, one file after the other, as a yardstick for wembrix's print
action.  With set:KEY=VALUE before the files it sets that tag on every file
instead, as mutagen saves: in place, without flushing anything to the
disk."""
import sys

from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

kind, paths = OggVorbis, sys.argv[1:]
if paths[:1] == ["--opus"]:
    kind, paths = OggOpus, paths[1:]
if paths and paths[0].startswith("set:"):
    key, value = paths[0][4:].split("=", 1)
    for path in paths[1:]:
        f = kind(path)
        f[key] = [value]
        f.save()
    sys.exit(0)

for path in paths:
    print("# " + path)
    print("---")
    for key, value in kind(path).tags:
        print("- %s: %s" % (key.lower(), value))
    print()
