# Shared by the bench scripts (sourced, not run): the tools they need and
# the music files they measure on.  Every file is made here, with real
# encoders, so that each script measures the same kind of file.

bench_here=$(cd "$(dirname "$0")" && pwd)

# bench_need COMMAND PACKAGE: installs PACKAGE when COMMAND is missing.
bench_need() {
	command -v "$1" >/dev/null 2>&1 && return 0
	echo "bench: installing $2" >&2
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$2" >/dev/null
}

# bench_build BIN BUILDDIR: builds the program in BUILDDIR when BIN is not
# there yet.
bench_build() {
	[ -x "$1" ] && return 0
	cmake -S "$bench_here/.." -B "$2" -G Ninja >/dev/null
	cmake --build "$2" -j2 >/dev/null
}

# bench_copies DIR COUNT SEED...: COUNT copies of the seeds, round-robin,
# in DIR, named 00000.ext onwards.
bench_copies() {
	_dir=$1 _count=$2
	shift 2
	mkdir -p "$_dir"
	_i=0
	while [ "$_i" -lt "$_count" ]; do
		eval "_seed=\${$((_i % $# + 1))}"
		cp "$_seed" "$_dir/$(printf %05d "$_i").${_seed##*.}"
		_i=$((_i + 1))
	done
}

# bench_flac_seed OUT: a tenth of a second of noise with a few tags and the
# encoder's padding.
bench_flac_seed() {
	head -c 17640 /dev/urandom >"$1.raw"
	flac --silent --force --force-raw-format --endian=little --sign=signed --channels=2 \
	    --bps=16 --sample-rate=44100 -T TITLE=Song -T ARTIST=Band -T ALBUM=Record \
	    -T TRACKNUMBER=1 -o "$1" "$1.raw"
	rm -f "$1.raw"
}

# bench_flac_big OUT MEGABYTES: noise, which does not compress, so the file
# is about that large; 16 KiB of padding.
bench_flac_big() {
	head -c $(($2 * 1048576)) /dev/urandom |
	    flac --silent --force -0 --force-raw-format --endian=little --sign=signed \
		--channels=2 --bps=16 --sample-rate=44100 --padding=16384 -T TITLE=Big \
		-T COMMENT=short -o "$1" -
}

# bench_ogg_seed OUT: half a second of silence, with three tags.
bench_ogg_seed() {
	head -c 88200 /dev/zero | oggenc -Q -q 2 -r -C 2 -R 44100 -B 16 \
	    -c ARTIST=Someone -c TITLE=Something -c ALBUM=Somewhere -o "$1" -
}

# bench_opus_seed OUT: half a second of silence, with three tags, as
# opusenc makes it (with room after the comments).
bench_opus_seed() {
	head -c 192000 /dev/zero | opusenc --quiet --raw --raw-rate 48000 --raw-chan 2 \
	    --artist Someone --title Something --album Somewhere - "$1"
}

# bench_ogg_big OUT MEGABYTES: a large Ogg/Vorbis file made by ogg_mkbig.
bench_ogg_big() {
	_mkbig=$(dirname "$1")/ogg_mkbig
	[ -x "$_mkbig" ] || g++ -O2 -o "$_mkbig" "$bench_here/ogg_mkbig.cpp" \
	    $(pkg-config --cflags --libs vorbisenc vorbis ogg)
	"$_mkbig" "$1" "$2"
}

# bench_mp3_seeds DIR: ten MP3 files v0.mp3 to v9.mp3 in DIR, a tenth of a
# second of tone at 8 kbit/s each, with an ID3v2.3 and an ID3v1 tag, which
# every tool reads; the tags differ from file to file.  p0.mp3 to p9.mp3 are
# the same files tagged the way a tagger leaves them, with padding in the
# ID3v2 tag, so that a new artist fits in place.
bench_mp3_seeds() {
	LC_ALL=C awk 'BEGIN {
		rate = 8000; n = 800
		printf "RIFF"; le(36 + 2 * n, 4); printf "WAVEfmt "; le(16, 4); le(1, 2); le(1, 2)
		le(rate, 4); le(2 * rate, 4); le(2, 2); le(16, 2); printf "data"; le(2 * n, 4)
		for (i = 0; i < n; i++) { v = int(8000 * sin(2 * 3.14159265 * 440 * i / rate)); if (v < 0) v += 65536; le(v, 2) }
	}
	function le(v, k,   j) { for (j = 0; j < k; j++) { printf "%c", v % 256; v = int(v / 256) } }' \
		>"$1/tone.wav"
	[ "$(wc -c <"$1/tone.wav")" -eq 1644 ] || { echo "bench: bad tone.wav" >&2; return 1; }
	_i=0
	while [ $_i -lt 10 ]; do
		lame --quiet -b 8 -m m --add-id3v2 --tt "Title $_i" --ta "Artist $_i" --tl "Album" \
		    --ty 2004 --tn $((_i + 1)) --tg Jazz --tc "comment $_i" "$1/tone.wav" "$1/v$_i.mp3"
		cp "$1/v$_i.mp3" "$1/p$_i.mp3"
		mid3v2 --quiet -a "Artist number $_i" "$1/p$_i.mp3"
		_i=$((_i + 1))
	done
	rm -f "$1/tone.wav"
}
