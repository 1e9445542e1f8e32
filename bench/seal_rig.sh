#!/bin/sh
# The cost of sealed packages on the virtual-camera rig: the same package
# uploaded sealed and signed (to a daemon with key1 configured) and
# unsealed (to one without keys), alternating, timed from the connect to
# the acknowledgement; optionally also unsealed to a BASELINE daemon built
# without the receive-loop digest. First on a link shaped to 100 Mbit/s
# (tbf on the PC's sending veth) with 32 MiB, then unlimited with 256 MiB.
# Then the daemon's VmHWM and RssAnon after a sealed upload.
#
#   (usage: printed by the argument check below)
#
# The key is generated for the run in SCRATCH_DIR and removed with it. The
# daemon runs only inside the rig (scripts/vcam.sh). Prints key=value lines.
set -eu

[ $# -ge 2 ] || {
    cat >&2 <<'EOF'
  bench/seal_rig.sh BIN_DIR SCRATCH_DIR [RUNS] [BASELINE_QDBOOT]
EOF
    exit 2
}
BIN=$(cd "$1" && pwd)
SCRATCH=$(cd "$2" && pwd)/seal-bench
RUNS=${3:-3}
BASELINE=${4:-}
REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/rig_lib.sh
. "$REPO/scripts/rig_lib.sh"
VCAM_SCRIPT=$REPO/scripts/vcam.sh
CAM=sealb
PORT=$RIG_PORT
# The scratch directory (the daemon's tmpdir) is shared with the camera.
export VCAM_OWNER=$$ VCAM_LINEBUF=0 VCAM_SHARE="$SCRATCH"
DAEMON_JOB=

vcam() { sh "$VCAM_SCRIPT" "$@"; }
say() { echo "seal_rig: $*" >&2; }
info() { sed -n "s/^$1=//p" "$INFO"; }

stop_daemon() {
    [ -n "$DAEMON_JOB" ] || return 0
    vcam stop "$CAM" >/dev/null 2>&1 || true
    wait "$DAEMON_JOB" 2>/dev/null || true
    DAEMON_JOB=
}
cleanup() {
    stop_daemon
    vcam down "$CAM" >/dev/null 2>&1 || true
    rm -rf "$SCRATCH"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

start_daemon() { # DAEMON CONFIG
    VCAM_QDBOOT=$1 sh "$VCAM_SCRIPT" start "$CAM" "$2" &
    DAEMON_JOB=$!
    n=0
    until rig_listening "$(info devns)" "$PORT"; do
        n=$((n + 1))
        [ $n -le 100 ] && kill -0 "$DAEMON_JOB" 2>/dev/null || {
            tail -5 "$(info daemonlog)" >&2
            return 1
        }
        sleep 0.1
    done
}

write_config() { # NAME [KEY] -> path
    cfg=$(info workdir)/$1.cfg
    rig_config_system b "" "" "$SCRATCH/tmp" >"$cfg"
    [ -z "${2:-}" ] || printf '[seal]\nkey1=%s\n' "$2" >>"$cfg"
    echo "$cfg"
}

# A package of SIZE MiB, one file item without destination (removed after
# the install, so nothing stays behind), plain and sealed.
make_packages() { # SIZE_MIB
    head -c "$(($1 << 20))" /dev/urandom >"$SCRATCH/data.bin"
    printf '[package]\nname=bench\nversion=1\ndevid=b\n[item1]\ntype=file\nsource=%s\n' \
        "$SCRATCH/data.bin" >"$SCRATCH/manifest.ini"
    # qdupk seals every package (unsigned without a key): without those last
    # 128 bytes the package is unsealed.
    "$BIN/qdupk" pack "$SCRATCH/manifest.ini" -o "$SCRATCH/packed.upg" --force >/dev/null
    head -c -128 "$SCRATCH/packed.upg" >"$SCRATCH/plain.upg"
    rm -f "$SCRATCH/data.bin" "$SCRATCH/packed.upg"
    digest=$(sha256sum "$SCRATCH/plain.upg" | cut -c1-64)
    # magic, size 128, algorithm 1, counter 1 (little-endian), key id, digest
    printf '%s' "51445345414c3031 80000000 01000000 0100000000000000 ${KEYID}${digest}" |
        tr -d ' ' | xxd -r -p >"$SCRATCH/head.bin"
    openssl pkeyutl -sign -inkey "$SCRATCH/bench.key" -rawin -in "$SCRATCH/head.bin" \
        -out "$SCRATCH/sig.bin"
    cat "$SCRATCH/plain.upg" "$SCRATCH/head.bin" "$SCRATCH/sig.bin" >"$SCRATCH/sealed.upg"
}

reboots() { grep -c '^reboot' "$(info calls)" || true; }

# Starts DAEMON with CONFIG, uploads PACKAGE once, prints its seconds.
timed_upload() { # DAEMON CONFIG PACKAGE
    start_daemon "$1" "$2"
    before=$(reboots)
    sync
    out=$(vcam pc "$CAM" "$BIN/upload_client" "$(info devaddr)" "$PORT" "$3" 10) || {
        say "upload failed; the daemon's log:"
        tail -5 "$(info daemonlog)" >&2
        return 1
    }
    n=0
    while [ "$(reboots)" -le "$before" ] && [ $n -lt 100 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    stop_daemon
    echo "${out#upload_seconds=}"
}

median() { tr ' ' '\n' | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

compare() { # LABEL SIZE_MIB
    make_packages "$2"
    sealed= plain= base=
    i=0
    while [ $i -lt "$RUNS" ]; do
        sealed="$sealed $(timed_upload "$BIN/qdboot" "$KEYED" "$SCRATCH/sealed.upg")"
        plain="$plain $(timed_upload "$BIN/qdboot" "$OPEN" "$SCRATCH/plain.upg")"
        [ -z "$BASELINE" ] || base="$base $(timed_upload "$BASELINE" "$OPEN" "$SCRATCH/plain.upg")"
        i=$((i + 1))
        say "$1 run $i: sealed ${sealed##* } s, unsealed ${plain##* } s${base:+, baseline ${base##* } s}"
    done
    s=$(echo $sealed | median)
    p=$(echo $plain | median)
    echo "seal_${1}_sealed_median=$s"
    echo "seal_${1}_unsealed_median=$p"
    echo "seal_${1}_ratio=$(echo "$s $p" | awk '{printf "%.3f", $1 / $2}')"
    [ -z "$BASELINE" ] || {
        b=$(echo $base | median)
        echo "seal_${1}_baseline_median=$b"
        echo "seal_${1}_sealed_vs_baseline=$(echo "$s $b" | awk '{printf "%.3f", $1 / $2}')"
    }
    echo "seal_${1}_runs=sealed:$(echo $sealed) unsealed:$(echo $plain)${base:+ baseline:$(echo $base)}"
}

memory() {
    start_daemon "$BIN/qdboot" "$KEYED"
    pid=$(rig_qdboot_pid "$DAEMON_JOB")
    before=$(reboots)
    vcam pc "$CAM" "$BIN/upload_client" "$(info devaddr)" "$PORT" "$SCRATCH/sealed.upg" 10 >/dev/null
    for field in VmHWM VmRSS RssAnon; do
        echo "seal_memory_$(echo $field | tr 'A-Z' 'a-z')_kib=$(sed -n "s/^$field:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$pid/status")"
    done
    stop_daemon
}

mkdir -p "$SCRATCH/tmp"
vcam up "$CAM" >/dev/null
INFO=$(vcam info "$CAM" | sed -n 's/^workspace=//p')/info
[ "$(PATH="$(info stubs):$PATH" command -v reboot)" = "$(info stubs)/reboot" ] || {
    say "reboot does not resolve to the rig's stand-in; not starting"
    exit 1
}
openssl genpkey -algorithm ed25519 -out "$SCRATCH/bench.key" 2>/dev/null
PUB=$(openssl pkey -in "$SCRATCH/bench.key" -pubout -outform DER | tail -c 32 | xxd -p -c 64)
KEYID=$(printf '%s' "$PUB" | xxd -r -p | sha256sum | cut -c1-16)
KEYED=$(write_config keyed "$PUB")
OPEN=$(write_config open)

vcam pc "$CAM" tc qdisc replace dev pc0 root tbf rate 100mbit burst 64kb latency 50ms
compare tbf100 32
vcam pc "$CAM" tc qdisc del dev pc0 root
compare unlimited 256
memory
