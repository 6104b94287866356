#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

for preset in default asan; do
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== ${preset}: tests"
  # The window tests need a display; the offscreen platform gives them one.
  QT_QPA_PLATFORM=offscreen ctest --preset "$preset" -j "$jobs"
done
