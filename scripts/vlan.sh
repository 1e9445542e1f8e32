#!/bin/sh
# Virtual LAN of cameras: one bridge in a network namespace of its own, a PC
# namespace on it (the host tool's side, interface pc0), and N virtual
# cameras (scripts/vcam.sh) whose eth0 are ports of the same bridge. The
# bridge floods the search group to every port, so one search from the PC
# reaches every camera. Nothing is created in the root namespace.
#   (usage: printed by usage() below)
#
# Options of "start":
#   --qdboot BIN --mcu-sim BIN    the daemon and the MCU simulator (default
#                                 build/bin/...; --no-mcu: no MCU line)
#   --boot-delay S                seconds a reboot takes (default 2)
#   --refuse I,..                 the package's destination is read-only there
#   --refuse-all I,..             camera I refuses every package before
#                                 reading it: its [seal] has only a key that
#                                 verifies nothing (the seal settings refuse
#                                 every upload, the reason its status gives)
#   --seal-key NAME.pub           (repeatable, at most two: key1, key2) every
#                                 other camera takes only packages signed by
#                                 one of these keys
#   --counter N                   (with --seal-key) each camera starts with
#                                 the counter file qdboot.counter in its
#                                 work directory (workdir=) holding N
#   --stall I,..                  the daemon is frozen once it serves
#   --absent I,..                 no daemon runs there
#   --ab                          A/B cameras: each gets A/B flash files with
#                                 the old firmware in slot a, a boot
#                                 environment, the boot-loader stand-in on
#                                 every boot and [bootenv] in its
#                                 configuration (scripts/abcam.sh; the flash
#                                 tool is qd-flashsim beside --qdboot)
#   --unhealthy I,..              (with --ab) camera I's new firmware fails
#                                 its health check: the daemon stores bad
#                                 and reboots, and the old slot boots again
# Camera I is LAN_cI (1..N) at SUBNET.(10+I); the PC is SUBNET.2. Every
# camera's configuration serves port 8080, with a kernel partition (with
# --ab: kernel and root file system, each in two slots), an MCU line (its
# own simulator) and the LAN's dest directory as a destination that is
# really each camera's own (see vcam.sh, VCAM_DEST).
#
# Any shell of the machine addresses a LAN by its name (the names of the
# LANs that are up are unique); brought up without VCAM_OWNER, a LAN belongs
# to the machine (PID 1) and stays until "vlan.sh down". Tests and demos name
# an owner process (VCAM_OWNER): they address only their own LANs, and a LAN
# whose run died is swept by the next "up", as in vcam.sh. The workspace
# root is VCAM_ROOT, as in vcam.sh; the LAN's namespaces carry the owner's
# PID in their names.
# Each camera's daemon has a root of its own (vcam.sh --help says what it
# can touch); "start" therefore needs / to be a mount point and says so at
# once where it is not (a chroot), while everything else works there too.
set -eu

PREFIX=qdvc
REPO=$(cd "$(dirname "$0")/.." && pwd)
VCAM=$REPO/scripts/vcam.sh
ABCAM=$REPO/scripts/abcam.sh
# shellcheck source=scripts/rig_lib.sh
. "$REPO/scripts/rig_lib.sh"
ROOT=${VCAM_ROOT:-/tmp/qdvc}
# A run that names itself addresses only its own LANs.
OWNER_GIVEN=${VCAM_OWNER:+1}
export VCAM_OWNER="${VCAM_OWNER:-1}"
PORT=$RIG_PORT
MAX_CAMERAS=240

die() {
    echo "vlan: $*" >&2
    exit 1
}

vcam() {
    sh "$VCAM" "$@"
}

set_lan() {
    case $1 in
    '' | *[!A-Za-z0-9]*) die "bad LAN name '$1' (use letters and digits)" ;;
    esac
    [ ${#1} -le 16 ] || die "LAN name longer than 16 characters: $1"
    LAN=$1
    ID=$VCAM_OWNER-$LAN
    BRNS=$PREFIX-$ID-b
    PCNS=$PREFIX-$ID-p
    WS=$ROOT/cams/$ID
}

# The owners of the LANs called NAME that are up, on one line.
lan_owners() { # NAME
    found=
    for info in "$ROOT"/cams/[0-9]*-"$1"/info; do
        grep -q '^bridgens=' "$info" 2>/dev/null || continue
        id=${info%/info}
        id=${id##*/}
        found="${found:+$found }${id%%-*}"
    done
    echo "$found"
}

# The caller's own LAN of that name, else (for a caller that names no owner)
# the one that is up for any owner, whose cameras are then addressed as that
# owner's.
find_lan() { # NAME
    set_lan "$1"
    [ ! -f "$WS/info" ] || return 0
    [ -z "$OWNER_GIVEN" ] || return 1
    owners=$(lan_owners "$1")
    case $owners in
    '') return 1 ;;
    *' '*) die "LAN $1 is up for several owners ($owners): set VCAM_OWNER to one" ;;
    esac
    VCAM_OWNER=$owners
    set_lan "$1"
}

load_lan() {
    find_lan "$1" || die "LAN $1 is not up${OWNER_GIVEN:+ (owner $VCAM_OWNER)}"
    SUBNET=$(sed -n 's/^subnet=//p' "$WS/info")
    COUNT=$(sed -n 's/^cameras=//p' "$WS/info")
}

camera_name() {
    echo "${LAN}_c$1"
}

make_lan() {
    for ns in "$BRNS" "$PCNS"; do
        ip netns add "$ns"
        rig_in_ns "$ns" ip link set lo up
    done
    # No snooping and no querier: the bridge floods the group to every port.
    rig_in_ns "$BRNS" ip link add br0 type bridge mcast_snooping 0
    rig_in_ns "$BRNS" ip link set br0 up
    rig_in_ns "$PCNS" ip link add pc0 type veth peer name pc netns "$BRNS"
    rig_in_ns "$BRNS" ip link set pc master br0 up
    rig_in_ns "$PCNS" sh -c 'echo 0 > /proc/sys/net/ipv4/conf/all/rp_filter'
    rig_in_ns "$PCNS" ip addr add "$SUBNET.2/24" dev pc0
    rig_in_ns "$PCNS" ip link set pc0 up
    rig_in_ns "$PCNS" ip route add 224.0.0.0/4 dev pc0
}

write_info() {
    {
        echo "name=$LAN"
        echo "owner=$VCAM_OWNER"
        echo "bridgens=$BRNS"
        echo "pcns=$PCNS"
        echo "subnet=$SUBNET"
        echo "pcaddr=$SUBNET.2"
        echo "absentaddr=$SUBNET.254"
        echo "port=$PORT"
        echo "dest=$WS/dest"
        echo "workspace=$WS"
        echo "cameras=$COUNT"
    } >"$WS/info"
}

cmd_up() {
    set_lan "$1"
    COUNT=$2
    case $COUNT in
    '' | *[!0-9]*) die "bad camera count '$COUNT'" ;;
    esac
    if [ "$COUNT" -lt 1 ] || [ "$COUNT" -gt $MAX_CAMERAS ]; then
        die "1 to $MAX_CAMERAS cameras"
    fi
    vcam sweep
    for other in $(lan_owners "$LAN"); do
        [ "$other" = "$VCAM_OWNER" ] ||
            die "LAN $LAN is up already (owner $other): vlan.sh down $LAN first"
    done
    cmd_down "$LAN" 2>/dev/null
    trap 'cmd_down "$LAN"' EXIT
    mkdir -p "$WS/dest"
    echo "$VCAM_OWNER $(rig_start_time "$VCAM_OWNER")" >"$WS/owner"
    SUBNET=$(rig_claim_subnet "$ROOT" "$ID")
    make_lan
    write_info
    i=1
    while [ "$i" -le "$COUNT" ]; do
        VCAM_LAN_NS=$BRNS VCAM_LAN_ADDR=$SUBNET.$((10 + i)) VCAM_LAN_PORT=c$i \
            vcam up "$(camera_name $i)" >/dev/null
        i=$((i + 1))
    done
    trap - EXIT
    summary
}

summary() {
    echo "LAN $LAN is up: $COUNT camera(s) on $SUBNET.0/24, bridge namespace $BRNS"
    echo "  PC       $SUBNET.2 on pc0: vlan.sh pc $LAN CMD... runs CMD there"
    echo "  cameras  $SUBNET.11 to $SUBNET.$((10 + COUNT)), port $PORT: vlan.sh targets $LAN"
    echo "  next     vlan.sh start $LAN [OPTIONS] &  (no daemon runs yet)"
    echo "  facts    vlan.sh info $LAN; tear down: vlan.sh down $LAN"
}

cmd_info() {
    cat "$WS/info"
    i=1
    while [ "$i" -le "$COUNT" ]; do
        vcam info "$(camera_name $i)" | sed "s/^/c$i./"
        i=$((i + 1))
    done
}

cmd_down() {
    set_lan "$1"
    if [ -f "$WS/info" ]; then
        COUNT=$(sed -n 's/^cameras=//p' "$WS/info")
        SUBNET=$(sed -n 's/^subnet=//p' "$WS/info")
        i=1
        while [ "$i" -le "${COUNT:-0}" ]; do
            vcam down "$(camera_name $i)" || true
            i=$((i + 1))
        done
        rig_release_subnet "$ROOT" "$SUBNET" "$ID"
    fi
    for ns in "$PCNS" "$BRNS"; do
        rig_remove_ns "$ns"
    done
    rm -rf "$WS"
}

# True when "I" is in the comma-separated list.
listed() {
    case ",$2," in
    *",$1,"*) return 0 ;;
    esac
    return 1
}

camera_workspace() {
    echo "$ROOT/cams/$VCAM_OWNER-$(camera_name "$1")"
}

# An A/B camera takes its partitions and boot journal from abcam.sh; any
# other has one kernel partition, written by the logging stand-ins.
write_config() { # WS UART
    if [ "$AB" = 1 ]; then
        rig_config_system vlan-camera "$2" ipcam_main "$1/tmp" "$FLASHSIM"
        sh "$ABCAM" sections "$1"
        # The rig's LAN is trusted: its cameras tell a status query the
        # package they run, so a rollout can match the package it sent.
        printf '[status]\ndetail=full\n'
        return
    fi
    rig_config_system vlan-camera "$2" ipcam_main "$1/tmp"
    rig_config_kernel /dev/mtd2 33554432
}

# A key of small order takes nothing, and a slot that takes nothing never
# counts as empty: the camera refuses every upload, and says why.
REFUSING_KEY=0000000000000000000000000000000000000000000000000000000000000000

# The [seal] section of camera I, if it gets one.
write_seal() { # I WORKDIR
    if listed "$1" "$REFUSE_ALL"; then
        printf '\n[seal]\nkey1=%s\n' "$REFUSING_KEY"
        return
    fi
    [ -n "$SEAL_KEYS" ] || return 0
    printf '\n[seal]\n'
    n=1
    for key in $SEAL_KEYS; do
        echo "key$n=$key"
        n=$((n + 1))
    done
    [ -z "$COUNTER" ] || echo "counter_file=$2/qdboot.counter"
}

# Fresh A/B flash (old firmware in slot a) before each start.
prepare_ab() { # I WS
    if listed "$1" "$UNHEALTHY"; then
        sh "$ABCAM" flash "$2" --unhealthy
    else
        sh "$ABCAM" flash "$2"
    fi
}

start_camera() {
    cws=$(camera_workspace "$1")
    uart=$(sed -n 's/^uart=//p' "$cws/info")
    [ -n "$MCU_SIM" ] || uart=/dev/null
    {
        write_config "$cws" "$uart"
        write_seal "$1" "$cws/work"
    } >"$cws/work/qdboot.cfg"
    # Each start begins from the counter given, as a fresh flash would.
    [ -z "$COUNTER" ] || echo "$COUNTER" >"$cws/work/qdboot.counter"
    hook=
    if [ "$AB" = 1 ]; then
        prepare_ab "$1" "$cws" || die "camera $1: no A/B flash"
        hook="sh $ABCAM boot $cws"
    fi
    readonly_dirs=
    listed "$1" "$REFUSE" && readonly_dirs=$WS/dest
    VCAM_QDBOOT=$QDBOOT VCAM_MCU_SIM=$MCU_SIM VCAM_BOOT_DELAY=$BOOT_DELAY \
        VCAM_DEST=$WS/dest VCAM_READONLY=$readonly_dirs VCAM_BOOT_HOOK=$hook \
        sh "$VCAM" start "$(camera_name "$1")" "$cws/work/qdboot.cfg" &
    STARTED="$STARTED $!:$1"
}

camera_serves() {
    rig_serving "$(sed -n 's/^devns=//p' "$(camera_workspace "$1")/info")"
}

# Every camera that runs a daemon (or camera I) listens and has joined the
# search group.
cmd_serving() {
    load_lan "$1"
    if [ $# -ge 2 ]; then
        camera_serves "$2"
        return
    fi
    i=1
    while [ "$i" -le "$COUNT" ]; do
        if [ -f "$ROOT/cams/$VCAM_OWNER-$(camera_name $i)/daemon.pid" ]; then
            camera_serves "$i" || return 1
        fi
        i=$((i + 1))
    done
}

parse_start() {
    QDBOOT=$REPO/build/bin/qdboot
    MCU_SIM=$REPO/build/bin/mcu-sim
    BOOT_DELAY=2 REFUSE='' STALL='' ABSENT='' AB=0 UNHEALTHY=''
    REFUSE_ALL='' SEAL_KEYS='' COUNTER=''
    while [ $# -gt 0 ]; do
        [ "$1" = --no-mcu ] && { MCU_SIM=; shift; continue; }
        [ "$1" = --ab ] && { AB=1; shift; continue; }
        [ $# -ge 2 ] || die "option $1 needs a value"
        case $1 in
        --qdboot) QDBOOT=$2 ;;
        --mcu-sim) MCU_SIM=$2 ;;
        --boot-delay) BOOT_DELAY=$2 ;;
        --refuse) REFUSE=$2 ;;
        --refuse-all) REFUSE_ALL=$2 ;;
        --seal-key) SEAL_KEYS="$SEAL_KEYS $(read_key "$2")" ;;
        --counter) COUNTER=$2 ;;
        --stall) STALL=$2 ;;
        --absent) ABSENT=$2 ;;
        --unhealthy) UNHEALTHY=$2 ;;
        *) die "unknown start option $1" ;;
        esac
        shift 2
    done
    check_ab
    check_seal
}

# The 64 hex digits of a public key file (qdupk keygen's NAME.pub).
read_key() { # FILE
    [ -r "$1" ] || die "--seal-key: cannot read $1"
    key=$(head -n 1 "$1")
    case $key in
    *[!0-9a-fA-F]*) die "--seal-key: $1 is not a public key (64 hex digits)" ;;
    esac
    [ ${#key} = 64 ] || die "--seal-key: $1 is not a public key (64 hex digits)"
    echo "$key"
}

check_seal() {
    # shellcheck disable=SC2086 # the keys, one word each
    set -- $SEAL_KEYS
    [ $# -le 2 ] || die "--seal-key: at most two keys (key1, key2)"
    [ -z "$COUNTER" ] || [ $# -gt 0 ] || die "--counter needs --seal-key"
    case $COUNTER in
    *[!0-9]*) die "--counter: bad counter '$COUNTER' (decimal digits)" ;;
    esac
    check_cameras --refuse-all "$REFUSE_ALL"
}

# Every camera in LIST is one of the LAN's.
check_cameras() { # OPTION LIST
    for i in $(echo "$2" | tr ',' ' '); do
        case $i in
        '' | *[!0-9]*) die "$1: bad camera '$i'" ;;
        esac
        if [ "$i" -lt 1 ] || [ "$i" -gt "$COUNT" ]; then
            die "$1: no camera $i (1 to $COUNT)"
        fi
    done
}

check_ab() {
    if [ "$AB" = 0 ]; then
        [ -z "$UNHEALTHY" ] || die "--unhealthy needs --ab"
        return 0
    fi
    check_cameras --unhealthy "$UNHEALTHY"
    FLASHSIM=$(dirname "$QDBOOT")/qd-flashsim
    [ -x "$FLASHSIM" ] || die "--ab needs the flash stand-in at $FLASHSIM"
}

# Ending a camera's start ends its daemon's whole PID namespace.
stop_cameras() {
    for job in $STARTED; do
        kill -KILL "${job%%:*}" 2>/dev/null || true
    done
}

# Every camera this start runs serves (not only those already recorded).
started_serve() {
    i=1
    while [ "$i" -le "$COUNT" ]; do
        if ! listed "$i" "$ABSENT"; then
            camera_serves "$i" || return 1
        fi
        i=$((i + 1))
    done
}

# The daemons are this process's children (and die with it); it waits until
# every one serves, freezes the stalled ones, says "ready" and stays.
cmd_start() {
    load_lan "$1"
    shift
    parse_start "$@"
    # Where no camera can start, say so at once rather than after a wait.
    if why=$(rig_root_problem); then die "$why"; fi
    STARTED=''
    trap 'stop_cameras; exit 130' INT TERM
    i=1
    while [ "$i" -le "$COUNT" ]; do
        listed "$i" "$ABSENT" || start_camera "$i"
        i=$((i + 1))
    done
    n=0
    until started_serve; do
        [ $n -lt 300 ] || die "not every camera serves after 30 s"
        for job in $STARTED; do
            kill -0 "${job%%:*}" 2>/dev/null ||
                die "camera ${job#*:} ended before it served:" \
                    "$(tail -n 3 "$ROOT/cams/$VCAM_OWNER-$(camera_name "${job#*:}")/log/rig.log")"
        done
        sleep 0.1
        n=$((n + 1))
    done
    for i in $(echo "$STALL" | tr ',' ' '); do
        vcam freeze "$(camera_name "$i")"
    done
    echo ready
    wait
}

cmd_state() {
    load_lan "$1"
    [ $# -eq 2 ] || die "usage: vlan.sh state LAN I"
    cws=$(camera_workspace "$2")
    [ -f "$cws/ab/fw_env.config" ] || die "camera $2 has no A/B flash (start --ab)"
    sh "$ABCAM" state "$cws"
}

cmd_targets() {
    load_lan "$1"
    i=1
    while [ "$i" -le "$COUNT" ]; do
        echo "$SUBNET.$((10 + i)):$PORT"
        i=$((i + 1))
    done
}

# tbf on the bridge's port towards the camera shapes what the camera gets.
cmd_slow() {
    load_lan "$1"
    [ $# -eq 3 ] || die "usage: vlan.sh slow LAN I RATE"
    if [ "$3" = off ]; then
        rig_in_ns "$BRNS" tc qdisc del dev "c$2" root 2>/dev/null || true
    else
        rig_in_ns "$BRNS" tc qdisc replace dev "c$2" root tbf rate "$3" \
            burst 64kb latency 50ms
    fi
}

usage() {
    cat >&2 <<'EOF'

  vlan.sh up LAN N              create the LAN with N cameras, summed up
  vlan.sh info LAN              its facts and its cameras' (key=value
                                lines)
  vlan.sh start LAN [OPTIONS]   configure and run every camera's daemon
                                (foreground, until ended; run with '&');
                                OPTIONS (I,.. lists cameras by number):
                                --qdboot BIN, --mcu-sim BIN, --no-mcu,
                                --boot-delay S, --refuse I,.., --refuse-all
                                I,.., --stall I,.., --absent I,.., --seal-key
                                NAME.pub (at most two), --counter N, --ab,
                                --unhealthy I,.. (the script's header says
                                what each does)
  vlan.sh serving LAN [I]       true when every started camera (or camera I)
                                serves
  vlan.sh targets LAN           the cameras' HOST:PORT, one a line
  vlan.sh state LAN I           camera I's boot journal, last boot and
                                slots (started with --ab; abcam.sh state)
  vlan.sh slow LAN I RATE       shape what camera I receives (e.g. 100mbit;
                                "off" removes the limit)
  vlan.sh pc LAN CMD...         run CMD in the PC namespace
  vlan.sh down LAN              tear everything down (idempotent)

Any shell of this machine addresses a LAN by its name.
EOF
    exit 2
}

[ $# -ge 2 ] || usage
case $VCAM_OWNER in
'' | *[!0-9]*) die "VCAM_OWNER must be a PID" ;;
esac
sub=$1
shift
case $sub in
up)
    [ $# -eq 2 ] || usage
    cmd_up "$@"
    ;;
info) load_lan "$1" && cmd_info ;;
start | serving | targets | slow | state) "cmd_$sub" "$@" ;;
down)
    find_lan "$1" || true
    cmd_down "$1"
    ;;
pc)
    load_lan "$1"
    shift
    [ $# -ge 1 ] || usage
    exec nsenter --net="/run/netns/$PCNS" "$@"
    ;;
*) usage ;;
esac
