#!/bin/bash
# The power-cut campaign: virtual cameras with A/B flash (scripts/abcam.sh)
# take a reference package (kernel and root file system images, a script, a
# file, 1 KiB of MCU firmware) with `qdupk upload`, and lose their power
# during it, again and again. After each cut the camera boots until it runs
# the old firmware or the new one proven good; anything else is a brick.
#
#   (usage: printed by usage() below)
# Cut points, chosen from a first run without a cut: every store to the boot
# environment and every erase-block write of the first and last partition
# written (the power-cut layer, tools/powercut, stops the camera inside that
# very write, half of the block written), and uniformly random times from
# the start of the upload to its acknowledgement. A cut ends every process of
# the camera's namespaces, then rolls each flash file back to its last
# flush with its block in flight half-written. The camera then boots
# through the boot loader stand-in and the shipped boot script up to the
# try limit plus one.
#
# Prints one line per cut and a summary (cuts, old good, new good, new good
# after recovery, bricks, minutes); each brick's cut point and a copy of its flash, environment
# and logs stay in OUT/bricks. Exit status 0 when no camera was bricked
# (with --no-bootenv: when the campaign ran), 1 when one was, 2 when the
# campaign could not run, 77 when this machine cannot host the rig.
set -u

REPO=$(cd "$(dirname "$0")/.." && pwd)
VCAM="$REPO/scripts/vcam.sh"
ABCAM="$REPO/scripts/abcam.sh"
# shellcheck source=scripts/rig_lib.sh
. "$REPO/scripts/rig_lib.sh"
BUILD=$REPO/build
CUTS=500
CAMERAS=3
BOOTENV=1
RECOVERY=0
SEED=$(date +%s)
OUT=
PORT=$RIG_PORT
TRIES_MAX=3
SETTLE_TIMEOUT=90
export VCAM_OWNER=$$

WORKERS=()

usage() {
    cat >&2 <<'EOF'
  scripts/powercut.sh [--cuts N] [--cameras K] [--no-bootenv | --recovery]
                      [--seed S] [--build-dir DIR] [--out DIR]

  --cuts N        power cuts in all (default 500)
  --cameras K     cameras cutting in parallel (default 3)
  --no-bootenv    the same against in-place single-slot writes, without
                  the boot journal: shows what a cut does there
  --recovery      cameras with one slot and a recovery system: a camera
                  may also come back in recovery, where it must say so in
                  its status and take the same package again, which then
                  ends good
  --seed S        seed of the random cut times (default: the time)
  --build-dir DIR the build whose programs run (default: build)
  --out DIR       where results, logs and bricks go (default: a fresh
                  directory under /tmp/qdvc)

EOF
    exit 2
}

cannot_run() {
    echo "powercut: $*" >&2
    exit 2
}

unsupported() {
    echo "powercut: $*; skipped" >&2
    exit 77
}

vcam() { sh "$VCAM" "$@"; }

parse_args() {
    while [ $# -gt 0 ]; do
        case $1 in
        --cuts | --cameras | --seed | --build-dir | --out)
            [ $# -ge 2 ] || usage
            case $1 in
            --cuts) CUTS=$2 ;;
            --cameras) CAMERAS=$2 ;;
            --seed) SEED=$2 ;;
            --build-dir) BUILD=$(cd "$2" && pwd) || usage ;;
            --out) OUT=$2 ;;
            esac
            shift
            ;;
        --no-bootenv) BOOTENV=0 ;;
        --recovery) RECOVERY=1 ;;
        *) usage ;;
        esac
        shift
    done
    case $CUTS$CAMERAS$SEED in *[!0-9]*) usage ;; esac
    if [ "$CUTS" -lt 1 ] || [ "$CAMERAS" -lt 1 ]; then usage; fi
    [ $BOOTENV = 1 ] || [ $RECOVERY = 0 ] || usage
    BIN=$BUILD/bin
}

preflight() {
    local why
    ! why=$(rig_host_problem ip nsenter unshare setpriv pivot_root mkimage mkenvimage \
        fw_printenv fw_setenv) || unsupported "$why"
    for b in qdboot qdupk mcu-sim qd-flashsim qd-powercut; do
        [ -x "$BIN/$b" ] || cannot_run "no $BIN/$b (build first)"
    done
    [ -f "$BUILD/lib/libqdpowercut.so" ] || cannot_run "no $BUILD/lib/libqdpowercut.so"
    # Without the boot script, and a daemon that keeps the boot journal,
    # there is nothing to campaign against.
    for f in scripts/bootloader-shim.sh doc/qdboot-boot.cmd; do
        [ -f "$REPO/$f" ] || unsupported "no $f in this tree"
    done
    [ $BOOTENV = 0 ] || grep -q qd_state "$BIN/qdboot" ||
        unsupported "$BIN/qdboot keeps no boot journal"
    [ $RECOVERY = 0 ] || grep -qa -- --recovery "$BIN/qdboot" ||
        unsupported "$BIN/qdboot has no recovery system (--recovery)"
}

# ---- one camera ------------------------------------------------------------

cam_up() { # NAME -> sets WS, DEVADDR
    local info
    info=$(vcam up "$1") || return 1
    WS=$(echo "$info" | sed -n 's/^workspace=//p')
    DEVADDR=$(echo "$info" | sed -n 's/^devaddr=//p')
    DEVNS=$(echo "$info" | sed -n 's/^devns=//p')
    if [ $RECOVERY = 1 ]; then
        sh "$ABCAM" setup "$WS" "$BIN" --recovery
    else
        sh "$ABCAM" setup "$WS" "$BIN"
    fi
    CONFIG=$WS/work/qdboot.cfg
    [ $BOOTENV = 1 ] || CONFIG=$WS/work/qdboot-inplace.cfg
}

# Starts the camera (its boot loop) in the background; extra KEY=value
# entries go into its environment.
cam_start() { # NAME [KEY=value...]
    local name=$1
    shift
    (
        while IFS= read -r line; do
            export "${line?}"
        done <"$WS/ab/vcam.env"
        for kv in "$@"; do
            export "${kv?}"
        done
        export VCAM_QDBOOT="$BIN/qdboot" VCAM_MCU_SIM="$BIN/mcu-sim"
        exec sh "$VCAM" start "$name" "$CONFIG"
    ) >/dev/null 2>&1 &
    CAM_PID=$!
}

cam_stop() { # NAME
    vcam stop "$1" >/dev/null 2>&1
    [ -z "${CAM_PID:-}" ] || wait "$CAM_PID" 2>/dev/null
    CAM_PID=
}

# The daemon of this worker's camera takes uploads (in recovery too).
serving() {
    rig_listening "$DEVNS" "$PORT"
}

env_value() { # KEY (from the last "abcam.sh state")
    echo "$STATE" | sed -n "s/^$1=//p"
}

# What the camera runs once it has settled: "old", "new", "recovery" (its
# recovery system serves), "brick" or "waiting". A camera whose boot loader
# found nothing to boot has ended.
camera_outcome() { # NAME
    if [ -f "$WS/daemon.status" ]; then
        echo "brick nothing-booted($(cat "$WS/daemon.status"))"
        return
    fi
    # Serving first: the boot that started this daemon is recorded by then.
    local up=0 boots last version slot state target
    ! serving || up=1
    STATE=$(sh "$ABCAM" state "$WS")
    boots=$(env_value boots)
    last=$(env_value lastboot)
    if [ "$boots" -gt $((TRIES_MAX + 1)) ]; then
        echo "brick no-daemon-after-$boots-boots"
        return
    fi
    [ $up = 1 ] || {
        echo waiting
        return
    }
    version=$(echo "$last" | sed -n 's/.*version=\([0-9]*\).*/\1/p')
    slot=$(echo "$last" | sed -n 's/.*slot=\([ab]\|recovery\)\( .*\)\{0,1\}$/\1/p')
    state=$(env_value qd_state)
    target=$(env_value qd_slot)
    case $BOOTENV:$state in
    1:trial | 1:writing)
        echo waiting
        return
        ;;
    esac
    if [ $RECOVERY = 1 ] && [ "$slot" = recovery ]; then
        echo recovery
    elif [ $BOOTENV = 1 ] && [ "$slot" != "${target:-a}" ]; then
        echo "brick runs-slot-$slot-not-the-proven-one"
    elif [ "$version" = 1 ]; then
        echo old
    elif [ "$version" = 2 ] && { [ $BOOTENV = 0 ] || [ "$state" = good ]; }; then
        echo new
    else
        echo "brick runs-version-$version-in-state-$state"
    fi
}

wait_outcome() { # NAME -> prints the outcome
    local outcome deadline=$((SECONDS + SETTLE_TIMEOUT))
    while :; do
        outcome=$(camera_outcome "$1")
        [ "$outcome" = waiting ] || break
        if [ $SECONDS -ge $deadline ]; then
            outcome="brick not-settled-in-${SETTLE_TIMEOUT}s"
            break
        fi
        sleep 0.1
    done
    echo "$outcome"
}

upload_start() { # NAME OUTFILE
    vcam pc "$1" "$BIN/qdupk" upload "$DEVADDR:$PORT" "$PKG" --timeout 60 >"$2" 2>&1 &
    UPLOAD_PID=$!
}

upload_end() {
    [ -n "${UPLOAD_PID:-}" ] || return 0
    kill "$UPLOAD_PID" 2>/dev/null
    wait "$UPLOAD_PID" 2>/dev/null
    UPLOAD_PID=
}

# The upgrade without a cut: its event log, and the time from the start of
# the upload to its acknowledgement, once everything is installed (ms).
dry_run() {
    local name=dry t0 outcome
    cam_up $name || cannot_run "camera $name did not come up"
    cam_start $name
    wait_serving || cannot_run "the camera did not serve: $(tail -n 5 "$WS/log/rig.log")"
    t0=$(date +%s%N)
    upload_start $name "$OUT/dry-upload.out"
    wait "$UPLOAD_PID"
    DRY_MS=$((($(date +%s%N) - t0) / 1000000))
    UPLOAD_PID=
    wait_rebooted $name
    outcome=$(wait_outcome $name)
    cp "$WS/powercut/events" "$OUT/dry-events"
    cp "$WS/log/daemon.log" "$OUT/dry-daemon.log"
    cam_stop $name
    vcam down $name >/dev/null 2>&1
    [ "$outcome" = new ] || cannot_run "the upgrade without a cut ended '$outcome' (see $OUT/dry-*)"
    echo "upgrade without a cut: upload and install ${DRY_MS} ms," \
        "$(grep -c ' write ' "$OUT/dry-events") flash writes"
}

wait_serving() {
    local deadline=$((SECONDS + 30))
    until serving; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# After the acknowledgement the camera reboots; the outcome is judged on
# the boot after it (the boot record holds BOOTS boots, default 2, by then).
wait_rebooted() { # NAME [BOOTS]
    local deadline=$((SECONDS + 30))
    while [ "$(wc -l 2>/dev/null <"$WS/ab/boots" || echo 0)" -lt "${2:-2}" ]; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# ---- the cut points ----------------------------------------------------------

# "event N" for every environment store and every write of the first and
# last partition written; "time MS" for the rest, uniform over the run.
plan_cuts() {
    local events=$OUT/dry-events
    awk '$2 == "write" && $3 !~ /^env/ { if (!first) first = $3; last = $3 }
        END { print first; print last }' "$events" >"$OUT/partitions"
    local first last
    first=$(sed -n 1p "$OUT/partitions")
    last=$(sed -n 2p "$OUT/partitions")
    awk -v a="$first" -v b="$last" '$2 == "write" && ($3 ~ /^env/ || $3 == a || $3 == b) {
        print "event " $1 " " $3 }' "$events" >"$OUT/event-cuts"
    local n_events n_time
    n_events=$(wc -l <"$OUT/event-cuts")
    if [ "$n_events" -gt $((CUTS / 2)) ]; then
        # A short campaign takes every store and an even spread of blocks.
        awk -v k=$((CUTS / 2)) -v n="$n_events" '$3 ~ /^env/ { print; next }
            { rest[++m] = $0 } END { for (i = 1; i <= k && m > 0; i++)
                print rest[int((i - 1) * m / k) + 1] }' "$OUT/event-cuts" |
            head -n $((CUTS / 2)) >"$OUT/cuts"
    else
        cp "$OUT/event-cuts" "$OUT/cuts"
    fi
    n_time=$((CUTS - $(wc -l <"$OUT/cuts")))
    awk -v n="$n_time" -v t="$DRY_MS" -v s="$SEED" 'BEGIN { srand(s)
        for (i = 0; i < n; i++) printf "time %d\n", rand() * t }' >>"$OUT/cuts"
    echo "cut points: $(grep -c '^event' "$OUT/cuts") inside flash writes" \
        "(environment, $first, $last), $n_time at random times (seed $SEED)"
}

# ---- one cut -----------------------------------------------------------------

# The power is off once no process is left in the camera's namespaces.
all_ended() {
    local deadline=$((SECONDS + 30))
    while [ -n "$(ip netns pids "$DEVNS" 2>/dev/null)" ]; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

cut_now() { # NAME
    # The camera's first process, so that the cut falls when it is due;
    # the kernel takes its PID namespace along.
    [ -z "${CAM_PID:-}" ] || kill -KILL "$CAM_PID" 2>/dev/null
    cam_stop "$1"
    upload_end
    all_ended || return 1
    CUT_MARK=$(cat "$WS/powercut/cut" 2>/dev/null)
    "$BIN/qd-powercut" rollback "$WS/flash" "$WS/powercut" || return 1
    rm -f "$WS/ab/boots" "$WS/daemon.status"
}

# Waits for the layer's cut mark; false when the run ended without one.
wait_cut_mark() { # NAME
    local deadline=$((SECONDS + 60))
    until [ -s "$WS/powercut/cut" ]; do
        [ $SECONDS -lt $deadline ] || return 1
        [ "$(camera_outcome "$1")" != new ] || return 1
        sleep 0.05
    done
}

# A camera in recovery must say so in its status and take the same package
# again, which must then end good on the new firmware: prints "recovered"
# or the brick it is.
repush() { # NAME
    vcam pc "$1" "$BIN/qdupk" status "$DEVADDR:$PORT" --json >"$WS/status.json" 2>&1
    grep -q '"recovery": true' "$WS/status.json" || {
        echo "brick recovery-without-status($(tr -d '\n' <"$WS/status.json" | head -c 200))"
        return
    }
    # The boots after the cut are counted afresh from here.
    : >"$WS/ab/boots"
    vcam pc "$1" "$BIN/qdupk" upload "$DEVADDR:$PORT" "$PKG" --timeout 60 >"$WS/repush.out" 2>&1 || {
        echo "brick recovery-refused-the-package($(tail -n 1 "$WS/repush.out"))"
        return
    }
    wait_rebooted "$1" 1
    local outcome
    outcome=$(wait_outcome "$1")
    case $outcome in
    new) echo recovered ;;
    brick*) echo "$outcome-after-repush" ;;
    *) echo "brick repush-ended-$outcome" ;;
    esac
}

keep_brick() { # IDX POINT
    local dir=$OUT/bricks/$1
    mkdir -p "$dir"
    echo "$2" >"$dir/cut"
    cp -a "$WS/flash" "$WS/ab" "$WS/log" "$WS/powercut" "$dir/" 2>/dev/null
    sh "$ABCAM" state "$WS" >"$dir/state" 2>&1
}

run_cut() { # NAME IDX POINT...
    local name=$1 idx=$2 kind=$3 at=$4 outcome
    sh "$ABCAM" reset "$WS" "$BIN" || return 1
    if [ "$kind" = event ]; then
        cam_start "$name" "QD_POWERCUT_AT=$at"
    else
        cam_start "$name"
    fi
    wait_serving || {
        echo "$idx $kind $at error the camera did not serve before the cut"
        cam_stop "$name"
        return 0
    }
    upload_start "$name" "$WS/upload.out"
    if [ "$kind" = event ]; then
        if ! wait_cut_mark "$name"; then
            echo "$idx $kind $at nocut"
            cam_stop "$name"
            upload_end
            return 0
        fi
    else
        sleep "$(awk -v ms="$at" 'BEGIN { printf "%.3f", ms / 1000 }')"
    fi
    cut_now "$name" || return 1
    cam_start "$name"
    outcome=$(wait_outcome "$name")
    [ "$outcome" != recovery ] || outcome=$(repush "$name")
    [ "${outcome%% *}" != brick ] || keep_brick "$idx" "$kind $at $CUT_MARK"
    echo "$idx $kind $at $outcome $(sh "$ABCAM" state "$WS" | tr '\n' ' ')"
    cam_stop "$name"
}

worker() { # K
    local name=c$1 i=0 line
    trap 'cam_stop "$name"; upload_end; vcam down "$name" >/dev/null 2>&1; exit 0' TERM
    cam_up "$name" || {
        echo "camera $name did not come up" >&2
        return 1
    }
    while IFS= read -r line; do
        if [ $((i % CAMERAS)) = "$1" ]; then
            # shellcheck disable=SC2086
            run_cut "$name" "$i" $line | tee -a "$OUT/results"
        fi
        i=$((i + 1))
    done <"$OUT/cuts"
    vcam down "$name" >/dev/null 2>&1
}

teardown() {
    local rc=$?
    trap - EXIT INT TERM
    for pid in "${WORKERS[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${WORKERS[@]}"; do
        wait "$pid" 2>/dev/null
    done
    cam_stop dry
    upload_end
    vcam down dry >/dev/null 2>&1
    for k in $(seq 0 $((CAMERAS - 1))); do
        vcam down "c$k" >/dev/null 2>&1
    done
    exit $rc
}

campaign_name() {
    if [ $RECOVERY = 1 ]; then
        echo "one slot and a recovery system (--recovery)"
    elif [ $BOOTENV = 1 ]; then
        echo "A/B slots with the boot journal"
    else
        echo "in-place single-slot writes (--no-bootenv)"
    fi
}

summary() {
    local minutes old new recovered bricks nocut errors total
    minutes=$(awk -v s="$1" -v e="$(date +%s)" 'BEGIN { printf "%.1f", (e - s) / 60 }')
    old=$(awk '$4 == "old"' "$OUT/results" | wc -l)
    new=$(awk '$4 == "new"' "$OUT/results" | wc -l)
    recovered=$(awk '$4 == "recovered"' "$OUT/results" | wc -l)
    bricks=$(awk '$4 == "brick"' "$OUT/results" | wc -l)
    nocut=$(awk '$4 == "nocut"' "$OUT/results" | wc -l)
    errors=$(awk '$4 == "error"' "$OUT/results" | wc -l)
    total=$((old + new + recovered + bricks))
    echo
    echo "campaign: $(campaign_name)"
    echo "cuts=$total old_good=$old new_good=$new" \
        "$([ $RECOVERY = 0 ] || echo "new_good_after_recovery=$recovered ")bricks=$bricks" \
        "minutes=$minutes cameras=$CAMERAS seed=$SEED"
    [ "$nocut" = 0 ] || echo "event cuts not reached: $nocut"
    [ "$errors" = 0 ] || echo "cuts that could not run: $errors"
    [ "$bricks" = 0 ] || echo "bricks (cut point and state): $OUT/bricks"
    [ $BOOTENV = 0 ] || [ "$bricks" = 0 ]
}

main() {
    parse_args "$@"
    preflight
    [ -n "$OUT" ] || OUT=$(mktemp -d /tmp/qdvc-powercut.XXXXXX)
    mkdir -p "$OUT"
    OUT=$(cd "$OUT" && pwd)
    : >"$OUT/results"
    trap teardown EXIT
    trap 'exit 130' INT TERM
    local start=$SECONDS began
    began=$(date +%s)
    sh "$ABCAM" package "$OUT/pkg" 2 ok "$BIN" || cannot_run "could not pack the package"
    PKG=$OUT/pkg/pkg.upg
    dry_run
    plan_cuts
    for k in $(seq 0 $((CAMERAS - 1))); do
        worker "$k" &
        WORKERS+=($!)
    done
    for pid in "${WORKERS[@]}"; do
        wait "$pid"
    done
    WORKERS=()
    echo "results: $OUT/results ($((SECONDS - start)) s)"
    summary "$began"
}

main "$@"
