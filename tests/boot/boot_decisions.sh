#!/bin/bash
# boot_decisions.sh SHIM SCRIPT TABLE
# Every row of the table through the boot-loader stand-in running the
# shipped boot script: the slot booted, the kernel command line, qd_tries
# stored afterwards and the number of stores.
set -u
BOOT_SHIM=$1 BOOT_SCRIPT=$2
BOOT_DIR=$(mktemp -d)
trap 'rm -rf "$BOOT_DIR"' EXIT
# shellcheck source-path=SCRIPTDIR source=boot_lib.sh
. "$(dirname "$0")/boot_lib.sh"

row=0
while read -r state tries target slot max ka kb rec booted want_tries stores; do
    row=$((row + 1))
    # A row that cannot run has said why on stderr; its subshell cannot
    # mark the failure here.
    got=$(boot_shim_row "$BOOT_DIR/$row" "$state" "$tries" "$target" "$slot" "$max" "$ka" "$kb" "$rec") ||
        { BOOT_FAILED=1; continue; }
    want="$booted $want_tries $stores"
    [ "$booted" = none ] || want="$want $BOOT_BOOTARGS qd.slot=$booted"
    [ "$booted" != none ] || want="$want -"
    [ "$got" = "$want" ] ||
        boot_fail "row $row ($state $tries $target $slot $max $ka $kb $rec): got '$got', want '$want'"
done < <(boot_rows "$3")
[ "$row" -gt 0 ] || boot_fail "no rows in $3"
[ "$BOOT_FAILED" = 0 ] && echo "rows checked: $row"
exit "$BOOT_FAILED"
