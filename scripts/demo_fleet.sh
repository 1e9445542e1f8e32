# shellcheck shell=bash
# The site demo (scripts/demo.sh --fleet): five virtual cameras with A/B
# flash on one LAN (scripts/vlan.sh --ab), each with its own daemon, boot
# loader stand-in, stand-ins and MCU simulator, upgraded from firmware 1 to
# firmware 2 with one `qdupk rollout --wait-return` from the PC namespace: a
# canary first, then two at a time. Camera 4's firmware 2 fails its health
# check, so that camera rolls back to firmware 1; the rollout counts a
# camera only once its new firmware has confirmed. On a terminal the
# rollout's live display shows the cameras in flight. Sourced by
# scripts/demo.sh, whose helpers (section, check, indent, cannot_run,
# summary), variables (REPO, BIN, PC_PID) and rig library (scripts/rig_lib.sh)
# it uses.

LAN=fleet
LAN_CAMERAS=5
UNHEALTHY=4
NEW_VERSION=2
LAN_JOB=
VLAN="$REPO/scripts/vlan.sh"
ABCAM="$REPO/scripts/abcam.sh"
# Ceiling for every camera's journal to settle after the rollout.
SETTLE_SECONDS=90

vlan() {
    sh "$VLAN" "$@"
}

# demo.sh's teardown has ended the PC side by then.
fleet_teardown() {
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

wait_ready() {
    rig_wait_until "$LAN_JOB" 600 grep -q '^ready$' "$SITE/start.log" ||
        cannot_run "the cameras did not come up: $(cat "$SITE/start.log")"
}

fleet_up() {
    section "Virtual LAN of A/B cameras"
    SITE=$(mktemp -d) || cannot_run "mktemp failed"
    vlan up "$LAN" "$LAN_CAMERAS" >"$SITE/lan.info" 2>&1 ||
        cannot_run "vlan.sh up failed: $(cat "$SITE/lan.info")"
    vlan info "$LAN" >"$SITE/lan.info" 2>&1 ||
        cannot_run "vlan.sh info failed: $(cat "$SITE/lan.info")"
    echo "bridge namespace $(lan_value bridgens), PC namespace $(lan_value pcns):" \
        "pc0 $(lan_value pcaddr)/24"
    vlan start "$LAN" --qdboot "$BIN/qdboot" --mcu-sim "$BIN/mcu-sim" --boot-delay 2 \
        --ab --unhealthy "$UNHEALTHY" >"$SITE/start.log" 2>&1 &
    LAN_JOB=$!
    wait_ready
    read_states
    for i in $(seq "$LAN_CAMERAS"); do
        echo "camera $i: $(lan_value "c$i.devns"), eth0 $(lan_value "c$i.devaddr")/24," \
            "runs firmware $(running_version "$i") from slot $(running_slot "$i")"
    done
    echo "every camera boots through the boot-loader stand-in, and its qdboot"
    echo "serves on port $RIG_PORT and joined $RIG_GROUP"
    echo "camera $UNHEALTHY's firmware $NEW_VERSION will fail its health check"
}

fleet_package() {
    section "Package: firmware $NEW_VERSION (PC side)"
    sh "$ABCAM" kernel "$NEW_VERSION" "$SITE/kernel.img" || cannot_run "no kernel image"
    sh "$ABCAM" rootfs "$NEW_VERSION" ok "$SITE/rootfs.img" || cannot_run "no rootfs image"
    head -c 3000 /dev/urandom >"$SITE/mcu.bin"
    cat >"$SITE/manifest.ini" <<EOF
[package]
name=Site firmware
version=$NEW_VERSION.0.0
devid=vlan-camera
[item1]
type=kernel
source=kernel.img
desc=Kernel image
[item2]
type=rootfs
source=rootfs.img
desc=Root file system
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
        --parallel 2 --wait-return 60 --report "$SITE/report.csv")
    echo "qdupk rollout site.upg --targets targets.txt --canary 1 --parallel 2" \
        "--wait-return 60 --report report.csv"
    echo "(a camera counts as done once its status reports firmware 2 good;" \
        "one that rolls back fails)"
    if [ -t 1 ]; then
        vlan pc "$LAN" "${cmd[@]}" &
    else
        vlan pc "$LAN" "${cmd[@]}" >"$SITE/rollout.out" 2>&1 &
    fi
    PC_PID=$!
    wait "$PC_PID"
    ROLLOUT_RC=$?
    PC_PID=
    [ -t 1 ] || indent <"$SITE/rollout.out"
    echo "exit status $ROLLOUT_RC"
    section "Report ($SITE/report.csv)"
    indent <"$SITE/report.csv"
}

# Every camera's boot journal, last boot and slots, as they are now.
read_states() {
    for i in $(seq "$LAN_CAMERAS"); do
        vlan state "$LAN" "$i" >"$SITE/state.$i" 2>&1
    done
}

# One variable of camera I's boot journal (qd_KEY), or its last boot, as
# read_states last saw it.
journal() { # I KEY
    sed -n "s/^qd_$2=//p; s/^$2=//p" "$SITE/state.$1"
}

running_version() { # I
    journal "$1" lastboot | sed -n 's/.* version=\([^ ]*\).*/\1/p'
}

running_slot() { # I
    journal "$1" lastboot | sed -n 's/.* slot=\([ab]\).*/\1/p'
}

# Good, bad or rolled back, and the proven slot runs: nothing more will
# change without an upload.
settled() { # I
    case $(journal "$1" state) in
    good | bad | rolledback) [ "$(running_slot "$1")" = "$(journal "$1" slot)" ] ;;
    *) return 1 ;;
    esac
}

all_settled() {
    for i in $(seq "$LAN_CAMERAS"); do
        settled "$i" || return 1
    done
}

fleet_settle() {
    read_states
    all_settled && return 0
    echo "waiting for every camera's boot journal to settle..."
    local end=$((SECONDS + SETTLE_SECONDS))
    while [ $SECONDS -lt $end ]; do
        read_states
        all_settled && return 0
    done
    echo "not every journal settled within $SETTLE_SECONDS s"
}

# Camera I's boots, oldest first, as "a:1 > b:2" (slot:firmware).
boot_history() { # I
    awk '{ slot = "?"; version = "?"
           for (i = 1; i <= NF; i++) {
               if ($i ~ /^slot=/) slot = substr($i, 6)
               if ($i ~ /^version=/) version = substr($i, 9)
           }
           printf "%s%s:%s", sep, slot, version; sep = " > " }' \
        "$(camera_file "$1" ab/boots)"
}

fleet_journals() {
    section "On each camera: boot journal and running firmware"
    fleet_settle
    for i in $(seq "$LAN_CAMERAS"); do
        printf '    camera %s (%s): journal %s, runs firmware %s from slot %s; boots %s\n' \
            "$i" "$(lan_value "c$i.devaddr")" "$(journal "$i" state)" \
            "$(running_version "$i")" "$(running_slot "$i")" "$(boot_history "$i")"
    done
    echo "    (boots as slot:firmware; the boot loader tries a new slot once its"
    echo "    journal says trial, and goes back to the proven slot after a bad one)"
}

camera_file() { # I NAME
    echo "$(lan_value "c$1.workspace")/$2"
}

# Confirmed: the journal is good, the new firmware runs from slot b.
confirmed_on_camera() { # I
    [ "$(journal "$1" state)" = good ] && [ "$(journal "$1" slot)" = b ] &&
        [ "$(running_version "$1")" = "$NEW_VERSION" ]
}

# Rolled back: the new firmware booted once on trial, failed its health
# check (bad), and the old firmware runs again from slot a.
rolled_back_on_camera() { # I
    [ "$(journal "$1" state)" = bad ] && [ "$(journal "$1" slot)" = a ] &&
        [ "$(running_version "$1")" = 1 ] &&
        grep -q "slot=b version=$NEW_VERSION" "$(camera_file "$1" ab/boots)"
}

installed() { # I: the MCU firmware, the MCU reset and the reboot
    grep -qx "sync" "$(camera_file "$1" log/calls.log)" &&
        grep -qx "reboot" "$(camera_file "$1" log/calls.log)" &&
        grep -q "RX A0 01 00 57 AA 00 AF F3" "$(camera_file "$1" mcu/frames.log)" &&
        cmp -s "$(camera_file "$1" mcu/received.bin)" "$SITE/mcu.bin"
}

# Camera I's result and whether it confirmed, as "ok/yes", from the CSV
# report (address,result,reason,...,confirmed): the reason in between may
# hold quoted commas, the first two fields and the last never do.
reported() { # I
    awk -F, -v a="$(lan_value "c$1.devaddr"):$RIG_PORT" '$1 == a { print $2 "/" $NF }' \
        "$SITE/report.csv"
}

report_outcomes() {
    for i in $(seq "$LAN_CAMERAS"); do
        if [ "$i" = "$UNHEALTHY" ]; then
            [ "$(reported "$i" | cut -d/ -f1)" = rolled-back ] || return 1
        else
            [ "$(reported "$i")" = ok/yes ] || return 1
        fi
    done
}

rollout_checks() {
    check "rollout reports a failure (exit 3)" test "$ROLLOUT_RC" = 3
    check "report: camera $UNHEALTHY rolled-back, every other camera confirmed" report_outcomes
}

camera_checks() {
    for i in $(seq "$LAN_CAMERAS"); do
        if [ "$i" = "$UNHEALTHY" ]; then
            check "camera $i: firmware $NEW_VERSION failed its health check; firmware 1 runs again from slot a (journal bad)" \
                rolled_back_on_camera "$i"
        else
            check "camera $i: firmware $NEW_VERSION confirmed in slot b (journal good)" \
                confirmed_on_camera "$i"
        fi
        check "camera $i: MCU firmware installed, sync, MCU reset, reboot" installed "$i"
    done
}

fleet_checks() {
    section "Checks"
    check "search found all $LAN_CAMERAS cameras" \
        test "$(grep -vc '^#' "$SITE/targets.txt")" = "$LAN_CAMERAS"
    rollout_checks
    camera_checks
    check "every camera serves again" vlan serving "$LAN"
    check "no guarded tool was reached" \
        sh -c "! grep -qs '^GUARD' $(lan_value workspace)_c*/log/calls.log"
}

fleet_main() {
    fleet_up
    fleet_package
    fleet_search
    fleet_rollout
    fleet_journals
    fleet_checks
    summary
}
