#!/usr/bin/env bash
# completion.bash FILE: load FILE as bash-completion loads varnok's
# completion when Tab is first pressed after "varnok", then check what it
# offers for each command line of the table. Exits 77 without
# bash-completion.
set -u
. /usr/share/bash-completion/bash_completion 2>/dev/null || exit 77
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/completions" "$tmp/.ssh"
ln -s "$(realpath "$1")" "$tmp/completions/varnok"
# Hosts come from the hosts file and ssh's known hosts; the test's own names
# start with vk- or fe80::, so that what the machine has cannot match.
printf '10.0.0.1 vk-file\n10.0.0.2 vk-both\n' >"$tmp/hosts"
printf '%s ssh-ed25519 AAAAC3NzaC1lZDI1NTE5\n' vk-known vk-both \
	fe80::99 10.9.9.99 >"$tmp/.ssh/known_hosts"
HOME=$tmp HOSTFILE=$tmp/hosts BASH_COMPLETION_USER_DIR=$tmp
__load_completion varnok || { echo "FAIL completion not loaded"; exit 1; }
read -r -a registered <<<"$(complete -p varnok)"
func=${registered[-2]}

# LINE|OFFERED: Tab at the end of LINE offers the words OFFERED, sorted;
# as readline breaks words at a colon, what comes after the last one.
cases=(
	'varnok -s vk-|vk-both vk-file vk-known'
	'varnok -t 5 -s vk-f|vk-file'
	'varnok -s 10.9.9.9|10.9.9.99'
	'varnok -s fe80::|'
	'varnok -6 -s fe80::|99'
	'varnok -6 -s 10.9.9.9|'
	'varnok -6 -4 -s 10.9.9.9|10.9.9.99'
	'varnok -4 -w -6 -s vk-k|vk-known'
	'varnok -a -s 10.9.9.9|10.9.9.99'
	'varnok -a -s fe80::|99'
	'varnok -6 -a -s vk-b|vk-both'
	'varnok -t -|'
	'varnok -t 5 -|-4 -6 -a -e -p -s -t -w -x'
	'varnok -e 10.0.0.1 -s vk-f|vk-file'
	'varnok -x |'
	'varnok -p |'
	'varnok -w -s vk-k|vk-known'
	'varnok -|-4 -6 -a -e -p -s -t -w -x'
	'varnok vk-|'
)
passed=0 failed=0
for c in "${cases[@]}"; do
	COMP_LINE=${c%%|*} want=${c#*|}
	COMP_POINT=${#COMP_LINE}
	read -r -a COMP_WORDS <<<"$COMP_LINE"
	[[ $COMP_LINE == *' ' ]] && COMP_WORDS+=('')
	COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
	COMPREPLY=()
	"$func" varnok "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
	got=$(printf '%s\n' "${COMPREPLY[@]}" | sort -u | paste -sd ' ')
	if [ "$got" = "$want" ]; then
		echo "ok   completion $COMP_LINE"
		passed=$((passed + 1))
	else
		echo "FAIL completion $COMP_LINE: got '$got', want '$want'"
		failed=$((failed + 1))
	fi
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
