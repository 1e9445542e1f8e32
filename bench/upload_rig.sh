#!/bin/sh
# The whole upload on the virtual-camera rig, next to its plain-tools floor,
# and the daemon's peak memory. Called by bench/run.sh; usable alone:
#
#   (usage: printed by the argument check below)
#
# QD_BENCH_SKIP_UNLIMITED=1, QD_BENCH_SKIP_LIMITED=1 and
# QD_BENCH_SKIP_MEMORY=1 leave out parts.
#
# DATA is the item data (256 MiB in run.sh); DISK_DIR and TMPFS_DIR are
# empty scratch directories on a disk file system and on tmpfs. The daemon
# runs only inside the rig (scripts/vcam.sh: its own network, PID and mount
# namespaces, stand-ins for reboot and sync). For each of tmpfs and disk,
# RUNS uploads of a package with DATA as one file item are timed from the
# connect to the acknowledgement, alternating with the floor: the same
# bytes through TCP into a file in the same namespaces, then md5sum, then
# cp (and, reported apart, with the SHA-256 of the package's seal). The
# same for 32 MiB of DATA on a link shaped to 100 Mbit/s (tmpfs). Then the
# daemon's VmHWM after a 16 MiB and after a 1 GiB upload, each in a fresh
# daemon. Prints key=value lines; progress goes to stderr.
set -eu

[ $# -ge 4 ] || {
    cat >&2 <<'EOF'
  bench/upload_rig.sh BIN_DIR DATA DISK_DIR TMPFS_DIR [RUNS]
EOF
    exit 2
}
BIN=$(cd "$1" && pwd)
DATA=$2
DISK=$3
TMPFS=$4
RUNS=${5:-3}
REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/rig_lib.sh
. "$REPO/scripts/rig_lib.sh"
VCAM_SCRIPT=$REPO/scripts/vcam.sh
CAM=perf
PORT=$RIG_PORT
FLOOR_PORT=8081

# Every camera this script makes belongs to it and goes when it ends.
# The scratch directories are shared with the camera, whose root of its own
# would otherwise give it a fresh tmpfs at /var/tmp and /dev/shm.
export VCAM_OWNER=$$ VCAM_QDBOOT="$BIN/qdboot" VCAM_LINEBUF=0 VCAM_SHARE="$DISK $TMPFS"
DAEMON_JOB=
FLOOR_JOB=

vcam() { sh "$VCAM_SCRIPT" "$@"; }
say() { echo "upload_rig: $*" >&2; }

cleanup() {
    if [ -n "$FLOOR_JOB" ]; then
        kill "$FLOOR_JOB" 2>/dev/null || true
        wait "$FLOOR_JOB" 2>/dev/null || true
    fi
    stop_daemon
    vcam down "$CAM" >/dev/null 2>&1 || true
    rm -rf "$DISK/rig" "$TMPFS/rig"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

info() { sed -n "s/^$1=//p" "$INFO"; }

# The package's item goes to DIR/rig/dest/item.bin; no DEST, no destination.
make_package() { # DATA OUT [DEST]
    dir=$(dirname "$2")
    {
        printf '[package]\nname=bench\nversion=1\ndevid=perf\n[item1]\ntype=file\n'
        printf 'source=%s\n' "$1"
        [ -z "${3:-}" ] || printf 'dest=%s\n' "$3"
    } >"$dir/manifest.ini"
    "$BIN/qdupk" pack "$dir/manifest.ini" -o "$2" --force >/dev/null
}

write_config() { # TMPDIR -> config path
    cfg=$(info workdir)/qdboot-$(basename "$(dirname "$1")").cfg
    rig_config_system perf "" "" "$1" >"$cfg"
    echo "$cfg"
}

start_daemon() { # CONFIG
    sh "$VCAM_SCRIPT" start "$CAM" "$1" &
    DAEMON_JOB=$!
    n=0
    until rig_listening "$(info devns)" "$PORT"; do
        n=$((n + 1))
        if [ $n -gt 100 ] || ! kill -0 "$DAEMON_JOB" 2>/dev/null; then
            say "the daemon did not start listening; its log:"
            tail -5 "$(info daemonlog)" >&2
            return 1
        fi
        sleep 0.1
    done
}

stop_daemon() {
    [ -n "$DAEMON_JOB" ] || return 0
    vcam stop "$CAM" >/dev/null 2>&1 || true
    wait "$DAEMON_JOB" 2>/dev/null || true
    DAEMON_JOB=
}

reboots() { grep -c '^reboot' "$(info calls)" || true; }

# Processor seconds the process has used (its own, not its children's).
cpu_seconds() { # PID
    sed 's/.*) //' "/proc/$1/stat" | awk -v hz="$(getconf CLK_TCK)" '{printf "%.2f", ($12 + $13) / hz}'
}

# One upload to the daemon; prints its seconds. The daemon acknowledges
# before it runs the sync and reboot stand-ins; the next run waits for them.
daemon_run() { # PACKAGE
    before=$(reboots)
    out=$(vcam pc "$CAM" "$BIN/upload_client" "$(info devaddr)" "$PORT" "$1" 10) || {
        say "upload to the daemon failed; its log:"
        tail -5 "$(info daemonlog)" >&2
        return 1
    }
    n=0
    while [ "$(reboots)" -le "$before" ] && [ $n -lt 100 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    echo "${out#upload_seconds=}"
}

# qdupk seals every package; the floor then also takes the seal's SHA-256.
floor_run() { # PACKAGE FILE DEST
    sh "$VCAM_SCRIPT" dev "$CAM" "$BIN/floor_receiver" "$FLOOR_PORT" "$2" "$3" sealed >"$2.out" &
    FLOOR_JOB=$!
    out=$(vcam pc "$CAM" "$BIN/upload_client" "$(info devaddr)" "$FLOOR_PORT" "$1" 10) || {
        say "upload to the floor receiver failed"
        return 1
    }
    wait "$FLOOR_JOB" || return 1
    FLOOR_JOB=
    # shellcheck disable=SC2046
    echo "${out#upload_seconds=}" $(sed 's/^[^=]*=//' "$2.out")
    rm -f "$2" "$2.out"
}

median() { tr ' ' '\n' | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
best() { tr ' ' '\n' | sort -n | head -1; }

# Alternating daemon and floor runs on one file system, with ITEM_DATA
# (default DATA) as the package's one item.
time_uploads() { # LABEL DIR [ITEM_DATA]
    label=$1
    base=$2/rig
    mkdir -p "$base/tmp" "$base/dest" "$DISK/rig/pkg-$label"
    pkg=$DISK/rig/pkg-$label/package.upg
    make_package "${3:-$DATA}" "$pkg" "$base/dest/item.bin"
    start_daemon "$(write_config "$base/tmp")"
    pid=$(rig_qdboot_pid "$DAEMON_JOB") || {
        say "no qdboot process found"
        return 1
    }
    daemon_times=
    daemon_cpu=
    floor_times=
    sealed_times=
    floor_cpu=
    sealed_cpu=
    steps=
    i=0
    while [ $i -lt "$RUNS" ]; do
        rm -f "$base/dest/item.bin"
        sync
        cpu_before=$(cpu_seconds "$pid")
        took=$(daemon_run "$pkg") || return 1
        daemon_times="$daemon_times $took"
        daemon_cpu="$daemon_cpu $(echo "$cpu_before $(cpu_seconds "$pid")" | awk '{print $2 - $1}')"
        rm -f "$base/dest/item.bin"
        sync
        took=$(floor_run "$pkg" "$base/tmp/floor.upg" "$base/dest/item.bin") || return 1
        set -- $took
        # The floor without the SHA-256 step (TCP, md5sum, cp), and with it.
        floor_times="$floor_times $(echo "$1 $6" | awk '{printf "%.4f", $1 - $2}')"
        sealed_times="$sealed_times $1"
        steps="$steps|$2 $6 $3 $4"
        floor_cpu="$floor_cpu $(echo "$5 $7" | awk '{printf "%.4f", $1 - $2}')"
        sealed_cpu="$sealed_cpu $5"
        i=$((i + 1))
        say "$label run $i: daemon ${daemon_times##* } s, floor ${floor_times##* } s (sealed $1 s)"
    done
    stop_daemon
    rm -rf "$base" "$DISK/rig/pkg-$label"
    echo "upload_${label}_daemon_median=$(echo $daemon_times | median)"
    echo "upload_${label}_daemon_best=$(echo $daemon_times | best)"
    echo "upload_${label}_floor_median=$(echo $floor_times | median)"
    echo "upload_${label}_floor_best=$(echo $floor_times | best)"
    echo "upload_${label}_floor_sealed_median=$(echo $sealed_times | median)"
    echo "upload_${label}_floor_sealed_best=$(echo $sealed_times | best)"
    echo "upload_${label}_daemon_cpu_median=$(echo $daemon_cpu | median)"
    echo "upload_${label}_floor_cpu_median=$(echo $floor_cpu | median)"
    echo "upload_${label}_floor_sealed_cpu_median=$(echo $sealed_cpu | median)"
    echo "upload_${label}_floor_steps=${steps#|}"
    echo "upload_${label}_daemon_runs=$(echo $daemon_times)"
    echo "upload_${label}_floor_runs=$(echo $floor_times)"
    echo "upload_${label}_floor_sealed_runs=$(echo $sealed_times)"
}

vm_field() { sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$1/status"; }

# VmHWM of a fresh daemon after one upload of SIZE MiB (disk temporary
# directory; the item has no destination, so nothing stays behind).
peak_memory() { # SIZE_MIB
    base=$DISK/rig/mem
    mkdir -p "$base/tmp"
    head -c "$(($1 << 20))" /dev/urandom >"$base/data.bin"
    make_package "$base/data.bin" "$base/package.upg"
    rm -f "$base/data.bin"
    start_daemon "$(write_config "$base/tmp")"
    pid=$(rig_qdboot_pid "$DAEMON_JOB") || {
        say "no qdboot process found"
        return 1
    }
    idle=$(vm_field "$pid" VmHWM)
    daemon_run "$base/package.upg" >/dev/null
    echo "memory_${1}mib_idle_hwm_kib=$idle"
    echo "memory_${1}mib_hwm_kib=$(vm_field "$pid" VmHWM)"
    echo "memory_${1}mib_rss_kib=$(vm_field "$pid" VmRSS)"
    echo "memory_${1}mib_rss_anon_kib=$(vm_field "$pid" RssAnon)"
    stop_daemon
    rm -rf "$base"
}

vcam up "$CAM" >/dev/null
INFO=$(vcam info "$CAM" | sed -n 's/^workspace=//p')/info
[ "$(PATH="$(info stubs):$PATH" command -v reboot)" = "$(info stubs)/reboot" ] || {
    say "reboot does not resolve to the rig's stand-in; not starting"
    exit 1
}
mkdir -p "$DISK/rig" "$TMPFS/rig"
say "camera up: device $(info devaddr) in $(info devns)"
# A camera's 100 Mbit/s port: what the PC sends is shaped on its veth, and
# the daemon and the floor both wait for the link. The first 32 MiB of DATA.
limited_link() {
    mkdir -p "$DISK/rig"
    head -c $((32 << 20)) "$DATA" >"$DISK/rig/data32.bin"
    vcam pc "$CAM" tc qdisc replace dev pc0 root tbf rate 100mbit burst 64kb latency 50ms
    time_uploads tbf100 "$TMPFS" "$DISK/rig/data32.bin"
    vcam pc "$CAM" tc qdisc del dev pc0 root
    rm -f "$DISK/rig/data32.bin"
}

[ -n "${QD_BENCH_SKIP_UNLIMITED:-}" ] || time_uploads tmpfs "$TMPFS"
[ -n "${QD_BENCH_SKIP_UNLIMITED:-}" ] || time_uploads disk "$DISK"
[ -n "${QD_BENCH_SKIP_LIMITED:-}" ] || limited_link
[ -n "${QD_BENCH_SKIP_MEMORY:-}" ] || peak_memory 16
[ -n "${QD_BENCH_SKIP_MEMORY:-}" ] || peak_memory 1024
