#!/bin/sh
# promtool checks the alert rules in FOLDER (the source's, or the installed
# /usr/share/doc/orma-relay) and runs their tests; the dashboard must be JSON.
# Usage: check-alerts.sh FOLDER
set -eu
folder=$1
tests=$(cd "$(dirname "$0")" && pwd)/orma-relay-alerts.test.yml
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$folder/orma-relay-alerts.yml" "$tests" "$work/"
promtool check rules "$work/orma-relay-alerts.yml"
promtool test rules "$work/orma-relay-alerts.test.yml"
python3 -m json.tool "$folder/orma-relay-dashboard.json" >/dev/null
