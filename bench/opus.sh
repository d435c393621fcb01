#!/bin/sh
# Speed and memory of the Ogg/Opus backend, side by side with other tools.
#
#   bench/opus.sh [MEGABYTES]       (default 1024; also BENCH_SIZE_MB)
#
# 1. One large file: peak resident size (/usr/bin/time -v) of a rewrite
#    through a copy, which must stay under 16 MB; the time of a change that
#    fits in place and of one that takes a copy (bytes after the last page,
#    which a copy drops, are appended before each run).
# 2. Printing the tags of 1000 short files in one command, against a
#    mutagen script that does the same in one process.
# 3. Setting one tag on the same 1000 files in one command, against
#    `kid3-cli -c 'select all' -c 'set artist X' .` and a mutagen script,
#    and against wembrix on 1000 Ogg/Vorbis files of about the same size.
#    All of them write in place here (opusenc leaves room after the
#    comments); bench/safe_floor.cpp shows what a safe replace of the same
#    files costs with no tag work at all, the least a change that does not
#    fit costs.
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
bench_need opusenc opus-tools
bench_need oggenc vorbis-tools
bench_need sox sox
bench_need kid3-cli kid3-cli
[ -x /usr/bin/time ] || bench_need /usr/bin/time time
/usr/bin/python3 -c 'import mutagen' 2>/dev/null || bench_need python3-mutagen python3-mutagen

bench_build "$bin" "$build"

work=${BENCH_DIR:-$(mktemp -d /var/tmp/wembrix-bench.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"

g++ -O2 -o mkbig "$here/opus_mkbig.cpp" $(pkg-config --cflags --libs ogg)
g++ -O2 -o safe_floor "$here/safe_floor.cpp"

echo "== one file of $size_mb MB ($(df -h . | awk 'NR==2 {print $1 " on " $6}'))"
sox -n -r 48000 -b 16 -c 2 noise.wav synth 20 whitenoise vol 0.5
opusenc --quiet --bitrate 256 --artist Bench --title Noise noise.wav noise.opus
./mkbig noise.opus big.opus "$size_mb"
ls -l big.opus

rss() {
	/usr/bin/time -v "$@" 2>&1 >/dev/null </dev/null |
	    awk -F': ' '/Maximum resident set size/ {print $2}'
}
kb=$(rss "$bin" set:comment="$(head -c 70000 /dev/zero | tr '\0' c)" big.opus)
echo "peak RSS, wembrix set (a copy): $kb kB (limit 16384 kB)"
echo "peak RSS, wembrix print:        $(rss "$bin" big.opus) kB"
[ "$kb" -lt 16384 ] || echo "(over the limit)"
opusinfo big.opus >opusinfo.txt 2>&1 || { echo "opusinfo failed"; tail opusinfo.txt; exit 1; }

hyperfine --runs "$runs" --warmup 1 --export-markdown big.md \
    -n "wembrix set:artist=X, fits (in place, no fsync)" --prepare "'$bin' set:artist=Y big.opus" \
    "'$bin' set:artist=X big.opus" \
    -n "wembrix set:artist=X, through a copy (with fsync)" --prepare "printf junk >>big.opus" \
    "'$bin' set:artist=X big.opus" \
    -n "cp, then sync of the copy" --prepare true "cp big.opus copy.opus && sync copy.opus"
rm -f big.opus copy.opus

echo "== 1000 short files"
# Short real files: 0.5 s of a tone, in Opus and in Vorbis.
sox -n -r 48000 -b 16 -c 2 tone.wav synth 0.5 sine 440 vol 0.5
opusenc --quiet --artist Someone --title Something --album Somewhere tone.wav one.opus
oggenc -Q -q 2 -c ARTIST=Someone -c TITLE=Something -c ALBUM=Somewhere -o one.ogg tone.wav
mkdir orig orig-ogg
i=0
while [ $i -lt 1000 ]; do
	cp one.opus "orig/$(printf %04d $i).opus"
	cp one.ogg "orig-ogg/$(printf %04d $i).ogg"
	i=$((i + 1))
done
ls -l one.opus one.ogg

rm -rf files && cp -r orig files
"$bin" files/0000.opus >wembrix.txt
/usr/bin/python3 "$here/ogg_mutagen.py" --opus files/0000.opus >mutagen.txt
cmp wembrix.txt mutagen.txt || echo "(the two print different text)"
hyperfine --runs "$runs" --warmup 1 --export-markdown small-print.md \
    -n "wembrix print, 1000 files" "'$bin' files/*.opus >/dev/null" \
    -n "mutagen script, 1000 files" "/usr/bin/python3 '$here/ogg_mutagen.py' --opus files/*.opus >/dev/null"

# The fresh copies are synced first: otherwise the first flush of the run
# would also carry the copy's own data to the disk.
hyperfine --runs "$runs" --warmup 1 --export-markdown small-set.md \
    --prepare "rm -rf files files-ogg && cp -r orig files && cp -r orig-ogg files-ogg && sync" \
    -n "wembrix set:artist=X, 1000 Opus files, one command" "'$bin' set:artist=X files/*.opus" \
    -n "kid3-cli set artist X, 1000 Opus files" \
    "cd files && kid3-cli -c 'select all' -c 'set artist X' . >/dev/null" \
    -n "mutagen script, 1000 Opus files" \
    "/usr/bin/python3 '$here/ogg_mutagen.py' --opus set:artist=X files/*.opus" \
    -n "wembrix set:artist=X, 1000 Ogg/Vorbis files, one command" "'$bin' set:artist=X files-ogg/*.ogg" \
    -n "the safe replace alone (bench/safe_floor.cpp), 1000 Opus files" "./safe_floor files/*.opus"

echo "== summary"
cat big.md small-print.md small-set.md
