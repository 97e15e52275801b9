#!/bin/bash
# The manual pages render without a warning and name every option their
# program's --help names; the bash completion of kbx offers its commands,
# options and the COM numbers of `kbx ports`.
# Usage: man_and_completion_test.sh SOURCE_DIR KBX KBX_UPS_SIM KBX_CONFIGURATOR
set -u
source_dir=$1
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

for program in "$2" "$3" "$4"; do
    name=$(basename "$program")
    page=$source_dir/docs/man/$name.1
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [[ -z $warnings ]] || fail "$name.1: $warnings"
    text=$(MANWIDTH=80 man -l "$page" 2>&1)
    [[ $text == *NAME* && $text == *SYNOPSIS* && $text == *"EXIT STATUS"* ]] || fail "$name.1: sections missing"
    # The options the page names: "\-\-json" in roff is --json.
    named=$(grep -o -- '\\-\\-[a-z][a-z\\-]*' "$page" | sed 's/\\-/-/g' | sort -u)
    for option in $("$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -qx -- "$option" <<<"$named" || fail "$name.1 does not name $option"
    done
done

# shellcheck source=/dev/null
source "$source_dir/data/kbx.bash-completion"
kbx_dir=$(dirname "$2")
PATH=$kbx_dir:$PATH
complete_words() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _kbx
    echo "${COMPREPLY[*]}"
}
expect() {
    local want=$1
    shift
    local got
    got=$(complete_words "$@")
    [[ $got == "$want" ]] || fail "completing '$*': got '$got', want '$want'"
}
COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'
first_com=$("$2" ports | sed -n 's/^COM\([0-9]*\) .*/\1/p' | head -n 1)
expect "connect runtime modules info ports scan" kbx ""
expect "--json" kbx --j
expect "0 1 2" kbx modules ""
expect "290 292" kbx --simulate 29
expect "7" kbx --com 7=/dev/null --port 7
expect "7" kbx --com 7=/dev/null --port = 7
if [[ -n $first_com ]]; then
    expect "$first_com=" kbx --com "$first_com"
fi
expect "/dev/null" kbx --com 3 = /dev/nul
# A serial server on the network.
expect "rfc2217://" kbx --com 3=rfc
expect "tcp://" kbx --com 3 = tc
# Every rate --baud takes, as --help lists them.
rates=$("$2" --help | sed -n '/--baud RATE/,/(default/p' | grep -o '[0-9][0-9]*' | sed '$d' | tr '\n' ' ')
expect "${rates% }" kbx --baud ""
expect "--port --baud --com --access-code --access-code-file --simulate --trace --yes -y --json --help -h --version --" kbx -
# File names with blanks come escaped, folders with their slash.
files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
touch "$files/my file"
mkdir "$files/sub dir"
expect "$files/my\\ file" kbx --trace "$files/my"
expect "$files/sub\\ dir/" kbx --access-code-file "$files/su"
expect "$files/my\\ file" kbx --com "7=$files/my"
# Nothing follows ports; after scan only the options it uses.
expect "" kbx ports ""
expect "" kbx ports --
expect "" kbx scan ""
expect "--com" kbx scan --co
expect "--baud --com --access-code --access-code-file --json --" kbx scan -

if ((failures)); then
    exit 1
fi
echo "man pages and completion: all good"
