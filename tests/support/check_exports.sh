#!/bin/sh
# check_exports.sh <library.so> <symbol>...
# Fails unless the shared library's dynamic symbol table defines exactly the
# given functions (symbol versions are ignored). Symbols the linker adds on its own (_init, _fini,
# __bss_start, _edata, _end, version nodes) are ignored; any other data
# symbol counts as a leak. NM may name a cross tool's nm.
set -eu

if [ $# -lt 2 ]; then
    echo "usage: $0 <library.so> <symbol>..." >&2
    exit 2
fi
lib=$1
shift
nm_tool=${NM:-nm}

table=$("$nm_tool" -D --defined-only "$lib") || {
    echo "cannot read the dynamic symbols of $lib" >&2
    exit 2
}

# "<address> <type> <name>"; version nodes (type A) come without an address.
exported=$(printf '%s\n' "$table" | awk '
    NF >= 2 {
        type = $(NF - 1); name = $NF; sub(/@.*/, "", name)
        if (name ~ /^(_init|_fini|__bss_start|_edata|_end)$/ || type == "A") next
        print name
    }' | sort -u)
expected=$(printf '%s\n' "$@" | sort -u)

if [ "$exported" != "$expected" ]; then
    echo "exports of $lib differ from the expected set:" >&2
    printf '%s\n' "$expected" > "${TMPDIR:-/tmp}/check_exports.$$.want"
    printf '%s\n' "$exported" | diff "${TMPDIR:-/tmp}/check_exports.$$.want" - >&2 || true
    rm -f "${TMPDIR:-/tmp}/check_exports.$$.want"
    exit 1
fi

# Every expected name must be a function, not a data object of that name.
printf '%s\n' "$table" | awk -v want="$expected" '
    BEGIN { n = split(want, w, "\n"); for (i = 1; i <= n; i++) need[w[i]] = 1 }
    NF >= 2 {
        name = $NF; sub(/@.*/, "", name)
        if ((name in need) && $(NF - 1) !~ /^[TWi]$/) {
            print "not a function: " name > "/dev/stderr"; bad = 1
        }
    }
    END { exit bad }'
