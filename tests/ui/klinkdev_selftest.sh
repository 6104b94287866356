#!/bin/sh
# Runs klinkdev --selftest-demo under a virtual X server with throw-away
# configuration and simulated-port folders. Exit 77 (skip) without xvfb-run.
# Usage: klinkdev_selftest.sh KLINKDEV SCREENSHOT FILE...
set -eu
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not found: skipped"; exit 77; }
klinkdev=$1
shot=$2
shift 2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -m 700 "$tmp/config" "$tmp/runtime"
# The real X platform, not the offscreen one the other window tests use.
unset QT_QPA_PLATFORM
# In sanitizer builds: leaks inside system libraries are not reported.
LSAN_OPTIONS="suppressions=$(dirname "$0")/lsan-system.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export LSAN_OPTIONS
# The user's session: the demo must neither read nor change it (it runs on a
# session of its own), however often it runs.
mkdir -p "$tmp/config/KLINKdev"
user='{"schema":1,"com_port":"ttyUSB0","repeat_index":2,"fade_index":1,"playlist":[{"path":"/music/a.vgm","title":"A","game":""}]}'
printf '%s\n' "$user" > "$tmp/config/KLINKdev/session.json"
cp "$tmp/config/KLINKdev/session.json" "$tmp/user-session.json"
for run in 1 2; do
  XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/runtime" \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$klinkdev" --selftest-demo --screenshot "$shot" --timeout 120 "$@" \
    > "$tmp/out" 2>&1 || { cat "$tmp/out"; exit 1; }
  cat "$tmp/out"
  # Tracks played, not playlist rows: one per file.
  grep -qx "selftest: $# track(s) played" "$tmp/out"
  cmp "$tmp/user-session.json" "$tmp/config/KLINKdev/session.json"
done
test -s "$shot"
echo "the user's session is untouched"

# SIGTERM closes the window like its close button: the session is saved.
rm -f "$tmp/config/KLINKdev/session.json"
XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/runtime" \
  xvfb-run -a sh -c '"$1" & pid=$!; sleep 3; kill -TERM "$pid"; wait "$pid"' sh "$klinkdev"
test -s "$tmp/config/KLINKdev/session.json"
echo "saved on SIGTERM"
