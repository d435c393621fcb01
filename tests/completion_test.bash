#!/bin/bash
# Drives the bash completion of wembrix as bash itself would: a command line
# split into COMP_WORDS at bash's word breaks, the cursor at its end, then
# the completion function; its replies are compared with what is expected.
#
#	completion_test.bash COMPLETION_FILE [BASH_COMPLETION_LIBRARY]
#
# Without the library, the completion's own fallbacks are tested.
set -u

completion=$1
library=${2-}

dir=$(mktemp -d "${TMPDIR:-/tmp}/wembrix-completion.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
touch a.flac b.ogg notes.txt 'with space.flac'
mkdir disc1

if [[ -n $library ]]; then
	# shellcheck source=/dev/null
	. "$library" || exit 1
fi
# shellcheck source=/dev/null
. "$completion" || exit 1

failures=0

# check LINE EXPECTED: the sorted replies for LINE, the cursor at its end,
# must be EXPECTED (replies separated by '|', in any order).
check()
{
	local line=$1 expected=$2
	COMP_LINE=$line
	COMP_POINT=${#line}
	# bash's split: blanks separate words; ':' and '=' (of COMP_WORDBREAKS)
	# make words of their own.
	COMP_WORDS=()
	local word="" c i
	for ((i = 0; i < ${#line}; i++)); do
		c=${line:i:1}
		case $c in
		' ')
			[[ -n $word ]] && COMP_WORDS+=("$word")
			word=""
			;;
		':' | '=')
			if [[ -n $word && $word != [:=]* ]]; then
				COMP_WORDS+=("$word")
				word=""
			fi
			word+=$c
			;;
		*)
			if [[ $word == [:=]* ]]; then
				COMP_WORDS+=("$word")
				word=""
			fi
			word+=$c
			;;
		esac
	done
	COMP_WORDS+=("$word") # the word under the cursor, maybe empty
	COMP_CWORD=$((${#COMP_WORDS[@]} - 1))

	COMPREPLY=()
	_wembrix wembrix "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
	local got
	got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd '|')
	expected=$(tr '|' '\n' <<<"$expected" | LC_ALL=C sort | paste -sd '|')
	if [[ $got != "$expected" ]]; then
		printf 'FAIL: %s\n  words:    %s\n  expected: %s\n  got:      %s\n' \
			"$line" "$(printf '[%s]' "${COMP_WORDS[@]}")" "$expected" "$got"
		failures=$((failures + 1))
	fi
}

files='a.flac|b.ogg|disc1|notes.txt|with space.flac'
actions='add:|backend|clear:|edit|export-picture:|import-picture:|info|load:|pictures|print|remove-pictures:|rename:|set:'

# Options, and the formats after -F.
check 'wembrix -' '--all-tags|--dry-run|--help|--journal|--pictures|--undo|--version|-F|-N|-Y|-h|-n|-p|-r'
check 'wembrix --undo no' 'notes.txt'
check 'wembrix --h' '--help'
check 'wembrix --a' '--all-tags'
check 'wembrix --all-tags -F json set:bp' 'bpm='
check 'wembrix -F ' 'json|yml'
check 'wembrix -p -F j' 'json'
check 'wembrix -Y -F json ' "$actions|$files"
# Action words, those with an argument with their colon.
check 'wembrix lo' 'load:'
check 'wembrix print in' 'info'
check 'wembrix -F yml p' 'pictures|print'
check 'wembrix -F yml pr' 'print'
check 'wembrix ex' 'export-picture:'
check 'wembrix im' 'import-picture:'
check 'wembrix rem' 'remove-pictures:'
# The image after import-picture:, with or without a type; types after
# remove-pictures:.
check 'wembrix import-picture:n' 'notes.txt'
check 'wembrix import-picture:back=n' 'notes.txt'
check 'wembrix import-picture:a.flac remove-pictures:b' 'back'
check 'wembrix b' 'b.ogg|backend'
check 'wembrix -- ' "$actions|$files"
# Tag names after set:, add: and clear:.
check 'wembrix set:ti' 'title='
check 'wembrix print add:AL' ''
check 'wembrix print add:al' 'album=|albumartist='
check 'wembrix clear:comp' 'composer'
check 'wembrix set:title=Some' ''
# Files after load:, none in a rename pattern.
check 'wembrix load:n' 'notes.txt'
check 'wembrix load:di' 'disc1'
check 'wembrix rename:%ar' ''
# Once a file is named, only files follow: no more actions or options.
check 'wembrix a.flac ' "$files"
check 'wembrix a.flac p' ''
check 'wembrix set:artist=X a.flac -' ''
check 'wembrix set:artist=X clear:comment ' "$actions|$files"
check 'wembrix print -' ''
check 'wembrix w' 'with space.flac'

if ((failures > 0)); then
	echo "$failures completion check(s) failed"
	exit 1
fi
