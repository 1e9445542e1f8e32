#!/bin/sh
# Keeps what already holds from slipping: every C/C++ file formatted as the
# root .clang-format says, and the product sources (libraries, daemon, host
# tools) clean under the root .clang-tidy, every finding an error.
#
# Usage: scripts/check-style.sh [build-dir]
# The build directory (default: build) must hold the compile_commands.json of
# a configured build; clang-tidy reads each file's flags from it.
# The tests are left to the compilers' warnings: with GoogleTest they would
# more than double the time clang-tidy takes.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
failed=""

# Tracked files only, so a build tree or a generated file never counts.
sources() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -- "$@"
    else
        for pattern in "$@"; do
            find . -path "./build*" -prune -o -path "./$pattern" -type f -print | sed 's|^\./||'
        done
    fi
}

echo "check-style: clang-format"
sources '*.c' '*.h' '*.cpp' '*.hpp' | tr '\n' '\0' |
    xargs -0 clang-format --dry-run --Werror || failed="$failed clang-format"

echo "check-style: clang-tidy"
db="$build/compile_commands.json"
if [ ! -f "$db" ]; then
    echo "check-style: $db is missing: configure $build first" >&2
    exit 2
fi
# Only files the build compiles: any other would be checked with guessed
# flags. The database names files by absolute path.
here=$(pwd)
list=$(mktemp)
out=$(mktemp)
trap 'rm -f "$list" "$out"' EXIT
for f in $(sources 'etcfile/*.cpp' 'uartcom/*.cpp' 'libqdupdate/*.cpp' 'daemon/*.cpp' \
                   'tools/*.cpp'); do
    if grep -qF "\"file\": \"$here/$f\"" "$db"; then
        echo "$f" >>"$list"
    fi
done
if [ ! -s "$list" ]; then
    echo "check-style: no product source in $db" >&2
    exit 2
fi
# One file per run: clang-tidy 14's analyzer carries state from one file to
# the next in a run and reports findings (an uninitialised va_list) that no
# file has on its own.
xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet --warnings-as-errors='*' <"$list" \
    >"$out" 2>&1 || failed="$failed clang-tidy"
# Counts of findings outside the checked files are noise.
grep -v ' warnings\? generated\.$' "$out" || true

if [ -n "$failed" ]; then
    echo "check-style: failed:$failed" >&2
    exit 1
fi
echo "check-style: clean"
