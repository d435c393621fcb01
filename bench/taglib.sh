#!/bin/sh
# Prints the tags of many small MP3 files in one command, side by side with
# `id3v2 -l` on the same files.
#
#   bench/taglib.sh [WEMBRIX] [COUNT]
#
# WEMBRIX defaults to build/wembrix, COUNT to 1000.  Needs lame, id3v2 and
# hyperfine (installed with apt-get when missing).
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
if [ -n "$need" ]; then
	export DEBIAN_FRONTEND=noninteractive
	apt-get update -qq
	# shellcheck disable=SC2086
	apt-get install -y -qq --no-install-recommends $need >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/wembrix-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

bench_mp3_seeds "$work"
bench_copies "$work/files" "$count" "$work"/v[0-9].mp3
rm -f "$work"/v*.mp3

cd "$work/files"
# Same files, same output destination; both must succeed on every file.
"$wembrix" ./*.mp3 >/dev/null
id3v2 -l ./*.mp3 >/dev/null
echo "$count files of $(wc -c <00000.mp3) bytes each; $("$wembrix" backend 00000.mp3)"
"$wembrix" 00000.mp3
hyperfine --warmup 3 --min-runs 10 \
	--command-name "wembrix (print)" "'$wembrix' ./*.mp3 >/dev/null" \
	--command-name "id3v2 -l" "id3v2 -l ./*.mp3 >/dev/null"
