#!/bin/sh
# The README's Quick start on a fresh Debian 12, in the README's order:
# scripts/demo.sh, scripts/demo.sh --fleet, then scripts/test.sh, on a
# clean checkout of HEAD inside a minimal bookworm made with debootstrap.
# The commands run as root of mount and PID namespaces of their own with /
# pivoted into that root, so / is a mount point there as on a real machine;
# the host's network is shared for apt-get. A second step enters the same
# root as a plain chroot, where / is not a mount point: a LAN of cameras
# comes up and goes, and starting a camera's daemon fails at once, saying
# why. Slow (a debootstrap, apt-get, a full build without ccache), hence
# not part of the test suite.
#
#   (usage: printed by usage() below)
# Prints each command's verdict, time and exit status and ends with PASS or
# FAIL (exit status 0 or 1).
# Needs root; installs debootstrap with apt-get when it is missing.

# shellcheck disable=SC2317 # inside_* run through "inside$how"
set -eu

REPO=$(cd "$(dirname "$0")/.." && pwd)
DIR=/work/fresh-root
MIRROR=http://deb.debian.org/debian
REF=HEAD
# Inside the root: where the checkout goes, and a clean environment.
SRC=/qdboot
CLEAN_ENV="env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
HOME=/root LANG=C.UTF-8 TERM=dumb"
FAILED=0

usage() {
    cat >&2 <<'EOF'
  scripts/check-fresh-root.sh [--dir DIR] [--mirror URL] [--ref REF] [STEP...]

  --dir DIR     where the roots live (default /work/fresh-root): DIR/base
                is the debootstrapped bookworm, made once and kept;
                DIR/run a copy of it for each run and DIR/*.log each
                command's output, left for inspection
  --mirror URL  the Debian mirror (default http://deb.debian.org/debian)
  --ref REF     the commit to check out (default HEAD)
  STEP          base, pivot, chroot (default: all three, in that order)

EOF
    exit 2
}

say() {
    printf '\n== %s ==\n' "$*"
}

make_base() {
    say "base: a minimal bookworm in $DIR/base"
    if [ -f "$DIR/base/.complete" ]; then
        echo "kept from an earlier run"
        return
    fi
    command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap
    rm -rf "$DIR/base"
    mkdir -p "$DIR"
    debootstrap --variant=minbase bookworm "$DIR/base" "$MIRROR"
    : >"$DIR/base/.complete"
}

# A copy of the base with a clean checkout of REF (nothing uncommitted).
make_run() {
    [ -f "$DIR/base/.complete" ] || make_base
    say "run: a copy of the base with $(git -C "$REPO" rev-parse --short "$REF") in $SRC"
    rm -rf "$DIR/run"
    cp -a "$DIR/base" "$DIR/run"
    mkdir -p "$DIR/run$SRC"
    git -C "$REPO" archive --format=tar "$REF" | tar -x -C "$DIR/run$SRC"
    cp /etc/resolv.conf "$DIR/run/etc/resolv.conf"
    # An installed system has these (the installer writes them); debootstrap
    # does not, and without them "localhost" resolves nowhere.
    [ -e "$DIR/run/etc/hosts" ] ||
        printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' \
            >"$DIR/run/etc/hosts"
}

# The file systems a Debian machine has at boot, mounted under $1.
mount_api() {
    mount -t proc proc "$1/proc"
    mount --rbind /dev "$1/dev"
    mount -t sysfs sysfs "$1/sys"
    mount -t tmpfs -o mode=1777 tmpfs "$1/tmp"
    mount -t tmpfs -o mode=755 tmpfs "$1/run"
    mkdir -p "$1/run/netns" "$1/run/lock"
}

# Runs in the new mount and PID namespaces: the root is bound onto itself
# (so it is a mount point), gets what a booted machine has mounted, and
# becomes / with pivot_root; the host's tree is detached.
inside_pivot() {
    R=$DIR/run
    mount --bind "$R" "$R"
    mount_api "$R"
    cd "$R"
    mkdir -p .host
    pivot_root . .host
    umount -l /.host
    rmdir /.host
    cd "$SRC"
    # shellcheck disable=SC2086 # CLEAN_ENV is words
    exec $CLEAN_ENV "$@"
}

# The same root as a plain chroot: / is not a mount point there.
inside_chroot() {
    R=$DIR/run
    mount_api "$R"
    # shellcheck disable=SC2086,SC2016 # CLEAN_ENV is words; $1 is the inner sh's
    exec chroot "$R" $CLEAN_ENV sh -c 'cd "$1" && shift && exec "$@"' sh "$SRC" "$@"
}

enter() {
    how=$1
    shift
    unshare --mount --pid --fork --kill-child --propagation private \
        sh "$0" --dir "$DIR" "_$how" "$@"
}

# One command in the root, its output in DIR/NAME.log, timed; one line:
# "LABEL: PASS|FAIL (N s, exit status S; DIR/NAME.log)". $3 says how the
# root is entered.
step() {
    label=$1
    log=$DIR/$2.log
    how=$3
    shift 3
    start=$(date +%s)
    set +e
    enter "$how" "$@" >"$log" 2>&1
    rc=$?
    set -e
    verdict=PASS
    [ $rc = 0 ] || verdict=FAIL
    [ $rc = 0 ] || FAILED=1
    echo "$label: $verdict ($(($(date +%s) - start)) s, exit status $rc; $log)"
}

run_pivot() {
    make_run
    say "pivot: the README's commands in the fresh root"
    step "scripts/demo.sh" demo pivot scripts/demo.sh
    step "scripts/demo.sh --fleet" demo-fleet pivot scripts/demo.sh --fleet
    step "scripts/test.sh" test pivot scripts/test.sh
}

# In a chroot the rig's namespaces still work; a daemon needs a root of its
# own, which pivot_root cannot give where / is not a mount point.
chroot_probe() {
    cat <<'EOF'
export VCAM_OWNER=$$
sh scripts/vlan.sh up chk 3 >/dev/null && echo "lan-up=ok"
sh scripts/vlan.sh pc chk ip -br addr show dev pc0
sh scripts/vlan.sh down chk && echo "lan-down=ok"
sh scripts/vcam.sh up solo >/dev/null && echo "camera-up=ok"
VCAM_QDBOOT=/bin/true sh scripts/vcam.sh start solo 2>&1
echo "start=$?"
sh scripts/vcam.sh down solo && echo "camera-down=ok"
echo "namespaces-left=$(ip netns list | wc -l)"
EOF
}

run_chroot() {
    [ -d "$DIR/run$SRC" ] || make_run
    say "chroot: / is not a mount point"
    step "the rig in a chroot" chroot chroot sh -c "$(chroot_probe)"
    sed 's/^/    /' "$DIR/chroot.log"
    for want in lan-up=ok lan-down=ok camera-up=ok "vcam: / is not a mount point" start=1 \
        camera-down=ok namespaces-left=0; do
        if grep -q "^$want" "$DIR/chroot.log"; then
            echo "chroot: PASS ($want)"
        else
            echo "chroot: FAIL (no $want)"
            FAILED=1
        fi
    done
}

while [ $# -gt 0 ]; do
    case $1 in
    --dir)
        [ $# -ge 2 ] || usage
        DIR=$2
        shift
        ;;
    --mirror)
        [ $# -ge 2 ] || usage
        MIRROR=$2
        shift
        ;;
    --ref)
        [ $# -ge 2 ] || usage
        REF=$2
        shift
        ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) break ;;
    esac
    shift
done
[ "$(id -u)" = 0 ] || {
    echo "check-fresh-root: needs root" >&2
    exit 77
}
case ${1:-} in
_pivot | _chroot)
    how=$1
    shift
    "inside$how" "$@"
    ;;
esac
steps=${*:-base pivot chroot}
for step in $steps; do
    case $step in
    base) make_base ;;
    pivot) run_pivot ;;
    chroot) run_chroot ;;
    *) usage ;;
    esac
done
say "Summary"
if [ $FAILED = 0 ]; then
    echo "RESULT: PASS"
else
    echo "RESULT: FAIL"
fi
exit $FAILED
