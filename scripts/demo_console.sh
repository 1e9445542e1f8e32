# shellcheck shell=bash
# The site from the browser (scripts/demo.sh --console): the fleet demo's
# LAN of five A/B cameras (scripts/demo_fleet.sh; camera 4's new firmware
# fails its health check) and `qdupk console` serving them. The console
# binds its socket on this machine's own 127.0.0.1 and then enters the
# LAN's PC namespace, where it searches, asks status and uploads: the host's
# browser reaches it, and nothing of the root namespace's interfaces is
# touched. The script prints the address to open and waits until Ctrl-C;
# with --check it instead trades the address's token for a session as the
# page does, fetches the page and the camera list with curl, checks them and
# ends. Sourced by scripts/demo.sh after scripts/demo_fleet.sh, whose LAN
# and package it reuses.

CONSOLE_PORT=8088
CONSOLE_CHECK=0
# Ceiling for the console to print its address, and for its first search.
CONSOLE_START_TENTHS=300
CONSOLE_SEARCH_TENTHS=300

console_url() {
    sed -n 's/^open //p' "$SITE/console.out" | head -n 1
}

console_has_url() {
    [ -n "$(console_url)" ]
}

console_built() {
    "$BIN/qdupk" console --help >/dev/null 2>&1 ||
        cannot_run "$BIN/qdupk has no console (built without cpp-httplib: install libcpp-httplib-dev and build again)"
}

# The console is the PC side here: demo.sh's teardown ends it by its PID
# (SIGTERM: a running rollout is aborted, its files removed) before the LAN
# goes.
console_up() {
    section "qdupk console (socket on 127.0.0.1, everything else in the PC namespace)"
    local cmd=("$BIN/qdupk" console --listen "127.0.0.1:$CONSOLE_PORT"
        --netns "$(lan_value pcns)" --interface pc0)
    echo "qdupk console --listen 127.0.0.1:$CONSOLE_PORT --netns $(lan_value pcns) --interface pc0"
    "${cmd[@]}" >"$SITE/console.out" 2>"$SITE/console.err" </dev/null &
    PC_PID=$!
    rig_wait_until "$PC_PID" "$CONSOLE_START_TENTHS" console_has_url ||
        cannot_run "the console did not start: $(cat "$SITE/console.err")"
    CONSOLE_URL=$(console_url)
    CONSOLE_BASE=${CONSOLE_URL%%/#*}
    CONSOLE_TOKEN=${CONSOLE_URL##*#t=}
}

console_wait() {
    echo
    echo "Open this address in this machine's browser:"
    echo
    echo "    $CONSOLE_URL"
    echo
    echo "The package to choose on the page: $PKG"
    echo "(firmware $NEW_VERSION; with \"Wait for return\" set, 60 s say, the others confirm"
    echo "and camera $UNHEALTHY's new firmware fails its health check and rolls back)"
    echo "The console's own messages: $SITE/console.err"
    echo "Ctrl-C ends the console and tears the cameras down."
    wait "$PC_PID"
    local rc=$?
    PC_PID=
    echo "the console ended by itself (exit status $rc):" >&2
    cat "$SITE/console.err" >&2
    exit 1
}

# curl on the console, as the page's browser would call it; prints the body
# and then the HTTP status on a line of its own.
console_curl() { # PATH [CURL-ARGS...]
    local path=$1
    shift
    curl -sS --max-time 10 -w '\n%{http_code}\n' "$@" "$CONSOLE_BASE$path"
}

status_of() { tail -n 1; }
body_of() { sed '$d'; }

console_session() {
    console_curl /api/session -c "$SITE/cookies" -H "Origin: $CONSOLE_BASE" \
        -H 'Content-Type: application/json' --data "{\"token\": \"$CONSOLE_TOKEN\"}"
}

# The camera list once the search is over.
cameras_listed() {
    console_curl /api/cameras -b "$SITE/cookies" >"$SITE/cameras.out" 2>&1 || return 1
    [ "$(status_of <"$SITE/cameras.out")" = 200 ] &&
        grep -Eq '"searching": ?false' "$SITE/cameras.out" &&
        [ "$(camera_count)" -ge "$LAN_CAMERAS" ]
}

camera_count() {
    body_of <"$SITE/cameras.out" | grep -o '"target": \{0,1\}"[^"]*"' | sort -u | wc -l
}

# Every camera of the LAN, by its address and the rig's port.
cameras_all_listed() {
    local i
    for i in $(seq "$LAN_CAMERAS"); do
        grep -q "\"$(lan_value "c$i.devaddr"):$RIG_PORT\"" "$SITE/cameras.out" || return 1
    done
}

same_netns() { # PID NETNS
    [ "$(stat -L -c %i "/proc/$1/ns/net")" = "$(stat -L -c %i "/run/netns/$2")" ]
}

page_served() {
    console_curl / -b "$SITE/cookies" >"$SITE/page.out" &&
        [ "$(status_of <"$SITE/page.out")" = 200 ] && grep -q 'id="cameras"' "$SITE/page.out"
}

not_listening_in_pc() {
    ! rig_listening "$(lan_value pcns)" "$(console_port)"
}

# What a port number of 0 became: the one in the printed address.
console_port() {
    echo "${CONSOLE_BASE##*:}"
}

console_checks() {
    section "Checks (curl from the root namespace, as the host's browser)"
    command -v curl >/dev/null || cannot_run "curl is not installed (scripts/setup-deps.sh rig)"
    check "the console printed its address with a token" \
        test -n "$CONSOLE_TOKEN" -a "$CONSOLE_TOKEN" != "$CONSOLE_URL"
    check "without a session the API answers 401" \
        test "$(console_curl /api/cameras | status_of)" = 401
    check "the token buys a session (204 and a cookie)" \
        test "$(console_session | status_of)" = 204
    check "the page is served to the session" page_served
    rig_wait_until "$PC_PID" "$CONSOLE_SEARCH_TENTHS" cameras_listed
    echo "GET /api/cameras:"
    body_of <"$SITE/cameras.out" | cut -c1-300 | indent
    check "the search in the PC namespace found all $LAN_CAMERAS cameras" cameras_all_listed
    check "the console runs in the PC namespace" same_netns "$PC_PID" "$(lan_value pcns)"
    check "nothing listens on port $(console_port) in the PC namespace" not_listening_in_pc
}

console_main() {
    console_built
    # A LAN of its own: the fleet demo may run beside this one (ctest -j).
    LAN=console
    fleet_up
    fleet_package
    console_up
    # Serves until Ctrl-C, which ends the script through its teardown.
    [ "$CONSOLE_CHECK" = 1 ] || console_wait
    console_checks
    summary
}
