#!/bin/sh
# Prints the tags of many small MP3 files in one command, side by side with
# `id3v2 -l` on the same files.
#
#   bench/taglib.sh [WEMBRIX] [COUNT]
#
# WEMBRIX defaults to build/wembrix, COUNT to 1000.  Needs lame, id3v2 and
# hyperfine (installed with apt-get when missing).
set -eu

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

# A tenth of a second of tone at 8 kbit/s: a few hundred bytes of audio plus
# an ID3v2.3 and an ID3v1 tag, which both tools read.  Ten different tags,
# copied round-robin.
LC_ALL=C awk 'BEGIN {
	rate = 8000; n = 800
	printf "RIFF"; le(36 + 2 * n, 4); printf "WAVEfmt "; le(16, 4); le(1, 2); le(1, 2)
	le(rate, 4); le(2 * rate, 4); le(2, 2); le(16, 2); printf "data"; le(2 * n, 4)
	for (i = 0; i < n; i++) { v = int(8000 * sin(2 * 3.14159265 * 440 * i / rate)); if (v < 0) v += 65536; le(v, 2) }
}
function le(v, k,   j) { for (j = 0; j < k; j++) { printf "%c", v % 256; v = int(v / 256) } }' \
	>"$work/tone.wav"
[ "$(wc -c <"$work/tone.wav")" -eq 1644 ] || { echo "taglib.sh: bad tone.wav" >&2; exit 1; }
i=0
while [ $i -lt 10 ]; do
	lame --quiet -b 8 -m m --add-id3v2 --tt "Title $i" --ta "Artist $i" --tl "Album" \
	    --ty 2004 --tn $((i + 1)) --tg Jazz --tc "comment $i" "$work/tone.wav" "$work/v$i.mp3"
	i=$((i + 1))
done
mkdir "$work/files"
i=0
while [ $i -lt "$count" ]; do
	cp "$work/v$((i % 10)).mp3" "$work/files/$(printf '%05d' $i).mp3"
	i=$((i + 1))
done
rm -f "$work"/v*.mp3 "$work/tone.wav"

cd "$work/files"
# Same files, same output destination; both must succeed on every file.
"$wembrix" ./*.mp3 >/dev/null
id3v2 -l ./*.mp3 >/dev/null
echo "$count files of $(wc -c <00000.mp3) bytes each; $("$wembrix" backend 00000.mp3)"
"$wembrix" 00000.mp3
hyperfine --warmup 3 --min-runs 10 \
	--command-name "wembrix (print)" "'$wembrix' ./*.mp3 >/dev/null" \
	--command-name "id3v2 -l" "id3v2 -l ./*.mp3 >/dev/null"
