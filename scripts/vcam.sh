#!/bin/sh
# Virtual camera for the rig: qdboot in network, PID and mount namespaces
# and a root of its own. help() below is its manual (vcam.sh --help).
set -eu

# The commands (usage) and the whole manual (--help): what a camera can touch,
# what the rig needs, the environment.
commands() {
    cat <<'EOF'
  vcam.sh up NAME [--no-addr]   create the camera, print its facts
  vcam.sh info NAME             print them again (key=value lines)
  vcam.sh start NAME [ARGS...]  run qdboot ARGS in the camera (foreground;
                                run it with '&' and keep the shell alive)
  vcam.sh status NAME           exit status of the last run, or "running"
  vcam.sh stop NAME             end the daemon by its recorded PID
  vcam.sh addr|deladdr NAME     give eth0 its address / take it away
  vcam.sh pc|dev NAME CMD...    run CMD in the PC / device namespace (the
                                network only: CMD sees the host's files)
  vcam.sh stub NAME TOOL...     add more logging stand-ins (flash tools)
  vcam.sh down NAME             tear everything down (idempotent)
  vcam.sh freeze|thaw NAME      stop the daemon where it is / let it go on
  vcam.sh sweep                 remove what runs that died left behind
  vcam.sh --help                all of this header: what a camera can
                                touch, what the rig needs, the environment
EOF
}

usage() {
    commands >&2
    exit 2
}

help() {
    cat <<'EOF'
Virtual camera: a device network namespace whose veth end is called eth0,
a PC namespace on the other end, stand-in tools first in PATH, and qdboot
started in its own PID and mount namespaces and a root of its own, so
that nothing it does can reach the host's network, processes, files or
reboot.

EOF
    commands
    cat <<'EOF'

What the camera's daemon, and every script a package runs there, can
touch: its own network namespace (eth0, lo); the host's / seen through an
overlay whose changes land in the camera's upper layer (info: upper=), so
a package item with dest=/etc/x changes only the camera's view; fresh
/tmp, /run, /var/tmp and /dev/shm; its own /proc; /sys read-only; a /dev
of its own with null, zero, full, random, urandom, tty, ptmx and the
host's pseudo-terminals, no disks; its workspace (info: workspace=),
shared with the host read-write at the same path; the repository and the
daemon's and the simulator's folders, read-only. File systems mounted
below the host's / are not in the overlay. Stand-ins take the place of
reboot, sync, killall and the flash tools, guards that of the real reboot
and systemctl. It cannot reach the host's other files, processes, network
or service manager. Package scripts are trusted test content all the
same: they run as root and keep root's capabilities (mount, mknod, raw
sockets), so a hostile one could escape; upload only packages you would
run on the host.

Needs root, ip (iproute2), nsenter, unshare, setpriv and pivot_root
(util-linux), overlayfs, and / to be a mount point for "start" (not a
chroot; everything else works there).

Cameras belong to an owner process, VCAM_OWNER (default: the caller); names
include its PID so parallel runs never meet, and a camera whose owner is
gone is swept by the next "up". VCAM_QDBOOT names the daemon binary
(default build/bin/qdboot), VCAM_ROOT the workspace root (/tmp/qdvc).
For "start" only, in the daemon's own mount namespace: VCAM_TMPFS_SIZE
(e.g. 64k) puts a tmpfs of that size on the camera's tmp directory, and
VCAM_READONLY lists directories made read-only there, VCAM_DEST names a
directory over which the camera's own dest directory is mounted (so one
package can name one destination for many cameras), VCAM_BOOT_DELAY makes
the reboot stand-in end the daemon and the rig start it again after that
many seconds, VCAM_BOOT_HOOK (with VCAM_BOOT_DELAY) names a shell command
run in the camera before each start of the daemon, as the boot that comes
first (0: start the daemon; 75: it never starts, and the camera's watchdog
reboots it after the delay; any other status ends the camera with it; the
words it writes to the file named by VCAM_BOOT_ARGS go before the
daemon's arguments for that start, as a boot loader's choice would),
VCAM_MCU_SIM names the MCU loader simulator to run on a
pseudo-terminal that the daemon reaches as /mnt/mcu, and VCAM_SHARE lists
more host directories (absolute paths) shared read-write at their paths.

On a virtual LAN (scripts/vlan.sh) "up" is given VCAM_LAN_NS, the bridge's
namespace, VCAM_LAN_ADDR, the camera's address, and VCAM_LAN_PORT, the
name of its bridge port; the camera then has no PC namespace of its own.
EOF
    exit 0
}

# A test of the sweep itself names its own namespaces under another prefix,
# so the sweeps of rig tests running beside it never take them for leftovers.
PREFIX=${VCAM_PREFIX:-qdvc}
SELF=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/rig_lib.sh
. "$REPO/scripts/rig_lib.sh"
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

# True when the run that owns camera ID has ended.
owner_gone() {
    pid=${1%%-*}
    now=$(rig_start_time "$pid") || return 0
    recorded=
    if [ -r "$ROOT/cams/$1/owner" ]; then
        recorded=$(cut -d' ' -f2 "$ROOT/cams/$1/owner")
    fi
    [ -n "$recorded" ] && [ "$recorded" != "$now" ]
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
            rig_remove_ns "$ns"
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

ns_sysctl() {
    rig_in_ns "$1" sh -c "echo $3 > /proc/sys/net/ipv4/conf/$2/rp_filter"
}

make_links() {
    for ns in "$DEVNS" "$PCNS"; do
        ip netns add "$ns"
        rig_in_ns "$ns" ip link set lo up
        ns_sysctl "$ns" all 0
        ns_sysctl "$ns" default 0
    done
    rig_in_ns "$DEVNS" ip link add eth0 type veth peer name pc0 netns "$PCNS"
    ns_sysctl "$DEVNS" eth0 0
    ns_sysctl "$PCNS" pc0 0
    rig_in_ns "$PCNS" ip addr add "$SUBNET.2/24" dev pc0
    rig_in_ns "$PCNS" ip link set pc0 up
    rig_in_ns "$PCNS" ip route add 224.0.0.0/4 dev pc0
    rig_in_ns "$DEVNS" ip link set eth0 up
}

# A camera on a virtual LAN: its eth0's peer is a port of the LAN's bridge.
make_lan_links() {
    ip netns add "$DEVNS"
    rig_in_ns "$DEVNS" ip link set lo up
    ns_sysctl "$DEVNS" all 0
    ns_sysctl "$DEVNS" default 0
    rig_in_ns "$DEVNS" ip link add eth0 type veth peer name "$VCAM_LAN_PORT" netns "$VCAM_LAN_NS"
    ns_sysctl "$DEVNS" eth0 0
    rig_in_ns "$VCAM_LAN_NS" ip link set "$VCAM_LAN_PORT" master br0 up
    rig_in_ns "$DEVNS" ip link set eth0 up
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
upper=$WS/layers/upper
EOF
}

cmd_up() {
    set_camera "$1"
    with_addr=1
    [ "${2:-}" = "--no-addr" ] && with_addr=0
    rig_start_time "$OWNER" >/dev/null || die "owner $OWNER is not running"
    cmd_sweep
    # Same owner and name can only be leftovers of this very run.
    cmd_down "$NAME" 2>/dev/null
    trap 'cmd_down "$NAME"' EXIT
    mkdir -p "$WS/work" "$WS/tmp" "$WS/log" "$WS/bin" "$WS/files" "$WS/dest" "$WS/mcu"
    echo "$OWNER $(rig_start_time "$OWNER")" >"$WS/owner"
    if [ -n "${VCAM_LAN_NS:-}" ]; then
        DEVIP=$VCAM_LAN_ADDR
        SUBNET=${DEVIP%.*}
        PCNS=${VCAM_LAN_NS%-b}-p
        make_lan_links
    else
        SUBNET=$(rig_claim_subnet "$ROOT" "$ID")
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
    rig_remove_ns "$DEVNS"
    rig_remove_ns "$PCNS"
    if [ -f "$WS/info" ]; then
        rig_release_subnet "$ROOT" "$(sed -n 's/^subnet=//p' "$WS/info")" "$ID"
    fi
    rm -rf "$WS"
}

add_address() {
    rig_in_ns "$DEVNS" ip addr replace "$DEVIP/24" dev eth0
}

cmd_addr() {
    load_camera "$1"
    add_address
}

cmd_deladdr() {
    load_camera "$1"
    rig_in_ns "$DEVNS" ip -4 addr flush dev eth0
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

absolute() {
    (cd "$(dirname "$1")" && echo "$(pwd)/$(basename "$1")")
}

cmd_start() {
    load_camera "$1"
    shift
    if why=$(rig_root_problem); then die "$why"; fi
    qdboot=${VCAM_QDBOOT:-$REPO/build/bin/qdboot}
    [ -x "$qdboot" ] || die "no daemon binary at $qdboot"
    ! daemon_pid >/dev/null || die "camera $NAME already runs a daemon"
    resolved=$(PATH="$WS/bin:$PATH" command -v reboot)
    [ "$resolved" = "$WS/bin/reboot" ] || die "reboot resolves to $resolved, not the stand-in"
    rm -f "$WS/daemon.status"
    : >"$WS/log/daemon.log"
    : >"$WS/log/calls.log"
    echo $$ >"$WS/daemon.pid"
    VCAM_QDBOOT=$(absolute "$qdboot")
    export VCAM_QDBOOT
    if [ -n "${VCAM_MCU_SIM:-}" ]; then
        VCAM_MCU_SIM=$(absolute "$VCAM_MCU_SIM")
    fi
    exec >>"$WS/log/rig.log" 2>&1 </dev/null
    # Exec all the way down keeps this PID: it becomes the unshare process,
    # which dies with its parent and takes the whole PID namespace along.
    exec setpriv --pdeathsig KILL nsenter --net="/run/netns/$DEVNS" \
        unshare --pid --fork --kill-child --mount --propagation private \
        /bin/sh "$SELF" _inner "$WS" "$@"
}

# The camera's own root, made at $ROOTFS and entered with pivot_root: an
# overlay of the host's / whose changes land in the workspace's upper
# layer, fresh /tmp, /run (with the /run/lock a booted system has),
# /var/tmp and /dev/shm, its own /proc, /sys read-only (its network devices
# only), a /dev of its own. Only the
# workspace (and what VCAM_SHARE names) is shared with the host read-write,
# at its own path; the programs the rig runs are there read-only. File systems mounted below the
# host's / are not part of the overlay.
make_root() {
    mkdir -p "$LAYERS/upper" "$LAYERS/work" "$ROOTFS" &&
        mount -t overlay vcam-root \
            -o "lowerdir=/,upperdir=$LAYERS/upper,workdir=$LAYERS/work" "$ROOTFS" &&
        mount -t proc vcam-proc "$ROOTFS/proc" &&
        mount -t sysfs -o ro vcam-sys "$ROOTFS/sys" &&
        make_dev "$ROOTFS/dev" &&
        mount -t tmpfs -o mode=1777 vcam-tmp "$ROOTFS/tmp" &&
        mount -t tmpfs -o mode=1777 vcam-tmp "$ROOTFS/var/tmp" &&
        mount -t tmpfs -o mode=755 vcam-run "$ROOTFS/run" &&
        mkdir -m 1777 "$ROOTFS/run/lock" &&
        bind_programs &&
        bind_into_root "$WS" &&
        # Nothing in the camera reaches the layers beneath its own root.
        mount -t tmpfs -o ro,size=4k,mode=755 vcam-layers "$ROOTFS$LAYERS" &&
        bind_shared &&
        bind_own_netns
}

# Host directories the caller shares with the camera (VCAM_SHARE): a
# benchmark's scratch space on the file system it measures, say.
bind_shared() {
    for d in ${VCAM_SHARE:-}; do
        case $d in
        /*) [ -d "$d" ] || return 1 ;;
        *) return 1 ;;
        esac
        bind_into_root "$d" || return 1
    done
}

# A /dev of its own with the few devices a daemon and a shell use, and the
# host's pseudo-terminals (the MCU line may be one the host opened): no disk
# or memory device, so an item with dest=/dev/sda lands in this tmpfs. A
# bound /dev/ptmx finds no "pts" beside it; the link does.
make_dev() {
    mount -t tmpfs -o mode=755,size=64k vcam-dev "$1" || return 1
    for n in null zero full random urandom tty; do
        : >"$1/$n" && mount --bind "/dev/$n" "$1/$n" || return 1
    done
    mkdir "$1/pts" "$1/shm" &&
        mount --bind /dev/pts "$1/pts" &&
        ln -s pts/ptmx "$1/ptmx" &&
        mount -t tmpfs -o mode=1777 vcam-shm "$1/shm" &&
        ln -s /proc/self/fd "$1/fd" &&
        ln -s /proc/self/fd/0 "$1/stdin" &&
        ln -s /proc/self/fd/1 "$1/stdout" &&
        ln -s /proc/self/fd/2 "$1/stderr"
}

# A host directory at the same path in the camera's root.
bind_into_root() {
    mkdir -p "$ROOTFS$1" && mount --bind "$1" "$ROOTFS$1"
}

bind_read_only() {
    bind_into_root "$1" && mount -o remount,bind,ro "$ROOTFS$1"
}

# The repository (scripts, stand-ins), the daemon and the MCU simulator:
# wherever they live, even on a file system the overlay leaves out.
bind_programs() {
    bind_read_only "$REPO" || return 1
    for p in "$VCAM_QDBOOT" ${VCAM_MCU_SIM:-}; do
        d=${p%/*}
        case $d in
        "$REPO" | "$REPO"/*) continue ;;
        esac
        bind_read_only "$d" || return 1
    done
}

# Its own network namespace under its name, so that "ip netns identify"
# works there; no other namespace of the host is in sight.
bind_own_netns() {
    mkdir -p "$ROOTFS/run/netns" &&
        : >"$ROOTFS/run/netns/$DEVNS" &&
        mount --bind "/run/netns/$DEVNS" "$ROOTFS/run/netns/$DEVNS"
}

enter_root() {
    make_root || return 1
    cd "$ROOTFS" || return 1
    mkdir -p run/vcam-host &&
        pivot_root . run/vcam-host &&
        umount -l /run/vcam-host &&
        rmdir /run/vcam-host
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
}

# File systems a test asked for; the host and the test itself still see
# the directories as they were.
mount_requested() {
    if [ -n "${VCAM_DEST:-}" ]; then
        mkdir -p "$VCAM_DEST" && mount --bind "$WS/dest" "$VCAM_DEST" || return 1
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
    LAYERS=$WS/layers
    ROOTFS=$LAYERS/root
    if ! enter_root; then
        echo "vcam: could not make the camera's own root (overlayfs of / in $LAYERS," \
            "shared directories: ${VCAM_SHARE:-none}); not starting" >&2
        exit 94
    fi
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
        export VCAM_BOOT_ARGS="$WS/boot.args"
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
        rm -f "$WS/rebooting" "$VCAM_BOOT_ARGS"
        if [ -n "${VCAM_BOOT_HOOK:-}" ]; then
            sh -c "$VCAM_BOOT_HOOK"
            hook=$?
            if [ $hook = 75 ]; then
                echo "vcam: the system did not start the daemon; the watchdog reboots" >&2
                sleep "$VCAM_BOOT_DELAY"
                continue
            fi
            [ $hook = 0 ] || return $hook
        fi
        # shellcheck disable=SC2046 # the hook's words, split as written
        $linebuf "$VCAM_QDBOOT" $(cat "$VCAM_BOOT_ARGS" 2>/dev/null) "$@" \
            >>"$WS/log/daemon.log" 2>&1 </dev/null &
        echo $! >"$WS/qdboot.pid"
        wait $!
        rc=$?
        [ -e "$WS/rebooting" ] || return $rc
        echo "vcam: rebooting; the daemon starts again in $VCAM_BOOT_DELAY s" >&2
        # The time a camera takes to boot, not a wait for anything.
        sleep "$VCAM_BOOT_DELAY"
    done
}

[ $# -ge 1 ] || usage
case $1 in -h | --help) help ;; esac
case $OWNER in
'' | *[!0-9]*) die "VCAM_OWNER must be a PID" ;;
esac
sub=$1
shift
case $sub in
sweep) cmd_sweep ;;
_inner) cmd_inner "$@" ;;
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
        exec nsenter --net="/run/netns/$ns" "$@"
        ;;
    esac
    ;;
*) usage ;;
esac
