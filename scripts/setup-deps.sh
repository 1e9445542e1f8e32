#!/bin/sh
# Installs the Debian packages a job needs when some are missing, so the
# README's commands work on a fresh Debian 12 machine.
#
#   (usage: printed by usage() below)
set -eu

# One purpose a line: name, why, packages.
purposes() {
    cat <<'EOF'
build|to build the daemon, the libraries and qdupk|cmake ninja-build g++ libssl-dev pkg-config libubootenv-dev libcli11-dev nlohmann-json3-dev libcpp-httplib-dev
tests|to build and run the test suite|libgtest-dev libgmock-dev libbenchmark-dev pkg-config iproute2 util-linux procps u-boot-tools libubootenv-tool u-boot-qemu qemu-system-arm
rig|to run virtual cameras in network namespaces|iproute2 util-linux procps diffutils u-boot-tools libubootenv-tool curl
cross|to build the camera's arm64 programs and test them under qemu|g++-aarch64-linux-gnu qemu-user libssl-dev:arm64 libubootenv-dev:arm64 zlib1g-dev:arm64 libcpp-httplib-dev:arm64
style|to check formatting and clang-tidy|clang-format clang-tidy
fuzz|to build and run the fuzz targets|clang libclang-rt-14-dev
packages|to build and check the Debian packages|dpkg-dev file lintian
browser|to test the web console's page in a real browser|chromium chromium-driver python3-selenium
EOF
}

usage() {
    cat >&2 <<'EOF'
  scripts/setup-deps.sh PURPOSE...
  scripts/setup-deps.sh --list PURPOSE...   print the packages, one a line

PURPOSE: build (daemon, libraries, qdupk), tests (the test suite),
rig (the virtual camera: demo and rig tests), cross (camera build for
arm64, run under qemu), style (clang-format, clang-tidy), fuzz (libFuzzer
targets), packages (Debian packages and their checks), browser (the web
console's page in headless Chromium).

Installs with apt-get as root, saying what and why. Exit status: 0 all
present (or installed), 1 the installation failed, 2 usage, 77 something
is missing and this is not root (nothing is changed then).
EOF
    exit 2
}

packages_for() {
    purposes | awk -F'|' -v p="$1" '$1 == p { print $3; found = 1 } END { exit !found }'
}

reason_for() {
    purposes | awk -F'|' -v p="$1" '$1 == p { print $2 }'
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

list_only=0
if [ "${1:-}" = --list ]; then
    list_only=1
    shift
fi
[ $# -gt 0 ] || usage
case $1 in -h | --help) usage ;; esac

missing=""
reasons=""
for purpose in "$@"; do
    pkgs=$(packages_for "$purpose") || {
        echo "setup-deps: unknown purpose '$purpose'" >&2
        usage
    }
    if [ $list_only = 1 ]; then
        printf '%s\n' $pkgs
        continue
    fi
    for pkg in $pkgs; do
        case " $missing " in *" $pkg "*) continue ;; esac
        installed "$pkg" && continue
        missing="$missing $pkg"
        reasons="$reasons
  $pkg: $(reason_for "$purpose")"
    done
done
[ $list_only = 0 ] || exit 0
[ -n "$missing" ] || exit 0

if [ "$(id -u)" != 0 ]; then
    echo "setup-deps: these Debian packages are missing:$reasons" >&2
    echo "setup-deps: run this as root to install them, or install them yourself:" >&2
    echo "  apt-get install$missing" >&2
    exit 77
fi

echo "setup-deps: installing with apt-get:$reasons"
# arm64 libraries come through Debian's multiarch.
case $missing in
*:arm64*)
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    ;;
esac
export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2086 # one argument per package
if ! apt-get update -qq || ! apt-get install -y -qq --no-install-recommends $missing; then
    echo "setup-deps: apt-get could not install:$missing" >&2
    exit 1
fi
echo "setup-deps: installed:$missing"
