#!/bin/sh
# Speed and memory of the Ogg/Vorbis backend, side by side with other tools.
#
#   bench/ogg.sh [MEGABYTES]        (default 1024; also BENCH_SIZE_MB)
#
# 1. One large file: peak resident size (/usr/bin/time -v) of a rewrite
#    through a copy; the time of a change that fits in place, of one that
#    takes a copy (bytes after the last page, which a copy drops, are
#    appended before each run), against `vorbiscomment -w`, which always
#    rewrites, and against `cp` plus `sync` of the copy.
# 2. Setting one tag on 1000 short files in one command (in place), against
#    one `vorbiscomment -d ARTIST -t ARTIST=X` per file and against a
#    mutagen script, which also writes in place.
# 3. Printing the tags of the same 1000 files, against a mutagen script.
#
# Environment: BUILD (build directory, default build), BENCH_DIR (scratch
# directory on the disk to measure, default under /var/tmp), RUNS (default 5).
set -eu
. "$(dirname "$0")/lib.sh"

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
size_mb=${1:-${BENCH_SIZE_MB:-1024}}
build=${BUILD:-$root/build}
runs=${RUNS:-5}
bin=$build/wembrix

bench_need hyperfine hyperfine
bench_need vorbiscomment vorbis-tools
bench_need oggenc vorbis-tools
[ -x /usr/bin/time ] || bench_need /usr/bin/time time
/usr/bin/python3 -c 'import mutagen' 2>/dev/null || bench_need python3-mutagen python3-mutagen

bench_build "$bin" "$build"

work=${BENCH_DIR:-$(mktemp -d /var/tmp/wembrix-bench.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"

echo "== one file of $size_mb MB ($(df -h . | awk 'NR==2 {print $1 " on " $6}'))"
bench_ogg_big "$work/big.ogg" "$size_mb"
ls -l big.ogg

rss() {
	/usr/bin/time -v "$@" 2>&1 >/dev/null </dev/null |
	    awk -F': ' '/Maximum resident set size/ {print $2 " kB"}'
}
echo "peak RSS, wembrix set (a copy): $(rss "$bin" set:comment="$(head -c 70000 /dev/zero | tr '\0' c)" big.ogg)"
echo "peak RSS, vorbiscomment -w:      $(rss vorbiscomment -w -t ARTIST=X big.ogg)"
echo "peak RSS, wembrix print:         $(rss "$bin" big.ogg)"

hyperfine --runs "$runs" --warmup 1 --export-markdown big.md \
    -n "wembrix set:artist=X, fits (in place, no fsync)" --prepare "'$bin' set:artist=Y big.ogg" \
    "'$bin' set:artist=X big.ogg" \
    -n "wembrix set:artist=X, through a copy (with fsync)" --prepare "printf junk >>big.ogg" \
    "'$bin' set:artist=X big.ogg" \
    -n "vorbiscomment -w (no fsync)" --prepare true "vorbiscomment -w -t ARTIST=X big.ogg </dev/null" \
    -n "vorbiscomment -w, then sync of the file" --prepare true \
    "vorbiscomment -w -t ARTIST=X big.ogg </dev/null && sync big.ogg" \
    -n "cp, then sync of the copy" --prepare true "cp big.ogg copy.ogg && sync copy.ogg"
ogginfo big.ogg >ogginfo.txt 2>&1 || { echo "ogginfo failed"; cat ogginfo.txt; exit 1; }
rm -f big.ogg copy.ogg

echo "== 1000 short files"
bench_ogg_seed one.ogg
bench_copies orig 1000 one.ogg
ls -l one.ogg

# The fresh copies are synced first: otherwise the first flush of the run
# would also carry the copy's own data to the disk.
hyperfine --runs "$runs" --warmup 1 --export-markdown small-set.md \
    --prepare "rm -rf files && cp -r orig files && sync" \
    -n "wembrix set:artist=X, 1000 files, one command" "'$bin' set:artist=X files/*.ogg" \
    -n "vorbiscomment -d ARTIST -t ARTIST=X per file" \
    "for f in files/*.ogg; do vorbiscomment -d ARTIST -t ARTIST=X \"\$f\" </dev/null; done" \
    -n "mutagen script, 1000 files" "/usr/bin/python3 '$here/ogg_mutagen.py' set:artist=X files/*.ogg"

rm -rf files && cp -r orig files
"$bin" files/00000.ogg >wembrix.txt
/usr/bin/python3 "$here/ogg_mutagen.py" files/00000.ogg >mutagen.txt
cmp wembrix.txt mutagen.txt || echo "(the two print different text)"
hyperfine --runs "$runs" --warmup 1 --export-markdown small-print.md \
    -n "wembrix print, 1000 files" "'$bin' files/*.ogg >/dev/null" \
    -n "mutagen script, 1000 files" "/usr/bin/python3 '$here/ogg_mutagen.py' files/*.ogg >/dev/null"

echo "== summary"
cat big.md small-set.md small-print.md
