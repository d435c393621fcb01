#!/bin/sh
# The memory a walk of a directory tree (-r) takes, as GNU time's maximum
# resident set size: it must stay flat however many files the tree holds,
# since the walk holds only the names of the directories on its current
# path, never a list of the whole tree.
#	bench/walk_memory.sh [wembrix binary] [real files]
# Measures trees of 1,000 and 100,000 files no backend opens (covers and
# the like, which the walk passes over), as 1,000 per directory and all in
# one directory, then a tree of real small FLAC, Ogg/Vorbis and MP3 files,
# printed, previewed (-n) and written.
set -eu
. "$(dirname "$0")/lib.sh"
bin=$(realpath "${1:-build/wembrix}")
real=${2:-3000}
bench_need flac flac
bench_need oggenc vorbis-tools
bench_need lame lame
[ -x /usr/bin/time ] || bench_need /usr/bin/time time
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# skipped DIR TOTAL PER_DIR: TOTAL small files no backend opens, PER_DIR to
# a directory, two levels deep.
skipped() {
	_d=0 _left=$2
	while [ "$_left" -gt 0 ]; do
		_sub="$1/$(printf %03d $((_d / 10)))/$(printf %03d "$_d")"
		mkdir -p "$_sub"
		_n=$(( _left < $3 ? _left : $3 ))
		(cd "$_sub" && seq -f 'cover%06g.jpg' 1 "$_n" | xargs touch)
		_left=$((_left - _n))
		_d=$((_d + 1))
	done
}

# rss LABEL COMMAND...: the maximum resident set size of the command, in KiB.
rss() {
	_label=$1
	shift
	/usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>"$work/err" || {
		echo "bench: $_label failed:" >&2
		cat "$work/err" >&2
		exit 1
	}
	printf '%-46s %8s KiB\n' "$_label" "$(cat "$work/rss")"
}

skipped "$work/k1" 1000 1000
skipped "$work/k100" 100000 1000
skipped "$work/flat1" 1000 1000000
skipped "$work/flat100" 100000 1000000

mkdir "$work/seeds"
bench_flac_seed "$work/seeds/a.flac"
bench_ogg_seed "$work/seeds/b.ogg"
flac --silent -d -o "$work/seeds/tone.wav" "$work/seeds/a.flac"
lame --quiet --tt Song --ta Band "$work/seeds/tone.wav" "$work/seeds/c.mp3"
rm "$work/seeds/tone.wav"
# Real files, 300 to a directory.
bench_copies "$work/one" 300 "$work/seeds/a.flac" "$work/seeds/b.ogg" "$work/seeds/c.mp3"
mkdir "$work/real"
dirs=0
while [ $((dirs * 300)) -lt "$real" ]; do
	cp -r "$work/one" "$work/real/$(printf %04d "$dirs")"
	dirs=$((dirs + 1))
done
real=$((dirs * 300))

echo "max resident set size, $(basename "$bin") -r:"
rss "1,000 skipped files (1,000 a directory)" "$bin" -r "$work/k1"
rss "100,000 skipped files (1,000 a directory)" "$bin" -r "$work/k100"
rss "1,000 skipped files in one directory" "$bin" -r "$work/flat1"
rss "100,000 skipped files in one directory" "$bin" -r "$work/flat100"
rss "$real real files, printed" "$bin" -r "$work/real"
rss "$real real files, previewed (-n set)" "$bin" -n -r set:album=Other "$work/real"
rss "$real real files, written (set)" "$bin" -r set:album=Other "$work/real"
rss "300 real files, written (set)" "$bin" -r set:album=Again "$work/one"
