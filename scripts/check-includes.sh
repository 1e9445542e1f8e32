#!/bin/sh
# check-includes.sh [ROOT]
#
# Checks the house rules on what the libraries and the shared headers may
# include; prints FILE:LINE: RULE: ... for each include that breaks one and
# exits 1, or exits 0 when every include keeps them.
#
#   - No library (etcfile/, libqdupdate/, uartcom/) includes anything from
#     daemon/, tools/, tests/, bench/ or fuzz/.
#   - The serial library knows no packages and the package library no
#     serial line.
#   - The INI library stands alone: its own files, CommInc/comm and its
#     public header etcfile.h, nothing else of the project.
#   - A library reaches another library only through that library's public
#     header in CommInc/lib_include, never through its folder.
#   - CommInc, which every part includes, includes nothing outside CommInc.
#
# The build keeps private folders off other targets' include paths, but a
# relative include ("../../daemon/upload.h") or a public folder that holds
# every library's header gets past that; this check sees through both.
# Each include is resolved as the compiler would for the including room:
# next to the including file, then the room's own include folders, then
# CommInc. A name found nowhere there is looked up in the whole tree (an
# include that works only through someone else's folder is judged by where
# it lands); one found nowhere at all is a system header.
set -eu

root=${1:-$(dirname "$0")/..}
cd "$root"

rooms="etcfile libqdupdate uartcom CommInc"
for room in $rooms; do
    [ -d "$room" ] || {
        echo "check-includes: $root/$room is missing" >&2
        exit 2
    }
done

files=$(mktemp)
trap 'rm -f "$files"' EXIT INT TERM
# Every source and header of the project, build trees and hidden folders
# left out: what an include could land on.
find . \( -name '.*' ! -name . -o -name 'build*' \) -prune -o -type f \
    \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \) -print |
    sed 's|^\./||' >"$files"

# shellcheck disable=SC2086 # one argument per room
find $rooms -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \) |
    LC_ALL=C sort | xargs grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' /dev/null |
    awk -v filelist="$files" '
function normalize(path,    n, i, parts, out, depth) {
    n = split(path, parts, "/")
    depth = 0
    for (i = 1; i <= n; i++) {
        if (parts[i] == "" || parts[i] == ".") continue
        if (parts[i] == "..") {
            if (depth == 0) return ""
            depth--
        } else {
            out[++depth] = parts[i]
        }
    }
    path = ""
    for (i = 1; i <= depth; i++) path = path (i > 1 ? "/" : "") out[i]
    return path
}
function dirname(path) {
    return sub(/\/[^\/]*$/, "", path) ? path : "."
}
function room_of(path) {
    if (path ~ /^etcfile\//) return "etcfile"
    if (path ~ /^libqdupdate\//) return "libqdupdate"
    if (path ~ /^uartcom\//) return "uartcom"
    if (path ~ /^CommInc\//) return "CommInc"
    return ""
}
# The include folders a room compiles with besides the including file.
function search_dirs(room) {
    if (room == "etcfile") return "etcfile CommInc/comm CommInc/lib_include"
    if (room == "libqdupdate")
        return "libqdupdate/src libqdupdate/internal CommInc/comm CommInc/lib_include"
    if (room == "uartcom") return "uartcom/src CommInc/comm CommInc/lib_include"
    return "CommInc/comm CommInc/lib_include"
}
# The rule `target` breaks when included from `room`, or "".
function broken_rule(room, target,    other) {
    if (room == "CommInc")
        return target ~ /^CommInc\// ? "" : "shared headers include only CommInc"
    if (target ~ /^(daemon|tools|tests|bench|fuzz)\//)
        return "a library never reaches into the daemon, tools, tests, bench or fuzz"
    if (room == "uartcom" &&
        (target ~ /^libqdupdate\// || target == "CommInc/lib_include/libqdupdate.h"))
        return "the serial library knows no packages"
    if (room == "libqdupdate" &&
        (target ~ /^uartcom\// || target == "CommInc/lib_include/libuartcom.h"))
        return "the package library knows no serial line"
    if (room == "etcfile" && target !~ /^(etcfile|CommInc\/comm)\// &&
        target != "CommInc/lib_include/etcfile.h")
        return "the INI library stands alone"
    other = room_of(target)
    if (other != "" && other != "CommInc" && other != room)
        return "libraries include other libraries only through CommInc/lib_include"
    return ""
}
BEGIN {
    while ((getline line < filelist) > 0) known[line] = 1
    close(filelist)
    failed = 0
}
{
    # grep -n output: FILE:LINE:TEXT
    file = $0; sub(/:.*/, "", file)
    rest = substr($0, length(file) + 2)
    lineno = rest; sub(/:.*/, "", lineno)
    text = substr(rest, length(lineno) + 2)
    if (!match(text, /[<"][^>"]*[>"]/)) next
    name = substr(text, RSTART + 1, RLENGTH - 2)
    quoted = substr(text, RSTART, 1) == "\""
    room = room_of(file)

    target = ""
    if (quoted) {
        candidate = normalize(dirname(file) "/" name)
        if (candidate in known) target = candidate
    }
    if (target == "") {
        n = split(search_dirs(room), dirs, " ")
        for (i = 1; i <= n && target == ""; i++) {
            candidate = normalize(dirs[i] "/" name)
            if (candidate in known) target = candidate
        }
    }
    rule = ""
    if (target != "") {
        rule = broken_rule(room, target)
    } else {
        # Not on the room`s own path: judge every file it could land on.
        suffix = normalize(name)
        for (path in known) {
            if (suffix == "" || (path != suffix &&
                substr(path, length(path) - length(suffix)) != "/" suffix)) continue
            rule = broken_rule(room, path)
            if (rule != "") { target = path; break }
        }
    }
    if (rule != "") {
        printf "%s:%s: %s: includes %s (%s)\n", file, lineno, rule, name, target
        failed = 1
    }
}
END { exit failed }
'
