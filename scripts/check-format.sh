#!/bin/sh
# Fails when a C++ file of the repository is not in the house style
# (.clang-format); names the files and how to mend them.
set -eu
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "check-format: clang-format is missing (scripts/install-deps.sh test)" >&2; exit 1; }
bad=$(find log net config engine crashdump console tools tests bench \( -name '*.cpp' -o -name '*.h' \) -print |
    sort | while read -r file; do
        clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || echo "$file"
    done)
if [ -n "$bad" ]; then
    echo "not in the house style of .clang-format (clang-format -i FILE mends it):"
    echo "$bad"
    exit 1
fi
echo "format: every C++ file in the house style"
