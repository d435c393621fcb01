#!/bin/sh
# Setting one tag on 1000 small Ogg/Vorbis files, whose every change rewrites
# the whole file through a copy that must reach the disk before it takes the
# file's name: wembrix before and after its copies were flushed in groups,
# against one `vorbiscomment -d ARTIST -t ARTIST=X' per file and against a
# mutagen script (in place, never flushed).
#
#   bench/flush.sh [FILES]          (default 1000)
#
# Each replacement also frees the old file; on a file system mounted with
# `discard' that alone can cost milliseconds per file (the mount options are
# printed), for every tool but mutagen, which writes in place.
#
# Environment: BUILD (build directory, default build), BEFORE (a wembrix
# binary to compare with; default: built here from git revision BEFORE_REF,
# default main), BENCH_DIR (scratch directory on the disk to measure,
# default under /var/tmp), RUNS (default 5).
set -eu
. "$(dirname "$0")/lib.sh"

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
count=${1:-1000}
build=${BUILD:-$root/build}
runs=${RUNS:-5}
bin=$build/wembrix

bench_need hyperfine hyperfine
bench_need vorbiscomment vorbis-tools
bench_need oggenc vorbis-tools
/usr/bin/python3 -c 'import mutagen' 2>/dev/null || bench_need python3-mutagen python3-mutagen

bench_build "$bin" "$build"

work=${BENCH_DIR:-$(mktemp -d /var/tmp/wembrix-flush.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"

before=${BEFORE:-}
if [ -z "$before" ]; then
	ref=${BEFORE_REF:-main}
	echo "== building wembrix at $ref for comparison"
	mkdir src-before
	git -C "$root" archive "$ref" | tar -x -C src-before
	cmake -S src-before -B build-before -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DWEMBRIX_TESTS=OFF >/dev/null
	cmake --build build-before -j2 --target wembrix >/dev/null
	before=$work/build-before/wembrix
fi

echo "== $count short files ($(df -h . | awk 'NR==2 {print $1 " on " $6}'):" \
    "$(findmnt -no FSTYPE,OPTIONS -T .))"
# A short real file: 0.5 s of silence encoded from raw samples.
head -c 88200 /dev/zero | oggenc -Q -q 2 -r -C 2 -R 44100 -B 16 \
    -c ARTIST=Someone -c TITLE=Something -c ALBUM=Somewhere -o one.ogg -
mkdir orig
i=0
while [ $i -lt "$count" ]; do
	cp one.ogg "orig/$(printf %04d $i).ogg"
	i=$((i + 1))
done
ls -l one.ogg

# Every tool must leave the same tags.
check() {
	rm -rf files && cp -r orig files
	"$@" >/dev/null
	vorbiscomment -l files/0000.ogg | tr 'A-Z' 'a-z' | sort
}
want=$(check sh -c "$bin set:artist=X files/*.ogg")
for tool in "$before set:artist=X files/*.ogg" \
    "/usr/bin/python3 $here/ogg_mutagen_set.py X files/*.ogg"; do
	got=$(check sh -c "$tool")
	[ "$got" = "$want" ] || { echo "flush.sh: $tool leaves other tags:"; echo "$got"; exit 1; }
done

# The fresh copies are synced first: otherwise the first flush of the run
# would also carry the copy's own data to the disk.
hyperfine --runs "$runs" --warmup 1 --export-markdown flush.md \
    --prepare "rm -rf files && cp -r orig files && sync" \
    -n "wembrix set:artist=X, grouped flushes" "'$bin' set:artist=X files/*.ogg" \
    -n "wembrix set:artist=X, one flush per file (before)" "'$before' set:artist=X files/*.ogg" \
    -n "vorbiscomment -d ARTIST -t ARTIST=X per file" \
    "for f in files/*.ogg; do vorbiscomment -d ARTIST -t ARTIST=X \"\$f\" </dev/null; done" \
    -n "mutagen script (in place, no flush)" \
    "/usr/bin/python3 '$here/ogg_mutagen_set.py' X files/*.ogg"

echo "== summary"
cat flush.md
