#!/bin/sh
# Test launcher for the AArch64 build: runs a target program under
# qemu-aarch64 user-mode emulation.
#
# usage: aarch64-run.sh QEMU SYSROOT READELF PROGRAM [ARGS...]
#
# Two AArch64 C libraries can sit on a build machine: the cross toolchain's
# in SYSROOT (what we link against) and Debian's multiarch one, pulled in by
# target packages such as libssl-dev:arm64, often of another release. Left to
# itself, qemu maps the toolchain's loader and the loader then finds the
# multiarch libc; the two disagree on the loader's private data, and the
# first pthread_create or fork spins forever. So the toolchain's loader is
# started as the program and told to take the toolchain's libc first; other
# libraries (libcrypto) are still found in the multiarch folders. Static
# programs have no loader and run directly.
set -eu
qemu=$1 sysroot=$2 readelf=$3 program=$4
shift 4

interp=$("$readelf" -l "$program" 2>/dev/null |
    sed -n 's/.*Requesting program interpreter: \(.*\)\]$/\1/p')
if [ -z "$interp" ]; then
    exec "$qemu" -L "$sysroot" "$program" "$@"
fi
# --library-path replaces LD_LIBRARY_PATH, so a caller's path goes in front.
exec "$qemu" -L "$sysroot" "$sysroot$interp" \
    --library-path "${LD_LIBRARY_PATH:+$LD_LIBRARY_PATH:}$sysroot/lib" \
    "$program" "$@"
