#!/bin/sh
# Installs what is missing, builds, and opens the operator console.
# Run as root, on a machine with a display. Arguments go to Qt (e.g. -platform).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" build
"$top/scripts/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORMA_BUILD_CONSOLE=ON -DORMA_BUILD_TESTS=OFF
exec "$top/build/console/orma-broadcast-server" "$@"
