#!/usr/bin/env bash
# Builds the Debian package and checks that it installs and runs: builds the
# release preset's programs, runs `cpack -G DEB`, installs the package into a
# scratch root with `dpkg --root` (its own dpkg database; the libraries come
# from this machine), checks the files a desktop needs, asks apt whether the
# package's dependencies resolve here, and runs each installed program's
# --version. Prints the package's path last.
#
#   bash scripts/package.sh    (about 6 minutes from scratch on a busy 2-core machine; 10 s after a build)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

cmake --preset release >/dev/null
# Only the installed programs: the tests and benchmarks are not packaged.
cmake --build --preset release -j "$jobs" --target klinkplay klinksim klinkdev
rm -f build-release/klinkdev_*.deb
(cd build-release && cpack -G DEB)
deb=$(ls build-release/klinkdev_*.deb)
echo "== package: $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has no libraries of its own: the dependencies are this
# machine's, checked with apt below.
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb"
dpkg --root="$root" -s klinkdev | grep -q '^Status: install ok installed$'

for f in usr/bin/klinkplay usr/bin/klinksim usr/bin/klinkdev usr/share/applications/klinkdev.desktop \
  usr/share/icons/hicolor/scalable/apps/klinkdev.svg usr/share/icons/hicolor/48x48/apps/klinkdev.png \
  usr/share/klinkdev/samples/demo_ym2151.vgm; do
  test -s "$root/$f" || { echo "package.sh: $f is missing" >&2; exit 1; }
done
if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$root/usr/share/applications/klinkdev.desktop"
fi

# Every dependency must be installable from this machine's package sources.
if command -v apt-get >/dev/null 2>&1; then
  apt-get install --simulate --no-install-recommends "./$deb" >/dev/null
  echo "== apt: the dependencies resolve"
fi

export QT_QPA_PLATFORM=offscreen
for program in klinkplay klinksim klinkdev; do
  out=$("$root/usr/bin/$program" --version)
  echo "$out"
  test "$out" = "$program $(sed -n 's/^project(KLINKdev VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
done
# The installed window on the installed demo tune, on simulated boards.
if [ "${KLINK_PACKAGE_SELFTEST:-1}" = 1 ]; then
  cfg=$(mktemp -d)
  XDG_CONFIG_HOME="$cfg" XDG_RUNTIME_DIR="$cfg" "$root/usr/bin/klinkdev" --selftest-demo --timeout 60 \
    "$root/usr/share/klinkdev/samples/demo_sn76489.vgm" --boards "Keltra 2"
  rm -rf "$cfg"
fi
echo "== installed and ran: $deb"
