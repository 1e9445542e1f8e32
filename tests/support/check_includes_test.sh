#!/bin/sh
# check_includes_test.sh CHECK_SCRIPT
# Runs the include check on a small fake tree: as laid out it keeps every
# rule, including the relative and public-header includes that are allowed;
# each planted include below must fail it, named by file, line and rule.
set -eu

check=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM
failed=0

fail() {
    echo "FAIL: $*" >&2
    failed=1
}

tree=$scratch/clean
mkdir -p "$tree/etcfile" "$tree/libqdupdate/src" "$tree/libqdupdate/internal" \
    "$tree/uartcom/src" "$tree/CommInc/comm" "$tree/CommInc/lib_include" "$tree/daemon" \
    "$tree/tools/qdupk"
printf '#include <stdio.h>\n#include "etc_internal.h"\n#include "qd_log.h"\n#include "etcfile.h"\n' \
    >"$tree/etcfile/etc_read.cpp"
: >"$tree/etcfile/etc_internal.h"
printf '#include "pkg_steps.h"\n#include "qdupdate.h"\n#include "etcfile.h"\n' \
    >"$tree/libqdupdate/src/pkg_read.cpp"
: >"$tree/libqdupdate/src/pkg_steps.h"
: >"$tree/libqdupdate/internal/qdupdate.h"
printf '#include "uartdef.h"\n#include "libuartcom.h"\n' >"$tree/uartcom/src/libuartcom.cpp"
: >"$tree/uartcom/src/uartdef.h"
: >"$tree/CommInc/comm/qd_log.h"
: >"$tree/CommInc/comm/QDComm.h"
printf '#include "../comm/QDComm.h"\n' >"$tree/CommInc/lib_include/libuartcom.h"
: >"$tree/CommInc/lib_include/libqdupdate.h"
: >"$tree/CommInc/lib_include/etcfile.h"
: >"$tree/daemon/upload.h"
: >"$tree/tools/qdupk/package_reader.h"

if ! out=$(sh "$check" "$tree" 2>&1); then
    fail "the clean tree is refused: $out"
fi

# plant FILE INCLUDE-LINE EXPECTED-RULE: the line goes after the file's
# last line, so its number is one more than the file had.
plant() {
    copy=$scratch/case
    rm -rf "$copy"
    cp -R "$tree" "$copy"
    line=$(($(wc -l <"$copy/$1") + 1))
    printf '%s\n' "$2" >>"$copy/$1"
    if out=$(sh "$check" "$copy" 2>&1); then
        fail "$1: '$2' passed"
    elif ! printf '%s\n' "$out" | grep -qF "$1:$line: $3"; then
        fail "$1: '$2' not reported as '$1:$line: $3': $out"
    fi
}

plant uartcom/src/uartdef.h '#include "../../daemon/upload.h"' "a library never reaches into"
plant libqdupdate/src/pkg_read.cpp '#include "upload.h"' "a library never reaches into"
plant etcfile/etc_read.cpp '#include <package_reader.h>' "a library never reaches into"
plant uartcom/src/libuartcom.cpp '#include "libqdupdate.h"' "the serial library knows no packages"
plant uartcom/src/uartdef.h '#include "qdupdate.h"' "the serial library knows no packages"
plant libqdupdate/src/pkg_steps.h '#include "libuartcom.h"' "the package library knows no serial line"
plant etcfile/etc_internal.h '#include "libqdupdate.h"' "the INI library stands alone"
plant libqdupdate/src/pkg_read.cpp '#  include "../../uartcom/src/uartdef.h"' \
    "the package library knows no serial line"
plant libqdupdate/src/pkg_steps.h '#include "../../etcfile/etc_internal.h"' \
    "libraries include other libraries only through CommInc/lib_include"
plant CommInc/comm/qd_log.h '#include "pkg_steps.h"' "shared headers include only CommInc"

[ $failed = 0 ] && echo "include check refuses every planted include"
exit $failed
