#!/bin/sh
# shellcheck disable=SC2016 # the inner script expands its own arguments
# own_lock.sh CMD...: runs CMD with a lock directory of its own. libubootenv
# locks one file under /var/lock for every environment on the machine, so a
# process elsewhere that holds it (a hung test, a camera being upgraded)
# would stall these tests. Without root or mount namespaces, CMD runs as is.
lock=$(readlink -f /var/lock)
if [ "$(id -u)" = 0 ] && [ -d "$lock" ] && unshare -m --propagation private true 2>/dev/null; then
    exec unshare -m --propagation private sh -c \
        'mount -t tmpfs -o size=1m qdboot-lock "$0" && shift && exec "$@"' "$lock" sh "$@"
fi
exec "$@"
