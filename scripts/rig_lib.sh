# shellcheck shell=sh
# What the rig's scripts share (vcam.sh, vlan.sh, abcam.sh, the demos, the
# power-cut campaign and the bench rigs): the facts of the daemon the rig
# configures, the daemon's configuration, the "does it serve" check and the
# network-namespace chores. Sourced, never run; every name starts with rig_
# or RIG_, so a script's own names never meet it. POSIX sh (dash runs it).

# The upload port of every configuration the rig writes.
RIG_PORT=8080
# The group the daemon joins to answer searches.
RIG_GROUP=234.200.200.1

# A command in one of the rig's network namespaces. nsenter leaves mount
# propagation alone; "ip netns exec" and "ip -n" first make / rslave, which
# fails where / is not a mount point (a chroot).
rig_in_ns() { # NETNS CMD...
    rig_ns=$1
    shift
    nsenter --net="/run/netns/$rig_ns" "$@"
}

# The start time (field 22 of /proc/PID/stat) tells a reused PID apart.
rig_start_time() { # PID
    [ -r "/proc/$1/stat" ] || return 1
    sed 's/.*) //' "/proc/$1/stat" | cut -d' ' -f20
}

# True when the name resolves to the caller's own network namespace (an
# "ip netns add" that half failed, say): its processes are the whole host's.
rig_is_own_ns() { # NETNS
    rig_here=$(stat -L -c %d:%i /proc/self/ns/net 2>/dev/null) || return 0
    [ "$(stat -L -c %d:%i "/run/netns/$1" 2>/dev/null)" = "$rig_here" ]
}

# Every process in one of the rig's own namespaces was started by the rig.
rig_remove_ns() { # NETNS
    if rig_is_own_ns "$1"; then
        echo "vcam: $1 is this very namespace; nothing in it is ended" >&2
    else
        for rig_p in $(ip netns pids "$1" 2>/dev/null); do
            kill -KILL "$rig_p" 2>/dev/null || true
        done
    fi
    ip netns del "$1" 2>/dev/null || true
}

# A /24 under ROOT for ID, claimed with an atomic mkdir so parallel runs
# never share one; the search starts at a hash of the ID to avoid
# contention. Prints the subnet's first three octets.
rig_claim_subnet() { # ROOT ID
    mkdir -p "$1/subnets"
    rig_slots=10240
    rig_h=$(printf '%s' "$2" | cksum | cut -d' ' -f1)
    rig_i=0
    while [ $rig_i -lt $rig_slots ]; do
        rig_k=$(((rig_h + rig_i) % rig_slots))
        rig_x=$((200 + rig_k / 256))
        rig_y=$((rig_k % 256))
        if mkdir "$1/subnets/$rig_x.$rig_y" 2>/dev/null; then
            echo "$2" >"$1/subnets/$rig_x.$rig_y/owner"
            echo "10.$rig_x.$rig_y"
            return 0
        fi
        rig_i=$((rig_i + 1))
    done
    echo "vcam: no free subnet under $1/subnets" >&2
    return 1
}

rig_release_subnet() { # ROOT SUBNET ID
    rig_slot=$1/subnets/${2#10.}
    if [ "$(cat "$rig_slot/owner" 2>/dev/null)" = "$3" ]; then
        rm -rf "$rig_slot"
    fi
}

# Why no camera's daemon can start here, or nothing (and false when it can):
# it runs in a root of its own, made with pivot_root, which needs the
# current root to be a mount point, and a chroot's mount propagation cannot
# be made private from inside it.
rig_root_problem() {
    awk '$5 == "/" { found = 1 } END { exit !found }' /proc/self/mountinfo 2>/dev/null &&
        return 1
    echo "/ is not a mount point (a chroot?): a camera's daemon runs in a root of its" \
        "own, made with pivot_root in a mount namespace, which needs / to be one"
}

# The [system] section of a daemon configuration the rig writes. Without
# FLASH_TOOL the flash tools are the logging stand-ins; with it, FLASH_TOOL
# writes the camera's flash files for both.
rig_config_system() { # DEVNAME UART MAIN_APP TMPDIR [FLASH_TOOL]
    cat <<EOF
[system]
port=$RIG_PORT
devname=$1
uart_arm=$2
uart_baud=115200
mainApp=$3
tmpdir=$4
flash_eraseall=${5:-flash_eraseall}
flashcp=${5:-flashcp}
nBlockSize=65536
EOF
}

# One kernel partition, written whole by the stand-ins.
rig_config_kernel() { # MTD SIZE
    printf '\n[kernel]\nszMtdName=%s\nbAllMtd=1\nnPos=0\nnSize=%s\n' "$1" "$2"
}

# True when a socket listens on PORT in the namespace (/proc/net/tcp: the
# local port in hex after the address, state 0A).
rig_listening() { # NETNS PORT
    rig_in_ns "$1" cat /proc/net/tcp 2>/dev/null |
        awk -v p="$(printf ':%04X' "$2")" \
            '$4 == "0A" && substr($2, length($2) - 4) == p { f = 1 } END { exit !f }'
}

# The group as /proc/net/igmp prints it: one word in the host's (little-
# endian) byte order, in upper-case hex.
rig_igmp_word() { # DOTTED
    echo "$1" | awk -F. '{ printf "%02X%02X%02X%02X\n", $4, $3, $2, $1 }'
}

# The daemon serves: it takes uploads and has joined the search group.
rig_serving() { # NETNS
    rig_listening "$1" "$RIG_PORT" &&
        rig_in_ns "$1" cat /proc/net/igmp 2>/dev/null | grep -q "$(rig_igmp_word "$RIG_GROUP")"
}

# Polls CMD every tenth of a second until it is true; false when JOB (a PID,
# or empty) ends first or after TENTHS tries.
rig_wait_until() { # JOB TENTHS CMD...
    rig_job=$1
    rig_tries=$2
    shift 2
    rig_n=0
    until "$@"; do
        [ -z "$rig_job" ] || kill -0 "$rig_job" 2>/dev/null || return 1
        rig_n=$((rig_n + 1))
        [ $rig_n -le "$rig_tries" ] || return 1
        sleep 0.1
    done
}

# Why this machine cannot host the rig, or nothing (and false when it can):
# root, the given tools, network namespaces and a root a daemon can leave.
rig_host_problem() { # TOOL...
    if [ "$(id -u)" != 0 ]; then
        echo "needs root (network namespaces)"
        return 0
    fi
    for rig_tool in "$@"; do
        if ! command -v "$rig_tool" >/dev/null; then
            echo "$rig_tool is not installed"
            return 0
        fi
    done
    if ! ip netns list >/dev/null 2>&1; then
        echo "ip netns does not work here"
        return 0
    fi
    rig_root_problem
}

# The daemon's own PID: the descendant named qdboot of JOB (a "vcam.sh
# start" the caller runs).
rig_qdboot_pid() { # JOB
    rig_pids=$1
    while [ -n "$rig_pids" ]; do
        rig_next=
        for rig_p in $rig_pids; do
            if [ "$(cat "/proc/$rig_p/comm" 2>/dev/null)" = qdboot ]; then
                echo "$rig_p"
                return 0
            fi
            rig_next="$rig_next $(cat /proc/"$rig_p"/task/*/children 2>/dev/null)"
        done
        # shellcheck disable=SC2086,SC2116 # words of PIDs, joined on one line
        rig_pids=$(echo $rig_next)
    done
    return 1
}
