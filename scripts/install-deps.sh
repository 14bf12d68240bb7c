#!/bin/sh
# Installs the Debian packages that building, running and testing need,
# and only those that are missing. Run as root.
set -eu

BUILD_PKGS="build-essential cmake pkg-config liblz4-dev qt6-base-dev libgl-dev fonts-dejavu-core help2man dpkg-dev file
  libsystemd-dev libmicrohttpd-dev libpcap-dev"
TEST_PKGS="libgtest-dev iproute2 nftables procps clang clang-format libclang-rt-14-dev xvfb xauth lldb xdotool xclip
  openbox trayer x11-utils x11-apps lintian desktop-file-utils systemd man-db
  python3-prometheus-client prometheus keepalived tshark tcpreplay e2fsprogs"
BENCH_PKGS="socat valgrind imagemagick strace linux-perf procps"

case "${1:-build}" in
  build) wanted="$BUILD_PKGS" ;;
  test) wanted="$BUILD_PKGS $TEST_PKGS" ;;
  bench) wanted="$BUILD_PKGS $TEST_PKGS $BENCH_PKGS" ;;
  *) echo "usage: $0 [build|test|bench]" >&2; exit 2 ;;
esac

missing=""
for pkg in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $pkg"
  fi
done

if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
