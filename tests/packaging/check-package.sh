#!/bin/sh
# Builds the Debian package from a build tree, checks it with lintian,
# installs it on this machine, runs what it installed, then removes and
# purges it and checks that only the operator's store and logs are left.
# Run as root: check-package.sh BUILD-DIRECTORY
set -eu
build=$(cd "$1" && pwd)
package=orma-broadcast-server
store=/var/lib/orma-relay
logs=/var/log/orma-relay
work=$(mktemp -d)
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# An installation of the machine's own is never touched.
if dpkg-query -W "$package" >/dev/null 2>&1; then
    echo "$package is installed on this machine; purge it before running this test" >&2
    exit 1
fi
# What this machine had before, so that the test leaves it as it was.
had_user=no had_store=no had_logs=no
getent passwd orma-relay >/dev/null && had_user=yes
[ -d "$store" ] && had_store=yes
[ -d "$logs" ] && had_logs=yes
cleanup() {
    rm -rf "$work"
    # After a failed check: the package and the operator's link go too.
    dpkg --purge "$package" >/dev/null 2>&1 || true
    rm -f /etc/systemd/system/multi-user.target.wants/orma-relay.service
    rm -f "$store/.package-test" "$logs/.package-test"
    [ "$had_store" = yes ] || rmdir "$store" 2>/dev/null || true
    [ "$had_logs" = yes ] || rmdir "$logs" 2>/dev/null || true
    if [ "$had_user" = no ] && getent passwd orma-relay >/dev/null; then
        userdel orma-relay 2>/dev/null || true
        groupdel orma-relay 2>/dev/null || true
    fi
}
trap cleanup EXIT

echo "== cpack"
rm -f "$build"/${package}_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$build"/${package}_*.deb)
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Depends

echo "== lintian"
# Errors fail the test; warnings are shown.
lintian --fail-on error "$deb" >"$work/lintian" 2>&1 || fail "lintian reports errors"
grep -v "running with root privileges" "$work/lintian" || true

echo "== install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; exit 1; }
dpkg -L "$package" >"$work/files"

for program in orma-relay orma-feed orma-monitor orma-broadcast-server; do
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
unit=$(grep '/orma-relay.service$' "$work/files")
systemd-analyze verify "$unit" >"$work/verify" 2>&1 && [ ! -s "$work/verify" ] ||
    fail "systemd-analyze verify on the installed unit: $(cat "$work/verify")"
desktop-file-validate /usr/share/applications/$package.desktop >"$work/desktop" 2>&1 && [ ! -s "$work/desktop" ] ||
    fail "desktop-file-validate: $(cat "$work/desktop")"

echo "== remove and purge"
# As an operator would have it: the service enabled, a store and a log.
systemctl enable orma-relay.service >/dev/null 2>&1 || fail "systemctl enable orma-relay"
links=$(find /etc/systemd/system -name orma-relay.service)
[ -n "$links" ] || fail "systemctl enable made no link"
mkdir -p "$store" "$logs"
touch "$store/.package-test" "$logs/.package-test"
apt-get remove -y -qq "$package" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
[ ! -e /usr/bin/orma-relay ] || fail "remove left /usr/bin/orma-relay"
apt-get purge -y -qq "$package" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
! dpkg-query -W "$package" >/dev/null 2>&1 || fail "dpkg still knows $package: $(dpkg-query -W -f='${Status}' "$package")"
while read -r path; do
    [ -d "$path" ] || [ ! -e "$path" ] || fail "purge left $path"
done <"$work/files"
# /var/cache/man holds the pages man formatted (verify ran it); man-db ages them out.
left=$(find /etc /usr /var /lib -path /usr/local -prune -o -path /var/cache/man -prune -o \
    -path "$store" -prune -o -path "$logs" -prune -o \
    \( -name '*orma-relay*' -o -name "*$package*" \) -print 2>/dev/null)
[ -z "$left" ] || fail "purge left: $left"
[ -e "$store/.package-test" ] && [ -e "$logs/.package-test" ] || fail "purge removed the operator's store or logs"

if [ "$failures" -ne 0 ]; then
    echo "$failures package checks failed"
    exit 1
fi
echo "package checks passed"
