# bash completion for qdupk: commands, each command's options, and files
# where a command takes one (manifests, packages, keys). Self-contained: it
# needs none of the bash-completion package's helpers.

_qdupk_commands="keygen pack seal info verify search status upload rollout console"

# The options each command takes, besides -q/--quiet and -h/--help.
_qdupk_options() {
    case $1 in
    keygen) echo "--json" ;;
    pack) echo "-o --output --force --key --counter --json" ;;
    seal) echo "--key --counter -o --output" ;;
    info) echo "--json" ;;
    verify) echo "--devid --pubkey --min-counter --json" ;;
    search) echo "--timeout --interface --max-answers --status --json --format" ;;
    status) echo "--search --interface --timeout --json" ;;
    upload) echo "--no-verify --pubkey --min-counter --retries --timeout --connect-timeout --json" ;;
    rollout)
        echo "--targets --search --interface --search-timeout --max-answers -j --parallel --canary" \
            "--max-failures --retries --wait-return --confirm-timeout --timeout --connect-timeout" \
            "--pubkey" \
            "--min-counter -n --dry-run --probe --json --report"
        ;;
    console)
        echo "--targets --no-search --search-timeout --interface --max-answers --pubkey --listen" \
            "--token-file --max-package-size --open --tls-cert --tls-key --insecure-http --netns"
        ;;
    esac
    echo "-q --quiet -h --help"
}

# Files matching a pattern, and directories to descend into.
_qdupk_files() {
    local IFS=$'\n'
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -X "!$1" -- "$2") $(compgen -d -- "$2"))
}

# Completes the value of an option; fails when the option takes none.
_qdupk_option_value() {
    local option=$1 cur=$2
    case $option in
    --key) _qdupk_files '*.key' "$cur" ;;
    --pubkey) _qdupk_files '*.pub' "$cur" ;;
    -o | --output | --targets | --report | --token-file) _qdupk_files '*' "$cur" ;;
    --tls-cert | --tls-key) _qdupk_files '*.pem' "$cur" ;;
    --netns)
        COMPREPLY=($(compgen -W "$(ls /run/netns 2>/dev/null)" -- "$cur"))
        ;;
    --interface)
        COMPREPLY=($(compgen -W "$(ls /sys/class/net 2>/dev/null)" -- "$cur"))
        ;;
    --format) COMPREPLY=($(compgen -W "table targets" -- "$cur")) ;;
    --counter | --min-counter | --devid | --timeout | --connect-timeout | --parallel | \
        --canary | --max-failures | --retries | --wait-return | --confirm-timeout | --max-answers | \
        --search-timeout | --listen | --max-package-size)
        COMPREPLY=() # a number or a name: nothing to offer
        ;;
    *) return 1 ;;
    esac
    return 0
}

_qdupk() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case " $_qdupk_commands " in
        *" ${COMP_WORDS[i]} "*)
            command=${COMP_WORDS[i]}
            break
            ;;
        esac
    done

    if [ -z "$command" ]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "-h --help --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$_qdupk_commands" -- "$cur"))
        fi
        return 0
    fi
    _qdupk_option_value "$prev" "$cur" && return 0
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_qdupk_options "$command")" -- "$cur"))
        return 0
    fi
    case $command in
    pack) _qdupk_files '*.ini' "$cur" ;;
    keygen | search | status | console) COMPREPLY=() ;;
    *) _qdupk_files '*.upg' "$cur" ;;
    esac
    return 0
}

complete -F _qdupk qdupk
