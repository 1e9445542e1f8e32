#!/bin/sh
# Stripped sizes of what goes on the camera; usage() below says how (--help).
set -eu
cd "$(dirname "$0")/.."

cross=aarch64-linux-gnu
strip_tool=$cross-strip
size_tool=$cross-size
readelf_tool=$cross-readelf
nm_tool=$cross-nm
libs="etcfile qdupdate uartcom"

die() {
    echo "size-report: $*" >&2
    exit 1
}

usage() {
    cat <<'EOF'
size-report.sh [DYNAMIC_BUILD STATIC_BUILD]

Stripped sizes of what goes on the camera: the daemon (dynamic and fully
static) and the three libraries (shared and static), as a table, followed
by what the dynamic daemon and libraries need from the C and C++ runtimes.

Without arguments the product targets are built first as they ship, in
Release: the preset "aarch64-release" (build-aarch64-release) and the
preset "aarch64-static" configured for Release without tests
(build-aarch64-static-release); with two build directories those are
measured as they are. Executables and shared libraries are measured with
everything stripped (as "cmake --install --strip" ships them), archives
with their debug information stripped (their symbols are needed for
linking).
EOF
}

# build_preset PRESET DIR [CACHE-SETTING...]: the product targets only.
build_preset() {
    preset=$1
    dir=$2
    shift 2
    targets="qdboot"
    for lib in $libs; do
        targets="$targets ${lib}_shared ${lib}_static"
    done
    cmake --preset "$preset" -B "$dir" "$@" >/dev/null || die "configure preset $preset failed"
    # shellcheck disable=SC2086 # one argument per target
    cmake --build "$dir" --target $targets >/dev/null || die "build in $dir failed"
}

if [ $# -eq 1 ] && { [ "$1" = -h ] || [ "$1" = --help ]; }; then
    usage
    exit 0
elif [ $# -eq 2 ]; then
    dynamic=$1
    static=$2
elif [ $# -eq 0 ]; then
    for tool in "$strip_tool" "$size_tool" "$readelf_tool" "$nm_tool"; do
        command -v "$tool" >/dev/null || die "$tool not found (package binutils-$cross)"
    done
    dynamic=build-aarch64-release
    static=build-aarch64-static-release
    build_preset aarch64-release "$dynamic"
    build_preset aarch64-static "$static" -DCMAKE_BUILD_TYPE=Release -DQD_BUILD_TESTS=OFF
else
    usage >&2
    exit 2
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# row PART KIND FILE STRIP-OPTION: stripped bytes, then the sections'
# text, data and bss as size(1) counts them (summed over an archive).
row() {
    [ -f "$3" ] || die "missing $3"
    copy=$scratch/${3##*/}
    "$strip_tool" "$4" -o "$copy" "$3"
    bytes=$(wc -c <"$copy")
    sections=$("$size_tool" -t "$copy" | tail -n 1 | awk '{print $1, $2, $3}')
    # shellcheck disable=SC2086 # three numbers
    printf '%-12s %-16s %10s %10s %8s %8s\n' "$1" "$2" "$bytes" $sections
}

printf '%-12s %-16s %10s %10s %8s %8s\n' part kind stripped text data bss
row qdboot dynamic "$dynamic/bin/qdboot" --strip-all
row qdboot static "$static/bin/qdboot" --strip-all
for lib in $libs; do
    row "lib$lib" shared "$dynamic/lib/lib$lib.so.1.0.0" --strip-all
    row "lib$lib" static "$dynamic/lib/lib$lib.a" --strip-debug
done

# Runtime needs: the shared objects each one loads, the newest C library
# symbol version it asks for, and how many C++ runtime symbols it uses.
echo
printf '%-22s %-40s %-12s %s\n' binary needs "newest glibc" "C++ runtime symbols"
for file in "$dynamic/bin/qdboot" "$dynamic"/lib/lib*.so.1.0.0; do
    needed=$("$readelf_tool" -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    undefined=$("$nm_tool" -D --undefined-only "$file")
    newest=$(printf '%s\n' "$undefined" | sed -n 's/.*@GLIBC_//p' | sort -t. -k1,1n -k2,2n -k3,3n |
        tail -n 1)
    cxx=$(printf '%s\n' "$undefined" | grep -c -E '@(GLIBCXX|CXXABI)_|_Z' || true)
    printf '%-22s %-40s %-12s %s\n' "${file##*/}" "${needed:-none}" "${newest:-none}" "$cxx"
done
