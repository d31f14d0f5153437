#!/bin/bash
# orxcmd_bench.sh: end-to-end figures of orxcmd on the key ring corpus (run as root).
#   bench/orxcmd_bench.sh [BUILD-DIR] [CORPUS-DIR]
# Makes a throw-away account, then measures (median of several runs, wall clock):
#   --version start-up; --key-list --with-colons of the 7k rings (first run and later runs);
#   --key-add of the whole 7k public ring into an empty home.
set -euo pipefail
build=$(realpath "${1:-build}")
corpus=$(realpath "${2:-$(dirname "$0")/../../shared/bench}")
orxcmd=$build/frontends/orxcmd
[ "$(id -u)" = 0 ] || { echo "run as root" >&2; exit 1; }
[ -x "$orxcmd" ] && [ -f "$corpus/pubring-7k.pkr" ] || { echo "need $orxcmd and $corpus" >&2; exit 1; }

user=orxb$$
home=$(mktemp -d /tmp/orx-bench-XXXXXX)
install=$(mktemp -d /tmp/orx-bench-install-XXXXXX)
cleanup() { userdel -f "$user" 2>/dev/null || true; rm -rf "$home" "$install"; }
trap cleanup EXIT
cp "$build/zaf-template.cfg" "$install/"
chmod 755 "$install"; chmod 644 "$install/zaf-template.cfg"
useradd -M -U -d "$home" -s /bin/sh "$user"
chown "$user:$user" "$home"; chmod 700 "$home"

as_user() { setpriv --reuid="$user" --regid="$user" --init-groups env ORXDIR="$install" HOME="$home" "$@"; }
# Median wall-clock milliseconds of N runs of a command (output discarded).
median_ms() {
    local n=$1; shift
    local times=()
    for _ in $(seq "$n"); do
        local t0 t1
        t0=$(date +%s%N); "$@" >/dev/null 2>&1 || true; t1=$(date +%s%N)
        times+=($(( (t1 - t0) / 1000 )))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.1f", a[int((NR+1)/2)]/1000}'
}

echo "orxcmd --version: $(median_ms 21 as_user "$orxcmd" --version) ms"
echo "orxcmd --key-add of the 7k public ring into an empty home: $(median_ms 1 as_user "$orxcmd" --key-add "$corpus/pubring-7k.pkr") ms"
as_user "$orxcmd" --key-list --with-colons | grep -c '^pub:' | sed 's/^/keys listed: /'
echo "orxcmd --key-list --with-colons, 7k: $(median_ms 5 as_user "$orxcmd" --key-list --with-colons) ms"
echo "orxcmd --key-list (human), 7k: $(median_ms 5 as_user "$orxcmd" --key-list) ms"
mkdir -p "$home/.zaf"
cp "$corpus/pubring-7k.pkr" "$home/.zaf/pubring.pkr"; cp "$corpus/secring-7k.skr" "$home/.zaf/secring.skr"
chown -R "$user:$user" "$home/.zaf"
echo "orxcmd --key-list --with-colons, the corpus's 7k rings: $(median_ms 5 as_user "$orxcmd" --key-list --with-colons) ms"
listing=$(as_user "$orxcmd" --key-list --with-colons)
one=$(printf '%s\n' "$listing" | awk -F: '/^(pub|sec):/ {print "0x" substr($5, 9)}' | head -n 1)
echo "orxcmd --key-detail of one key, 7k: $(median_ms 5 as_user "$orxcmd" --key-detail "$one") ms"
