#!/usr/bin/env bash
# Checks every tracked .h/.cpp file against the repository's .clang-format
# without changing anything. Prints each deviation and exits non-zero when
# any file deviates. Fix with: clang-format-14 -i FILE...
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=${CLANG_FORMAT:-}
if [ -z "$formatter" ]; then
  if command -v clang-format-14 >/dev/null 2>&1; then
    formatter=clang-format-14
  elif command -v clang-format >/dev/null 2>&1; then
    formatter=clang-format
  else
    echo "check-format: clang-format not found (scripts/setup.sh installs it)" >&2
    exit 2
  fi
fi
# The layout is fixed with version 14; other versions break lines differently.
version=$("$formatter" --version | sed -n 's/.*version \([0-9]*\).*/\1/p')
if [ "$version" != "14" ]; then
  echo "check-format: warning: $formatter is version ${version:-unknown}, the layout is checked with 14" >&2
fi

mapfile -d '' files < <(git ls-files -z -- '*.h' '*.cpp')
deviating=0
for f in "${files[@]}"; do
  if ! "$formatter" --dry-run --Werror "$f"; then
    deviating=$((deviating + 1))
  fi
done
if [ "$deviating" -ne 0 ]; then
  echo "check-format: $deviating of ${#files[@]} files deviate from .clang-format" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
