#!/usr/bin/env bash
# CI: the format check, then every build and test: the normal build and the
# AddressSanitizer + UndefinedBehaviorSanitizer build, each with all tests
# (warnings are errors in both), the MinGW-w64 build tested under Wine, and a
# packager's plain Release build (build only: the normal build has run the
# tests) and the Debian package made from it, installed and run. Prints how
# long each phase took.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

timings=()
phase_start=0
begin() {
  echo "== $1"
  phase_name=$1
  phase_start=$(date +%s)
}
end() {
  timings+=("$(printf '%-28s %4d s' "$phase_name" $(($(date +%s) - phase_start)))")
}

# First, so that a formatting slip fails in seconds, not after the builds.
begin "format check"
bash scripts/check-format.sh
end

for preset in default asan; do
  begin "${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  end
  begin "${preset}: tests"
  # The window tests need a display; the offscreen platform gives them one.
  QT_QPA_PLATFORM=offscreen ctest --preset "$preset" -j "$jobs"
  end
done

# The Windows build: klinkplay.exe and the unit tests cross-built with
# MinGW-w64, the tests and an end-to-end play run under Wine (it uses the
# native klinksim built above).
begin "windows: build, Wine tests"
bash scripts/test-windows.sh
end

# What a packager runs (cmake -DCMAKE_BUILD_TYPE=Release): it must build
# without KLINK_WERROR, whatever a newer compiler warns about.
begin "release: configure and build"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
end

# The Debian package from that build, installed into a scratch root, and the
# installed programs run.
begin "package: build, install, run"
bash scripts/package.sh
end

echo "== timings"
printf '%s\n' "${timings[@]}"
