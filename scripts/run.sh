#!/bin/sh
# Installs what is missing, builds, and starts the relay. Run as root.
# Arguments go to the program.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" build
"$top/scripts/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORMA_BUILD_TESTS=OFF
exec "$top/build/tools/orma-relay" "$@"
