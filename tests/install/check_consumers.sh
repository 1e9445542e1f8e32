#!/bin/sh
# check_consumers.sh <build-dir> <scratch-dir>
# Other builds use the installed libraries with nothing but the install
# tree: a C program compiled through pkg-config and a CMake project through
# find_package(qdboot), each linked against the shared libraries and against
# the archives, and run; and a program that includes OpenSSL's MD5 header
# next to libqdupdate.h compiles with the documented opt-out.
# CC, READELF name the target's tools; EMULATOR runs target programs;
# TOOLCHAIN is the CMake toolchain file of a cross build; OPENSSL_INCLUDE
# holds the target's OpenSSL headers; LDFLAGS may add a sanitizer runtime;
# GENERATOR, MAKE_PROGRAM the build tool to use.
set -eu

build=$1
scratch=$2
here=$(cd "$(dirname "$0")" && pwd)
cc=${CC:-cc}
readelf_tool=${READELF:-readelf}
failed=0

fail() {
    echo "FAIL: $*" >&2
    failed=1
}

rm -rf "$scratch"
mkdir -p "$scratch"
tree=$scratch/tree
cmake --install "$build" --prefix "$tree" --component libs >/dev/null
cmake --install "$build" --prefix "$tree" --component devel >/dev/null

# The shared program must load the installed libraries through their
# SONAME links; the static one must need none of them.
run_program() {
    kind=$1
    program=$2
    needed=$("$readelf_tool" -d "$program" | grep -c 'NEEDED.*lib\(qdupdate\|etcfile\|uartcom\)\.so' || true)
    if [ "$kind" = shared ] && [ "$needed" != 3 ]; then
        fail "$program does not load the three shared libraries"
    elif [ "$kind" = static ] && [ "$needed" != 0 ]; then
        fail "$program loads a shared library instead of the archives"
    fi
    # shellcheck disable=SC2086 # EMULATOR holds several words
    LD_LIBRARY_PATH=$tree/lib ${EMULATOR:-} "$program" || fail "$program failed when run"
}

# pkg-config sees only this tree (and, for the archives' Requires.private,
# the system's libcrypto).
pc_path=$tree/lib/pkgconfig
pc() {
    PKG_CONFIG_PATH=$pc_path pkg-config "$@" etcfile qdupdate uartcom
}
# shellcheck disable=SC2046,SC2086 # one argument per flag
if "$cc" -std=c99 -Wall -Werror -o "$scratch/pc_shared" "$here/use_installed_libs.c" \
    $(pc --cflags --libs) ${LDFLAGS:-}; then
    run_program shared "$scratch/pc_shared"
else
    fail "pkg-config: a C program does not build against the shared libraries"
fi
# shellcheck disable=SC2046,SC2086 # one argument per flag
if "$cc" -std=c99 -Wall -Werror -o "$scratch/pc_static" "$here/use_installed_libs.c" \
    $(pc --cflags) -Wl,-Bstatic $(pc --libs-only-l --static | sed 's/-lcrypto//; s/-pthread//') \
    -Wl,-Bdynamic $(pc --libs-only-L --libs-only-other --static) -lcrypto ${LDFLAGS:-}; then
    run_program static "$scratch/pc_static"
else
    fail "pkg-config: a C program does not build against the archives"
fi

# CMake, configured for the same target and compiler, with the same build
# tool (a machine may have no make).
set -- -S "$here/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$tree" \
    -DCMAKE_C_COMPILER="$cc" "-DCMAKE_EXE_LINKER_FLAGS=${LDFLAGS:-}"
[ -z "${GENERATOR:-}" ] || set -- "$@" -G "$GENERATOR"
[ -z "${MAKE_PROGRAM:-}" ] || set -- "$@" -DCMAKE_MAKE_PROGRAM="$MAKE_PROGRAM"
[ -z "${TOOLCHAIN:-}" ] || set -- "$@" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN"
if cmake "$@" >"$scratch/cmake.log" 2>&1 &&
    cmake --build "$scratch/cmake" >>"$scratch/cmake.log" 2>&1; then
    run_program shared "$scratch/cmake/use_shared"
    run_program static "$scratch/cmake/use_static"
else
    cat "$scratch/cmake.log" >&2
    fail "find_package(qdboot): the CMake project does not build"
fi

# OpenSSL's MD5_CTX next to the library's, in both orders.
openssl_include=${OPENSSL_INCLUDE:+-I$OPENSSL_INCLUDE}
# shellcheck disable=SC2086 # empty or one flag
"$cc" -std=c99 -Wall -Wextra -Werror -fsyntax-only -I "$tree/include/qdboot" $openssl_include \
    "$here/md5_with_openssl.c" || fail "libqdupdate.h and <openssl/md5.h> clash"
# shellcheck disable=SC2086 # empty or one flag
printf '#define QDUPK_NO_MD5_CTX\n#include <openssl/md5.h>\n#include <libqdupdate.h>\n' |
    "$cc" -std=c99 -Wall -Werror -fsyntax-only -I "$tree/include/qdboot" $openssl_include -x c - ||
    fail "<openssl/md5.h> first, then libqdupdate.h: they clash"

[ $failed = 0 ] && echo "installed libraries usable from other builds"
exit $failed
