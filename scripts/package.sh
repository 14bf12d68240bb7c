#!/bin/sh
# Installs what is missing, builds, and makes the Debian package of the
# programs, build/orma-broadcast-server_<version>_<architecture>.deb.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" build
"$top/scripts/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORMA_BUILD_CONSOLE=ON -DORMA_BUILD_TESTS=OFF
cd "$top/build" && cpack -G DEB
