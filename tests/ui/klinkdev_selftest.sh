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
XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/runtime" \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$klinkdev" --selftest-demo --screenshot "$shot" --timeout 120 "$@"
test -s "$shot"
test -s "$tmp/config/KLINKdev/session.json"
echo "session saved: $(cat "$tmp/config/KLINKdev/session.json" | head -c 200)"

# SIGTERM closes the window like its close button: the session is saved.
rm -f "$tmp/config/KLINKdev/session.json"
XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/runtime" \
  xvfb-run -a sh -c '"$1" & pid=$!; sleep 3; kill -TERM "$pid"; wait "$pid"' sh "$klinkdev"
test -s "$tmp/config/KLINKdev/session.json"
echo "saved on SIGTERM"
