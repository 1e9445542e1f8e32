#!/bin/bash
# check_cli_docs.sh <qdupk> <completion-script> <manual-page>
# The shell completion and the manual page know every command that
# `qdupk --help` lists and every option each command's --help lists.
# EMULATOR runs a target program (cross build).
set -u

qdupk=$1
completion=$2
page=$3
failed=0

fail() {
    echo "FAIL: $*" >&2
    failed=1
}

run_qdupk() {
    # shellcheck disable=SC2086 # EMULATOR holds several words
    ${EMULATOR:-} "$qdupk" "$@"
}

# "commands:" is followed by one indented "name  summary" line each.
commands=$(run_qdupk --help | sed -n '/^commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p')
[ -n "$commands" ] || fail "qdupk --help lists no commands"

# The long and short options on a help's option lines, one a line.
options_of() {
    run_qdupk "$1" --help | grep -E '^ +-' | grep -oE '^ +(-[a-zA-Z], )?--[a-z-]+' |
        tr ', ' '\n\n' | grep -E '^-' | sort -u
}

# What the completion offers for the words given (the last is completed).
# shellcheck disable=SC1090 # the script under test
complete_words() {
    (
        . "$completion"
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMPREPLY=()
        _qdupk
        printf '%s\n' "${COMPREPLY[@]}"
    )
}

# The page's text with roff's escaped hyphens as plain ones.
page_text=$(sed 's/\\-/-/g' "$page")

offered=$(complete_words qdupk "")
for command in $commands; do
    grep -qx "$command" <<<"$offered" || fail "the completion does not offer command '$command'"
    grep -qE "^\.BI? \"?$command( |\"|$)" <<<"$page_text" ||
        fail "the manual page has no entry for command '$command'"
    command_options=$(complete_words qdupk "$command" -)
    for option in $(options_of "$command"); do
        grep -qx -- "$option" <<<"$command_options" ||
            fail "the completion does not offer '$option' for 'qdupk $command'"
        [ "$option" = -h ] || [ "$option" = --help ] || grep -q -- "$option" <<<"$page_text" ||
            fail "the manual page does not mention '$option' for 'qdupk $command'"
    done
done
grep -qx -- --version <<<"$(complete_words qdupk -)" ||
    fail "the completion does not offer --version"

[ $failed = 0 ] && echo "completion and manual page cover every command and option"
exit $failed
