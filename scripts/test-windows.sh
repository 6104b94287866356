#!/usr/bin/env bash
# The Windows build, checked on Linux: cross-builds the mingw preset
# (the core libraries, klinkplay.exe, the unit tests that need no
# pseudo-terminal and the zip), runs the unit tests under Wine, then an
# end-to-end check: klinkplay.exe probes and plays a file on a simulated
# board (the native klinksim) whose pseudo-terminal Wine shows as COM5.
#
# Headless: console programs need no X server. Wine's state lives in
# build-mingw/wineprefix, made on first use. Prints how long each phase took.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup.sh

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$root/build-mingw/wineprefix"
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

timings=()
phase_start=0
begin() {
  echo "== $1"
  phase_name=$1
  phase_start=$(date +%s%N)
}
end() {
  local ms=$((($(date +%s%N) - phase_start) / 1000000))
  timings+=("$(printf '%-36s %4d.%d s' "$phase_name" $((ms / 1000)) $((ms % 1000 / 100)))")
}

begin "mingw: configure and build"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs" --target all klinkplay_zip
end

exe=build-mingw/src/app/klinkplay.exe
zip=$(ls build-mingw/klinkplay-*-win64.zip)
# Everything but the system's own DLLs is linked in.
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
echo "$exe imports: $imports"
for dll in $imports; do
  case $dll in
    kernel32.dll | msvcrt.dll | advapi32.dll | setupapi.dll | winmm.dll | ole32.dll | shell32.dll | user32.dll) ;;
    *) echo "klinkplay.exe needs $dll, which Windows does not ship" >&2; exit 1 ;;
  esac
done
echo "$zip: $(python3 -c 'import sys, zipfile; print(" ".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")"

begin "wine: prefix"
mkdir -p "$WINEPREFIX"
# One server for every test, instead of one started and stopped per test
# (already running is fine).
"$wineserver" -p 60 2>/dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -i >/dev/null 2>&1
fi
# The first program a server starts waits for the prefix to settle; let that
# happen here, not inside a test discovery with its own time limit.
for attempt in 1 2 3; do
  timeout 120 "$wine" build-mingw/tests/common/common_tests.exe --gtest_list_tests >/dev/null 2>&1 && break
  echo "wine: warm-up attempt $attempt failed; retrying"
done
end

begin "wine: unit tests"
ctest --preset mingw -j "$jobs"
end

begin "native: klinksim"
if [ ! -x build/sim/klinksim ]; then
  [ -f build/CMakeCache.txt ] || cmake --preset default >/dev/null
  cmake --build build -j "$jobs" --target klinksim
fi
end

begin "end-to-end: probe, play, Ctrl+C on COM5"
work=$(mktemp -d)
sim_pid=""
cleanup() {
  # The server first: it holds the board's terminal, and the board's end
  # closing would send it a hang-up.
  "$wineserver" -k 2>/dev/null || true
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  [ -z "$sim_pid" ] || wait "$sim_pid" 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com5"
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 700 "$work/runtime"
XDG_RUNTIME_DIR="$work/runtime" build/sim/klinksim --board "Keltra 3" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '(Keltra 3)' "$work/sim.out" && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
cat "$work/sim.out"
link=$(awk '/\(Keltra 3\)/ { print $2; exit }' "$work/sim.out")
[ -n "$link" ] || { echo "klinksim did not start a board" >&2; exit 1; }
device=$(readlink -f "$link")
# Wine opens \\.\COM5 through this link: the board's pseudo-terminal.
ln -sfn "$device" "$WINEPREFIX/dosdevices/com5"
echo "COM5 -> $device"

# A shared register-only file when the shared folder is there (beside the
# repository, or KLINK_SHARED_DIR), else a demo. Relative paths: on
# Windows, an argument starting with "/" is an option.
file=${KLINK_SHARED_DIR:-../shared}/vgm-samples/f_ym2413_mml2vgm_test_opll.vgm
if [ -f "$file" ]; then
  file=$(realpath --relative-to=. "$file")
else
  file=samples/demo_ym2413.vgm
fi

echo "\$ klinkplay.exe probe COM5"
"$wine" "$exe" probe COM5
echo "\$ klinkplay.exe play $file --port1 COM5 --repeat 1 --fade 0"
"$wine" "$exe" play "$file" --port1 COM5 --repeat 1 --fade 0
echo "end-to-end: probe and play exited 0"

# Ctrl+C (Wine turns SIGINT into the console's Ctrl+C event) stops an
# endless playback cleanly, with the interrupted status 130.
echo "\$ klinkplay.exe play samples/demo_ym2413.vgm --port1 COM5 --repeat inf --fade 0, then Ctrl+C"
"$wine" "$exe" play samples/demo_ym2413.vgm --port1 COM5 --repeat inf --fade 0 >"$work/play.out" 2>&1 &
play_pid=$!
for _ in $(seq 100); do
  grep -q '^Time ' "$work/play.out" && break
  kill -0 "$play_pid" 2>/dev/null || break
  sleep 0.1
done
kill -INT "$play_pid"
status=0
wait "$play_pid" || status=$?
tail -n 2 "$work/play.out"
[ "$status" -eq 130 ] || { echo "Ctrl+C: exit status $status, not 130" >&2; cat "$work/play.out" >&2; exit 1; }
echo "end-to-end: Ctrl+C ended playback with status 130"
end

echo "== timings"
printf '%s\n' "${timings[@]}"
