#!/usr/bin/env bash
# Hard rules of the core and payouts sources: no printing, no abort or exit, no clock, no
# environment, ASCII bytes only. Prints each offending line and fails when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

dirs=(cpp/core cpp/payouts)
forbidden='\b(printf|fprintf|puts|fputs|perror|abort|exit|quick_exit|_Exit|getenv|secure_getenv|clock)[[:space:]]*\(|std::(cout|cerr|clog|chrono|getenv|clock)\b|\btime[[:space:]]*\(|#[[:space:]]*include[[:space:]]*<(iostream|chrono|ctime|time\.h)>'
found=0

while IFS= read -r -d '' file; do
    # Comments may name these words; code may not.
    if hits="$(sed -e 's://.*$::' "$file" | grep -nE "$forbidden")"; then
        printf '%s: forbidden call or header\n%s\n' "$file" "$hits" | sed -e '2,$s/^/    /'
        found=1
    fi
    if hits="$(LC_ALL=C grep -naP '[\x80-\xFF]' "$file")"; then
        printf '%s: non-ASCII bytes\n%s\n' "$file" "$hits" | sed -e '2,$s/^/    /'
        found=1
    fi
done < <(find "${dirs[@]}" -type f -print0 | sort -z)

if ((found)); then
    echo "hard rules: FAILED" >&2
    exit 1
fi
echo "hard rules: ok ($(find "${dirs[@]}" -type f | wc -l) files)"
