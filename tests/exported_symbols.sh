#!/usr/bin/env bash
# The shared object exports exactly the functions that kxsmon.h declares.
set -euo pipefail
so=$1 header=$2
actual=$(nm -D --defined-only "$so" | awk '{print $3}' | sort)
expected=$(grep -E '^[A-Za-z].*\bkxs_[A-Za-z0-9_]+\(.*\) KXS_NOEXCEPT;' "$header" |
           grep -oE '\bkxs_[A-Za-z0-9_]+\(' | tr -d '(' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the header's functions:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exported: $(echo "$actual" | wc -l) functions, all declared in $(basename "$header")"
