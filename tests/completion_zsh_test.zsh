#!/bin/zsh -f
# Types command lines into an interactive zsh that has the wembrix
# completion in its fpath, presses Tab, and compares the line that results.
#
#	completion_zsh_test.zsh COMPLETION_DIR
zmodload zsh/zpty || exit 1

completion_dir=$1
dir=$(mktemp -d "${TMPDIR:-/tmp}/wembrix-zcompletion.XXXXXX") || exit 1
trap 'zpty -d shell 2>/dev/null; rm -rf $dir' EXIT
touch $dir/a.flac $dir/b.ogg $dir/notes.txt

zpty -b shell "zsh -f -i" || exit 1
zpty -w shell "PS1='' PROMPT='' RPROMPT=''; fpath=($completion_dir \$fpath)"
zpty -w shell "autoload -Uz compinit; compinit -u -D; cd $dir"
# Ctrl-X writes the edited line to a file.
zpty -w shell 'dumpline() { print -r -- "[$BUFFER]" >.line; }; zle -N dumpline; bindkey "^X" dumpline'
zpty -w shell "echo READY"
zpty -r shell line '*READY*' || exit 1

failures=0
# check TYPED EXPECTED: TYPED, then Tab, must leave the line EXPECTED.
check() {
	rm -f $dir/.line
	zpty -w -n shell "$1"$'\t\x18'
	# Wait for the line to be written, however loaded the machine is.
	local i
	for ((i = 0; i < 1200; i++)); do
		[[ -s $dir/.line ]] && break
		sleep 0.05
	done
	local got=$(<$dir/.line)
	if [[ $got != "[$2]" ]]; then
		print -r -- "FAIL: '$1': expected [$2], got $got"
		((failures++))
	fi
	zpty -w -n shell $'\x15' # kill the line for the next case
}

check 'wembrix --vers' 'wembrix --version '
check 'wembrix --al' 'wembrix --all-tags '
check 'wembrix --dr' 'wembrix --dry-run '
check 'wembrix --all-tags set:musicbrainz_al' 'wembrix --all-tags set:musicbrainz_albumid='
check 'wembrix -F j' 'wembrix -F json '
check 'wembrix -Y -F json pri' 'wembrix -Y -F json print '
check 'wembrix lo' 'wembrix load:'
check 'wembrix set:ti' 'wembrix set:title='
check 'wembrix print clear:compo' 'wembrix print clear:composer '
check 'wembrix load:no' 'wembrix load:notes.txt '
check 'wembrix imp' 'wembrix import-picture:'
check 'wembrix import-picture:back=no' 'wembrix import-picture:back=notes.txt '
check 'wembrix remove-pictures:ba' 'wembrix remove-pictures:back '
check 'wembrix n' 'wembrix notes.txt '
# Once a file is named, only files follow.
check 'wembrix a.flac pr' 'wembrix a.flac pr'
check 'wembrix a.flac b' 'wembrix a.flac b.ogg '

((failures == 0)) || { print "$failures zsh completion check(s) failed"; exit 1; }
