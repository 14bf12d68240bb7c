#!/bin/sh
# Builds the Debian packages from a build tree (orma-relay, and
# orma-broadcast-server when the console is built), checks them with
# lintian, installs them on this machine with the relay's debug symbols,
# runs what they installed, then removes and purges them and checks that
# only the operator's store and logs are left.
# Run as root: check-package.sh BUILD-DIRECTORY
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
packages=orma-relay
grep -q '^ORMA_BUILD_CONSOLE:BOOL=ON' "$build/CMakeCache.txt" && packages="$packages orma-broadcast-server"
store=/var/lib/orma-relay
logs=/var/log/orma-relay
work=$(mktemp -d)
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# An installation of the machine's own is never touched.
for package in $packages orma-relay-dbgsym; do
    if dpkg-query -W "$package" >/dev/null 2>&1; then
        echo "$package is installed on this machine; purge it before running this test" >&2
        exit 1
    fi
done
# What this machine had before, so that the test leaves it as it was.
had_user=no had_store=no had_logs=no
getent passwd orma-relay >/dev/null && had_user=yes
[ -d "$store" ] && had_store=yes
[ -d "$logs" ] && had_logs=yes
rmem_max=$(cat /proc/sys/net/core/rmem_max)
cleanup() {
    [ -z "${relay:-}" ] || kill "$relay" 2>/dev/null || true
    rm -rf "$work"
    # After a failed check: the packages and the operator's link go too.
    # shellcheck disable=SC2086
    dpkg --purge orma-relay-dbgsym $packages >/dev/null 2>&1 || true
    rm -f /etc/systemd/system/multi-user.target.wants/orma-relay.service
    rm -f "$store/.package-test" "$logs/.package-test"
    [ "$had_store" = yes ] || rmdir "$store" 2>/dev/null || true
    [ "$had_logs" = yes ] || rmdir "$logs" 2>/dev/null || true
    if [ "$had_user" = no ] && getent passwd orma-relay >/dev/null; then
        userdel orma-relay 2>/dev/null || true
        groupdel orma-relay 2>/dev/null || true
    fi
    echo "$rmem_max" >/proc/sys/net/core/rmem_max 2>/dev/null || true
}
trap cleanup EXIT

echo "== cpack"
rm -f "$build"/*.deb "$build"/*.ddeb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
debs=""
for package in $packages; do
    deb=$(ls "$build"/${package}_*.deb)
    debs="$debs $deb"
    echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
    echo "  Depends: $(dpkg-deb -f "$deb" Depends)"
    # Errors fail the test; warnings are shown. (CMake writes the -dbgsym
    # package's md5sums with build paths, so that one is not linted.)
    lintian --fail-on error "$deb" >"$work/lintian" 2>&1 || fail "lintian reports errors on $package"
    grep -v "running with root privileges" "$work/lintian" || true
done
relay_deb=$(ls "$build"/orma-relay_*.deb)
dbgsym=$(ls "$build"/orma-relay-dbgsym_*.ddeb)
# A server relay pulls in no desktop.
dpkg-deb -f "$relay_deb" Depends | grep -Eiq 'qt|libgl|libx|gtk|mesa' &&
    fail "orma-relay depends on a desktop library: $(dpkg-deb -f "$relay_deb" Depends)"
# What it adds to a minimal Debian (minbase, as this machine's status has it): at most 5 packages.
"$here/minbase-status.py" >"$work/minbase-status"
apt-get install -s -o Dir::State::status="$work/minbase-status" "$relay_deb" >"$work/minbase" 2>&1 || true
added=$(sed -n 's/^Inst \([^ ]*\).*/\1/p' "$work/minbase" | grep -vx orma-relay | tr '\n' ' ') || true
echo "apt-get install orma-relay on a minimal Debian 12 adds: ${added:-nothing}"
grep -q '^Inst orma-relay ' "$work/minbase" && [ "$(echo "$added" | wc -w)" -le 5 ] ||
    fail "orma-relay does not install into a minimal system with at most 5 more packages: $(tail -3 "$work/minbase")"

echo "== install"
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $debs >"$work/apt.log" 2>&1 &&
    dpkg -i "$dbgsym" >>"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
for package in $packages; do dpkg -L "$package"; done >"$work/files"

programs="orma-relay orma-feed orma-monitor"
[ "$packages" = orma-relay ] || programs="$programs orma-broadcast-server"
for program in $programs; do
    # The console answers without a display.
    version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "/usr/bin/$program" --version) ||
        fail "$program --version exits non-zero"
    echo "$version" | grep -Eqx "$program \(ORMA UDP Broadcast Server\) [0-9]+\.[0-9]{2}\.[0-9]{2}" ||
        fail "$program --version says \"$version\""
    env -u DISPLAY -u WAYLAND_DISPLAY "/usr/bin/$program" --help | head -1 | grep -q "^Usage: $program" ||
        fail "$program --help gives no usage"
    page=$(man -w "$program") && [ "$page" = "/usr/share/man/man1/$program.1.gz" ] ||
        fail "man -w $program gives \"${page:-nothing}\""
done
getent passwd orma-relay | grep -q ":/var/lib/orma-relay:/usr/sbin/nologin$" ||
    fail "no system user orma-relay: $(getent passwd orma-relay)"
dpkg-query -W -f='${Conffiles}' orma-relay | grep -q "^ /etc/default/orma-relay " ||
    fail "/etc/default/orma-relay is not a conffile"
unit=$(grep '/orma-relay.service$' "$work/files")
systemd-analyze verify "$unit" >"$work/verify" 2>&1 && [ ! -s "$work/verify" ] ||
    fail "systemd-analyze verify on the installed unit: $(cat "$work/verify")"
if [ "$packages" != orma-relay ]; then
    desktop-file-validate /usr/share/applications/orma-broadcast-server.desktop >"$work/desktop" 2>&1 &&
        [ ! -s "$work/desktop" ] || fail "desktop-file-validate: $(cat "$work/desktop")"
fi
# The drop-in lets the relay's buffer be granted (where this machine lets
# us write the kernel's settings; postinst applied it already if it could).
if echo 212992 >/proc/sys/net/core/rmem_max 2>/dev/null; then
    /lib/systemd/systemd-sysctl 60-orma-relay.conf
    [ "$(cat /proc/sys/net/core/rmem_max)" -ge 1048576 ] ||
        fail "60-orma-relay.conf leaves net.core.rmem_max at $(cat /proc/sys/net/core/rmem_max)"
fi

echo "== retention"
# The shipped tmpfiles.d line, run on a root of our own: logs and dumps last
# written over 30 days ago go, newer ones stay.
mkdir -p "$work/root/var/log/orma-relay"
cd "$work/root/var/log/orma-relay"
touch -m -d '31 days ago' PLUX_01Jan2026.TXT PLUXCrash_1767225600.dmp
touch -m -d '29 days ago' PLUX_03Jan2026.TXT PLUXCrash_1767398400.dmp
cd - >/dev/null
systemd-tmpfiles --clean --root="$work/root" /usr/lib/tmpfiles.d/orma-relay.conf ||
    fail "systemd-tmpfiles --clean refuses orma-relay.conf"
[ "$(LC_ALL=C ls "$work/root/var/log/orma-relay" | tr '\n' ' ')" = "PLUXCrash_1767398400.dmp PLUX_03Jan2026.TXT " ] ||
    fail "after cleaning, the log folder holds: $(ls "$work/root/var/log/orma-relay")"

echo "== crash dump with symbols"
# The installed relay, faulted: its dump opens with function names and the
# lines of the source, from the -dbgsym package.
mkdir -p "$work/dump"
(cd "$work/dump" && exec /usr/bin/orma-relay --from-store --store "$work/dump" --log-dir "$work/dump" --quiet \
    >/dev/null 2>&1) &
relay=$!
sleep 1
kill -SEGV "$relay"
wait "$relay" 2>/dev/null || true
relay=
dump=$(ls "$work"/dump/PLUXCrash_*.dmp 2>/dev/null | head -1)
if [ -z "$dump" ]; then
    fail "the faulted relay left no dump"
else
    lldb --batch --no-lldbinit --core "$dump" /usr/bin/orma-relay -o "thread backtrace all" >"$work/lldb" 2>&1 || true
    grep -Eq '`main.* at RelayRunner\.cpp:[0-9]+' "$work/lldb" ||
        fail "the dump shows no main() at a line of RelayRunner.cpp: $(grep 'frame #' "$work/lldb" | head -8)"
fi

echo "== alert rules"
"$here/check-alerts.sh" /usr/share/doc/orma-relay >"$work/alerts" 2>&1 ||
    fail "the alert rules do not pass their tests: $(cat "$work/alerts")"

echo "== remove and purge"
# As an operator would have it: the service enabled, a store and a log.
systemctl enable orma-relay.service >/dev/null 2>&1 || fail "systemctl enable orma-relay"
links=$(find /etc/systemd/system -name orma-relay.service)
[ -n "$links" ] || fail "systemctl enable made no link"
mkdir -p "$store" "$logs"
touch "$store/.package-test" "$logs/.package-test"
# shellcheck disable=SC2086
apt-get remove -y -qq orma-relay-dbgsym $packages >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
[ ! -e /usr/bin/orma-relay ] || fail "remove left /usr/bin/orma-relay"
# A package without conffiles is gone at remove already, which apt-get purge refuses.
# shellcheck disable=SC2086
dpkg --purge $packages >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
for package in $packages; do
    ! dpkg-query -W "$package" >/dev/null 2>&1 ||
        fail "dpkg still knows $package: $(dpkg-query -W -f='${Status}' "$package")"
done
while read -r path; do
    [ -d "$path" ] || [ ! -e "$path" ] || fail "purge left $path"
done <"$work/files"
# /var/cache/man holds the pages man formatted (verify ran it); man-db ages them out.
left=$(find /etc /usr /var /lib -path /usr/local -prune -o -path /var/cache/man -prune -o \
    -path "$store" -prune -o -path "$logs" -prune -o \
    \( -name '*orma-relay*' -o -name "*orma-broadcast-server*" \) -print 2>/dev/null)
[ -z "$left" ] || fail "purge left: $left"
[ -e "$store/.package-test" ] && [ -e "$logs/.package-test" ] || fail "purge removed the operator's store or logs"

if [ "$failures" -ne 0 ]; then
    echo "$failures package checks failed"
    exit 1
fi
echo "package checks passed"
