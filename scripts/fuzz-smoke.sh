#!/bin/sh
# Fuzz smoke run: builds the fuzz preset (clang, libFuzzer, ASan + UBSan)
# and runs each fuzz target for a bounded time, one after the other, on a
# copy of its checked-in seed corpus.
#
#   scripts/fuzz-smoke.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 25); targets: etcfile package seal mcu_reply upload
# discovery status (default all). The discovery target needs root (it moves into a
# network namespace of its own) and is skipped otherwise. Findings (crash-*,
# leak-*, timeout-*, oom-*) land in build-fuzz/findings/; the exit status is
# 1 when any target found something.
#
# The targets never run a command or write outside their scratch directory
# (fuzz/sandbox.h); stand-ins for reboot and the other tools come first in
# PATH all the same.
set -eu
cd "$(dirname "$0")/.."

secs=${1:-25}
[ $# -gt 0 ] && shift
case $secs in
'' | *[!0-9]*) echo "usage: $0 [SECONDS] [TARGET...]" >&2 && exit 2 ;;
esac
targets=${*:-etcfile package seal mcu_reply upload discovery status}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

findings=$PWD/build-fuzz/findings
mkdir -p "$findings" build-fuzz/smoke
work=$(mktemp -d "$PWD/build-fuzz/smoke/run.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

mkdir "$work/bin"
for tool in reboot killall sync flash_eraseall flashcp ifconfig route; do
    printf '#!/bin/sh\nexit 0\n' >"$work/bin/$tool"
    chmod 755 "$work/bin/$tool"
done
PATH=$work/bin:$PATH
export PATH
if [ "$(command -v reboot)" != "$work/bin/reboot" ]; then
    echo "fuzz-smoke: reboot does not resolve to the stand-in; not running" >&2
    exit 1
fi

max_len() {
    case $1 in
    package | seal | upload) echo 16384 ;;
    etcfile) echo 4096 ;;
    mcu_reply) echo 1024 ;;
    discovery | status) echo 1100 ;;
    *) echo 512 ;;
    esac
}

status=0
printf '%-10s %10s %8s %6s %6s %7s  %s\n' target runs exec/s cov ft corpus result
for t in $targets; do
    bin=build-fuzz/bin/fuzz_$t
    [ -x "$bin" ] || { echo "fuzz-smoke: no target $t" >&2; status=1; continue; }
    if [ "$t" = discovery ] && [ "$(id -u)" != 0 ]; then
        printf '%-10s skipped: needs root for its network namespace\n' "$t"
        continue
    fi
    mkdir -p "$work/$t/corpus" "$work/$t/tmp"
    dict=
    [ -f "fuzz/dict/$t.dict" ] && dict=-dict=fuzz/dict/$t.dict
    result=ok
    TMPDIR=$work/$t/tmp "$bin" -max_total_time="$secs" -timeout=30 -rss_limit_mb=2048 \
        -max_len="$(max_len "$t")" ${dict:+"$dict"} -artifact_prefix="$findings/$t-" \
        "$work/$t/corpus" "fuzz/corpus/$t" >"$work/$t.log" 2>&1 || result=FOUND
    done_line=$(grep 'DONE ' "$work/$t.log" | tail -n 1 || true)
    [ -n "$done_line" ] || done_line=$(grep -E '^#[0-9]+' "$work/$t.log" | tail -n 1 || true)
    field() { echo "$done_line" | sed -n "s|.*$1: *\\([0-9a-zA-Z/]*\\).*|\\1|p"; }
    runs=$(echo "$done_line" | sed -n 's/^#\([0-9]*\).*/\1/p')
    printf '%-10s %10s %8s %6s %6s %7s  %s\n' "$t" "$runs" "$(field exec/s)" "$(field cov)" \
        "$(field ft)" "$(field corp)" "$result"
    if [ $result != ok ]; then
        status=1
        cp "$work/$t.log" "$findings/$t.log"
        grep -E 'qdfuzz:|ERROR:|SUMMARY:' "$work/$t.log" | head -n 5 >&2 || true
    fi
done
exit $status
