#!/bin/sh
# Loading tag documents: time and peak memory.
#
#	bench/load.sh [WEMBRIX] [TAGS...]
#
# Loads a big tag document into one FLAC file.  WEMBRIX defaults to
# build/wembrix; TAGS are the document sizes to try (default: 10000 100000
# 200000).  Peak memory should grow with the document, and the document is
# also fed through a pipe, which can only be read once.
#
#	bench/load.sh restore [WEMBRIX]
#
# Restores a library of small FLAC files from its JSON backup, naming no
# file, at two sizes in one run: SMALL (default 1000) and LARGE (default
# 20000) files, medians of RUNS (default 3) runs.  Finding a file's
# document must cost the same however big the backup is, so the time grows
# with the number of files: the ratio of the two times must stay at most
# LIMIT (default 24, for 20 times the files).  Peak memory of both (GNU
# time).  BENCH_DIR: scratch directory (default under /var/tmp).
set -eu
. "$(dirname "$0")/lib.sh"

if [ "${1:-}" = restore ]; then
	shift
	bin=$(realpath "${1:-build/wembrix}")
	small=${SMALL:-1000}
	large=${LARGE:-20000}
	runs=${RUNS:-3}
	limit=${LIMIT:-24}
	[ -x "$bin" ] || { echo "load.sh: $bin: not built" >&2; exit 1; }
	bench_need hyperfine hyperfine
	bench_need metaflac flac
	[ -x /usr/bin/time ] || bench_need /usr/bin/time time

	work=${BENCH_DIR:-$(mktemp -d /var/tmp/wembrix-restore.XXXXXX)}
	mkdir -p "$work"
	trap 'rm -rf "$work"' EXIT INT TERM
	cd "$work"
	bench_flac_seed seed.flac
	for n in "$small" "$large"; do
		mkdir "lib$n"
		# One tee writes many copies: a cp per file would take longer
		# than the restore.
		(cd "lib$n" && seq -f '%06g.flac' 0 $((n - 1)) |
		    xargs sh -c 'tee "$@" <../seed.flac >/dev/null' sh)
		# The backup holds other tags than the files, so that every
		# restore changes every file.
		(cd "lib$n" && ls | xargs "$bin" -F json print) |
		    sed 's/"Song"/"Restored"/' >"lib$n.jsonl"
		mv "lib$n.jsonl" "lib$n/backup.jsonl"
	done
	hyperfine --style none --warmup 1 --runs "$runs" --export-json restore.json \
	    -n "$small" "cd lib$small && '$bin' -F json load:backup.jsonl" \
	    -n "$large" "cd lib$large && '$bin' -F json load:backup.jsonl" >/dev/null
	for n in "$small" "$large"; do
		# Every file took its own document.
		last=$(printf '%06d.flac' $((n - 1)))
		[ "$(metaflac --show-tag=TITLE "lib$n/$last")" = title=Restored ] ||
		    { echo "load.sh: lib$n/$last was not restored" >&2; exit 1; }
		(cd "lib$n" && /usr/bin/time -f %M -o ../rss$n "$bin" -F json load:backup.jsonl)
	done
	/usr/bin/python3 - restore.json "$small" "$large" "$limit" "$(cat rss$small)" "$(cat rss$large)" \
	    "$(wc -c <lib$large/backup.jsonl)" <<'EOF'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
small, large, limit = sys.argv[2], sys.argv[3], float(sys.argv[4])
a, b = r[small], r[large]
ratio = b["median"] / a["median"]
print("restore from a JSON backup naming no file: %s files %.3f s (min %.3f, peak %s kB), "
      "%s files %.3f s (min %.3f, peak %s kB, backup of %s bytes); time ratio %.1f (min %.1f), "
      "limit %g: %s" % (small, a["median"], a["min"], sys.argv[5], large, b["median"], b["min"],
      sys.argv[6], sys.argv[7], ratio, b["min"] / a["min"], limit,
      "met" if ratio <= limit else "NOT met"))
EOF
	exit 0
fi

bin=${1:-build/wembrix}
[ $# -gt 0 ] && shift
sizes=${*:-10000 100000 200000}

bench_need flac flac
[ -x /usr/bin/time ] || bench_need /usr/bin/time time

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
