# bash completion for varnok                               -*- shell-script -*-

_varnok()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
        -s)
            # Hosts from the same places ping and ssh take them; varnok
            # prints IPv4 addresses only, so IPv6 ones are left out.
            _known_hosts_real -4 -- "$cur"
            return
            ;;
        -t | -e | -x)
            return
            ;;
    esac

    [[ $cur == -* ]] && COMPREPLY=($(compgen -W '-e -s -t -w -x' -- "$cur"))
} &&
    complete -F _varnok varnok

# ex: filetype=sh
