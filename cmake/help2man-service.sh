#!/bin/sh
# Runs help2man-run.sh for a program that needs the toolkit's service before it reads its command
# line (orxcache), with a service of its own on a socket in a temporary folder:
#   help2man-service.sh ORXSDKD PROGRAM ARGS...
orxsdkd=$1
shift
dir=$(mktemp -d) || exit 1
"$orxsdkd" --foreground --socket "$dir/socket" >/dev/null 2>&1 &
service=$!
# The socket appears once the service listens (at most ~10 s).
tries=0
while [ ! -S "$dir/socket" ] && [ $tries -lt 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
ORXSDKD_SOCKET="$dir/socket" "$(dirname "$0")/help2man-run.sh" "$@"
status=$?
kill "$service" 2>/dev/null
wait "$service" 2>/dev/null
rm -rf "$dir"
exit $status
