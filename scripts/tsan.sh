#!/bin/sh
# Builds and runs the test suite under ThreadSanitizer (not part of CI,
# which runs the plain and the AddressSanitizer builds). Run as root.
#
# The crash dump tests are left out: ThreadSanitizer takes fatal signals
# into its own handler and delivers them later, which changes what a dump
# of several threads can hold; they run in the other two builds.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" test
"$top/scripts/build.sh" "$top/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DORMA_SANITIZER=tsan
cd "$top/build-tsan"
export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="suppressions=$top/tests/tsan.supp die_after_fork=0 halt_on_error=0 exitcode=66"
ctest --output-on-failure -j"$(nproc)" -E 'CrashDump'
