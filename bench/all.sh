#!/bin/sh
# Every workload of the speed table, wembrix against its peer: each pair is
# timed in the same hyperfine run, medians (and minimums) of RUNS runs, and
# the ratio is peer time / wembrix time (above 1: wembrix is faster).  On a
# machine that others share, the minimums are the steadier figures.  The last line is
# the peak memory of rewriting one large Ogg/Vorbis file (GNU time), then
# a restore of a library from its backup at two sizes (bench/load.sh).  The
# Ogg/Vorbis and Opus files are tagged as their encoders leave them, and the
# new artist fits in place; the floor row times bench/safe_floor.cpp: a copy
# that reaches the disk before it takes the file's name, with no tag work,
# which is what a write that does not fit costs at least.
#
#   bench/all.sh [WEMBRIX]            (default build/wembrix)
#
# Environment: RUNS (default 5), CALLS (runs of the per-call rows, default
# 200), COUNT (files per format, default 1000), BIG_FLAC_MB (default 200),
# BIG_OGG_MB (default 1024), BIG_OGG_SET_MB (default 200), BENCH_DIR (scratch directory on the disk to
# measure, default under /var/tmp), INSTR (0: no instruction counts).
set -eu
. "$(dirname "$0")/lib.sh"

bin=$(realpath "${1:-build/wembrix}")
runs=${RUNS:-5}
calls=${CALLS:-200}
count=${COUNT:-1000}
big_flac_mb=${BIG_FLAC_MB:-200}
big_ogg_mb=${BIG_OGG_MB:-1024}
big_ogg_set_mb=${BIG_OGG_SET_MB:-200}
[ -x "$bin" ] || { echo "all.sh: $bin: not built" >&2; exit 1; }

bench_need hyperfine hyperfine
bench_need metaflac flac
bench_need vorbiscomment vorbis-tools
bench_need oggenc vorbis-tools
bench_need opusenc opus-tools
bench_need kid3-cli kid3-cli
bench_need lame lame
bench_need mid3v2 python3-mutagen
bench_need exiftool libimage-exiftool-perl
[ -x /usr/bin/time ] || bench_need /usr/bin/time time

work=${BENCH_DIR:-$(mktemp -d /var/tmp/wembrix-bench.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"
table=$work/table.md

# row WORKLOAD TARGET PEER WEMBRIX-COMMAND PEER-COMMAND WARMUP RUNS [OPTION...]
row() {
	_name=$1 _target=$2 _peer=$3 _ours=$4 _theirs=$5 _warmup=$6 _runs=$7
	shift 7
	echo "-- $_name" >&2
	hyperfine --style none --warmup "$_warmup" --runs "$_runs" "$@" --export-json row.json \
	    -n wembrix "$_ours" -n "$_peer" "$_theirs" >/dev/null
	/usr/bin/python3 - row.json "$_name" "$_target" >>"$table" <<'EOF'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
ours, peer = results[0], results[1]
def show(r):
    return "%s (min %s)" % (unit(r["median"]), unit(r["min"]))
def unit(t):
    return "%.3f s" % t if t >= 0.1 else "%.3f ms" % (t * 1000)
ratio = peer["median"] / ours["median"]
target = float(sys.argv[3])
print("| %s | %s | `%s` %s | %.2f (min %.2f) | >= %s | %s |" % (sys.argv[2], show(ours),
      peer["command"], show(peer), ratio, peer["min"] / ours["min"], sys.argv[3],
      "met" if ratio >= target else "NOT met"))
EOF
}

echo "making the files in $work ($(df -h . | awk 'NR==2 {print $1 " on " $6}'))" >&2
bench_flac_seed one.flac
bench_ogg_seed one.ogg
mkdir mp3seeds
bench_mp3_seeds mp3seeds
bench_copies flac "$count" one.flac
bench_copies ogg.orig "$count" one.ogg
bench_opus_seed one.opus
bench_copies opus.orig "$count" one.opus
# Tagged with room to spare, as a tagger leaves them, so that both tools
# write in place.
bench_copies mp3 "$count" mp3seeds/p[0-9].mp3
bench_flac_big big.flac "$big_flac_mb"

{
	echo "| workload | wembrix | peer | ratio | target | |"
	echo "|---|---|---|---|---|---|"
} >"$table"

flacs=$(echo flac/*.flac)
row "print all tags, $count FLAC" 1.2 "metaflac --export-tags-to=-" \
    "$bin $flacs" "metaflac --export-tags-to=- $flacs" 1 "$runs" -N
row "set artist, $count FLAC (in place)" 1.1 "metaflac --remove-tag --set-tag" \
    "$bin set:artist=X $flacs" "metaflac --remove-tag=ARTIST --set-tag=ARTIST=X $flacs" 1 "$runs" -N

# Every Ogg/Vorbis and Opus run starts from fresh copies that are on the
# disk already, so that no run flushes the copying of the one before.
fresh="rm -rf ogg && cp -r ogg.orig ogg && sync"
row "set artist, $count Ogg/Vorbis" 10 "vorbiscomment -d -t, one per file" \
    "'$bin' set:artist=X ogg/*.ogg" \
    "for f in ogg/*.ogg; do vorbiscomment -d ARTIST -t ARTIST=X \"\$f\" </dev/null; done" \
    1 "$runs" --prepare "$fresh"
row "same, against a mutagen script (both in place, never flushed)" 1.5 "mutagen script" \
    "'$bin' set:artist=X ogg/*.ogg" \
    "/usr/bin/python3 '$bench_here/ogg_mutagen.py' set:artist=X ogg/*.ogg" \
    1 "$runs" --prepare "$fresh"

# What replacing the same files safely costs with no tag work at all: the
# bound of a write that does not fit in place.
g++ -O2 -o safe_floor "$bench_here/safe_floor.cpp"
row "floor: the safe replace alone, against the same script" 0.6 "mutagen script" \
    "./safe_floor ogg/*.ogg" \
    "/usr/bin/python3 '$bench_here/ogg_mutagen.py' set:artist=X ogg/*.ogg" \
    1 "$runs" --prepare "$fresh"

fresh_opus="rm -rf opus && cp -r opus.orig opus && sync"
row "set artist, $count Opus" 4 "kid3-cli select all, set artist" \
    "'$bin' set:artist=X opus/*.opus" \
    "cd opus && kid3-cli -c 'select all' -c 'set artist X' . >/dev/null" \
    1 "$runs" --prepare "$fresh_opus"
row "same, against a mutagen script (both in place, never flushed)" 1.5 "mutagen script" \
    "'$bin' set:artist=X opus/*.opus" \
    "/usr/bin/python3 '$bench_here/ogg_mutagen.py' --opus set:artist=X opus/*.opus" \
    1 "$runs" --prepare "$fresh_opus"

# One large file whose artist shrinks: both write the header pages in
# place.  Each run starts from the original, on the disk already.
bench_ogg_big big-set.orig "$big_ogg_set_mb"
fresh_big="cp big-set.orig big-set.ogg && sync"
row "set artist in one $big_ogg_set_mb MB Ogg/Vorbis (it fits)" 2 "mutagen script" \
    "'$bin' set:artist=X big-set.ogg" \
    "/usr/bin/python3 '$bench_here/ogg_mutagen.py' set:artist=X big-set.ogg" \
    1 "$runs" --prepare "$fresh_big"
rm -f big-set.orig big-set.ogg

mp3s=$(echo mp3/*.mp3)
row "set artist, $count MP3" 3 "mid3v2 -a" \
    "$bin set:artist=X $mp3s" "mid3v2 -a X $mp3s" 1 "$runs" -N

# Every tag of a tagged library (two dozen frames a file), with --all-tags.
mkdir mp3rich
cp mp3seeds/p[0-9].mp3 mp3rich
/usr/bin/python3 "$bench_here/alltags_tag.py" mp3rich/p[0-9].mp3
bench_copies mp3all "$count" mp3rich/p[0-9].mp3
alls=$(echo mp3all/*.mp3)
row "print every tag (--all-tags), $count MP3" 3 "mid3v2 -l" \
    "$bin --all-tags $alls" "mid3v2 -l $alls" 1 "$runs" -N
row "same, against exiftool" 5 "exiftool -json" \
    "$bin --all-tags $alls" "exiftool -json $alls" 1 "$runs" -N

# Net of spawning `true`, timed in turns with it (bench/startup.sh).
CALLS=$calls "$bench_here/startup.sh" --rows "$bin" >>"$table"

comment=$(head -c 8192 /dev/zero | tr '\0' c)
size=$(wc -c <big.flac)
row "8 KiB comment in a $big_flac_mb MB FLAC, in place" 1 "metaflac" \
    "$bin set:comment=$comment big.flac" \
    "metaflac --remove-tag=COMMENT --set-tag=COMMENT=$comment big.flac" 1 "$runs" -N
[ "$(wc -c <big.flac)" -eq "$size" ] || echo "all.sh: big.flac changed size: not in place" >&2
rm -f big.flac

echo "-- peak memory, $big_ogg_mb MB Ogg/Vorbis" >&2
bench_ogg_big big.ogg "$big_ogg_mb"
# Bytes after the last page, which a copy drops, make the write a rewrite
# through a copy rather than one in place.
printf junk >>big.ogg
rss=$(/usr/bin/time -v "$bin" set:artist=X big.ogg 2>&1 >/dev/null </dev/null |
    awk -F': ' '/Maximum resident set size/ {print $2}')
ogginfo big.ogg >/dev/null 2>&1 || echo "all.sh: ogginfo refuses the rewritten big.ogg" >&2
rm -f big.ogg

echo "-- restore from a JSON backup" >&2
restore=$(BENCH_DIR="$work/restore" sh "$bench_here/load.sh" restore "$bin")

# Instructions counted by callgrind do not depend on what else the machine
# is doing.  INSTR=0 skips them.
instr_table=$work/instr.md
if [ "${INSTR:-1}" != 0 ] && command -v valgrind >/dev/null; then
	echo "-- instructions" >&2
	instr() {
		valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null </dev/null |
		    awk '/refs:/ {gsub(",", "", $NF); print $NF}'
	}
	# instr_row WORKLOAD PEER-NAME WEMBRIX-COMMAND... -- PEER-COMMAND...
	instr_row() {
		_name=$1 _peer=$2
		shift 2
		_ours=""
		while [ "$1" != -- ]; do
			_ours="$_ours $1"
			shift
		done
		shift
		# shellcheck disable=SC2086
		_a=$(instr $_ours)
		_b=$(instr "$@")
		echo "| $_name | $_a | \`$_peer\` $_b | $(awk "BEGIN { printf \"%.2f\", $_b / $_a }") |" >>"$instr_table"
	}
	{
		echo "| workload | wembrix | peer | ratio |"
		echo "|---|---|---|---|"
	} >"$instr_table"
	# shellcheck disable=SC2086
	instr_row "print all tags, $count FLAC" "metaflac --export-tags-to=-" \
	    "$bin" $flacs -- metaflac --export-tags-to=- $flacs
	# shellcheck disable=SC2086
	instr_row "set artist, $count FLAC (in place)" "metaflac --remove-tag --set-tag" \
	    "$bin" set:artist=X $flacs -- metaflac --remove-tag=ARTIST --set-tag=ARTIST=X $flacs
	instr_row "one small FLAC printed" "metaflac --export-tags-to=-" \
	    "$bin" one.flac -- metaflac --export-tags-to=- one.flac
	instr_row "one small Ogg printed" "vorbiscomment -l" \
	    "$bin" one.ogg -- vorbiscomment -l one.ogg
fi

echo
echo "wembrix: $bin; $count files per format; medians of $runs runs ($calls per call)"
echo
cat "$table"
echo
echo "peak memory rewriting a $big_ogg_mb MB Ogg/Vorbis file: $rss kB" \
    "(limit 16384 kB: $([ "$rss" -lt 16384 ] && echo met || echo NOT met))"
echo
echo "$restore"
if [ -f "$instr_table" ]; then
	echo
	echo "instructions (callgrind), peer / wembrix:"
	echo
	cat "$instr_table"
fi
