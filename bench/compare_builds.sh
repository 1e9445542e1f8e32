#!/bin/sh
# Two builds side by side, interleaved run by run on one machine (as root):
#
#   (usage: printed by the argument check below)
#
# For each of RUNS rounds, in alternating order: the whole upload of a
# 256 MiB file item to each build's daemon on the rig, connect to
# acknowledgement, temporary directory on tmpfs and on disk (one run of
# upload_rig.sh without its limited-link and memory parts), and each
# build's `qdupk verify` of the same sealed 256 MiB package from the page
# cache, three times. Then, once per build, the bytes `qdupk verify` reads (read(2) and
# pread(2) results summed by strace). Prints medians and NEW/BASE ratios,
# and the daemon's processor seconds per upload (less sensitive to load).
#
# BASE_BIN and NEW_BIN are bin/ folders of builds with qdboot, qdupk,
# upload_client and floor_receiver. Scratch goes under QD_BENCH_DISK
# (default /var/tmp) and QD_BENCH_TMPFS (default /dev/shm) and is removed on
# every exit path.
set -eu

[ $# -ge 2 ] || {
    cat >&2 <<'EOF'
  bench/compare_builds.sh BASE_BIN NEW_BIN [RUNS]
EOF
    exit 2
}
BASE=$(cd "$1" && pwd)
NEW=$(cd "$2" && pwd)
RUNS=${3:-5}
HERE=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" = 0 ] || {
    echo "compare_builds: the rig needs root" >&2
    exit 1
}
command -v strace >/dev/null || {
    echo "compare_builds: strace is not installed" >&2
    exit 1
}

DISK=$(mktemp -d "${QD_BENCH_DISK:-/var/tmp}/qd-compare.XXXXXX")
TMPFS=$(mktemp -d "${QD_BENCH_TMPFS:-/dev/shm}/qd-compare.XXXXXX")
trap 'rm -rf "$DISK" "$TMPFS"' EXIT
trap 'exit 130' INT TERM HUP

head -c $((256 << 20)) /dev/urandom >"$DISK/data.bin"
printf '[package]\nname=bench\nversion=1\ndevid=perf\n[item1]\ntype=file\nsource=%s\n' \
    "$DISK/data.bin" >"$DISK/manifest.ini"
"$BASE/qdupk" pack "$DISK/manifest.ini" -o "$DISK/package.upg" --force >/dev/null

RESULTS=$DISK/results
: >"$RESULTS"
note() { echo "$1 $2 $3" >>"$RESULTS"; } # BUILD KEY SECONDS

upload() { # NAME BIN
    mkdir -p "$DISK/up" "$TMPFS/up"
    QD_BENCH_SKIP_LIMITED=1 QD_BENCH_SKIP_MEMORY=1 \
        sh "$HERE/upload_rig.sh" "$2" "$DISK/data.bin" "$DISK/up" "$TMPFS/up" 1 >"$DISK/up.out"
    for fs in tmpfs disk; do
        note "$1" "upload_$fs" "$(sed -n "s/^upload_${fs}_daemon_median=//p" "$DISK/up.out")"
        note "$1" "upload_${fs}_cpu" "$(sed -n "s/^upload_${fs}_daemon_cpu_median=//p" "$DISK/up.out")"
    done
    rm -rf "$DISK/up" "$TMPFS/up"
}

# Three timings a round: a verification is short next to an upload.
verify() { # NAME BIN
    cat "$DISK/package.upg" >/dev/null
    for _ in 1 2 3; do
        start=$(date +%s.%N)
        "$2/qdupk" verify "$DISK/package.upg" >/dev/null
        note "$1" verify "$(echo "$start $(date +%s.%N)" | awk '{printf "%.4f", $2 - $1}')"
    done
}

round() { # NAME BIN
    upload "$1" "$2"
    verify "$1" "$2"
}

i=0
while [ $i -lt "$RUNS" ]; do
    if [ $((i % 2)) = 0 ]; then
        round base "$BASE"
        round new "$NEW"
    else
        round new "$NEW"
        round base "$BASE"
    fi
    i=$((i + 1))
    echo "compare_builds: round $i of $RUNS done" >&2
done

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
of() { awk -v b="$1" -v k="$2" '$1 == b && $2 == k {print $3}' "$RESULTS" | median; }

read_bytes() { # BIN
    strace -f -qq -e trace=read,pread64,readv,preadv -o "$DISK/strace" \
        "$1/qdupk" verify "$DISK/package.upg" >/dev/null
    awk -F'= ' '/= [0-9]+$/ {sum += $NF} END {printf "%.0f", sum}' "$DISK/strace"
}

package=$(stat -c %s "$DISK/package.upg")
echo "package_bytes=$package"
for key in upload_tmpfs upload_tmpfs_cpu upload_disk upload_disk_cpu verify; do
    b=$(of base $key)
    n=$(of new $key)
    echo "${key}_base_median=$b ${key}_new_median=$n ratio=$(echo "$n $b" | awk '{printf "%.3f", $1 / $2}')"
    for build in base new; do
        echo "${key}_${build}_runs=$(awk -v b=$build -v k=$key '$1 == b && $2 == k {printf "%s ", $3}' "$RESULTS")"
    done
done
for build in base new; do
    dir=$BASE
    [ $build = base ] || dir=$NEW
    bytes=$(read_bytes "$dir")
    echo "verify_read_bytes_$build=$bytes times_package=$(echo "$bytes $package" | awk '{printf "%.3f", $1 / $2}')"
done
