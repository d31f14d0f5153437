#!/usr/bin/env bash
# Starts the listener orxgui in the background and the web console orxweb in the foreground;
# stopping orxweb (Ctrl-C) stops both. Extra arguments go to orxweb (make run-web ARGS="..."),
# GUI_ARGS to orxgui. The self-signed certificate and the listener's pinned host key are kept in
# $ORXWEB_STATE (default <build>/orxweb-state).
#
# orxweb needs no rights (it never opens a user's files; the listener checks passwords and works
# as each user), so when this script runs as root, orxweb runs as the unprivileged account
# $ORXWEB_USER (default "orxweb", a system account without a login shell, made when missing),
# with no way back to root (no new privileges). Only orxgui runs as root. Logins then go to
# orxgui's socket for orxweb ($ORXWEB_SOCKET, default /run/orxgui/web.sock), which only that
# account may use and where each login names the browser's address: orxgui runs with a site file
# of its own, the installation's settings plus WebAccount and WebSocket.
set -euo pipefail
build=${1:-build}
gui="$build/listener/orxgui"
web="$build/web/orxweb"
for bin in "$gui" "$web"; do
    if [ ! -x "$bin" ]; then
        echo "$bin is not built" >&2
        exit 1
    fi
done
export ORXDIR="${ORXDIR:-$(cd "$build" && pwd)}"
state="${ORXWEB_STATE:-$build/orxweb-state}"
assets="$(cd "$(dirname "$0")/../web/static" && pwd)"
mkdir -p "$state"
run_web=()
gui_site=()
web_socket=()
site=""
if [ "$(id -u)" -eq 0 ]; then
    user="${ORXWEB_USER:-orxweb}"
    if ! id -u "$user" >/dev/null 2>&1; then
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
            --user-group "$user"
        echo "made the system account $user for orxweb" >&2
    fi
    if [ "$(id -u "$user")" -eq 0 ]; then
        echo "ORXWEB_USER=$user is root; orxweb must run as an unprivileged account" >&2
        exit 1
    fi
    chown -R "$user:" "$state"
    chmod 700 "$state"
    run_web=(setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups --no-new-privs --)
    # The account must reach the program and the page's files.
    for path in "$web" "$assets/index.html"; do
        if ! "${run_web[@]}" test -r "$path"; then
            echo "$user cannot read $path: give it access to the source and build folders," \
                "or name another account with ORXWEB_USER" >&2
            exit 1
        fi
    done
    socket="${ORXWEB_SOCKET:-/run/orxgui/web.sock}"
    site=$(mktemp)
    if [ -f "$ORXDIR/orxgui-site.cfg" ]; then
        grep -viE '^[[:space:]]*web(account|socket)[[:space:]]*=' "$ORXDIR/orxgui-site.cfg" \
            >"$site" || true
    fi
    printf 'WebAccount=%s\nWebSocket=%s\n' "$user" "$socket" >>"$site"
    gui_site=(--site-file "$site")
    web_socket=(--listener-socket "$socket")
fi
# Both run in the background so that this script, which receives Ctrl-C and SIGTERM, can stop
# them in order.
# shellcheck disable=SC2086
"$gui" --info verbose "${gui_site[@]}" ${GUI_ARGS:-} &
gui_pid=$!
"${run_web[@]}" "$web" --state-dir "$state" --assets "$assets" "${web_socket[@]}" "${@:2}" &
web_pid=$!
trap 'kill "$web_pid" 2>/dev/null || true' INT TERM
status=0
wait "$web_pid" || status=$?
# wait returns early when a signal arrives; the second wait collects orxweb's own end.
wait "$web_pid" 2>/dev/null || true
kill "$gui_pid" 2>/dev/null || true
wait "$gui_pid" 2>/dev/null || true
[ -z "$site" ] || rm -f "$site"
exit "$status"
