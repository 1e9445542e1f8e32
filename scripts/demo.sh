#!/bin/bash
# One firmware upgrade from start to end on a virtual camera (scripts/vcam.sh):
# the daemon runs in network, PID and mount namespaces and a root of its own
# with stand-ins for the flash tools, killall, sync and reboot first in PATH, and
# the MCU loader simulator on a pseudo-terminal as its MCU. The PC side makes
# a signing key (`qdupk keygen`), whose public half goes into the camera's
# [seal], packs and signs a package with `qdupk pack --key`, finds the camera
# with `qdupk search` and uploads the package with `qdupk upload` from the PC
# namespace; each qdupk command is shown as it runs. The script then shows
# what happened on the camera, checks it, and tears everything down. A site
# instead: --fleet (scripts/demo_fleet.sh) and --console (scripts/demo_console.sh).
#
#   (usage: printed by usage() below)
#
# Needs root, ip netns, nsenter, unshare, setpriv and pivot_root, and / to be
# a mount point (not a chroot). Nothing outside the camera's own namespaces,
# its own root and its workspace under /tmp/qdvc is touched. Ends with a PASS
# or FAIL summary; exit status 0 only when every check passed, 1 when one
# failed, 2 when the demo could not run (build, camera or daemon failed to
# come up), 77 when this machine cannot host it (not root, no namespaces, a
# chroot).
set -u

REPO=$(cd "$(dirname "$0")/.." && pwd)
VCAM="$REPO/scripts/vcam.sh"
# shellcheck source=scripts/rig_lib.sh
. "$REPO/scripts/rig_lib.sh"
BUILD=$REPO/build-demo
BUILD_FIRST=1
FLEET=0
CONSOLE=0
CAM=demo
PORT=$RIG_PORT
MTD=/dev/mtd2
MAIN_APP=ipcam_main
PROGRAMS=(qdboot qdupk mcu-sim)
# The package's seal counter; the camera's counter file starts below it.
COUNTER=1
# Owner of the camera: this script, so a run that dies is swept by the next.
export VCAM_OWNER=$$

SIM_PID=
DAEMON_PID=
PC_PID=
FAILED=0
PASSED=0

help() {
    cat <<'EOF'
  scripts/demo.sh [--build-dir DIR] [--no-build] [--fleet]
  scripts/demo.sh [--build-dir DIR] [--no-build] --console [--port N] [--check]

  --build-dir DIR   binaries from DIR/bin (default: build-demo, a build
                    of the programs only, without the tests)
  --no-build        use the binaries as they are; otherwise the daemon,
                    qdupk and mcu-sim (and for --fleet qd-flashsim) are
                    built first when out of date
                    (a DIR not yet configured gets the programs only)
  --fleet           a site instead: five A/B cameras on a virtual LAN
                    (scripts/vlan.sh) upgraded with one `qdupk rollout
                    --wait-return`; one camera's new firmware fails its
                    health check and rolls back, the others confirm
  --console         the same site served by `qdupk console` for this
                    machine's browser: the console's socket is on
                    127.0.0.1, its searches and uploads in the LAN's PC
                    namespace; prints the address to open and serves
                    until Ctrl-C, then tears everything down
  --port N          (with --console) the port on 127.0.0.1 (default
                    8088; 0: any free one)
  --check           (with --console) instead of waiting: trade the
                    address's token for a session, fetch the page and
                    the camera list with curl, check them and end
  -h, --help        this text

  Exit status: 0 every check passed, 1 one failed, 2 the demo could not
  run, 77 this machine cannot host it (not root, no namespaces, a chroot).
EOF
}

usage() {
    help >&2
    exit 2
}

cannot_run() {
    echo "demo: $*" >&2
    echo "RESULT: FAIL (the demo could not run)" >&2
    exit 2
}

unsupported() {
    echo "demo: $*; skipped" >&2
    exit 77
}

section() {
    printf '\n== %s ==\n' "$*"
}

indent() {
    sed 's/^/    /'
}

check() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        PASSED=$((PASSED + 1))
        echo "  PASS  $what"
    else
        FAILED=$((FAILED + 1))
        echo "  FAIL  $what"
    fi
}

vcam() {
    sh "$VCAM" "$@"
}

# Every path out of the script comes here: the simulator and the daemon are
# ended by their own PIDs, then the camera's namespaces and workspace go.
teardown() {
    local rc=$?
    trap - EXIT INT TERM
    if [ -n "$PC_PID" ]; then
        kill "$PC_PID" 2>/dev/null
        wait "$PC_PID" 2>/dev/null
    fi
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null
        wait "$SIM_PID" 2>/dev/null
    fi
    if [ "$FLEET" = 1 ]; then
        fleet_teardown
        exit "$rc"
    fi
    if [ -n "$DAEMON_PID" ]; then
        vcam stop "$CAM" >/dev/null 2>&1
        wait "$DAEMON_PID" 2>/dev/null
    fi
    vcam down "$CAM" >/dev/null 2>&1 || echo "demo: could not tear camera $CAM down" >&2
    exit "$rc"
}

parse_args() {
    while [ $# -gt 0 ]; do
        case $1 in
        --build-dir)
            [ $# -ge 2 ] || usage
            case $2 in
            /*) BUILD=$2 ;;
            *) BUILD=$PWD/$2 ;;
            esac
            shift
            ;;
        --no-build) BUILD_FIRST=0 ;;
        # The fleet's A/B cameras write their flash files with qd-flashsim.
        --fleet) FLEET=1 PROGRAMS+=(qd-flashsim) ;;
        --console) FLEET=1 CONSOLE=1 PROGRAMS+=(qd-flashsim) ;;
        --port)
            [ $# -ge 2 ] || usage
            case $2 in '' | *[!0-9]*) usage ;; esac
            CONSOLE_PORT=$2
            shift
            ;;
        --check) CONSOLE_CHECK=1 ;;
        -h | --help)
            help
            exit 0
            ;;
        *) usage ;;
        esac
        shift
    done
    BIN=$BUILD/bin
    [ "$CONSOLE" = 1 ] || [ "$CONSOLE_CHECK$CONSOLE_PORT" = 08088 ] || usage
}

preflight() {
    local why
    ! why=$(rig_host_problem ip nsenter unshare setpriv pivot_root cmp) || unsupported "$why"
}

# The build's lines as they come, so a long build is not silent: on a
# terminal the "[n/N] ..." step lines overwrite each other on one line and
# anything else (warnings, errors) stays; elsewhere every line is kept.
progress() {
    if [ ! -t 1 ]; then
        sed -u 's/^/    /'
        return
    fi
    local line width=$((${COLUMNS:-80} - 5)) open=0
    while IFS= read -r line; do
        case $line in
        \[[0-9]*/[0-9]*\]*)
            printf '\r\033[K    %s' "${line:0:$width}"
            open=1
            ;;
        *)
            [ $open = 0 ] || printf '\n'
            printf '    %s\n' "$line"
            open=0
            ;;
        esac
    done
    [ $open = 0 ] || printf '\n'
}

build() {
    [ $BUILD_FIRST = 1 ] || return 0
    section "Build ($BUILD)"
    if [ ! -f "$BUILD/build.ninja" ]; then
        echo "    configuring (the programs only, no tests)..."
        # The whole output on failure: its first lines name what is missing.
        mkdir -p "$BUILD" || cannot_run "cannot create $BUILD"
        if ! cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DQD_BUILD_TESTS=OFF -DQD_BUILD_BENCH=OFF >"$BUILD/configure.log" 2>&1; then
            indent <"$BUILD/configure.log"
            cannot_run "configure failed"
        fi
        tail -n 2 "$BUILD/configure.log" | indent
    fi
    cmake --build "$BUILD" -j2 --target "${PROGRAMS[@]}" 2>&1 | progress
    [ "${PIPESTATUS[0]}" = 0 ] || cannot_run "build failed"
}

find_binaries() {
    for b in "${PROGRAMS[@]}"; do
        [ -x "$BIN/$b" ] || cannot_run "no $BIN/$b (build it, or drop --no-build)"
    done
}

info_value() {
    sed -n "s/^$1=//p" "$INFO_FILE"
}

camera_up() {
    section "Virtual camera"
    INFO_FILE=$(mktemp) || cannot_run "mktemp failed"
    if ! vcam up "$CAM" >"$INFO_FILE" 2>&1; then
        cat "$INFO_FILE" >&2
        rm -f "$INFO_FILE"
        cannot_run "vcam.sh up failed"
    fi
    WS=$(info_value workspace)
    DEV_ADDR=$(info_value devaddr)
    PC_NS=$(info_value pcns)
    DEV_NS=$(info_value devns)
    WORK=$(info_value workdir)
    TMP=$(info_value tmpdir)
    STUBS=$(info_value stubs)
    FILES=$(info_value files)
    DAEMON_LOG=$(info_value daemonlog)
    CALLS=$(info_value calls)
    RIG_LOG=$(info_value riglog)
    PC_ADDR=$(info_value pcaddr)
    rm -f "$INFO_FILE"
    echo "device namespace $DEV_NS: eth0 $DEV_ADDR/24"
    echo "PC namespace     $PC_NS: pc0 $PC_ADDR/24"
    echo "workspace        $WS"
    mkdir -p "$WORK/etc" "$WS/mcu" "$WS/pc"
}

start_mcu_sim() {
    "$BIN/mcu-sim" --path-file "$WS/mcu/path" --image "$WS/mcu/received.bin" \
        --log "$WS/mcu/frames.log" >/dev/null 2>"$WS/mcu/stderr" </dev/null &
    SIM_PID=$!
    rig_wait_until "$SIM_PID" 50 test -s "$WS/mcu/path"
    UART=$(cat "$WS/mcu/path" 2>/dev/null)
    [ -n "$UART" ] || cannot_run "mcu-sim did not start: $(cat "$WS/mcu/stderr")"
    echo "MCU loader simulator (PID $SIM_PID) on $UART"
}

# A qdupk command as the engineer would type it, then its output.
qdupk_shown() {
    echo "\$ qdupk $*"
    "$BIN/qdupk" "$@" 2>&1 | indent
    return "${PIPESTATUS[0]}"
}

make_key() {
    section "Signing key (PC side)"
    KEY=$WS/pc/demo
    qdupk_shown keygen "$KEY" || cannot_run "qdupk keygen failed"
}

write_config() {
    CFG=$WORK/qdboot.cfg
    COUNTER_FILE=$WORK/qdboot.counter
    echo $((COUNTER - 1)) >"$COUNTER_FILE"
    {
        rig_config_system demo-camera "$UART" "$MAIN_APP" "$TMP"
        rig_config_kernel "$MTD" 4194304
        printf '\n[seal]\nkey1=%s\ncounter_file=%s\n' "$(cat "$KEY.pub")" "$COUNTER_FILE"
    } >"$CFG"
    echo "configuration $CFG:"
    indent <"$CFG"
}

start_daemon() {
    section "Daemon"
    # The rig refuses to start unless reboot resolves to its stand-in; show it.
    echo "reboot in the camera's PATH: $(PATH="$STUBS:$PATH" command -v reboot)"
    VCAM_QDBOOT="$BIN/qdboot" sh "$VCAM" start "$CAM" "$CFG" &
    DAEMON_PID=$!
    rig_wait_until "$DAEMON_PID" 100 rig_serving "$DEV_NS" || cannot_run "the daemon does not serve: $(vcam status "$CAM" 2>&1)
$(cat "$DAEMON_LOG" "$RIG_LOG" 2>/dev/null)"
    echo "qdboot serves uploads on port $PORT and joined $RIG_GROUP on eth0"
}

make_package() {
    section "Package (PC side)"
    local pc=$WS/pc
    head -c 65536 /dev/urandom >"$pc/kernel.img"
    head -c 5000 /dev/urandom >"$pc/mcu.bin"
    printf '[ptz]\nspeed=32\npreset_count=255\n' >"$pc/ptz.conf"
    cat >"$pc/post-install.sh" <<EOF
#!/bin/sh
echo "post-install script ran in \$(pwd) with PATH starting \${PATH%%:*}" >"$WORK/post-install.out"
EOF
    cat >"$pc/manifest.ini" <<EOF
[package]
name=Demo firmware
version=1.0.0
devid=VCAM-DEMO
[item1]
type=kernel
source=kernel.img
desc=Kernel image
reboot=1
[item2]
type=script
source=post-install.sh
desc=Post-install script
[item3]
type=file
source=ptz.conf
dest=$WORK/etc/ptz.conf
desc=Pan-tilt settings
[item4]
type=mcu
source=mcu.bin
desc=Dome MCU firmware
EOF
    echo "manifest $pc/manifest.ini:"
    indent <"$pc/manifest.ini"
    PKG=$pc/demo.upg
    qdupk_shown pack "$pc/manifest.ini" -o "$PKG" --key "$KEY.key" --counter "$COUNTER" ||
        cannot_run "qdupk pack failed"
    qdupk_shown info "$PKG"
}

# A command in the PC namespace, output into a file. It runs in the
# background so that a signal reaches the teardown at once (which ends it by
# its PID) instead of after the command.
pc_run() {
    local out=$1
    shift
    sh "$VCAM" pc "$CAM" "$@" >"$out" 2>&1 &
    PC_PID=$!
    wait "$PC_PID"
    local rc=$?
    PC_PID=
    return $rc
}

search_camera() {
    section "qdupk search (PC namespace)"
    echo "\$ qdupk search --interface pc0 --timeout 1.5"
    pc_run "$WS/pc/search.out" "$BIN/qdupk" search --interface pc0 --timeout 1.5
    SEARCH_RC=$?
    indent <"$WS/pc/search.out"
    echo "exit status $SEARCH_RC"
    TARGET=$(awk 'NR == 2 { print $1 ":" $2 }' "$WS/pc/search.out")
}

upload_package() {
    section "qdupk upload $TARGET (PC namespace)"
    [ -n "$TARGET" ] || TARGET=$DEV_ADDR:$PORT
    echo "\$ qdupk upload $TARGET $PKG --timeout 60"
    pc_run "$WS/pc/upload.out" "$BIN/qdupk" upload "$TARGET" "$PKG" --timeout 60
    UPLOAD_RC=$?
    indent <"$WS/pc/upload.out"
    echo "exit status $UPLOAD_RC"
    # The camera acknowledges before sync and reboot; give it a moment.
    rig_wait_until "" 50 grep -qsx reboot "$CALLS"
}

# The verification traces one line per 4 KiB read; a few of each run tell
# the story.
condense_traces() {
    awk '/md5FileData/ { if (++run <= 2) print; next }
        run > 2 { print "... (" run - 2 " more md5FileData lines)" } { run = 0; print }
        END { if (run > 2) print "... (" run - 2 " more md5FileData lines)" }'
}

show_camera() {
    section "On the camera: daemon log"
    condense_traces <"$DAEMON_LOG" | indent
    section "On the camera: stand-in tool calls, in order"
    indent <"$CALLS"
    section "On the camera: installed file $WORK/etc/ptz.conf"
    indent <"$WORK/etc/ptz.conf" 2>&1
    section "On the camera: the script's output"
    indent <"$WORK/post-install.out" 2>&1
    section "On the camera: MCU frames (mcu-sim log, long frames cut)"
    cut -c1-100 "$WS/mcu/frames.log" | indent
}

in_order() {
    awk -v a="$2" -v b="$3" '$0 ~ a && !ia { ia = NR } $0 ~ b && !ib { ib = NR }
        END { exit !(ia && ib && ia < ib) }' "$1"
}

flashed_image() {
    for f in "$FILES"/*-flashcp-updatetmp.bin; do
        echo "$f"
        return
    done
}

mcu_frames_after_end() {
    awk '/RX A5 FA 00 5F AF/ { end = 1 } end && /RX A0 01 00 57 AA 00 AF F3/ { found = 1 }
        END { exit !found }' "$WS/mcu/frames.log"
}

no_leftovers() {
    [ -z "$(ls -A "$TMP")" ]
}

run_checks() {
    section "Checks"
    check "search found the camera at $DEV_ADDR:$PORT" \
        test "$SEARCH_RC" = 0 -a "$TARGET" = "$DEV_ADDR:$PORT"
    check "upload accepted (exit 0)" test "$UPLOAD_RC" = 0
    check "the camera takes only packages signed by the demo key" \
        grep -q "packages must be signed by key" "$DAEMON_LOG"
    check "the camera stored the package's counter $COUNTER" \
        test "$(cat "$COUNTER_FILE")" = "$COUNTER"
    check "daemon printed the flash commands" \
        grep -qx "copy  cmd  :flashcp -v $TMP/updatetmp.bin $MTD " "$DAEMON_LOG"
    check "erase ran before copy on $MTD" \
        in_order "$CALLS" "^flash_eraseall $MTD\$" "^flashcp -v $TMP/updatetmp.bin $MTD\$"
    check "flashed image equals kernel.img (cmp)" cmp "$(flashed_image)" "$WS/pc/kernel.img"
    check "file installed at its destination (cmp)" cmp "$WORK/etc/ptz.conf" "$WS/pc/ptz.conf"
    check "script ran" grep -q "post-install script ran" "$WORK/post-install.out"
    check "main application stopped for the MCU transfer" grep -qx "killall $MAIN_APP" "$CALLS"
    check "MCU received the firmware (cmp)" cmp "$WS/mcu/received.bin" "$WS/pc/mcu.bin"
    check "MCU reset frame after the transfer" mcu_frames_after_end
    check "sync, then reboot (stand-ins)" in_order "$CALLS" "^sync\$" "^reboot\$"
    check "no guarded tool was reached" sh -c "! grep -q '^GUARD' '$CALLS'"
    check "nothing left in the temporary directory" no_leftovers
}

summary() {
    section "Summary"
    if [ "$FAILED" = 0 ]; then
        echo "RESULT: PASS ($PASSED checks)"
        return 0
    fi
    echo "RESULT: FAIL ($FAILED of $((PASSED + FAILED)) checks failed)"
    return 1
}

main() {
    parse_args "$@"
    "$REPO/scripts/setup-deps.sh" build rig || exit $(($? == 77 ? 77 : 2))
    preflight
    trap teardown EXIT
    trap 'exit 130' INT TERM
    build
    find_binaries
    if [ "$CONSOLE" = 1 ]; then
        console_main
        return
    fi
    if [ "$FLEET" = 1 ]; then
        fleet_main
        return
    fi
    camera_up
    start_mcu_sim
    make_key
    write_config
    start_daemon
    make_package
    search_camera
    upload_package
    show_camera
    run_checks
    summary
}

# shellcheck source=scripts/demo_fleet.sh
. "$REPO/scripts/demo_fleet.sh"
# shellcheck source=scripts/demo_console.sh
. "$REPO/scripts/demo_console.sh"

main "$@"
