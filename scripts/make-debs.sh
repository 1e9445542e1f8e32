#!/bin/sh
# Builds the Debian packages into debs/: Release builds of the product
# (no tests) for the host (amd64) and the camera (arm64), then CPack.
#
#   scripts/make-debs.sh [--host-only]
#
#   qdboot_VERSION_arm64.deb         the camera: daemon, /etc/qdboot.cfg
#                                    (conffile), /etc/init.d/qdboot
#   libqdboot1_VERSION_{amd64,arm64}.deb    the shared libraries
#   qdboot-dev_VERSION_{amd64,arm64}.deb    headers, archives, pkg-config,
#                                           CMake package
#   qdboot-tools_VERSION_amd64.deb   qdupk and mcu-sim, manual page,
#                                    bash completion
#
# --host-only skips the camera's arm64 packages (no cross toolchain needed).
# Installs what is missing first (scripts/setup-deps.sh: needs root then).
# Build trees: build-deb-amd64/, build-deb-arm64/ (presets deb-amd64,
# deb-arm64), kept for the next run.
set -eu
cd "$(dirname "$0")/.."

arches="amd64 arm64"
case ${1:-} in
"") ;;
--host-only) arches=amd64 ;;
*)
    sed -n '5,19p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac

purposes="build packages"
case $arches in *arm64*) purposes="$purposes cross" ;; esac
# shellcheck disable=SC2086 # one argument per purpose
scripts/setup-deps.sh $purposes

rm -rf debs
for arch in $arches; do
    echo "== Debian packages for $arch"
    cmake --workflow --preset "deb-$arch"
done
rm -rf debs/_CPack_Packages
ls -l debs/*.deb
