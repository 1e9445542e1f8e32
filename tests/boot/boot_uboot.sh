#!/bin/bash
# boot_uboot.sh SHIM SCRIPT TABLE PROBE
# The shipped boot script on U-Boot itself (Debian's u-boot-qemu under
# qemu-system-aarch64), one boot per row of the decision table, compared
# with the boot-loader stand-in on the same row: the slot booted, the
# kernel command line, qd_tries afterwards and the number of stores. First
# the probe script's "P" lines, which show what the stand-in's commands do,
# must be the same on both.
#
# Each row boots U-Boot with the row's environment in the second flash
# bank (where this U-Boot keeps it) and the compiled script and the row's
# kernel partitions in RAM (qemu's loader device). The board's qd_boot_a,
# qd_boot_b and (with one slot) qd_boot_recovery check the kernel as bootm
# does (iminfo verifies both checksums), then print what booted and power
# off; a bad kernel makes them fail and the script goes on. qemu 7.2's
# flash cannot complete U-Boot's buffered writes, so saveenv reports a
# failure here: the stores are counted from U-Boot's "Saving Environment"
# lines and qd_tries is read in U-Boot's memory at the moment the kernel
# starts or the script ends.
set -u
BOOT_SHIM=$1 BOOT_SCRIPT=$2 TABLE=$3 PROBE=$4
UBOOT=${QD_UBOOT_BIN:-/usr/lib/u-boot/qemu_arm64/u-boot.bin}
QEMU=qemu-system-aarch64

for tool in "$QEMU" mkimage mkenvimage fw_printenv; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (scripts/setup-deps.sh tests)"
        exit 77
    fi
done
if [ ! -r "$UBOOT" ]; then
    echo "SKIP: no U-Boot for qemu at $UBOOT (package u-boot-qemu)"
    exit 77
fi

BOOT_DIR=$(mktemp -d)
trap 'rm -rf "$BOOT_DIR"' EXIT
# shellcheck source-path=SCRIPTDIR source=boot_lib.sh
. "$(dirname "$0")/boot_lib.sh"

SCRIPT_ADDR=0x40200000
KERNEL_ADDR_A=0x44000000
KERNEL_ADDR_B=0x45000000
KERNEL_ADDR_RECOVERY=0x46000000

# uboot_boot DIR SCRIPT ENVTEXT: boots U-Boot once with ENVTEXT's lines as
# its environment (second flash bank), SCRIPT compiled at SCRIPT_ADDR and
# DIR's kernel partitions at the kernel addresses; DIR/uboot.log holds its
# console. qemu ends when U-Boot powers off.
uboot_boot() {
    local dir=$1 log=$1/uboot.log
    mkimage -A arm64 -T script -C none -n qdboot -d "$2" "$dir/script.scr" >/dev/null &&
        mkenvimage -s 0x40000 -o "$dir/flash1" "$3" && truncate -s 64M "$dir/flash1" || return 1
    local kernels=() part
    for part in kernel_a:$KERNEL_ADDR_A kernel_b:$KERNEL_ADDR_B recovery:$KERNEL_ADDR_RECOVERY; do
        [ ! -f "$dir/${part%:*}" ] ||
            kernels+=(-device "loader,file=$dir/${part%:*},addr=${part#*:},force-raw=on")
    done
    timeout 60 "$QEMU" -machine virt -cpu cortex-a57 -m 256 -nographic -no-reboot -nic none \
        -bios "$UBOOT" -drive "if=pflash,unit=1,format=raw,file=$dir/flash1" \
        -device "loader,file=$dir/script.scr,addr=$SCRIPT_ADDR,force-raw=on" "${kernels[@]}" \
        </dev/null >"$log" 2>&1
    local status=$?
    [ $status = 0 ] || { boot_fail "qemu exited $status: $(tail -5 "$log")"; return 1; }
    tr -d '\r' <"$log" >"$log.txt"
}

# The board's qd_boot_WHAT on U-Boot, when the row's board has it.
uboot_command() { # WHAT ADDR BOARD
    grep -q "^qd_boot_$1=" <<<"$3" || return 0
    echo "qd_boot_$1=iminfo $2 && echo QDBOOT $1 [\${qd_tries}] \${bootargs} && poweroff"
}

# uboot_env DIR FIELDS...: DIR/uboot-env.txt, the row's environment.
uboot_env() {
    local dir=$1
    {
        echo "bootdelay=0"
        echo "bootcmd=source $SCRIPT_ADDR; echo QDEND [\${qd_tries}]; poweroff"
        echo "qd_bootargs=$BOOT_BOOTARGS"
        local board
        board=$(boot_row_commands "${@:7:3}")
        uboot_command a $KERNEL_ADDR_A "$board"
        uboot_command b $KERNEL_ADDR_B "$board"
        uboot_command recovery $KERNEL_ADDR_RECOVERY "$board"
        boot_row_vars "${@:2:5}"
    } >"$dir/uboot-env.txt"
}

# uboot_row DIR FIELDS...: prints "BOOTED TRIES STORES BOOTARGS" as U-Boot
# decided; the kernel partitions are the stand-in's of the same row.
uboot_row() {
    local dir=$1 log=$1/uboot.log.txt
    uboot_env "$@" && uboot_boot "$dir" "$BOOT_SCRIPT" "$dir/uboot-env.txt" || return 1
    local stores line booted tries bootargs
    stores=$(grep -c '^Saving Environment to' "$log")
    line=$(grep -m1 -e '^QDBOOT ' -e '^QDEND' "$log")
    read -r _ booted tries bootargs <<<"$line"
    case $line in
    QDBOOT*) tries=${tries#[} tries=${tries%]} ;;
    QDEND*) tries=${booted#[} tries=${tries%]} booted=none bootargs=- ;;
    *) boot_fail "U-Boot neither booted nor ended the script: $(tail -5 "$log")"; return 1 ;;
    esac
    echo "$booted ${tries:--} $stores $bootargs"
}

start=$SECONDS
probe=$BOOT_DIR/probe
mkdir -p "$probe" && boot_env "$probe" "x=1" || exit 1
shim_probe=$("$BOOT_SHIM" --env-config "$probe/fw_env.config" "$PROBE" 2>&1 >/dev/null | grep '^P ')
printf '%s\n' bootdelay=0 "bootcmd=source $SCRIPT_ADDR; poweroff" >"$probe/uboot-env.txt"
if uboot_boot "$probe" "$PROBE" "$probe/uboot-env.txt"; then
    uboot_probe=$(grep '^P ' "$probe/uboot.log.txt")
    [ -n "$uboot_probe" ] || boot_fail "the probe printed nothing on U-Boot"
    [ "$shim_probe" = "$uboot_probe" ] || boot_fail "the probe differs (- U-Boot, + stand-in):
$(diff <(echo "$uboot_probe") <(echo "$shim_probe"))"
fi

row=0
while read -r state tries target slot max ka kb rec _; do
    row=$((row + 1))
    fields=("$state" "$tries" "$target" "$slot" "$max" "$ka" "$kb" "$rec")
    # A row that cannot run has said why on stderr; its subshell cannot
    # mark the failure here.
    shim=$(boot_shim_row "$BOOT_DIR/$row" "${fields[@]}") || { BOOT_FAILED=1; continue; }
    uboot=$(uboot_row "$BOOT_DIR/$row" "${fields[@]}") || { BOOT_FAILED=1; continue; }
    [ "$shim" = "$uboot" ] ||
        boot_fail "row $row (${fields[*]}): U-Boot '$uboot', stand-in '$shim'"
done < <(boot_rows "$TABLE")
[ "$row" -gt 0 ] || boot_fail "no rows in $TABLE"
[ "$BOOT_FAILED" = 0 ] && echo "rows compared with U-Boot: $row in $((SECONDS - start)) s"
exit "$BOOT_FAILED"
