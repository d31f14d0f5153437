#!/usr/bin/env bash
# Starts the listener in the foreground with verbose logging. Extra arguments go to orxgui, for
# example: make run ARGS="--port 17766 --non-secure".
# Users log in with their Unix account and password (orxgui must run as root to check passwords
# and switch to the user; see README). The user configuration template is taken from the build
# directory unless ORXDIR names an installation directory.
set -euo pipefail
build=${1:-build}
bin="$build/listener/orxgui"
if [ ! -x "$bin" ]; then
    echo "orxgui is not built in $build" >&2
    exit 1
fi
export ORXDIR="${ORXDIR:-$(cd "$build" && pwd)}"
exec "$bin" --info verbose "${@:2}"
