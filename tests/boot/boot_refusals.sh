#!/bin/bash
# boot_refusals.sh SHIM
# The stand-in refuses every construct a board's hush lacks or bash runs
# differently, naming it and its line, before anything runs: in a script,
# and in a variable's text when run reaches it.
# shellcheck disable=SC2016 # the scripts under test are literal text
set -u
BOOT_SHIM=$1
BOOT_DIR=$(mktemp -d)
trap 'rm -rf "$BOOT_DIR"' EXIT
# shellcheck source-path=SCRIPTDIR source=boot_lib.sh
. "$(dirname "$0")/boot_lib.sh"

boot_env "$BOOT_DIR" "qd_boot_a=qdrig_boot a | cat" "qd_ok=echo fine" || exit 1
config=$BOOT_DIR/fw_env.config

# refused LINE2 WORD: a script whose second line is LINE2 must be refused,
# and the message must name line 2 and WORD.
refused() {
    printf '# a comment\n%s\necho after\n' "$1" >"$BOOT_DIR/script"
    local err
    err=$("$BOOT_SHIM" --env-config "$config" "$BOOT_DIR/script" 2>&1 >/dev/null)
    local status=$?
    [ $status = 2 ] || boot_fail "'$1': exit $status, want 2"
    case $err in
    *"line 2"*"$2"*) ;;
    *) boot_fail "'$1': message '$err' does not name line 2 and '$2'" ;;
    esac
    case $err in
    *after*) boot_fail "'$1': the script ran before the refusal" ;;
    esac
}

refused '[ "a" = "b" ] && echo x' "'['"
refused 'case a in a) echo x ;; esac' "command 'case'"
refused 'f() { echo x; }' "'('"
refused 'function f' "command 'function'"
refused 'echo $(echo x)' "'\$('"
refused 'echo `echo x`' '`'
refused 'echo $((1 + 1))' "'\$(('"
refused 'echo x > out' "redirection '>'"
refused 'echo x < in' "redirection '<'"
refused 'echo x | echo y' "'|'"
refused 'echo x & echo y' "'&'"
refused '! test "a" = "b"' "'!'"
refused 'exit 1' "command 'exit'"
refused 'while test "a" = "a"; do echo x; done' "command 'while'"
refused 'for x in a; do echo x; done' "command 'for'"
refused 'x=1' "assignment"
refused 'echo $qd_state' "expansion"
refused 'echo ${qd_state:-a}' "expansion"
refused 'echo \x' "backslash"
refused 'test ${qd_state} = "trial"' "unquoted test operand"
refused 'test "a" = "b" -a "c" = "d"' "test operator '-a'"
refused 'test "a" = "b" -o "c" = "d"' "test operator '-o'"
refused 'test -e "/etc"' "test operator '-e'"
refused 'test "a" "b"' "test form"
refused 'run qd_boot_a qd_ok' "one variable per call"
refused 'if test "a" = "a"; then echo "x; fi' "unterminated"

# A variable's text is checked when run reaches it, before it runs.
printf 'echo before\nrun qd_ok\nrun qd_boot_a\n' >"$BOOT_DIR/script"
out=$("$BOOT_SHIM" --env-config "$config" "$BOOT_DIR/script" 2>&1)
status=$?
[ $status = 2 ] || boot_fail "run of a piped variable: exit $status, want 2"
case $out in
*before*fine*"variable qd_boot_a line 1"*"'|'"*) ;;
*) boot_fail "run of a piped variable: '$out'" ;;
esac

[ "$BOOT_FAILED" = 0 ] && echo "refusals checked"
exit "$BOOT_FAILED"
