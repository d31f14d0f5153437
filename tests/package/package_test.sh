#!/usr/bin/env bash
# The package's life on this machine (root; CI is a throw-away machine): build it from a Release
# build folder, check it with lintian, install it with apt-get, verify the systemd units, start
# the installed orxgui with its unit's command line and capabilities, log in as a throw-away Unix
# account with the installed orxadmin, list and import keys, stop; upgrade to a rebuilt package
# with a higher version and check that edited configuration files and the host key survived;
# purge and check that nothing of the package is left but the user's own files.
#
#   tests/package/package_test.sh [BUILD_FOLDER]      (default: build)
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "package test: needs root" >&2; exit 1; }
if dpkg-query -W -f='${Status}' vorn-server 2>/dev/null | grep -q "ok installed"; then
    echo "package test: vorn-server is installed on this machine; remove it first" >&2
    exit 1
fi

work=$(mktemp -d /tmp/vorn-package-test.XXXXXX)
account="vornpkg$$"
password="Pkg-$RANDOM-$RANDOM-pw"
daemon_pid=""
step() { echo "== package test (${SECONDS}s): $*"; }
fail() { echo "package test FAILED: $*" >&2; exit 1; }
cleanup() {
    if [ -n "$daemon_pid" ]; then kill -TERM "$daemon_pid" 2>/dev/null || true; fi
    if dpkg-query -W -f='${Status}' vorn-server 2>/dev/null | grep -q "installed"; then
        apt-get purge -y -q -o DPkg::Lock::Timeout=120 vorn-server >/dev/null 2>&1 || true
    fi
    userdel -r "$account" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=120 "$@"; }

# What the package may leave on purge: the package manager's own records and caches.
snapshot() {
    find /etc /usr /var /lib /opt -xdev \
        \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log/apt \
        -o -path /var/log/dpkg.log -o -path /var/tmp -o -path /var/lib/systemd/deb-systemd-helper-masked \
        -o -path /etc/ld.so.cache -o -path /var/lib/ucf -o -path /var/lib/man-db \) -prune \
        -o -print 2>/dev/null | grep -Ev '^/etc/[a-z]+(\.lock|-)$' | sort
}

# Builds the package with the Debian revision $1 and prints its path.
build_package() {
    rm -f "$build"/vorn-server_*.deb
    (cd "$build" && ORX_PACKAGE_RELEASE=$1 cpack -G DEB >"$work/cpack-$1.log" 2>&1) ||
        { cat "$work/cpack-$1.log" >&2; fail "cpack"; }
    ls "$build"/vorn-server_*-"$1"_*.deb
}

# The value of KEY= in a unit file (the first line that sets it).
unit_value() { sed -n "s/^$2=//p" "$1" | head -n 1; }

# Runs the unit's ExecStart= as systemd would: Environment=, then EnvironmentFile=, "${VAR}" as
# one word and "$VAR" split at blanks, the unit's umask, no new privileges and exactly its
# capability bounding set. Starts it in the background and sets daemon_pid.
start_unit() {
    local unit=$1 log=$2
    local -a command=() caps=()
    declare -A env=()
    local assignment word name
    for assignment in $(unit_value "$unit" Environment); do env[${assignment%%=*}]=${assignment#*=}; done
    local envfile
    envfile=$(unit_value "$unit" EnvironmentFile)
    envfile=${envfile#-}
    if [ -f "$envfile" ]; then
        while IFS= read -r assignment; do
            name=${assignment%%=*}
            env[$name]=$(bash -c "set -a; . '$envfile'; printf '%s' \"\${$name}\"")
        done < <(grep -E '^[A-Za-z_][A-Za-z0-9_]*=' "$envfile")
    fi
    for word in $(unit_value "$unit" ExecStart); do
        if [[ $word =~ ^\$\{([A-Za-z_][A-Za-z0-9_]*)\}$ ]]; then
            command+=("${env[${BASH_REMATCH[1]}]-}")
        elif [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
            # shellcheck disable=SC2206
            command+=(${env[${BASH_REMATCH[1]}]-})
        else
            command+=("$word")
        fi
    done
    for word in $(unit_value "$unit" CapabilityBoundingSet); do
        word=${word#CAP_}
        caps+=("+${word,,}")
    done
    local bounding="-all"
    [ ${#caps[@]} -eq 0 ] || bounding="-all,$(IFS=,; echo "${caps[*]}")"
    local -a exported=()
    for name in "${!env[@]}"; do exported+=("$name=${env[$name]}"); done
    echo "   unit command line: ${command[*]} (bounding set $bounding)"
    (
        umask "$(unit_value "$unit" UMask)"
        exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${exported[@]}" \
            setpriv --no-new-privs --bounding-set "$bounding" --inh-caps=-all -- "${command[@]}"
    ) >"$log" 2>&1 &
    daemon_pid=$!
}

wait_for_port() {
    local port=$1 i
    for i in $(seq 1 600); do
        if ! kill -0 "$daemon_pid" 2>/dev/null; then return 1; fi
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    return 1
}

stop_daemon() {
    kill -TERM "$daemon_pid"
    local i
    for i in $(seq 1 300); do
        kill -0 "$daemon_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$daemon_pid" 2>/dev/null; then fail "orxgui did not stop on SIGTERM"; fi
    wait "$daemon_pid" || fail "orxgui ended with status $? on SIGTERM"
    daemon_pid=""
}

console() {
    /usr/bin/orxadmin --host 127.0.0.1 --port "$port" --user "$account" \
        --password-file "$work/password" --accept-new-host-key \
        --known-hosts "$work/known_hosts" "$@"
}

step "build vorn-server from $build"
deb=$(build_package 1)
dpkg-deb --contents "$deb" >"$work/contents"
for path in ./usr/sbin/orxgui ./usr/sbin/orxweb ./usr/bin/orxadmin ./usr/bin/orxcmd \
    ./etc/vorn/zaf-template.cfg ./etc/vorn/zaf-policy.cfg ./etc/vorn/zaf-default.cfg \
    ./etc/vorn/orxgui-site.cfg ./etc/default/vorn-server ./etc/logrotate.d/vorn-server \
    ./lib/systemd/system/orxgui.service ./usr/share/man/man8/orxgui.8.gz \
    ./usr/share/man/man1/orxadmin.1.gz ./usr/share/man/man1/orxcmd.1.gz \
    ./usr/share/doc/vorn-server/copyright "./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libORXsdk.so.0"; do
    grep -q " $path\( \|$\)" "$work/contents" || fail "$path is not in the package"
done
dpkg-deb --field "$deb" Depends | grep -q "libbotan-2" || fail "no dependency on Botan worked out"

step "lintian"
lintian --fail-on error,warning "$deb" | tee "$work/lintian" || fail "lintian reports errors or warnings"

step "install with apt-get"
useradd -m -s /bin/bash "$account"
echo "$account:$password" | chpasswd
printf '%s\n' "$password" >"$work/password"
snapshot >"$work/before"
apt_get install --no-install-recommends "$deb" >"$work/apt-install.log" 2>&1 || { cat "$work/apt-install.log"; fail "install"; }
[ "$(stat -c %a /var/lib/vorn)" = 700 ] || fail "/var/lib/vorn is not 0700"
[ "$(stat -c %a /var/log/vorn)" = 700 ] || fail "/var/log/vorn is not 0700"
/usr/bin/orxcmd --version >/dev/null || fail "the installed orxcmd does not run"
logrotate --debug /etc/logrotate.d/vorn-server >"$work/logrotate" 2>&1 ||
    { cat "$work/logrotate"; fail "logrotate does not take the rule"; }

step "systemd-analyze verify"
mapfile -t units < <(dpkg -L vorn-server | grep '^/lib/systemd/system/.*\.service$')
[ ${#units[@]} -ge 2 ] || fail "the units are not installed"
systemd-analyze verify "${units[@]}" || fail "systemd-analyze verify"
# The hardening stays "OK": an exposure below 5 (the threshold is in tenths).
for unit in "${units[@]}"; do
    name=$(basename "$unit")
    systemd-analyze security --offline=true --threshold=49 "$unit" >"$work/security-$name" 2>&1 ||
        { tail -n 3 "$work/security-$name"; fail "$name exposure"; }
    tail -n 1 "$work/security-$name"
done

step "start the installed orxgui under its unit, log in, list and import keys"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The administrator's edits: the port and the listener's log file in the daemon settings, and a
# site setting; all must survive the upgrade.
sed -i "s/^ORXGUI_PORT=.*/ORXGUI_PORT=$port/; s/^ORXGUI_BIND=.*/ORXGUI_BIND=127.0.0.1/" \
    /etc/default/vorn-server
sed -i 's|^ORXGUI_OPTS=.*|ORXGUI_OPTS="--log-file /var/log/vorn/orxgui.log"|' /etc/default/vorn-server
sed -i 's/^#MaxSessions=256/MaxSessions=32/' /etc/vorn/orxgui-site.cfg
# A user's first run of the installed orxcmd, without ORXDIR: the configuration template comes
# from the installation directory /etc/vorn.
home=$(getent passwd "$account" | cut -d: -f6)
su -s /bin/sh "$account" -c "cd && env -u ORXDIR /usr/bin/orxcmd --key-list" >"$work/orxcmd" 2>&1 ||
    { cat "$work/orxcmd"; fail "the installed orxcmd fails for a new user"; }
cmp -s /etc/vorn/zaf-template.cfg "$home/.zaf/zaf.cfg" || fail "zaf.cfg is not the template's copy"
start_unit /lib/systemd/system/orxgui.service "$work/orxgui-1.out"
wait_for_port "$port" || { cat "$work/orxgui-1.out" /var/log/vorn/orxgui.log; fail "orxgui did not listen"; }
console keys >"$work/keys-empty" || fail "login and key list"
console import "$repo/tests/data/hostkey-other/hostkey.pkr" || fail "import"
console keys >"$work/keys-after" || fail "key list after the import"
[ "$(wc -l <"$work/keys-after")" -gt "$(wc -l <"$work/keys-empty")" ] ||
    fail "the imported key is not listed"
stop_daemon
[ -s "$home/.zaf/pubring.pkr" ] || fail "no key ring in the user's home"
[ "$(stat -c %U "$home/.zaf/pubring.pkr")" = "$account" ] || fail "the key ring is not the user's"
[ "$(stat -c %a /var/lib/vorn/hostkey)" = 700 ] || fail "the host key folder is not 0700"
[ "$(stat -c %a /var/log/vorn/orxgui.log)" = 600 ] || fail "the log file is not 0600"
fingerprint=$(grep -o "Host key fingerprint: .*" /var/log/vorn/orxgui.log | head -n 1)
[ -n "$fingerprint" ] || fail "no host key fingerprint logged"

step "upgrade to a rebuilt package with a higher version"
deb2=$(build_package 2)
apt_get install --no-install-recommends "$deb2" >"$work/apt-upgrade.log" 2>&1 || { cat "$work/apt-upgrade.log"; fail "upgrade"; }
[ "$(dpkg-query -W -f='${Version}' vorn-server)" = "$(dpkg-deb --field "$deb2" Version)" ] ||
    fail "the upgrade did not take"
grep -q "^ORXGUI_PORT=$port$" /etc/default/vorn-server || fail "the edited port was lost"
grep -q "^MaxSessions=32$" /etc/vorn/orxgui-site.cfg || fail "the edited site setting was lost"
start_unit /lib/systemd/system/orxgui.service "$work/orxgui-2.out"
wait_for_port "$port" || { cat "$work/orxgui-2.out"; fail "the upgraded orxgui did not listen"; }
console keys >"$work/keys-upgraded" || fail "login after the upgrade (host key changed?)"
cmp -s "$work/keys-after" "$work/keys-upgraded" || fail "the key list changed over the upgrade"
stop_daemon
[ "$(grep -c "Host key fingerprint: " /var/log/vorn/orxgui.log)" -ge 2 ] || fail "second start not logged"
[ "$(grep -o "Host key fingerprint: .*" /var/log/vorn/orxgui.log | sort -u | wc -l)" = 1 ] ||
    fail "the host key changed over the upgrade"

step "purge"
apt_get purge vorn-server >"$work/apt-purge.log" 2>&1 || { cat "$work/apt-purge.log"; fail "purge"; }
snapshot >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/left"; then
    cat "$work/left" >&2
    fail "purge left files behind (above: < gone, > new)"
fi
[ -s "$home/.zaf/pubring.pkr" ] || fail "purge removed the user's key ring"
step "passed"
