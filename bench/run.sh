#!/bin/sh
# The benchmarks in one run; usage() below says what they measure (--help).
set -eu

usage() {
    cat <<'EOF'
The system's speed and memory against plain tools, side by side, in one
run (needs root for the virtual-camera rig):

  bench/run.sh [RUNS]

  1. MD5 of the package library against OpenSSL's (md5_bench).
  2. Verification + extraction of a package with one 256 MiB file item by
     the library against md5sum + cp of the same data (extract_bench).
  3. The whole upload of that package to the daemon on the rig, connect to
     acknowledgement, against the plain-tools floor in the same
     namespaces, with the temporary directory on tmpfs and on disk
     (upload_rig.sh).
     The same upload of 32 MiB on a link shaped to 100 Mbit/s.
  4. The daemon's peak resident memory (VmHWM, and its heap: RssAnon)
     after uploads of 16 MiB and 1 GiB.
  5. Sealed against unsealed uploads, 100 Mbit/s and unlimited, and the
     memory of a daemon that checked a seal (seal_rig.sh).

RUNS (default 3) repetitions of every timing; the table gives medians and
bests. The exit status is 0 whenever the benchmarks ran, however slow;
non-zero only when they could not (missing tools, no space, a failure).

Environment: QD_BENCH_BUILD  build directory (default build/, configured
                             with the default preset when it is missing)
             QD_BENCH_DISK   where disk scratch files go (default /var/tmp)
             QD_BENCH_TMPFS  where tmpfs scratch files go (default /dev/shm)
EOF
}
case ${1:-} in
-h | --help)
    usage
    exit 0
    ;;
-*)
    usage >&2
    exit 2
    ;;
esac
[ $# -le 1 ] || {
    usage >&2
    exit 2
}

RUNS=${1:-3}
REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QD_BENCH_BUILD:-$REPO/build}
case $BUILD in /*) ;; *) BUILD=$PWD/$BUILD ;; esac
DISK_BASE=${QD_BENCH_DISK:-/var/tmp}
TMPFS_BASE=${QD_BENCH_TMPFS:-/dev/shm}
TARGETS="md5_bench extract_bench upload_client floor_receiver qdboot qdupk"
NEED_DISK_MIB=6144
NEED_TMPFS_MIB=1024
NEED_MEMORY_MIB=2048
ITEM_MIB=256

DISK=
TMPFS=
cleanup() {
    [ -z "$DISK" ] || rm -rf "$DISK"
    [ -z "$TMPFS" ] || rm -rf "$TMPFS"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

die() {
    echo "bench: $*" >&2
    exit 1
}
say() { echo "bench: $*" >&2; }
# A part that fails leaves the others to run; the exit status reports it.
FAILED=0
fail() {
    echo "bench: $*" >&2
    FAILED=1
}

check_tools() {
    case $RUNS in
    '' | *[!0-9]* | 0) die "RUNS must be a positive number, not '$RUNS'" ;;
    esac
    [ "$(id -u)" = 0 ] || die "the virtual-camera rig needs root"
    for t in cmake ninja md5sum cp head ip ss tc unshare setpriv awk df stat openssl xxd sha256sum; do
        command -v "$t" >/dev/null || die "$t is not installed"
    done
}

build() {
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        if [ "$BUILD" = "$REPO/build" ]; then
            (cd "$REPO" && cmake --preset default >/dev/null) || die "configure failed"
        else
            cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ||
                die "configure failed"
        fi
    fi
    # shellcheck disable=SC2086
    cmake --build "$BUILD" -j2 --target $TARGETS >/dev/null || die "build failed"
}

free_mib() { df -Pk "$1" | awk 'NR == 2 {print int($4 / 1024)}'; }
fs_type() { stat -f -c %T "$1"; }

check_space() {
    [ "$(fs_type "$DISK_BASE")" != tmpfs ] || die "$DISK_BASE is tmpfs; set QD_BENCH_DISK to a disk"
    [ "$(fs_type "$TMPFS_BASE")" = tmpfs ] || die "$TMPFS_BASE is not tmpfs; set QD_BENCH_TMPFS"
    [ "$(free_mib "$DISK_BASE")" -ge $NEED_DISK_MIB ] ||
        die "need $NEED_DISK_MIB MiB free in $DISK_BASE, have $(free_mib "$DISK_BASE")"
    [ "$(free_mib "$TMPFS_BASE")" -ge $NEED_TMPFS_MIB ] ||
        die "need $NEED_TMPFS_MIB MiB free in $TMPFS_BASE, have $(free_mib "$TMPFS_BASE")"
    avail=$(awk '/^MemAvailable:/ {print int($2 / 1024)}' /proc/meminfo)
    [ "$avail" -ge $NEED_MEMORY_MIB ] || die "need $NEED_MEMORY_MIB MiB of free memory, have $avail"
}

loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

machine() {
    echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
        "$(awk '/^MemTotal:/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory," \
        "disk $(df -PT "$DISK_BASE" | awk 'NR == 2 {print $1 " (" $2 ")"}') at $DISK_BASE," \
        "tmpfs at $TMPFS_BASE, kernel $(uname -r)"
}

# One 256 MiB file item; its destination and the library's temporary
# directory are on the disk scratch, next to the package.
make_library_package() {
    lib=$DISK/lib
    mkdir -p "$lib"
    head -c $((ITEM_MIB << 20)) /dev/urandom >"$lib/data.bin"
    printf '[package]\nname=bench\nversion=1\ndevid=perf\n[item1]\ntype=file\n' >"$lib/manifest.ini"
    printf 'source=data.bin\ndest=%s/item.bin\n' "$lib" >>"$lib/manifest.ini"
    "$BUILD/bin/qdupk" pack "$lib/manifest.ini" -o "$lib/package.upg" --force >/dev/null
}

# key=value of results; "-" when missing.
value() { sed -n "s/^$1=//p" "$RESULTS" | tail -1 | grep . || echo -; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a + 0 > 0 && b + 0 > 0) printf "%.3f", a / b; else print "-"}'; }

row() { printf '%-38s %14s %14s %8s %8s  %s\n' "$@"; }

ratio_row() { # LABEL OURS REF GOAL: seconds, ratio of medians and of bests
    row "$1" "$(value "${2}_median")" "$(value "${3}_median")" \
        "$(ratio "$(value "${2}_median")" "$(value "${3}_median")")" \
        "$(ratio "$(value "${2}_best")" "$(value "${3}_best")")" "$4"
}

# Within 5 % of each other: "flat" or "not flat".
flat() { awk -v a="$1" -v b="$2" 'BEGIN {if (a + 0 <= 0 || b + 0 <= 0) print "-"; else if (a / b <= 1.05 && b / a <= 1.05) print "flat"; else print "not flat"}'; }

print_table() {
    echo
    machine
    echo "load average at start: $LOAD_START; at end: $(loadavg); runs per timing: $RUNS"
    echo
    row "measure" "ours" "reference" "ratio" "best" "goal"
    row "MD5 4 KiB updates, MiB/s" "$(value md5_4k_library)" "$(value md5_4k_openssl)" \
        "$(value md5_4k_ratio)" "" "ratio >= 0.90 (OpenSSL)"
    row "MD5 64 MiB message, MiB/s" "$(value md5_64m_library)" "$(value md5_64m_openssl)" \
        "$(value md5_64m_ratio)" "" "ratio >= 0.90 (OpenSSL)"
    row "verify+extract ${ITEM_MIB} MiB, disk, s" "$(value extract_dl_library)" \
        "$(value extract_dl_plain)" "$(value extract_dl_ratio)" "$(value extract_dl_ratio_best)" \
        "ratio <= 1.05 (md5sum + cp), daemon's log"
    row "  same, log fully buffered" "$(value extract_library)" "$(value extract_plain)" \
        "$(value extract_ratio)" "$(value extract_ratio_best)" "(reference)"
    row "  same, log line-buffered (before)" "$(value extract_lb_library)" \
        "$(value extract_lb_plain)" "$(value extract_lb_ratio)" "$(value extract_lb_ratio_best)" \
        "(reference)"
    for fs in tmpfs disk; do
        ratio_row "upload ${ITEM_MIB} MiB, tmpdir on $fs, s" "upload_${fs}_daemon" \
            "upload_${fs}_floor" "ratio <= 1.10 (TCP to file + md5sum + cp)"
        ratio_row "  same, floor with SHA-256 (openssl)" "upload_${fs}_daemon" \
            "upload_${fs}_floor_sealed" "(the seal's digest too)"
    done
    ratio_row "upload 32 MiB, 100 Mbit/s link, s" upload_tbf100_daemon upload_tbf100_floor \
        "ratio <= 1.02 (same floor, same link)"
    ratio_row "  same, floor with SHA-256 (openssl)" upload_tbf100_daemon \
        upload_tbf100_floor_sealed "(the seal's digest too)"
    row "sealed/unsealed 32 MiB, 100 Mbit/s, s" "$(value seal_tbf100_sealed_median)" \
        "$(value seal_tbf100_unsealed_median)" "$(value seal_tbf100_ratio)" "" "ratio <= 1.05"
    row "sealed/unsealed ${ITEM_MIB} MiB, unlimited, s" "$(value seal_unlimited_sealed_median)" \
        "$(value seal_unlimited_unsealed_median)" "$(value seal_unlimited_ratio)" "" "(reference)"
    for size in 16 1024; do
        row "daemon VmHWM, ${size} MiB upload, KiB" "$(value "memory_${size}mib_hwm_kib")" \
            "$(value "memory_${size}mib_idle_hwm_kib")" "" "" "flat 16 MiB to 1 GiB (ref: idle)"
    done
    row "  16 MiB against 1 GiB" "" "" "" "" \
        "$(flat "$(value memory_16mib_hwm_kib)" "$(value memory_1024mib_hwm_kib)") (within 5 %)"
    row "daemon RssAnon, 1 GiB upload, KiB" "$(value memory_1024mib_rss_anon_kib)" "" "" "" "< 1024"
    row "  after a sealed upload, KiB" "$(value seal_memory_rssanon_kib)" "" "" "" \
        "< 1024 (VmHWM $(value seal_memory_vmhwm_kib) KiB)"
    echo
    echo "processor-time ratios of verify+extract (less sensitive to load): daemon's log" \
        "$(value extract_dl_cpu_ratio), fully buffered $(value extract_cpu_ratio)," \
        "line-buffered $(value extract_lb_cpu_ratio)"
    for fs in tmpfs disk tbf100; do
        d=$(value "upload_${fs}_daemon_cpu_median")
        f=$(value "upload_${fs}_floor_cpu_median")
        s=$(value "upload_${fs}_floor_sealed_cpu_median")
        echo "processor time of an upload, $fs: daemon $d s, floor $f s, ratio $(ratio "$d" "$f");" \
            "floor with SHA-256 $s s, ratio $(ratio "$d" "$s")"
    done
    echo "floor steps (receive SHA-256 md5sum cp, s): tmpfs $(value upload_tmpfs_floor_steps);" \
        "disk $(value upload_disk_floor_steps); 100 Mbit/s $(value upload_tbf100_floor_steps)"
}

run_md5() {
    say "MD5 against OpenSSL"
    "$BUILD/bin/md5_bench" >"$DISK/md5.out" 2>&1 || {
        fail "md5_bench failed: $(tail -3 "$DISK/md5.out")"
        return 0
    }
    sed -n 's/^md5 4 KiB: library \([0-9]*\) MiB\/s, OpenSSL \([0-9]*\) MiB\/s, ratio \([0-9.]*\)$/md5_4k_library=\1\nmd5_4k_openssl=\2\nmd5_4k_ratio=\3/p;
            s/^md5 64 MiB: library \([0-9]*\) MiB\/s, OpenSSL \([0-9]*\) MiB\/s, ratio \([0-9.]*\)$/md5_64m_library=\1\nmd5_64m_openssl=\2\nmd5_64m_ratio=\3/p' \
        "$DISK/md5.out" >>"$RESULTS"
}

# One line per variant of the library's log buffering.
parse_extract() { # LABEL KEY
    sed -n "s/^extract [0-9]* MiB, $1: library median \([0-9.]*\) s (best \([0-9.]*\)), plain tools median \([0-9.]*\) s (best \([0-9.]*\)), ratio median \([0-9.]*\) (best \([0-9.]*\)); cpu \([0-9.]*\) s against \([0-9.]*\) s, ratio \([0-9.]*\)\$/$2_library=\1\n$2_library_best=\2\n$2_plain=\3\n$2_plain_best=\4\n$2_ratio=\5\n$2_ratio_best=\6\n$2_cpu_ratio=\9/p" \
        "$DISK/extract.out" >>"$RESULTS"
}

run_extract() {
    say "verification + extraction against md5sum + cp"
    make_library_package
    "$BUILD/bin/extract_bench" "$DISK/lib" --benchmark_repetitions="$RUNS" >"$DISK/extract.out" 2>&1 || {
        fail "extract_bench failed: $(tail -3 "$DISK/extract.out")"
        return 0
    }
    parse_extract "log fully buffered" extract
    parse_extract "log line-buffered" extract_lb
    parse_extract "log as the daemon's" extract_dl
    rm -f "$DISK/lib/package.upg"
}

run_seal() {
    say "sealed against unsealed uploads"
    sh "$REPO/bench/seal_rig.sh" "$BUILD/bin" "$DISK" "$RUNS" >>"$RESULTS" ||
        fail "the seal benchmark failed"
}

run_rig() {
    say "whole upload on the virtual camera, and peak memory"
    mkdir -p "$DISK/rig"
    sh "$REPO/bench/upload_rig.sh" "$BUILD/bin" "$DISK/lib/data.bin" "$DISK/rig" "$TMPFS" "$RUNS" \
        >>"$RESULTS" || fail "the rig benchmark failed"
}

check_tools
build
check_space
DISK=$(mktemp -d "$DISK_BASE/qdperf.XXXXXX")
TMPFS=$(mktemp -d "$TMPFS_BASE/qdperf.XXXXXX")
RESULTS=$DISK/results
: >"$RESULTS"
LOAD_START=$(loadavg)
run_md5
run_extract
run_rig
run_seal
print_table
exit $FAILED
