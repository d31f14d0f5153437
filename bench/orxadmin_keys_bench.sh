#!/bin/bash
# orxadmin_keys_bench.sh: `orxadmin keys` end to end, as whole processes, against a real orxgui
# on a loopback port (run as root).
#   bench/orxadmin_keys_bench.sh [BUILD-DIR] [CORPUS-DIR] [RUNS]
# Makes a throw-away account whose public ring is the corpus's 1k ring, then its 7k ring, starts
# orxgui (secure channel, the fixed test host key) and runs the console RUNS times per ring
# (default 9). Prints the median and best wall clock, the median client CPU (user + system) and
# the largest client peak memory (maximum resident set), then the same for `--xml keys` (the reply
# passed through unparsed), and the mainstream tool's local listing of the same keys. The first
# run per ring is not counted: it fills the listener's cache the way a user's first request does
# (and, with a process per session, writes the keys summary kept beside the rings).
# Last, the 1k ring with a flooded key (see below), as stored and as imported.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-build}")
corpus=$(realpath "${2:-$here/../../shared/bench}")
runs=${3:-9}
orxgui=$build/listener/orxgui
orxadmin=$build/tools/orxadmin
[ "$(id -u)" = 0 ] || { echo "run as root" >&2; exit 1; }
[ -x "$orxgui" ] && [ -x "$orxadmin" ] || { echo "need $orxgui and $orxadmin" >&2; exit 1; }
[ -f "$corpus/pubring-1k.pkr" ] && [ -f "$corpus/pubring-7k.pkr" ] || {
    echo "need the corpus in $corpus" >&2; exit 1; }

user=orxk$$
password="Pw-$user-5x!"
home=$(mktemp -d /tmp/orx-keys-bench-XXXXXX)
work=$(mktemp -d /tmp/orx-keys-bench-work-XXXXXX)
gui_pid=
cleanup() {
    [ -n "$gui_pid" ] && kill "$gui_pid" 2>/dev/null && wait "$gui_pid" 2>/dev/null
    userdel -f "$user" 2>/dev/null || true
    rm -rf "$home" "$work"
}
trap cleanup EXIT
useradd -M -U -d "$home" -s /bin/sh "$user"
echo "$user:$password" | chpasswd
chown "$user:$user" "$home"; chmod 700 "$home"
mkdir -p "$home/.zaf"

install=$work/install
mkdir -p "$install/hostkey"
cp "$build/zaf-template.cfg" "$install/"
cp "$here/../tests/data/hostkey/hostkey.pkr" "$here/../tests/data/hostkey/hostkey.skr" \
    "$install/hostkey/"
chmod 755 "$work" "$install"; chmod 644 "$install/zaf-template.cfg"
chmod 700 "$install/hostkey"; chmod 600 "$install/hostkey/"*

# A free loopback port: the kernel's choice for a socket bound to port 0.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ORXDIR=$install "$orxgui" --port "$port" --bind 127.0.0.1 --local --log-file "$work/orxgui.log" \
    --info verbose >"$work/orxgui.out" 2>&1 &
gui_pid=$!
for _ in $(seq 300); do
    grep -q "Initialization completed successfully." "$work/orxgui.log" 2>/dev/null && break
    kill -0 "$gui_pid" 2>/dev/null || { cat "$work/orxgui.out" "$work/orxgui.log" >&2; exit 1; }
    sleep 0.1
done
grep -q "Initialization completed successfully." "$work/orxgui.log" || {
    echo "orxgui did not come up" >&2; exit 1; }

export ORXADMIN_PASSWORD=$password
console() {
    "$orxadmin" --port "$port" --user "$user" --known-hosts "$work/known_hosts" \
        --accept-new-host-key --timeout 900 "$@"
}

# Runs the console RUNS times (after one run not counted) and prints median / best wall clock,
# median CPU and the largest peak resident set. GNU time writes "wall cpu kib" to a file.
measure() {
    local label=$1; shift
    console "$@" >"$work/out.txt"
    local lines
    lines=$(wc -l <"$work/out.txt")
    : >"$work/times.txt"
    for _ in $(seq "$runs"); do
        /usr/bin/time -f '%e %U %S %M' -a -o "$work/times.txt" \
            "$orxadmin" --port "$port" --user "$user" --known-hosts "$work/known_hosts" \
            --accept-new-host-key "$@" >/dev/null
    done
    sort -n "$work/times.txt" | awk -v label="$label" -v lines="$lines" '
        { wall[NR] = $1; cpu[NR] = $2 + $3; if ($4 > rss) rss = $4 }
        END {
            n = NR
            for (i = 2; i <= n; ++i)        # insertion sort: mawk has no asort
                for (j = i; j > 1 && cpu[j - 1] > cpu[j]; --j) {
                    t = cpu[j]; cpu[j] = cpu[j - 1]; cpu[j - 1] = t
                }
            printf "%-34s wall median %.3f s, best %.3f s; client CPU %.3f s; peak %.1f MiB (%d lines)\n",
                   label, wall[int((NR + 1) / 2)], wall[1], cpu[int((n + 1) / 2)], rss / 1024, lines
        }'
}

ring() {
    # The corpus files are read-only; a ring the user cannot write refuses imports.
    install -m 644 "$1" "$home/.zaf/pubring.pkr"
    rm -f "$home/.zaf/secring.skr"
    chown -R "$user:$user" "$home/.zaf"
    # The listener keeps a summary beside the rings only of rings last changed over a second ago.
    sleep 2
}

# The mainstream tool's local listing of the same keys, RUNS times after one not counted, from
# its own keybox after an import of the ring (skipped when gpg is not installed).
mainstream() {
    command -v gpg >/dev/null || { echo "gpg is not installed: no local listing to compare"; return; }
    local peerhome=$work/peer-home-$2
    mkdir -p "$peerhome"; chmod 700 "$peerhome"
    gpg --homedir "$peerhome" --batch --quiet --import "$1" >/dev/null 2>&1 || true
    gpg --homedir "$peerhome" --list-keys >/dev/null 2>&1
    : >"$work/gpg-times.txt"
    for _ in $(seq "$runs"); do
        /usr/bin/time -f '%e' -a -o "$work/gpg-times.txt" \
            gpg --homedir "$peerhome" --list-keys >/dev/null 2>&1
    done
    sort -n "$work/gpg-times.txt" | awk -v label="gpg --list-keys, $2" '
        { wall[NR] = $1 }
        END { printf "%-34s wall median %.3f s, best %.3f s\n", label, wall[int((NR + 1) / 2)], wall[1] }'
}

for size in 1k 7k; do
    ring "$corpus/pubring-$size.pkr"
    measure "orxadmin keys, $size" keys
    measure "orxadmin --xml keys, $size" --xml keys
    mainstream "$corpus/pubring-$size.pkr" "$size"
done
# A key flooded with 40,000 certifications by strangers (the 7k ring's last key, not in the 1k
# ring) beside the 1k keys: stored as it came (a ring written by another program), then imported
# through the listener, which keeps the newest 100 per user ID.
python3 "$here/make_flooded_key.py" "$corpus/pubring-7k.pkr" 6999 40000 "$work/flood.pkr"
cat "$corpus/pubring-1k.pkr" "$work/flood.pkr" >"$work/flooded.pkr"
ring "$work/flooded.pkr"
measure "orxadmin keys, 1k + flooded, as stored" keys
ring "$corpus/pubring-1k.pkr"
console import "$work/flood.pkr" || { tail -n 30 "$work/orxgui.log" >&2; ls -la "$home/.zaf" >&2; exit 1; }
measure "orxadmin keys, 1k + flooded, imported" keys
