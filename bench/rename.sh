#!/bin/sh
# Times renaming many FLAC files after their tags, with and without moving
# them into per-album directories.
#	bench/rename.sh [wembrix binary] [number of files]
set -eu
bin=$(realpath "${1:-build/wembrix}")
n=${2:-2000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

head -c 17640 /dev/zero >pcm.raw
flac -s --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 \
    --sample-rate=44100 -o seed.flac pcm.raw
mkdir in
i=0
while [ "$i" -lt "$n" ]; do
	cp seed.flac "in/$i.flac"
	i=$((i + 1))
done
# One run of our own gives every file its tags.
"$bin" set:artist=Artist set:album=Album set:title=Song in/*.flac
i=0
while [ "$i" -lt "$n" ]; do
	"$bin" set:tracknumber=$i "in/$i.flac" &
	[ $((i % 64)) -eq 63 ] && wait
	i=$((i + 1))
done
wait

t() { start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); awk "BEGIN { printf \"%.3f\", $end - $start }"; }

echo "files: $n"
printf 'asked, declined (-N):           %ss\n' "$(t "$bin" -N rename:'%artist - %tracknumber %title' in/*.flac)"
printf 'renamed in place (-Y):          %ss\n' "$(t "$bin" -Y rename:'%artist - %tracknumber %title' in/*.flac)"
printf 'moved into new dirs (-p -Y):    %ss\n' "$(t "$bin" -p -Y rename:'%album/%tracknumber' in/*.flac)"
[ "$(ls in/Album | wc -l)" -eq "$n" ] || { echo "not every file was moved" >&2; exit 1; }
