# qdboot boot script (U-Boot hush): chooses what to boot from the boot
# journal that qdboot keeps in this environment, counts the boots of a new
# release on trial and falls back to the proven slot or, on a board with
# one slot, to its recovery system.
#
# The board provides, in its environment:
#   qd_boot_a, qd_boot_b  commands that load and boot slot a's / slot b's
#                         kernel with ${bootargs} (e.g. "load mmc 0:1
#                         ${kernel_addr_r} uImage-a; bootm ${kernel_addr_r}");
#                         they return only when the kernel fails its checks,
#                         and this script then goes on to the other slot
#   qd_boot_recovery      only on a board with one slot (no qd_boot_b): a
#                         command that loads and boots the recovery kernel
#                         and initramfs from a partition uploads never
#                         write. Its presence selects the recovery layout:
#                         slot a boots when its firmware is proven or on
#                         trial with tries left; while the journal says
#                         writing, failed or bad, once the trial is used up,
#                         or when slot a's kernel fails its checks, the
#                         recovery system boots and takes the package again
#   qd_bootargs           the kernel command line without the slot
#   qd_tries_max          optional: boots of a release on trial before the
#                         fallback, 1 to 9 (3 when unset or out of range)
# and in its configuration CONFIG_HUSH_PARSER and CONFIG_CMD_SETEXPR.
#
# The board compiles this file and its bootcmd sources it, e.g.
#   mkimage -A arm64 -T script -C none -n qdboot -d qdboot-boot.cmd qdboot-boot.scr
#   setenv bootcmd 'load mmc 0:1 ${scriptaddr} qdboot-boot.scr; source ${scriptaddr}'
#
# What runs reaches the kernel as the word qd.slot=a, qd.slot=b or
# qd.slot=recovery. The text uses only simple commands, ";", "&&", "||",
# if/then/else/fi, and test with quoted operands, so the rig's boot-loader
# stand-in runs this very file. setexpr counts in hex: the counter stays
# within 0 to 9 because it only grows while it is below a limit of at most 9.

setenv qd_limit "3"
test "${qd_tries_max}" -ge "1" && test "${qd_tries_max}" -le "9" && setenv qd_limit "${qd_tries_max}"

if test -n "${qd_boot_recovery}"; then
    # One slot: a release on trial gets its try counted and stored before
    # its kernel starts, as on two slots. A kernel in the middle of being
    # written, one that failed its proof and one whose tries are used up
    # are never started again: recovery takes the package anew.
    if test "${qd_state}" = "trial" && test "${qd_tries}" -lt "${qd_limit}"; then
        setenv qd_limit
        setexpr qd_tries "${qd_tries}" + 1
        saveenv
        echo qdboot trial boot of slot a
        setenv bootargs "${qd_bootargs} qd.slot=a"
        run qd_boot_a
    else
        setenv qd_limit
        if test "${qd_state}" = "trial" || test "${qd_state}" = "writing" || test "${qd_state}" = "failed" || test "${qd_state}" = "bad"; then
            echo qdboot slot a holds no proven firmware
        else
            echo qdboot booting slot a
            setenv bootargs "${qd_bootargs} qd.slot=a"
            run qd_boot_a
        fi
    fi

    # Nothing else to fall back to: when the recovery kernel fails its
    # checks too, the script ends with that failure.
    echo qdboot booting the recovery system
    setenv bootargs "${qd_bootargs} qd.slot=recovery"
    run qd_boot_recovery
else
    # A release on trial gets its try counted and stored before its kernel
    # starts, so a power cut or a hang during that boot still uses up a try.
    if test "${qd_state}" = "trial" && test "${qd_tries}" -lt "${qd_limit}"; then
        setenv qd_limit
        setexpr qd_tries "${qd_tries}" + 1
        saveenv
        if test "${qd_target}" = "b"; then
            echo qdboot trial boot of slot b
            setenv bootargs "${qd_bootargs} qd.slot=b"
            run qd_boot_b
        else
            echo qdboot trial boot of slot a
            setenv bootargs "${qd_bootargs} qd.slot=a"
            run qd_boot_a
        fi
    else
        setenv qd_limit
    fi

    # The proven slot: no trial is due, the trial is used up, or the trial
    # kernel failed its checks. When this kernel fails too, the script ends
    # with that failure.
    if test "${qd_slot}" = "b"; then
        echo qdboot booting slot b
        setenv bootargs "${qd_bootargs} qd.slot=b"
        run qd_boot_b
    else
        echo qdboot booting slot a
        setenv bootargs "${qd_bootargs} qd.slot=a"
        run qd_boot_a
    fi
fi
