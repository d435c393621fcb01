#!/bin/sh
# Loading a big tag document into a FLAC file: time and peak memory.
#
#	bench/load.sh [WEMBRIX] [TAGS...]
#
# WEMBRIX defaults to build/wembrix; TAGS are the document sizes to try
# (default: 10000 100000 200000).  Peak memory should grow with the
# document, and the document is also fed through a pipe, which can only be
# read once.
set -eu

bin=${1:-build/wembrix}
[ $# -gt 0 ] && shift
sizes=${*:-10000 100000 200000}

command -v flac >/dev/null || apt-get install -y flac >/dev/null
[ -x /usr/bin/time ] || apt-get install -y time >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/wembrix-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# One second of stereo silence.
head -c 176400 /dev/zero > "$work/pcm.raw"
flac -s --force-raw-format --endian=little --sign=signed --channels=2 \
    --bps=16 --sample-rate=44100 -o "$work/base.flac" "$work/pcm.raw"

printf '%-8s %-6s %10s %8s %10s\n' tags input bytes seconds maxrss_kb
for n in $sizes; do
	awk -v n="$n" 'BEGIN {
		print "# bench.flac"; print "---"
		for (i = 0; i < n; i++) {
			if (i % 10 == 0)
				printf "- comment: \"line %d\\nwith \\\"quotes\\\" and caf\xc3\xa9\"\n", i
			else
				printf "- tag%d: value number %d of the benchmark\n", i % 50, i
		}
	}' > "$work/doc.yml"
	size=$(wc -c < "$work/doc.yml")
	for input in file pipe; do
		cp "$work/base.flac" "$work/bench.flac"
		if [ "$input" = file ]; then
			/usr/bin/time -f '%e %M' -o "$work/time" \
			    "$bin" "load:$work/doc.yml" "$work/bench.flac"
		else
			cat "$work/doc.yml" | /usr/bin/time -f '%e %M' -o "$work/time" \
			    "$bin" load:- "$work/bench.flac"
		fi
		read -r secs rss < "$work/time"
		printf '%-8s %-6s %10s %8s %10s\n' "$n" "$input" "$size" "$secs" "$rss"
	done
	# Every tag arrived.
	got=$(metaflac --export-tags-to=- "$work/bench.flac" | grep -c '^tag\|^comment' || true)
	lines=$(metaflac --export-tags-to=- "$work/bench.flac" | wc -l)
	[ "$lines" -ge "$n" ] || { echo "only $got of $n tags written" >&2; exit 1; }
done
