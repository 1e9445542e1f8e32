#!/bin/sh
# check_install.sh <build-dir> <scratch-dir>
# Installs the build twice, whole and as the camera's component only, and
# checks the trees: the files and links present, every public header
# compiling on its own as C, each shared library exporting exactly what its
# header declares, and a C program running against the installed libraries.
# CC, NM name the target's tools; EMULATOR runs target programs (cross).
set -eu

build=$1
scratch=$2
here=$(cd "$(dirname "$0")" && pwd)
cc=${CC:-cc}
nm_tool=${NM:-nm}
failed=0

fail() {
    echo "FAIL: $*" >&2
    failed=1
}

# Every file and link below a tree, one relative path a line, sorted.
listing() {
    (cd "$1" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
}

expect_listing() {
    if ! listing "$1" | diff -u "$2" - >&2; then
        fail "$1 holds other files than expected (diff above: - expected, + found)"
    fi
}

rm -rf "$scratch"
mkdir -p "$scratch"
full=$scratch/full
camera=$scratch/camera
cmake --install "$build" --prefix "$full" >/dev/null
for component in camera libs; do
    cmake --install "$build" --prefix "$camera" --component $component --strip >/dev/null
done

libs="etcfile qdupdate uartcom"
# CMake names the per-configuration targets file after the build type.
config_name() {
    type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" | tr 'A-Z' 'a-z')
    echo "${type:-noconfig}"
}
{
    for lib in $libs; do
        printf 'lib/lib%s.so.1\nlib/lib%s.so.1.0.0\n' "$lib" "$lib"
    done
    printf 'etc/init.d/qdboot\netc/qdboot.cfg\nsbin/qdboot\n'
    printf 'share/man/man8/qdboot.8.gz\n'
    printf 'share/qdboot/qdboot-boot.cmd\n'
} | LC_ALL=C sort >"$scratch/camera.want"
{
    cat "$scratch/camera.want"
    printf 'bin/%s\n' qdupk mcu-sim
    printf 'include/qdboot/%s\n' etcfile.h libqdupdate.h libuartcom.h QDComm.h qd_export.h
    for lib in $libs; do
        printf 'lib/lib%s.a\nlib/lib%s.so\nlib/pkgconfig/%s.pc\n' "$lib" "$lib" "$lib"
    done
    printf 'lib/cmake/qdboot/%s\n' qdbootConfig.cmake qdbootConfigVersion.cmake \
        qdbootTargets.cmake "qdbootTargets-$(config_name).cmake"
    printf 'share/man/man1/%s.gz\n' qdupk.1 mcu-sim.1
    # The configuration's manual page is documentation's component: it is
    # read on laptops as much as on cameras.
    printf 'share/man/man5/qdboot.cfg.5.gz\n'
    printf 'share/bash-completion/completions/qdupk\n'
} | LC_ALL=C sort >"$scratch/full.want"
expect_listing "$camera" "$scratch/camera.want"
expect_listing "$full" "$scratch/full.want"

for lib in $libs; do
    for link in "lib$lib.so" "lib$lib.so.1"; do
        [ -L "$full/lib/$link" ] || fail "lib/$link is not a symbolic link"
    done
    [ "$(readlink "$full/lib/lib$lib.so.1")" = "lib$lib.so.1.0.0" ] ||
        fail "lib/lib$lib.so.1 does not name lib$lib.so.1.0.0"
done
for exe in sbin/qdboot bin/qdupk bin/mcu-sim etc/init.d/qdboot; do
    [ -x "$full/$exe" ] || fail "$exe is not executable"
done
sh -n "$full/etc/init.d/qdboot" || fail "etc/init.d/qdboot is not valid sh"

# Alone, first in a translation unit, in strict C of both ages (qd_export.h,
# macros only, with each of the others that includes it).
for header in etcfile.h libqdupdate.h libuartcom.h QDComm.h; do
    for std in c99 c11; do
        printf '#include <%s>\n' "$header" |
            "$cc" -std=$std -Wall -Wextra -Wpedantic -Werror -fsyntax-only \
                -I "$full/include/qdboot" -x c - ||
            fail "include/$header does not compile alone as $std"
    done
done

# The names a header marks with its API macro.
declared() {
    sed -n 's/^[A-Z]*_API [^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$full/include/qdboot/$1"
}
check_exports() {
    # shellcheck disable=SC2046 # one argument per exported name
    NM=$nm_tool sh "$here/../support/check_exports.sh" "$full/lib/lib$1.so" $(declared "$2") ||
        fail "lib$1.so does not export exactly what $2 declares"
}
check_exports etcfile etcfile.h
check_exports qdupdate libqdupdate.h
check_exports uartcom libuartcom.h

# Linked by the C compiler against the development links, run through the
# SONAME links. LDFLAGS may add a sanitizer runtime.
# shellcheck disable=SC2086 # LDFLAGS holds several words
if "$cc" -std=c99 -Wall -Werror -I "$full/include/qdboot" -o "$scratch/use_libs" \
    "$here/use_installed_libs.c" -L "$full/lib" -lqdupdate -letcfile -luartcom -lpthread \
    ${LDFLAGS:-}; then
    # shellcheck disable=SC2086 # EMULATOR holds several words
    LD_LIBRARY_PATH=$full/lib ${EMULATOR:-} "$scratch/use_libs" ||
        fail "a C program cannot use the installed libraries"
else
    fail "a C program does not link against the installed libraries"
fi

[ $failed = 0 ] && echo "install tree complete"
exit $failed
