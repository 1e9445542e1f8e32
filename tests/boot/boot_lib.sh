# shellcheck shell=bash disable=SC2034 # the tests read BOOT_FAILED; they set BOOT_SHIM and the rest
# Shared by the boot tests (bash): kernel partitions and environments made
# as the rig makes them (both copies full-size plain files, mkenvimage -r),
# and one table row run through the boot-loader stand-in.
#   needs: BOOT_SHIM (the stand-in), BOOT_SCRIPT (the boot script),
#          BOOT_DIR (scratch directory)

BOOT_FAILED=0
BOOT_ENV_SIZE=0x4000
BOOT_BOOTARGS="console=ttyAMA0 root=/dev/mmcblk0p2 rootwait"

boot_fail() {
    echo "FAIL: $*" >&2
    BOOT_FAILED=1
}

boot_erased() {
    tr '\0' '\377' </dev/zero | head -c "$1"
}

# boot_kernel FILE KIND: a 64 KiB kernel partition of the table's kind
# (none for "-": the board has no such partition).
boot_kernel() {
    [ "$2" != - ] || return 0
    local image=$BOOT_DIR/kernel.img
    if [ ! -f "$image" ]; then
        seq 1 2000 >"$BOOT_DIR/kernel.bin"
        mkimage -A arm64 -O linux -T kernel -C none -a 0 -e 0 -n rig-kernel \
            -d "$BOOT_DIR/kernel.bin" "$image" >/dev/null || return 1
    fi
    local size
    size=$(stat -c %s "$image")
    case $2 in
    good) cat "$image" ;;
    torn) head -c $((size / 2)) "$image" ;;
    erased) ;;
    *) boot_fail "unknown kernel kind $2" ;;
    esac >"$1"
    local used
    used=$(stat -c %s "$1")
    boot_erased $((65536 - used)) >>"$1"
}

# boot_env DIR LINE...: DIR/env0, DIR/env1 holding the lines, and
# DIR/fw_env.config naming them.
boot_env() {
    local dir=$1
    shift
    printf '%s\n' "$@" >"$dir/env.txt"
    mkenvimage -r -s "$BOOT_ENV_SIZE" -o "$dir/env0" "$dir/env.txt" &&
        mkenvimage -r -s "$BOOT_ENV_SIZE" -o "$dir/env1" "$dir/env.txt" || return 1
    printf '%s 0 %s\n%s 0 %s\n' "$dir/env0" "$BOOT_ENV_SIZE" "$dir/env1" "$BOOT_ENV_SIZE" \
        >"$dir/fw_env.config"
}

# The journal variables of a table row (STATE TRIES TARGET SLOT MAX), one
# line each, unset ones left out.
boot_row_vars() {
    local name value
    for name in qd_state qd_tries qd_target qd_slot qd_tries_max; do
        value=$1
        shift
        [ "$value" = - ] || printf '%s=%s\n' "$name" "$value"
    done
}

# Number of stores since mkenvimage: each store raises the flag of the
# copy it writes to one above the other's.
boot_stores() {
    local f0 f1
    f0=$(od -An -tu1 -j4 -N1 "$1/env0")
    f1=$(od -An -tu1 -j4 -N1 "$1/env1")
    echo $(((f0 > f1 ? f0 : f1) - 1))
}

# The board's boot commands for a row whose kernel partitions are KA KB
# REC: qd_boot_b only with a slot b, qd_boot_recovery only with a recovery
# system.
boot_row_commands() { # KA KB REC
    [ "$1" = - ] || echo "qd_boot_a=qdrig_boot a"
    [ "$2" = - ] || echo "qd_boot_b=qdrig_boot b"
    [ "$3" = - ] || echo "qd_boot_recovery=qdrig_boot recovery"
}

# The stand-in's partition options for the partitions DIR holds.
boot_shim_partitions() { # DIR
    [ ! -f "$1/kernel_a" ] || printf '%s\n' --kernel "a=$1/kernel_a"
    [ ! -f "$1/kernel_b" ] || printf '%s\n' --kernel "b=$1/kernel_b"
    [ ! -f "$1/recovery" ] || printf '%s\n' --recovery "$1/recovery"
}

# boot_shim_row DIR FIELDS...: runs the row through the stand-in in DIR and
# prints "BOOTED TRIES STORES BOOTARGS"; checks on the way that nothing
# but qd_tries changed in the environment.
boot_shim_row() {
    local dir=$1 out booted bootargs tries before after
    mkdir -p "$dir"
    boot_kernel "$dir/kernel_a" "$7" && boot_kernel "$dir/kernel_b" "$8" &&
        boot_kernel "$dir/recovery" "$9" || return 1
    local -a vars partitions
    mapfile -t vars < <(boot_row_commands "$7" "$8" "$9"; boot_row_vars "$2" "$3" "$4" "$5" "$6")
    mapfile -t partitions < <(boot_shim_partitions "$dir")
    boot_env "$dir" "qd_bootargs=$BOOT_BOOTARGS" "${vars[@]}" || return 1
    before=$(fw_printenv -c "$dir/fw_env.config" | grep -v '^qd_tries=')
    out=$("$BOOT_SHIM" --env-config "$dir/fw_env.config" "${partitions[@]}" \
        "$BOOT_SCRIPT" 2>"$dir/shim.err")
    case $?:$out in
    0:"booted "*$'\n'bootargs=*) booted=${out%%$'\n'*} booted=${booted#booted } bootargs=${out#*bootargs=} ;;
    1:"booted none") booted=none bootargs=- ;;
    *) boot_fail "row '${*:2}': stand-in said '$out': $(cat "$dir/shim.err")"; return 1 ;;
    esac
    after=$(fw_printenv -c "$dir/fw_env.config" | grep -v '^qd_tries=')
    [ "$before" = "$after" ] ||
        { boot_fail "row '${*:2}': more than qd_tries changed: $after"; return 1; }
    tries=$(fw_printenv -c "$dir/fw_env.config" -n qd_tries 2>/dev/null)
    echo "$booted ${tries:--} $(boot_stores "$dir") $bootargs"
}

# boot_rows TABLE: the table's rows, comments and blank lines left out.
boot_rows() {
    grep -v -e '^#' -e '^[[:space:]]*$' "$1"
}
