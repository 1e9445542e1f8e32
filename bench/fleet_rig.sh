#!/bin/sh
# A site's upgrade on a virtual LAN (scripts/vlan.sh): qdupk rollout to every
# camera against the same cameras upgraded one after another with qdupk
# upload, first with each camera's link shaped to 100 Mbit/s as on real
# cameras, then unshaped; and the peak memory of qdupk rollout for 8 cameras
# and for all of them; when qdupk has its web console, the same rollouts
# through `qdupk console` (bench/fleet_console.sh), timed and measured
# likewise. Usable alone:
#
#   (usage: printed by the argument check below)
#
# Defaults: 32 cameras, --parallel 8, a 16 MiB package (one file item). The
# daemons run only inside the LAN's namespaces, with the rig's stand-ins;
# each reboot takes the camera away for a second. Prints key=value lines;
# progress goes to stderr.
set -eu

[ $# -ge 1 ] || {
    cat >&2 <<'EOF'
  bench/fleet_rig.sh BIN_DIR [CAMERAS] [PARALLEL] [MIB]
EOF
    exit 2
}
BIN=$(cd "$1" && pwd)
CAMERAS=${2:-32}
PARALLEL=${3:-8}
MIB=${4:-16}
REPO=$(cd "$(dirname "$0")/.." && pwd)
VLAN_SCRIPT=$REPO/scripts/vlan.sh
LAN=bench
RATE=100mbit

# Everything this script makes belongs to it and goes when it ends.
export VCAM_OWNER=$$ VCAM_LINEBUF=0
LAN_JOB=
WORK=$(mktemp -d)

vlan() { sh "$VLAN_SCRIPT" "$@"; }
say() { echo "fleet_rig: $*" >&2; }

# shellcheck source=bench/fleet_console.sh
. "$REPO/bench/fleet_console.sh"

cleanup() {
    console_stop
    if [ -n "$LAN_JOB" ]; then
        kill "$LAN_JOB" 2>/dev/null || true
        wait "$LAN_JOB" 2>/dev/null || true
    fi
    vlan down "$LAN" >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

lan_up() {
    say "bringing up $CAMERAS cameras"
    vlan up "$LAN" "$CAMERAS" >/dev/null
    vlan info "$LAN" >"$WORK/lan.info"
    DEST=$(sed -n 's/^dest=//p' "$WORK/lan.info")
    PCNS=$(sed -n 's/^pcns=//p' "$WORK/lan.info")
    vlan start "$LAN" --qdboot "$BIN/qdboot" --no-mcu --boot-delay 1 >"$WORK/start.log" 2>&1 &
    LAN_JOB=$!
    wait_back
    vlan targets "$LAN" >"$WORK/targets"
    head -n 8 "$WORK/targets" >"$WORK/targets8"
}

# Every camera serves again (after the reboots of the last round).
wait_back() {
    n=0
    until grep -q ready "$WORK/start.log" 2>/dev/null && vlan serving "$LAN"; do
        kill -0 "$LAN_JOB" 2>/dev/null || {
            cat "$WORK/start.log" >&2
            exit 1
        }
        [ $n -lt 600 ] || {
            say "the cameras did not come back"
            exit 1
        }
        sleep 0.1
        n=$((n + 1))
    done
}

make_package() {
    head -c $((MIB * 1048576)) /dev/urandom >"$WORK/app.bin"
    printf '[package]\nname=bench\nversion=1\ndevid=fleet\n[item1]\ntype=file\n' \
        >"$WORK/manifest.ini"
    printf 'source=%s\ndest=%s/app.bin\n' "$WORK/app.bin" "$DEST" >>"$WORK/manifest.ini"
    "$BIN/qdupk" pack "$WORK/manifest.ini" -o "$WORK/fleet.upg" >/dev/null
}

shape() {
    i=1
    while [ $i -le "$CAMERAS" ]; do
        vlan slow "$LAN" $i "$1"
        i=$((i + 1))
    done
}

# qdupk rollout under /usr/bin/time; sets WALL and RSS_KIB.
rollout() { # TARGETS-FILE TAG
    out=$WORK/rollout-$2
    t0=$(now)
    vlan pc "$LAN" /usr/bin/time -v -o "$out.time" "$BIN/qdupk" rollout "$WORK/fleet.upg" \
        --targets "$1" --parallel "$PARALLEL" --report "$out.json" >"$out.log" 2>&1 || {
        say "rollout $2 failed:"
        tail -n 20 "$out.log" >&2
        exit 1
    }
    WALL=$(elapsed "$t0" "$(now)")
    RSS_KIB=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$out.time")
    ok=$(grep -c '"result": "ok"' "$out.json" || true)
    [ "$ok" = "$(wc -l <"$1")" ] || {
        say "rollout $2: only $ok cameras ok"
        exit 1
    }
}

# One qdupk upload after another; sets WALL.
one_by_one() { # TAG
    t0=$(now)
    while read -r target; do
        vlan pc "$LAN" "$BIN/qdupk" upload "$target" "$WORK/fleet.upg" >"$WORK/upload.log" 2>&1 || {
            say "upload to $target failed ($1):"
            cat "$WORK/upload.log" >&2
            exit 1
        }
    done <"$WORK/targets"
    WALL=$(elapsed "$t0" "$(now)")
}

compare() { # TAG
    say "$1: rollout to $CAMERAS cameras, --parallel $PARALLEL"
    rollout "$WORK/targets" "$1"
    roll=$WALL
    echo "${1}_rollout_s=$roll"
    echo "${1}_rollout_rss_kib=$RSS_KIB"
    wait_back
    say "$1: $CAMERAS single uploads one after another"
    one_by_one "$1"
    echo "${1}_sequential_s=$WALL"
    echo "${1}_ratio=$(ratio "$roll" "$WALL")"
    wait_back
    [ "$CONSOLE" = 1 ] || return 0
    say "$1: the same rollout through qdupk console"
    console_rollout "$1"
    echo "${1}_console_s=$WALL"
    echo "${1}_console_package_s=$PACKAGE_WALL"
    echo "${1}_console_rss_kib=$RSS_KIB"
    echo "${1}_console_to_rollout=$(ratio "$WALL" "$roll")"
    wait_back
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

CONSOLE=0
if "$BIN/qdupk" console --help >/dev/null 2>&1 && command -v curl >/dev/null; then
    CONSOLE=1
else
    say "no console measures: qdupk has no console, or curl is missing"
fi

lan_up
make_package
echo "cameras=$CAMERAS"
echo "parallel=$PARALLEL"
echo "package_bytes=$(stat -c %s "$WORK/fleet.upg")"
shape "$RATE"
compare shaped
shape off
compare unshaped
say "peak memory: rollout to 8 cameras"
rollout "$WORK/targets8" mem8
echo "rollout_rss_kib_8=$RSS_KIB"
wait_back
say "peak memory: rollout to $CAMERAS cameras"
rollout "$WORK/targets" "mem$CAMERAS"
echo "rollout_rss_kib_$CAMERAS=$RSS_KIB"
rollout_rss=$RSS_KIB
[ "$CONSOLE" = 1 ] || exit 0
wait_back
say "peak memory: the same rollout through qdupk console"
console_rollout "mem$CAMERAS"
echo "console_rss_kib_$CAMERAS=$RSS_KIB"
echo "console_to_rollout_rss=$(ratio "$RSS_KIB" "$rollout_rss")"
