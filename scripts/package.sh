#!/bin/sh
# Installs what is missing, builds, and makes the Debian packages in build/:
# orma-relay_<version>_<architecture>.deb (the service, no Qt),
# orma-broadcast-server_... (the console) and their -dbgsym .ddeb files.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" build
"$top/scripts/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORMA_BUILD_CONSOLE=ON -DORMA_BUILD_TESTS=OFF
cd "$top/build" && cpack -G DEB
