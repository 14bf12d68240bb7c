#!/bin/sh
# Installs what is missing, then builds and runs every test: the plain
# build, its Debian package (installed, run and purged), then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, then 60 seconds of
# the conversion fuzzer.
# Run as root from anywhere: the tests make their own network namespaces.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" test

jobs=$(nproc)
run_suite() {
  dir=$1; shift
  echo "== build $dir"
  "$top/scripts/build.sh" "$top/$dir" "$@"
  echo "== test $dir"
  (cd "$top/$dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs")
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORMA_BUILD_CONSOLE=ON -DORMA_BUILD_TESTS=ON
echo "== package build"
"$top/tests/packaging/check-package.sh" "$top/build"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DORMA_SANITIZER=asan -DORMA_BUILD_CONSOLE=ON -DORMA_BUILD_TESTS=ON
echo "== fuzz build-fuzz"
"$top/scripts/fuzz.sh" 60
echo "== all tests passed"
