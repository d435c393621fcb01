#!/bin/sh
# Speed of the FLAC backend on many small files, side by side with metaflac:
#   printing the tags of 1000 files, and setting one tag on 1000 files.
# Usage: bench/flac.sh [path/to/wembrix] [count]
set -eu
. "$(dirname "$0")/lib.sh"
wembrix=$(realpath "${1:-build/wembrix}")
count=${2:-1000}
command -v hyperfine >/dev/null || apt-get install -y -qq hyperfine >/dev/null

dir=$(mktemp -d "${TMPDIR:-/tmp}/wembrix-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM
cd "$dir"

bench_flac_seed seed.flac
bench_copies files "$count" seed.flac
cd files

hyperfine --warmup 2 --runs 10 -N \
	-n wembrix "$wembrix $(echo *.flac)" \
	-n metaflac "metaflac --export-tags-to=- $(echo *.flac)" \
	--export-markdown ../print.md >/dev/null
echo "## print the tags of $count FLAC files"
cat ../print.md

hyperfine --warmup 2 --runs 10 -N \
	-n wembrix "$wembrix set:artist=X $(echo *.flac)" \
	-n metaflac "metaflac --remove-tag=ARTIST --set-tag=ARTIST=X $(echo *.flac)" \
	--export-markdown ../set.md >/dev/null
echo
echo "## set one tag on $count FLAC files"
cat ../set.md
