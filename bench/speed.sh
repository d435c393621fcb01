#!/bin/sh
# The speed table of reading and writing tags on many files, each row timed
# in one hyperfine run against its peer (medians; ratio = peer / wembrix,
# above 1: wembrix is faster).  Print rows also time the read floor
# (bench/read_floor.c: open each file, read its first 8 KiB, nothing else)
# in the same run and give wembrix / floor; the large FLAC rewrite times
# `cp` of the same file as its floor.  The ratio of the minimums follows
# each ratio of medians: on a machine that others share it is the steadier.
#
#   bench/speed.sh [WEMBRIX]            (default build/wembrix)
#
# Environment: RUNS (default 10), COUNT (files per format, default 1000),
# BIG_FLAC_MB (default 200), BENCH_DIR (scratch directory, default under
# /var/tmp).
set -eu
. "$(dirname "$0")/lib.sh"

bin=$(realpath "${1:-build/wembrix}")
runs=${RUNS:-10}
count=${COUNT:-1000}
big_flac_mb=${BIG_FLAC_MB:-200}
[ -x "$bin" ] || { echo "speed.sh: $bin: not built" >&2; exit 1; }

bench_need hyperfine hyperfine
bench_need metaflac flac
bench_need lame lame
bench_need mid3v2 python3-mutagen
bench_need gcc gcc

work=${BENCH_DIR:-$(mktemp -d /var/tmp/wembrix-speed.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"
table=$work/table.md

gcc -O2 -static -o read_floor "$bench_here/read_floor.c"

# row WORKLOAD TARGET PEER OURS THEIRS FLOOR-NAME FLOOR [HYPERFINE-OPTION...]
# FLOOR may be empty.
row() {
	_name=$1 _target=$2 _peer=$3 _ours=$4 _theirs=$5 _fname=$6 _floor=$7
	shift 7
	echo "-- $_name" >&2
	if [ -n "$_floor" ]; then
		set -- "$@" -n "$_fname" "$_floor"
	fi
	hyperfine --style none --warmup 1 --runs "$runs" --export-json row.json \
	    -n wembrix "$_ours" -n "$_peer" "$_theirs" "$@" >/dev/null
	/usr/bin/python3 - row.json "$_name" "$_target" >>"$table" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
def unit(t):
    return "%.3f s" % t if t >= 0.1 else "%.1f ms" % (t * 1000)
ours, peer = r[0], r[1]
ratio = peer["median"] / ours["median"]
floor = ""
if len(r) > 2:
    floor = "%s %s: %.2fx (min %.2fx)" % (r[2]["command"], unit(r[2]["median"]),
            ours["median"] / r[2]["median"], ours["min"] / r[2]["min"])
print("| %s | %s | `%s` %s | %.2f (min %.2f) | %s | >= %s: %s |" % (sys.argv[2], unit(ours["median"]),
      peer["command"], unit(peer["median"]), ratio, peer["min"] / ours["min"], floor, sys.argv[3],
      "met" if ratio >= float(sys.argv[3]) else "NOT met"))
PY
}

echo "making the files in $work" >&2
mkdir seeds
bench_mp3_seeds seeds
bench_copies mp3 "$count" seeds/p[0-9].mp3
mkdir rich
cp seeds/p[0-9].mp3 rich
/usr/bin/python3 "$bench_here/alltags_tag.py" rich/p[0-9].mp3
bench_copies mp3all "$count" rich/p[0-9].mp3
bench_flac_seed one.flac
bench_copies flac "$count" one.flac
bench_flac_big big.orig "$big_flac_mb"
cp -r mp3 mp3.orig
cp -r flac flac.orig

{
	echo "| row | wembrix | peer | ratio | floor (wembrix / floor) | target |"
	echo "|---|---|---|---|---|---|"
} >"$table"

mp3s=$(echo mp3/*.mp3)
alls=$(echo mp3all/*.mp3)
flacs=$(echo flac/*.flac)

row "print $count MP3" 10 "mid3v2 -l" \
    "$bin $mp3s" "mid3v2 -l $mp3s" floor "./read_floor $mp3s" -N
# Every run of a set row starts from fresh copies, so that each one writes
# every file (a write that changes nothing is not made).
row "set artist on $count MP3" 5 "mid3v2 -a" \
    "$bin set:artist=X $mp3s" "mid3v2 -a X $mp3s" "" "" -N \
    --prepare "sh -c 'rm -rf mp3 && cp -r mp3.orig mp3'"
row "print every tag of $count MP3 (--all-tags -F json)" 8 "mid3v2 -l" \
    "$bin --all-tags -F json $alls" "mid3v2 -l $alls" "" "" -N
row "print $count FLAC" 1.5 "metaflac --export-tags-to=-" \
    "$bin $flacs" "metaflac --export-tags-to=- $flacs" floor "./read_floor $flacs" -N
row "set artist on $count FLAC" 1.5 "metaflac --remove-tag --set-tag" \
    "$bin set:artist=X $flacs" "metaflac --remove-tag=ARTIST --set-tag=ARTIST=X $flacs" "" "" -N \
    --prepare "sh -c 'rm -rf flac && cp -r flac.orig flac'"

# A comment larger than the padding: both tools rewrite the whole file.
# Every run starts from the original, already on the disk.
comment=$(head -c 65536 /dev/zero | tr '\0' c)
fresh="cp big.orig big.flac && sync"
row "FLAC comment rewrite of a $big_flac_mb MB file" 0.8 "metaflac" \
    "$bin set:comment=$comment big.flac" \
    "metaflac --remove-tag=COMMENT --set-tag=COMMENT=$comment big.flac" \
    cp "cp big.orig big.copy" --prepare "$fresh"
metaflac --list --block-type=STREAMINFO big.flac >/dev/null ||
    echo "speed.sh: metaflac refuses the rewritten big.flac" >&2

echo
echo "wembrix: $bin; $count files per format; medians of $runs runs; load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
cat "$table"
