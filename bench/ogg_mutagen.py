"""Prints the comments of Ogg/Vorbis files with mutagen, one file after the
other, as a yardstick for wembrix's print action.  With a first argument
set:KEY=VALUE it sets that tag on every file instead, as mutagen saves:
in place, without flushing anything to the disk."""
import sys

from mutagen.oggvorbis import OggVorbis

paths = sys.argv[1:]
if paths and paths[0].startswith("set:"):
    key, value = paths[0][4:].split("=", 1)
    for path in paths[1:]:
        f = OggVorbis(path)
        f[key] = [value]
        f.save()
    sys.exit(0)

for path in paths:
    print("# " + path)
    print("---")
    for key, value in OggVorbis(path).tags:
        print("- %s: %s" % (key.lower(), value))
    print()
