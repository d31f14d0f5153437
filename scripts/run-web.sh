#!/usr/bin/env bash
# Starts the listener orxgui in the background and the web console orxweb in the foreground;
# stopping orxweb (Ctrl-C) stops both. Extra arguments go to orxweb (make run-web ARGS="..."),
# GUI_ARGS to orxgui. The self-signed certificate is kept in $ORXWEB_STATE (default
# <build>/orxweb-state).
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
# Both run in the background so that this script, which receives Ctrl-C and SIGTERM, can stop
# them in order.
# shellcheck disable=SC2086
"$gui" --info verbose ${GUI_ARGS:-} &
gui_pid=$!
"$web" --state-dir "${ORXWEB_STATE:-$build/orxweb-state}" "${@:2}" &
web_pid=$!
trap 'kill "$web_pid" 2>/dev/null || true' INT TERM
status=0
wait "$web_pid" || status=$?
# wait returns early when a signal arrives; the second wait collects orxweb's own end.
wait "$web_pid" 2>/dev/null || true
kill "$gui_pid" 2>/dev/null || true
wait "$gui_pid" 2>/dev/null || true
exit "$status"
