#!/bin/bash
# shellcheck disable=SC2016,SC2317 # literal "$(" patterns; the commands are called from eval
# The rig's boot loader: runs a U-Boot hush boot script (the shipped
# doc/qdboot-boot.cmd) over a file-backed U-Boot environment.
#
#   scripts/bootloader-shim.sh --env-config FW_ENV_CONFIG
#                              [--kernel a=PATH] [--kernel b=PATH]
#                              [--recovery PATH] SCRIPT
#
# The script's own text runs in this shell, where setenv, saveenv, run,
# setexpr, test, echo and qdrig_boot behave as U-Boot's commands do:
# setenv changes memory only, saveenv stores every change with one
# "fw_setenv -c FW_ENV_CONFIG -s FILE", ${name} expands from the environment
# in memory, setexpr counts in hex, test compares numbers as U-Boot's
# simple_strtol reads them, run executes a variable's text as hush does (a
# failing command does not stop the rest; the last command's status is
# run's). "qdrig_boot X" boots slot X's kernel the way bootm checks it;
# "qdrig_boot recovery" boots the recovery kernel given with --recovery
# (a board with one slot names it in qd_boot_recovery).
#
# Before anything runs, the text (and each variable's text before run
# executes it) is checked: any construct beyond simple commands, ";", "&&",
# "||", if/then/else/fi and those commands is refused, so a script that
# passes here needs nothing a board's hush lacks, and nothing bash does
# differently.
#
# Exit status: 0 a kernel booted (stdout "booted X", X being a, b or
# recovery, and "bootargs=..."),
# 1 nothing booted (stdout "booted none"), 2 a refused construct, an
# unreadable environment or a usage error (stderr says which). The
# script's echo goes to stderr, so stdout carries the outcome only.
# QDS_ENV_WAIT (seconds, default 60) bounds each wait for libubootenv's lock.
set -f
export LC_ALL=C

QDS_ME=bootloader-shim
QDS_CONFIG=
QDS_SCRIPT=
QDS_DEPTH=0
# libubootenv waits for its lock under /var/lock without end; a rig whose
# lock is never released must fail, not hang.
QDS_ENV_WAIT=${QDS_ENV_WAIT:-60}
declare -A QDS_KERNEL=() QDS_ENV=() QDS_STORED=()

qds_die() {
    printf '%s: %s\n' "$QDS_ME" "$*" >&2
    exit 2
}

qds_usage() {
    qds_die "usage: $QDS_ME --env-config FW_ENV_CONFIG [--kernel a=PATH] [--kernel b=PATH] [--recovery PATH] SCRIPT${1:+ ($1)}"
}

qds_parse_args() {
    while [[ $# -gt 0 ]]; do
        case $1 in
        --env-config) [[ $# -ge 2 ]] || qds_usage "--env-config needs a file"
            QDS_CONFIG=$2; shift 2 ;;
        --kernel) [[ $# -ge 2 && $2 == ?*=?* ]] || qds_usage "--kernel needs SLOT=PATH"
            QDS_KERNEL[${2%%=*}]=${2#*=}; shift 2 ;;
        --recovery) [[ $# -ge 2 && -n $2 ]] || qds_usage "--recovery needs a file"
            QDS_KERNEL[recovery]=$2; shift 2 ;;
        -*) qds_usage "unknown option $1" ;;
        *) [[ -z $QDS_SCRIPT ]] || qds_usage "one script only"
            QDS_SCRIPT=$1; shift ;;
        esac
    done
    [[ -n $QDS_CONFIG && -n $QDS_SCRIPT ]] || qds_usage
    [[ -r $QDS_SCRIPT ]] || qds_die "cannot read $QDS_SCRIPT"
}

# --- The static check -------------------------------------------------------
# A scan over the text that knows quotes, comments and separators, collects
# the words of each command and judges them when the command ends.

qds_refuse() {
    qds_die "$QDS_WHERE line $QDS_LINE: refused: $*"
}

readonly QDS_COMMANDS=" setenv saveenv run setexpr test echo qdrig_boot "
readonly QDS_KEYWORDS=" if then else fi "
readonly QDS_TEST_UNARY=" -z -n "
readonly QDS_TEST_BINARY=" = != -eq -ne -lt -le -gt -ge "

# The command's name is judged as soon as it is read, so a refused keyword
# (case, while, function) is named before its other punctuation is met.
qds_judge_name() {
    [[ $QDS_NAMED == 0 && $QDS_KEYWORDS != *" $1 "* ]] || return 0
    QDS_NAMED=1
    [[ $1 != *=* ]] || qds_refuse "assignment '$1'"
    [[ $QDS_COMMANDS == *" $1 "* ]] || qds_refuse "command '$1'"
}

# Judges a command's arguments: QDS_WORDS holds its words as written,
# QDS_WHOLE a 1 for each word that is one quoted string and nothing else.
qds_judge_command() {
    local -i QDS_I=0
    while [[ $QDS_I -lt ${#QDS_WORDS[@]} && $QDS_KEYWORDS == *" ${QDS_WORDS[QDS_I]} "* ]]; do
        QDS_I+=1
    done
    [[ $QDS_I -lt ${#QDS_WORDS[@]} ]] || return 0
    local -a QDS_ARGS=("${QDS_WORDS[@]:QDS_I+1}") QDS_ARGWHOLE=("${QDS_WHOLE[@]:QDS_I+1}")
    case ${QDS_WORDS[QDS_I]} in
    test) qds_judge_test ;;
    run) [[ ${#QDS_ARGS[@]} -eq 1 ]] || qds_refuse "run takes one variable per call" ;;
    esac
}

qds_judge_test() {
    local QDS_W
    for QDS_W in "${QDS_ARGS[@]}"; do
        case $QDS_W in
        -a | -o | -e | -f | -d | '<' | '>' | '!') qds_refuse "test operator '$QDS_W'" ;;
        esac
    done
    local -i QDS_N=${#QDS_ARGS[@]}
    if [[ $QDS_N -eq 2 && $QDS_TEST_UNARY == *" ${QDS_ARGS[0]} "* ]]; then
        [[ ${QDS_ARGWHOLE[1]} == 1 ]] || qds_refuse "unquoted test operand '${QDS_ARGS[1]}'"
    elif [[ $QDS_N -eq 3 && $QDS_TEST_BINARY == *" ${QDS_ARGS[1]} "* ]]; then
        [[ ${QDS_ARGWHOLE[0]} == 1 ]] || qds_refuse "unquoted test operand '${QDS_ARGS[0]}'"
        [[ ${QDS_ARGWHOLE[2]} == 1 ]] || qds_refuse "unquoted test operand '${QDS_ARGS[2]}'"
    else
        qds_refuse "test form 'test ${QDS_ARGS[*]}' (one of: test OP \"x\", test \"x\" OP \"y\")"
    fi
}

# Ends the word being built (if any) and, with $1 = 1, the command.
qds_end_word() {
    if [[ $QDS_INWORD == 1 ]]; then
        qds_judge_name "$QDS_WORD"
        QDS_WORDS+=("$QDS_WORD")
        if [[ $QDS_SEGMENTS == 1 && $QDS_BARE == 0 ]]; then
            QDS_WHOLE+=(1)
        else
            QDS_WHOLE+=(0)
        fi
    fi
    QDS_INWORD=0 QDS_WORD='' QDS_SEGMENTS=0 QDS_BARE=0
    if [[ $1 == 1 ]]; then
        qds_judge_command
        QDS_WORDS=() QDS_WHOLE=() QDS_NAMED=0
    fi
}

# ${name} with a lower-case name, the one expansion allowed; $QDS_POS is
# at the "$". Lower case keeps the names apart from the shell's own.
qds_scan_dollar() {
    local QDS_REST=${QDS_TEXT:QDS_POS:64}
    if [[ $QDS_REST =~ ^\$\{([a-z][a-z0-9_]*)\} ]]; then
        QDS_WORD+=${BASH_REMATCH[0]}
        QDS_POS+=${#BASH_REMATCH[0]}
        return
    fi
    case $QDS_REST in
    '$(('*) qds_refuse "arithmetic '\$(('" ;;
    '$('*) qds_refuse "command substitution '\$('" ;;
    '${'*) qds_refuse "expansion '${QDS_REST%%\}*}}' (only \${name}, name in lower case)" ;;
    *) qds_refuse "expansion '${QDS_REST:0:2}' (only \${name})" ;;
    esac
}

qds_scan_quoted() {
    local QDS_Q=$1 QDS_C QDS_OPENED=$QDS_LINE
    QDS_WORD+=$QDS_Q
    QDS_POS+=1
    while [[ $QDS_POS -lt ${#QDS_TEXT} ]]; do
        QDS_C=${QDS_TEXT:QDS_POS:1}
        if [[ $QDS_C == "$QDS_Q" ]]; then
            QDS_WORD+=$QDS_C
            QDS_POS+=1
            return
        fi
        [[ $QDS_C != $'\n' ]] || QDS_LINE+=1
        if [[ $QDS_Q == '"' ]]; then
            case $QDS_C in
            '$') qds_scan_dollar; continue ;;
            '`') qds_refuse "command substitution '\`'" ;;
            "\\") qds_refuse "backslash" ;;
            esac
        fi
        QDS_WORD+=$QDS_C
        QDS_POS+=1
    done
    QDS_LINE=$QDS_OPENED
    qds_refuse "unterminated $QDS_Q"
}

# One character outside quotes.
qds_scan_bare() {
    local QDS_C=${QDS_TEXT:QDS_POS:1} QDS_PAIR=${QDS_TEXT:QDS_POS:2}
    case $QDS_C in
    ' ' | $'\t') qds_end_word 0 ;;
    $'\n') qds_end_word 1; QDS_LINE+=1 ;;
    ';') [[ $QDS_PAIR != ';;' ]] || qds_refuse "';;' (case)"
        qds_end_word 1 ;;
    '&' | '|') [[ $QDS_PAIR == "$QDS_C$QDS_C" ]] || qds_refuse \
            "'$QDS_C' ($([[ $QDS_C == '|' ]] && printf pipe || printf background))"
        qds_end_word 1; QDS_POS+=1 ;;
    '#') if [[ $QDS_INWORD == 0 ]]; then
            while [[ $QDS_POS -lt ${#QDS_TEXT} && ${QDS_TEXT:QDS_POS:1} != $'\n' ]]; do
                QDS_POS+=1
            done
            return
        fi
        QDS_BARE=1 QDS_WORD+=$QDS_C ;;
    '"' | "'") QDS_INWORD=1 QDS_SEGMENTS+=1; qds_scan_quoted "$QDS_C"; return ;;
    '$') QDS_INWORD=1 QDS_BARE=1; qds_scan_dollar; return ;;
    '`') qds_refuse "command substitution '\`'" ;;
    '<' | '>') qds_refuse "redirection '$QDS_C'" ;;
    '(' | ')') qds_refuse "'$QDS_C' (subshell, function or arithmetic)" ;;
    '{' | '}') qds_refuse "'$QDS_C' (group or brace expansion)" ;;
    '[' | ']') qds_refuse "'$QDS_C' (use test)" ;;
    '!') qds_refuse "'!'" ;;
    "\\") qds_refuse "backslash" ;;
    '~') qds_refuse "'~' (tilde expansion)" ;;
    *) QDS_INWORD=1 QDS_BARE=1 QDS_WORD+=$QDS_C ;;
    esac
    QDS_POS+=1
}

# qds_check TEXT WHERE: refuses (exit 2) what a hush boot script must not
# use, then lets bash judge the syntax (if/fi balance and the like).
qds_check() {
    local QDS_TEXT=$1 QDS_WHERE=$2 QDS_WORD='' QDS_INWORD=0 QDS_BARE=0 QDS_NAMED=0
    local -i QDS_POS=0 QDS_LINE=1 QDS_SEGMENTS=0
    local -a QDS_WORDS=() QDS_WHOLE=()
    while [[ $QDS_POS -lt ${#QDS_TEXT} ]]; do
        qds_scan_bare
    done
    qds_end_word 1
    local QDS_ERR
    QDS_ERR=$(bash -n -c "$QDS_TEXT" 2>&1) || qds_die "$QDS_WHERE: syntax: ${QDS_ERR#bash: -c: }"
}

# --- The environment --------------------------------------------------------

qds_load_env() {
    local QDS_OUT QDS_LINE_TEXT
    QDS_OUT=$(timeout "$QDS_ENV_WAIT" fw_printenv -c "$QDS_CONFIG" 2>&1) ||
        qds_die "cannot read the environment of $QDS_CONFIG (or waited $QDS_ENV_WAIT s for its lock): $QDS_OUT"
    while IFS= read -r QDS_LINE_TEXT; do
        [[ $QDS_LINE_TEXT == ?*=* ]] || continue
        QDS_ENV[${QDS_LINE_TEXT%%=*}]=${QDS_LINE_TEXT#*=}
    done <<<"$QDS_OUT"
    local QDS_NAME
    for QDS_NAME in $(compgen -v); do
        [[ $QDS_NAME != [a-z]* ]] || unset "$QDS_NAME"
    done
    for QDS_NAME in "${!QDS_ENV[@]}"; do
        QDS_STORED[$QDS_NAME]=${QDS_ENV[$QDS_NAME]}
        qds_mirror "$QDS_NAME"
    done
}

# The shell variable the script's ${name} expands, kept equal to the
# environment in memory.
qds_mirror() {
    [[ $1 =~ ^[a-z][a-z0-9_]*$ ]] || return 0
    if [[ -v QDS_ENV[$1] ]]; then
        printf -v "$1" '%s' "${QDS_ENV[$1]}"
    else
        unset "$1"
    fi
}

# --- U-Boot's commands ------------------------------------------------------

setenv() {
    [[ $# -ge 1 && -n $1 && $1 != *=* ]] || {
        printf '## Error: setenv needs a variable name without "="\n' >&2
        return 1
    }
    local QDS_NAME=$1
    shift
    if [[ $# -eq 0 ]]; then
        unset "QDS_ENV[$QDS_NAME]"
    else
        QDS_ENV[$QDS_NAME]="$*"
    fi
    qds_mirror "$QDS_NAME"
}

# One store of every change since the last one, as one fw_setenv script.
saveenv() {
    local QDS_FILE=$QDS_TMP/saveenv QDS_NAME
    local -a QDS_CHANGES=()
    for QDS_NAME in "${!QDS_ENV[@]}"; do
        [[ -v QDS_STORED[$QDS_NAME] && ${QDS_STORED[$QDS_NAME]} == "${QDS_ENV[$QDS_NAME]}" ]] ||
            QDS_CHANGES+=("$QDS_NAME=${QDS_ENV[$QDS_NAME]}")
    done
    for QDS_NAME in "${!QDS_STORED[@]}"; do
        [[ -v QDS_ENV[$QDS_NAME] ]] || QDS_CHANGES+=("$QDS_NAME=")
    done
    if [[ ${QDS_CHANGES[*]} == *$'\n'* ]]; then
        printf 'Saving Environment: a value holds a line break, which fw_setenv cannot store\n' >&2
        return 1
    fi
    : >"$QDS_FILE"
    [[ ${#QDS_CHANGES[@]} -eq 0 ]] || printf '%s\n' "${QDS_CHANGES[@]}" >"$QDS_FILE"
    printf 'Saving Environment to %s\n' "$QDS_CONFIG" >&2
    timeout "$QDS_ENV_WAIT" fw_setenv -c "$QDS_CONFIG" -s "$QDS_FILE" >&2 || {
        printf 'Saving Environment failed (or waited %s s for its lock)\n' "$QDS_ENV_WAIT" >&2
        return 1
    }
    QDS_STORED=()
    for QDS_NAME in "${!QDS_ENV[@]}"; do
        QDS_STORED[$QDS_NAME]=${QDS_ENV[$QDS_NAME]}
    done
}

run() {
    [[ $# -eq 1 ]] || qds_die "run takes one variable per call (got: run $*)"
    [[ -v QDS_ENV[$1] ]] || {
        printf '## Error: "%s" not defined\n' "$1" >&2
        return 1
    }
    [[ $QDS_DEPTH -lt 32 ]] || qds_die "run nested deeper than 32 (variable $1)"
    qds_check "${QDS_ENV[$1]}" "variable $1"
    QDS_DEPTH=$((QDS_DEPTH + 1))
    eval "${QDS_ENV[$1]}"
    local QDS_STATUS=$?
    QDS_DEPTH=$((QDS_DEPTH - 1))
    return "$QDS_STATUS"
}

# U-Boot's hextoul: the hex digits at the start, after an optional 0x.
qds_hex() {
    local QDS_V=${1#0[xX]}
    QDS_V=${QDS_V%%[!0-9a-fA-F]*}
    printf '%s' "$((16#${QDS_V:-0}))"
}

setexpr() {
    [[ $# -eq 4 && ($3 == + || $3 == -) && $2 != \** && $4 != \** ]] ||
        qds_die "setexpr: only 'setexpr NAME A + B' and 'setexpr NAME A - B' on counters (got: setexpr $*)"
    local -i QDS_A QDS_B
    QDS_A=$(qds_hex "$2")
    QDS_B=$(qds_hex "$4")
    [[ $3 == + ]] || QDS_B=-QDS_B
    setenv "$1" "$(printf '%x' "$((QDS_A + QDS_B))")"
}

# U-Boot's simple_strtol in base 10: an optional "-", then the digits at
# the start; no digits read as 0.
qds_decimal() {
    local QDS_S=1 QDS_V=$1
    [[ $QDS_V != -* ]] || QDS_S=-1 QDS_V=${QDS_V#-}
    QDS_V=${QDS_V%%[!0-9]*}
    printf '%s' "$((QDS_S * 10#${QDS_V:-0}))"
}

qds_compare() {
    case $2 in
    -eq) (($1 == $3)) ;;
    -ne) (($1 != $3)) ;;
    -lt) (($1 < $3)) ;;
    -le) (($1 <= $3)) ;;
    -gt) (($1 > $3)) ;;
    -ge) (($1 >= $3)) ;;
    esac
}

test() {
    if [[ $# -eq 2 ]]; then
        case $1 in
        -z) [[ -z $2 ]]; return ;;
        -n) [[ -n $2 ]]; return ;;
        esac
    elif [[ $# -eq 3 ]]; then
        case $2 in
        =) [[ $1 == "$3" ]]; return ;;
        !=) [[ $1 != "$3" ]]; return ;;
        -eq | -ne | -lt | -le | -gt | -ge) qds_compare "$(qds_decimal "$1")" "$2" \
            "$(qds_decimal "$3")"; return ;;
        esac
    fi
    qds_die "test form 'test $*'"
}

echo() {
    printf '%s\n' "$*" >&2
}

# bootm's checks of a legacy image: the header's data size (big-endian, at
# byte 12) says where the image ends; mkimage verifies both checksums, and
# the type (byte 30) must be a kernel (2) or a kernel loaded in place (14).
qds_kernel_ok() {
    local QDS_FILE=$1 QDS_IMAGE=$QDS_TMP/kernel
    [[ -f $QDS_FILE && $(stat -c %s "$QDS_FILE") -ge 64 ]] || return 1
    local -a QDS_B
    read -r -a QDS_B < <(od -An -v -tu1 -j12 -N19 "$QDS_FILE" | tr '\n' ' ')
    [[ ${QDS_B[18]} == 2 || ${QDS_B[18]} == 14 ]] || return 1
    local -i QDS_SIZE=$(((QDS_B[0] << 24) | (QDS_B[1] << 16) | (QDS_B[2] << 8) | QDS_B[3]))
    head -c $((64 + QDS_SIZE)) "$QDS_FILE" >"$QDS_IMAGE"
    mkimage -l -T kernel "$QDS_IMAGE" >/dev/null 2>&1
}

qdrig_boot() {
    [[ $# -eq 1 ]] || qds_die "qdrig_boot takes one slot (got: qdrig_boot $*)"
    if [[ -z ${QDS_KERNEL[$1]-} ]]; then
        printf '## qdrig_boot: no kernel partition given for %s\n' "$1" >&2
        return 1
    fi
    if ! qds_kernel_ok "${QDS_KERNEL[$1]}"; then
        printf '## qdrig_boot: %s: bad kernel image in %s\n' "$1" "${QDS_KERNEL[$1]}" >&2
        return 1
    fi
    printf 'booted %s\nbootargs=%s\n' "$1" "${QDS_ENV[bootargs]-}"
    exit 0
}

# --- Main -------------------------------------------------------------------

qds_parse_args "$@"
QDS_TMP=$(mktemp -d) || qds_die "cannot make a temporary directory"
trap 'rm -rf "$QDS_TMP"' EXIT
QDS_SOURCE=$(<"$QDS_SCRIPT") || qds_die "cannot read $QDS_SCRIPT"
qds_check "$QDS_SOURCE" "$QDS_SCRIPT"
qds_load_env
eval "$QDS_SOURCE"
printf 'booted none\n'
exit 1
