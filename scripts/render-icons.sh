#!/bin/sh
# Renders the program's icon at the sizes that ship (console/icons/<size>.png)
# from its drawing, console/icons/orma-broadcast-server.svg. Needs rsvg-convert
# (Debian librsvg2-bin); run after changing the drawing and commit the PNGs.
set -eu
icons=$(cd "$(dirname "$0")/../console/icons" && pwd)
for size in 16 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" "$icons/orma-broadcast-server.svg" -o "$icons/$size.png"
done
