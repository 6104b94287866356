#!/usr/bin/env bash
# Installs the Debian packages that building, testing, benchmarking and the
# format check (scripts/check-format.sh) need; with --fuzz also what the fuzz
# targets need.
# Idempotent: installs only what is missing, so running it twice is cheap.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  zlib1g-dev libdeflate-dev nlohmann-json3-dev libfmt-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev fonts-noto-cjk xvfb xauth
  gzip python3 clang-format
  dpkg-dev file
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest wine64
)

# The fuzz targets need clang and its libFuzzer runtime (scripts/fuzz.sh asks
# for them); CI and the other scripts do not.
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
