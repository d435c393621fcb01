#!/bin/sh
# Prints every tag of many small MP3 files in one command with --all-tags,
# side by side with `mid3v2 -l` and `exiftool -json` on the same files.
#
#   bench/alltags.sh [WEMBRIX] [COUNT]
#
# WEMBRIX defaults to build/wembrix, COUNT to 1000.  Needs lame, mid3v2
# (python3-mutagen), exiftool and hyperfine (installed with apt-get when
# missing).  The files carry the two dozen frames of a tagged library:
# several artists, totals, MusicBrainz ids, ReplayGain, a picture.
set -eu
. "$(dirname "$0")/lib.sh"

here=$(cd "$(dirname "$0")/.." && pwd)
wembrix=$(realpath "${1:-$here/build/wembrix}")
count=${2:-1000}

[ -x "$wembrix" ] || { echo "alltags.sh: $wembrix: not built" >&2; exit 1; }

bench_need hyperfine hyperfine
bench_need lame lame
bench_need mid3v2 python3-mutagen
bench_need exiftool libimage-exiftool-perl

work=$(mktemp -d "${TMPDIR:-/tmp}/wembrix-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

bench_mp3_seeds "$work"
/usr/bin/python3 "$bench_here/alltags_tag.py" "$work"/p[0-9].mp3
bench_copies "$work/files" "$count" "$work"/p[0-9].mp3
rm -f "$work"/v*.mp3 "$work"/p*.mp3

cd "$work"
# All three must read every file.
"$wembrix" --all-tags files/*.mp3 >/dev/null
mid3v2 -l files/*.mp3 >/dev/null
exiftool -json files/*.mp3 >/dev/null
echo "$count files of $(wc -c <files/00000.mp3) bytes each; load: $(uptime)"
"$wembrix" --all-tags files/00000.mp3

hyperfine --warmup 2 --min-runs 10 --export-json print.json \
	--command-name "wembrix --all-tags" "'$wembrix' --all-tags files/*.mp3 >/dev/null" \
	--command-name "mid3v2 -l" "mid3v2 -l files/*.mp3 >/dev/null" \
	--command-name "exiftool -json" "exiftool -json files/*.mp3 >/dev/null"
/usr/bin/python3 -c 'import json, sys
r = json.load(open(sys.argv[1]))["results"]
for peer, target in ((r[1], 3), (r[2], 5)):
    ratio = peer["mean"] / r[0]["mean"]
    print("%s: %.3f s; %s: %.3f s; ratio %.2f (at least %d: %s)" % (r[0]["command"], r[0]["mean"],
          peer["command"], peer["mean"], ratio, target, "met" if ratio >= target else "NOT met"))' print.json
echo "load after: $(uptime)"
