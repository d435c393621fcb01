#!/bin/sh
# Sets one tag on many small MP3 files in one command, side by side with
# `mid3v2 -a` on the same files; then prints their tags, side by side with
# `id3v2 -l`.
#
#   bench/taglib.sh [WEMBRIX] [COUNT]
#
# WEMBRIX defaults to build/wembrix, COUNT to 1000.  Needs lame, id3v2,
# mid3v2 (python3-mutagen) and hyperfine (installed with apt-get when
# missing).
#
# The files are tagged the way a tagger leaves them, with padding in the
# ID3v2 tag, so that a new artist fits and both tools write in place.  A
# last, slower run sets the tag on files whose tag has no room left: every
# file is then rebuilt beside the old one and flushed to the disk before it
# takes its place, where mid3v2 moves the audio within the file.
set -eu
. "$(dirname "$0")/lib.sh"

here=$(cd "$(dirname "$0")/.." && pwd)
wembrix=$(realpath "${1:-$here/build/wembrix}")
count=${2:-1000}

[ -x "$wembrix" ] || { echo "taglib.sh: $wembrix: not built" >&2; exit 1; }

need=""
command -v hyperfine >/dev/null || need="$need hyperfine"
command -v lame >/dev/null || need="$need lame"
command -v id3v2 >/dev/null || need="$need id3v2"
command -v mid3v2 >/dev/null || need="$need python3-mutagen"
if [ -n "$need" ]; then
	export DEBIAN_FRONTEND=noninteractive
	apt-get update -qq
	# shellcheck disable=SC2086
	apt-get install -y -qq --no-install-recommends $need >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/wembrix-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

bench_mp3_seeds "$work"
bench_copies "$work/tight" "$count" "$work"/v[0-9].mp3
bench_copies "$work/padded" "$count" "$work"/p[0-9].mp3
rm -f "$work"/v*.mp3 "$work"/p*.mp3

# The ratio of the two mean times in a hyperfine JSON export, then of the
# processor time they took (user and system), which a machine busy with
# other work disturbs less.
ratio() {
	python3 -c 'import json, sys
r = json.load(open(sys.argv[1]))["results"]
cpu = [x["user"] + x["system"] for x in r]
print("%s: %.3f s; %s: %.3f s; ratio %.2f" % (r[0]["command"], r[0]["mean"],
      r[1]["command"], r[1]["mean"], r[1]["mean"] / r[0]["mean"]))
print("processor time: %.3f s and %.3f s; ratio %.2f" % (cpu[0], cpu[1], cpu[1] / cpu[0]))' "$1"
}

cd "$work"
# Same files, same output destination; both must succeed on every file.
cp -r padded files
"$wembrix" set:artist=X files/*.mp3
mid3v2 -a X files/*.mp3
"$wembrix" files/*.mp3 >/dev/null
id3v2 -l files/*.mp3 >/dev/null
echo "$count files of $(wc -c <padded/00000.mp3) bytes each; $("$wembrix" backend padded/00000.mp3)"
"$wembrix" padded/00000.mp3

# The copies are on the disk before a run starts, so that their writeback
# is not timed as part of it.
fresh='rm -rf files && cp -r padded files && sync'
hyperfine --warmup 2 --min-runs 10 --prepare "$fresh" --export-json set.json \
	--command-name "wembrix set:artist=X" "'$wembrix' set:artist=X files/*.mp3" \
	--command-name "mid3v2 -a X" "mid3v2 -a X files/*.mp3"
ratio set.json

hyperfine --warmup 3 --min-runs 10 --export-json print.json \
	--command-name "wembrix (print)" "'$wembrix' padded/*.mp3 >/dev/null" \
	--command-name "id3v2 -l" "id3v2 -l padded/*.mp3 >/dev/null"
ratio print.json

fresh='rm -rf files && cp -r tight files && sync'
long="An artist name longer than any before"
hyperfine --runs 3 --prepare "$fresh" --export-json grow.json \
	--command-name "wembrix set:artist (no room)" "'$wembrix' 'set:artist=$long' files/*.mp3" \
	--command-name "mid3v2 -a (no room)" "mid3v2 -a '$long' files/*.mp3"
ratio grow.json
