#!/bin/sh
# The web console in a real browser on a LAN of virtual cameras
# (scripts/vlan.sh): four cameras, camera 2 refusing every package (its
# status says why), camera 1's port slowed so its bar is seen moving. A
# signed package and a damaged copy are made with qdupk; then, inside the PC
# namespace, console_browser_test.py starts `qdupk console` (search on pc0,
# the package's public key) and drives headless Chromium through the page.
#
#   run_browser_test.sh --build-dir DIR --screenshots DIR
#
# Exit status: 0 passed, 1 failed, 77 this machine cannot run it (not root,
# no namespaces, Chromium, its driver or Selenium missing: setup-deps.sh rig
# browser).
set -u

REPO=$(cd "$(dirname "$0")/../.." && pwd)
VLAN=$REPO/scripts/vlan.sh
# shellcheck source=scripts/rig_lib.sh
. "$REPO/scripts/rig_lib.sh"
# Debian's Selenium belongs to Debian's Python, whatever else is first in PATH.
PYTHON=/usr/bin/python3
LAN=browser
CAMERAS=4
REFUSING=2
SLOW=1
BUILD=
SHOTS=
# This run owns its LAN; one that dies is swept by the next.
export VCAM_OWNER=$$

skip() {
    echo "run_browser_test: skipped: $*" >&2
    exit 77
}

fail() {
    echo "run_browser_test: $*" >&2
    exit 1
}

while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || fail "option $1 needs a value"
    case $1 in
    --build-dir) BUILD=$2 ;;
    --screenshots) SHOTS=$2 ;;
    *) fail "unknown option $1" ;;
    esac
    shift 2
done
[ -n "$BUILD" ] && [ -n "$SHOTS" ] || fail "usage: run_browser_test.sh --build-dir DIR --screenshots DIR"
BUILD=$(cd "$BUILD" && pwd) || fail "no build directory $BUILD"
mkdir -p "$SHOTS" && SHOTS=$(cd "$SHOTS" && pwd) || fail "cannot make $SHOTS"
# The screenshots are this run's only.
rm -f "$SHOTS"/*.png
BIN=$BUILD/bin

if why=$(rig_host_problem nsenter unshare); then skip "$why"; fi
for tool in /usr/bin/chromium /usr/bin/chromedriver "$PYTHON"; do
    [ -x "$tool" ] || skip "$tool is missing (scripts/setup-deps.sh browser)"
done
"$PYTHON" -c 'import selenium' 2>/dev/null ||
    skip "python3-selenium is missing (scripts/setup-deps.sh browser)"
for program in qdupk qdboot mcu-sim; do
    [ -x "$BIN/$program" ] || fail "$BIN/$program is not built"
done

WORK=$(mktemp -d) || fail "mktemp failed"
LAN_JOB=
teardown() {
    if [ -n "$LAN_JOB" ]; then
        kill "$LAN_JOB" 2>/dev/null
        wait "$LAN_JOB" 2>/dev/null
    fi
    sh "$VLAN" down "$LAN" >/dev/null 2>&1
    rm -rf "$WORK"
}
trap teardown EXIT
trap 'exit 130' INT TERM HUP

lan_up() {
    sh "$VLAN" up "$LAN" "$CAMERAS" >"$WORK/up.log" 2>&1 || fail "vlan.sh up: $(cat "$WORK/up.log")"
    DEST=$(sh "$VLAN" info "$LAN" | sed -n 's/^dest=//p')
    : >"$WORK/start.log"
    sh "$VLAN" start "$LAN" --qdboot "$BIN/qdboot" --mcu-sim "$BIN/mcu-sim" --boot-delay 1 \
        --refuse-all "$REFUSING" >"$WORK/start.log" 2>&1 &
    LAN_JOB=$!
    rig_wait_until "$LAN_JOB" 600 grep -q '^ready$' "$WORK/start.log" ||
        fail "the cameras did not come up: $(cat "$WORK/start.log")"
    sh "$VLAN" slow "$LAN" "$SLOW" 20mbit || fail "cannot slow camera $SLOW"
}

# A signed package every other camera takes, and a copy with one byte of
# its kernel image changed, which verification refuses.
make_packages() {
    (cd "$WORK" && "$BIN/qdupk" keygen site >/dev/null) || fail "qdupk keygen failed"
    head -c 4194304 /dev/urandom >"$WORK/kernel.img"
    printf '[network]\nmode=dhcp\n' >"$WORK/settings.ini"
    cat >"$WORK/site.ini" <<EOF
[package]
name=Site firmware
version=2.0.0
devid=vlan-camera
[item1]
type=kernel
source=kernel.img
desc=Kernel image
[item2]
type=file
source=settings.ini
dest=$DEST/settings.ini
desc=Network settings
EOF
    "$BIN/qdupk" pack "$WORK/site.ini" -o "$WORK/site.upg" --key "$WORK/site.key" --counter 1 \
        >"$WORK/pack.log" 2>&1 || fail "qdupk pack: $(cat "$WORK/pack.log")"
    cp "$WORK/site.upg" "$WORK/damaged.upg"
    printf 'X' | dd of="$WORK/damaged.upg" bs=1 seek=100000 conv=notrunc 2>/dev/null
}

run_browser() {
    set --
    for target in $(sh "$VLAN" targets "$LAN"); do
        set -- "$@" --camera "$target"
    done
    refusing=$(sh "$VLAN" targets "$LAN" | sed -n "${REFUSING}p")
    absent=$(sh "$VLAN" info "$LAN" | sed -n 's/^absentaddr=//p'):$RIG_PORT
    sh "$VLAN" pc "$LAN" "$PYTHON" "$REPO/tests/browser/console_browser_test.py" \
        --package "$WORK/site.upg" --package-name "Site firmware" --damaged "$WORK/damaged.upg" "$@" --refusing "$refusing" \
        --absent "$absent" \
        --screenshots "$SHOTS" -- \
        "$BIN/qdupk" console --interface pc0 --listen 127.0.0.1:0 --pubkey "$WORK/site.pub"
}

lan_up
make_packages
run_browser
