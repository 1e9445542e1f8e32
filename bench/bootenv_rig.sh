#!/bin/sh
# What the boot journal costs an upload: one A/B camera of the rig
# (scripts/abcam.sh) on a link shaped to 100 Mbit/s takes the same package
# (kernel and root file system images and 32 MiB of file data) with
# [bootenv] and both slots, and without them (images written in place),
# alternately, RUNS times each. Timed from the connect to the
# acknowledgement by upload_client; before each run the camera has booted
# and, with [bootenv], proven its firmware good. Usable alone:
#
#   (usage: printed by the argument check below)
#
# Prints key=value lines (medians, best, every run, the ratio of the
# medians); progress goes to stderr.
set -eu

[ $# -ge 1 ] || {
    cat >&2 <<'EOF'
  bench/bootenv_rig.sh BIN_DIR [RUNS]
EOF
    exit 2
}
BIN=$(cd "$1" && pwd)
RUNS=${2:-5}
REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/rig_lib.sh
. "$REPO/scripts/rig_lib.sh"
VCAM_SCRIPT=$REPO/scripts/vcam.sh
ABCAM=$REPO/scripts/abcam.sh
CAM=jbench
PORT=$RIG_PORT
export VCAM_OWNER=$$ VCAM_QDBOOT="$BIN/qdboot" VCAM_LINEBUF=0
CAM_JOB=

vcam() { sh "$VCAM_SCRIPT" "$@"; }
say() { echo "bootenv_rig: $*" >&2; }

stop_camera() {
    [ -n "$CAM_JOB" ] || return 0
    vcam stop "$CAM" >/dev/null 2>&1 || true
    wait "$CAM_JOB" 2>/dev/null || true
    CAM_JOB=
}

cleanup() {
    stop_camera
    vcam down "$CAM" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The boot hook and reboot loop; no power-cut layer, which would cost
# every flash write a copy.
start_camera() { # CONFIG
    grep '^VCAM_' "$WS/ab/vcam.env" >"$WS/ab/bench.env"
    (
        while IFS= read -r line; do
            export "${line?}"
        done <"$WS/ab/bench.env"
        exec sh "$VCAM_SCRIPT" start "$CAM" "$1"
    ) >/dev/null 2>&1 &
    CAM_JOB=$!
}

listening() {
    rig_listening "$(sed -n 's/^devns=//p' "$WS/info")" "$PORT"
}

# Serving, and with [bootenv] no trial left to prove.
settled() {
    listening || return 1
    state=$(sh "$ABCAM" state "$WS" | sed -n 's/^qd_state=//p')
    [ "$state" != trial ] && [ "$state" != writing ]
}

wait_settled() {
    n=0
    until settled; do
        n=$((n + 1))
        [ $n -le 600 ] || {
            say "the camera did not settle; rig log:"
            tail -5 "$WS/log/rig.log" >&2
            return 1
        }
        sleep 0.1
    done
}

boots() { wc -l 2>/dev/null <"$WS/ab/boots" || echo 0; }

# One upload; the camera then reboots and, with [bootenv], proves the new
# firmware, so that the next run starts from a settled camera.
one_run() { # CONFIG -> seconds
    start_camera "$1"
    wait_settled
    before=$(boots)
    out=$(vcam pc "$CAM" "$BIN/upload_client" "$ADDR" "$PORT" "$PKG" 30) || {
        say "upload failed; daemon log:"
        tail -5 "$WS/log/daemon.log" >&2
        return 1
    }
    n=0
    while [ "$(boots)" -le "$before" ] && [ $n -lt 300 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    wait_settled
    stop_camera
    echo "${out#upload_seconds=}"
}

median() { tr ' ' '\n' | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
best() { tr ' ' '\n' | sort -n | head -1; }

WS=$(vcam up "$CAM" | sed -n 's/^workspace=//p')
ADDR=$(vcam info "$CAM" | sed -n 's/^devaddr=//p')
sh "$ABCAM" setup "$WS" "$BIN"
sh "$ABCAM" package "$WS/pkg" 2 ok "$BIN"
# The same images and 32 MiB more data, so that the link, not the fixed
# costs, sets the time.
head -c $((32 << 20)) /dev/urandom >"$WS/pkg/data.bin"
printf '[item6]\ntype=file\nsource=data.bin\ndest=/tmp/bench-data.bin\n' >>"$WS/pkg/manifest.ini"
"$BIN/qdupk" pack "$WS/pkg/manifest.ini" -o "$WS/pkg/pkg.upg" --force >/dev/null
rm -f "$WS/pkg/data.bin"
PKG=$WS/pkg/pkg.upg
vcam pc "$CAM" tc qdisc replace dev pc0 root tbf rate 100mbit burst 64kb latency 50ms

journal=
inplace=
i=0
while [ $i -lt "$RUNS" ]; do
    t=$(one_run "$WS/work/qdboot.cfg")
    journal="$journal $t"
    u=$(one_run "$WS/work/qdboot-inplace.cfg")
    inplace="$inplace $u"
    i=$((i + 1))
    say "run $i: with [bootenv] $t s, in place $u s"
done
jm=$(echo $journal | median)
im=$(echo $inplace | median)
echo "bootenv_upload_median=$jm"
echo "bootenv_upload_best=$(echo $journal | best)"
echo "inplace_upload_median=$im"
echo "inplace_upload_best=$(echo $inplace | best)"
echo "bootenv_upload_runs=$(echo $journal)"
echo "inplace_upload_runs=$(echo $inplace)"
echo "bootenv_over_inplace=$(echo "$jm $im" | awk '{printf "%.3f", $1 / $2}')"
