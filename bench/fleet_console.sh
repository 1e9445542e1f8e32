# shellcheck shell=sh disable=SC2034 # WALL, PACKAGE_WALL, RSS_KIB: read by fleet_rig.sh
# The fleet benchmark's rollout through `qdupk console` (sourced by
# bench/fleet_rig.sh, whose WORK, BIN, PCNS, PARALLEL, say and elapsed it
# uses): a console of its own for each measure, its socket on this
# namespace's 127.0.0.1 and everything else in the LAN's PC namespace
# (--netns); the package is sent and the rollout started and followed
# through the API with curl, as the page does it.

CONSOLE_PID=

console_stop() {
    [ -n "$CONSOLE_PID" ] || return 0
    kill "$CONSOLE_PID" 2>/dev/null || true
    wait "$CONSOLE_PID" 2>/dev/null || true
    CONSOLE_PID=
}

console_url() {
    sed -n 's/^open //p' "$WORK/console.out" | head -n 1
}

# Starts the console on the LAN's cameras (no search: the targets file)
# and opens a session; sets BASE.
console_start() {
    "$BIN/qdupk" console --listen 127.0.0.1:0 --netns "$PCNS" --no-search \
        --targets "$WORK/targets" >"$WORK/console.out" 2>"$WORK/console.err" </dev/null &
    CONSOLE_PID=$!
    n=0
    until [ -n "$(console_url)" ]; do
        if ! kill -0 "$CONSOLE_PID" 2>/dev/null || [ $n -ge 300 ]; then
            say "the console did not start:"
            cat "$WORK/console.err" >&2
            exit 1
        fi
        sleep 0.1
        n=$((n + 1))
    done
    url=$(console_url)
    BASE=${url%%/#*}
    : >"$WORK/cookies"
    api_json POST /api/session "{\"token\": \"${url##*#t=}\"}" -c "$WORK/cookies" >/dev/null
}

# One API call; fails (and says why) unless the answer is 2xx. Prints the
# body.
api() { # METHOD PATH [CURL-ARGS...]
    method=$1 path=$2
    shift 2
    code=$(curl -sS --max-time 600 -o "$WORK/api.out" -w '%{http_code}' -X "$method" \
        -b "$WORK/cookies" -H "Origin: $BASE" "$@" "$BASE$path") || code=000
    case $code in
    2??) cat "$WORK/api.out" ;;
    *)
        say "$method $path: $code $(cat "$WORK/api.out" 2>/dev/null)"
        exit 1
        ;;
    esac
}

api_json() { # METHOD PATH BODY [CURL-ARGS...]
    method=$1 path=$2 body=$3
    shift 3
    api "$method" "$path" --data "$body" -H 'Content-Type: application/json' "$@"
}

json_text() { # MEMBER: its first string value in the JSON on stdin
    sed -n "s/.*\"$1\": *\"\\([^\"]*\\)\".*/\\1/p" | head -n 1
}

targets_json() {
    awk 'BEGIN { printf "[" } { printf "%s\"%s\"", sep, $1; sep = ", " } END { printf "]" }' \
        "$WORK/targets"
}

# The package sent to the console, the rollout to every camera started and
# its events followed to "finished"; sets WALL (from the package's first
# byte to the end of the events, so the console's verification counts as
# the rollout's does), PACKAGE_WALL (its part that sent and verified the
# package) and RSS_KIB (the console's peak resident set).
console_rollout() { # TAG
    console_start
    t0=$(now)
    # A failed call ends only its command substitution: the empty id says so.
    pkg=$(api POST "/api/packages?name=fleet.upg" --data-binary "@$WORK/fleet.upg" \
        -H 'Content-Type: application/octet-stream' -H 'Expect:' | json_text id)
    [ -n "$pkg" ] || exit 1
    PACKAGE_WALL=$(elapsed "$t0" "$(now)")
    id=$(api_json POST /api/rollouts \
        "{\"package\": \"$pkg\", \"targets\": $(targets_json), \"parallel\": $PARALLEL}" |
        json_text id)
    [ -n "$id" ] || exit 1
    curl -sS -N --max-time 900 -b "$WORK/cookies" "$BASE/api/rollouts/$id/events" \
        >"$WORK/events-$1" || true
    WALL=$(elapsed "$t0" "$(now)")
    RSS_KIB=$(awk '$1 == "VmHWM:" { print $2 }' "/proc/$CONSOLE_PID/status")
    api GET "/api/rollouts/$id/report.json" >"$WORK/console-$1.json"
    ok=$(grep -o '"result": *"ok"' "$WORK/console-$1.json" | wc -l)
    console_stop
    [ "$ok" = "$(wc -l <"$WORK/targets")" ] || {
        say "console rollout $1: only $ok cameras ok"
        tail -n 5 "$WORK/events-$1" >&2
        exit 1
    }
}
