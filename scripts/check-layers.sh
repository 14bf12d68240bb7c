#!/bin/sh
# Fails when a source file includes a header of a layer it may not use.
# Layers, bottom up (docs/design.md, "Layers"): log and net; config uses
# log; engine uses config, net and log; crashdump stands alone; console and
# tools use all of those. Tests and benchmarks may include anything.
set -eu
cd "$(dirname "$0")/.."

allowed() {
  case $1 in
    log) echo "log" ;;
    net) echo "net" ;;
    config) echo "config log" ;;
    engine) echo "engine config net log" ;;
    crashdump) echo "crashdump" ;;
    console) echo "console engine config net log crashdump" ;;
    tools) echo "tools engine config net log crashdump" ;;
  esac
}

status=0
for layer in log net config engine crashdump console tools; do
  ok=$(allowed "$layer")
  # Quoted includes that name a project folder: "folder/file.h".
  grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[a-z]+/' --include='*.cpp' --include='*.h' "$layer" |
    while IFS= read -r hit; do
      used=$(printf '%s\n' "$hit" | sed -E 's/.*"([a-z]+)\/$/\1/')
      [ -d "$used" ] || continue
      case " $ok " in
        *" $used "*) ;;
        *) echo "${hit%%#*} includes $used/, but $layer may use only: $ok"; exit 1 ;;
      esac
    done || status=1
done
[ "$status" -eq 0 ] && echo "layer includes: all point down"
exit "$status"
