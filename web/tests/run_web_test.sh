#!/usr/bin/env bash
# scripts/run-web.sh started as root: orxweb must run as the unprivileged account named by
# ORXWEB_USER (made when missing) with no new privileges, orxgui as root with a socket for that
# account alone, and SIGTERM to the script must stop both. Needs root and setpriv; exits 77
# (skipped) otherwise.
#   run_web_test.sh BUILD_DIR RUN_WEB_SCRIPT
set -euo pipefail
build=$1
script=$2
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null || ! command -v useradd >/dev/null; then
    echo "skipped: needs root, setpriv and useradd"
    exit 77
fi
tmp=$(mktemp -d)
chmod 755 "$tmp"
# orxweb writes its port file as the account it runs as.
mkdir -m 1777 "$tmp/run"
user="orxrw$$"
pid=""
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    userdel -f "$user" >/dev/null 2>&1 || true
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    cat "$tmp/out" >&2 || true
    exit 1
}
# Polls a condition every 0.1 s for at most $1 tenths of a second.
poll() {
    local tries=$1
    shift
    for _ in $(seq "$tries"); do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    return 1
}
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ORXWEB_STATE="$tmp/state" ORXWEB_USER="$user" ORXWEB_SOCKET="$tmp/run/web.sock" \
    GUI_ARGS="--port $port --local --log-file $tmp/gui.log" \
    "$script" "$build" --port 0 --port-file "$tmp/run/port" --listener-port "$port" >"$tmp/out" 2>&1 &
pid=$!
poll 600 test -s "$tmp/run/port" || fail "orxweb did not start"
web=""
for child in $(ps --ppid "$pid" -o pid=); do
    if [ "$(readlink "/proc/$child/exe")" = "$(readlink -f "$build/web/orxweb")" ]; then
        web=$child
    fi
done
[ -n "$web" ] || fail "no orxweb process under the script"
uid=$(id -u "$user")
read -r _ real effective saved fs < <(grep '^Uid:' "/proc/$web/status")
for id in "$real" "$effective" "$saved" "$fs"; do
    [ "$id" = "$uid" ] || fail "orxweb runs with user id $id, not $user ($uid)"
done
grep -q '^NoNewPrivs:[[:space:]]*1' "/proc/$web/status" || fail "orxweb may gain privileges"
grep -q '^CapEff:[[:space:]]*0*$' "/proc/$web/status" || fail "orxweb holds capabilities"
[ "$(stat -c %U "$tmp/state")" = "$user" ] || fail "the state folder is not $user's"
gui=$(ps --ppid "$pid" -o pid=,comm= | awk '$2 == "orxgui" { print $1 }')
[ -n "$gui" ] || fail "no orxgui process under the script"
[ "$(awk '/^Uid:/ { print $3 }' "/proc/$gui/status")" = 0 ] || fail "orxgui does not run as root"
# orxgui's socket for orxweb: only the account may use it, and orxweb's logins go there.
poll 300 test -S "$tmp/run/web.sock" || fail "orxgui made no web socket"
[ "$(stat -c '%U %a %F' "$tmp/run/web.sock")" = "$user 600 socket" ] ||
    fail "the web socket is not $user's alone: $(stat -c '%U %a %F' "$tmp/run/web.sock")"
grep -q "logins go to the listener's web socket $tmp/run/web.sock" "$tmp/out" ||
    fail "orxweb does not use the web socket"
kill -TERM "$pid"
poll 300 bash -c "! kill -0 $pid 2>/dev/null" || fail "the script did not stop"
wait "$pid" || true
pid=""
! kill -0 "$web" 2>/dev/null || fail "orxweb still runs"
! kill -0 "$gui" 2>/dev/null || fail "orxgui still runs"
echo "run-web.sh: orxweb ran as $user ($uid), without new privileges; both stopped"
