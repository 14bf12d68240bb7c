#!/bin/sh
# Draws the README's picture of the console: the real program, built in
# build/, on a throwaway settings store with four broadcasts, the first of
# them relaying a burst from orma-feed, under Xvfb; the window is taken
# with ImageMagick's import.
# Run as root (the relaying row needs network namespaces), after
# scripts/install-deps.sh bench and a build: scripts/console-screenshot.sh [FILE.png]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$top/docs/console.png}")
server=$top/build/console/orma-broadcast-server
feed=$top/build/tools/orma-feed
for program in "$server" "$feed"; do
    [ -x "$program" ] || { echo "$program is not built" >&2; exit 1; }
done
for tool in xvfb-run xdotool import ip; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: scripts/install-deps.sh bench" >&2; exit 1; }
done

# The test network (scripts/test-network.sh); the console runs in its relay namespace.
. "$top/scripts/test-network.sh"
work=$(mktemp -d)
ns=orma-shot$$
cleanup() {
    remove_test_network "$ns"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
make_test_network "$ns"

# The settings store: broadcasts 1 to 4 (3 converts new-format data), 1 started at start-up.
store="$work/config/orma-broadcast-server/SOFTWARE/ORMASYS/KOV/PLUX Details"
mkdir -p "$store"
{
    echo "Record Count=4"
    n=0
    for segment in QA QB QC QDLN; do
        nmkt=N
        [ "$segment" = QC ] && nmkt=Y
        echo "$n=$((n + 1)),$segment,239.1.1.$((n + 1)),$((10001 + n)),UDP,MULTICAST,239.2.1.$((n + 1)),$((20001 + n)),UDP,MULTICAST,N,$nmkt,"
        n=$((n + 1))
    done
    echo "Host Side IP=198.18.0.2"
    echo "Zenta Side IP=198.18.1.1"
    echo "Auto Start=1,"
} >"$store/values.txt"

# Inside the X server: start the console, feed broadcast 1 once it relays,
# choose its row, wait for a refresh, take the window, end the console.
cat >"$work/draw.sh" <<EOF
set -eu
cd "$work"
XDG_RUNTIME_DIR="$work" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb "$server" &
console=\$!
tries=0
until grep -qs "Config ID 1 has been Started successfully" PLUX_*.TXT; do
    tries=\$((tries + 1)); [ \$tries -lt 100 ] || { echo "broadcast 1 did not start" >&2; exit 1; }
    sleep 0.1
done
window=\$(xdotool search --sync --onlyvisible --name '^ORMA UDP Broadcast Server v4.02.00\$' | head -n 1)
ip netns exec ${ns}f "$feed" --group 239.1.1.1 --port 10001 --interface 198.18.0.1 \
    --count 1234 --rate 5000 --seconds 5 >/dev/null
# The list has the focus with its first row current: Space chooses it, wherever the layout puts it.
xdotool windowfocus --sync "\$window" key space
sleep 1.5
import -window "\$window" "$out"
kill -TERM \$console
wait \$console
EOF
ip netns exec "${ns}r" xvfb-run -a -s '-screen 0 1024x768x24' sh "$work/draw.sh"
echo "drawn: $out"
