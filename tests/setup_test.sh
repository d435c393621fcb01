#!/bin/bash
# Set-up does what each command asks and nothing more: which Debian
# packages each make target has installed, what install-deps does on a
# machine that lacks them (dpkg-query, apt-get and sudo stood in for), and
# what a plain build makes.
#
#   setup_test.sh SOURCE-DIR BUILD-DIR
set -u
# Whatever make ran this test passes nothing on to the makes it runs.
unset MAKEFLAGS MFLAGS MAKELEVEL
src=$1
build=$2
failures=0
fail() {
	echo "FAIL: $*"
	failures=$((failures + 1))
}

# Named here, not taken from the script, so that moving a package into the
# wrong group shows.
test_tools="libgtest-dev id3v2 libimage-exiftool-perl mandoc bash-completion zsh
python3-mutagen ffmpeg opus-tools locales acl attr"
encoders="flac vorbis-tools lame"
fuzz_tools="clang libclang-rt-14-dev"
libraries="libflac-dev libvorbis-dev libogg-dev libtag1-dev libyaml-dev nlohmann-json3-dev"

# asked TARGET: every package that `make TARGET` has install-deps install,
# one a line.  Fails the test when the target calls apt-get itself.
asked() {
	local out line groups=""
	out=$(make -s -n -C "$src" "$@" 2>&1) || { fail "make -n $*: $out"; return; }
	grep -q 'apt-get' <<<"$out" && fail "make $* calls apt-get itself"
	while read -r line; do
		set -- $line
		shift
		case ${1:-} in
		--check | --print | -n) continue ;;
		esac
		groups="$groups $*"
	done < <(grep -o 'scripts/install-deps[^;&|]*' <<<"$out")
	[ -n "$groups" ] && "$src/scripts/install-deps" --print $groups
}

# none_of TARGET PACKAGES LIST...: no package of LIST is in PACKAGES.
none_of() {
	local target=$1 packages=$2 p
	shift 2
	for p in $*; do
		grep -qx "$p" <<<"$packages" && fail "make $target installs $p"
	done
}
# all_of TARGET PACKAGES LIST...
all_of() {
	local target=$1 packages=$2 p
	shift 2
	for p in $*; do
		grep -qx "$p" <<<"$packages" || fail "make $target does not install $p"
	done
}

# ---- What each target asks for ----------------------------------------
for target in all build install; do
	packages=$(asked $target)
	none_of "$target" "$packages" $test_tools $encoders $fuzz_tools
done
packages=$(asked all)
all_of all "$packages" $libraries g++ cmake ninja-build
[ -z "$(asked install)" ] || fail "make install installs packages: $(asked install | tr '\n' ' ')"

packages=$(asked demo)
none_of demo "$packages" $test_tools $fuzz_tools
all_of demo "$packages" $libraries $encoders

packages=$(asked check)
none_of check "$packages" $fuzz_tools
all_of check "$packages" $libraries $test_tools $encoders

packages=$(asked fuzz)
none_of fuzz "$packages" $test_tools $encoders
all_of fuzz "$packages" $libraries $fuzz_tools

# ---- install-deps on a machine that lacks packages ----------------------
fake=$(mktemp -d "${TMPDIR:-/tmp}/wembrix-setup.XXXXXX")
trap 'rm -rf "$fake"' EXIT
mkdir "$fake/bin"
# Installed: the packages listed in $fake/installed.
cat >"$fake/bin/dpkg-query" <<EOF
#!/bin/sh
for p; do :; done
grep -qx "\$p" "$fake/installed" || { echo "dpkg-query: no packages found matching \$p" >&2; exit 1; }
echo 'install ok installed'
EOF
printf '#!/bin/sh\necho "apt-get $*" >>"%s/apt.log"\n' "$fake" >"$fake/bin/apt-get"
printf '#!/bin/sh\nexec "$@"\n' >"$fake/bin/sudo"
chmod +x "$fake/bin/"*
deps() {
	: >"$fake/apt.log"
	PATH="$fake/bin:$PATH" "$src/scripts/install-deps" "$@"
}

# Everything there: nothing to do, nothing said.
"$src/scripts/install-deps" --print build demo check fuzz >"$fake/installed"
out=$(deps build demo check fuzz 2>&1) || fail "install-deps with all installed failed: $out"
[ -z "$out" ] || fail "install-deps with all installed says: $out"
[ -s "$fake/apt.log" ] && fail "install-deps with all installed ran: $(cat "$fake/apt.log")"

# Two libraries and a test tool missing.
grep -vxE 'libyaml-dev|libtag1-dev|zsh' "$fake/installed" >"$fake/i" && mv "$fake/i" "$fake/installed"
out=$(deps -n build 2>&1)
[ "$out" = "install-deps: would install: libtag1-dev libyaml-dev" ] ||
	fail "install-deps -n build says: $out"
[ -s "$fake/apt.log" ] && fail "install-deps -n ran: $(cat "$fake/apt.log")"

out=$(deps --check build 2>&1) && fail "install-deps --check build succeeds with libraries missing"
grep -q 'missing: libtag1-dev libyaml-dev$' <<<"$out" || fail "install-deps --check build says: $out"
[ -s "$fake/apt.log" ] && fail "install-deps --check ran: $(cat "$fake/apt.log")"

deps check >/dev/null 2>&1 || fail "install-deps check failed"
grep -qx 'apt-get install -y -qq --no-install-recommends libtag1-dev libyaml-dev zsh' "$fake/apt.log" ||
	fail "install-deps check ran: $(cat "$fake/apt.log")"

# make install with a library missing: says which, installs nothing, and
# builds nothing.
prefix=$fake/prefix
: >"$fake/apt.log"
out=$(PATH="$fake/bin:$PATH" make -s -C "$src" install BUILD="$fake/build" PREFIX="$prefix" 2>&1) &&
	fail "make install succeeds with libraries missing"
grep -q 'missing: libtag1-dev libyaml-dev$' <<<"$out" || fail "make install says: $out"
[ -s "$fake/apt.log" ] && fail "make install ran: $(cat "$fake/apt.log")"
[ -e "$fake/build" ] || [ -e "$prefix" ] && fail "make install built or installed something"

# ---- What a plain build makes ---------------------------------------------
direct=$(ninja -C "$build" -t query all | sed -n '/input:/,/outputs:/s/^    //p')
for want in wembrix lib/wembrix/wembrix-taglib.so; do
	grep -qx "$want" <<<"$direct" || fail "a plain build does not make $want"
done
inputs=$(ninja -C "$build" -t inputs all)
while read -r f; do
	fail "a plain build makes $f"
done < <(grep -E "^tests/|^$src/tests/|_test\$" <<<"$inputs" | head -3)

[ "$failures" -eq 0 ] && echo "setup: all checks passed"
exit $((failures != 0))
