#!/usr/bin/env bash
# Starts the listener in the foreground with verbose logging (non-root users get a high port).
set -euo pipefail
build=${1:-build}
bin="$build/listener/orxgui"
if [ ! -x "$bin" ]; then
    echo "orxgui is not built yet; the programs built so far:"
    for lib in "$build"/oozaf/libORXClasses.so "$build"/toolkit/libORXsdk.so; do
        [ -e "$lib" ] && echo "  $lib"
    done
    exit 0
fi
exec "$bin" --info verbose "${@:2}"
