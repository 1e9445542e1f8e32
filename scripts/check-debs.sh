#!/bin/sh
# Checks the Debian packages that scripts/make-debs.sh left in debs/: each
# holds the files it must (and its architecture and dependencies), lintian
# finds no error, and the host tools' package installs on this machine and
# its qdupk runs. The package is removed again at the end.
#
#   scripts/check-debs.sh [--host-only]      (as root, for the install)
set -eu
cd "$(dirname "$0")/.."

arches="amd64 arm64"
[ "${1:-}" != --host-only ] || arches=amd64
version=$(sed -n 's/^project(qdboot VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
failed=0

fail() {
    echo "FAIL: $*" >&2
    failed=1
}

triplet() {
    case $1 in
    amd64) echo x86_64-linux-gnu ;;
    arm64) echo aarch64-linux-gnu ;;
    esac
}

# expect PACKAGE ARCH FILE... : the package exists and lists each file.
expect() {
    deb=debs/${1}_${version}_$2.deb
    arch=$2
    shift 2
    if [ ! -f "$deb" ]; then
        fail "$deb was not built"
        return
    fi
    contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
    for file in "$@"; do
        printf '%s\n' "$contents" | grep -qx "$file" || fail "$deb lacks $file"
    done
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] ||
        fail "$deb: wrong architecture $(dpkg-deb -f "$deb" Architecture)"
}

# lacks PACKAGE ARCH FILE... : the package does not list the files.
lacks() {
    deb=debs/${1}_${version}_$2.deb
    shift 2
    [ -f "$deb" ] || return 0
    for file in "$@"; do
        if dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' | grep -qx "$file"; then
            fail "$deb holds $file"
        fi
    done
}

recommends_doc() { # PACKAGE ARCH
    recommends=$(dpkg-deb -f "debs/${1}_${version}_$2.deb" Recommends 2>/dev/null || true)
    case $recommends in
    *qdboot-doc*) ;;
    *) fail "$1 does not recommend qdboot-doc: '$recommends'" ;;
    esac
}

# Each package has a summary of its own (one package name, one summary, on
# every architecture), and its extended description is text, not the ";"
# that joins a CMake list.
check_descriptions() {
    summaries=
    for deb in debs/*.deb; do
        if dpkg-deb -f "$deb" Description | sed 1d | grep -q '^ *;'; then
            fail "$deb: a line of its extended description starts with ';'"
        fi
        summaries="$summaries$(dpkg-deb -f "$deb" Package)|$(dpkg-deb -f "$deb" Description |
            head -n 1)
"
    done
    repeated=$(printf '%s' "$summaries" | sort -u | cut -d'|' -f2 | sort | uniq -d)
    [ -z "$repeated" ] || fail "packages share a summary: $repeated"
}

for arch in $arches; do
    lib=/usr/lib/$(triplet "$arch")
    expect libqdboot1 "$arch" "$lib/libetcfile.so.1" "$lib/libqdupdate.so.1.0.0" \
        "$lib/libuartcom.so.1" /usr/share/doc/libqdboot1/copyright
    expect qdboot-dev "$arch" /usr/include/qdboot/libqdupdate.h /usr/include/qdboot/etcfile.h \
        /usr/include/qdboot/libuartcom.h /usr/include/qdboot/QDComm.h \
        /usr/include/qdboot/qd_export.h "$lib/libqdupdate.a" \
        "$lib/libqdupdate.so" "$lib/pkgconfig/qdupdate.pc" "$lib/pkgconfig/etcfile.pc" \
        "$lib/pkgconfig/uartcom.pc" "$lib/cmake/qdboot/qdbootConfig.cmake" \
        "$lib/cmake/qdboot/qdbootTargets.cmake"
    depends=$(dpkg-deb -f "debs/libqdboot1_${version}_$arch.deb" Depends 2>/dev/null || true)
    case $depends in
    *libc6*libssl3*) ;;
    *) fail "libqdboot1 ($arch) does not depend on libc6 and libssl3: '$depends'" ;;
    esac
done
expect qdboot-tools amd64 /usr/bin/qdupk /usr/bin/mcu-sim /usr/share/man/man1/qdupk.1.gz \
    /usr/share/bash-completion/completions/qdupk
recommends_doc qdboot-tools amd64
# qdupk's web console serves through cpp-httplib's shared library; its
# dependency comes from the library's shlibs, so a qdupk built without the
# console (no cpp-httplib at build time) shows here.
depends=$(dpkg-deb -f "debs/qdboot-tools_${version}_amd64.deb" Depends 2>/dev/null || true)
case $depends in
*libcpp-httplib0.11*) ;;
*) fail "qdboot-tools does not depend on libcpp-httplib0.11 (qdupk console): '$depends'" ;;
esac
expect qdboot-doc all /usr/share/man/man5/qdboot.cfg.5.gz /usr/share/doc/qdboot-doc/copyright
case $arches in
*arm64*)
    expect qdboot arm64 /usr/sbin/qdboot /etc/qdboot.cfg /etc/init.d/qdboot \
        /usr/share/man/man8/qdboot.8.gz /usr/share/qdboot/qdboot-boot.cmd
    # One file, one package: the configuration's manual is qdboot-doc's.
    lacks qdboot arm64 /usr/share/man/man5/qdboot.cfg.5.gz
    recommends_doc qdboot arm64
    depends=$(dpkg-deb -f "debs/qdboot_${version}_arm64.deb" Depends 2>/dev/null || true)
    case $depends in
    *libubootenv0.1*) ;;
    *) fail "qdboot does not depend on libubootenv0.1 (its boot journal): '$depends'" ;;
    esac
    # The daemon has the libraries built in.
    case $depends in
    *libqdboot1*) fail "qdboot depends on libqdboot1, which it does not link: '$depends'" ;;
    esac
    conffiles=$(dpkg-deb -I "debs/qdboot_${version}_arm64.deb" conffiles 2>/dev/null || true)
    for file in /etc/qdboot.cfg /etc/init.d/qdboot; do
        printf '%s\n' "$conffiles" | grep -qx "$file" || fail "qdboot: $file is not a conffile"
    done
    ;;
esac

check_descriptions

# Errors only: warnings and what they mean are listed in the README.
if ! lintian --fail-on error debs/*.deb; then
    fail "lintian reports errors"
fi

# The host tools from their package, by their installed path.
if apt-get install -y -qq "./debs/qdboot-tools_${version}_amd64.deb" >/dev/null; then
    reported=$(/usr/bin/qdupk --version) || fail "the installed qdupk --version failed"
    [ "$reported" = "qdupk $version" ] || fail "installed qdupk reports '$reported'"
    echo "installed: $reported"
    dpkg -r qdboot-tools >/dev/null || fail "qdboot-tools does not remove cleanly"
else
    fail "qdboot-tools_${version}_amd64.deb does not install"
fi

[ $failed = 0 ] && echo "packages checked: $(ls debs/*.deb | wc -l)"
exit $failed
