#!/bin/sh
# Checks the relay's systemd unit as built: systemd-analyze verify accepts
# it (with the program and the man page it names) and its exposure score
# under systemd-analyze security is 1.7 or lower.
# Usage: check-unit.sh UNIT.in RELAY-PROGRAM MAN-DIRECTORY
set -eu
template=$1 relay=$2 mandir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unit="$work/orma-relay.service"
sed "s|@ORMA_RELAY_PROGRAM@|$relay|" "$template" >"$unit"

# verify runs "man" for Documentation=, so it finds the page just built.
if ! MANPATH="$mandir" systemd-analyze verify "$unit" >"$work/verify" 2>&1 || [ -s "$work/verify" ]; then
    echo "systemd-analyze verify found problems:"
    cat "$work/verify"
    exit 1
fi

systemd-analyze security --offline=true "$unit" >"$work/security" 2>&1 || true
score=$(sed -n 's/.*Overall exposure level for orma-relay.service: \([0-9.]*\).*/\1/p' "$work/security")
if [ -z "$score" ] || ! awk -v s="$score" 'BEGIN { exit !(s <= 1.7) }'; then
    grep '✗' "$work/security" || cat "$work/security"
    echo "exposure score ${score:-missing}, more than 1.7"
    exit 1
fi
echo "systemd-analyze verify: clean; security exposure: $score"
