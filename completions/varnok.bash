# bash completion for varnok                               -*- shell-script -*-

_varnok()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
        -s)
            # Hosts from the same places ping and ssh take them, with
            # addresses of the family asked for alone, or of both with -a:
            # the last of -4, -6 and -a counts.
            local word family=-4
            for word in "${words[@]:1:cword-1}"; do
                [[ $word == -[46a] ]] && family=$word
            done
            [[ $family == -a ]] && family=
            _known_hosts_real ${family:+"$family"} -- "$cur"
            return
            ;;
        -t | -e | -x | -p)
            return
            ;;
    esac

    [[ $cur == -* ]] && COMPREPLY=($(compgen -W '-4 -6 -a -e -p -s -t -w -x' -- "$cur"))
} &&
    complete -F _varnok varnok

# ex: filetype=sh
