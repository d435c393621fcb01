#!/bin/sh
# What one call costs: a small FLAC and a small Ogg/Vorbis file printed by
# one run each, against metaflac and vorbiscomment.  Both tools are timed
# with `true` in the same hyperfine run, and each time is taken net of
# spawning `true`, so that the ratio (peer / wembrix, above 1: wembrix is
# faster) compares the work each program does once it is started, not the
# fork and exec they share.  Medians of CALLS runs of each, made in ROUNDS
# turns, and the processor time they took.  Then the libraries the program
# needs at start and, when valgrind is there, the instructions of each call,
# which the load on the machine does not change.
#
#   bench/startup.sh [WEMBRIX]          (default build/wembrix)
#   bench/startup.sh --rows WEMBRIX     (the table rows only, for all.sh)
#
# Environment: CALLS (default 300), ROUNDS (default 30), INSTR (0: no
# instruction counts).
set -eu
. "$(dirname "$0")/lib.sh"

rows_only=0
if [ "${1:-}" = --rows ]; then
	rows_only=1
	shift
fi
bin=${1:-build/wembrix}
bench_build "$bin" "$(dirname "$bin")"
bin=$(realpath "$bin")
calls=${CALLS:-300}
rounds=${ROUNDS:-30}

bench_need hyperfine hyperfine
bench_need metaflac flac
bench_need vorbiscomment vorbis-tools
bench_need oggenc vorbis-tools

work=$(mktemp -d "${TMPDIR:-/tmp}/wembrix-startup.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"
bench_flac_seed one.flac
bench_ogg_seed one.ogg

# row WORKLOAD TARGET PEER-NAME WEMBRIX-COMMAND PEER-COMMAND: ROUNDS short
# hyperfine runs of the three commands, one after the other, whose times are
# pooled, so that a change in the machine's load falls on all three alike.
# Beside the wall-clock medians, the processor time (user and system, the
# means of the rounds), which waiting for a processor on a busy machine
# does not add to.
row() {
	echo "-- $1" >&2
	_r=1
	while [ "$_r" -le "$rounds" ]; do
		hyperfine --style none -N --warmup 3 --runs $((calls / rounds)) \
		    --export-json "row$_r.json" -n true true -n wembrix "$4" -n "$3" "$5" \
		    >/dev/null 2>hyperfine.log || { cat hyperfine.log >&2; exit 1; }
		_r=$((_r + 1))
	done
	/usr/bin/python3 - "$1" "$2" row*.json <<'EOF'
import json, statistics, sys
pooled = None
for path in sys.argv[3:]:
    results = json.load(open(path))["results"]
    if pooled is None:
        pooled = [{"command": r["command"], "times": [], "cpu": []} for r in results]
    for p, r in zip(pooled, results):
        p["times"] += r["times"]
        p["cpu"].append(r["user"] + r["system"])
spawn, ours, peer = pooled
def wall(r):
    return statistics.median(r["times"])
def cpu(r):
    return statistics.mean(r["cpu"])
def net(r, f):
    return f(r) - f(spawn)
def ratio(f):
    ours_net = net(ours, f)
    return net(peer, f) / ours_net if ours_net > 0 else float("inf")
def ms(t):
    return "%.3f ms" % (t * 1000)
def show(r):
    return "%s (processor %s)" % (ms(net(r, wall)), ms(net(r, cpu)))
target = float(sys.argv[2])
print("| %s, net of `true` (%s) | %s | `%s` %s | %.2f (processor %.2f) | >= %s | %s |" % (
    sys.argv[1], ms(wall(spawn)), show(ours), peer["command"], show(peer),
    ratio(wall), ratio(cpu), sys.argv[2],
    "met" if ratio(wall) >= target else "NOT met"))
EOF
	rm -f row*.json
}

rows() {
	row "one small FLAC printed, per call" 1.5 "metaflac --export-tags-to=-" \
	    "$bin one.flac" "metaflac --export-tags-to=- one.flac"
	row "one small Ogg printed, per call" 1.5 "vorbiscomment -l" \
	    "$bin one.ogg" "vorbiscomment -l one.ogg"
}

if [ "$rows_only" = 1 ]; then
	rows
	exit 0
fi

table=$(rows)
echo
echo "wembrix: $bin; medians of $calls calls; load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| workload | wembrix | peer | ratio | target | |"
echo "|---|---|---|---|---|---|"
echo "$table"
echo
echo "libraries loaded at start: $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"

if [ "${INSTR:-1}" != 0 ] && command -v valgrind >/dev/null; then
	instr() {
		valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null </dev/null |
		    awk '/refs:/ {gsub(",", "", $NF); print $NF}'
	}
	spawn=$(instr true)
	echo
	echo "instructions (callgrind) net of \`true\` ($spawn):"
	echo
	echo "| call | wembrix | peer | ratio |"
	echo "|---|---|---|---|"
	for pair in "one.flac|metaflac --export-tags-to=- one.flac" "one.ogg|vorbiscomment -l one.ogg"; do
		file=${pair%%|*}
		peer=${pair#*|}
		a=$(($(instr "$bin" "$file") - spawn))
		# shellcheck disable=SC2086
		b=$(($(instr $peer) - spawn))
		echo "| $file | $a | \`$peer\` $b | $(awk "BEGIN { printf \"%.2f\", $b / $a }") |"
	done
fi
