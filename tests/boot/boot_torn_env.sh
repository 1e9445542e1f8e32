#!/bin/bash
# boot_torn_env.sh SHIM SCRIPT
# A store cut short: the copy being written holds part of the new
# environment and erased flash after it (overwritten in place, never
# truncated). libubootenv reads the other copy, so the try the cut store
# was counting is counted again on the next boot, and that store lands.
set -u
BOOT_SHIM=$1 BOOT_SCRIPT=$2
BOOT_DIR=$(mktemp -d)
trap 'rm -rf "$BOOT_DIR"' EXIT
# shellcheck source-path=SCRIPTDIR source=boot_lib.sh
. "$(dirname "$0")/boot_lib.sh"

dir=$BOOT_DIR/row
run_row() {
    boot_shim_row "$dir" trial "$1" b a - good good -
}
tries() {
    fw_printenv -c "$dir/fw_env.config" -n qd_tries
}

got=$(run_row 0) || exit 1
[ "${got%% *}" = b ] || boot_fail "first trial boot: got '$got'"
[ "$(tries)" = 1 ] || boot_fail "first trial boot stored qd_tries=$(tries), want 1"
written=env1
[ "$(od -An -tu1 -j4 -N1 "$dir/env1")" -gt "$(od -An -tu1 -j4 -N1 "$dir/env0")" ] || written=env0

# The same boot again, its store torn after 40 bytes of the copy it wrote.
boot_erased $((BOOT_ENV_SIZE - 40)) |
    dd of="$dir/$written" bs=1 seek=40 conv=notrunc status=none
cp "$dir/env0" "$dir/env0.before" && cp "$dir/env1" "$dir/env1.before"
size=$(stat -c %s "$dir/$written")
[ "$size" = $((BOOT_ENV_SIZE)) ] || boot_fail "the torn copy changed size: $size"
[ "$(tries)" = 0 ] || boot_fail "with the torn copy libubootenv reads qd_tries=$(tries), want 0"

out=$("$BOOT_SHIM" --env-config "$dir/fw_env.config" --kernel "a=$dir/kernel_a" \
    --kernel "b=$dir/kernel_b" "$BOOT_SCRIPT" 2>/dev/null)
[ "${out%%$'\n'*}" = "booted b" ] || boot_fail "boot after the torn store: '$out'"
[ "$(tries)" = 1 ] || boot_fail "after the torn store qd_tries=$(tries) is stored, want 1"
cmp -s "$dir/env0" "$dir/env0.before" && cmp -s "$dir/env1" "$dir/env1.before" &&
    boot_fail "the boot after the torn store stored nothing"

[ "$BOOT_FAILED" = 0 ] && echo "torn store checked"
exit "$BOOT_FAILED"
