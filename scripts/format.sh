#!/usr/bin/env bash
# The C++ layout of the tree (.clang-format): fails on any file the formatter would change.
#
#   bash scripts/format.sh          check, printing what differs
#   bash scripts/format.sh --fix    rewrite the files in place
set -euo pipefail
cd "$(dirname "$0")/.."

# One formatter version for everyone: another version lays some lines out differently.
formatter=clang-format-19
if ! command -v "$formatter" >/dev/null; then
    source scripts/apt.sh
    qbo_apt_install "$formatter"
fi

mapfile -d '' files < <(find cpp tests/cpp fuzz bench -type f \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z)
if [ "${1:-}" = --fix ]; then
    "$formatter" -i "${files[@]}"
    exit 0
fi
if ! "$formatter" --dry-run --Werror "${files[@]}"; then
    echo "format: FAILED (bash scripts/format.sh --fix rewrites the files)" >&2
    exit 1
fi
echo "format: ok (${#files[@]} files)"
