#!/bin/bash
# orxcmd_bench.sh: end-to-end figures of orxcmd on the key ring corpus (run as root).
#   bench/orxcmd_bench.sh [BUILD-DIR] [CORPUS-DIR]
# Makes a throw-away account, then measures (median of several runs, wall clock):
#   --version start-up; --key-list --with-colons of the 7k rings (first run and later runs);
#   --key-add of the whole 7k public ring into an empty home;
#   encrypt, decrypt, detached sign and verify, one-pass sign and verify of 1 GiB of random data
#   (ORX_BENCH_MESSAGE_MIB to change the size, 0 to skip) in /dev/shm when it has room, else in
#   /tmp: the message fixtures' RSA-2048 key as recipient and signer, AES-256, SHA-256, no
#   compression, files in and out; wall clock and CPU (user + system) of the whole process;
#   gpg encrypting the same file to the same key in the same run, when it is installed.
# ORX_BENCH_SKIP_KEYS=1 measures the messages only.
set -euo pipefail
build=$(realpath "${1:-build}")
corpus=$(realpath "${2:-$(dirname "$0")/../../shared/bench}")
orxcmd=$build/frontends/orxcmd
[ "$(id -u)" = 0 ] || { echo "run as root" >&2; exit 1; }
[ -x "$orxcmd" ] && [ -f "$corpus/pubring-7k.pkr" ] || { echo "need $orxcmd and $corpus" >&2; exit 1; }

user=orxb$$
home=$(mktemp -d /tmp/orx-bench-XXXXXX)
install=$(mktemp -d /tmp/orx-bench-install-XXXXXX)
msgdir=
cleanup() { userdel -f "$user" 2>/dev/null || true; rm -rf "$home" "$install" ${msgdir:+"$msgdir"}; }
trap cleanup EXIT
cp "$build/zaf-template.cfg" "$install/"
chmod 755 "$install"; chmod 644 "$install/zaf-template.cfg"
useradd -M -U -d "$home" -s /bin/sh "$user"
chown "$user:$user" "$home"; chmod 700 "$home"

as_user() { setpriv --reuid="$user" --regid="$user" --init-groups env ORXDIR="$install" HOME="${as_home:-$home}" "$@"; }
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

if [ "${ORX_BENCH_SKIP_KEYS:-0}" != 1 ]; then
    echo "orxcmd --version: $(median_ms 21 as_user "$orxcmd" --version) ms"
    echo "orxcmd --key-add of the 7k public ring into an empty home: $(median_ms 1 as_user "$orxcmd" --key-add "$corpus/pubring-7k.pkr") ms"
    as_user "$orxcmd" --key-list --with-colons | grep -c '^pub:' | sed 's/^/keys listed: /'
    echo "orxcmd --key-list --with-colons, 7k: $(median_ms 5 as_user "$orxcmd" --key-list --with-colons) ms"
    echo "orxcmd --key-list (human), 7k: $(median_ms 5 as_user "$orxcmd" --key-list) ms"
    mkdir -p "$home/.zaf"
    cp "$corpus/pubring-7k.pkr" "$home/.zaf/pubring.pkr"; cp "$corpus/secring-7k.skr" "$home/.zaf/secring.skr"
    chown -R "$user:$user" "$home/.zaf"
    # A listing never rewrites rings another program wrote; the first process keeps its check
    # results in a private file beside them, which every later process reads.
    rm -f "$home/.zaf/pubring.pkr.checks"
    echo "orxcmd --key-list --with-colons, the corpus's 7k rings, first process: $(median_ms 1 as_user "$orxcmd" --key-list --with-colons) ms"
    echo "orxcmd --key-list --with-colons, the corpus's 7k rings, later processes: $(median_ms 5 as_user "$orxcmd" --key-list --with-colons) ms"
    # The mainstream tool on a copy of the same public ring, in the same run.
    if command -v gpg >/dev/null; then
        peerhome=$(mktemp -d /tmp/orx-bench-peer-XXXXXX)
        cp "$corpus/pubring-7k.pkr" "$peerhome/pubring.gpg"
        chown -R "$user:$user" "$peerhome"; chmod 700 "$peerhome"
        gpgl=(gpg --homedir "$peerhome" --no-default-keyring --keyring "$peerhome/pubring.gpg" --list-keys --with-colons)
        as_user "${gpgl[@]}" >/dev/null 2>&1 || true # its trust database is made here
        echo "gpg --list-keys --with-colons, the same ring: $(median_ms 5 as_user "${gpgl[@]}") ms"
        rm -rf "$peerhome"
    fi
    # The same through the toolkit's service: the first run verifies there (not counted).
    if [ -x "$build/toolkit/service/orxsdkd" ]; then
        sdk=$(mktemp -d /tmp/orx-bench-sdk-XXXXXX); chmod 755 "$sdk"
        "$build/toolkit/service/orxsdkd" --foreground --socket "$sdk/orxsdkd.sock" 2>"$sdk/log" &
        sdk_pid=$!
        for _ in $(seq 100); do [ -S "$sdk/orxsdkd.sock" ] && break; sleep 0.1; done
        export ORXSDKD_SOCKET=$sdk/orxsdkd.sock
        as_user "$orxcmd" --key-list --with-colons >/dev/null
        echo "orxcmd --key-list --with-colons, the corpus's 7k rings, orxsdkd running: $(median_ms 5 as_user "$orxcmd" --key-list --with-colons) ms"
        unset ORXSDKD_SOCKET
        kill "$sdk_pid"; wait "$sdk_pid" 2>/dev/null || true
        rm -rf "$sdk"
    fi
    listing=$(as_user "$orxcmd" --key-list --with-colons)
    one=$(awk -F: '/^(pub|sec):/ {print "0x" substr($5, 9); exit}' <<<"$listing")
    echo "orxcmd --key-detail of one key, 7k: $(median_ms 5 as_user "$orxcmd" --key-detail "$one") ms"
fi

# ---- messages, end to end ----
mib=${ORX_BENCH_MESSAGE_MIB:-1024}
[ "$mib" -gt 0 ] || exit 0
keys=$(realpath "$(dirname "$0")/../tests/data/fixtures/messages/keys")
need_kib=$(( mib * 1024 * 4 + 65536 ))
if [ "$(df -k --output=avail /dev/shm | tail -n 1)" -gt "$need_kib" ]; then
    msgdir=$(mktemp -d /dev/shm/orx-bench-msg-XXXXXX)
else
    msgdir=$(mktemp -d /tmp/orx-bench-msg-XXXXXX)
fi
chown "$user:$user" "$msgdir"
as_home=$msgdir/home
as_user mkdir -m 700 "$as_home"
as_user "$orxcmd" --key-add "$keys/dave.sec" >/dev/null
head -c "$((mib * 1024 * 1024))" /dev/urandom >"$msgdir/plain"
chown "$user:$user" "$msgdir/plain"
echo "messages: $mib MiB of random data in $(df --output=fstype "$msgdir" | tail -n 1) ($msgdir)"
# Wall and CPU seconds (median wall of 3 runs, with that run's CPU) and MiB/s of one command.
measure() {
    local label=$1; shift
    local runs=()
    for _ in 1 2 3; do
        rm -f "$msgdir/out"
        local t
        t=$( { TIMEFORMAT='%R %U %S'; time as_user "$@" >/dev/null 2>&1; } 2>&1 )
        runs+=("$t")
    done
    printf '%s\n' "${runs[@]}" | sort -n | sed -n 2p | awk -v l="$label" -v m="$mib" \
        '{printf "%s: %.2f s wall (%.0f MiB/s), %.2f s CPU (%.0f MiB/s)\n", l, $1, m/$1, $2+$3, m/($2+$3)}'
}
o=(--passphrase-fd 0 --cipher AES256 --hash SHA256 --compress no)
measure "encrypt" sh -c "echo | $orxcmd --encrypt $msgdir/plain --userid Dave ${o[*]} --output $msgdir/out"
# The mainstream tool encrypting the same file to the same key with the same choices, same run.
if command -v gpg >/dev/null; then
    peerhome=$msgdir/peer-home
    as_user mkdir -m 700 "$peerhome"
    as_user gpg --batch --quiet --homedir "$peerhome" --import "$keys/dave.pub" 2>/dev/null
    measure "encrypt, gpg" gpg --batch --quiet --yes --homedir "$peerhome" --trust-model always \
        --cipher-algo AES256 --compress-algo none --recipient 8F62B12E99EFDB0B70D71702B977FACF6A0BFDE6 \
        --output "$msgdir/out" --encrypt "$msgdir/plain"
fi
as_user sh -c "$orxcmd --encrypt $msgdir/plain --userid Dave ${o[*]} --output $msgdir/enc </dev/null"
measure "decrypt" sh -c "echo | $orxcmd --decrypt $msgdir/enc --passphrase-fd 0 --output $msgdir/out"
measure "detached sign" sh -c "echo | $orxcmd --sign $msgdir/plain --detached --sign-with Dave ${o[*]} --output $msgdir/out"
as_user sh -c "echo | $orxcmd --sign $msgdir/plain --detached --sign-with Dave ${o[*]} --output $msgdir/sig"
measure "detached verify" "$orxcmd" --verify "$msgdir/sig" "$msgdir/plain"
measure "one-pass sign" sh -c "echo | $orxcmd --sign $msgdir/plain --sign-with Dave ${o[*]} --output $msgdir/out"
as_user sh -c "echo | $orxcmd --sign $msgdir/plain --sign-with Dave ${o[*]} --output $msgdir/signed"
measure "one-pass verify" "$orxcmd" --verify "$msgdir/signed"
