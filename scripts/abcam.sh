#!/bin/sh
# A/B flash for a virtual camera (scripts/vcam.sh): partitions as plain files
# in its workspace, a redundant boot environment, the shipped boot script
# run by the boot-loader stand-in before every start of the daemon, and the
# rig's firmware images. With --recovery the camera has one slot and a
# recovery system instead of slot b.
#
#   abcam.sh setup WS BIN [--recovery]     flash, environment, the daemon's
#                                          configurations and WS/ab/vcam.env;
#                                          old firmware (version 1) in slot a
#   abcam.sh flash WS [--unhealthy] [--recovery]
#                                          flash and environment only, as
#                                          setup leaves them; --unhealthy:
#                                          the camera's new firmware fails
#                                          its health check (any slot but a)
#   abcam.sh sections WS                   the daemon configuration's
#                                          [kernel], [rootfs] and [bootenv]
#                                          sections for WS (its [system]
#                                          names qd-flashsim as both flash
#                                          tools)
#   abcam.sh reset WS BIN                  flash back as setup left it
#   abcam.sh boot WS                       one boot (the rig's boot hook)
#   abcam.sh health WS                     the firmware's health command
#   abcam.sh state WS                      environment, last boot, slots
#   abcam.sh kernel VERSION OUT            a kernel image (mkimage)
#   abcam.sh rootfs VERSION BEHAVIOUR OUT  a root file system image
#   abcam.sh package DIR VERSION BEHAVIOUR BIN   a reference package,
#                                          DIR/pkg.upg, packed with qdupk
#
# Flash lives in WS/flash: kernel_a, kernel_b, rootfs_a, rootfs_b, env0,
# env1 (both environment copies full size, mkenvimage -r). A camera with
# one slot has recovery (a kernel image with its initramfs, written here
# once and never by an upload) instead of kernel_b and rootfs_b, the board's
# qd_boot_recovery in its environment and no szMtdNameB in WS/work/qdboot.cfg;
# when the boot loader chose recovery, the boot hook has the daemon started
# with --recovery (vcam.sh VCAM_BOOT_ARGS) and the camera's own qdboot.cfg,
# as the recovery system's init does. WS/ab holds
# fw_env.config, the kernel command line the boot writes (cmdline), one line
# per boot (boots), the pristine flash and, on an unhealthy camera, the mark
# "unhealthy" and, on a camera with one slot, the mark "recovery".
# WS/work/qdboot.cfg gives the daemon both slots and [bootenv];
# WS/work/qdboot-inplace.cfg is a camera without them: images written in
# place over slot a. BIN is the build's bin directory (qd-flashsim,
# qd-powercut, qdupk).
#
# A root file system image is the rig's own format: a first line
# "qdrigfs version=V behaviour=B length=L", filler up to L bytes, then the
# SHA-256 (hex) of those L bytes. BEHAVIOUR: ok; health-fail (the daemon
# starts, the health command fails); no-daemon (the system never starts
# the daemon). A torn image never starts the daemon either. The boot hook
# returns 75 when the daemon does not start, so the rig's watchdog reboots
# the camera (vcam.sh VCAM_BOOT_HOOK), and 3 when nothing booted.
set -eu

REPO=$(cd "$(dirname "$0")/.." && pwd)
SELF=$REPO/scripts/abcam.sh
# shellcheck source=scripts/rig_lib.sh
. "$REPO/scripts/rig_lib.sh"
KERNEL_SIZE=262144
ROOTFS_SIZE=524288
ENV_SIZE=0x4000
WATCHDOG=75
BRICK=3

die() {
    echo "abcam: $*" >&2
    exit 1
}

# A legacy U-Boot kernel image of three erase blocks and a bit.
make_kernel() { # VERSION OUT
    payload=$2.payload
    {
        echo "rig kernel version $1"
        head -c 200000 /dev/urandom
    } >"$payload"
    mkimage -A arm64 -O linux -T kernel -C none -a 0 -e 0 -n "rig kernel $1" \
        -d "$payload" "$2" >/dev/null
    rm -f "$payload"
}

make_rootfs() { # VERSION BEHAVIOUR OUT
    case $2 in
    ok | health-fail | no-daemon) ;;
    *) die "unknown behaviour '$2'" ;;
    esac
    length=300000
    body=$3.body
    head=$(printf 'qdrigfs version=%s behaviour=%s length=%s' "$1" "$2" "$length")
    {
        echo "$head"
        head -c $((length - ${#head} - 1)) /dev/urandom
    } >"$body"
    {
        cat "$body"
        sha256sum "$body" | cut -c1-64 | tr -d '\n'
    } >"$3"
    rm -f "$body"
}

# "version behaviour" of a slot's root file system, or "torn".
rootfs_facts() { # PARTITION
    head=$(head -c 128 "$1" | head -n 1 | tr -cd 'a-z0-9=. -')
    case $head in
    "qdrigfs version="*" behaviour="*" length="*) ;;
    *)
        echo torn
        return
        ;;
    esac
    version=$(echo "$head" | sed 's/.*version=\([^ ]*\).*/\1/')
    behaviour=$(echo "$head" | sed 's/.*behaviour=\([^ ]*\).*/\1/')
    length=$(echo "$head" | sed 's/.*length=\([0-9]*\).*/\1/')
    want=$(tail -c +$((length + 1)) "$1" | head -c 64)
    have=$(head -c "$length" "$1" | sha256sum | cut -c1-64)
    if [ "$want" = "$have" ]; then
        echo "$version $behaviour"
    else
        echo torn
    fi
}

partition() { # SIZE PATH: an erased partition
    head -c "$1" /dev/zero | tr '\000' '\377' >"$2"
}

# Copies an image into a partition of the given size (0xFF behind it).
flash_image() { # IMAGE SIZE PATH
    partition "$2" "$3"
    dd if="$1" of="$3" conv=notrunc status=none
}

one_slot() { # WS: true on a camera with one slot and a recovery system
    [ -e "$1/ab/recovery" ]
}

write_env() { # WS
    {
        printf 'qd_slot=a\nqd_bootargs=console=ttyS0 rootwait\nqd_boot_a=qdrig_boot a\n'
        if one_slot "$1"; then
            echo "qd_boot_recovery=qdrig_boot recovery"
        else
            echo "qd_boot_b=qdrig_boot b"
        fi
    } >"$1/ab/env.txt"
    for copy in env0 env1; do
        mkenvimage -r -s "$ENV_SIZE" -o "$1/flash/$copy" "$1/ab/env.txt"
    done
    printf '%s 0x0 %s\n%s 0x0 %s\n' "$1/flash/env0" "$ENV_SIZE" "$1/flash/env1" "$ENV_SIZE" \
        >"$1/ab/fw_env.config"
}

write_flash() { # WS
    mkdir -p "$1/flash" "$1/ab/images"
    make_kernel 1 "$1/ab/images/kernel-1.img"
    make_rootfs 1 ok "$1/ab/images/rootfs-1.img"
    flash_image "$1/ab/images/kernel-1.img" $KERNEL_SIZE "$1/flash/kernel_a"
    flash_image "$1/ab/images/rootfs-1.img" $ROOTFS_SIZE "$1/flash/rootfs_a"
    if one_slot "$1"; then
        make_kernel recovery "$1/ab/images/recovery.img"
        flash_image "$1/ab/images/recovery.img" $KERNEL_SIZE "$1/flash/recovery"
    else
        partition $KERNEL_SIZE "$1/flash/kernel_b"
        partition $ROOTFS_SIZE "$1/flash/rootfs_b"
    fi
    write_env "$1"
}

partition_section() { # NAME WS SIZE SLOTS
    echo "[$1]"
    echo "szMtdName=$2/flash/$1_a"
    [ "$4" = 1 ] || echo "szMtdNameB=$2/flash/$1_b"
    printf 'bAllMtd=1\nnPos=0\nnSize=%s\n' "$3"
}

flash_sections() { # WS BOOTENV
    slots=1
    [ "$2" = 0 ] || one_slot "$1" || slots=2
    partition_section kernel "$1" $KERNEL_SIZE $slots
    partition_section rootfs "$1" $ROOTFS_SIZE $slots
    [ "$2" = 1 ] || return 0
    printf '[bootenv]\nconfig=%s/ab/fw_env.config\ncmdline=%s/ab/cmdline\n' "$1" "$1"
    printf 'health=sh %s health %s\nhealth_timeout=30\n' "$SELF" "$1"
}

write_config() { # WS BIN BOOTENV OUT
    {
        rig_config_system abcam /mnt/mcu ipcam_main "$1/tmp" "$2/qd-flashsim"
        flash_sections "$1" "$3"
    } >"$4"
}

# What vcam.sh start needs in its environment for this camera: the boot
# hook, the reboot loop and the power-cut layer over the flash.
write_vcam_env() { # WS BIN
    cat >"$1/ab/vcam.env" <<EOF
VCAM_BOOT_DELAY=0.2
VCAM_BOOT_HOOK=sh $SELF boot $1
LD_PRELOAD=$(cd "$2/../lib" && pwd)/libqdpowercut.so
QD_POWERCUT_DIR=$1/flash
QD_POWERCUT_STATE=$1/powercut
EOF
}

cmd_flash() { # WS [--unhealthy] [--recovery]
    ws=$1
    shift
    rm -rf "$ws/flash" "$ws/ab"
    mkdir -p "$ws/ab"
    for opt in "$@"; do
        case $opt in
        --unhealthy | --recovery) : >"$ws/ab/${opt#--}" ;;
        *) die "flash: unknown option '$opt'" ;;
        esac
    done
    write_flash "$ws"
}

cmd_setup() { # WS BIN [--recovery]
    case ${3-} in
    '' | --recovery) ;;
    *) die "setup: unknown option '$3'" ;;
    esac
    rm -rf "$1/powercut"
    cmd_flash "$1" ${3+"$3"}
    write_config "$1" "$2" 1 "$1/work/qdboot.cfg"
    write_config "$1" "$2" 0 "$1/work/qdboot-inplace.cfg"
    write_vcam_env "$1" "$2"
    cp -a "$1/flash" "$1/ab/pristine"
    "$2/qd-powercut" snapshot "$1/flash" "$1/powercut"
}

cmd_reset() { # WS BIN
    rm -rf "$1/flash"
    cp -a "$1/ab/pristine" "$1/flash"
    rm -f "$1/ab/cmdline" "$1/ab/boots" "$1/ab/boot.out"
    rm -rf "$1/powercut"
    "$2/qd-powercut" snapshot "$1/flash" "$1/powercut"
}

record_boot() { # WS LINE
    n=$(($(wc -l 2>/dev/null <"$1/ab/boots" || echo 0) + 1))
    echo "boot=$n $2" >>"$1/ab/boots"
}

# The stand-in's options for the camera's kernels besides slot a's.
other_kernels() { # WS
    if one_slot "$1"; then
        echo "--recovery $1/flash/recovery"
    else
        echo "--kernel b=$1/flash/kernel_b"
    fi
}

# The recovery system: its initramfs starts the daemon in recovery.
boot_recovery() { # WS
    record_boot "$1" "slot=recovery"
    [ -z "${VCAM_BOOT_ARGS-}" ] || echo --recovery >"$VCAM_BOOT_ARGS"
    exit 0
}

# One boot: the boot loader runs the shipped script over the environment,
# then the system either starts the daemon or never gets that far.
cmd_boot() { # WS
    ws=$1
    set +e
    # shellcheck disable=SC2046 # option and path, no spaces in a workspace
    bash "$REPO/scripts/bootloader-shim.sh" --env-config "$ws/ab/fw_env.config" \
        --kernel "a=$ws/flash/kernel_a" $(other_kernels "$ws") \
        "$REPO/doc/qdboot-boot.cmd" >"$ws/ab/boot.out" 2>&1
    rc=$?
    set -e
    slot=$(sed -n 's/^booted \([ab]\|recovery\)$/\1/p' "$ws/ab/boot.out")
    if [ $rc != 0 ] || [ -z "$slot" ]; then
        record_boot "$ws" "slot=none status=$rc"
        exit $BRICK
    fi
    sed -n 's/^bootargs=//p' "$ws/ab/boot.out" >"$ws/ab/cmdline"
    [ "$slot" != recovery ] || boot_recovery "$ws"
    facts=$(rootfs_facts "$ws/flash/rootfs_$slot")
    # shellcheck disable=SC2086 # "version behaviour" into two words
    set -- $facts
    if [ "$1" = torn ]; then
        record_boot "$ws" "slot=$slot rootfs=torn"
        exit $WATCHDOG
    fi
    record_boot "$ws" "slot=$slot version=$1 behaviour=$2"
    [ "$2" != no-daemon ] || exit $WATCHDOG
    exit 0
}

running_slot() { # WS
    sed -n 's/.*qd\.slot=\([ab]\).*/\1/p' "$1/ab/cmdline" 2>/dev/null
}

cmd_health() { # WS
    slot=$(running_slot "$1")
    [ -n "$slot" ] || exit 1
    # An unhealthy camera's firmware fails wherever it is new: setup put the
    # old firmware in slot a, so every upgrade it tries runs another slot.
    [ ! -e "$1/ab/unhealthy" ] || [ "$slot" = a ] || exit 1
    facts=$(rootfs_facts "$1/flash/rootfs_$slot")
    [ "${facts#* }" = ok ]
}

# libubootenv locks one file under /var/lock for every environment of the
# machine; the rig reads its cameras' environments under a lock of its own,
# so that a stuck reader elsewhere never holds it up.
read_env() { # CONFIG
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --mount --propagation private sh -c \
        'mount -t tmpfs -o size=16k qd-lock "$(readlink -f /var/lock)" && fw_printenv -c "$1"' \
        sh "$1"
}

cmd_state() { # WS
    read_env "$1/ab/fw_env.config" 2>&1 | grep '^qd_' || true
    echo "lastboot=$(tail -n 1 "$1/ab/boots" 2>/dev/null)"
    echo "boots=$(wc -l 2>/dev/null <"$1/ab/boots" || echo 0)"
    for s in a b; do
        [ -e "$1/flash/rootfs_$s" ] || continue
        echo "rootfs_$s=$(rootfs_facts "$1/flash/rootfs_$s" | tr ' ' '/')"
    done
}

cmd_package() { # DIR VERSION BEHAVIOUR BIN
    mkdir -p "$1"
    make_kernel "$2" "$1/kernel.img"
    make_rootfs "$2" "$3" "$1/rootfs.img"
    head -c 1024 /dev/urandom >"$1/mcu.bin"
    printf '#!/bin/sh\necho "script of version %s ran"\n' "$2" >"$1/post-install.sh"
    printf 'version=%s\n' "$2" >"$1/release.txt"
    cat >"$1/manifest.ini" <<EOF
[package]
name=Rig firmware
version=$2.0.0
devid=abcam
[item1]
type=kernel
source=kernel.img
reboot=1
[item2]
type=rootfs
source=rootfs.img
[item3]
type=script
source=post-install.sh
[item4]
type=file
source=release.txt
dest=/tmp/release.txt
[item5]
type=mcu
source=mcu.bin
EOF
    "$4/qdupk" pack "$1/manifest.ini" -o "$1/pkg.upg" --force >/dev/null
}

[ $# -ge 1 ] || die "usage: see the head of $0"
sub=$1
shift
case $sub in
setup) [ $# -ge 2 ] && [ $# -le 3 ] && cmd_setup "$@" ;;
flash) [ $# -ge 1 ] && [ $# -le 3 ] && cmd_flash "$@" ;;
sections) [ $# -eq 1 ] && flash_sections "$1" 1 ;;
reset) [ $# -eq 2 ] && cmd_reset "$@" ;;
boot) [ $# -eq 1 ] && cmd_boot "$@" ;;
health) [ $# -eq 1 ] && cmd_health "$@" ;;
state) [ $# -eq 1 ] && cmd_state "$@" ;;
kernel) [ $# -eq 2 ] && make_kernel "$@" ;;
rootfs) [ $# -eq 3 ] && make_rootfs "$@" ;;
package) [ $# -eq 4 ] && cmd_package "$@" ;;
*) die "unknown command '$sub'" ;;
esac
