# shellcheck shell=bash
# The site demo (scripts/demo.sh --fleet): five virtual cameras on one LAN
# (scripts/vlan.sh), each with its own daemon, stand-ins and MCU simulator,
# upgraded with one `qdupk rollout` from the PC namespace: a canary first,
# then two at a time, each camera waited for until it is back from its
# reboot. On a terminal the rollout's live display shows the cameras in
# flight. Sourced by scripts/demo.sh, whose helpers (section, check, indent,
# cannot_run, summary) and variables (REPO, BIN, PC_PID) it uses.

LAN=fleet
LAN_CAMERAS=5
LAN_JOB=
VLAN="$REPO/scripts/vlan.sh"

vlan() {
    sh "$VLAN" "$@"
}

fleet_teardown() {
    if [ -n "$PC_PID" ]; then
        kill "$PC_PID" 2>/dev/null
        wait "$PC_PID" 2>/dev/null
    fi
    if [ -n "$LAN_JOB" ]; then
        kill "$LAN_JOB" 2>/dev/null
        wait "$LAN_JOB" 2>/dev/null
    fi
    vlan down "$LAN" >/dev/null 2>&1 || echo "demo: could not tear the LAN down" >&2
    rm -rf "${SITE:-}"
}

lan_value() {
    sed -n "s/^$1=//p" "$SITE/lan.info"
}

fleet_up() {
    section "Virtual LAN"
    SITE=$(mktemp -d) || cannot_run "mktemp failed"
    vlan up "$LAN" "$LAN_CAMERAS" >"$SITE/lan.info" 2>&1 ||
        cannot_run "vlan.sh up failed: $(cat "$SITE/lan.info")"
    DEST=$(lan_value dest)
    echo "bridge namespace $(lan_value bridgens), PC namespace $(lan_value pcns):" \
        "pc0 $(lan_value pcaddr)/24"
    for i in $(seq "$LAN_CAMERAS"); do
        echo "camera $i: $(lan_value "c$i.devns"), eth0 $(lan_value "c$i.devaddr")/24"
    done
    vlan start "$LAN" --qdboot "$BIN/qdboot" --mcu-sim "$BIN/mcu-sim" --boot-delay 2 \
        >"$SITE/start.log" 2>&1 &
    LAN_JOB=$!
    for _ in $(seq 300); do
        grep -q '^ready$' "$SITE/start.log" && break
        kill -0 "$LAN_JOB" 2>/dev/null || break
        sleep 0.1
    done
    grep -q '^ready$' "$SITE/start.log" ||
        cannot_run "the cameras did not come up: $(cat "$SITE/start.log")"
    echo "every camera's qdboot serves on port 8080 and joined 234.200.200.1"
}

fleet_package() {
    section "Package (PC side)"
    head -c 65536 /dev/urandom >"$SITE/kernel.img"
    head -c 3000 /dev/urandom >"$SITE/mcu.bin"
    printf '[ptz]\nspeed=32\n' >"$SITE/ptz.conf"
    cat >"$SITE/manifest.ini" <<EOF
[package]
name=Site firmware
version=2.0.0
devid=VCAM-SITE
[item1]
type=kernel
source=kernel.img
desc=Kernel image
[item2]
type=file
source=ptz.conf
dest=$DEST/ptz.conf
desc=Pan-tilt settings
[item3]
type=mcu
source=mcu.bin
desc=Dome MCU firmware
EOF
    PKG=$SITE/site.upg
    "$BIN/qdupk" pack "$SITE/manifest.ini" -o "$PKG" | indent
}

fleet_search() {
    section "qdupk search (PC namespace)"
    vlan pc "$LAN" "$BIN/qdupk" search --interface pc0 --timeout 1.5 >"$SITE/search.out" 2>&1
    indent <"$SITE/search.out"
    {
        echo "# the site's cameras, as found by qdupk search"
        awk 'NR > 1 { print $1 ":" $2 }' "$SITE/search.out" | sort -t. -k4 -n
    } >"$SITE/targets.txt"
    echo "targets file $SITE/targets.txt:"
    indent <"$SITE/targets.txt"
}

# On a terminal the rollout draws its live display there; otherwise its
# plain event lines are shown.
fleet_rollout() {
    section "qdupk rollout (PC namespace)"
    local cmd=("$BIN/qdupk" rollout "$PKG" --targets "$SITE/targets.txt" --canary 1
        --parallel 2 --wait-return 30 --report "$SITE/report.csv")
    echo "qdupk rollout site.upg --targets targets.txt --canary 1 --parallel 2" \
        "--wait-return 30 --report report.csv"
    if [ -t 1 ]; then
        vlan pc "$LAN" "${cmd[@]}" &
        PC_PID=$!
        wait "$PC_PID"
        ROLLOUT_RC=$?
    else
        vlan pc "$LAN" "${cmd[@]}" >"$SITE/rollout.out" 2>&1 &
        PC_PID=$!
        wait "$PC_PID"
        ROLLOUT_RC=$?
        indent <"$SITE/rollout.out"
    fi
    PC_PID=
    echo "exit status $ROLLOUT_RC"
    section "Report ($SITE/report.csv)"
    indent <"$SITE/report.csv"
}

camera_file() { # I NAME
    echo "$(lan_value "c$1.workspace")/$2"
}

upgraded() { # I
    local calls
    calls=$(camera_file "$1" log/calls.log)
    grep -qx "flash_eraseall /dev/mtd2" "$calls" && grep -qx "sync" "$calls" &&
        grep -qx "reboot" "$calls" &&
        grep -q "RX A0 01 00 57 AA 00 AF F3" "$(camera_file "$1" mcu/frames.log)" &&
        cmp -s "$(camera_file "$1" dest/ptz.conf)" "$SITE/ptz.conf" &&
        cmp -s "$(camera_file "$1" mcu/received.bin)" "$SITE/mcu.bin" &&
        grep -q rebooting "$(camera_file "$1" log/rig.log)"
}

report_all_ok() {
    [ "$(awk -F, 'NR > 1 && $2 == "ok" && $7 == "yes"' "$SITE/report.csv" | wc -l)" = \
        "$LAN_CAMERAS" ]
}

fleet_checks() {
    section "On each camera: stand-in calls"
    for i in $(seq "$LAN_CAMERAS"); do
        echo "camera $i ($(lan_value "c$i.devaddr")): $(tr '\n' ';' \
            <"$(camera_file "$i" log/calls.log)")"
    done
    section "Checks"
    check "search found all $LAN_CAMERAS cameras" \
        test "$(grep -vc '^#' "$SITE/targets.txt")" = "$LAN_CAMERAS"
    check "rollout succeeded (exit 0)" test "$ROLLOUT_RC" = 0
    check "report: every camera ok and back" report_all_ok
    for i in $(seq "$LAN_CAMERAS"); do
        check "camera $i: flashed, file and MCU firmware installed, sync, MCU reset, reboot, back" \
            upgraded "$i"
    done
    check "the shared destination itself stayed empty" test ! -e "$DEST/ptz.conf"
    check "every camera serves again" vlan serving "$LAN"
    check "no guarded tool was reached" \
        sh -c "! grep -qs '^GUARD' $(lan_value workspace)_c*/log/calls.log"
}

fleet_main() {
    fleet_up
    fleet_package
    fleet_search
    fleet_rollout
    fleet_checks
    summary
}
