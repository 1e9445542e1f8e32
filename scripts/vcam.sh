#!/bin/sh
# Virtual camera: a device network namespace whose veth end is called eth0,
# a PC namespace on the other end, stand-in tools first in PATH, and qdboot
# started in its own PID and mount namespaces, so that nothing it does can
# reach the host's network, processes or reboot.
#
#   vcam.sh up NAME [--no-addr]   create the camera, print its facts
#   vcam.sh info NAME             print them again (key=value lines)
#   vcam.sh start NAME [ARGS...]  run qdboot ARGS in the camera (foreground;
#                                 run it with '&' and keep the shell alive)
#   vcam.sh status NAME           exit status of the last run, or "running"
#   vcam.sh stop NAME             end the daemon by its recorded PID
#   vcam.sh addr|deladdr NAME     give eth0 its address / take it away
#   vcam.sh pc|dev NAME CMD...    run CMD in the PC / device namespace
#   vcam.sh stub NAME TOOL...     add more logging stand-ins (flash tools)
#   vcam.sh down NAME             tear everything down (idempotent)
#   vcam.sh freeze|thaw NAME      stop the daemon where it is / let it go on
#   vcam.sh sweep                 remove what runs that died left behind
#
# Cameras belong to an owner process, VCAM_OWNER (default: the caller); names
# include its PID so parallel runs never meet, and a camera whose owner is
# gone is swept by the next "up". VCAM_QDBOOT names the daemon binary
# (default build/bin/qdboot), VCAM_ROOT the workspace root (/tmp/qdvc).
# For "start" only, in the daemon's own mount namespace: VCAM_TMPFS_SIZE
# (e.g. 64k) puts a tmpfs of that size on the camera's tmp directory, and
# VCAM_READONLY lists directories made read-only there, VCAM_DEST names a
# directory over which the camera's own dest directory is mounted (so one
# package can name one destination for many cameras), VCAM_BOOT_DELAY makes
# the reboot stand-in end the daemon and the rig start it again after that
# many seconds, and VCAM_MCU_SIM names the MCU loader simulator to run on a
# pseudo-terminal that the daemon reaches as /mnt/mcu.
#
# On a virtual LAN (scripts/vlan.sh) "up" is given VCAM_LAN_NS, the bridge's
# namespace, VCAM_LAN_ADDR, the camera's address, and VCAM_LAN_PORT, the
# name of its bridge port; the camera then has no PC namespace of its own.
set -eu

PREFIX=qdvc
SELF=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
REPO=$(cd "$(dirname "$0")/.." && pwd)
STUB_SRC=$REPO/tests/support/stubs
ROOT=${VCAM_ROOT:-/tmp/qdvc}
OWNER=${VCAM_OWNER:-$PPID}
MCU_LINK=/mnt/mcu
STANDINS="reboot killall sync flash_eraseall flashcp"
# Guarded inside the daemon's mount namespace: an absolute path to any of
# these reaches the guard script, never the real program.
GUARDED="/usr/sbin/reboot /sbin/reboot /usr/sbin/halt /sbin/halt /usr/sbin/poweroff
/sbin/poweroff /usr/sbin/shutdown /sbin/shutdown /usr/sbin/telinit /sbin/telinit
/usr/sbin/init /sbin/init /usr/bin/systemctl /bin/systemctl /usr/bin/killall /bin/killall"

die() {
    echo "vcam: $*" >&2
    exit 1
}

set_camera() {
    case $1 in
    '' | *[!A-Za-z0-9_]*) die "bad camera name '$1' (use letters, digits and _)" ;;
    esac
    [ ${#1} -le 32 ] || die "camera name longer than 32 characters: $1"
    NAME=$1
    ID=$OWNER-$NAME
    DEVNS=$PREFIX-$ID-d
    PCNS=$PREFIX-$ID-p
    WS=$ROOT/cams/$ID
}

load_camera() {
    set_camera "$1"
    [ -f "$WS/info" ] || die "camera $1 is not up (owner $OWNER)"
    SUBNET=$(sed -n 's/^subnet=//p' "$WS/info")
    DEVIP=$(sed -n 's/^devaddr=//p' "$WS/info")
    # A camera on a LAN reaches the PC through the LAN's own namespace.
    PC_OF_CAMERA=$(sed -n 's/^pcns=//p' "$WS/info")
}

# Field 22 of /proc/PID/stat (the start time) tells a reused PID apart.
start_time() {
    [ -r "/proc/$1/stat" ] || return 1
    sed 's/.*) //' "/proc/$1/stat" | cut -d' ' -f20
}

# True when the run that owns camera ID has ended.
owner_gone() {
    pid=${1%%-*}
    now=$(start_time "$pid") || return 0
    recorded=
    if [ -r "$ROOT/cams/$1/owner" ]; then
        recorded=$(cut -d' ' -f2 "$ROOT/cams/$1/owner")
    fi
    [ -n "$recorded" ] && [ "$recorded" != "$now" ]
}

# True when the name resolves to the caller's own network namespace (an
# "ip netns add" that half failed, say): its processes are the whole host's.
is_own_ns() {
    here=$(stat -L -c %d:%i /proc/self/ns/net 2>/dev/null) || return 0
    [ "$(stat -L -c %d:%i "/run/netns/$1" 2>/dev/null)" = "$here" ]
}

# Every process in one of our own namespaces was started by this rig.
remove_ns() {
    if is_own_ns "$1"; then
        echo "vcam: $1 is this very namespace; nothing in it is ended" >&2
    else
        for p in $(ip netns pids "$1" 2>/dev/null); do
            kill -KILL "$p" 2>/dev/null || true
        done
    fi
    ip netns del "$1" 2>/dev/null || true
}

release_subnet() {
    slot=$ROOT/subnets/${1#10.}
    if [ "$(cat "$slot/owner" 2>/dev/null)" = "$2" ]; then
        rm -rf "$slot"
    fi
}

cmd_sweep() {
    mkdir -p "$ROOT/cams" "$ROOT/subnets"
    for ns in $(ip netns list | cut -d' ' -f1); do
        case $ns in
        "$PREFIX"-[0-9]*-?*-[dpb]) ;;
        *) continue ;;
        esac
        id=${ns#"$PREFIX"-}
        id=${id%-?}
        if owner_gone "$id"; then
            remove_ns "$ns"
        fi
    done
    for ws in "$ROOT"/cams/*; do
        [ -d "$ws" ] || continue
        if owner_gone "${ws##*/}"; then
            rm -rf "$ws"
        fi
    done
    for slot in "$ROOT"/subnets/*; do
        [ -f "$slot/owner" ] || continue
        if owner_gone "$(cat "$slot/owner")"; then
            rm -rf "$slot"
        fi
    done
}

# A /24 per camera, claimed with an atomic mkdir so parallel runs never
# share one; the search starts at a hash of the ID to avoid contention.
claim_subnet() {
    slots=10240
    h=$(printf '%s' "$ID" | cksum | cut -d' ' -f1)
    i=0
    while [ $i -lt $slots ]; do
        k=$(((h + i) % slots))
        x=$((200 + k / 256))
        y=$((k % 256))
        if mkdir "$ROOT/subnets/$x.$y" 2>/dev/null; then
            echo "$ID" >"$ROOT/subnets/$x.$y/owner"
            SUBNET=10.$x.$y
            return 0
        fi
        i=$((i + 1))
    done
    die "no free subnet under $ROOT/subnets"
}

ns_sysctl() {
    ip netns exec "$1" sh -c "echo $3 > /proc/sys/net/ipv4/conf/$2/rp_filter"
}

make_links() {
    for ns in "$DEVNS" "$PCNS"; do
        ip netns add "$ns"
        ip -n "$ns" link set lo up
        ns_sysctl "$ns" all 0
        ns_sysctl "$ns" default 0
    done
    ip -n "$DEVNS" link add eth0 type veth peer name pc0 netns "$PCNS"
    ns_sysctl "$DEVNS" eth0 0
    ns_sysctl "$PCNS" pc0 0
    ip -n "$PCNS" addr add "$SUBNET.2/24" dev pc0
    ip -n "$PCNS" link set pc0 up
    ip -n "$PCNS" route add 224.0.0.0/4 dev pc0
    ip -n "$DEVNS" link set eth0 up
}

# A camera on a virtual LAN: its eth0's peer is a port of the LAN's bridge.
make_lan_links() {
    ip netns add "$DEVNS"
    ip -n "$DEVNS" link set lo up
    ns_sysctl "$DEVNS" all 0
    ns_sysctl "$DEVNS" default 0
    ip -n "$DEVNS" link add eth0 type veth peer name "$VCAM_LAN_PORT" netns "$VCAM_LAN_NS"
    ns_sysctl "$DEVNS" eth0 0
    ip -n "$VCAM_LAN_NS" link set "$VCAM_LAN_PORT" master br0 up
    ip -n "$DEVNS" link set eth0 up
}

install_stubs() {
    cp "$STUB_SRC/logcall" "$STUB_SRC/netwrap" "$STUB_SRC/guard" "$WS/bin/"
    chmod 755 "$WS/bin/logcall" "$WS/bin/netwrap" "$WS/bin/guard"
    for t in $STANDINS; do
        ln -sf logcall "$WS/bin/$t"
    done
    ln -sf netwrap "$WS/bin/ifconfig"
    ln -sf netwrap "$WS/bin/route"
}

write_info() {
    cat >"$WS/info" <<EOF
name=$NAME
id=$ID
owner=$OWNER
devns=$DEVNS
pcns=$PCNS
subnet=$SUBNET
devaddr=$DEVIP
pcaddr=$SUBNET.2
lanport=${VCAM_LAN_PORT:-}
workspace=$WS
workdir=$WS/work
tmpdir=$WS/tmp
stubs=$WS/bin
files=$WS/files
dest=$WS/dest
uart=$MCU_LINK
mcuframes=$WS/mcu/frames.log
daemonlog=$WS/log/daemon.log
calls=$WS/log/calls.log
riglog=$WS/log/rig.log
EOF
}

cmd_up() {
    set_camera "$1"
    with_addr=1
    [ "${2:-}" = "--no-addr" ] && with_addr=0
    start_time "$OWNER" >/dev/null || die "owner $OWNER is not running"
    cmd_sweep
    # Same owner and name can only be leftovers of this very run.
    cmd_down "$NAME" 2>/dev/null
    trap 'cmd_down "$NAME"' EXIT
    mkdir -p "$WS/work" "$WS/tmp" "$WS/log" "$WS/bin" "$WS/files" "$WS/dest" "$WS/mcu"
    echo "$OWNER $(start_time "$OWNER")" >"$WS/owner"
    if [ -n "${VCAM_LAN_NS:-}" ]; then
        DEVIP=$VCAM_LAN_ADDR
        SUBNET=${DEVIP%.*}
        PCNS=${VCAM_LAN_NS%-b}-p
        make_lan_links
    else
        claim_subnet
        DEVIP=$SUBNET.1
        make_links
    fi
    [ $with_addr = 0 ] || add_address
    install_stubs
    : >"$WS/log/daemon.log"
    : >"$WS/log/calls.log"
    write_info
    trap - EXIT
    cat "$WS/info"
}

cmd_down() {
    set_camera "$1"
    cmd_stop "$NAME" || true
    remove_ns "$DEVNS"
    remove_ns "$PCNS"
    if [ -f "$WS/info" ]; then
        release_subnet "$(sed -n 's/^subnet=//p' "$WS/info")" "$ID"
    fi
    rm -rf "$WS"
}

add_address() {
    ip -n "$DEVNS" addr replace "$DEVIP/24" dev eth0
}

cmd_addr() {
    load_camera "$1"
    add_address
}

cmd_deladdr() {
    load_camera "$1"
    ip -n "$DEVNS" -4 addr flush dev eth0
}

cmd_stub() {
    load_camera "$1"
    shift
    for t in "$@"; do
        case $t in
        '' | */* | .*) die "bad stand-in name '$t'" ;;
        esac
        ln -sf logcall "$WS/bin/$t"
    done
}

# The recorded PID is ours while it runs this camera's inner stage (or is
# still on its way there through exec).
daemon_pid() {
    pid=$(cat "$WS/daemon.pid" 2>/dev/null) || return 1
    cmdline=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") || return 1
    case $cmdline in
    *" _inner $WS "* | *"vcam.sh start $NAME"*) echo "$pid" ;;
    *) return 1 ;;
    esac
}

proc_alive() {
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# Ending the unshare process makes the kernel kill its child, PID 1 of the
# daemon's PID namespace, and with it everything else in there. unshare
# blocks SIGTERM while it waits for its child, hence SIGKILL.
cmd_stop() {
    set_camera "$1"
    pid=$(daemon_pid) || return 0
    inner=$(cat "/proc/$pid/task/$pid/children" 2>/dev/null || true)
    kill -KILL "$pid" 2>/dev/null || true
    n=0
    for p in $pid $inner; do
        while proc_alive "$p" && [ $n -lt 50 ]; do
            sleep 0.1
            n=$((n + 1))
        done
        proc_alive "$p" && kill -KILL "$p" 2>/dev/null
    done
    rm -f "$WS/daemon.pid"
}

# The daemon's PID outside its PID namespace: the child of the namespace's
# first process whose innermost PID is the one recorded in there.
daemon_host_pid() {
    pid=$(daemon_pid) || return 1
    want=$(cat "$WS/qdboot.pid" 2>/dev/null) || return 1
    for inner in $(cat "/proc/$pid/task/$pid/children" 2>/dev/null || true); do
        for c in $(cat "/proc/$inner/task/$inner/children" 2>/dev/null || true); do
            if [ "$(awk '/^NSpid:/ { print $NF }' "/proc/$c/status" 2>/dev/null)" = "$want" ]; then
                echo "$c"
                return 0
            fi
        done
    done
    return 1
}

# A stalled camera: the daemon stops where it is; its sockets still accept
# and take data until their buffers are full. Needs VCAM_BOOT_DELAY (the
# PID is recorded only then).
cmd_freeze() {
    load_camera "$1"
    c=$(daemon_host_pid) || die "camera $NAME runs no daemon that can be frozen"
    kill -"$2" "$c"
}

cmd_status() {
    load_camera "$1"
    if daemon_pid >/dev/null && [ ! -f "$WS/daemon.status" ]; then
        echo running
    elif [ -f "$WS/daemon.status" ]; then
        cat "$WS/daemon.status"
    else
        echo "not running"
        return 1
    fi
}

cmd_start() {
    load_camera "$1"
    shift
    qdboot=${VCAM_QDBOOT:-$REPO/build/bin/qdboot}
    [ -x "$qdboot" ] || die "no daemon binary at $qdboot"
    ! daemon_pid >/dev/null || die "camera $NAME already runs a daemon"
    resolved=$(PATH="$WS/bin:$PATH" command -v reboot)
    [ "$resolved" = "$WS/bin/reboot" ] || die "reboot resolves to $resolved, not the stand-in"
    rm -f "$WS/daemon.status"
    : >"$WS/log/daemon.log"
    : >"$WS/log/calls.log"
    echo $$ >"$WS/daemon.pid"
    export VCAM_QDBOOT="$qdboot"
    exec >>"$WS/log/rig.log" 2>&1 </dev/null
    # Exec all the way down keeps this PID: it becomes the unshare process,
    # which dies with its parent and takes the whole PID namespace along.
    exec setpriv --pdeathsig KILL ip netns exec "$DEVNS" \
        unshare --pid --fork --kill-child --mount-proc --propagation private \
        /bin/sh "$SELF" _inner "$WS" "$@"
}

mount_guards() {
    guard=$WS/bin/guard
    for t in $GUARDED; do
        [ -e "$t" ] || continue
        # Symlinks (reboot -> systemctl) resolve to one target; guard it once.
        cmp -s "$t" "$guard" && continue
        mount --bind "$guard" "$t" || return 1
        cmp -s "$t" "$guard" || return 1
    done
    # No way to the host's service manager over its sockets either.
    for d in /run/systemd /run/dbus; do
        [ -d "$d" ] || continue
        mount -t tmpfs -o size=64k,mode=755 vcam-guard "$d" || return 1
    done
}

# File systems a test asked for; the host and the test itself still see
# the directories as they were.
mount_requested() {
    if [ -n "${VCAM_DEST:-}" ]; then
        mount --bind "$WS/dest" "$VCAM_DEST" || return 1
    fi
    if [ -n "${VCAM_TMPFS_SIZE:-}" ]; then
        mount -t tmpfs -o "size=$VCAM_TMPFS_SIZE,mode=1777" vcam-tmp "$WS/tmp" || return 1
    fi
    for d in ${VCAM_READONLY:-}; do
        mount --bind "$d" "$d" || return 1
        mount -o remount,bind,ro "$d" || return 1
    done
}

# Runs as PID 1 of the daemon's PID namespace, in a private mount namespace.
cmd_inner() {
    WS=$1
    shift
    DEVNS=$(sed -n 's/^devns=//p' "$WS/info")
    if ! mount_guards; then
        echo "vcam: could not guard the reboot tools; not starting" >&2
        exit 97
    fi
    if ! mount_requested; then
        echo "vcam: could not mount the requested tmpfs or read-only directories" >&2
        exit 96
    fi
    export PATH="$WS/bin:$PATH" VCAM_CALLS="$WS/log/calls.log" VCAM_DEVNS="$DEVNS"
    export VCAM_FILES="$WS/files" TMPDIR="$WS/tmp"
    if [ -n "${VCAM_BOOT_DELAY:-}" ]; then
        export VCAM_REBOOT_MARK="$WS/rebooting" VCAM_DAEMON_PIDFILE="$WS/qdboot.pid"
    fi
    resolved=$(command -v reboot)
    if [ "$resolved" != "$WS/bin/reboot" ]; then
        echo "vcam: reboot resolves to $resolved; not starting" >&2
        exit 98
    fi
    cd "$WS/work"
    # Line-buffered stdout, so a test sees each line when it is printed.
    linebuf=
    if [ "${VCAM_LINEBUF:-1}" = 1 ] && command -v stdbuf >/dev/null; then
        linebuf="stdbuf -oL -eL"
        export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
    fi
    set +e
    start_mcu_sim || exit 95
    if [ -z "${VCAM_BOOT_DELAY:-}" ]; then
        $linebuf "$VCAM_QDBOOT" "$@" >>"$WS/log/daemon.log" 2>&1 </dev/null
        rc=$?
    else
        run_rebooting "$@"
        rc=$?
    fi
    echo $rc >"$WS/daemon.status"
    exit $rc
}

# The simulator stays up across the daemon's restarts, as the dome's MCU
# does across the camera's. The daemon finds it as $MCU_LINK, a link on a
# tmpfs of this mount namespace only: uart_arm holds 15 characters.
start_mcu_sim() {
    [ -n "${VCAM_MCU_SIM:-}" ] || return 0
    rm -f "$WS/mcu/path"
    "$VCAM_MCU_SIM" --path-file "$WS/mcu/path" --image "$WS/mcu/received.bin" \
        --log "$WS/mcu/frames.log" >/dev/null 2>"$WS/mcu/stderr" </dev/null &
    n=0
    while [ ! -s "$WS/mcu/path" ]; do
        if [ $n -ge 100 ] || ! kill -0 $! 2>/dev/null; then
            echo "vcam: the MCU simulator did not start: $(cat "$WS/mcu/stderr")" >&2
            return 1
        fi
        sleep 0.05
        n=$((n + 1))
    done
    mount -t tmpfs -o size=16k,mode=755 vcam-mcu "${MCU_LINK%/*}" &&
        ln -s "$(cat "$WS/mcu/path")" "$MCU_LINK"
}

# A camera that reboots: the reboot stand-in marks the reboot and ends the
# daemon (recorded here by its PID in this namespace); after the boot delay
# the daemon starts again with the same arguments, as after a real boot. Any
# other end of the daemon ends the camera.
run_rebooting() {
    while :; do
        rm -f "$WS/rebooting"
        $linebuf "$VCAM_QDBOOT" "$@" >>"$WS/log/daemon.log" 2>&1 </dev/null &
        echo $! >"$WS/qdboot.pid"
        wait $!
        rc=$?
        [ -e "$WS/rebooting" ] || return $rc
        echo "vcam: rebooting; the daemon starts again in $VCAM_BOOT_DELAY s" >&2
        # The time a camera takes to boot, not a wait for anything.
        sleep "$VCAM_BOOT_DELAY"
    done
}

usage() {
    sed -n '6,18p' "$SELF" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

[ $# -ge 1 ] || usage
case $OWNER in
'' | *[!0-9]*) die "VCAM_OWNER must be a PID" ;;
esac
sub=$1
shift
case $sub in
sweep) cmd_sweep ;;
_inner) cmd_inner "$@" ;;
_remove_ns)
    [ $# -eq 1 ] || usage
    remove_ns "$1"
    ;;
_claim)
    [ $# -eq 1 ] || usage
    ID=$1
    mkdir -p "$ROOT/subnets"
    claim_subnet
    echo "$SUBNET"
    ;;
up | info | start | status | stop | addr | deladdr | pc | dev | stub | down | freeze | thaw)
    [ $# -ge 1 ] || usage
    case $sub in
    up) cmd_up "$@" ;;
    info) load_camera "$1" && cat "$WS/info" ;;
    start | status | stop | addr | deladdr | stub | down) "cmd_$sub" "$@" ;;
    freeze) cmd_freeze "$1" STOP ;;
    thaw) cmd_freeze "$1" CONT ;;
    pc | dev)
        load_camera "$1"
        shift
        [ $# -ge 1 ] || usage
        ns=$DEVNS
        [ "$sub" = pc ] && ns=$PC_OF_CAMERA
        exec ip netns exec "$ns" "$@"
        ;;
    esac
    ;;
*) usage ;;
esac
