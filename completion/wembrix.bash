# bash completion for wembrix                             -*- shell-script -*-
#
#	wembrix [OPTION]... [ACTION:ARG]... [FILE]...
#
# Options come first, then action words, then files: the first word that is
# no option ends the options, the first that is no action word starts the
# files.

_wembrix_tag_names="title artist album albumartist date year genre tracknumber
tracktotal discnumber disctotal comment composer performer conductor lyricist
copyright license organization label description isrc encoder lyrics bpm
grouping originaldate musicbrainz_trackid musicbrainz_albumid
musicbrainz_artistid replaygain_track_gain replaygain_album_gain"

_wembrix()
{
	local cur prev words cword
	if declare -F _init_completion >/dev/null; then
		# Takes "set:ti" as one word although bash splits it at the colon.
		_init_completion -n := || return
	else
		# Without bash-completion: the words are what blanks separate.
		local line=${COMP_LINE:0:COMP_POINT}
		read -ra words <<<"$line"
		[[ -z $line || $line == *[[:blank:]] ]] && words+=("")
		cword=$((${#words[@]} - 1))
		cur=${words[cword]}
	fi

	# Which part of the command line the word to complete is in.
	local i=1 w part=options
	while ((i < cword)); do
		w=${words[i]}
		case $part in
		options)
			case $w in
			--) part=actions ;;
			-*F | --journal | --undo) ((i++)) ;; # these take the next word
			-?*) ;;
			*)
				part=actions
				continue # the same word again, as an action
				;;
			esac
			;;
		actions)
			case $w in
			print | print:* | backend | backend:* | edit | edit:* | info | info:* | pictures | pictures:* | export-picture:* | \
				import-picture:* | remove-pictures:* | clear:* | add:* | set:* | load:* | rename:*) ;;
			*) part=files ;;
			esac
			;;
		*) break ;;
		esac
		((i++))
	done

	if [[ $part == options ]] && ((cword > 1)) && [[ ${words[cword - 1]} == -*F ]]; then
		COMPREPLY=($(compgen -W "yml json" -- "$cur"))
		return
	fi
	if [[ $part == options ]] && ((cword > 1)) &&
		[[ ${words[cword - 1]} == --journal || ${words[cword - 1]} == --undo ]]; then
		_wembrix_files "$cur"
		return
	fi
	if [[ $part == options && $cur == -* ]]; then
		COMPREPLY=($(compgen -W "-h -n -p -r -F -Y -N --help --version --all-tags --dry-run --journal --undo --pictures" -- "$cur"))
		return
	fi
	if [[ $part == files ]]; then
		_wembrix_files "$cur"
		return
	fi

	local tag prefix
	case $cur in
	set:* | add:*)
		prefix=${cur%%:*}:
		COMPREPLY=($(compgen -P "$prefix" -S = -W "$_wembrix_tag_names" -- "${cur#*:}"))
		compopt -o nospace 2>/dev/null
		;;
	clear:*)
		COMPREPLY=($(compgen -P clear: -W "$_wembrix_tag_names" -- "${cur#clear:}"))
		;;
	load:*)
		local IFS=$'\n'
		COMPREPLY=($(compgen -P load: -f -- "${cur#load:}"))
		compopt -o filenames 2>/dev/null
		;;
	import-picture:*)
		local IFS=$'\n'
		# '=' breaks words: after one, the image's name is the word.
		if [[ ${cur#import-picture:} == *=* ]]; then
			COMPREPLY=($(compgen -f -- "${cur#*=}"))
		else
			COMPREPLY=($(compgen -P import-picture: -f -- "${cur#import-picture:}"))
		fi
		compopt -o filenames 2>/dev/null
		;;
	remove-pictures:*)
		COMPREPLY=($(compgen -P remove-pictures: -W "front back other" -- "${cur#remove-pictures:}"))
		;;
	rename:*)
		;;
	*)
		COMPREPLY=($(compgen -W "print backend edit info pictures" -- "$cur")
			$(compgen -S : -W "clear add set load rename export-picture import-picture remove-pictures" -- "$cur"))
		if ((${#COMPREPLY[@]} == 1)) && [[ ${COMPREPLY[0]} == *: ]]; then
			compopt -o nospace 2>/dev/null
		fi
		local action_words=("${COMPREPLY[@]}")
		COMPREPLY=()
		_wembrix_files "$cur"
		COMPREPLY=("${action_words[@]}" "${COMPREPLY[@]}")
		;;
	esac
	# bash replaces only the text after the last colon.
	if [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]]; then
		local colon_prefix=${cur%"${cur##*:}"}
		for i in "${!COMPREPLY[@]}"; do
			COMPREPLY[i]=${COMPREPLY[i]#"$colon_prefix"}
		done
	fi
} &&
	complete -F _wembrix wembrix

_wembrix_files()
{
	if declare -F _filedir >/dev/null; then
		_filedir
	else
		local IFS=$'\n'
		COMPREPLY=($(compgen -f -- "$1"))
		compopt -o filenames 2>/dev/null
	fi
}

# ex: filetype=sh
